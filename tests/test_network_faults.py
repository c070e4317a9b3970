"""Network faults end the run in the window's failure display with status 255,
start nothing, and leave a cache with which the next run ends well."""
import os
import re
import subprocess
import unittest
from urllib.parse import quote

from bootstrap_fixture import (SERVER_LIFETIME, TRANSPORT_FAILED, UNPACK_FAILED, UNZIP_TOOL_FAILED, DownloadTestCase,
                               Result, agent_archive, free_port, refusal_logs, unpack_log)
from fault_server import FaultServer
from tls_fixture import make_certificates

ARGS = ["--fault", "two words"]
ETAG_BYTES = 64 * 1024
# A name in a reserved top-level domain, looked up where no query can leave the machine.
UNKNOWN_HOST = "installagent.invalid"


def log_of(text, url):
    """The pattern of a transport error's log line: its text (a pattern) and the URL it names."""
    return rb"Download failed! Error - " + text + b" " + re.escape(url.encode())


class NetworkFaultTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        certificates = make_certificates(os.path.join(cls.www, "certificates"))
        cls.self_signed = cls.enterClassContext(FaultServer(
            "--root", cls.www, "--max-seconds", SERVER_LIFETIME, "--cert", certificates.self_signed_cert, "--key",
            certificates.self_signed_key))

    def fill_cache(self):
        """A current cache from nginx's agent.zip."""
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="fill")
        self.assert_started_from_cache(result, bundle, ARGS)

    def assert_cache_consistent(self):
        """A stored validation string always sits beside an install agent entry."""
        if self.stored_validation_string() is not None:
            self.assertTrue(os.path.isfile(self.cache("installagent", "install")), "validation string without agent")

    def assert_next_run_ends_well(self, unpacked=None):
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, label="next")
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
        self.assertEqual(self.stored_validation_string(), self.nginx.etag("agent.zip"))

    def check_fault(self, run, window_lines, log_patterns, also=()):
        """For an empty and a current cache: `run()` fails as said, and the next run ends well."""
        for cache in ("empty", "current"):
            with self.subTest(cache=cache):
                self.clear_cache()
                if cache == "current":
                    self.fill_cache()
                before = self.stored_validation_string()
                self.assert_download_failed(run(), window_lines, log_patterns, also)
                self.assertIn(self.stored_validation_string(), (None, before))
                self.assert_cache_consistent()
                self.assert_next_run_ends_well(unpacked=True if cache == "empty" else None)

    def test_transport_faults(self):
        closed = "http://127.0.0.1:%d/agent.zip" % free_port()
        self_signed = "https://127.0.0.1:%d/agent.zip" % self.self_signed.port
        cut = self.fault_url("/agent.zip?length=%d" % (os.path.getsize(os.path.join(self.www, "agent.zip")) + 1))
        loop = self.fault_url("/loop?loop")
        cases = {  # label -> (URL, the log line's text)
            "connection refused": (closed,
                                   rb"Failed to connect to 127\.0\.0\.1 port \d+ .*: Couldn't connect to server"),
            "self-signed certificate": (self_signed, rb"SSL certificate problem: self-signed certificate"),
            "Content-Length larger than the body": (cut, rb".*\d+ bytes remaining to read"),
            "redirect loop": (loop, rb"Maximum \(\d+\) redirects followed"),
        }
        for label, (url, text) in cases.items():
            with self.subTest(label):
                self.check_fault(lambda: self.run_download(url, ARGS, label=label)[1], TRANSPORT_FAILED,
                                 [log_of(text, url)])

    def test_name_that_does_not_resolve(self):
        """In a network namespace of its own (only a loopback, no route out) no name
        query leaves the machine; the lookup fails there at once."""
        url = "http://%s/agent.zip" % UNKNOWN_HOST
        self.check_fault(lambda: self.run_isolated(self.download_bundle(url, "lookup").program),
                         TRANSPORT_FAILED, [log_of(rb"Could not resolve host: " + re.escape(UNKNOWN_HOST.encode()),
                                                   url)])

    def run_isolated(self, program):
        """Runs program as run_program does, in a fresh network namespace with its loopback up."""
        command = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", program, *ARGS]
        proc = subprocess.run(command, env=self.program_environment(), cwd=self.cwd, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        return Result(proc.returncode, proc.stdout, proc.stderr, self.read_record())

    def test_libcurl_that_cannot_be_loaded(self):
        """The network library is loaded when the download starts: one that cannot be
        loaded is a transport error like any other, and the bundle routes never need it."""
        libraries = self.folder("broken-libraries")
        with open(os.path.join(libraries, "libcurl.so.4"), "wb") as f:
            f.write(b"not a shared library\n")
        url = self.nginx.url("agent.zip")
        self.check_fault(lambda: self.run_download(url, ARGS, env={"LD_LIBRARY_PATH": libraries})[1],
                         TRANSPORT_FAILED, [log_of(rb"Cannot load libcurl\.so\.4: .*libcurl\.so\.4: .*", url)])

    def test_refusals_after_redirects(self):
        for status in (500, 503):
            target = quote("/agent.zip?status=%d&size=100" % status, safe="")
            url = self.fault_url("/start?redirect=" + target)
            with self.subTest(status=status):
                self.check_fault(lambda: self.run_download(url, ARGS)[1],
                                 [b"Download failed with error code %d" % status],
                                 refusal_logs(status, True))

    def test_redirect_without_location(self):
        """A 3xx without a Location is the final answer: its body is no install agent."""
        for status in (301, 302, 303, 307, 308):
            url = self.fault_url("/moved?status=%d&size=100" % status)
            with self.subTest(status=status):
                self.check_fault(lambda: self.run_download(url, ARGS)[1], [UNPACK_FAILED], [unpack_log()],
                                 also=[UNZIP_TOOL_FAILED])

    def test_long_etag_is_stored_and_matched(self):
        url = self.fault_url("/agent.zip?etag_size=%d" % ETAG_BYTES)
        bundle, result = self.run_download(url, ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        self.assertEqual(self.stored_validation_string(), b'"' + b"e" * (ETAG_BYTES - 2) + b'"')
        marker = self.plant_marker()
        bundle, result = self.run_download(url, ARGS, label="again")
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=False)
        self.assertTrue(os.path.exists(marker), "the cached agent was replaced")


if __name__ == "__main__":
    unittest.main()
