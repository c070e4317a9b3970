"""Shared helpers for the download window's integration tests.

They run tests/window_driver.cc's program (WINDOW_DRIVER, else "window_driver"
beside BOOTSTRAPPER), which runs the application with a scripted delegate,
and read what the window did from its UI trace (QZ_BOOTSTRAP_UI_TRACE).
"""
import os
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib
from typing import Callable, Dict, List, Optional

DRIVER = os.environ.get("WINDOW_DRIVER") or os.path.join(
    os.path.dirname(os.environ.get("BOOTSTRAPPER", "")), "window_driver")
# Generous: only a hang exceeds these.
NO_HANG = 30.0
TWO_LINE_FAILURE = "Error during the download process.\nSee the log in Console app for more information."
# The trace of the driver's "failure" scenario after the initial lines: a bar
# that moves, then the failure display.
FAILURE_LINES = [
    "progress 0 1000 determinate still",
    "progress 100 1000 determinate still",
    "progress 200 1000 determinate still",
    "progress 300 1000 determinate still",
    "status " + TWO_LINE_FAILURE.replace("\n", "\\n"),
    "color red",
    "progress 1000 1000 determinate still",
    "button Close enabled",
]
INITIAL_LINES = ["status Downloading", "color default", "progress 0 100 determinate still", "button Cancel enabled"]


def write_png(path: str, width: int, height: int) -> None:
    """An RGB PNG of checks and gradients, so that a screenshot shows it."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # no filter
        for x in range(width):
            check = (x // 40 + y // 40) % 2
            rows += bytes([60 + 150 * x // width, 90 if check else 150, 200 - 150 * y // height])

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows)))
                  + chunk(b"IEND", b""))


def wait_until(condition: Callable[[], bool], what: str, timeout: float = NO_HANG) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class WindowTestCase(unittest.TestCase):
    """Runs the driver in a scratch folder with a UI trace of its own."""

    def setUp(self):
        self.assertTrue(os.access(DRIVER, os.X_OK), "window driver not built: " + DRIVER)
        self.scratch = tempfile.TemporaryDirectory(prefix="window-test-")
        self.addCleanup(self.scratch.cleanup)
        self.trace_path = os.path.join(self.scratch.name, "trace")
        self.processes: List[subprocess.Popen] = []
        self.addCleanup(self.kill_processes)

    def kill_processes(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()

    def environment(self, **extra: Optional[str]) -> Dict[str, str]:
        env = dict(os.environ, QZ_BOOTSTRAP_UI_TRACE=self.trace_path)
        for name, value in extra.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def start(self, scenario: str, env: Dict[str, str], splash: Optional[str] = None, **popen) -> subprocess.Popen:
        """Starts the driver; standard output (its event lines) is a pipe."""
        if os.path.exists(self.trace_path):
            os.remove(self.trace_path)
        args = [DRIVER, scenario] + ([splash] if splash else [])
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stderr", subprocess.PIPE)
        process = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, **popen)
        self.processes.append(process)
        return process

    def finish(self, process: subprocess.Popen):
        """Waits for the driver to end; its standard output and error."""
        out, err = process.communicate(timeout=NO_HANG)
        self.assertEqual(0, process.returncode, err)
        return out.decode(), (err or b"").decode()

    def trace(self) -> List[str]:
        try:
            with open(self.trace_path, encoding="utf-8") as trace:
                return trace.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_trace(self, line: str) -> None:
        wait_until(lambda: line in self.trace(), "trace line " + repr(line))

    def make_splash(self, width: int, height: int) -> str:
        path = os.path.join(self.scratch.name, "splash.png")
        write_png(path, width, height)
        return path

    def assert_events(self, out: str, closes: int, session: bool = True) -> None:
        """The driver's event lines: launched, `closes` windowWillClose, the session's end, returned 0."""
        events = out.splitlines()
        self.assertEqual("launched", events[0], out)
        self.assertEqual(closes, events.count("windowWillClose"), out)
        self.assertEqual(1 if session else 0, events.count("session done"), out)
        self.assertEqual("returned 0", events[-1], out)

    def assert_in_order(self, expected: List[str], lines: List[str]) -> None:
        """`expected` appears in `lines` in this order (other lines between)."""
        position = 0
        for line in expected:
            self.assertIn(line, lines[position:], "\n".join(lines))
            position = lines.index(line, position) + 1

    def check_signals_close(self, env: Dict[str, str], while_held=lambda signal_number: None) -> None:
        """SIGINT and SIGTERM each close a window held open by the session, once and for good;
        while_held(signal) runs just before the signal is sent."""
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal_number.name):
                process = self.start("hold", env)
                self.wait_for_trace("progress 1 100 indeterminate animating")
                while_held(signal_number)
                process.send_signal(signal_number)
                out, _ = self.finish(process)
                self.assert_events(out, closes=1)
                trace = self.trace()
                self.assert_trace_ends_closed(trace)
                self.assertFalse([line for line in trace if "after the close" in line])

    def assert_trace_ends_closed(self, lines: List[str]) -> None:
        self.assertEqual("closed", lines[-1], "\n".join(lines))
        self.assertEqual(1, lines.count("closed"))
