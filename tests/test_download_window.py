"""The download window under a virtual X display, seen through its control trace.

Screenshots are left beside the program under test (download-window-*.png)."""
import os
import subprocess
import time
import unittest
import zipfile

from bootstrap_fixture import AGENT_SAYS, FAILED, GARBAGE, PROGRAM, DownloadTestCase, agent_archive, free_port
from test_window_gtk import VirtualDisplay, send_close_box

ARGS = ["--windowed", "two words"]
WAIT = 60  # seconds: bound on anything the window is waited for
RATE = 256 * 1024  # bytes a second
PADDING = 6 * RATE  # the slow archive takes about six seconds
TRANSPORT_TEXT = "Error during the download process.\\nSee the log in Console app for more information."


def x_client(display, *command):
    """Runs an X client (xdotool, import) on the display; its output."""
    return subprocess.run(command, env={**os.environ, "DISPLAY": display}, check=True, capture_output=True,
                          timeout=WAIT).stdout


def screenshot(display, name):
    """The whole screen as a PNG beside the program under test; its path."""
    path = os.path.join(os.path.dirname(PROGRAM), name)
    x_client(display, "import", "-window", "root", path)
    return path


def splash_png(width, height):
    return subprocess.run(["convert", "-size", "%dx%d" % (width, height), "gradient:navy-skyblue", "png:-"],
                          check=True, capture_output=True, timeout=WAIT).stdout


def progress(line):
    """(value, max, mode, animation) of a "progress" trace line."""
    _, value, maximum, mode, animation = line.split(" ")
    return float(value), float(maximum), mode, animation


class DownloadWindowTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)
        archive = agent_archive(("padding.bin", os.urandom(PADDING), 0o644), compression=zipfile.ZIP_STORED)
        cls.size = len(archive)
        cls.publish("slow.zip", archive)
        cls.publish("garbage.zip", GARBAGE)

    def start_window(self, url, splash=True):
        """Starts a bundle fetching url under the display, tracing its window into a fresh file."""
        self.trace_file = os.path.join(self.root, "trace")
        if os.path.exists(self.trace_file):
            os.remove(self.trace_file)
        resources = {"splash.png": splash_png(800, 400)} if splash else {}
        bundle = self.download_bundle(url, "splash" if splash else "plain", resources=resources)
        env = {"DISPLAY": self.display.name, "QZ_BOOTSTRAP_UI_TRACE": self.trace_file, "NO_AT_BRIDGE": "1",
               "AGENT_SAY": AGENT_SAYS.decode()}
        return bundle, self.start_program(bundle.program, ARGS, env)

    def trace(self):
        try:
            with open(self.trace_file) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_trace(self, proc, condition, what):
        """The trace once condition(trace) holds, while the program runs."""
        return self.wait_until(lambda: condition(trace := self.trace()) and trace,
                               lambda: "%s; trace:\n%s" % (what, "\n".join(self.trace())), proc, WAIT)

    def window_of(self, proc):
        return int(x_client(self.display.name, "xdotool", "search", "--sync", "--onlyvisible", "--pid",
                            str(proc.pid)).split()[0])

    def press_return(self, proc):
        window = str(self.window_of(proc))
        x_client(self.display.name, "xdotool", "windowfocus", "--sync", window)
        x_client(self.display.name, "xdotool", "key", "--clearmodifiers", "Return")

    def test_download_moves_the_bar_and_starts_the_agent(self):
        bundle, proc = self.start_window(self.fault_url("/slow.zip?rate=%d" % RATE))
        self.wait_for_trace(proc, lambda t: any(l.startswith("progress ") and 0 < progress(l)[0] < progress(l)[1]
                                                 and progress(l)[1] == self.size for l in t), "a moving bar")
        print("screenshot:", screenshot(self.display.name, "download-window-progress.png"))
        result = self.finish_program(proc, WAIT)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=None)
        trace = self.trace()
        self.assertIn("splash 400x200", trace)
        self.assertIn("status Downloading", trace)
        self.assertIn("button Cancel enabled", trace)
        values = [progress(l)[0] for l in trace if l.startswith("progress ") and progress(l)[1:3] == (self.size,
                                                                                                     "determinate")]
        self.assertEqual(values, sorted(values), trace)
        self.assertGreaterEqual(len(set(values)), 3, trace)
        self.assertEqual(values[-1], self.size, trace)
        unpacking = trace.index("status Initializing the installer")
        self.assertGreater(unpacking, trace.index("status Downloading"))
        self.assertIn("button Cancel disabled", trace[unpacking:])
        self.assertTrue(any(l.startswith("progress ") and progress(l)[2:] == ("indeterminate", "animating")
                            for l in trace[unpacking:]), trace)
        self.assertEqual((trace[-1], trace.count("closed")), ("closed", 1), trace)

        # The same ETag again: the cached agent starts and the window closes without unpacking.
        bundle, proc = self.start_window(self.fault_url("/slow.zip?rate=%d" % RATE), splash=False)
        result = self.finish_program(proc, WAIT)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=None)
        trace = self.trace()
        self.assertNotIn("status Initializing the installer", trace)
        self.assertNotIn("splash 400x200", trace)
        self.assertEqual((trace[-1], trace.count("closed")), ("closed", 1), trace)

    def test_bar_without_announced_length_is_indeterminate(self):
        bundle, proc = self.start_window(self.fault_url("/slow.zip?nolength&rate=%d" % (4 * RATE)), splash=False)
        result = self.finish_program(proc, WAIT)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=None)
        trace = self.trace()
        receiving = [progress(l)[2:] for l in trace[:trace.index("status Initializing the installer")]
                     if l.startswith("progress ")][1:]  # after the first state
        self.assertGreater(len(receiving), 1, trace)
        self.assertEqual(set(receiving), {("indeterminate", "still")}, trace)

    def test_failure_stays_until_closed(self):
        cases = {  # label -> (URL, status text, button after the failure, screenshot file)
            "refused": (self.fault_url("/missing?status=404&size=100"), "Download failed with error code 404",
                        "button Close enabled", "download-window-failed.png"),
            "transport error": ("http://127.0.0.1:%d/agent.zip" % free_port(), TRANSPORT_TEXT,
                                "button Close enabled", None),
            "unusable archive": (self.nginx.url("garbage.zip"), "Failed to unzip the installer.",
                                 "button Close disabled", "download-window-unpack-failed.png"),
        }
        for label, (url, text, button, picture) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                _, proc = self.start_window(url)
                # The failure display changes one control after the other: wait for its last change
                # (the red colour, after the text) before reading the trace.
                def shown(t, status="status " + text, button=button):
                    return status in t and button in t and "color red" in t[t.index(status):]
                trace = self.wait_for_trace(proc, shown, "the failure")
                failed = trace.index("status " + text)
                self.assertIn("color red", trace[failed:])
                value, maximum, mode, animation = progress([l for l in trace if l.startswith("progress ")][-1])
                self.assertEqual((value, mode, animation), (maximum, "determinate", "still"), trace)
                if picture:
                    print("screenshot:", screenshot(self.display.name, picture))
                self.assertIsNone(proc.poll(), "the window did not wait to be closed")
                self.press_return(proc)
                if button.endswith("disabled"):  # Return does nothing; the window's close box still closes it
                    time.sleep(1)
                    self.assertIsNone(proc.poll(), "a disabled button closed the window")
                    send_close_box(self.display.name, self.window_of(proc))
                result = self.finish_program(proc, WAIT)
                self.assertEqual((result.status, result.stderr.splitlines()[-1:]), (255, [FAILED]), result.stderr)
                self.assertEqual(self.trace()[-1], "closed")
                self.assertIsNone(result.record, "the install agent ran")
                self.assertIsNone(self.stored_validation_string())
                self.assert_no_temp_left()


if __name__ == "__main__":
    unittest.main()
