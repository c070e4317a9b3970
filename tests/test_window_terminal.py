"""The terminal window: the download window on standard error, without a display."""
import fcntl
import os
import pty
import re
import signal
import struct
import subprocess
import termios
import threading
import time
import unittest

from window_fixture import FAILURE_LINES, INITIAL_LINES, TWO_LINE_FAILURE, WindowTestCase, wait_until

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} window_driver\[\d+:\d+\] received half of the archive$")
COLUMNS = 60
CLEAR = "\r\x1b[K"
RED, PLAIN = "\x1b[31m", "\x1b[0m"
BAR_HALF = "[##########----------]"
BAR_FULL = "[####################]"


class Terminal:
    """A pseudo-terminal as the driver's standard input and error, COLUMNS wide."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
        self.chunks = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except OSError:  # the last writer closed the terminal
                return
            if not data:
                return
            self.chunks.append(data)

    def output(self) -> str:
        # The terminal turns each line feed into carriage return + line feed.
        return b"".join(self.chunks).decode().replace("\r\n", "\n")

    def resize(self, columns):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))

    def press_return(self):
        os.write(self.master, b"\r")

    def close(self):
        if self.slave is None:
            return
        os.close(self.slave)
        self.slave = None
        self.reader.join(timeout=30)
        os.close(self.master)


def drawings(output: str):
    """Each in-place drawing of the line, without colour codes; lines written
    between drawings (the log's) are left out."""
    result = []
    for piece in output.split(CLEAR)[1:]:
        piece = piece.replace(RED, "").replace(PLAIN, "")
        if "\n" in piece:  # the window's final line feed, or another writer's line
            piece = piece.split("\n")[0]
        if piece and not LOG_LINE.match(piece):
            result.append(piece)
    return result


class TerminalWindowTest(WindowTestCase):

    def terminal_env(self):
        return self.environment(DISPLAY=None, WAYLAND_DISPLAY=None)

    def run_plain(self, scenario):
        process = self.start(scenario, self.terminal_env())
        out, err = self.finish(process)
        return out, err, self.trace()

    def test_plain_lines_when_standard_error_is_no_terminal(self):
        scenarios = {  # scenario -> (lines on standard error, windowWillClose calls)
            "progress": (["Downloading", LOG_LINE, "Initializing the installer"], 0),
            "failure": (["Downloading", LOG_LINE, "Error during the download process.",
                         "See the log in Console app for more information."], 1),
            "unzipfail": (["Downloading", LOG_LINE, "Initializing the installer", "Failed to unzip the installer."], 1),
            "idle": (["Downloading"], 1),
        }
        for scenario, (expected, closes) in scenarios.items():
            with self.subTest(scenario):
                out, err, trace = self.run_plain(scenario)
                self.assertNotIn("\x1b", err)
                lines = err.splitlines()
                self.assertEqual(len(expected), len(lines), err)
                for want, line in zip(expected, lines):
                    if isinstance(want, str):
                        self.assertEqual(want, line)
                    else:
                        self.assertRegex(line, want)
                # Unattended, a failure or an idle window closes at once.
                self.assert_events(out, closes, session=scenario != "idle")
                self.assert_trace_ends_closed(trace)

    def test_trace_of_a_failure(self):
        out, _, trace = self.run_plain("failure")
        self.assertEqual(INITIAL_LINES + FAILURE_LINES + ["closed"], trace)
        self.assertFalse(any(line.startswith("splash") for line in trace))

    def test_hand_off_stops_without_closing_and_drops_later_changes(self):
        out, _, trace = self.run_plain("progress")
        self.assert_events(out, closes=0)
        self.assert_in_order(["progress 500 1000 determinate still", "progress 1000 1000 determinate still",
                              "status Initializing the installer", "progress 1000 1000 indeterminate animating",
                              "button Cancel disabled", "closed"], trace)
        self.assertNotIn("status after the stop", trace)

    def test_closing_from_the_session_or_later_happens_once(self):
        for scenario, expected in [("close", "progress 200 1000 determinate still"), ("delay", "status later")]:
            with self.subTest(scenario):
                out, _, trace = self.run_plain(scenario)
                self.assert_events(out, closes=1)
                self.assert_in_order([expected, "closed"], trace)
                self.assert_trace_ends_closed(trace)

    def test_signals_close_the_window(self):
        self.check_signals_close(self.terminal_env())

    def run_in_terminal(self, scenario, wait_for):
        """Runs `scenario` on a terminal until the trace shows `wait_for`, then
        checks that the window waits for Return, and presses it."""
        terminal = Terminal()
        self.addCleanup(terminal.close)
        process = self.start(scenario, self.terminal_env(), stdin=terminal.slave, stderr=terminal.slave)
        self.wait_for_trace(wait_for)
        time.sleep(0.5)  # room for a wrong close at once to show
        self.assertIsNone(process.poll(), "the window closed without waiting for Return")
        self.assertNotIn("closed", self.trace())
        terminal.press_return()
        out, _ = self.finish(process)
        terminal.close()
        return out, terminal.output()

    def test_failure_on_a_terminal_waits_for_return(self):
        out, output = self.run_in_terminal("failure", "color red")
        self.assert_events(out, closes=1)
        self.assertTrue(output.endswith("\n"), repr(output[-80:]))
        lines = drawings(output)
        self.assertTrue(all(len(line) <= COLUMNS for line in lines), lines)
        self.assertIn(BAR_FULL + " Error during the download process. Se", lines)
        self.assertIn(CLEAR + TWO_LINE_FAILURE + "\n", output, "the whole text above the cut line")
        self.assertEqual(COLUMNS, len(lines[-1]))
        self.assertIn(RED + "Error during the download process.", output)
        self.assert_trace_ends_closed(self.trace())

    def test_return_closes_after_a_failure_whatever_the_button(self):
        out, output = self.run_in_terminal("unzipfail", "color red")
        self.assert_in_order(["status Failed to unzip the installer.", "color red", "button Close disabled"],
                             self.trace())
        self.assert_events(out, closes=1)
        self.assertIn(BAR_FULL + " Failed to unzip the installer.", drawings(output))

    def test_idle_window_on_a_terminal_waits_for_return(self):
        out, output = self.run_in_terminal("idle", "button Cancel enabled")
        self.assert_events(out, closes=1, session=False)
        self.assertEqual("[--------------------] Downloading", drawings(output)[-1])

    def test_line_follows_a_resize_of_the_terminal(self):
        terminal = Terminal()
        self.addCleanup(terminal.close)
        # A failure shows still: only the resize itself can redraw the line.
        process = self.start("failure", self.terminal_env(), stdin=terminal.slave, stderr=terminal.slave)
        self.wait_for_trace("color red")
        for columns, bar in [(100, "[" + "#" * 33 + "]"), (30, "[" + "#" * 10 + "]")]:
            terminal.resize(columns)
            process.send_signal(signal.SIGWINCH)
            wait_until(lambda: drawings(terminal.output())[-1].startswith(bar + " "), "a line %d wide" % columns)
            self.assertLessEqual(len(drawings(terminal.output())[-1]), columns)
        self.assertIsNone(process.poll(), "SIGWINCH ended the run")
        terminal.press_return()
        out, _ = self.finish(process)
        self.assertTrue(termios.tcgetattr(terminal.slave)[3] & termios.ECHO, "echo not restored")
        terminal.close()
        output = terminal.output()
        self.assert_events(out, closes=1)
        text = " " + TWO_LINE_FAILURE.replace("\n", " ")
        self.assertEqual([(BAR_FULL + text)[:COLUMNS], ("[" + "#" * 33 + "]" + text)[:100],
                          ("[" + "#" * 10 + "]" + text)[:30]], drawings(output)[-3:])
        # One line feed at the end: the Return typed is not echoed.
        self.assertTrue(output.endswith("] " + RED + "Error during the " + PLAIN + "\n"), repr(output[-80:]))

    def test_in_place_line_moves_and_makes_room_for_log_lines(self):
        terminal = Terminal()
        self.addCleanup(terminal.close)
        process = self.start("progress", self.terminal_env(), stdin=terminal.slave, stderr=terminal.slave)
        out, _ = self.finish(process)
        terminal.close()
        output = terminal.output()
        lines = drawings(output)
        self.assertIn(BAR_HALF + " Downloading", lines)
        self.assertIn(BAR_FULL + " Downloading", lines)
        self.assertIn("[#####---------------] Initializing the installer", lines)
        self.assertTrue(all(len(line) <= COLUMNS for line in lines), lines)
        # The log line starts on a cleared line and the bar comes back below it.
        log = re.search(re.escape(CLEAR) + r"(\d{4}-[^\n]*received half of the archive)\n" + re.escape(CLEAR) + r"\[",
                        output)
        self.assertIsNotNone(log, repr(output))
        self.assertRegex(log.group(1), LOG_LINE)
        self.assertTrue(output.endswith("\n"))
        self.assert_events(out, closes=0)


if __name__ == "__main__":
    unittest.main()
