"""The stand-in check server: the built vornex-check-server, which answers
each check from a rules file, run as a process of its own on a loopback
port, with one log line per check."""

import os
import re
import signal
import subprocess
import time

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
    started again on the same port after it was stopped or killed."""

    def __init__(self, binary, port, rules, log_path, threads=None):
        self.binary = binary
        self.port = port
        self.address = "%s:%d" % (LOOPBACK, port)
        self.rules = rules
        self.log_path = log_path
        self.threads = threads
        self.proc = None
        self.starts = 0

    def start(self, timeout=20):
        """Starts the server in a session of its own and waits until its
        port accepts connections."""
        command = [self.binary, "--listen", self.address,
                   "--rules", self.rules]
        if self.threads:
            command += ["--threads", str(self.threads)]
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

    def checks(self):
        """(rule, verdict) of every check the server logged."""
        out = []
        for line in self.read_log().splitlines():
            m = CHECK_LINE.match(line)
            if m:
                out.append((m.group(1), m.group(2)))
        return out
