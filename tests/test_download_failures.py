"""A download that fails, through the real program: the window's failure lines, the log lines,
status 255, nothing started, and a cache with which the next run ends well."""
import os
import re
import stat
import unittest
import zipfile
from typing import NamedTuple, Optional, Sequence
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, GARBAGE, KEY_FILE, RECORDING_AGENT, SERVER_LIFETIME,
                               TRANSPORT_FAILED, UNPACK_FAILED, UNVERIFIED, UNZIP_FAILED, UNZIP_TOOL_FAILED, URL_FILE,
                               URL_VAR, DownloadTestCase,
                               agent_archive, free_port, minisign_key, minisign_sign,
                               refusal_logs, transport_log, unpack_log, zip_archive)
from fault_server import FaultServer
from tls_fixture import make_certificates

ARGS = ["--fail", "two words"]
KEPT, CLEARED, EITHER = "kept", "cleared", "kept or cleared"  # the earlier download's cache afterwards
MIB = 1024 * 1024
CRLF_LOG = b" has a Windows line ending (CR LF): the carriage return is part of the URL; save the file with Unix " \
           b"line endings (LF)"


class Case(NamedTuple):
    url: str  # in the URL file, or in URL_VAR when url_file is given
    window: Optional[Sequence[bytes]]  # the window's lines; None: any failure display
    logs: Sequence[bytes]  # patterns of the log lines; with window None: one line matching any of them
    also: Sequence[bytes] = ()
    cache: str = EITHER
    env: dict = {}
    url_file: Optional[bytes] = None
    key: Optional[bytes] = None
    isolated: bool = False  # in a network namespace of its own: no name query leaves the machine


def transport(text, url):
    return [rb"Download failed! Error - " + text + (b" " + re.escape(url.encode()) if url is not None else b"")]


def link_archive(target):
    """The agent, a symbolic link "lnk" to target, and an entry written through that link."""
    return zip_archive(("install", b"exit 0\n", 0o644), ("lnk", target.encode(), stat.S_IFLNK | 0o777),
                       ("lnk/escape-link", b"x", 0o644))


class DownloadFailureTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        cls.etag = cls.nginx.etag("agent.zip")
        cls.certificates = make_certificates(os.path.join(cls.www, "certificates"))
        cls.self_signed, cls.tls = (cls.enterClassContext(FaultServer(
            "--root", cls.www, "--max-seconds", SERVER_LIFETIME, "--cert", cert, "--key", key)) for cert, key in (
            (cls.certificates.self_signed_cert, cls.certificates.self_signed_key),
            (cls.certificates.server_cert, cls.certificates.server_key)))
        cls.key, cls.other_key = (minisign_key(cls.folder_of(name)) for name in ("ours", "other"))

    @classmethod
    def folder_of(cls, name):
        os.makedirs(os.path.join(cls.www, "keys", name))
        return os.path.join(cls.www, "keys", name)

    def cases(self):
        url, closed, dead_port = self.nginx.url("agent.zip"), "http://127.0.0.1:%d/agent.zip" % free_port(), free_port()
        tls = "https://127.0.0.1:%d/agent.zip" % self.tls.port
        self_signed = "https://127.0.0.1:%d/agent.zip" % self.self_signed.port
        cut = self.fault_url("/agent.zip?length=%d" % (len(agent_archive()) + 1))
        no_issuer = rb"SSL certificate problem: unable to get local issuer certificate"
        libraries = self.folder("broken-libraries")
        with open(os.path.join(libraries, "libcurl.so.4"), "wb") as f:
            f.write(b"not a shared library\n")
        whole = zip_archive(("install", RECORDING_AGENT * 50, 0o644), compression=zipfile.ZIP_STORED)
        unusable = {  # archive -> (data, why the log says)
            "not a zip": (GARBAGE, b"it is not a zip archive"),
            "cut short": (whole[:len(whole) // 2], rb"unzip could not unpack it \(.*"),
            "an absolute path": (agent_archive((os.path.join(self.folder("outside"), "escape"), b"x", 0o644)), rb".+"),
            "a symbolic link entry": (link_archive(self.folder("outside")), rb".+"),
        }
        signed = {  # label -> (archive, its .minisig (an int: that status), the bundle's key, the check, the URL named)
            "signature missing": (agent_archive(), None, None, rb"The signature was refused with HTTP status 404",
                                  ".minisig"),
            "signature refused": (agent_archive(), 500, None, rb"The signature was refused with HTTP status 500",
                                  ".minisig"),
            "archive tampered": (agent_archive(("extra", b"x", 0o644)), "sig", None,
                                 rb"The signature does not hold over .+: it is not the file the key signed", ""),
            "another publisher's key": (agent_archive(), "sig", self.other_key.public, rb"The signature is by key %s, "
                                        rb"not by the trusted key %s" % (self.key.key_id, self.other_key.key_id), ""),
            "signature corrupt": (agent_archive(), "2 lines", None, rb"The signature file has 2 lines.+", ".minisig"),
            "trusted comment changed": (agent_archive(), "comment", None,
                                        rb"The global signature does not hold: the trusted comment \"changed\".+", ""),
            "bundle's key malformed": (agent_archive(), "sig", b"untrusted comment: x\nnot a key\n",
                                       rb"The bundle's public key .+/%s does not parse: .+" % KEY_FILE.encode(), None),
        }
        cases = {
            "connection refused": Case(closed, TRANSPORT_FAILED, transport(
                rb"Failed to connect to 127\.0\.0\.1 port \d+ .*: Couldn't connect to server", closed)),
            "name that does not resolve": Case("http://installagent.invalid/agent.zip", TRANSPORT_FAILED, transport(
                rb"Could not resolve host: installagent\.invalid", "http://installagent.invalid/agent.zip"),
                isolated=True),
            "self-signed certificate": Case(self_signed, TRANSPORT_FAILED, transport(
                rb"SSL certificate problem: self-signed certificate", self_signed)),
            "system authorities only": Case(tls, TRANSPORT_FAILED, transport(no_issuer, tls)),
            "SSL_CERT_FILE of another authority": Case(tls, TRANSPORT_FAILED, transport(no_issuer, tls),
                                                       env={"SSL_CERT_FILE": self.certificates.self_signed_cert}),
            "SSL_CERT_FILE missing": Case(tls, TRANSPORT_FAILED, transport(rb"error setting certificate .*", tls),
                                          env={"SSL_CERT_FILE": os.path.join(self.root, "missing.pem")}),
            "Content-Length larger than the body": Case(cut, TRANSPORT_FAILED, transport(
                rb".*\d+ bytes remaining to read", cut), cache=CLEARED),  # outdated for its ETag: cleared at once
            "redirect loop": Case(self.fault_url("/r?loop"), TRANSPORT_FAILED, transport(
                rb"Maximum \(\d+\) redirects followed", self.fault_url("/r?loop"))),
            "redirect to a file URL": Case(self.fault_url("/r?redirect=file:///etc/passwd"), TRANSPORT_FAILED,
                                           transport(rb".+", None)),
            "libcurl that cannot be loaded": Case(url, TRANSPORT_FAILED, transport(
                rb"Cannot load libcurl\.so\.4: .*libcurl\.so\.4: .*", url), env={"LD_LIBRARY_PATH": libraries}),
            "proxy that does not answer": Case(self.fault_url("/agent.zip"), TRANSPORT_FAILED, [
                rb"Download failed! Error - Failed to connect to 127\.0\.0\.1 port %d .*" % dead_port],
                env={"http_proxy": "http://127.0.0.1:%d" % dead_port}),
            "400 carrying the cache's ETag, a long body": Case(self.fault_url(
                "/x?status=400&size=100000000&rate=1048576&etag=" + quote(self.etag)),
                [b"Download failed with error code 400"], refusal_logs(400, True), cache=KEPT),
            "404 without a body": Case(self.fault_url("/x?status=404"), [b"Download failed with error code 404"],
                                       refusal_logs(404, False), cache=KEPT),
            "503 after a redirect": Case(self.fault_url("/r?redirect=" + quote("/x?status=503&size=100", safe="")),
                                         [b"Download failed with error code 503"], refusal_logs(503, True), cache=KEPT),
            "302 without a Location": Case(self.fault_url("/moved?status=302&size=100"), [UNPACK_FAILED],
                                           [unpack_log()], also=[UNZIP_TOOL_FAILED], cache=CLEARED),
            "no install in the archive": Case(self.nginx.url(self.publish("setup.zip", zip_archive(
                ("setup", RECORDING_AGENT, 0o644)))), [UNPACK_FAILED], [unpack_log(
                    b"it holds no file install at its top level")], cache=CLEARED),
            "install in a folder": Case(self.nginx.url(self.publish("nested.zip", zip_archive(
                ("agent/", b"", 0o755), ("agent/install", RECORDING_AGENT, 0o644)))), [UNPACK_FAILED], [unpack_log(
                    b"it holds no file install at its top level: found agent/install; zip the folder's contents, "
                    b"not the folder")], cache=CLEARED),
        }
        for label, (data, why) in unusable.items():
            cases["archive: " + label] = Case(self.nginx.url(self.publish(label.replace(" ", "-") + ".zip", data)),
                                              [UNPACK_FAILED], [unpack_log(why)], also=[UNZIP_TOOL_FAILED],
                                              cache=CLEARED)
        for label, given in {"empty URL": "", "file URL": "file:///etc/passwd", "ftp URL": "ftp://127.0.0.1:9/x",
                             "no scheme": url.replace("http://", "")}.items():
            cases[label] = Case(given, TRANSPORT_FAILED, [transport_log(given)], env={URL_VAR: given},
                                url_file=url.encode())
        junk, binary = b"j" * MIB, bytes(range(0x80, 0x100)) + bytes(range(1, 0x100)) * 16
        url_files = {  # URL file -> the URL as the log shows it
            "CRLF": (url.encode() + b"\r\n", url.encode() + b"%0D"),
            "blanks around": (b"  " + url.encode() + b" \t\n", b"  " + url.encode() + b" %09"),
            "control bytes": (url.encode() + b"\x01\x7f\n", url.encode() + b"%01%7F"),
            "a 1 MiB line that is no URL": (junk + b"\n" + url.encode(), junk),
            "binary": (binary, bytes(range(0x80, 0x100)) + b"".join(b"%%%02X" % c for c in range(1, 10))),
        }
        for label, (content, shown) in url_files.items():
            crlf = [rb".+/" + re.escape(URL_FILE.encode() + CRLF_LOG)] if label == "CRLF" else []
            cases["URL file: " + label] = Case("", TRANSPORT_FAILED, crlf + [
                rb"Download failed! Error - The URL does not parse: .+ " + re.escape(shown)], url_file=content)
        cases["URL cut by a NUL byte"] = Case("", None, [], url_file=self.nginx.url("agent").encode() + b"\0.zip\n")
        cases["URL of 1 MiB"] = Case(url + "?" + "q" * MIB, None, [refusal_logs(414, True)[0],
                                                                      rb"Download failed! Error - .*"])
        signature = minisign_sign(self.key, os.path.join(self.www, self.publish("base.zip", agent_archive())))
        lines = signature.split(b"\n")
        for number, (label, (data, minisig, key, check, suffix)) in enumerate(signed.items()):
            name = self.publish("signed-%d.zip" % number, data)
            minisig = {"sig": signature, "2 lines": b"\n".join(lines[:2]), "comment": b"\n".join(
                lines[:2] + [b"trusted comment: changed"] + lines[3:])}.get(minisig, minisig)
            if isinstance(minisig, int):
                self.publish(name + ".minisig.status", b"%d" % minisig)
            elif minisig is not None:
                self.publish(name + ".minisig", minisig)
            signed_url = self.fault_url(name) if isinstance(minisig, int) else self.nginx.url(name)
            named = b"" if suffix is None else b" " + re.escape((signed_url + suffix).encode())
            cases["signed: " + label] = Case(signed_url, UNVERIFIED,
                                             [rb"Verification failed! Error - " + check + named],
                                             key=key or self.key.public)
        return cases

    def fill_cache(self):
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="fill")
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), self.etag)
        return self.plant_marker()

    def run_case(self, label, case):
        resources = {URL_FILE: case.url.encode() + b"\n" if case.url_file is None else case.url_file}
        if case.key:
            resources[KEY_FILE] = case.key
        isolated = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"]
        wrapper = isolated if case.isolated else []
        return self.run_program(self.make_bundle(resources, parent=self.folder(label)).program, ARGS,
                                env={"AGENT_SAY": AGENT_SAYS.decode(), **case.env}, wrapper=wrapper)

    def test_failures(self):
        marker, cases = self.fill_cache(), self.cases()
        for label, case in cases.items():
            with self.subTest(label):
                sent = self.idle_fault_stats()["bytes_sent"]
                result = self.run_case(label, case)
                if case.window is not None:
                    self.assert_download_failed(result, case.window, case.logs, case.also)
                else:
                    self.assert_failed_cleanly(result, case.logs)
                self.assertLess(self.idle_fault_stats()["bytes_sent"] - sent, 4 * MIB, "the body was not abandoned")
                stored = self.stored_validation_string()
                if case.cache == KEPT or (case.cache == EITHER and stored is not None):
                    self.assertEqual(stored, self.etag)
                    self.assertTrue(os.path.exists(marker), "the cache was changed")
                else:
                    self.assertIsNone(stored)
                    self.assertFalse(os.path.exists(self.cache("installagent")), "a failed unpacking left files")
                    marker = self.fill_cache()  # the next run ends well
        for label in ("archive: an absolute path", "archive: a symbolic link entry"):  # the bundle's archive too
            with self.subTest(label, route="bundle archive"):
                with open(os.path.join(self.www, os.path.basename(cases[label].url)), "rb") as f:
                    bundle = self.make_bundle({ARCHIVE: f.read()}, parent=self.folder("bundle " + label))
                self.assert_failed(self.run_program(bundle.program, ARGS), *UNZIP_FAILED, last_lines_only=True)
        self.assertEqual(os.listdir(self.folder("outside")), [])


if __name__ == "__main__":
    unittest.main()
