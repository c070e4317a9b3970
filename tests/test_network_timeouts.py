"""A minute without a byte ends a download as a failure, from a server that stops midway or never answers; a
slow trickle is never cut off.  The runs last over a minute, side by side, each in its own HOME and TMPDIR; this
file holds nothing else."""
import os
import time
import unittest

from bootstrap_fixture import TRANSPORT_FAILED, DownloadTestCase, agent_archive

ARGS = ["--slow", "two words"]
TRICKLE_SECONDS = 70  # the last bytes of the trickled archive come one a second, for over the idle limit


class TimeoutTest(DownloadTestCase):

    def lane(self, label, path):
        """Starts a run of its own HOME, TMPDIR and record on path; a function that finishes it there."""
        home, tmpdir = self.folder(label, "home"), self.folder(label, "tmp")
        record = os.path.join(self.root, label + ".record")
        self.home, self.tmpdir, self.record_file = home, tmpdir, record
        bundle = self.download_bundle(self.fault_url(path), label)
        proc = self.start_program(bundle.program, ARGS)

        def finish():
            self.home, self.tmpdir, self.record_file = home, tmpdir, record
            return bundle, self.finish_program(proc, timeout=180)
        return finish

    def test_idle_transfer_times_out_and_a_trickle_goes_on(self):
        archive = agent_archive()
        self.publish("agent.zip", archive)
        size = len(archive)
        started = time.monotonic()
        trickle = self.lane("trickle", "/agent.zip?rate=1&rate_from=%d" % (size - TRICKLE_SECONDS))
        idle = [self.lane(label, path) for label, path in (("stalled", "/agent.zip?stall_after=%d" % (size // 3)),
                                                           ("silent", "/agent.zip?silent"))]  # never answers
        for finish in idle:
            _, result = finish()
            self.assert_download_failed(result, TRANSPORT_FAILED, [
                rb"Download failed! Error - Timed out: nothing received for 60 seconds http://.*"])
            self.assertGreaterEqual(time.monotonic() - started, 59)
            self.assertIsNone(self.stored_validation_string())
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="next")
        self.assert_started(result, bundle, ARGS)  # the timed-out run's cache serves the next one
        bundle, result = trickle()
        self.assertGreaterEqual(time.monotonic() - started, TRICKLE_SECONDS - 5, "the trickle was not slow")
        self.assert_started(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), b'"file-%d"' % size)


if __name__ == "__main__":
    unittest.main()
