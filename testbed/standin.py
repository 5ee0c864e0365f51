"""The stand-in check server: the built vornex-check-server, which answers
each check from a rules file, run as a process of its own on a loopback
port, with one log line per check."""

import os
import re
import signal
import ssl
import subprocess
import time

from .client import request
from .net import LOOPBACK, port_open
from .process import die_with_parent

# A check as the stand-in logs it: client, "request line", rule, verdict and
# the time it took.
CHECK_LINE = re.compile(r'^\S+ ".*" (\S+) (\S+) \S+$')


def binary(build):
    """Where a build directory holds the stand-in."""
    return os.path.join(build, "tools", "check-server", "vornex-check-server")


class StandInCheckServer:
    """One vornex-check-server process on a fixed loopback port, answering
    from `rules`; what it prints goes to the end of `log_path`. It can be
    started again on the same port after it was stopped or killed. With
    `tls` (a testbed.tls.Identity) it answers over TLS, and with
    `client_ca` too it requires a client certificate from that
    authority."""

    def __init__(self, binary, port, rules, log_path, threads=None,
                 tls=None, client_ca=None):
        self.binary = binary
        self.port = port
        self.address = ("https://%s:%d" if tls else "%s:%d") % (
            LOOPBACK, port)
        self.rules = rules
        self.log_path = log_path
        self.threads = threads
        self.tls = tls
        self.client_ca = client_ca
        self.proc = None
        self.starts = 0

    def start(self, timeout=20):
        """Starts the server in a session of its own and waits until its
        port accepts connections."""
        command = [self.binary, "--listen", "%s:%d" % (LOOPBACK, self.port),
                   "--rules", self.rules]
        if self.threads:
            command += ["--threads", str(self.threads)]
        if self.tls:
            command += ["--tls-cert", self.tls.cert, "--tls-key",
                        self.tls.key]
        if self.client_ca:
            command += ["--client-ca", self.client_ca]
        log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            start_new_session=True, preexec_fn=die_with_parent)
        log.close()
        self.starts += 1
        deadline = time.monotonic() + timeout
        while not port_open(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("check server on %d did not start:\n%s"
                                   % (self.port, self.read_log()))
            time.sleep(0.05)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)

    def read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def handshakes(self, client=None):
        """The TLS handshakes the server has completed, this question's
        own included, read from its control path (over TLS, presenting
        `client` when one is required)."""
        tls = False
        if self.tls:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            tls.check_hostname = False
            tls.verify_mode = ssl.CERT_NONE
            if client:
                tls.load_cert_chain(client.cert, client.key)
        response = request(self.port, "GET", "/control/handshakes", tls=tls,
                           timeout=20)
        if response.status != 200:
            raise RuntimeError("no handshake count: %s %r"
                               % (response.status, response.body[:200]))
        return int(response.body)

    def checks(self):
        """(rule, verdict) of every check the server logged."""
        out = []
        for line in self.read_log().splitlines():
            m = CHECK_LINE.match(line)
            if m:
                out.append((m.group(1), m.group(2)))
        return out
