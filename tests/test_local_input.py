"""Bad local input: odd HOME values, odd URL files, odd names, a very long bundle
path, no unzip, an unwritable TMPDIR.  Each run either ends well or fails
cleanly, with status 255, "Installation failed." last and nothing started."""
import os
import re
import stat
import subprocess
import unittest

from bootstrap_fixture import (ARCHIVE, CACHE_DIR, ENTRY, FAILED, RECORDING_AGENT, TRANSPORT_FAILED,
                               UNZIP_FAILED, URL_FILE, VALIDATION_FILE,
                               DownloadTestCase, Result, agent_archive, b, refusal_logs, split_stderr)

ARGS = ["--local", "two words"]
MIB = 1024 * 1024
BUNDLE_PATH_BYTES = 4000
ODD_NAMES = {
    "blanks": "two  words ",
    "quotes": "say \"hi\" it's",
    "shell": "$(touch pwned) `touch pwned`",
    "non-ASCII": "Ünïcødé ✓",
    "not UTF-8": os.fsdecode(b"caf\xe9 \xff"),
}
# Runs a command with a /tmp of its own (a tmpfs) holding the sandbox at its
# usual path and, as /tmp/.korvex, a folder of the sandbox.
PRIVATE_TMP = """set -e
cd "$1"
mount -t tmpfs -o mode=1777 private-tmp /tmp
mkdir -p "$1" /tmp/.korvex
mount --no-canonicalize --bind . "$1"
mount --bind "$2" /tmp/.korvex
cd "$3"
shift 3
exec "$@"
"""
TMP_CACHE = os.path.join("/tmp", CACHE_DIR)
CRLF_LOG = b" has a Windows line ending (CR LF): the carriage return is part of the URL; save the file with Unix line " \
           b"endings (LF)"
NO_UNZIP_LOG = b"): the install agent is not downloaded, as it could not be unpacked; install the unzip package"


def make_read_only(top):
    for folder, dirs, files in os.walk(top):
        for name in files:
            os.chmod(os.path.join(folder, name), 0o444)
        os.chmod(folder, 0o555)


class LocalInputTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        cls.publish("agent", agent_archive())  # what a URL cut at a NUL byte would fetch
        cls.publish("agënt.zip", agent_archive())

    def test_home_unset_or_empty_keeps_the_cache_in_tmp(self):
        """The cache goes to /tmp/.korvex, here a private one: another run's /tmp is never touched."""
        for label, home in {"unset": None, "empty": ""}.items():
            with self.subTest(label):
                korvex = self.folder(label, "korvex")
                os.chmod(korvex, 0o700)
                for run, unpacked in ((1, True), (2, False)):
                    bundle = self.download_bundle(self.nginx.url("agent.zip"), label)
                    result = self.run_with_private_tmp(bundle.program, korvex, {"HOME": home})
                    self.assert_ran_from_tmp_cache(result, bundle, unpacked)
                with open(os.path.join(korvex, *CACHE_DIR.split(os.sep)[1:], VALIDATION_FILE), "rb") as f:
                    self.assertEqual(f.read(), self.nginx.etag("agent.zip"))

    def run_with_private_tmp(self, program, korvex, env):
        command = ["unshare", "--mount", "--", "sh", "-c", PRIVATE_TMP, "sh", self.root, korvex, self.cwd, program,
                   *ARGS]
        environment = self.program_environment({"AGENT_SAY": "install agent ran", **env})
        proc = subprocess.run(command, env=environment, cwd=self.cwd, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60)
        return Result(proc.returncode, proc.stdout, proc.stderr, self.read_record())

    def assert_ran_from_tmp_cache(self, result, bundle, unpacked):
        home = self.home
        self.home = "/tmp"  # the cache the agent ran from, as the program saw it
        try:
            self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
        finally:
            self.home = home
        self.assertEqual(os.listdir(self.home), [])

    def test_home_that_cannot_hold_a_cache(self):
        read_only = self.folder("read-only home")
        for label, home in {"root folder": "/", "read-only": read_only}.items():
            with self.subTest(label):
                make_read_only(read_only)
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": home},
                                                   label=label, unprivileged=True)
                top = os.path.join(home, ".korvex").encode()
                self.assert_started_without_cache(result, bundle, ARGS, re.escape(top) + b" cannot be made: "
                                                  b"(Permission denied|Read-only file system)")
                self.assertFalse(os.path.exists(os.path.join(home, ".korvex")))

    def test_read_only_home_with_current_cache(self):
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        make_read_only(self.home)
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="again", unprivileged=True)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=False)

    def assert_failed_cleanly(self, result):
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        self.assertEqual(result.stderr.splitlines()[-1:], [FAILED], result.stderr)
        self.assertIsNone(result.record, "the install agent ran")

    def test_url_file_contents(self):
        url = self.nginx.url("agent.zip")
        junk = b"j" * MIB
        cases = {  # label -> (URL file, the log line's text: a pattern, a line about the file's CR LF comes first)
            "CRLF": (url.encode() + b"\r\n", rb"The URL does not parse: .+ " + re.escape(url.encode()) + b"%0D",
                     True),
            "blanks around": (b"  " + url.encode() + b" \t\n", rb"The URL does not parse: .+ " + re.escape(
                b"  " + url.encode() + b" %09"), False),
            "control bytes": (url.encode() + b"\x01\x7f\n", rb"The URL does not parse: .+ " + re.escape(
                url.encode() + b"%01%7F"), False),
            "1 MiB line that is no URL": (junk + b"\n" + url.encode(), rb"The URL does not parse: .+ " + junk, False),
            "binary": (bytes(range(0x80, 0x100)) + bytes(range(1, 0x100)) * 16, rb"The URL does not parse: .+ " +
                       re.escape(bytes(range(0x80, 0x100)) + b"".join(b"%%%02X" % c for c in range(1, 10))), False),
        }
        for label, (content, log_text, crlf) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                bundle = self.make_bundle({URL_FILE: content}, parent=self.folder(label))
                result = self.run_program(bundle.program, ARGS)
                crlf_log = [re.escape(b(os.path.join(bundle.resources, URL_FILE)) + CRLF_LOG)] if crlf else []
                self.assert_download_failed(result, TRANSPORT_FAILED,
                                            crlf_log + [b"Download failed! Error - " + log_text])
                self.assertIsNone(self.stored_validation_string())

    def test_url_cut_by_a_nul_byte_is_not_fetched(self):
        """Only the bytes before a NUL could reach the download: that shorter URL must not be fetched."""
        bundle = self.make_bundle({URL_FILE: self.nginx.url("agent").encode() + b"\0.zip\n"})
        result = self.run_program(bundle.program, ARGS)
        self.assert_failed_cleanly(result)
        self.assertIsNone(self.stored_validation_string())

    def test_url_of_a_mebibyte(self):
        """libcurl refuses to build a request that long, or the server refuses it: either way a clean failure."""
        bundle, result = self.run_download(self.nginx.url("agent.zip?" + "q" * MIB), ARGS)
        self.assert_failed_cleanly(result)
        logs, _ = split_stderr(result.stderr)
        self.assertEqual(len(logs), 1, result.stderr)
        self.assertRegex(logs[0], b"^(" + refusal_logs(414, True)[0] + b"|Download failed! Error - .*)$")

    def test_url_with_non_ascii_path(self):
        bundle, result = self.run_download(self.nginx.url("agënt.zip"), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))

    def test_odd_names_of_archive_and_bundle_folder(self):
        for label, name in ODD_NAMES.items():
            with self.subTest(label, route="archive"):
                bundle = self.make_bundle({"InstallAgent_" + name + ".zip": agent_archive()},
                                          parent=self.folder("archive", label))
                result = self.run_program(bundle.program, ARGS)
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
                self.assert_unpacked_in_temp(result)
            with self.subTest(label, route="download"):
                self.clear_cache()
                bundle = self.make_bundle({URL_FILE: self.nginx.url("agent.zip").encode()},
                                          parent=self.folder("download", label), name=name)
                result = self.run_program(bundle.program, ARGS, env={"AGENT_SAY": "install agent ran"})
                self.assert_started_from_cache(result, bundle, ARGS)
        self.assert_nothing_injected("pwned")

    def test_bundle_path_of_4000_bytes(self):
        routes = {"entry": {ENTRY: RECORDING_AGENT}, "archive": {ARCHIVE: agent_archive()},
                  "download": {URL_FILE: self.nginx.url("agent.zip").encode()}}
        for route, resources in routes.items():
            with self.subTest(route):
                parent = self.folder(route)
                while BUNDLE_PATH_BYTES - len(parent) > 250:
                    parent = os.path.join(parent, "d" * 200)
                name = "B" * (BUNDLE_PATH_BYTES - len(parent) - len("/.app"))
                os.makedirs(parent, exist_ok=True)
                bundle = self.make_bundle(resources, parent=parent, name=name)
                self.assertEqual(len(os.path.dirname(os.path.dirname(os.path.dirname(bundle.program)))),
                                 BUNDLE_PATH_BYTES)
                result = self.run_program(bundle.program, ARGS, env={"AGENT_SAY": "install agent ran"})
                if route == "download":
                    self.assert_started_from_cache(result, bundle, ARGS)
                    continue
                self.assertEqual(result.status, 0, result.stderr)
                self.assert_agent_got(result, bundle, ARGS, argv0=None if route == "entry" else result.record.argv0)

    def test_no_unzip_on_path(self):
        path = self.folder("bin without unzip")
        with self.subTest(route="archive"):
            bundle = self.make_bundle({ARCHIVE: agent_archive()}, parent=self.folder("archive"))
            result = self.run_program(bundle.program, ARGS, env={"PATH": path})
            self.assert_failed(result, *UNZIP_FAILED, last_lines_only=True)
            self.assertIsNone(result.record)
            self.assertEqual(os.listdir(self.tmpdir), [])
        with self.subTest(route="download"):
            _, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"PATH": path})
            self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
            self.assertEqual(split_stderr(result.stderr), ([b"unzip not found on PATH (" + b(path) + NO_UNZIP_LOG],
                                                           [FAILED]), "no window, nothing downloaded")
            self.assertFalse(os.path.exists(os.path.join(self.home, ".korvex")))
            bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="with unzip")
            self.assert_started_from_cache(result, bundle, ARGS)

    def test_unwritable_tmpdir_falls_back_to_tmp(self):
        with self.subTest(route="archive"):
            bundle = self.make_bundle({ARCHIVE: agent_archive()})
            os.chmod(self.tmpdir, 0o555)
            result = self.run_program(bundle.program, ARGS, unprivileged=True)
            self.assertEqual(result.status, 0, result.stderr)
            self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
            self.assert_unpacked_in_temp(result, base="/tmp")
        with self.subTest(route="download"):
            bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, unprivileged=True)
            self.assert_started_from_cache(result, bundle, ARGS)
            self.assertEqual(stat.S_IMODE(os.stat(self.tmpdir).st_mode), 0o555)


if __name__ == "__main__":
    unittest.main()
