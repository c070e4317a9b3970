"""A signal to the program while the download window downloads or unpacks."""
import os
import shutil
import signal
import unittest

from bootstrap_fixture import DownloadTestCase, agent_archive

ARGS = ["--interrupted", "two words"]


def unzip_stand_in(started, go):
    """A script standing in for unzip: it creates `started`, waits for `go` (at most 30 s), then runs unzip."""
    return ("#!/bin/sh\n: > '%s'\ni=0\nwhile [ ! -e '%s' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done\n"
            'exec %s "$@"\n' % (started, go, shutil.which("unzip")))


def read_lines(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class InterruptTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())

    def test_interrupted_download(self):
        bodies = {"slow": "/long?size=100000000&rate=65536", "stalled": "/long?size=100000000&stall_after=1000"}
        for signum in (signal.SIGINT, signal.SIGTERM):
            for label, path in bodies.items():
                with self.subTest(label, signal=signum.name):
                    self.clear_cache()
                    before = self.idle_fault_stats()["bytes_sent"]
                    proc = self.start_program(self.download_bundle(self.fault_url(path), label).program, ARGS)
                    self.wait_until(lambda: self.faults.stats()["bytes_sent"] > before, "the download begin", proc)
                    proc.send_signal(signum)
                    self.assert_download_failed(self.finish_program(proc, timeout=15), [])
                    self.idle_fault_stats()  # the transfer was abandoned
                    self.assertIsNone(self.stored_validation_string())

    def test_window_closed_while_unpacking(self):
        """A window closed by a signal to the program while unzip runs starts nothing once unzip is done."""
        started, go = os.path.join(self.root, "unzip-started"), os.path.join(self.root, "unzip-go")
        self.addCleanup(lambda: open(go, "w").close())  # never leaves the stand-in waiting
        stand_in = os.path.join(self.folder("bin"), "unzip")
        with open(stand_in, "w") as f:
            f.write(unzip_stand_in(started, go))
        os.chmod(stand_in, 0o755)
        trace = os.path.join(self.root, "trace")
        env = {"PATH": os.path.dirname(stand_in) + os.pathsep + os.environ["PATH"], "QZ_BOOTSTRAP_UI_TRACE": trace}
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum.name):
                self.clear_cache()
                for path in (started, go, trace):
                    if os.path.exists(path):
                        os.remove(path)
                proc = self.start_program(self.download_bundle(self.nginx.url("agent.zip")).program, ARGS, env)
                self.wait_until(lambda: os.path.exists(started), "unzip start", proc)
                proc.send_signal(signum)
                self.wait_until(lambda: "closed" in read_lines(trace), "the window close", proc, bound=15)
                open(go, "w").close()
                self.assert_download_failed(self.finish_program(proc), [])

if __name__ == "__main__":
    unittest.main()
