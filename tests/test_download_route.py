"""A bundle without an install agent downloads it into the per-user cache and starts it."""
import os
import stat
import unittest
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, DOWNLOADING, FAILED, INITIALIZING, NOT_SUCCESSFUL, RECORDING_AGENT,
                               TRANSPORT_FAILED, URL_VAR, DownloadTestCase, agent_archive, free_port, split_stderr,
                               transport_log)

ARGS = ["--silent", "two words", 'say "hi"', "$HOME `touch pwned`", "", "line\nbreak", "-installbundle"]
EXTRA = ("docs/readme.txt", b"the agent's own files\n", 0o644)


class FirstDownloadTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive(("docs/", b"", 0o755), EXTRA))

    def test_archive_is_unpacked_into_cache_and_started(self):
        for args in ([], ["one argument"], ARGS):
            for flat in (False, True):
                with self.subTest(args=args, flat=flat):
                    self.clear_cache()
                    bundle = self.download_bundle(self.nginx.url("agent.zip"), "flat" if flat else "app", flat=flat)
                    result = self.run_program(bundle.program, args, env={"AGENT_SAY": AGENT_SAYS.decode()})
                    self.assert_started_from_cache(result, bundle, args)
                    self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))
                    with open(self.cache("installagent", "install"), "rb") as f:
                        self.assertEqual(f.read(), RECORDING_AGENT)
                    with open(self.cache("installagent", *EXTRA[0].split("/")), "rb") as f:
                        self.assertEqual(f.read(), EXTRA[1])
                    self.assertEqual(stat.S_IMODE(os.stat(self.cache("installagent")).st_mode), 0o700)
                    self.assert_nothing_injected("pwned")

    def test_agent_status_decides_the_run(self):
        for route in ("downloaded", "cached"):  # the second run finds the first one's cache current
            with self.subTest(route):
                _, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"AGENT_EXIT": "3"})
                self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
                self.assertEqual(result.stderr.splitlines()[-3:], [AGENT_SAYS, NOT_SUCCESSFUL, FAILED])
                self.assertEqual(result.record.argv0, os.fsencode(self.cache("installagent", "install")))
                self.assertEqual(INITIALIZING in split_stderr(result.stderr)[1], route == "downloaded")
                self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))
                self.assert_no_temp_left()

    def test_url_from_environment_replaces_url_file(self):
        good = self.nginx.url("agent.zip")
        url_files = {"refused URL": self.fault_url("/agent.zip?status=404&size=10"),
                     "nothing listening": "http://127.0.0.1:%d/agent.zip" % free_port(),
                     "empty URL file": ""}
        for label, url_file in url_files.items():
            with self.subTest(label):
                self.clear_cache()
                bundle = self.download_bundle(url_file, label)
                result = self.run_program(bundle.program, ARGS, env={URL_VAR: good, "AGENT_SAY": AGENT_SAYS.decode()})
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))

    def test_redirect_is_followed(self):
        nginx = quote(self.nginx.url("agent.zip"), safe="")
        redirects = {  # label -> (first URL, the final response's ETag)
            "302 to nginx": (self.fault_url("/start?redirect=" + nginx), self.nginx.etag("agent.zip")),
            "301 to nginx": (self.fault_url("/start?status=301&redirect=" + nginx), self.nginx.etag("agent.zip")),
            "307 to a path": (self.fault_url('/start?status=307&etag="first"&redirect=/agent.zip'), b'"file-%d"'
                              % os.path.getsize(os.path.join(self.www, "agent.zip"))),
            "two hops": (self.fault_url("/one?redirect=" + quote(self.fault_url("/two?redirect=" + nginx), safe="")),
                         self.nginx.etag("agent.zip")),
        }
        for label, (url, etag) in redirects.items():
            with self.subTest(label):
                self.clear_cache()
                bundle, result = self.run_download(url, ARGS, label=label)
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertEqual(self.stored_validation_string(), etag)

    def test_body_without_announced_length(self):
        for query in ("chunked", "nolength"):
            with self.subTest(query):
                self.clear_cache()
                bundle, result = self.run_download(self.fault_url("/agent.zip?" + query), ARGS, label=query)
                self.assert_started_from_cache(result, bundle, ARGS)

    def test_cache_in_a_home_with_shell_characters(self):
        for name in ("home with  blanks", 'home "quoted" $HOME `touch pwned` ;x'):
            with self.subTest(name):
                self.home = self.folder(name)
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": self.home},
                                                   label=name)
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))
                self.assert_nothing_injected("pwned")

    def test_proxy_from_environment(self):
        closed = "http://127.0.0.1:%d/agent.zip" % free_port()
        proxy = "http://127.0.0.1:%d" % self.faults.port  # answers a proxy request for /agent.zip with the file
        for variable in ("http_proxy", "all_proxy"):
            with self.subTest(variable):
                self.clear_cache()
                bundle, result = self.run_download(closed, ARGS, env={variable: proxy}, label=variable)
                self.assert_started_from_cache(result, bundle, ARGS)
        with self.subTest("no_proxy"):
            _, result = self.run_download(closed, ARGS, env={"http_proxy": proxy, "no_proxy": "127.0.0.1"})
            self.assert_download_failed(result, TRANSPORT_FAILED, [transport_log(closed)])

    def test_display_that_cannot_be_opened_gives_terminal_window(self):
        number = next(n for n in range(990, 1100) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        env = {"DISPLAY": ":%d" % number, "WAYLAND_DISPLAY": "no-such-wayland-display"}
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env=env)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertIn(DOWNLOADING, split_stderr(result.stderr)[1])


if __name__ == "__main__":
    unittest.main()
