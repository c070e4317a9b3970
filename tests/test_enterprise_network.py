"""What networks with TLS inspection and proxies need: a certificate authority
trusted through SSL_CERT_FILE, and http_proxy / https_proxy / no_proxy with a
real proxy (tinyproxy) on 127.0.0.1."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from bootstrap_fixture import SERVER_LIFETIME, TRANSPORT_FAILED, DownloadTestCase, agent_archive, free_port
from fault_server import FaultServer
from tls_fixture import make_certificates

ARGS = ["--enterprise", "two words"]
PROXY_CONFIG = """\
Port {port}
Listen 127.0.0.1
Timeout 60
MaxClients 16
LogFile "{state}/proxy.log"
LogLevel Info
PidFile "{state}/proxy.pid"
Allow 127.0.0.1
"""


class TinyProxy:
    """tinyproxy on a free loopback port for the life of a `with` block, ended
    by coreutils' `timeout` after max_seconds even when its starter is gone."""

    def __init__(self, max_seconds):
        self.max_seconds = max_seconds

    def __enter__(self):
        self.state = tempfile.mkdtemp(prefix="tinyproxy-")
        self.port = free_port()
        config = os.path.join(self.state, "proxy.conf")
        with open(config, "w") as f:
            f.write(PROXY_CONFIG.format(port=self.port, state=self.state))
        self.process = subprocess.Popen(["timeout", "--kill-after=5", str(self.max_seconds), "tinyproxy", "-d", "-c",
                                         config], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while self.process.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        log = self.log()
        self.__exit__()
        raise RuntimeError("tinyproxy did not start:\n" + log)

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)  # `timeout` hands it on
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.state, ignore_errors=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def log(self):
        try:
            with open(os.path.join(self.state, "proxy.log")) as f:
                return f.read()
        except OSError:
            return ""

    def requests(self):
        """The request lines the proxy has taken, in order ("GET http://…", "CONNECT host:port …")."""
        return re.findall(r"Request \(file descriptor \d+\): (.*)", self.log())


class EnterpriseNetworkTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        cls.certificates = make_certificates(os.path.join(cls.www, "certificates"))
        cls.tls = cls.enterClassContext(FaultServer("--root", cls.www, "--max-seconds", SERVER_LIFETIME, "--cert",
                                                    cls.certificates.server_cert, "--key",
                                                    cls.certificates.server_key))
        cls.proxy = cls.enterClassContext(TinyProxy(SERVER_LIFETIME))

    def tls_url(self, host="127.0.0.1"):
        return "https://%s:%d/agent.zip" % (host, self.tls.port)

    def assert_downloads(self, url, env, label):
        self.clear_cache()
        bundle, result = self.run_download(url, ARGS, env=env, label=label)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), b'"file-%d"' % len(agent_archive()))

    def test_certificate_authority_from_ssl_cert_file(self):
        for host in ("127.0.0.1", "localhost"):
            with self.subTest("trusted", host=host):
                self.assert_downloads(self.tls_url(host), {"SSL_CERT_FILE": self.certificates.ca}, host)
        untrusted = {  # label -> (SSL_CERT_FILE, the log line's reason)
            "system authorities only": (None, rb"SSL certificate problem: unable to get local issuer certificate"),
            "another authority": (self.certificates.self_signed_cert,
                                  rb"SSL certificate problem: unable to get local issuer certificate"),
            "missing file": (os.path.join(self.root, "missing.pem"), rb"error setting certificate .*"),
        }
        for label, (certificates, reason) in untrusted.items():
            with self.subTest(label):
                self.clear_cache()
                _, result = self.run_download(self.tls_url(), ARGS, env={"SSL_CERT_FILE": certificates}, label=label)
                self.assert_download_failed(result, TRANSPORT_FAILED, [
                    rb"Download failed! Error - " + reason + b" " + re.escape(self.tls_url().encode())])
                self.assertIsNone(self.stored_validation_string())

    def test_transfers_go_through_the_proxy(self):
        http_url = self.fault_url("/agent.zip")
        cases = {  # label -> (URL, environment, the request the proxy takes, or None when it is bypassed)
            "http_proxy": (http_url, {"http_proxy": self.proxy.url}, "GET " + http_url + " HTTP/1.1"),
            "https_proxy": (self.tls_url(), {"https_proxy": self.proxy.url},
                            "CONNECT 127.0.0.1:%d HTTP/1.1" % self.tls.port),
            "http_proxy, no_proxy": (http_url, {"http_proxy": self.proxy.url, "no_proxy": "127.0.0.1"}, None),
            "https_proxy, no_proxy": (self.tls_url(),
                                      {"https_proxy": self.proxy.url, "no_proxy": "localhost,127.0.0.1"}, None),
            "http_proxy for an https URL": (self.tls_url(), {"http_proxy": self.proxy.url}, None),
        }
        for label, (url, env, request) in cases.items():
            with self.subTest(label):
                taken, served = len(self.proxy.requests()), self.idle_fault_stats()["requests"]
                self.assert_downloads(url, {"SSL_CERT_FILE": self.certificates.ca, **env}, label)
                self.assertEqual(self.proxy.requests()[taken:], [request] if request else [], self.proxy.log())
                if url == http_url:
                    self.assertEqual(self.idle_fault_stats()["requests"] - served, 1)

    def test_proxy_that_does_not_answer_fails_the_run(self):
        port = free_port()
        dead = "http://127.0.0.1:%d" % port
        for variable, url in (("http_proxy", self.fault_url("/agent.zip")), ("https_proxy", self.tls_url())):
            with self.subTest(variable):
                self.clear_cache()
                _, result = self.run_download(url, ARGS, env={variable: dead, "SSL_CERT_FILE": self.certificates.ca},
                                              label=variable)
                self.assert_download_failed(result, TRANSPORT_FAILED, [
                    rb"Download failed! Error - Failed to connect to 127\.0\.0\.1 port %d .*" % port])


if __name__ == "__main__":
    unittest.main()
