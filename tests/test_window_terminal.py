"""The terminal window: the download window on standard error, without a display."""
import fcntl
import os
import pty
import re
import signal
import struct
import termios
import threading
import time

from test_window_gtk import FAILURE, HAND_OFF, INITIAL, TWO_LINES, WindowTestCase

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
