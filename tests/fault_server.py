#!/usr/bin/env python3
"""An HTTP/1.1 server of our own for tests, with faults chosen per request.

    fault_server.py [--port N] [--root DIR] [--max-seconds S] [--cert PEM --key PEM]

Binds 127.0.0.1 (port 0 picks a free one), prints "PORT <n>" on standard output
once it accepts connections, and serves until it is killed or S seconds (600)
have passed.  With --cert and --key it speaks HTTPS with that certificate chain
and key (the handshake happens on the connection's own thread).

A path naming a regular file under --root serves that file (ETag "file-<size>");
any other path serves a generated body whose byte i is i % 251 (ETag
"gen-<size>").  A file PATH.status under --root, holding a number, makes
PATH answer with that status unless the query names one (a URL whose own
query cannot be chosen, such as one derived from another).  The query string
chooses the rest:

    status=N          the status code (200; 302 with redirect or loop)
    size=N            bytes in a generated body (0)
    etag=V            the ETag value as sent, quotes included; noetag: none
    etag_size=N       an ETag of exactly N bytes: a quoted run of "e"
    header=Name:Value an extra header (repeatable; the name's case is kept)
    length=N          announce N bytes as Content-Length; when N is larger than
                      the body, the connection closes after the body (cut short)
    nolength          no Content-Length: the body ends when the connection closes
    chunked           Transfer-Encoding: chunked
    redirect=TARGET   a Location header (a path or any URL)
    loop              a redirect to this very path and query
    rate=N            send the body at about N bytes a second (rate=0.5: a byte
                      every two seconds)
    rate_from=N       with rate: the first N bytes go at full speed, the rest at
                      the rate
    stall_after=N     send the headers and N bytes of the body, then nothing
    silent            read the request and never answer
    echo              the body is the request line and headers as received

GET /_stats answers {"requests": N, "bytes_sent": N, "open": N}: requests
served (the statistics excluded), body bytes handed to the network, and
requests still being answered.  A client that goes away ends its answer.
"""
import argparse
import http.client
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

CHUNK = 256 * 1024
PATTERN = bytes(i % 251 for i in range(251 + CHUNK))
CLIENT_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, socket.timeout)


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {"requests": 0, "bytes_sent": 0, "open": 0}

    def add(self, name, amount):
        with self.lock:
            self.counts[name] += amount

    def json(self):
        with self.lock:
            return json.dumps(self.counts).encode()


STATS = Stats()


def generated(size):
    """A body source: (size, read(offset, n), default ETag)."""
    return size, lambda offset, n: PATTERN[offset % 251 : offset % 251 + n], '"gen-%d"' % size


def from_file(path):
    size = os.path.getsize(path)

    def read(offset, n):
        with open(path, "rb") as file:
            file.seek(offset)
            return file.read(n)

    return size, read, '"file-%d"' % size


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urlsplit(self.path)
        if url.path == "/_stats":
            return self.answer(200, [("Content-Type", "application/json")], STATS.json())
        STATS.add("requests", 1)
        STATS.add("open", 1)
        try:
            self.serve(url, parse_qs(url.query, keep_blank_values=True))
        except CLIENT_GONE:
            self.close_connection = True
        finally:
            STATS.add("open", -1)

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers + [("Content-Length", str(len(body)))]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def source(self, path, query):
        if self.root:
            file = os.path.realpath(os.path.join(self.root, path.lstrip("/")))
            if file.startswith(self.root + os.sep) and os.path.isfile(file):
                return from_file(file)
        if "echo" in query:
            text = self.requestline.encode() + b"\r\n" + bytes(self.headers)
            return len(text), lambda offset, n: text[offset : offset + n], '"echo"'
        return generated(int(query.get("size", ["0"])[0]))

    def status_file(self, path):
        """The status held by the file path + ".status" under the root, or None."""
        file = self.root and os.path.realpath(os.path.join(self.root, path.lstrip("/") + ".status"))
        if file and file.startswith(self.root + os.sep) and os.path.isfile(file):
            with open(file) as f:
                return f.read().strip()
        return None

    def serve(self, url, query):
        if "silent" in query:
            return self.wait_for_close()
        size, read, etag = self.source(url.path, query)
        headers = [tuple(h.split(":", 1)) for h in query.get("header", [])]
        if "etag_size" in query:
            etag = '"%s"' % ("e" * (int(query["etag_size"][0]) - 2))
        if "noetag" not in query:
            headers.append(("ETag", query.get("etag", [etag])[0]))
        if "loop" in query:
            headers.append(("Location", self.path))
        if "redirect" in query:
            headers.append(("Location", query["redirect"][0]))
        moved = "loop" in query or "redirect" in query
        status = int(query.get("status", [self.status_file(url.path) or ("302" if moved else "200")])[0])
        length = int(query.get("length", [str(size)])[0])
        chunked = "chunked" in query
        if chunked:
            headers.append(("Transfer-Encoding", "chunked"))
        elif "nolength" in query:
            self.close_connection = True
        else:
            headers.append(("Content-Length", str(length)))
            self.close_connection = length > size
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        stall_after = int(query.get("stall_after", ["-1"])[0])
        rate = float(query.get("rate", ["0"])[0])
        end = size if stall_after < 0 else min(size, stall_after)
        fast = min(end, int(query.get("rate_from", ["0"])[0])) if rate else end
        self.send_body(read, 0, fast, 0, chunked)
        self.send_body(read, fast, end, rate, chunked)
        if stall_after >= 0:
            self.wait_for_close()
        elif chunked:
            self.wfile.write(b"0\r\n\r\n")

    def send_body(self, read, sent, size, rate, chunked):
        """Sends bytes [sent, size) of the body."""
        step = min(CHUNK, max(1, int(rate // 10))) if rate else CHUNK
        while sent < size:
            data = read(sent, min(step, size - sent))
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
            self.wfile.flush()
            STATS.add("bytes_sent", len(data))
            sent += len(data)
            if rate:
                time.sleep(len(data) / rate)

    def wait_for_close(self):
        """Holds the connection, reading and dropping, until the client goes."""
        self.close_connection = True
        self.wfile.flush()
        while self.connection.recv(4096):
            pass


class TlsServer(ThreadingHTTPServer):
    """Wraps each accepted connection on its handler thread, so that a client
    that never finishes its handshake holds up no one else."""
    context = None

    def finish_request(self, request, client_address):
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return  # a refused or broken handshake: the client sees the failure
        try:
            super().finish_request(request, client_address)
        finally:
            request.close()


def main():
    parser = argparse.ArgumentParser(description="HTTP test server with chosen faults")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--root")
    parser.add_argument("--max-seconds", type=float, default=600)
    parser.add_argument("--cert", help="PEM certificate chain: serve HTTPS")
    parser.add_argument("--key", help="PEM private key of --cert")
    options = parser.parse_args()
    Handler.root = os.path.realpath(options.root) if options.root else None
    server = (TlsServer if options.cert else ThreadingHTTPServer)(("127.0.0.1", options.port), Handler)
    if options.cert:
        server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.context.load_cert_chain(options.cert, options.key)
    server.daemon_threads = True
    timer = threading.Timer(options.max_seconds, os._exit, (0,))
    timer.daemon = True
    timer.start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


class FaultServer:
    """This server, run for the life of a `with` block (for the tests and benchmarks)."""

    def __init__(self, *args):
        self.args = [sys.executable, os.path.abspath(__file__), "--max-seconds", "120", *args]

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

    def stats(self):
        """The counts of /_stats: requests, bytes sent, answers still open."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request("GET", "/_stats")
            return json.loads(connection.getresponse().read())
        finally:
            connection.close()


if __name__ == "__main__":
    main()
