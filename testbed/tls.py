"""TLS for the test bed: a private certificate authority made for the run
with the openssl command, the certificates it issues (for loopback, for
another name, expired, client certificates, and the same from a second
authority that nothing trusts), server contexts for Python's ssl, and the
switch that runs the check servers of the suites over TLS.

VORNEX_IT_TLS=1 runs the suites with their check servers behind TLS: the
check servers' addresses become https:// ones, they present a certificate
for 127.0.0.1 issued by the run's authority, and every server with the
module trusts that authority (VornexTLSCACertificateFile)."""

import atexit
import os
import shutil
import ssl
import subprocess
import tempfile

from .net import LOOPBACK

TLS = os.environ.get("VORNEX_IT_TLS", "") == "1"

LOOPBACK_NAMES = "IP:%s,DNS:localhost" % LOOPBACK
KEY_OPTIONS = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
               "-nodes"]


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                   timeout=60)


class Identity:
    """A certificate and its key, as PEM files."""

    def __init__(self, cert, key):
        self.cert = cert
        self.key = key


class Authority:
    """A certificate authority of its own, its files under `directory`."""

    def __init__(self, directory, name):
        self.directory = directory
        self.cert = os.path.join(directory, "%s.pem" % name)
        self.key = os.path.join(directory, "%s.key" % name)
        self.serial = 1
        openssl("req", "-x509", *KEY_OPTIONS, "-keyout", self.key,
                "-out", self.cert, "-subj", "/CN=%s" % name, "-days", "3",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def issue(self, label, names, expired=False):
        """A certificate for `names` (as subjectAltName: "IP:...,DNS:...")
        signed by this authority; with `expired`, one that ran out a day
        before it was made."""
        base = os.path.join(self.directory, label)
        openssl("req", *KEY_OPTIONS, "-keyout", base + ".key",
                "-out", base + ".csr", "-subj", "/CN=%s" % label)
        with open(base + ".ext", "w") as f:
            f.write("basicConstraints=CA:FALSE\nsubjectAltName=%s\n" % names)
        self.serial += 1
        openssl("x509", "-req", "-in", base + ".csr", "-CA", self.cert,
                "-CAkey", self.key, "-set_serial", str(self.serial),
                "-days", "-1" if expired else "2", "-extfile", base + ".ext",
                "-out", base + ".pem")
        for path in (base + ".pem", base + ".key"):
            os.chmod(path, 0o644)
        return Identity(base + ".pem", base + ".key")


class Pki:
    """The run's authority with the certificates the tests use, and a
    second authority that nothing trusts."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="vornex-pki-")
        os.chmod(self.directory, 0o755)
        atexit.register(shutil.rmtree, self.directory, True)
        self.authority = Authority(self.directory, "ca")
        self.stranger = Authority(self.directory, "stranger")
        self.ca_file = self.authority.cert
        self.good = self.authority.issue("good", LOOPBACK_NAMES)
        self.other_name = self.authority.issue("other-name",
                                               "DNS:checks.example")
        self.expired = self.authority.issue("expired", LOOPBACK_NAMES, True)
        self.foreign = self.stranger.issue("foreign", LOOPBACK_NAMES)
        self.client = self.authority.issue("client", "DNS:module.example")
        self.foreign_client = self.stranger.issue("foreign-client",
                                                  "DNS:module.example")


_pki = None


def pki():
    """The run's certificates, made at the first call."""
    global _pki
    if _pki is None:
        _pki = Pki()
    return _pki


def server_context(identity=None, client_ca=None):
    """A server context presenting `identity` (the run's certificate for
    127.0.0.1 by default); with `client_ca`, it requires a client
    certificate from that authority."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    identity = identity or pki().good
    context.load_cert_chain(identity.cert, identity.key)
    if client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(client_ca)
    return context


def check_context():
    """The context check servers serve with in a TLS run, else None."""
    return server_context() if TLS else None


def check_address(port, tls=None):
    """The address the module is given for a check server on the loopback
    port: https:// in a TLS run (or with `tls` True)."""
    if tls is None:
        tls = TLS
    return ("https://%s:%d" if tls else "%s:%d") % (LOOPBACK, port)
