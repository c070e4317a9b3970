"""The test HTTP server answers each fault as its query asks."""
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fault_server.py")


def body_pattern(size):
    return bytes(i % 251 for i in range(size))


class FaultServer:
    """fault_server.py running for the life of a `with` block."""

    def __init__(self, *args):
        self.args = [sys.executable, SERVER, "--max-seconds", "120", *args]

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        if not line.startswith("PORT "):
            self.process.kill()
            raise RuntimeError("fault server did not start: %r" % line)
        self.port = int(line.split()[1])
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()

    def get(self, path, timeout=10):
        """(status, lower-case headers, body) of one GET."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            headers = {name.lower(): value for name, value in response.getheaders()}
            return response.status, headers, response.read()
        finally:
            connection.close()

    def raw(self, path, quiet=10):
        """(bytes answered to GET `path`, whether the server closed) once the
        server closes or stays quiet for `quiet` seconds."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=quiet) as sock:
            sock.sendall(b"GET %s HTTP/1.1\r\nHost: test\r\n\r\n" % path.encode())
            data = b""
            try:
                while piece := sock.recv(65536):
                    data += piece
            except socket.timeout:
                return data, False
            return data, True

    def stats(self):
        return json.loads(self.get("/_stats")[2])


class FaultServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.TemporaryDirectory()
        with open(os.path.join(cls.root.name, "agent.zip"), "wb") as file:
            file.write(b"PK\x05\x06" + bytes(18))
        cls.server = FaultServer("--root", cls.root.name).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__()
        cls.root.cleanup()

    def test_answers(self):
        pattern = body_pattern(1000)
        cases = [
            # path, status, headers that must be present (value or None), absent, body
            ("/f?size=1000", 200, {"etag": '"gen-1000"', "content-length": "1000"}, [], pattern),
            ('/f?size=3&etag="abc"&status=404', 404, {"etag": '"abc"'}, [], pattern[:3]),
            ("/f?size=5&noetag&header=eTaG:x&header=X-A:1", 200,
             {"etag": "x", "x-a": "1"}, [], pattern[:5]),
            ("/f?size=300&chunked", 200, {"transfer-encoding": "chunked"},
             ["content-length"], pattern[:300]),
            ("/f?size=7&nolength", 200, {"connection": "close"}, ["content-length"], pattern[:7]),
            ("/f", 200, {"content-length": "0"}, [], b""),
            ("/agent.zip", 200, {"etag": '"file-22"', "content-length": "22"}, [],
             b"PK\x05\x06" + bytes(18)),
            ("/../etc/passwd?size=2", 200, {"etag": '"gen-2"'}, [], pattern[:2]),
            ("/f?redirect=/g%3Fsize%3D1", 302, {"location": "/g?size=1"}, [], b""),
            ("/f?loop&size=1", 302, {"location": "/f?loop&size=1"}, [], pattern[:1]),
            ("/f?status=301", 301, {}, ["location"], b""),
        ]
        for path, status, present, absent, body in cases:
            with self.subTest(path=path):
                got_status, headers, got_body = self.server.get(path)
                self.assertEqual(status, got_status)
                for name, value in present.items():
                    self.assertEqual(value, headers.get(name))
                for name in absent:
                    self.assertNotIn(name, headers)
                self.assertEqual(body, got_body)

    def test_echo_returns_the_request(self):
        _, _, body = self.server.get("/e?echo")
        self.assertTrue(body.startswith(b"GET /e?echo HTTP/1.1\r\n"), body)
        self.assertIn(b"Host: 127.0.0.1", body)

    def test_cut_short_stall_and_silence(self):
        cases = [
            # path, a header line, body after the headers, whether the server closes
            ("/f?size=10&length=20", b"Content-Length: 20\r\n", body_pattern(10), True),
            ("/f?size=10&stall_after=4", b"Content-Length: 10\r\n", body_pattern(4), False),
        ]
        for path, header, body, closes in cases:
            with self.subTest(path=path):
                data, closed = self.server.raw(path, quiet=1)
                head, _, rest = data.partition(b"\r\n\r\n")
                self.assertIn(header, head + b"\r\n")
                self.assertEqual(body, rest)
                self.assertEqual(closes, closed)
        self.assertEqual((b"", False), self.server.raw("/f?silent", quiet=1))

    def test_rate_paces_the_body(self):
        started = time.monotonic()
        self.assertEqual(body_pattern(3), self.server.get("/f?size=3&rate=1")[2])
        self.assertGreaterEqual(time.monotonic() - started, 2.0)

    def test_stats_count_requests_and_bytes(self):
        with FaultServer() as server:
            server.get("/f?size=100")
            server.get("/f?size=50&noetag")
            self.assertEqual({"requests": 2, "bytes_sent": 150, "open": 0}, server.stats())

    def test_abandoned_slow_body_is_not_sent_whole(self):
        with FaultServer() as server:
            with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
                sock.sendall(b"GET /f?size=1000000&rate=100000 HTTP/1.1\r\nHost: t\r\n\r\n")
                sock.recv(1000)
            deadline = time.monotonic() + 10
            while server.stats()["open"] and time.monotonic() < deadline:
                time.sleep(0.05)
            stats = server.stats()
            self.assertEqual(0, stats["open"], "the answer ends when the client goes")
            self.assertLess(stats["bytes_sent"], 500000)

    def test_ends_by_itself_after_max_seconds(self):
        with FaultServer("--max-seconds", "1") as server:
            self.assertEqual(0, server.process.wait(10))


if __name__ == "__main__":
    unittest.main()
