"""Requests that arrive over HTTP/2, on TLS (h2) and in the clear (h2c),
are screened one check per stream, and their bodies reach CGI scripts and
proxied backends byte for byte, with and without a declared length."""

import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends  # noqa: E402
from testbed.bodies import body_of, echo_line, sha256  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

MODULES = ("ssl", "http2", "proxy", "proxy_http")
SIZES = (0, 1, 8193, 65536, 1024 * 1024 + 1)
# Bound on one client run; a run normally takes well under a second.
CLIENT_TIMEOUT = 90
PAGE = "<html><body>prove you are human</body></html>\n"
# The echo script, which also appends its answer to a file, so that a test
# can tell whether and how often it ran.
COUNTING_CGI = """#!/usr/bin/python3
import hashlib, sys
data = sys.stdin.buffer.read()
line = "%%d %%s\\n" %% (len(data), hashlib.sha256(data).hexdigest())
with open(%r, "a") as runs:
    runs.write(line)
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n" + line)
"""
# One request line of `nghttp -s`: id, end, start, duration, status, size,
# path.
NGHTTP_STAT = re.compile(
    r"^\s*\d+\s+\+\S+\s+\+\S+\s+\S+\s+(\d{3})\s+\d+\s+(\S+)\s*$", re.M)


def require_http2_clients():
    """Fails unless Debian's curl has HTTP/2 and nghttp is installed."""
    version = subprocess.run(["curl", "-V"], capture_output=True,
                             timeout=CLIENT_TIMEOUT, check=True).stdout
    if not re.search(rb"^Features:.* HTTP2\b", version, re.M):
        raise RuntimeError("curl was built without HTTP/2:\n%s"
                           % version.decode(errors="replace"))
    subprocess.run(["nghttp", "--version"], capture_output=True,
                   timeout=CLIENT_TIMEOUT, check=True)


class Http2Case:
    """An event-MPM server with mod_http2 and mod_cgid, screening on
    everywhere: h2c on port 0, h2 with a certificate made for this run on
    port 1; the counting echo script under /cgi-bin/ and /app/ proxied to an
    echo backend."""

    vornex_first = False

    @classmethod
    def setUpClass(cls):
        require_http2_clients()
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(modules=MODULES, ports=2,
                                    vornex_first=cls.vornex_first)
        key, cert = s.make_certificate()
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
            "Protocols h2c http/1.1",
            "ProxyPass /app/ %s" % cls.backend.url(),
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[1]),
            "Protocols h2 http/1.1",
            "SSLEngine on",
            "SSLCertificateFile %s" % cert,
            "SSLCertificateKeyFile %s" % key,
            "</VirtualHost>",
        ]))
        cls.runs_path = os.path.join(s.root, "run", "cgi-runs.log")
        s.write("cgi-bin/echo.py", COUNTING_CGI % cls.runs_path, 0o755)
        s.write("upload.bin", b"")
        s.start()

    def setUp(self):
        self.check.reply = check_reply(200)
        self.check.take()
        self.backup.take()
        self.backend.take()

    def tearDown(self):
        self.assertEqual(self.backend.errors, [])

    def base(self, tls):
        if tls:
            return "https://%s:%d" % (LOOPBACK, self.server.ports[1])
        return "http://%s:%d" % (LOOPBACK, self.server.ports[0])

    def cgi_runs(self):
        """The lines the echo script has logged so far, one per run."""
        try:
            with open(self.runs_path, "rb") as f:
                return f.read().splitlines(keepends=True)
        except FileNotFoundError:
            return []

    def data_file(self, data, name="upload.bin"):
        return self.server.write(name, data)

    def curl(self, tls, target, data, stream=False):
        """POSTs `data` with curl over HTTP/2 (prior knowledge for h2c);
        `stream` sends it from standard input without a length. Returns
        (HTTP version, status, body, check requests, backend requests)."""
        cmd = ["curl", "-sS", "--max-time", str(CLIENT_TIMEOUT), "-o", "-",
               "-w", "\n%{http_version} %{response_code}",
               "-H", "Content-Type: application/octet-stream"]
        cmd += ["--http2", "-k"] if tls else ["--http2-prior-knowledge"]
        if stream:
            cmd += ["-X", "POST", "-T", "-"]
        else:
            cmd += ["--data-binary", "@-"]
        done = subprocess.run(cmd + [self.base(tls) + target], input=data,
                              capture_output=True,
                              timeout=CLIENT_TIMEOUT + 30)
        self.assertEqual(done.returncode, 0, done.stderr)
        body, _, tail = done.stdout.rpartition(b"\n")
        version, status = tail.decode().split()
        return (version, int(status), body, (self.check.take(),
                self.backup.take()), self.backend.take())

    def test_bodies_reach_cgi_and_backend_intact(self):
        """POST bodies of every size, with a length and without one, over
        h2 and h2c, reach the CGI script and the proxied backend byte for
        byte after one check that carried the same bytes."""
        for tls in (True, False):
            for target in ("/cgi-bin/echo.py", "/app/echo"):
                for size in SIZES:
                    data = body_of(size, seed=size)
                    for stream in (False, True):
                        with self.subTest(tls=tls, target=target, size=size,
                                          stream=stream):
                            runs = len(self.cgi_runs())
                            version, status, body, (sent, backup), got = (
                                self.curl(tls, target, data, stream))
                            self.assertEqual((version, status), ("2", 200))
                            self.assertEqual(body, echo_line(data))
                            self.assertEqual((len(sent), len(backup)),
                                             (1, 0))
                            self.assertEqual(sent[0].target_line(),
                                             "POST %s HTTP/2.0" % target)
                            self.assertEqual(sent[0].screened_body(), data)
                            if stream and size:
                                # The client really declared no length.
                                self.assertEqual(sent[0].body.split(
                                    b"\r\n\r\n")[0].lower().count(
                                        b"\r\ncontent-length:"), 0)
                            if target == "/app/echo":
                                self.assertEqual(
                                    [r.sha256 for r in got], [sha256(data)])
                            else:
                                self.assertEqual(self.cgi_runs()[runs:],
                                                 [echo_line(data)])
        self.assert_no_crash(self.server)

    def test_parallel_streams_keep_their_own_bodies(self):
        """Streams multiplexed on one h2 connection, each with a body of its
        own, are each checked with their own body and answered with it."""
        # Over TLS only: curl 7.88.1 multiplexing with prior knowledge (h2c)
        # fails with "Error in the HTTP2 framing layer" against the server
        # without the module too.
        sizes = (70000, 1, 140000, 8193, 0, 1024 * 1024 + 1)
        bodies, cmd = {}, ["curl", "-Z", "--parallel-max", "8"]
        for n, size in enumerate(sizes):
            target = "%s?n=%d" % (("/cgi-bin/echo.py", "/app/echo")[n % 2], n)
            bodies[target] = body_of(size, seed=100 + n)
            cmd += ["-sS", "--max-time", str(CLIENT_TIMEOUT), "--http2", "-k",
                    "--data-binary", "@" + self.data_file(
                        bodies[target], "upload-%d.bin" % n),
                    "-o", os.path.join(self.server.root, "out-%d" % n),
                    "-w", "%{http_version} %{response_code}\n",
                    "-H", "Content-Type: application/octet-stream",
                    self.base(True) + target, "--next"]
        runs = len(self.cgi_runs())
        done = subprocess.run(cmd[:-1], capture_output=True,
                              timeout=CLIENT_TIMEOUT + 30)
        sent = self.check.take()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, b"2 200\n" * len(sizes))
        for n, (target, data) in enumerate(bodies.items()):
            with open(os.path.join(self.server.root, "out-%d" % n),
                      "rb") as f:
                self.assertEqual(f.read(), echo_line(data), target)
        self.assertEqual(
            sorted((s.target_line(), sha256(s.screened_body()))
                   for s in sent),
            sorted(("POST %s HTTP/2.0" % t, sha256(d))
                   for t, d in bodies.items()))
        # One client connection: every check names the same peer port.
        self.assertEqual(len({s.value("VX-RemotePort") for s in sent}), 1)
        self.assertEqual(
            sorted(r.sha256 for r in self.backend.take()),
            sorted(sha256(d) for t, d in bodies.items()
                   if t.startswith("/app/")))
        self.assertEqual(
            sorted(self.cgi_runs()[runs:]),
            sorted(echo_line(d) for t, d in bodies.items()
                   if t.startswith("/cgi-bin/")))

    def test_nghttp_streams_all_screened_and_intact(self):
        """nghttp's concurrent streams on one connection, with and without
        content-length, are each checked once with the whole body and each
        reach the script or the backend intact."""
        data = body_of(1024 * 1024 + 1, seed=9)
        path = self.data_file(data)
        streams = 4
        for tls in (True, False):
            for length in (True, False):
                with self.subTest(tls=tls, length=length):
                    urls = [self.base(tls) + t
                            for t in ("/cgi-bin/echo.py", "/app/echo")]
                    cmd = ["nghttp", "-s", "-y", "-t", str(CLIENT_TIMEOUT),
                           "-m", str(streams), "-d", path]
                    if not length:
                        cmd.append("--no-content-length")
                    runs = len(self.cgi_runs())
                    done = subprocess.run(cmd + urls, capture_output=True,
                                          timeout=CLIENT_TIMEOUT + 30)
                    sent = self.check.take()
                    got = self.backend.take()
                    self.assertEqual(done.returncode, 0, done.stderr)
                    out = done.stdout.decode()
                    self.assertEqual(
                        sorted(NGHTTP_STAT.findall(out)),
                        sorted([("200", "/cgi-bin/echo.py")] * streams
                               + [("200", "/app/echo")] * streams))
                    self.assertEqual(
                        out.split("*****")[0].encode(),
                        echo_line(data) * (2 * streams))
                    self.assertEqual(
                        sorted(s.target_line() for s in sent),
                        sorted(["POST /app/echo HTTP/2.0"] * streams
                               + ["POST /cgi-bin/echo.py HTTP/2.0"]
                               * streams))
                    self.assertEqual({s.screened_body() == data
                                      for s in sent}, {True})
                    self.assertEqual(
                        len({s.value("VX-RemotePort") for s in sent}), 1)
                    self.assertEqual([r.sha256 for r in got],
                                     [sha256(data)] * streams)
                    self.assertEqual(self.cgi_runs()[runs:],
                                     [echo_line(data)] * streams)
        self.assert_no_crash(self.server)

    def test_refusing_verdicts_run_neither_cgi_nor_backend(self):
        """Over h2 and h2c a block verdict gives the server's 403 and a
        challenge its page with 403; neither the script nor the backend
        runs."""
        verdicts = (
            ("block", check_reply(403), b"Forbidden"),
            ("challenge", check_reply(
                200, [("VX-X-Mitigation", "challenge")], body=PAGE),
             PAGE.encode()))
        data = body_of(65536, seed=4)
        for name, reply, page in verdicts:
            self.check.reply = reply
            for tls in (True, False):
                for target in ("/cgi-bin/echo.py", "/app/echo"):
                    for stream in (False, True):
                        with self.subTest(verdict=name, tls=tls,
                                          target=target, stream=stream):
                            runs = len(self.cgi_runs())
                            served = self.backend.count
                            version, status, body, (sent, _), got = (
                                self.curl(tls, target, data, stream))
                            self.assertEqual((version, status), ("2", 403))
                            self.assertIn(page, body)
                            self.assertEqual(len(sent), 1)
                            self.assertEqual(sent[0].screened_body(), data)
                            self.assertEqual(got, [])
                            self.assertEqual(self.backend.count, served)
                            self.assertEqual(len(self.cgi_runs()), runs)
        self.assert_no_crash(self.server)


class ModuleLastTest(Http2Case, ServerTestCase):
    """The module loaded after mod_http2 and mod_proxy, as Debian's a2enmod
    orders it."""

    vornex_first = False


class ModuleFirstTest(Http2Case, ServerTestCase):
    """The module loaded before every other module."""

    vornex_first = True


if __name__ == "__main__":
    main()
