"""The per-user cache: a current install agent is started without downloading it again,
an outdated one is replaced, and only an ETag makes a download count as current."""
import os
import tempfile
import unittest
import zipfile
from urllib.parse import quote

from bootstrap_fixture import NO_ETAG_LOG, AGENT_SAYS, KEY_FILE, DownloadTestCase, agent_archive, minisign_key, minisign_sign

ARGS = ["--from-cache", "two words"]
BIG = 64 * 1024 * 1024
RATE = 512 * 1024  # bytes a second: the whole big archive would take over two minutes
MARK_TIME = 1_000_000_000  # an mtime that no unpacking gives (archives carry 2020)


def only(name):
    """An agent archive that also holds a file of this name."""
    return agent_archive((name, name.encode(), 0o644))


class CacheTest(DownloadTestCase):

    def mark_cached_agent(self):
        """Marks the cached agent so that a later run shows whether it was replaced or re-unpacked."""
        marker = self.plant_marker()
        os.utime(self.cache("installagent", "install"), (MARK_TIME, MARK_TIME))
        return marker

    def assert_cached_agent_untouched(self, marker):
        self.assertTrue(os.path.exists(marker), "cached install agent replaced")
        self.assertEqual(os.stat(self.cache("installagent", "install")).st_mtime, MARK_TIME, "re-unpacked")

    def test_current_cache_is_started_without_downloading(self):
        archive = agent_archive(("padding.bin", os.urandom(BIG), 0o644), compression=zipfile.ZIP_STORED)
        size = len(archive)
        self.publish("big.zip", archive)
        bundle = self.download_bundle(self.fault_url("/big.zip"))
        first = self.finish_program(self.start_program(bundle.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode()}))
        self.assert_started_from_cache(first, bundle, ARGS)
        self.assertLess(first.peak_memory_kib * 1024, BIG, "the archive was held in memory")
        self.assertEqual(self.stored_validation_string(), b'"file-%d"' % size)
        marker = self.mark_cached_agent()

        before = self.idle_fault_stats()
        # The same ETag, sent slowly: the run ends long before the archive could arrive.
        bundle, second = self.run_download(self.fault_url("/big.zip?rate=%d" % RATE), ARGS, timeout=15)
        after = self.idle_fault_stats()
        self.assert_started_from_cache(second, bundle, ARGS, unpacked=False)
        self.assert_cached_agent_untouched(marker)
        self.assertEqual(after["requests"] - before["requests"], 1)
        self.assertLess(after["bytes_sent"] - before["bytes_sent"], 4 * 1024 * 1024)
        self.assertEqual(self.stored_validation_string(), b'"file-%d"' % size)

    def test_validation_string_is_stored_and_compared_byte_for_byte(self):
        self.publish("small.zip", only("small"))
        etags = {  # as sent -> a near miss that must not count as current
            '"quoted"': '"quoted "',
            'W/"weak"': '"weak"',
            "bare-token": "Bare-token",
            '"with space"': "with space",
        }
        for etag, near_miss in etags.items():
            with self.subTest(etag):
                self.clear_cache()
                url = self.fault_url("/small.zip?etag=" + quote(etag))
                bundle, result = self.run_download(url, ARGS)
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertEqual(self.stored_validation_string(), etag.encode())
                marker = self.mark_cached_agent()

                bundle, result = self.run_download(url, ARGS)
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=False)
                self.assert_cached_agent_untouched(marker)

                bundle, result = self.run_download(self.fault_url("/small.zip?etag=" + quote(near_miss)), ARGS)
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertFalse(os.path.exists(marker), "outdated install agent kept")
                self.assertEqual(self.stored_validation_string(), near_miss.encode())

    def test_changed_archive_replaces_cached_agent(self):
        self.publish("changing.zip", only("old-only"))
        bundle, result = self.run_download(self.nginx.url("changing.zip"), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        old_etag = self.nginx.etag("changing.zip")
        self.assertEqual(self.stored_validation_string(), old_etag)
        marker = self.mark_cached_agent()

        path = os.path.join(self.www, self.publish("changing.zip", only("new-only, longer")))
        os.utime(path, (MARK_TIME, MARK_TIME))  # nginx's ETag changes with the time and the size
        new_etag = self.nginx.etag("changing.zip")
        self.assertNotEqual(new_etag, old_etag)
        bundle, result = self.run_download(self.nginx.url("changing.zip"), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(sorted(os.listdir(self.cache("installagent"))), ["install", "new-only, longer"])
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(self.stored_validation_string(), new_etag)

    def test_download_without_etag_is_never_current(self):
        self.publish("plain.zip", only("plain"))
        runs = [  # (query, stored validation string afterwards)
            ("", b'"file-%d"' % os.path.getsize(os.path.join(self.www, "plain.zip"))),
            ("?noetag", None),  # replaces a cache that was current
            ("?noetag", None),  # downloads again
            ("?etag=", None),  # an empty ETag is no validation string either
            ("?etag=", None),
        ]
        for number, (query, stored) in enumerate(runs):
            with self.subTest(run=number, query=query):
                marker = self.mark_cached_agent() if number else None
                before = self.idle_fault_stats()
                bundle, result = self.run_download(self.fault_url("/plain.zip" + query), ARGS)
                after = self.idle_fault_stats()
                self.assert_started_from_cache(result, bundle, ARGS, log_patterns=[NO_ETAG_LOG] if query else [])
                self.assertEqual(self.stored_validation_string(), stored)
                self.assertGreaterEqual(after["bytes_sent"] - before["bytes_sent"],
                                        os.path.getsize(os.path.join(self.www, "plain.zip")))
                if marker:
                    self.assertFalse(os.path.exists(marker), "outdated install agent kept")

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
                for name in (".validatestring", ".lock"):
                    self.assertEqual(os.stat(self.cache(name)).st_mode & 0o777, 0o600, name)

    def test_validation_string_without_agent_entry_downloads_again(self):
        self.publish("entry.zip", only("entry"))
        url = self.fault_url("/entry.zip")
        bundle, result = self.run_download(url, ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        stored = self.stored_validation_string()
        os.remove(self.cache("installagent", "install"))
        bundle, result = self.run_download(url, ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), stored)

    def test_signed_cache_is_current_only_for_its_key(self):
        path = os.path.join(self.www, self.publish("signed.zip", only("signed")))
        with tempfile.TemporaryDirectory(prefix="bootstrap-key-") as folder:
            key = minisign_key(folder)
            self.publish("signed.zip.minisig", minisign_sign(key, path))
        runs = [  # (bundle's key, unpacked, signature requests, stored key id afterwards)
            (None, True, 0, None),  # an unsigned bundle makes no signature request
            (key.public, True, 1, key.key_id),  # its cache is outdated for a bundle with a key
            (key.public, False, 0, key.key_id),  # a hit: no signature fetched
            (None, False, 0, key.key_id),  # the same archive: current for an unsigned bundle too
        ]
        for number, (public, unpacked, requests, stored) in enumerate(runs):
            with self.subTest(run=number, signed=bool(public)):
                marker = self.mark_cached_agent() if number else None
                before = self.nginx.error_log("access.log").count(".minisig")
                bundle = self.download_bundle(self.nginx.url("signed.zip"), "run-%d" % number,
                                              {KEY_FILE: public} if public else {})
                result = self.run_program(bundle.program, ARGS, env={"AGENT_SAY": AGENT_SAYS.decode()})
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                self.assertEqual(self.nginx.error_log("access.log").count(".minisig") - before, requests)
                self.assertEqual(self.stored_validation_string(".verifiedkey"), stored)
                if marker and unpacked:
                    self.assertFalse(os.path.exists(marker), "outdated install agent kept")
                elif marker:
                    self.assert_cached_agent_untouched(marker)
        self.assertEqual(os.stat(self.cache(".verifiedkey")).st_mode & 0o777, 0o600)


if __name__ == "__main__":
    unittest.main()
