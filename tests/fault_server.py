#!/usr/bin/env python3
"""An HTTP/1.1 server for tests on 127.0.0.1 with faults chosen per request.  `fault_server.py [--root DIR]
[--max-seconds S] [--cert PEM --key PEM]` prints "PORT <n>" once it listens (HTTPS with --cert/--key).  A path naming a
file under --root serves it (ETag "file-<size>"); any other a generated body, byte i being i % 251 (ETag "gen-<size>").
The query chooses the rest: status=N, size=N (generated body), etag=V (as sent), noetag, etag_size=N, length=N
(announced; larger than the body: cut short), nolength, redirect=TARGET, loop, rate=N (bytes a second), rate_from=N
(the first N at full speed), stall_after=N (then nothing), silent (never answers), header=Name:Value (repeatable),
echo (the request as body).  GET /_stats gives {"requests", "bytes_sent", "open"}; a client gone ends its answer."""
import contextlib
import json
import os
import ssl
import subprocess
import sys
import threading
import time
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

CHUNK = 256 * 1024
PATTERN = bytes(i % 251 for i in range(251 + CHUNK))
LOCK = threading.Lock()
STATS = {"requests": 0, "bytes_sent": 0, "open": 0}


class Handler(BaseHTTPRequestHandler):
    protocol_version, root = "HTTP/1.1", None

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urlsplit(self.path)
        if url.path == "/_stats":
            body = json.dumps(STATS).encode()  # at once: the encoder keeps the interpreter lock
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            return self.wfile.write(body)
        with LOCK:
            STATS["requests"] += 1
            STATS["open"] += 1
        try:  # an error (a client gone) ends the connection
            self.serve(url.path, parse_qs(url.query, keep_blank_values=True))
        finally:
            with LOCK:
                STATS["open"] -= 1

    def serve(self, path, query):
        if "silent" in query:
            return self.wait_for_close()
        one = lambda name, default: query.get(name, [default])[0]  # noqa: E731
        file = self.root and os.path.realpath(os.path.join(self.root, path.lstrip("/")))
        file = file if file and file.startswith(self.root + os.sep) and os.path.isfile(file) else None
        if file or "echo" in query:
            data = open(file, "rb").read() if file else self.requestline.encode() + b"\r\n" + bytes(self.headers)
            size, body = len(data), lambda offset, n: data[offset:offset + n]
        else:
            size, body = int(one("size", "0")), lambda offset, n: PATTERN[offset % 251:offset % 251 + n]
        headers = [tuple(header.split(":", 1)) for header in query.get("header", [])]
        etag = '"%s"' % ("e" * (int(one("etag_size", "2")) - 2)) if "etag_size" in query else '"%s-%d"' % (
            "file" if file else "gen", size)
        headers += [] if "noetag" in query else [("ETag", one("etag", etag))]
        location = self.path if "loop" in query else one("redirect", None)
        headers += [("Location", location)] if location else []
        length = int(one("length", str(size)))
        self.close_connection = "nolength" in query or length > size
        headers += [] if "nolength" in query else [("Content-Length", str(length))]
        self.send_response(int(one("status", "302" if location else "200")))
        for name, value in headers + ([("Connection", "close")] if self.close_connection else []):
            self.send_header(name, value)
        self.end_headers()
        stall_after, rate = int(one("stall_after", "-1")), float(one("rate", "0"))
        end = size if stall_after < 0 else min(size, stall_after)
        sent, fast = 0, min(end, int(one("rate_from", "0"))) if rate else end
        while sent < end:  # at full speed up to `fast`, then a tenth of a second's worth at a time
            limit = fast if sent < fast else min(end, sent + max(1, int(rate // 10)))
            piece = body(sent, min(CHUNK, limit - sent))
            self.wfile.write(piece)  # unbuffered
            with LOCK:
                STATS["bytes_sent"] += len(piece)
            sent += len(piece)
            time.sleep(0 if sent <= fast else len(piece) / rate)
        if stall_after >= 0:
            self.wait_for_close()

    def wait_for_close(self):
        self.close_connection = True
        while self.connection.recv(4096):
            pass


class FaultServer(contextlib.AbstractContextManager):
    """This server, run until the end of a `with` block."""

    def __init__(self, *args):
        command = [sys.executable, os.path.abspath(__file__), "--max-seconds", "120", *args]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE)
        self.port = int(self.process.stdout.readline().split()[1])  # its error is on stderr when it did not start

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.communicate(timeout=10)

    def stats(self):
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # the tests' proxies aside
        with opener.open("http://127.0.0.1:%d/_stats" % self.port, timeout=10) as answer:
            return json.load(answer)


if __name__ == "__main__":
    options = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    Handler.root = os.path.realpath(options["--root"]) if "--root" in options else None
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads, server.handle_error = True, lambda *_: None  # a client gone midway is no error
    if "--cert" in options:  # each handshake at the first read, on the connection's thread: none holds up the rest
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options["--cert"], options["--key"])
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Timer(float(options.get("--max-seconds", 600)), os._exit, (0,)).start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()
