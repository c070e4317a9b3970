"""The per-user cache: (what the cache holds, what the server answers) -> a hit, or a download that
replaces it; a current cache is started without waiting for the archive; private whatever the umask;
signed caches."""
import os
import tempfile
import unittest
import zipfile
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, FAILED, KEY_FILE, NO_ETAG_LOG, NOBODY, NOT_SUCCESSFUL,
                               VALIDATION_FILE, DownloadTestCase, agent_archive, minisign_key, minisign_sign)

ARGS = ["--from-cache", "two words"]
BIG = 64 * 1024 * 1024  # larger than any sanitizer build's own memory
RATE = 512 * 1024  # bytes a second: the whole big archive would take two minutes
MARK_TIME = 1_000_000_000  # an mtime that no unpacking gives (archives carry 2020)
PLANTED = b'echo planted agent ran > "$AGENT_RECORD.planted"\n'
# Many reads: a check repeated at every read shows as a repeated log line.
PADDED = agent_archive(("padding", os.urandom(2 * 1024 * 1024), 0o644), compression=zipfile.ZIP_STORED)


class CacheTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("small.zip", PADDED)

    def url(self, query):
        return self.fault_url(query if query.startswith("/") else "/small.zip?" + query)

    def fill(self, query):
        """A cache from a download of small.zip?query, its agent marked: a later run shows whether it was replaced."""
        bundle, result = self.run_download(self.url(query), ARGS, label="fill")
        self.assertEqual(result.status, 0, result.stderr)
        marker = self.plant_marker()
        os.utime(self.cache("installagent", "install"), (MARK_TIME, MARK_TIME))
        return marker

    def plant(self, spoil):
        """A cache whose stored ETag matches the server's, whose agent is not ours, spoiled by spoil(cache)."""
        os.makedirs(self.cache("installagent"), mode=0o700)
        for path, data in ((self.cache("installagent", "install"), PLANTED),
                           (self.cache("installagent", "marker"), b""),
                           (self.cache(VALIDATION_FILE), b'"file-%d"' % len(PADDED))):
            with open(path, "wb") as f:
                f.write(data)
        spoil(self.cache())
        return self.cache("installagent", "marker")

    def link_validation_string(self, cache):
        os.rename(os.path.join(cache, VALIDATION_FILE), os.path.join(self.root, "elsewhere"))
        os.symlink(os.path.join(self.root, "elsewhere"), os.path.join(cache, VALIDATION_FILE))

    def test_cache_table(self):
        etag = lambda value: "etag=" + quote(value)  # noqa: E731
        nobody = lambda path: os.chown(path, NOBODY, NOBODY)  # noqa: E731
        long_etag = b'"' + b"e" * (64 * 1024 - 2) + b'"'
        # label -> (the cache before: a query to fill it from, or a spoil of a planted cache; the server's
        #           query; a hit; the stored validation string after; log lines)
        cases = {
            "same ETag": (etag('"quoted"'), etag('"quoted"'), True, b'"quoted"', []),
            "same weak ETag": (etag('W/"weak"'), etag('W/"weak"'), True, b'W/"weak"', []),
            "same ETag of 64 KiB": ("etag_size=65536", "etag_size=65536", True, long_etag, []),
            "empty body with the cached ETag": (etag('"quoted"'), "/empty?etag=" + quote('"quoted"'), True,
                                                b'"quoted"', []),
            "weak for strong": (etag('W/"weak"'), etag('"weak"'), False, b'"weak"', []),
            "the cached ETag longer": (etag("bare-token-2"), etag("bare-token"), False, b"bare-token", []),
            "another case": (etag("bare-token"), etag("Bare-token"), False, b"Bare-token", []),
            "no ETag for a current cache": (etag('"quoted"'), "noetag", False, None, [NO_ETAG_LOG]),
            "no ETag again": ("noetag", "noetag", False, None, [NO_ETAG_LOG]),
            "empty ETag": ("noetag", "etag=", False, None, [NO_ETAG_LOG]),
            "a redirect's ETag, none after it": (etag('"first"'), "/r?status=307&etag=%22first%22&redirect=" + quote(
                "/small.zip?noetag", safe=""), False, None, [NO_ETAG_LOG]),
            "validation string without the agent": (etag('"quoted"'), etag('"quoted"'), False, b'"quoted"', []),
        }
        untrusted = {  # label -> what makes a planted current cache untrustworthy
            "cache folder of another user": nobody,
            "agent folder of another user": lambda c: nobody(os.path.join(c, "installagent")),
            "validation string of another user": lambda c: nobody(os.path.join(c, VALIDATION_FILE)),
            "cache folder writable by the group": lambda c: os.chmod(c, 0o770),
            "agent folder writable by all": lambda c: os.chmod(os.path.join(c, "installagent"), 0o777),
            "validation string writable by all": lambda c: os.chmod(os.path.join(c, VALIDATION_FILE), 0o666),
            "validation string a symbolic link": self.link_validation_string,
        }
        cases["an empty stored ETag, no ETag"] = (lambda c: open(os.path.join(c, VALIDATION_FILE), "wb").close(),
                                                  "noetag", False, None, [NO_ETAG_LOG])
        for label, spoil in untrusted.items():
            cases["untrusted: " + label] = (spoil, "", False, b'"file-%d"' % len(PADDED), [])
        self.assertEqual(os.geteuid(), 0, "handing files to another user needs root")
        for label, (before, query, hit, stored, logs) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                marker = self.plant(before) if callable(before) else self.fill(before)
                if label == "validation string without the agent":
                    os.remove(self.cache("installagent", "install"))
                bundle, result = self.run_download(self.url(query), ARGS)
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=not hit, log_patterns=logs)
                self.assertEqual(self.stored_validation_string(), stored)
                self.assertEqual(os.path.exists(marker), hit, "the cached agent kept" if not hit else "replaced")
                if hit:
                    self.assertEqual(os.stat(self.cache("installagent", "install")).st_mtime, MARK_TIME, "re-unpacked")
                self.assertFalse(os.path.exists(self.record_file + ".planted"), "an untrusted install agent ran")
                for folder, dirs, files in os.walk(os.path.join(self.home, ".korvex")):
                    for path in [folder, *(os.path.join(folder, n) for n in dirs + files)]:
                        info = os.lstat(path)
                        self.assertEqual((info.st_uid, info.st_mode & 0o022), (0, 0), path)

    def test_current_cache_is_started_without_downloading(self):
        self.publish("big.zip", agent_archive(("padding.bin", os.urandom(BIG), 0o644), compression=zipfile.ZIP_STORED))
        bundle = self.download_bundle(self.fault_url("/big.zip"))
        first = self.finish_program(self.start_program(bundle.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode()}))
        self.assert_started_from_cache(first, bundle, ARGS)
        self.assertLess(first.peak_memory_kib * 1024, BIG, "the archive was held in memory")
        before = self.idle_fault_stats()
        # The same ETag, sent slowly: the run ends long before the archive could arrive.
        bundle, second = self.run_download(self.fault_url("/big.zip?rate=%d" % RATE), ARGS, timeout=15)
        after = self.idle_fault_stats()
        self.assert_started_from_cache(second, bundle, ARGS, unpacked=False)
        self.assertEqual(after["requests"] - before["requests"], 1)
        self.assertLess(after["bytes_sent"] - before["bytes_sent"], 4 * 1024 * 1024)

    def test_agent_status_decides_the_run(self):
        for route in ("downloaded", "cached"):
            with self.subTest(route):
                _, result = self.run_download(self.url(""), ARGS, env={"AGENT_EXIT": "3"})
                self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
                self.assertEqual(result.stderr.splitlines()[-3:], [AGENT_SAYS, NOT_SUCCESSFUL, FAILED])
                self.assertEqual(result.record.argv0, os.fsencode(self.cache("installagent", "install")))
                self.assert_no_temp_left()

    def test_cache_is_private_and_hits_whatever_the_umask(self):
        self.publish("umask.zip", agent_archive(("shared-data", b"x", 0o666), ("tools/", b"", 0o777)))
        for mask in (0o002, 0o000):
            with self.subTest(umask=oct(mask)):
                self.clear_cache()
                saved = os.umask(mask)  # the program inherits it
                try:
                    for unpacked in (True, False):
                        bundle, result = self.run_download(self.nginx.url("umask.zip"), ARGS)
                        self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                finally:
                    os.umask(saved)
                for folder, dirs, files in os.walk(os.path.join(self.home, ".korvex")):
                    # Ours are the user's alone; the agent's own may be read by others, never written.
                    private = 0o022 if "installagent" in folder else 0o077
                    self.assertEqual(os.stat(folder).st_mode & private, 0, folder)
                    for name in files:
                        self.assertEqual(os.stat(os.path.join(folder, name)).st_mode & 0o022, 0, name)
                for name in (VALIDATION_FILE, ".lock"):
                    self.assertEqual(os.stat(self.cache(name)).st_mode & 0o777, 0o600, name)

    def test_signed_cache_is_current_only_for_its_key(self):
        path = os.path.join(self.www, self.publish("signed.zip", agent_archive()))
        with tempfile.TemporaryDirectory(prefix="bootstrap-key-") as folder:
            key = minisign_key(folder)
            self.publish("signed.zip.minisig", minisign_sign(key, path))
            self.publish("legacy.zip", agent_archive(("legacy", b"x", 0o644)))
            self.publish("legacy.zip.minisig", minisign_sign(key, os.path.join(self.www, "legacy.zip"), "-l"))
        runs = [  # (archive, the bundle's key, unpacked, signature requests, stored key id afterwards)
            ("signed.zip", None, True, 0, None),  # an unsigned bundle makes no signature request
            ("signed.zip", key.public, True, 1, key.key_id),  # its cache is outdated for a bundle with a key
            ("signed.zip", key.public, False, 0, key.key_id),  # a hit: no signature fetched
            ("signed.zip", None, False, 0, key.key_id),  # the same archive: current for an unsigned bundle too
            ("legacy.zip", key.public, True, 1, key.key_id),  # a legacy signature verifies too
        ]
        for number, (name, public, unpacked, requests, stored) in enumerate(runs):
            with self.subTest(run=number, signed=bool(public)):
                before = self.nginx.error_log("access.log").count(".minisig")
                bundle = self.download_bundle(self.nginx.url(name), "run-%d" % number, {KEY_FILE: public} if public
                                              else {})
                result = self.run_program(bundle.program, ARGS, env={"AGENT_SAY": AGENT_SAYS.decode()})
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                self.assertEqual(self.nginx.error_log("access.log").count(".minisig") - before, requests)
                self.assertEqual(self.stored_validation_string(".verifiedkey"), stored)
        self.assertEqual(os.stat(self.cache(".verifiedkey")).st_mode & 0o777, 0o600)


if __name__ == "__main__":
    unittest.main()
