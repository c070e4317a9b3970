"""A minute without a byte ends a download as a failure; a slow trickle is never cut off.

These runs each last over a minute, so they run side by side, each in its own
HOME and TMPDIR, and this file holds nothing else."""
import os
import time
import unittest

from bootstrap_fixture import AGENT_SAYS, TRANSPORT_FAILED, DownloadTestCase, agent_archive

ARGS = ["--slow", "two words"]
IDLE_LIMIT = 60  # seconds without a byte
TRICKLE_SECONDS = IDLE_LIMIT + 10  # the last bytes of the trickled archive come one a second
BOUND = 180  # no run may take longer than this


class Lane:
    """One run's own HOME, TMPDIR and agent record."""

    def __init__(self, test, label):
        self.home, self.tmpdir = test.folder(label, "home"), test.folder(label, "tmp")
        self.record_file = os.path.join(test.root, label, "record")


class TimeoutTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.size = len(agent_archive())
        cls.publish("agent.zip", agent_archive())

    def use(self, lane):
        """Points the fixture's HOME, TMPDIR and record at the lane."""
        self.home, self.tmpdir, self.record_file = lane.home, lane.tmpdir, lane.record_file

    def start(self, lane, path):
        self.use(lane)
        bundle = self.download_bundle(self.fault_url(path), label=os.path.basename(os.path.dirname(lane.home)))
        return bundle, self.start_program(bundle.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode()})

    def test_idle_transfers_time_out_and_a_trickle_goes_on(self):
        trickle, silent, stalled = (Lane(self, label) for label in ("trickle", "silent", "stalled"))
        started = time.monotonic()
        trickle_path = "/agent.zip?rate=1&rate_from=%d" % (self.size - TRICKLE_SECONDS)
        trickle_bundle, trickle_proc = self.start(trickle, trickle_path)
        failing = {  # lane -> (process, URL path)
            silent: self.start(silent, "/agent.zip?silent")[1],
            stalled: self.start(stalled, "/agent.zip?stall_after=%d" % (self.size // 3))[1],
        }
        for lane, proc in failing.items():
            self.use(lane)
            result = self.finish_program(proc, timeout=BOUND)
            self.assert_download_failed(result, TRANSPORT_FAILED, [
                rb"Download failed! Error - Timed out: nothing received for %d seconds http://.*" % IDLE_LIMIT])
            self.assertIsNone(self.stored_validation_string())

        self.use(trickle)
        result = self.finish_program(trickle_proc, timeout=BOUND)
        self.assertGreaterEqual(time.monotonic() - started, TRICKLE_SECONDS - 5, "the trickle was not slow")
        self.assert_started_from_cache(result, trickle_bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), b'"file-%d"' % self.size)

        for lane in failing:  # the cache of a timed-out run still serves the next one
            with self.subTest(os.path.basename(os.path.dirname(lane.home))):
                self.use(lane)
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="next")
                self.assert_started_from_cache(result, bundle, ARGS)


if __name__ == "__main__":
    unittest.main()
