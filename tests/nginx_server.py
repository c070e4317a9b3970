#!/usr/bin/env python3
"""nginx serving a folder on 127.0.0.1, for tests and the demo.

    nginx_server.py --root DIR [--max-seconds S]

prints "PORT <n>" once nginx answers and serves DIR until SIGTERM or SIGINT, or S seconds (600).  As a module:
NginxServer, a `with` block.  nginx runs in the foreground with its files in a private folder (`state`), under
coreutils' `timeout`, so it ends even when its starter is gone.  A static file gets Content-Length and an ETag
"<hex mtime>-<hex size>"."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

CONFIG = """daemon off; worker_processes 1; {user} pid {state}/nginx.pid; error_log {state}/error.log;
events {{ worker_connections 64; }}
http {{ access_log {state}/access.log; default_type application/octet-stream; client_body_temp_path {state}/body;
  proxy_temp_path {state}/proxy; fastcgi_temp_path {state}/fcgi; uwsgi_temp_path {state}/uwsgi;
  scgi_temp_path {state}/scgi; server {{ listen 127.0.0.1:{port}; root {root}; }} }}
"""


def free_port():
    """A loopback port that nothing listens on right now."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class NginxServer:
    def __init__(self, root, max_seconds=600):
        self.root, self.max_seconds, self.process, self.port = os.path.realpath(root), max_seconds, None, None

    def __enter__(self):
        self.state = tempfile.mkdtemp(prefix="nginx-")
        for _ in range(5):  # each on a fresh free port
            port, config = free_port(), os.path.join(self.state, "nginx.conf")
            with open(config, "w") as f:  # as root, workers read folders that may be private
                f.write(CONFIG.format(user="user root;" if os.geteuid() == 0 else "", state=self.state, port=port,
                                      root=self.root))
            self.process = subprocess.Popen(["timeout", "--kill-after=5", str(self.max_seconds), "nginx", "-p",
                                             self.state, "-e", self.state + "/error.log", "-c", config],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and self.process.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    self.port = port
                    return self
                except OSError:
                    time.sleep(0.05)
            self._stop()
        log = self.error_log()
        self.__exit__()
        raise RuntimeError("nginx did not start:\n" + log)

    def __exit__(self, *exc):
        self._stop()
        shutil.rmtree(self.state, ignore_errors=True)

    def _stop(self):
        if self.process:
            self.process.send_signal(signal.SIGTERM)  # `timeout` hands it on to nginx
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)  # `timeout` leads a group of its own
                self.process.wait()
            self.process = None

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def etag(self, path):
        """The ETag header nginx sends for path, as bytes."""
        with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(self.url(path), timeout=10) as response:
            return response.headers["ETag"].encode("latin-1")

    def error_log(self, name="error.log"):
        """The error log's text (name="access.log": one line a request)."""
        try:
            with open(os.path.join(self.state, name)) as f:
                return f.read()
        except OSError:
            return ""


if __name__ == "__main__":
    options, stop = dict(zip(sys.argv[1::2], sys.argv[2::2])), []
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.append(1))
    with NginxServer(options["--root"], options.get("--max-seconds", 600)) as server:
        print("PORT %d" % server.port, flush=True)
        while not stop and server.process.poll() is None:
            time.sleep(0.2)
