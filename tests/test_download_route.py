"""A bundle without an install agent downloads it into the per-user cache and starts it (over proxies and TLS,
whatever HOME), or fails: the window's and log's lines, status 255, nothing started; and the next run ends well."""
import os
import re
import socket
import subprocess
import unittest
from urllib.parse import quote

from bootstrap_fixture import (KEY_FILE, RECORDING_AGENT, SERVER_LIFETIME, TRANSPORT_FAILED, UNPACK_FAILED,
                               UNZIP_TOOL_FAILED, URL_FILE, DownloadTestCase, agent_archive, b, free_port, minisign_key,
                               minisign_sign, read, transport_log, unpack_log, walk, write, zip_archive)
from fault_server import FaultServer

ARGS = ["--silent", "two words"]  # hostile ones: test_console_routes.py
AGENT = agent_archive()
MIB = 1024 * 1024
# A /tmp of its own (a tmpfs) holding the sandbox at its usual path and, as /tmp/.korvex, a folder of it.
PRIVATE_TMP = ('set -e; cd "$1"; mount -t tmpfs -o mode=1777 private-tmp /tmp; mkdir -p "$1" /tmp/.korvex; mount '
               '--no-canonicalize --bind . "$1"; mount --bind "$2" /tmp/.korvex; cd "$3"; shift 3; exec "$@"')
ISOLATED = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"]  # no query leaves


class DownloadTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", AGENT)
        cls.publish("agënt.zip", AGENT)
        cls.etag = cls.nginx.etag("agent.zip")
        # An authority of the tests' own, trusted only through SSL_CERT_FILE, signs server.pem; it is self-signed.
        new = "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout {0}.key -out {0}.pem{1}"
        for name, rest in [("ca", " -subj /CN=Test_CA -addext basicConstraints=critical,CA:TRUE -addext keyUsage="
                            "critical,keyCertSign,cRLSign"), ("server", " -subj /CN=127.0.0.1 -addext subjectAltName="
                            "IP:127.0.0.1,DNS:localhost -addext basicConstraints=CA:FALSE -CA ca.pem -CAkey ca.key")]:
            subprocess.run(["openssl", *new.format(name, rest).split()], cwd=cls.www, check=True, capture_output=True)
        cls.tls, cls.self_signed = (cls.enterClassContext(FaultServer(
            "--root", cls.www, "--max-seconds", SERVER_LIFETIME, "--cert", os.path.join(cls.www, name + ".pem"),
            "--key", os.path.join(cls.www, name + ".key"))) for name in ("server", "ca"))
        cls.proxy_port, cls.proxy_log = free_port(), os.path.join(cls.www, "proxy.log")  # tinyproxy's
        config = write(os.path.join(cls.www, "proxy.conf"), 'Port %d\nListen 127.0.0.1\nTimeout 60\nLogFile "%s"\n'
                       'LogLevel Info\nAllow 127.0.0.1\n' % (cls.proxy_port, cls.proxy_log))
        proxy = subprocess.Popen(["timeout", "--kill-after=5", SERVER_LIFETIME, "tinyproxy", "-d", "-c", config],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(lambda: proxy.terminate() or proxy.wait(10))
        cls.wait_until(cls, lambda: not socket.socket().connect_ex(("127.0.0.1", cls.proxy_port)), "tinyproxy")
        cls.key, cls.other_key = (minisign_key(os.path.join(cls.www, "keys", name)) for name in ("ours", "other"))

    def test_downloads(self):
        nginx, fault, tls = self.nginx.url("agent.zip"), self.fault_url("/agent.zip"), "https://%s:%d/agent.zip"
        proxy, ca, filled = "http://127.0.0.1:%d" % self.proxy_port, self.www + "/ca.pem", self.folder("filled home")
        display = next(n for n in range(990, 1100) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        proxied = lambda: re.findall(r"Request \(file descriptor \d+\): (.*)", read(self.proxy_log, b"").decode())
        self.run_download(nginx, ARGS, {"HOME": filled}, "filled")
        for path in [*reversed(walk(filled)), self.folder("read-only home")]:  # read-only, the first holding a cache
            os.chmod(path, 0o555 if os.path.isdir(path) else 0o444)
        cases = {  # label -> (URL, environment, the proxy's requests)
            "non-ASCII path": (self.nginx.url("agënt.zip"), {}, []),
            "a display that cannot be opened": (nginx, {"DISPLAY": ":%d" % display}, []),
            "SSL_CERT_FILE, localhost": (tls % ("localhost", self.tls.port), {"SSL_CERT_FILE": ca}, []),
            "http_proxy": (fault, {"http_proxy": proxy}, ["GET %s HTTP/1.1" % fault]),
            "https_proxy": (tls % ("127.0.0.1", self.tls.port), {"SSL_CERT_FILE": ca, "https_proxy": proxy},
                            ["CONNECT 127.0.0.1:%d HTTP/1.1" % self.tls.port]),
            "no_proxy": (fault, {"http_proxy": proxy, "no_proxy": "localhost,127.0.0.1"}, []),
            # An ordinary user's HOME where no cache can be made: none is used, unless it holds a current one.
            "HOME read-only, holding a current cache": (nginx, {"HOME": filled}, []),
            "HOME of /": (nginx, {"HOME": "/"}, []),
            "HOME read-only": (nginx, {"HOME": self.folder("read-only home")}, []),
        }
        for label, (url, env, requests) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                taken, home = len(proxied()), env.get("HOME", self.home)
                bundle, result = self.run_download(url, ARGS, env, label, unprivileged="HOME" in env)
                korvex, usable, hit = os.path.join(home, ".korvex"), home in (self.home, filled), home == filled
                why = re.escape(b(korvex)) + b" cannot be made: (Permission denied|Read-only file system)"
                self.assert_started(result, bundle, ARGS, unpacked=not hit, cache=home, why=None if usable else why)
                self.assertEqual((os.path.exists(korvex), proxied()[taken:]), (usable, requests))
        for label, home in {"unset": None, "empty": ""}.items():
            with self.subTest("HOME " + label):
                os.chmod(korvex := self.folder(label, "korvex"), 0o700)
                for unpacked in (True, False):  # its cache in /tmp/.korvex (here a private /tmp), used again
                    bundle = self.download_bundle(nginx, "HOME " + label)
                    result = self.run_program(bundle.program, ARGS, {"HOME": home}, wrapper=[
                        "unshare", "--mount", "--", "sh", "-c", PRIVATE_TMP, "sh", self.root, korvex, self.cwd])
                    self.assert_started(result, bundle, ARGS, unpacked=unpacked, cache="/tmp")

    def test_failures(self):
        good, closed, dead_port = self.nginx.url("agent.zip"), "http://127.0.0.1:%d/" % free_port(), free_port()
        tls, self_signed = ("https://127.0.0.1:%d/agent.zip" % server.port for server in (self.tls, self.self_signed))
        cut, loop = self.fault_url("/agent.zip?length=%d" % (len(AGENT) + 1)), self.fault_url("/r?loop")
        libraries, outside, unzipless = self.folder("libs"), self.folder("outside"), self.folder("bin without unzip")
        write(os.path.join(libraries, "libcurl.so.4"), b"not a shared library\n")
        signed, u, j = self.nginx.url(self.publish("signed.zip", AGENT)), good.encode(), b"j" * MIB  # j: a 1 MiB line
        self.publish("signed.zip.minisig", minisign_sign(self.key, os.path.join(self.www, "signed.zip")))
        t = lambda url, text, at=None, kept=None, **more: (url, TRANSPORT_FAILED, [transport_log(text, at)], kept, more)
        refused, unparsed = rb"Failed to connect to 127\.0\.0\.1 port %s .*", rb"The URL does not parse: .+"
        unzip = lambda url, why, *also: (url, [UNPACK_FAILED], [unpack_log(why)], False, {"also": also})
        archive = lambda data: self.nginx.url(self.publish("f%d.zip" % len(os.listdir(self.www)), data))
        unverified = lambda url, why, key=self.key.public: ({URL_FILE: url + "\n", KEY_FILE: key}, (
            b"The downloaded installer could not be verified.", TRANSPORT_FAILED[1]), [
            b"Verification failed! Error - " + why], None, {})
        cases = {  # label -> (URL file or resources, window lines, log lines, the cache kept (None: either), more)
            "connection refused": t(closed, refused % rb"\d+" + b": Couldn't connect to server", closed),
            "name that does not resolve": t("http://installagent.invalid/a", rb"Could not resolve host: installagent\."
                                            rb"invalid", "http://installagent.invalid/a", wrapper=ISOLATED),
            "self-signed certificate": t(self_signed, b"SSL certificate problem: self-signed certificate", self_signed),
            "system authorities only": t(tls, rb"SSL certificate problem: unable to get local issuer certificate", tls),
            "SSL_CERT_FILE missing": t(tls, rb"error setting certificate .*", tls, SSL_CERT_FILE=self.root + "/no"),
            "Content-Length larger than the body": t(cut, rb".*\d+ bytes remaining to read", cut, False),
            "redirect loop": t(loop, rb"Maximum \(\d+\) redirects followed", loop),
            "file URL, from the environment": t(good, b".+", "file:///etc/passwd",
                                                QZ_INTERNAL_INSTALL_AGENT_URL="file:///etc/passwd"),
            "libcurl not loadable": t(good, rb"Cannot load libcurl\.so\.4: .+", good, LD_LIBRARY_PATH=libraries),
            "proxy not answering": t(good, refused % b"%d" % dead_port, http_proxy="http://127.0.0.1:%d" % dead_port),
            "URL of 1 MiB": t(good + "?" + "q" * MIB, rb"Out of memory .*"),
            "no unzip on PATH: no window, nothing fetched": (good, [], [re.escape(b"unzip not found on PATH (" + b(
                unzipless) + b"): the install agent is not downloaded, as it could not be unpacked; install the unzip "
                b"package")], True, {"PATH": unzipless}),
            "302 without a Location: its body": unzip(self.fault_url("/moved?status=302&size=100"),
                                                      b"it is not a zip archive", UNZIP_TOOL_FAILED),
            "archive with install in a folder": unzip(archive(zip_archive(("agent/", b"", 0o755), (
                "agent/install", RECORDING_AGENT, 0o644))), b"it holds no file install at its top level: found "
                b"agent/install; zip the folder's contents, not the folder"),
            "archive with an absolute path and a link": unzip(archive(agent_archive((outside + "/x", b"", 0o644), (
                "lnk", outside.encode(), 0o120777), ("lnk/escape", b"x", 0o644))), b".+", UNZIP_TOOL_FAILED),
            "URL file with CRLF": (u + b"\r\n", TRANSPORT_FAILED, [rb".+/%s has a Windows line ending \(CR LF\): the "
                                   rb"carriage return is part of the URL; save the file with Unix line endings \(LF\)"
                                   % URL_FILE.encode(), transport_log(unparsed, u + b"%0D")], None, {}),
            "URL file with blanks, control and binary bytes in a 1 MiB first line": t(
                b" " + u + b"\x01\x7f\xff" + j + b"\t\n" + u, unparsed, b" " + u + b"%01%7F\xff" + j + b"%09"),
            "signature missing": unverified(good, b"The signature was refused with HTTP status 404 " + re.escape(b(
                good + ".minisig"))),
            "another publisher's key": unverified(signed, b"The signature is by key %s, not by the trusted key %s " % (
                self.key.key_id, self.other_key.key_id) + re.escape(b(signed)), self.other_key.public),
            "bundle's key malformed": unverified(signed, rb"The bundle's public key .+/%s does not parse: .+"
                                                 % KEY_FILE.encode(), b"untrusted comment: x\nnot a key\n"),
        }
        for status, path in ((400, "x?status=400&size=100000000&rate=1048576&etag=" + quote(self.etag)),
                             (404, "x?status=404"), (503, "r?redirect=" + quote("/x?status=503&size=100", safe=""))):
            # 400 with the cache's ETag and a long body, 404 with an empty one (seen at the end), 503 after a redirect
            seen = b"Download failed! Error code- %d" if status == 404 else b"Download failed with http error code- %d"
            cases["HTTP %d" % status] = (self.fault_url(path), [b"Download failed with error code %d" % status], [
                seen % status, rb"Download refused with HTTP status %d: \S+" % status], True, {})

        def fill():  # a current cache, with a file in it that only a replacement removes
            bundle, result = self.run_download(good, label="fill")
            self.assert_started(result, bundle, ())
            return self.plant_marker()
        marker = fill()
        for label, (url, window, logs, kept, more) in cases.items():
            with self.subTest(label):
                sent = self.idle_fault_stats()["bytes_sent"]
                resources = url if isinstance(url, dict) else {URL_FILE: url if isinstance(url, bytes) else url + "\n"}
                also, wrapper = more.pop("also", ()), more.pop("wrapper", ())
                bundle = self.make_bundle(resources, self.folder(label))
                result = self.run_program(bundle.program, ARGS, more, wrapper=wrapper)
                self.assert_download_failed(result, window, logs, also)
                self.assertLess(self.idle_fault_stats()["bytes_sent"] - sent, 4 * MIB, "the body was not abandoned")
                stored = self.stored_validation_string()
                kept = stored is not None if kept is None else kept
                self.assertEqual((stored, os.path.exists(self.cache("installagent")), os.path.exists(marker)),
                                 (self.etag, True, True) if kept else (None, False, False), "kept, or all gone")
                marker = marker if kept else fill()  # the next run ends well
        self.assertEqual(os.listdir(self.folder("outside")), [])


if __name__ == "__main__":
    unittest.main()
