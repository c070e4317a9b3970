"""A download that fails ends the run with status 255, starts nothing and leaves no current cache."""
import os
import re
import unittest
from urllib.parse import quote

from bootstrap_fixture import (GARBAGE, RECORDING_AGENT, TRANSPORT_FAILED, UNPACK_FAILED, UNZIP_TOOL_FAILED, URL_VAR,
                               DownloadTestCase, agent_archive, free_port, refusal_log, transport_log, zip_archive)

ARGS = ["--fail", "two words"]


class DownloadFailureTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())

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
                                                    [re.escape(refusal_log(status, with_body))])
                        self.assertEqual(self.stored_validation_string(), stored)
                        if stored:
                            self.assertTrue(os.path.exists(self.cache("installagent", "marker")), "cache deleted")

    def test_refusal_abandons_a_long_body(self):
        before = self.idle_fault_stats()["bytes_sent"]
        _, result = self.run_download(self.fault_url("/long?status=404&size=100000000&rate=1048576"), ARGS)
        self.assert_download_failed(result, [b"Download failed with error code 404"],
                                    [re.escape(refusal_log(404, True))])
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
        archives = {  # name -> (data, the unzip tool fails too)
            "garbage.zip": (GARBAGE, True),
            "empty.zip": (b"", True),
            "no-install.zip": (zip_archive(("setup", RECORDING_AGENT, 0o644)), False),
            "install-in-folder.zip": (zip_archive(("agent/", b"", 0o755), ("agent/install", RECORDING_AGENT, 0o644)),
                                      False),
        }
        for cache in ("empty", "outdated"):
            for name, (data, tool_fails) in archives.items():
                with self.subTest(name, cache=cache):
                    self.clear_cache()
                    if cache == "outdated":
                        self.fill_cache()
                    _, result = self.run_download(self.nginx.url(self.publish(name, data)), ARGS)
                    self.assert_download_failed(result, [UNPACK_FAILED], also=[UNZIP_TOOL_FAILED] if tool_fails else [])
                    self.assertIsNone(self.stored_validation_string())
                    self.assertFalse(os.path.exists(self.cache("installagent", "install")))


if __name__ == "__main__":
    unittest.main()
