#!/usr/bin/env python3
"""Checks of the benchmarks' own instruments, run by scripts/bench first.

    TRANSFER_BENCH=build/transfer_bench python3 bench/bench_test.py

transfer_bench must count a transfer only when the whole body arrived and
nothing was unpacked or started, in the terminal window and in the GTK window
(on an Xvfb display of the test's own); bench.py must tell a GTK run that fell
back to the terminal window and print its table in the comparisons' order.
"""
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)
import bench  # noqa: E402
from bootstrap_fixture import CACHE_AGENT_DIR, CACHE_DIR, URL, VALIDATION_FILE  # noqa: E402
from test_fault_server import FaultServer  # noqa: E402
from test_window_gtk import VirtualDisplay  # noqa: E402

PROGRAM = os.environ.get("TRANSFER_BENCH") or os.path.join(HERE, "..", "build-bench", "transfer_bench")
SIZE = 3 * 1024 * 1024 + 17  # several reports, not a whole number of them


class TransferBenchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = FaultServer().__enter__()
        cls.display = VirtualDisplay()

    @classmethod
    def tearDownClass(cls):
        cls.display.stop()
        cls.server.__exit__()

    def setUp(self):
        self.sandbox = tempfile.TemporaryDirectory(prefix="transfer-bench-test-")
        self.home = os.path.join(self.sandbox.name, "home")
        self.tmp = os.path.join(self.sandbox.name, "tmp")
        os.makedirs(self.home), os.makedirs(self.tmp)
        self.addCleanup(self.sandbox.cleanup)

    def url(self, query):
        return "http://127.0.0.1:%d/agent.zip?%s" % (self.server.port, query)

    def run_bench(self, url, display=None):
        env = bench.base_environment(self.home, self.tmp, display)
        return subprocess.run([PROGRAM, url], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60)

    def assert_counted(self, result, size):
        self.assertEqual(result.returncode, 0, result.stderr)
        words = result.stdout.split()
        self.assertEqual(words[:2], [b"bytes", str(size).encode()])
        self.assertGreater(float(words[3]), 0.0)

    def assert_nothing_left(self):
        self.assertFalse(os.path.exists(os.path.join(self.home, CACHE_AGENT_DIR)), "something was unpacked")
        self.assertEqual(os.listdir(self.tmp), [], "the transfer's temporary file stayed")

    def test_whole_body_counts_in_either_window(self):
        for window, display in (("terminal", None), ("GTK", self.display.name)):
            with self.subTest(window=window):
                result = self.run_bench(self.url("size=%d" % SIZE), display)
                self.assert_counted(result, SIZE)
                self.assert_nothing_left()
                # The terminal window draws on standard error, GTK does not.
                self.assertEqual(result.stderr.startswith(b"Downloading"), display is None, result.stderr)

    def test_transfers_that_do_not_count(self):
        cases = [
            # name, URL, what standard error's last line names
            ("refused", self.url("size=1000&status=404"), b"(status 404)"),
            ("cut short", self.url("size=100&length=1000"), b"(status 200)"),
            ("no server", URL.strip().decode(), b"(status 0)"),
        ]
        for name, url, reason in cases:
            with self.subTest(name):
                result = self.run_bench(url)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stdout, b"")
                last = result.stderr.splitlines()[-1]
                self.assertTrue(last.startswith(b"transfer_bench: " + url.encode()), last)
                self.assertIn(reason, last)
                self.assert_nothing_left()

    def test_current_cache_is_no_transfer(self):
        etag = '"gen-%d"' % SIZE  # what the server sends for this body
        agent_dir = os.path.join(self.home, CACHE_AGENT_DIR)
        os.makedirs(agent_dir, mode=0o700)
        for folder in (self.home, os.path.join(self.home, ".korvex")):
            for top, dirs, _ in os.walk(folder):
                os.chmod(top, 0o700)
        with open(os.path.join(agent_dir, "install"), "w") as f:
            f.write("exit 0\n")
        with open(os.path.join(self.home, CACHE_DIR, VALIDATION_FILE), "w") as f:
            f.write(etag)
        result = self.run_bench(self.url("size=%d" % SIZE))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"the cache was current: started /bin/sh", result.stderr.splitlines()[-1])

    def test_usage(self):
        result = subprocess.run([PROGRAM], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"usage: transfer_bench URL", result.stderr)


class BenchHelpersTest(unittest.TestCase):
    def test_gtk_run_in_the_terminal_window_is_refused(self):
        cases = [
            # standard error, display, refused
            (b"Downloading\n\n", ":5", True),
            (b"", ":5", False),
            (b"Gtk-WARNING: something\n", ":5", False),
            (b"Downloading\n", None, False),  # a terminal run
        ]
        with tempfile.NamedTemporaryFile() as err:
            for stderr, display, refused in cases:
                with self.subTest(stderr=stderr, display=display):
                    err.seek(0), err.truncate(), err.write(stderr), err.flush()
                    if refused:
                        self.assertRaises(RuntimeError, bench.check_window, err.name, display)
                    else:
                        bench.check_window(err.name, display)

    def test_table_follows_the_numbering(self):
        rows = [(name, "goal", "a", 0.001, "", None, "", "") for name in
                ("6. console", "3a. hit", "5a. cancel", "1. download", "2a. terminal", "2b. gtk", "4c. rss")]
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            bench.print_table(rows, type("Options", (), {"runs": 5}))
        names = [line.split("|")[1].strip() for line in out.getvalue().splitlines()[2:]]
        self.assertEqual(names, ["1. download", "2a. terminal", "2b. gtk", "3a. hit", "4c. rss", "5a. cancel",
                                 "6. console"])

if __name__ == "__main__":
    unittest.main()
