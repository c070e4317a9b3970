"""The program killed at many points of a download and of its unpacking; signals while the window downloads
or unpacks, while unzip unpacks the bundle's archive, and while the agent runs."""
import glob
import os
import shutil
import signal
import subprocess
import time
import unittest
import zipfile

from bootstrap_fixture import (ARCHIVE, DOWNLOADING, ENTRY, FAILED, INITIALIZING, NOT_SUCCESSFUL, RECORDING_AGENT,
                               URL_FILE, DownloadTestCase, agent_archive, read, split_stderr, write, zip_archive)

ARGS = ["--after-kill", "two words"]
FILES, RATE = 1500, 400_000  # enough small files that unzip takes a while; bytes a second for the archive's tail
# "install" first: a half-unpacked cache holds the entry but not the rest.
MANY_FILES = zip_archive(("install", RECORDING_AGENT, 0o644), *[("part/%04d" % i, os.urandom(2048), 0o644) for i in
                                                                range(FILES)], compression=zipfile.ZIP_STORED)


# An agent that cleans up for 7 s after a SIGINT or SIGTERM, then ends with $AGENT_EXIT; in $AGENT_DIR:
# "pid" once it runs, a line in "signals" per signal caught, "done" when it finished with its files still
# there, its shell's "stderr".  $AGENT_SLEEP: how long it runs undisturbed.
CLEANING_AGENT = b"""\
exec 2>> "$AGENT_DIR/stderr"
finish() { [ -e "$0" ] && echo done > "$AGENT_DIR/done"; exit "$AGENT_EXIT"; }
clean_up() { echo "$1" >> "$AGENT_DIR/signals"; sleep 7; finish; }
trap 'clean_up INT' INT
trap 'clean_up TERM' TERM
echo $$ > "$AGENT_DIR/pid"
sleep "$AGENT_SLEEP"
finish
"""


def read_text(path):
    return read(path, b"").decode()


class KillTest(DownloadTestCase):
    """SIGKILL anywhere; SIGINT and SIGTERM to the program alone or, as a terminal's Ctrl-C, to its process group."""

    def cached_parts(self):
        part = self.cache("installagent", "part")
        return len(os.listdir(part)) if os.path.isdir(part) else 0

    def test_killed_anywhere_the_next_run_starts_a_complete_agent(self):
        self.publish("many.zip", MANY_FILES)
        slow_tail, sent = "/many.zip?rate=%d&rate_from=%d" % (RATE, len(MANY_FILES) - RATE), lambda: (
            self.faults.stats()["bytes_sent"] - self.sent_before)
        triggers = {  # name -> (path, condition on the running program)
            "transfer begun": (slow_tail, lambda proc: sent() > 0),
            "transfer half done": (slow_tail, lambda proc: sent() > len(MANY_FILES) // 2),
            "unpacking begun": ("/many.zip", lambda proc: INITIALIZING in (proc.output[1].seek(0) or
                                                                            proc.output[1].read())),
            "first files unpacked": ("/many.zip", lambda proc: self.cached_parts() > 0),
            "a third unpacked": ("/many.zip", lambda proc: self.cached_parts() > FILES // 3),
            "all files unpacked": ("/many.zip", lambda proc: self.cached_parts() >= FILES),
        }
        for delay in (0.0, 0.05, 0.2):
            for name, (path, condition) in triggers.items():
                with self.subTest(name, delay=delay):
                    self.clear_cache()
                    self.sent_before = self.idle_fault_stats()["bytes_sent"]
                    bundle = self.download_bundle(self.fault_url(path), "killed")
                    proc = self.start_program(bundle.program, ARGS)
                    self.wait_until(lambda: proc.poll() is not None or condition(proc), name)
                    time.sleep(delay)
                    proc.kill()
                    proc.wait()
                    if self.stored_validation_string() is not None:  # only beside a complete agent
                        self.assertEqual(self.cached_parts(), FILES, "a half-unpacked cache counts as current")
                    shutil.rmtree(self.tmpdir)  # what a killed run leaves there is not judged
                    os.mkdir(self.tmpdir)

                    bundle, after = self.run_download(self.fault_url("/many.zip"), ARGS, label="after")
                    self.assert_started(after, bundle, ARGS, unpacked=None)
                    self.assertEqual(self.cached_parts(), FILES, "a half-unpacked install agent was started")
                    self.assertEqual(self.stored_validation_string(), b'"file-%d"' % len(MANY_FILES))


    def test_signal_while_the_install_agent_runs(self):
        """The bootstrap is to the agent what a caller of system() is: the agent decides, and is waited for."""
        url = self.nginx.url(self.publish("cleaning.zip", zip_archive(("install", CLEANING_AGENT, 0o644))))
        # name -> (SIGINT ignored when the program starts, agent's undisturbed run, agent's status,
        #          signal, sent to the process group, signals the agent caught, program's status)
        cases = {
            "SIGINT came ignored": (True, 7, 0, signal.SIGINT, True, "", 0),
            "Ctrl-C, the agent cleans up": (False, 60, 0, signal.SIGINT, True, "INT\n", 0),
            "SIGTERM to the program alone": (False, 60, 3, signal.SIGTERM, False, "TERM\n", 255),
        }
        routes = {"in place": {ENTRY: CLEANING_AGENT}, "bundle archive": {ARCHIVE: zip_archive((
            "install", CLEANING_AGENT, 0o644))}, "download hand-off": {URL_FILE: url.encode() + b"\n"}}
        runs = []  # every run at once: each takes the agent's 7 s
        for name, (ignored, sleep, agent_exit, signum, group, caught, status) in cases.items():
            for route in routes:
                label = "%s-%s" % (name, route)
                agent_dir = self.folder("agent", label)
                env = {"AGENT_DIR": agent_dir, "AGENT_SLEEP": str(sleep), "AGENT_EXIT": str(agent_exit),
                       "HOME": self.folder("home", label)}
                ignore = (lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if ignored else None
                proc = self.start_program(self.make_bundle(routes[route], self.folder(label)).program, ARGS, env,
                                          start_new_session=True, preexec_fn=ignore)
                self.addCleanup(lambda pid=proc.pid: subprocess.run(["kill", "-KILL", "--", "-%d" % pid],
                                                                    stderr=subprocess.DEVNULL))
                runs.append((name, route, proc, agent_dir, signum, group, caught, status))
        for name, route, proc, agent_dir, signum, group, caught, status in runs:
            self.wait_until(lambda: read_text(os.path.join(agent_dir, "pid")).endswith("\n"), "agent", proc)
            (os.killpg if group else os.kill)(proc.pid, signum)
        for name, route, proc, agent_dir, signum, group, caught, status in runs:
            with self.subTest(name, route=route):
                result = self.finish_program(proc)
                logs, lines = split_stderr(result.stderr)
                own = [line for line in lines if line not in (DOWNLOADING, INITIALIZING)]  # not the window's
                self.assertEqual((result.status, logs, own), (status, [], [NOT_SUCCESSFUL, FAILED] if status else []),
                                 result.stderr)
                self.assertEqual(read_text(os.path.join(agent_dir, "signals")), caught)
                self.assertEqual(read_text(os.path.join(agent_dir, "done")), "done\n", "the agent was cut short")
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")

    def test_sigint_while_the_window_downloads(self):
        """Closes the window: the transfer is abandoned at once, no transport error is shown."""
        before = self.idle_fault_stats()["bytes_sent"]
        proc = self.start_program(self.download_bundle(self.fault_url("/long?size=100000000&rate=65536")).program, ARGS)
        self.wait_until(lambda: self.faults.stats()["bytes_sent"] > before, "the download begin", proc)
        proc.send_signal(signal.SIGINT)
        self.assert_download_failed(self.finish_program(proc, timeout=15), [], [])
        self.idle_fault_stats()
        self.assertIsNone(self.stored_validation_string())

    def test_window_closed_while_unpacking_starts_nothing(self):
        started, go, trace = (os.path.join(self.root, n) for n in ("unzip-started", "unzip-go", "trace"))
        self.addCleanup(lambda: open(go, "w").close())  # never leaves the stand-in waiting
        stand_in = os.path.join(self.folder("bin"), "unzip")
        write(stand_in, "#!/bin/sh\n: > '%s'\ni=0\nwhile [ ! -e '%s' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); "
              'done\nexec %s "$@"\n' % (started, go, shutil.which("unzip")))  # creates `started`, waits for `go`
        os.chmod(stand_in, 0o755)
        env = {"PATH": os.path.dirname(stand_in) + os.pathsep + os.environ["PATH"], "QZ_BOOTSTRAP_UI_TRACE": trace}
        bundle = self.download_bundle(self.nginx.url(self.publish("agent.zip", agent_archive())))
        proc = self.start_program(bundle.program, ARGS, env)
        self.wait_until(lambda: os.path.exists(started), "unzip start", proc)
        proc.send_signal(signal.SIGTERM)
        self.wait_until(lambda: "closed" in read_text(trace).splitlines(), "the window close", proc, bound=15)
        open(go, "w").close()
        self.assert_download_failed(self.finish_program(proc), [], [])

    def test_sigterm_while_unzip_runs(self):
        bundle = self.make_bundle({ARCHIVE: MANY_FILES})
        for delay in (0.0, 0.02, 0.1):
            with self.subTest(delay=delay):
                proc = self.start_program(bundle.program, ARGS)
                self.wait_until(lambda: any(os.listdir(d) for d in glob.glob(os.path.join(self.tmpdir, "qz*"))),
                                "unzip at work", proc)
                time.sleep(delay)
                signalled = time.time()
                os.kill(proc.pid, signal.SIGTERM)
                result = self.finish_program(proc, timeout=20)
                if result.status == 0:  # unzip and the agent were done before the signal came
                    self.assertIsNotNone(result.record)
                    continue
                self.assertEqual((result.status, result.stdout, result.stderr.splitlines()[-1:]), (255, b"", [FAILED]))
                self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")
                # An agent may have run before the signal, which came as its folder was removed; none after it.
                if result.record is not None:
                    self.assertLess(os.path.getmtime(self.record_file), signalled, "the agent ran after the signal")


if __name__ == "__main__":
    unittest.main()
