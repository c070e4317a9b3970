"""Certificates made with openssl for HTTPS tests on 127.0.0.1, with fresh keys: an authority of the
test's own (ca.pem), a server certificate for 127.0.0.1 and localhost signed by it, and a self-signed
one.  Nothing here is trusted by the system; a client trusts ca.pem only through SSL_CERT_FILE."""
import os
import subprocess
from typing import NamedTuple

SUBJECT_ALT_NAME = "subjectAltName=IP:127.0.0.1,DNS:localhost"
SERVER_EXTENSIONS = "".join(line + "\n" for line in (SUBJECT_ALT_NAME, "basicConstraints=critical,CA:FALSE",
                                                      "keyUsage=critical,digitalSignature",
                                                      "extendedKeyUsage=serverAuth"))
NEW_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


class Certificates(NamedTuple):
    ca: str
    server_cert: str
    server_key: str
    self_signed_cert: str
    self_signed_key: str


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, stdin=subprocess.DEVNULL, capture_output=True)


def make_certificates(folder):
    os.makedirs(folder, exist_ok=True)
    openssl(folder, "req", "-x509", *NEW_KEY, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Bootstrap test authority", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl(folder, "req", *NEW_KEY, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write(SERVER_EXTENSIONS)
    openssl(folder, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    openssl(folder, "req", "-x509", *NEW_KEY, "-keyout", "self.key", "-out", "self.pem", "-days", "2",
            "-subj", "/CN=127.0.0.1", "-addext", SUBJECT_ALT_NAME)
    path = lambda name: os.path.join(folder, name)
    return Certificates(path("ca.pem"), path("server.pem"), path("server.key"), path("self.pem"), path("self.key"))
