"""The GTK download window, driven by the window driver on a virtual display of its own."""
import os
import shutil
import signal
import subprocess
import time

from window_fixture import (DRIVER, FAILURE, HAND_OFF, INITIAL, NO_HANG, TWO_LINES, VirtualDisplay, WindowTestCase,
                            send_close_box, wait_until)

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

    def env(self, **extra):
        return self.environment(DISPLAY=self.display.name, WAYLAND_DISPLAY=None, GDK_BACKEND="x11",
                                NO_AT_BRIDGE="1", **extra)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env(), check=True, capture_output=True, text=True,
                              timeout=NO_HANG).stdout

    def window_id(self, title=TITLE):
        found = []
        wait_until(lambda: found.extend(subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], env=self.env(), capture_output=True,
            text=True, timeout=NO_HANG).stdout.split()) or found, "the window")
        return found[0]

    def key(self, window, key):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", key)

    def test_states_texts_and_accessible_names(self):
        process = self.start("failure", self.env(), self.make_splash(800, 600))
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

        process = self.start("progress", self.env(), self.make_splash(200, 100))  # scaled up into 400x400
        self.finish(process, 0)  # the hand-off: closed later, without windowWillClose
        self.assert_in_order(["splash 400x200", "progress 100 1000 determinate still",
                              "progress 500 1000 determinate still"] + HAND_OFF + ["closed"], self.trace())
        self.assertNotIn("status after the stop", self.trace())

    def test_each_way_to_close_closes_once(self):
        def click_button(process, window):
            # The button sits in the bottom right corner, inside the 16-pixel border.
            shell = dict(line.split("=") for line in self.xdotool("getwindowgeometry", "--shell", window).split())
            self.xdotool("mousemove", "--window", window, str(int(shell["WIDTH"]) - 40),
                         str(int(shell["HEIGHT"]) - 30), "click", "1")

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
                process = self.start(scenario, self.env())
                self.wait_for_trace(shown)
                close(process, self.window_id())
                self.finish(process, 1)
                self.assertFalse([line for line in self.trace() if "after the close" in line])

    def test_titled_after_the_bundle_centred_and_doubled_with_the_scale(self):
        macos = os.path.join(self.scratch, "Acme Setup.app", "Contents", "MacOS")
        os.makedirs(macos)
        driver = shutil.copy2(DRIVER, macos)
        shutil.copy2(os.path.join(os.path.dirname(DRIVER), "bootstrapper-gtk.so"), macos)
        sizes = []
        for scale in ("1", "2"):
            process = self.start("failure", self.env(GDK_SCALE=scale), self.make_splash(800, 600), executable=driver)
            self.wait_for_trace("button Close enabled")
            window, shells = self.window_id("Acme Setup"), [None]

            def settled():  # the failure's two lines may still resize it
                time.sleep(0.3)
                shells.append(self.xdotool("getwindowgeometry", "--shell", window))
                return shells[-1] == shells[-2]
            wait_until(settled, "a settled size")
            shell = dict(line.split("=") for line in shells[-1].split())
            x, y, width, height = (int(shell[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))
            self.assertLessEqual(max(abs(x - (1600 - width) // 2), abs(y - (1200 - height) // 2)), 1, shell)
            sizes.append((width, height))
            self.key(window, "Return")
            self.finish(process, 1)
            self.assertIn("splash 400x300", self.trace())  # the same in window units
        self.assertEqual((2 * sizes[0][0], 2 * sizes[0][1]), sizes[1])


if __name__ == "__main__":
    import unittest
    unittest.main()
