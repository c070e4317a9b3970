"""A minute without a byte fails a download, from a server that stops midway or never answers; a slow trickle is
never cut off.  The runs last over a minute, side by side, each in a HOME and TMPDIR of its own."""
import os
import time
import unittest

from bootstrap_fixture import TRANSPORT_FAILED, DownloadTestCase, agent_archive

ARGS = ["--slow", "two words"]
TRICKLE_SECONDS = 70  # the last bytes of the trickled archive come one a second, for over the idle limit


class TimeoutTest(DownloadTestCase):

    def test_idle_transfer_times_out_and_a_trickle_goes_on(self):
        size = os.path.getsize(os.path.join(self.www, self.publish("agent.zip", agent_archive())))
        started, runs = time.monotonic(), []
        for label, query in (("stalled", "stall_after=%d" % (size // 3)), ("silent", "silent"),
                             ("trickle", "rate=1&rate_from=%d" % (size - TRICKLE_SECONDS))):
            sandbox = self.folder(label, "home"), self.folder(label, "tmp"), os.path.join(self.root, label + ".record")
            self.home, self.tmpdir, self.record_file = sandbox
            bundle = self.download_bundle(self.fault_url("/agent.zip?" + query), label)
            runs.append((label, sandbox, bundle, self.start_program(bundle.program, ARGS)))
        for label, sandbox, bundle, proc in runs:
            self.home, self.tmpdir, self.record_file = sandbox
            result = self.finish_program(proc, timeout=180)
            if label == "trickle":
                self.assertGreaterEqual(time.monotonic() - started, TRICKLE_SECONDS - 5, "the trickle was not slow")
                self.assert_started(result, bundle, ARGS)
                continue
            self.assert_download_failed(result, TRANSPORT_FAILED, [
                rb"Download failed! Error - Timed out: nothing received for 60 seconds http://.*"])
            self.assertGreaterEqual(time.monotonic() - started, 59)
            self.assertIsNone(self.stored_validation_string())


if __name__ == "__main__":
    unittest.main()
