"""A bundle without an install agent downloads it into the per-user cache and starts it: over
redirects, proxies and TLS, and whatever the local input (HOME, names, paths, PATH, TMPDIR)."""
import os
import re
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, CACHE_DIR, DOWNLOADING, ENTRY, FAILED, RECORDING_AGENT,
                               SERVER_LIFETIME, UNZIP_FAILED, URL_FILE, URL_VAR, DownloadTestCase,
                               agent_archive, b, free_port, split_stderr)
from fault_server import FaultServer
from tls_fixture import make_certificates

ARGS = ["--silent", "two words", 'say "hi"', "$HOME `touch pwned`", "", "line\nbreak", "-installbundle"]
AGENT = agent_archive(("docs/", b"", 0o755), ("docs/readme.txt", b"its own files\n", 0o644))
SAY = {"AGENT_SAY": AGENT_SAYS.decode()}
HOSTILE = 'say "hi" it\'s $(touch pwned) `touch pwned` Ünïcødé ' + os.fsdecode(b"caf\xe9 \xff")
NO_UNZIP_LOG = b"): the install agent is not downloaded, as it could not be unpacked; install the unzip package"
# A /tmp of its own (a tmpfs) holding the sandbox at its usual path and, as /tmp/.korvex, a folder of it.
PRIVATE_TMP = """set -e
cd "$1"; mount -t tmpfs -o mode=1777 private-tmp /tmp; mkdir -p "$1" /tmp/.korvex
mount --no-canonicalize --bind . "$1"; mount --bind "$2" /tmp/.korvex; cd "$3"; shift 3; exec "$@"
"""


class TinyProxy:
    """tinyproxy on a free loopback port for a `with` block, ended by `timeout` when its starter is gone."""

    def __enter__(self):
        self.state, self.port = tempfile.mkdtemp(prefix="tinyproxy-"), free_port()
        with open(os.path.join(self.state, "proxy.conf"), "w") as f:
            f.write('Port %d\nListen 127.0.0.1\nTimeout 60\nMaxClients 16\nLogFile "%s/proxy.log"\nLogLevel Info\n'
                    'PidFile "%s/proxy.pid"\nAllow 127.0.0.1\n' % (self.port, self.state, self.state))
        self.process = subprocess.Popen(["timeout", "--kill-after=5", SERVER_LIFETIME, "tinyproxy", "-d", "-c",
                                         os.path.join(self.state, "proxy.conf")], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(400):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("tinyproxy did not start")

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)  # `timeout` hands it on
        self.process.wait(10)

    def requests(self):
        """The request lines the proxy has taken ("GET http://…", "CONNECT host:port …")."""
        with open(os.path.join(self.state, "proxy.log")) as f:
            return re.findall(r"Request \(file descriptor \d+\): (.*)", f.read())


class DownloadRouteTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", AGENT)
        cls.publish("agënt.zip", AGENT)
        cls.certificates = make_certificates(os.path.join(cls.www, "certificates"))
        cls.tls = cls.enterClassContext(FaultServer("--root", cls.www, "--max-seconds", SERVER_LIFETIME, "--cert",
                                                    cls.certificates.server_cert, "--key", cls.certificates.server_key))
        cls.proxy = cls.enterClassContext(TinyProxy())

    def test_downloads(self):
        nginx, fault, size = self.nginx.url("agent.zip"), self.fault_url("/agent.zip"), b"%d" % len(AGENT)
        tls, ca = "https://%s:%d/agent.zip", {"SSL_CERT_FILE": self.certificates.ca}
        file_etag, proxy = b'"file-' + size + b'"', "http://127.0.0.1:%d" % self.proxy.port
        number = next(n for n in range(990, 1100) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        # label -> (URL, environment, bundle name, the stored ETag, the request the proxy takes)
        cases = {
            "nginx": (nginx, {}, "Installer", None, None),
            "a flat bundle": (nginx, {}, None, None, None),
            "hostile bundle name and HOME": (nginx, {"HOME": self.folder(HOSTILE)}, HOSTILE, None, None),
            "a redirect's headers left behind": (self.fault_url('/start?status=307&etag="first"&redirect=/agent.zip'),
                                                 {}, "Installer", file_etag, None),
            "two redirects to nginx": (self.fault_url("/one?redirect=" + quote(self.fault_url(
                "/two?redirect=" + quote(nginx, safe="")), safe="")), {}, "Installer", None, None),
            "no Content-Length": (fault + "?nolength", {}, "Installer", file_etag, None),
            "URL from the environment": ("http://127.0.0.1:%d/x" % free_port(), {URL_VAR: nginx}, "Installer", None,
                                         None),
            "non-ASCII path": (self.nginx.url("agënt.zip"), {}, "Installer", self.nginx.etag(quote("agënt.zip")),
                               None),
            "a display that cannot be opened": (nginx, {"DISPLAY": ":%d" % number, "WAYLAND_DISPLAY": "none"},
                                                "Installer", None, None),
            "SSL_CERT_FILE, localhost": (tls % ("localhost", self.tls.port), ca, "Installer", file_etag, None),
            "http_proxy": (fault, {"http_proxy": proxy}, "Installer", file_etag, "GET %s HTTP/1.1" % fault),
            "https_proxy": (tls % ("127.0.0.1", self.tls.port), {**ca, "https_proxy": proxy}, "Installer", file_etag,
                            "CONNECT 127.0.0.1:%d HTTP/1.1" % self.tls.port),
            "no_proxy": (fault, {"http_proxy": proxy, "no_proxy": "localhost,127.0.0.1"}, "Installer", file_etag,
                         None),
            "http_proxy for an https URL": (tls % ("127.0.0.1", self.tls.port), {**ca, "http_proxy": proxy},
                                            "Installer", file_etag, None),
        }
        for label, (url, env, name, etag, request) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                self.home, taken = env.get("HOME", self.folder("home")), len(self.proxy.requests())
                bundle = self.make_bundle({URL_FILE: url.encode() + b"\n"}, parent=self.folder(label),
                                          name=name or "Flat", flat=name is None)
                result = self.run_program(bundle.program, ARGS, env={**SAY, **env})
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assertEqual(self.stored_validation_string(), etag or self.nginx.etag("agent.zip"))
                self.assertEqual(self.proxy.requests()[taken:], [request] if request else [])
                with open(self.cache("installagent", "docs", "readme.txt"), "rb") as f:
                    self.assertEqual(f.read(), b"its own files\n")
                self.assertEqual(stat.S_IMODE(os.stat(self.cache("installagent")).st_mode), 0o700)
                self.assertIn(DOWNLOADING, split_stderr(result.stderr)[1])
        self.assert_nothing_injected("pwned")

    def test_home_unset_or_empty_keeps_the_cache_in_tmp(self):
        """The cache goes to /tmp/.korvex, here a private /tmp: another run's /tmp is never touched."""
        for label, home in {"unset": None, "empty": ""}.items():
            with self.subTest(label):
                korvex = self.folder(label, "korvex")
                os.chmod(korvex, 0o700)
                for unpacked in (True, False):
                    bundle = self.download_bundle(self.nginx.url("agent.zip"), label)
                    result = self.run_program(bundle.program, ARGS, {**SAY, "HOME": home}, wrapper=[
                        "unshare", "--mount", "--", "sh", "-c", PRIVATE_TMP, "sh", self.root, korvex, self.cwd])
                    saved, self.home = self.home, "/tmp"  # the cache the agent ran from, as the program saw it
                    try:
                        self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                    finally:
                        self.home = saved
                self.assertEqual(os.listdir(self.home), [])
                self.assertTrue(os.path.exists(os.path.join(korvex, *CACHE_DIR.split(os.sep)[1:], "installagent")))

    def test_home_that_cannot_hold_a_cache(self):
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="filled")
        for folder, dirs, files in os.walk(self.home):  # read-only, holding a current cache
            for path in [folder, *(os.path.join(folder, n) for n in files)]:
                os.chmod(path, 0o555 if path == folder else 0o444)
        read_only = self.folder("read-only home")
        os.chmod(read_only, 0o555)
        for label, home in {"read-only, current cache": self.home, "/": "/", "read-only": read_only}.items():
            with self.subTest(label):
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": home},
                                                   label=label, unprivileged=True)
                if home == self.home:
                    self.assert_started_from_cache(result, bundle, ARGS, unpacked=False)
                    continue
                top = os.path.join(home, ".korvex").encode()
                self.assert_started_without_cache(result, bundle, ARGS, re.escape(top) + b" cannot be made: "
                                                  b"(Permission denied|Read-only file system)")
                self.assertFalse(os.path.exists(os.path.join(home, ".korvex")))

    def test_bundle_path_of_4000_bytes(self):
        routes = {"entry": {ENTRY: RECORDING_AGENT}, "archive": {ARCHIVE: agent_archive()},
                  "download": {URL_FILE: self.nginx.url("agent.zip").encode()}}
        for route, resources in routes.items():
            with self.subTest(route):
                parent = self.folder(route)
                while 4000 - len(parent) > 250:
                    parent = os.path.join(parent, "d" * 200)
                os.makedirs(parent, exist_ok=True)
                bundle = self.make_bundle(resources, parent=parent, name="B" * (4000 - len(parent) - len("/.app")))
                self.assertEqual(len(os.path.dirname(os.path.dirname(os.path.dirname(bundle.program)))), 4000)
                result = self.run_program(bundle.program, ARGS, env=SAY)
                if route == "download":
                    self.assert_started_from_cache(result, bundle, ARGS)
                else:
                    self.assertEqual(result.status, 0, result.stderr)
                    self.assert_agent_got(result, bundle, ARGS, argv0=None if route == "entry" else result.record.argv0)

    def test_no_unzip_on_path(self):
        path = self.folder("bin without unzip")
        result = self.run_program(self.make_bundle({ARCHIVE: agent_archive()}).program, ARGS, env={"PATH": path})
        self.assert_failed(result, *UNZIP_FAILED, last_lines_only=True)
        self.assertEqual(os.listdir(self.tmpdir), [])
        _, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"PATH": path})
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        self.assertEqual(split_stderr(result.stderr), ([b"unzip not found on PATH (" + b(path) + NO_UNZIP_LOG],
                                                       [FAILED]), "no window, nothing downloaded")
        self.assertFalse(os.path.exists(os.path.join(self.home, ".korvex")))
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="with unzip")
        self.assert_started_from_cache(result, bundle, ARGS)

    def test_unwritable_tmpdir_falls_back_to_tmp(self):
        os.chmod(self.tmpdir, 0o555)
        bundle = self.make_bundle({ARCHIVE: agent_archive()})
        result = self.run_program(bundle.program, ARGS, unprivileged=True)
        self.assertEqual(result.status, 0, result.stderr)
        self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
        self.assert_unpacked_in_temp(result, base="/tmp")
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, unprivileged=True)
        self.assert_started_from_cache(result, bundle, ARGS)


if __name__ == "__main__":
    unittest.main()
