"""The program's download window under a virtual X display, seen through its UI trace;
screenshots beside the program under test (download-window-*.png)."""
import os
import subprocess
import time
import zipfile

from bootstrap_fixture import AGENT_SAYS, FAILED, GARBAGE, PROGRAM, DownloadTestCase, agent_archive, free_port
from window_fixture import TWO_LINES, VirtualDisplay, send_close_box, write_png

ARGS = ["--windowed", "two words"]
RATE = 256 * 1024  # bytes a second: the archive takes about six seconds


class DownloadWindowTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)
        archive = agent_archive(("padding.bin", os.urandom(6 * RATE), 0o644), compression=zipfile.ZIP_STORED)
        cls.size = len(archive)
        cls.publish("slow.zip", archive)
        cls.publish("garbage.zip", GARBAGE)

    def start_window(self, url):
        self.trace_file = os.path.join(self.root, "trace")
        if os.path.exists(self.trace_file):
            os.remove(self.trace_file)
        write_png(os.path.join(self.root, "splash.png"), 800, 400)
        with open(os.path.join(self.root, "splash.png"), "rb") as png:
            bundle = self.download_bundle(url, "w%d" % len(os.listdir(self.root)), resources={"splash.png": png.read()})
        return bundle, self.start_program(bundle.program, ARGS, {
            "DISPLAY": self.display.name, "QZ_BOOTSTRAP_UI_TRACE": self.trace_file, "NO_AT_BRIDGE": "1",
            "AGENT_SAY": AGENT_SAYS.decode()})

    def trace(self):
        try:
            with open(self.trace_file) as trace:
                return trace.read().splitlines()
        except FileNotFoundError:
            return []

    def x_client(self, *command):
        return subprocess.run(command, env={**os.environ, "DISPLAY": self.display.name}, check=True,
                              capture_output=True, timeout=60).stdout

    def window_of(self, proc):
        return self.x_client("xdotool", "search", "--sync", "--onlyvisible", "--pid", str(proc.pid)).split()[0]

    def bars(self, lines):
        """(value, maximum, mode, animation) of each "progress" line."""
        return [(float(v), float(m), mode, a) for v, m, mode, a in (l.split()[1:] for l in lines if l[:9] == "progress ")]

    def test_the_bar_moves_unpacking_disables_the_button_and_the_agent_starts(self):
        for query, mode in (("rate=%d" % RATE, "determinate"), ("nolength&rate=%d" % (4 * RATE), "indeterminate")):
            with self.subTest(mode):
                self.clear_cache()
                bundle, proc = self.start_window(self.fault_url("/slow.zip?" + query))
                if mode == "determinate":
                    self.wait_until(lambda: [b for b in self.bars(self.trace()) if 0 < b[0] < b[1] == self.size],
                                    "a moving bar", proc)
                    self.x_client("import", "-window", "root",
                                  os.path.join(os.path.dirname(PROGRAM), "download-window-progress.png"))
                self.assert_started_from_cache(self.finish_program(proc), bundle, ARGS, unpacked=None)
                trace = self.trace()
                unpacking = trace.index("status Initializing the installer")
                receiving = self.bars(trace[:unpacking])[1:]  # after the first state
                values = [value for value, _, shown, _ in receiving if shown == mode]
                self.assertEqual((len(receiving) > 1, len(receiving)), (True, len(values)), trace)
                if mode == "determinate":
                    self.assertEqual((sorted(values), values[-1]), (values, self.size), trace)
                    self.assertGreater(len(set(values)), 2, trace)
                self.assert_in_order(["accessible status statusbar Downloading", "accessible button push button Cancel"],
                                     trace)
                self.assertIn("button Cancel disabled", trace[unpacking:])
                self.assertIn("indeterminate", [b[2] for b in self.bars(trace[unpacking:]) if b[3] == "animating"])
                self.assertEqual(("closed", 1), (trace[-1], trace.count("closed")))
        # The same ETag again: the cached agent starts, nothing is unpacked.
        bundle, proc = self.start_window(self.fault_url("/slow.zip?nolength&rate=%d" % (4 * RATE)))
        self.assert_started_from_cache(self.finish_program(proc), bundle, ARGS, unpacked=None)
        self.assertNotIn("status Initializing the installer", self.trace())
        self.assertEqual("closed", self.trace()[-1])

    def test_failure_shows_in_red_until_closed(self):
        cases = [  # (URL, status text, button after the failure, screenshot)
            (self.fault_url("/missing?status=404&size=100"), "Download failed with error code 404",
             "button Close enabled", "download-window-failed.png"),
            ("http://127.0.0.1:%d/agent.zip" % free_port(), TWO_LINES.replace("\n", "\\n"), "button Close enabled",
             None),
            (self.nginx.url("garbage.zip"), "Failed to unzip the installer.", "button Close disabled",
             "download-window-unpack-failed.png"),
        ]
        for url, text, button, picture in cases:
            with self.subTest(text):
                self.clear_cache()
                _, proc = self.start_window(url)
                # The failure changes one control after the other: its last change is the red colour.
                def shown(status="status " + text, button=button):
                    t = self.trace()
                    return t if button in t and status in t and "color red" in t[t.index(status):] else None
                trace = self.wait_until(shown, "the failure", proc)
                value, maximum, *shown = self.bars(trace)[-1]
                self.assertEqual((value, shown), (maximum, ["determinate", "still"]), trace)
                if picture:
                    self.x_client("import", "-window", "root", os.path.join(os.path.dirname(PROGRAM), picture))
                window = self.window_of(proc)
                self.x_client("xdotool", "windowfocus", "--sync", window)
                self.x_client("xdotool", "key", "--clearmodifiers", "Return")
                if button.endswith("disabled"):  # Return does nothing; the close box closes it
                    time.sleep(1)
                    self.assertIsNone(proc.poll(), "a disabled button closed the window")
                    send_close_box(self.display.name, int(window))
                result = self.finish_program(proc)
                self.assertEqual((255, [FAILED], None), (result.status, result.stderr.splitlines()[-1:], result.record))
                self.assertEqual(("closed", 1), (self.trace()[-1], self.trace().count("closed")))
                self.assertIsNone(self.stored_validation_string())
                self.assert_no_temp_left()

    def assert_in_order(self, expected, lines):
        position = 0
        for line in expected:
            self.assertIn(line, lines[position:], "\n".join(lines))
            position = lines.index(line, position) + 1
