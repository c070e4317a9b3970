"""The window tests' helpers: a virtual X display, the close box, and runs of tests/window_driver.cc (beside
BOOTSTRAPPER), read back through its UI trace."""
import ctypes
import ctypes.util
import os
import select
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

DRIVER = os.path.join(os.path.dirname(os.environ.get("BOOTSTRAPPER", "")), "window_driver")
NO_HANG = 30.0  # seconds: only a hang exceeds it
TWO_LINES = "Error during the download process.\nSee the log in Console app for more information."
INITIAL = ["status Downloading", "color default", "progress 0 100 determinate still", "button Cancel enabled"]
FAILURE = ["progress 300 1000 determinate still", "status " + TWO_LINES.replace("\n", "\\n"), "color red",
           "progress 1000 1000 determinate still", "button Close enabled"]
HAND_OFF = ["progress 1000 1000 determinate still", "status Initializing the installer",
            "progress 1000 1000 indeterminate animating", "button Cancel disabled"]


def write_png(path, width, height):
    """An RGB PNG of gradients."""
    rows = b"".join(b"\0" + b"".join(bytes([60 + 150 * x // width, 90, 200 - 150 * y // height]) for x in range(width))
                    for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    return path


def wait_until(condition, what, timeout=NO_HANG):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class VirtualDisplay:
    """Xvfb, 1600x1200, on a display number it picks itself; `timeout` ends it even when the tests are killed."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["timeout", "--kill-after=5", "900", "Xvfb", "-displayfd", str(write_end),
                                         "-screen", "0", "1600x1200x24", "-nolisten", "tcp"], pass_fds=[write_end],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip() if select.select([numbers], [], [], NO_HANG)[0] else ""
        if not number.isdigit():
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=NO_HANG)


def send_close_box(display, window):
    """The WM_DELETE_WINDOW message a window manager sends for a click on the close box."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype, x11.XOpenDisplay.argtypes = ctypes.c_void_p, [ctypes.c_char_p]
    x11.XInternAtom.restype, x11.XInternAtom.argtypes = ctypes.c_ulong, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class Message(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
    connection = x11.XOpenDisplay(display.encode())
    event = Message(type=33, window=window, format=32, message_type=x11.XInternAtom(connection, b"WM_PROTOCOLS", 0))
    event.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(connection, window, 0, 0, ctypes.byref(event))
    x11.XFlush(connection)
    x11.XCloseDisplay(connection)


class WindowTestCase(unittest.TestCase):
    """Runs the driver in a scratch folder with a UI trace of its own."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="window-test-")
        self.addCleanup(scratch.cleanup)
        self.scratch, self.trace_path = scratch.name, os.path.join(scratch.name, "trace")

    def environment(self, **extra):
        env = dict(os.environ, QZ_BOOTSTRAP_UI_TRACE=self.trace_path, **extra)
        return {k: v for k, v in env.items() if v is not None}

    def start(self, scenario, env, splash=None, executable=DRIVER, **popen):
        """Starts the driver (its standard output, the event lines, is a pipe)."""
        if os.path.exists(self.trace_path):
            os.remove(self.trace_path)
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stderr", subprocess.PIPE)
        process = subprocess.Popen([executable, scenario] + ([splash] if splash else []), env=env,
                                   stdout=subprocess.PIPE, **popen)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        return process

    def finish(self, process, closes, session=True):
        """Waits for the driver: it reports launched, `closes` windowWillClose, the session's end, returned 0;
        the window's trace ends with one "closed". Its standard error."""
        out, err = process.communicate(timeout=NO_HANG)
        events = out.decode().splitlines()
        self.assertEqual((0, "launched", "returned 0"), (process.returncode, events[0], events[-1]), err)
        self.assertEqual((closes, int(session)), (events.count("windowWillClose"), events.count("session done")))
        trace = self.trace()
        self.assertEqual(("closed", 1), (trace[-1], trace.count("closed")), trace)
        return (err or b"").decode()

    def trace(self):
        try:
            with open(self.trace_path, encoding="utf-8") as trace:
                return trace.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_trace(self, line):
        wait_until(lambda: line in self.trace(), "trace line " + repr(line))

    def make_splash(self, width, height):
        return write_png(os.path.join(self.scratch, "splash.png"), width, height)

    def assert_in_order(self, expected, lines):
        position = 0
        for line in expected:
            self.assertIn(line, lines[position:], "\n".join(lines))
            position = lines.index(line, position) + 1
