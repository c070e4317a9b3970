"""A download that fails ends the run with status 255, starts nothing and leaves no current cache."""
import os
import re
import tempfile
import unittest
import zipfile
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, GARBAGE, KEY_FILE, RECORDING_AGENT, TRANSPORT_FAILED, UNPACK_FAILED, UNVERIFIED,
                               UNZIP_TOOL_FAILED, URL_VAR, DownloadTestCase, agent_archive, free_port, minisign_key,
                               minisign_sign, refusal_logs, unpack_log, transport_log, zip_archive)

ARGS = ["--fail", "two words"]


class DownloadFailureTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        keys = tempfile.TemporaryDirectory(prefix="bootstrap-keys-")
        cls.addClassCleanup(keys.cleanup)
        cls.key, cls.other_key = (minisign_key(os.path.join(keys.name, n)) for n in ("ours", "other") if
                                  not os.mkdir(os.path.join(keys.name, n)))

    def fill_cache(self):
        """A current cache from agent.zip; its validation string."""
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.plant_marker()
        return self.stored_validation_string()

    def test_refused_download(self):
        for cache in ("empty", "current"):
            for status in (400, 401, 404, 500):
                for with_body in (True, False):
                    with self.subTest(cache=cache, status=status, with_body=with_body):
                        self.clear_cache()
                        stored = self.fill_cache() if cache == "current" else None
                        # In a current cache the refusal carries its very ETag: the status still wins.
                        query = "status=%d&size=%d" % (status, 512 if with_body else 0)
                        query += "&etag=" + quote(stored) if stored else ""
                        _, result = self.run_download(self.fault_url("/agent.zip-missing?" + query), ARGS)
                        self.assert_download_failed(result, [b"Download failed with error code %d" % status],
                                                    refusal_logs(status, with_body))
                        self.assertEqual(self.stored_validation_string(), stored)
                        if stored:
                            self.assertTrue(os.path.exists(self.cache("installagent", "marker")), "cache deleted")

    def test_refusal_abandons_a_long_body(self):
        before = self.idle_fault_stats()["bytes_sent"]
        _, result = self.run_download(self.fault_url("/long?status=404&size=100000000&rate=1048576"), ARGS)
        self.assert_download_failed(result, [b"Download failed with error code 404"],
                                    refusal_logs(404, True))
        self.assertLess(self.idle_fault_stats()["bytes_sent"] - before, 4 * 1024 * 1024)

    def test_transport_error(self):
        port = free_port()
        cases = {  # label -> (URL, given in the environment rather than the URL file, the log names this URL)
            "body cut short": (self.fault_url("/cut?size=1000&length=100000"), False, True),
            "nothing listening": ("http://127.0.0.1:%d/agent.zip" % port, False, True),
            "empty URL": ("", True, True),
            "file URL": ("file:///etc/passwd", True, True),
            "ftp URL": ("ftp://127.0.0.1:%d/x" % port, True, True),
            "no scheme": (self.nginx.url("agent.zip").replace("http://", ""), True, True),
            "redirect to a file URL": (self.fault_url("/r?redirect=file:///etc/passwd"), False, False),
            "endless redirects": (self.fault_url("/r?loop"), False, False),
        }
        for label, (url, in_environment, logged) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                if in_environment:
                    bundle = self.download_bundle(self.nginx.url("agent.zip"), label)
                    result = self.run_program(bundle.program, ARGS, env={URL_VAR: url})
                else:
                    _, result = self.run_download(url, ARGS, label=label)
                self.assert_download_failed(result, TRANSPORT_FAILED, [transport_log(url if logged else None)])
                self.assertIsNone(self.stored_validation_string())

    def test_unusable_archive(self):
        whole = zip_archive(("install", RECORDING_AGENT * 50, 0o644), compression=zipfile.ZIP_STORED)
        archives = {  # name -> (data, the unzip tool fails too, why the log says)
            "garbage.zip": (GARBAGE, True, b"it is not a zip archive"),
            "empty.zip": (b"", True, b"it is not a zip archive"),
            "cut-short.zip": (whole[:len(whole) // 2], True, rb"unzip could not unpack it \(.*"),
            "no-install.zip": (zip_archive(("setup", RECORDING_AGENT, 0o644)), False,
                               b"it holds no file install at its top level"),
            "install-in-folder.zip": (zip_archive(("agent/", b"", 0o755), ("agent/install", RECORDING_AGENT, 0o644)),
                                      False, b"it holds no file install at its top level: found agent/install; "
                                             b"zip the folder's contents, not the folder"),
        }
        for cache in ("empty", "outdated"):
            for name, (data, tool_fails, why) in archives.items():
                with self.subTest(name, cache=cache):
                    self.clear_cache()
                    if cache == "outdated":
                        self.fill_cache()
                    _, result = self.run_download(self.nginx.url(self.publish(name, data)), ARGS)
                    self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log(why)],
                                                also=[UNZIP_TOOL_FAILED] if tool_fails else [])
                    self.assertIsNone(self.stored_validation_string())
                    self.assertFalse(os.path.exists(self.cache("installagent")), "a failed unpacking left files")

    def test_signed_download(self):
        path = os.path.join(self.www, "agent.zip")
        signature, legacy = minisign_sign(self.key, path), minisign_sign(self.key, path, "-l")
        lines = signature.split(b"\n")
        comment_changed = b"\n".join(lines[:2] + [b"trusted comment: changed"] + lines[3:])
        other, bad_key = self.other_key.public, b"untrusted comment: x\nnot a key\n"
        sig, archive = ".minisig", ""  # the log names the signature's URL, or the archive's
        cases = {  # label -> (archive, its .minisig (None: none; an int: that status), bundle's key, failed check)
            "prehashed": (agent_archive(), signature, None, None),
            "legacy": (agent_archive(), legacy, None, None),
            "signature missing": (agent_archive(), None, None, (rb"The signature was refused with HTTP status 404", sig)),
            "signature refused": (agent_archive(), 500, None, (rb"The signature was refused with HTTP status 500", sig)),
            "archive tampered": (agent_archive(("extra", b"x", 0o644)), signature, None,
                                 (rb"The signature does not hold over .+: it is not the file the key signed", archive)),
            "another publisher's key": (agent_archive(), signature, other, (rb"The signature is by key %s, not by the "
                                        rb"trusted key %s" % (self.key.key_id, self.other_key.key_id), archive)),
            "signature corrupt": (agent_archive(), b"\n".join(lines[:2]), None, (rb"The signature file has 2 lines.+", sig)),
            "trusted comment changed": (agent_archive(), comment_changed, None,
                                        (rb"The global signature does not hold: the trusted comment \"changed\".+", archive)),
            "bundle's key malformed": (agent_archive(), signature, bad_key,
                                       (rb"The bundle's public key .+/%s does not parse: .+" % KEY_FILE.encode(), None)),
        }
        for number, (label, (data, minisig, key, failure)) in enumerate(cases.items()):
            with self.subTest(label):
                self.clear_cache()
                name = self.publish("signed-%d.zip" % number, data)
                if isinstance(minisig, int):
                    self.publish(name + ".minisig.status", b"%d" % minisig)
                elif minisig is not None:
                    self.publish(name + ".minisig", minisig)
                url = self.fault_url(name) if isinstance(minisig, int) else self.nginx.url(name)
                bundle = self.download_bundle(url, label, {KEY_FILE: key or self.key.public})
                result = self.run_program(bundle.program, ARGS, env={"AGENT_SAY": AGENT_SAYS.decode()})
                if failure is None:
                    self.assert_started_from_cache(result, bundle, ARGS)
                    self.assertEqual(self.stored_validation_string(".verifiedkey"), self.key.key_id)
                    continue
                check, suffix = failure
                named = b"" if suffix is None else b" " + re.escape((url + suffix).encode())
                self.assert_download_failed(result, UNVERIFIED, [rb"Verification failed! Error - " + check + named])
                # Nothing unpacked, nothing stored.
                files = {f for _, _, names in os.walk(os.path.join(self.home, ".korvex")) for f in names}
                self.assertLessEqual(files, {".lock"})

if __name__ == "__main__":
    unittest.main()
