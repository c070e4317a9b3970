"""The GTK download window, on a virtual display (Xvfb) of the test's own.

Screenshots of the window go to window-screenshots/ beside the driver: the
whole screen as NAME.png, the window alone as window-NAME.png.
"""
import ctypes
import ctypes.util
import os
import select
import shutil
import signal
import subprocess
import time
import unittest

from window_fixture import DRIVER, FAILURE_LINES, INITIAL_LINES, NO_HANG, TWO_LINE_FAILURE, WindowTestCase, wait_until

SCREENSHOTS = os.path.join(os.path.dirname(DRIVER), "window-screenshots")
GTK_INITIAL_LINES = INITIAL_LINES + ["splash 0x0"]
SCREEN = (1600, 1200)  # room for the window at double scale
# The driver runs as a flat install: the window is titled after the program.
TITLE = os.path.basename(DRIVER)


def accessible_lines(title, value, status, button):
    """The controls as ATK reads them back (the window's trace of them)."""
    return ["accessible window frame " + title,
            "accessible image image Splash image",
            "accessible progress progress bar Download progress value " + value,
            "accessible status statusbar " + status.replace("\n", "\\n"),
            "accessible button push button " + button]


class VirtualDisplay:
    """Xvfb on a display number it picks itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        # `timeout` ends Xvfb even when the tests are killed.
        self.process = subprocess.Popen(
            ["timeout", "--kill-after=5", "900", "Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            ready = select.select([numbers], [], [], NO_HANG)[0]
            number = numbers.readline().strip() if ready else ""
        if not number.isdigit():
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number

    def stop(self):
        self.process.terminate()  # `timeout` hands it on to Xvfb
        self.process.wait(timeout=NO_HANG)


def send_close_box(display: str, window: int) -> None:
    """What a window manager sends when the user clicks the close box."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    connection = x11.XOpenDisplay(display.encode())
    assert connection, "cannot open " + display
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", False)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", False)
    x11.XSendEvent(connection, window, False, 0, ctypes.byref(event))
    x11.XFlush(connection)
    x11.XCloseDisplay(connection)


class GtkWindowTest(WindowTestCase):

    @classmethod
    def setUpClass(cls):
        cls.display = VirtualDisplay()
        os.makedirs(SCREENSHOTS, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.display.stop()

    def gtk_env(self):
        return self.environment(DISPLAY=self.display.name, WAYLAND_DISPLAY=None, GDK_BACKEND="x11",
                                NO_AT_BRIDGE="1")

    def xdotool(self, *args) -> str:
        return subprocess.run(["xdotool", *args], env=self.gtk_env(), check=True, capture_output=True,
                              text=True, timeout=NO_HANG).stdout

    def window_id(self, title: str = TITLE) -> int:
        found = []

        def search():
            result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                                    env=self.gtk_env(), capture_output=True, text=True, timeout=NO_HANG)
            found[:] = result.stdout.split()
            return bool(found)

        wait_until(search, "the window on " + self.display.name)
        return int(found[0])

    def screenshot(self, name: str, window: int = 0) -> str:
        """The screen, and the window alone when given."""
        path = os.path.join(SCREENSHOTS, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.gtk_env(), check=True, timeout=NO_HANG)
        self.assertGreater(os.path.getsize(path), 0)
        if window:
            alone = os.path.join(SCREENSHOTS, "window-" + name + ".png")
            subprocess.run(["import", "-window", str(window), alone], env=self.gtk_env(), check=True,
                           timeout=NO_HANG)
        return path

    def geometry(self, window: int):
        """(x, y, width, height) of the window on the screen."""
        shell = dict(line.split("=") for line in self.xdotool("getwindowgeometry", "--shell", str(window)).split())
        return tuple(int(shell[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))

    def press_return(self, window: int) -> None:
        self.xdotool("windowfocus", "--sync", str(window))
        self.xdotool("key", "Return")

    def test_failure_display_closed_with_return(self):
        splash = self.make_splash(800, 600)
        process = self.start("failure", self.gtk_env(), splash)
        self.wait_for_trace("color red")
        window = self.window_id()
        self.screenshot("failure", window)
        self.press_return(window)
        out, err = self.finish(process)
        # Only the platform log's line: GTK had nothing to complain about.
        self.assertEqual([], [line for line in err.splitlines() if not line.endswith("received half of the archive")])
        self.assert_events(out, closes=1)
        trace = self.trace()
        self.assertEqual(GTK_INITIAL_LINES, trace[:5])
        self.assert_in_order(["splash 400x300"] + FAILURE_LINES, trace)
        self.assert_trace_ends_closed(trace)

    def test_bar_moves_and_hand_off_ends_the_run(self):
        splash = self.make_splash(200, 100)  # scaled up into 400 x 400
        process = self.start("progress", self.gtk_env(), splash)
        self.wait_for_trace("progress 500 1000 determinate still")
        self.screenshot("downloading", self.window_id())
        out, err = self.finish(process)
        self.assert_events(out, closes=0)
        trace = self.trace()
        self.assert_in_order(GTK_INITIAL_LINES + [
            "splash 400x200",
            "progress 100 1000 determinate still",
            "progress 500 1000 determinate still",
            "progress 1000 1000 determinate still",
            "status Initializing the installer",
            "progress 1000 1000 indeterminate animating",
            "button Cancel disabled",
        ], trace)
        self.assertNotIn("status after the stop", trace)
        self.assert_trace_ends_closed(trace)

    def test_return_does_nothing_while_the_button_is_disabled(self):
        process = self.start("unzipfail", self.gtk_env())
        self.wait_for_trace("color red")
        window = self.window_id()
        self.assertIn("button Close disabled", self.trace())
        self.press_return(window)
        time.sleep(1)  # room for a wrong close to show
        self.assertIsNone(process.poll())
        self.assertNotIn("closed", self.trace())
        self.screenshot("unzip-failure")
        send_close_box(self.display.name, window)
        out, _ = self.finish(process)
        self.assert_events(out, closes=1)
        self.assert_trace_ends_closed(self.trace())

    def test_button_closes_the_window(self):
        process = self.start("failure", self.gtk_env())
        self.wait_for_trace("color red")
        window = self.window_id()
        _, _, width, height = self.geometry(window)
        # The button sits in the bottom right corner, inside the 16-pixel border.
        self.xdotool("mousemove", "--window", str(window), str(width - 40), str(height - 30), "click", "1")
        out, _ = self.finish(process)
        self.assert_events(out, closes=1)
        self.assert_trace_ends_closed(self.trace())

    def test_signals_close_the_window(self):
        def shown(signal_number):
            self.window_id()
            if signal_number == signal.SIGTERM:
                self.screenshot("indeterminate")
        self.check_signals_close(self.gtk_env(), shown)

    def test_delayed_work_and_closing_from_the_session(self):
        for scenario, expected in [("delay", "status later"), ("close", "progress 200 1000 determinate still")]:
            with self.subTest(scenario):
                out, _ = self.finish(self.start(scenario, self.gtk_env()))
                self.assert_events(out, closes=1)
                self.assert_in_order([expected, "closed"], self.trace())
                self.assert_trace_ends_closed(self.trace())

    def test_controls_carry_accessible_roles_names_and_value(self):
        process = self.start("failure", self.gtk_env(), self.make_splash(40, 40))
        self.wait_for_trace("color red")
        self.press_return(self.window_id())
        self.finish(process)
        trace = self.trace()
        shown = accessible_lines(TITLE, "0", "Downloading", "Cancel")
        closing = accessible_lines(TITLE, "1", TWO_LINE_FAILURE, "Close")
        # Once shown (after the initial lines), and as the window closes.
        first = trace.index(shown[0])
        self.assertEqual(GTK_INITIAL_LINES, trace[:5])
        self.assertEqual(shown, trace[first:first + 5], "\n".join(trace))
        self.assertEqual(closing + ["closed"], trace[-6:], "\n".join(trace))

    def test_escape_closes_the_window_even_while_the_button_is_disabled(self):
        for scenario, wait_for in [("hold", "progress 1 100 indeterminate animating"),
                                   ("unzipfail", "button Close disabled")]:
            with self.subTest(scenario):
                process = self.start(scenario, self.gtk_env())
                self.wait_for_trace(wait_for)
                window = self.window_id()
                self.xdotool("windowfocus", "--sync", str(window))
                self.xdotool("key", "Escape")
                out, _ = self.finish(process)
                self.assert_events(out, closes=1)
                self.assert_trace_ends_closed(self.trace())

    def test_window_is_titled_after_the_bundle(self):
        bundle = os.path.join(self.scratch.name, "Acme Setup.app", "Contents", "MacOS")
        os.makedirs(bundle)
        driver = shutil.copy2(DRIVER, bundle)
        shutil.copy2(os.path.join(os.path.dirname(DRIVER), "bootstrapper-gtk.so"), bundle)
        process = self.start("failure", self.gtk_env(), executable=driver)
        self.wait_for_trace("color red")
        self.press_return(self.window_id("Acme Setup"))
        self.finish(process)
        self.assertIn("accessible window frame Acme Setup", self.trace())

    def test_window_is_centred_and_doubles_with_the_screen_scale(self):
        sizes = {}
        for scale in ("1", "2"):
            with self.subTest(scale=scale):
                env = dict(self.gtk_env(), GDK_SCALE=scale)
                process = self.start("failure", env, self.make_splash(800, 600))
                self.wait_for_trace("color red")
                window = self.window_id()
                self.screenshot("failure-scale-" + scale, window)
                x, y, width, height = self.geometry(window)
                sizes[scale] = (width, height)
                self.assertLessEqual(abs(x - (SCREEN[0] - width) // 2), 1, (x, width))
                self.assertLessEqual(abs(y - (SCREEN[1] - height) // 2), 1, (y, height))
                self.press_return(window)
                self.finish(process)
                # The splash keeps its proportions and its size in window units.
                self.assertIn("splash 400x300", self.trace())
        self.assertEqual((2 * sizes["1"][0], 2 * sizes["1"][1]), sizes["2"])

    def test_a_display_that_cannot_be_opened_gives_the_terminal_window(self):
        env = self.environment(DISPLAY=":2147483", WAYLAND_DISPLAY=None)
        out, err = self.finish(self.start("failure", env, self.make_splash(10, 10)))
        self.assert_events(out, closes=1)  # unattended: closed at once
        self.assertIn("See the log in Console app for more information.\n", err)
        self.assertFalse([line for line in self.trace() if line.startswith("splash")])


if __name__ == "__main__":
    unittest.main()
