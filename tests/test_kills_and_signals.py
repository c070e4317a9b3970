"""The program killed at many points of a download and of the unpacking, and
ended by SIGINT or SIGTERM outside the download window."""
import glob
import os
import shutil
import signal
import time
import unittest
import zipfile

from bootstrap_fixture import (ARCHIVE, FAILED, INITIALIZING, RECORDING_AGENT, DownloadTestCase, split_stderr,
                               zip_archive)

ARGS = ["--after-kill", "two words"]
FILES = 1500  # enough small files that unzip takes a while
RATE = 400_000  # bytes a second for the archive's tail


def many_files_archive():
    """"install" first, then FILES files: a half-unpacked cache holds the entry but not the rest."""
    payload = [("part/%04d" % i, os.urandom(2048), 0o644) for i in range(FILES)]
    return zip_archive(("install", RECORDING_AGENT, 0o644), *payload, compression=zipfile.ZIP_STORED)


def running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class KillTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.archive = many_files_archive()
        cls.publish("many.zip", cls.archive)

    def cached_parts(self):
        try:
            return len(os.listdir(self.cache("installagent", "part")))
        except FileNotFoundError:
            return 0

    def bytes_sent(self):
        return self.faults.stats()["bytes_sent"] - self.sent_before

    def stderr_of(self, proc):
        proc.output[1].seek(0)
        return proc.output[1].read()

    def assert_cache_consistent(self):
        """A stored validation string stands only beside a complete install agent."""
        if self.stored_validation_string() is not None:
            self.assertTrue(os.path.exists(self.cache("installagent", "install")))
            self.assertEqual(self.cached_parts(), FILES, "a half-unpacked cache counts as current")

    def test_killed_anywhere_the_next_run_starts_a_complete_agent(self):
        slow_tail = "/many.zip?rate=%d&rate_from=%d" % (RATE, len(self.archive) - RATE)
        triggers = {  # name -> (path, condition on the running program)
            "transfer begun": (slow_tail, lambda proc: self.bytes_sent() > 0),
            "transfer half done": (slow_tail, lambda proc: self.bytes_sent() > len(self.archive) // 2),
            "unpacking begun": ("/many.zip", lambda proc: INITIALIZING in self.stderr_of(proc)),
            "first files unpacked": ("/many.zip", lambda proc: self.cached_parts() > 0),
            "a third unpacked": ("/many.zip", lambda proc: self.cached_parts() > FILES // 3),
            "all files unpacked": ("/many.zip", lambda proc: self.cached_parts() >= FILES),
        }
        for delay in (0.0, 0.05, 0.2):
            for name, (path, condition) in triggers.items():
                with self.subTest(name, delay=delay):
                    self.clear_cache()
                    shutil.rmtree(self.tmpdir)
                    os.mkdir(self.tmpdir)
                    self.sent_before = self.idle_fault_stats()["bytes_sent"]
                    bundle = self.download_bundle(self.fault_url(path), "killed")
                    proc = self.start_program(bundle.program, ARGS)
                    self.wait_until(lambda: proc.poll() is not None or condition(proc), name)
                    time.sleep(delay)
                    proc.kill()
                    proc.wait()
                    self.assert_cache_consistent()
                    shutil.rmtree(self.tmpdir)  # what a killed run leaves there is not judged
                    os.mkdir(self.tmpdir)

                    bundle, after = self.run_download(self.fault_url("/many.zip"), ARGS, label="after")
                    self.assert_started_from_cache(after, bundle, ARGS, unpacked=None)
                    self.assertEqual(self.cached_parts(), FILES, "a half-unpacked install agent was started")
                    self.assertEqual(self.stored_validation_string(), b'"file-%d"' % len(self.archive))


class SignalTest(DownloadTestCase):
    """SIGINT and SIGTERM to the program alone (not its process group)."""

    def agent_that_waits(self, name):
        """An install agent that writes its pid to `name` and then sleeps."""
        pid_file = os.path.join(self.root, name)
        return pid_file, ('echo $$ > "%s"\nexec sleep 60\n' % pid_file).encode()

    def assert_ended_by_signal(self, result, pid_file=None):
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        self.assertEqual(result.stderr.splitlines()[-1:], [FAILED], result.stderr)
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")
        if pid_file:
            with open(pid_file) as f:
                self.assertFalse(running(int(f.read())), "the install agent outlived the run")

    def test_signal_while_the_install_agent_runs(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            for route in ("in place", "bundle archive"):
                with self.subTest(route, signal=signum.name):
                    pid_file, agent = self.agent_that_waits("agent-%s-%s" % (route.replace(" ", "-"), signum.name))
                    resources = {"ZavirirazUdaDad": agent} if route == "in place" else {
                        ARCHIVE: zip_archive(("install", agent, 0o644))}
                    bundle = self.make_bundle(resources, parent=self.folder(route, signum.name))
                    proc = self.start_program(bundle.program, ARGS)
                    self.wait_until(lambda: os.path.exists(pid_file) and os.path.getsize(pid_file), "agent", proc)
                    os.kill(proc.pid, signum)
                    self.assert_ended_by_signal(self.finish_program(proc, timeout=20), pid_file)

    def test_sigterm_while_unzip_runs(self):
        agent = many_files_archive()
        bundle = self.make_bundle({ARCHIVE: agent})
        for delay in (0.0, 0.02, 0.1):
            with self.subTest(delay=delay):
                proc = self.start_program(bundle.program, ARGS)
                self.wait_until(lambda: any(os.listdir(d) for d in glob.glob(os.path.join(self.tmpdir, "qz*"))), "unzip at work", proc)
                time.sleep(delay)
                signalled = time.time()
                os.kill(proc.pid, signal.SIGTERM)
                result = self.finish_program(proc, timeout=20)
                if result.status == 0:  # unzip and the agent were done before the signal came
                    self.assertIsNotNone(result.record)
                    continue
                self.assert_ended_by_signal(result)
                # An agent may have run before the signal, which then came while the
                # temporary folder was being removed; none may run after it.
                if result.record is not None:
                    self.assertLess(os.path.getmtime(self.record_file), signalled,
                                    "the install agent ran after the signal")

    def test_sigterm_after_the_hand_off_ends_the_agent(self):
        pid_file, agent = self.agent_that_waits("handed-off")
        url = self.nginx.url(self.publish("waits.zip", zip_archive(("install", agent, 0o644))))
        proc = self.start_program(self.download_bundle(url).program, ARGS)
        self.wait_until(lambda: os.path.exists(pid_file) and os.path.getsize(pid_file), "agent", proc)
        os.kill(proc.pid, signal.SIGTERM)
        result = self.finish_program(proc, timeout=20)
        self.assert_ended_by_signal(result, pid_file)
        logs, _ = split_stderr(result.stderr)
        self.assertEqual(logs, [], result.stderr)


if __name__ == "__main__":
    unittest.main()
