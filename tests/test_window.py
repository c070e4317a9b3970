"""The download window, driven by tests/window_driver.cc (beside BOOTSTRAPPER) and read back through its UI
trace: GTK on a virtual display of its own, and the terminal window on standard error without a display."""
import ctypes
import ctypes.util
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
import zlib

from bootstrap_fixture import BootstrapTestCase, read, write

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
    return write(path, b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                 + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


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


class WindowTestCase(BootstrapTestCase):
    """Runs the driver in the sandbox with a UI trace of its own, on the class's display if it has one."""
    trace_path = property(lambda self: os.path.join(self.root, "trace"))

    def env(self, **extra):
        display = getattr(self, "display", None)
        env = dict(os.environ, QZ_BOOTSTRAP_UI_TRACE=self.trace_path, DISPLAY=display and display.name,
                   WAYLAND_DISPLAY=None, GDK_BACKEND="x11", NO_AT_BRIDGE="1", **extra)
        return {k: v for k, v in env.items() if v is not None}

    def start(self, scenario, splash=None, executable=DRIVER, env=None, **popen):
        """Starts the driver (its standard output, the event lines, is a pipe)."""
        if os.path.exists(self.trace_path):
            os.remove(self.trace_path)
        process = subprocess.Popen([executable, scenario] + ([splash] if splash else []), env=env or self.env(),
                                   stdout=subprocess.PIPE, **{"stdin": subprocess.DEVNULL, "stderr": subprocess.PIPE,
                                                              **popen})
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
        return read(self.trace_path, b"").decode().splitlines()

    def wait_for_trace(self, line):
        self.wait_until(lambda: line in self.trace(), "trace line " + repr(line), bound=NO_HANG)

    def assert_in_order(self, expected, lines):
        position = 0
        for line in expected:
            self.assertIn(line, lines[position:], "\n".join(lines))
            position = lines.index(line, position) + 1


TITLE = os.path.basename(DRIVER)  # a flat install: titled after the program


def accessible(title, value, status, button):
    return ["accessible window frame " + title, "accessible image image Splash image",
            "accessible progress progress bar Download progress value " + value,
            "accessible status statusbar " + status.replace("\n", "\\n"), "accessible button push button " + button]


class GtkWindowTest(WindowTestCase):

    @classmethod
    def setUpClass(cls):
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.env(), check=check, capture_output=True, text=True,
                              timeout=NO_HANG).stdout

    def window_id(self, title=TITLE):
        return self.wait_until(lambda: self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title,
                                                    check=False).split(), "the window", bound=NO_HANG)[0]

    def geometry(self, window):
        return {k: int(v) for k, v in (line.split("=") for line in self.xdotool("getwindowgeometry", "--shell",
                                                                                 window).split())}

    def key(self, window, key):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", key)

    def test_states_texts_and_accessible_names(self):
        process = self.start("failure", write_png(self.root + "/splash.png", 800, 600))
        self.wait_for_trace("button Close enabled")
        self.key(self.window_id(), "Return")
        # Only the platform log's line: GTK had nothing to complain about.
        self.assertEqual(1, len(self.finish(process, 1).splitlines()))
        trace = self.trace()
        self.assertEqual(INITIAL + ["splash 0x0"], trace[:5])
        shown = accessible(TITLE, "0", "Downloading", "Cancel")
        self.assertEqual(shown, trace[trace.index(shown[0]):][:5], trace)
        self.assert_in_order(["splash 400x300"] + FAILURE, trace)
        self.assertEqual(accessible(TITLE, "1", TWO_LINES, "Close") + ["closed"], trace[-6:])

        process = self.start("progress", write_png(self.root + "/splash.png", 200, 100))  # scaled up into 400x400
        self.finish(process, 0)  # the hand-off: closed later, without windowWillClose
        self.assert_in_order(["splash 400x200", "progress 100 1000 determinate still",
                              "progress 500 1000 determinate still"] + HAND_OFF + ["closed"], self.trace())
        self.assertNotIn("status after the stop", self.trace())

    def test_each_way_to_close_closes_once(self):
        def click_button(process, window):
            # The button sits in the bottom right corner, inside the 16-pixel border.
            shell = self.geometry(window)
            self.xdotool("mousemove", "--window", window, str(shell["WIDTH"] - 40), str(shell["HEIGHT"] - 30),
                         "click", "1")

        def return_does_nothing_then_close_box(process, window):
            self.key(window, "Return")
            time.sleep(1)  # room for a wrong close to show
            self.assertIsNone(process.poll(), "Return pressed a disabled button")
            send_close_box(self.display.name, int(window))

        cases = [  # (scenario, the trace line it waits for, how the window is closed)
            ("failure", "button Close enabled", lambda p, w: self.key(w, "Return")),
            ("failure", "button Close enabled", click_button),
            ("hold", "progress 1 100 indeterminate animating", lambda p, w: self.key(w, "Escape")),
            ("unzipfail", "button Close disabled", return_does_nothing_then_close_box),
            ("hold", "progress 1 100 indeterminate animating", lambda p, w: p.send_signal(signal.SIGTERM)),
        ]
        for number, (scenario, shown, close) in enumerate(cases):
            with self.subTest(number, scenario=scenario):
                process = self.start(scenario)
                self.wait_for_trace(shown)
                close(process, self.window_id())
                self.finish(process, 1)
                self.assertFalse([line for line in self.trace() if "after the close" in line])

    def test_titled_after_the_bundle_centred_and_doubled_with_the_scale(self):
        macos = os.path.join(self.root, "Acme Setup.app", "Contents", "MacOS")
        os.makedirs(macos)
        driver = shutil.copy2(DRIVER, macos)
        shutil.copy2(os.path.join(os.path.dirname(DRIVER), "bootstrapper-gtk.so"), macos)
        sizes = []
        for scale in ("1", "2"):
            splash = write_png(self.root + "/splash.png", 800, 600)
            process = self.start("failure", splash, driver, self.env(GDK_SCALE=scale))
            self.wait_for_trace("button Close enabled")
            window, shells = self.window_id("Acme Setup"), [None]
            # The failure's two lines may still resize it.
            self.wait_until(lambda: time.sleep(0.3) or shells.append(self.geometry(window)) or shells[-1] == shells[-2],
                            "a settled size", bound=NO_HANG)
            x, y, width, height = (shells[-1][key] for key in ("X", "Y", "WIDTH", "HEIGHT"))
            self.assertLessEqual(max(abs(x - (1600 - width) // 2), abs(y - (1200 - height) // 2)), 1, shells[-1])
            sizes.append((width, height))
            self.key(window, "Return")
            self.finish(process, 1)
            self.assertIn("splash 400x300", self.trace())  # the same in window units
        self.assertEqual((2 * sizes[0][0], 2 * sizes[0][1]), sizes[1])


LOG = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} window_driver\[\d+:\d+\] received half of the archive")
CLEAR, RED, PLAIN = "\r\x1b[K", "\x1b[31m", "\x1b[0m"
FULL = "[####################]"
FAILED = FULL + " " + TWO_LINES.replace("\n", " ")


class Terminal:
    """A pseudo-terminal, 60 columns wide, read by a thread."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.resize(60)
        self.chunks = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        try:
            while data := os.read(self.master, 4096):
                self.chunks.append(data)
        except OSError:  # the last writer closed the terminal
            pass

    def output(self):
        return b"".join(self.chunks).decode().replace("\r\n", "\n")

    def drawings(self):
        """Each drawing of the line in place, without colours; the log's lines left out."""
        pieces = (p.replace(RED, "").replace(PLAIN, "").split("\n")[0] for p in self.output().split(CLEAR)[1:])
        return [p for p in pieces if p and not LOG.fullmatch(p)]

    def resize(self, columns):
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))

    def close(self):
        os.close(self.slave)
        self.reader.join(timeout=30)
        os.close(self.master)


class TerminalWindowTest(WindowTestCase):

    def test_plain_lines_when_standard_error_is_no_terminal(self):
        """Unattended, a failure or an idle window closes at once; no escape codes."""
        cases = [  # (scenario, lines on standard error, closes, what the trace holds in order)
            ("progress", ["Downloading", LOG, "Initializing the installer"], 0, INITIAL + HAND_OFF + ["closed"]),
            ("failure", ["Downloading", LOG] + TWO_LINES.split("\n"), 1, INITIAL + FAILURE + ["closed"]),
            ("unzipfail", ["Downloading", LOG, "Initializing the installer", "Failed to unzip the installer."], 1,
             ["button Cancel disabled", "status Failed to unzip the installer.", "color red", "button Close disabled"]),
            ("idle", ["Downloading"], 1, INITIAL + ["closed"]),
        ]
        for scenario, expected, closes, trace in cases:
            with self.subTest(scenario):
                lines = self.finish(self.start(scenario), closes, scenario != "idle").splitlines()
                self.assertEqual(len(expected), len(lines), lines)
                for want, line in zip(expected, lines):
                    self.assertRegex(line, want) if isinstance(want, re.Pattern) else self.assertEqual(want, line)
                self.assert_in_order(trace, self.trace())
                self.assertNotIn("status after the stop", self.trace())
                self.assertFalse([line for line in self.trace() if line.startswith("splash")])

    def test_on_a_terminal_the_line_is_redrawn_and_waits_for_return(self):
        cases = [  # (scenario, the trace line after which it waits for Return, drawings that must be there)
            ("progress", None, ["[##########----------] Downloading", FULL + " Downloading",
                                 "[#####---------------] Initializing the installer"]),
            ("failure", "button Close enabled", [FAILED[:60]]),
            ("unzipfail", "button Close disabled", [FULL + " Failed to unzip the installer."]),
            ("idle", "button Cancel enabled", ["[--------------------] Downloading"]),
        ]
        for scenario, waits, drawn in cases:
            with self.subTest(scenario):
                terminal = Terminal()
                process = self.start(scenario, stdin=terminal.slave, stderr=terminal.slave)
                if waits:
                    self.wait_for_trace(waits)
                    time.sleep(0.5)  # room for a wrong close to show
                    self.assertIsNone(process.poll(), "closed without waiting for Return")
                    os.write(terminal.master, b"\r")
                self.finish(process, int(bool(waits)), scenario != "idle")
                terminal.close()
                output = terminal.output()
                self.assertTrue(output.endswith("\n"), repr(output[-80:]))
                self.assertEqual([], [d for d in drawn if d not in terminal.drawings()], terminal.drawings())
                self.assertTrue(all(len(line) <= 60 for line in terminal.drawings()))
                if scenario == "failure":  # the whole text above the line, in red on the line
                    self.assertIn(CLEAR + TWO_LINES + "\n", output)
                    self.assertIn(RED + "Error during the download process.", output)
                if scenario == "progress":  # the log line on a cleared line, the bar back below it
                    self.assertRegex(output, re.escape(CLEAR) + LOG.pattern + "\n" + re.escape(CLEAR + "["))

    def test_line_follows_a_resize_and_echo_comes_back(self):
        terminal = Terminal()
        process = self.start("failure", stdin=terminal.slave, stderr=terminal.slave)
        self.wait_for_trace("color red")
        for columns, bar in [(100, "[" + "#" * 33 + "]"), (30, "[" + "#" * 10 + "]")]:
            terminal.resize(columns)
            process.send_signal(signal.SIGWINCH)
            self.wait_until(lambda: terminal.drawings()[-1] == (bar + FAILED[len(FULL):])[:columns], str(columns))
        os.write(terminal.master, b"\r")
        self.finish(process, 1)
        self.assertTrue(termios.tcgetattr(terminal.slave)[3] & termios.ECHO, "echo not restored")
        terminal.close()
        # One line feed at the end: the Return typed is not echoed.
        self.assertTrue(terminal.output().endswith("] " + RED + "Error during the " + PLAIN + "\n"))


if __name__ == "__main__":
    import unittest
    unittest.main()
