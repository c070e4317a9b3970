"""Killed anywhere in a download or its unpacking; signals while the window downloads, unzip unpacks, the agent runs."""
import os
import signal
import subprocess
import time
import unittest
import zipfile

from bootstrap_fixture import (ARCHIVE, DOWNLOADING, ENTRY, FAILED, INITIALIZING, NOT_SUCCESSFUL, RECORDING_AGENT,
                               URL_FILE, DownloadTestCase, read, split_stderr, zip_archive)

ARGS = ["--after-kill", "two words"]
FILES, RATE = 1500, 400_000  # enough small files that unzip takes a while; bytes a second for the archive's tail
# "install" first: a half-unpacked cache holds the entry but not the rest.
MANY_FILES = zip_archive(("install", RECORDING_AGENT, 0o644), *[("part/%04d" % i, os.urandom(2048), 0o644) for i in
                                                                range(FILES)], compression=zipfile.ZIP_STORED)


# Runs $AGENT_SLEEP s, or cleans up for 7 s after a SIGINT or SIGTERM; ends with $AGENT_EXIT.  In $AGENT_DIR:
# "pid" once it runs, a line in "signals" per signal caught, "done" if its files were still there at its end.
CLEANING_AGENT = b"""\
exec 2>> "$AGENT_DIR/stderr"
finish() { [ -e "$0" ] && echo done > "$AGENT_DIR/done"; exit "$AGENT_EXIT"; }
for signal in INT TERM; do trap "echo $signal >> '$AGENT_DIR/signals'; sleep 7; finish" $signal; done
echo $$ > "$AGENT_DIR/pid"
sleep "$AGENT_SLEEP"
finish
"""


class KillTest(DownloadTestCase):
    def test_killed_anywhere_the_next_run_starts_a_complete_agent(self):
        """SIGKILL at 18 points; a SIGINT while the window downloads closes it and abandons the transfer at once."""
        self.publish("many.zip", MANY_FILES)
        part = self.cache("installagent", "part")
        parts = lambda: len(os.listdir(part)) if os.path.isdir(part) else 0  # noqa: E731
        slow_tail, sent = "/many.zip?rate=%d&rate_from=%d" % (RATE, len(MANY_FILES) - RATE), lambda: (
            self.faults.stats()["bytes_sent"] - self.sent_before)
        triggers = {  # name -> (path, condition on the run's standard error)
            "transfer begun": (slow_tail, lambda stderr: sent() > 0),
            "transfer half done": (slow_tail, lambda stderr: sent() > len(MANY_FILES) // 2),
            "unpacking begun": ("/many.zip", lambda stderr: INITIALIZING in (stderr.seek(0) or stderr.read())),
            "first files unpacked": ("/many.zip", lambda stderr: parts() > 0),
            "a third unpacked": ("/many.zip", lambda stderr: parts() > FILES // 3),
            "all files unpacked": ("/many.zip", lambda stderr: parts() >= FILES),
        }
        cases = [("SIGINT", "/long?size=100000000&rate=65536", triggers["transfer begun"][1], 0, signal.SIGINT)] + [
            (name, *trigger, delay, signal.SIGKILL) for delay in (0.0, 0.05, 0.2) for name, trigger in triggers.items()]
        for name, path, condition, delay, signum in cases:
            with self.subTest(name, delay=delay):
                self.clear_cache()
                self.sent_before = self.idle_fault_stats()["bytes_sent"]  # and the SIGINT's transfer was abandoned
                proc = self.start_program(self.download_bundle(self.fault_url(path), "killed").program, ARGS)
                self.wait_until(lambda: proc.poll() is not None or condition(proc.output[1]), name)
                time.sleep(delay)
                proc.send_signal(signum)
                result = self.finish_program(proc, timeout=15)
                if signum == signal.SIGINT:  # no transport error shown
                    self.assert_download_failed(result, [], [])
                if self.stored_validation_string() is not None:  # only beside a complete agent
                    self.assertEqual(parts(), FILES, "a half-unpacked cache counts as current")
                self.tmpdir = self.folder("after", name, str(delay))  # what a killed run leaves is not judged
                bundle, after = self.run_download(self.fault_url("/many.zip"), ARGS, label="after")
                self.assert_started(after, bundle, ARGS, unpacked=None)
                self.assertEqual(parts(), FILES, "a half-unpacked install agent was started")
                self.assertEqual(self.stored_validation_string(), b'"file-%d"' % len(MANY_FILES))

    def test_signal_while_the_install_agent_runs(self):
        """The bootstrap is to the agent what a caller of system() is: the agent decides, and is waited for."""
        url = self.nginx.url(self.publish("cleaning.zip", zip_archive(("install", CLEANING_AGENT, 0o644))))
        # name -> (SIGINT ignored when the program starts, agent's undisturbed run, agent's status,
        #          signal, sent to the process group, signals the agent caught, program's status)
        cases = {
            "SIGINT came ignored": (True, 7, 0, signal.SIGINT, True, b"", 0),
            "Ctrl-C, the agent cleans up": (False, 60, 0, signal.SIGINT, True, b"INT\n", 0),
            "SIGTERM to the program alone": (False, 60, 3, signal.SIGTERM, False, b"TERM\n", 255),
        }
        routes = {"in place": {ENTRY: CLEANING_AGENT}, "bundle archive": {ARCHIVE: zip_archive((
            "install", CLEANING_AGENT, 0o644))}, "download hand-off": {URL_FILE: url.encode() + b"\n"}}
        runs = []  # every run at once: each takes the agent's 7 s
        for (name, case), route in [(case, route) for case in cases.items() for route in routes]:
            ignored, sleep, agent_exit = case[:3]
            agent_dir = self.folder("agent", name, route)
            env = {"AGENT_DIR": agent_dir, "AGENT_SLEEP": str(sleep), "AGENT_EXIT": str(agent_exit),
                   "HOME": self.folder("home", name, route)}
            ignore = (lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if ignored else None
            proc = self.start_program(self.make_bundle(routes[route], self.folder(name, route)).program, ARGS, env,
                                      start_new_session=True, preexec_fn=ignore)
            self.addCleanup(subprocess.run, ["kill", "-KILL", "--", "-%d" % proc.pid], stderr=subprocess.DEVNULL)
            runs.append((name, route, proc, agent_dir, case))
        for name, route, proc, agent_dir, (*_, signum, group, caught, status) in runs:
            pid = self.wait_until(lambda: read(os.path.join(agent_dir, "pid"), b"").strip(), "agent", proc).decode()
            # Its sleep runs too: a signal before its exec would find only the shell, which waits the sleep out.
            sleeping = lambda: [read("/proc/%s/comm" % child) for child in read(  # noqa: E731
                "/proc/%s/task/%s/children" % (pid, pid), b"").decode().split()] == [b"sleep\n"]
            self.wait_until(sleeping, "its sleep", proc)
            (os.killpg if group else os.kill)(proc.pid, signum)
        for name, route, proc, agent_dir, (*_, caught, status) in runs:
            with self.subTest(name, route=route):
                result = self.finish_program(proc)
                logs, lines = split_stderr(result.stderr)
                own = [line for line in lines if line not in (DOWNLOADING, INITIALIZING)]  # not the window's
                self.assertEqual((result.status, logs, own), (status, [], [NOT_SUCCESSFUL, FAILED] if status else []),
                                 result.stderr)
                self.assertEqual(read(os.path.join(agent_dir, "signals"), b""), caught)
                self.assertEqual(read(os.path.join(agent_dir, "done")), b"done\n", "the agent was cut short")
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")

    def test_sigterm_while_unzip_runs(self):
        bundle = self.make_bundle({ARCHIVE: MANY_FILES})
        for delay in (0.0, 0.02, 0.1):
            with self.subTest(delay=delay):
                proc = self.start_program(bundle.program, ARGS)
                self.wait_until(lambda: any(os.listdir(os.path.join(self.tmpdir, d)) for d in os.listdir(self.tmpdir)),
                                "unzip at work", proc)
                time.sleep(delay)
                signalled = time.time()
                os.kill(proc.pid, signal.SIGTERM)
                result = self.finish_program(proc, timeout=20)
                if result.status == 0 and result.record:  # unzip and the agent were done before the signal came
                    continue
                self.assertEqual((result.status, result.stdout, result.stderr.splitlines()[-1:]), (255, b"", [FAILED]))
                self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")
                # An agent may have run before the signal, which came as its folder was removed; none after it.
                if result.record is not None:
                    self.assertLess(os.path.getmtime(self.record_file), signalled, "the agent ran after the signal")


if __name__ == "__main__":
    unittest.main()
