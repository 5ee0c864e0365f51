"""make demo's script: one request per verdict, the PHP-FPM application and
the proxied backend screened with their bodies intact, and SIGINT or a dead
process stops everything the demo started."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import body_of, sha256  # noqa: E402
from testbed.build import build_dir  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import port_open  # noqa: E402
from testbed.process import child_pids, proc_status  # noqa: E402
from testbed.suite import main  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WEB = 8080
PORTS = (WEB, 8181, 8182, 8183)
RAW = [("Content-Type", "application/octet-stream")]


def eventually(condition, seconds=30):
    """Polls `condition()` until it holds or the deadline passes; returns
    its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def alive(pid):
    status = proc_status(pid)
    return status is not None and not status.get("State", "").startswith("Z")


def descendants(pid):
    found = []
    for child in child_pids(pid):
        found.append(child)
        found += descendants(child)
    return found


def command_of(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def echoed(who, method, route, body):
    """What the front controller or the backend answers for a body."""
    return ("%s: %s %s\nbody: %d bytes, sha256 %s\n"
            % (who, method, route, len(body), sha256(body))).encode()


FPM = "front controller (fpm-fcgi)"
BACKEND = "proxied backend"


class Demo:
    """demo.py in the background, with `args` after the build directory;
    its output goes to a file."""

    def __init__(self, args=()):
        if any(port_open(p) for p in PORTS):
            raise unittest.SkipTest("a demo port is taken on this machine")
        self.out = tempfile.TemporaryFile()
        # The runner may start tests with SIGINT ignored; the demo gets it
        # as a terminal would deliver it.
        self.proc = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "demo.py"), build_dir()]
            + list(args),
            stdout=self.out, stderr=subprocess.STDOUT,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        ready = eventually(
            lambda: self.proc.poll() is not None
            or "Press Ctrl-C to stop." in self.output(), 60)
        if self.proc.poll() is not None or not ready:
            self.stop()
            raise AssertionError("demo did not come up:\n" + self.output())
        self.logs = re.search(r"^Logs: (\S+)", self.output(), re.M).group(1)

    def output(self):
        if self.out.closed:
            return self.final
        self.out.seek(0)
        return self.out.read().decode(errors="replace")

    def log(self, name):
        with open(os.path.join(self.logs, name), errors="replace") as f:
            return f.read()

    def processes(self):
        """{pid: command} of everything the demo runs now: its children
        (Apache among them) and theirs."""
        found = {pid: command_of(pid) for pid in descendants(self.proc.pid)}
        return {pid: c for pid, c in found.items() if c}

    def stop(self, sig=signal.SIGINT):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=60)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if not self.out.closed:
                self.final = self.output()
                self.out.close()
        return self.final


class DemoSiteTest(unittest.TestCase):
    """One demo for the requests; it is stopped at the end."""

    @classmethod
    def setUpClass(cls):
        cls.demo = Demo()
        cls.addClassCleanup(cls.demo.stop)

    def checks_since(self, mark):
        """Lines of the primary check server's log after `mark`."""
        return self.demo.log("primary.log")[mark:]

    def mark(self):
        return len(self.demo.log("primary.log"))

    def test_each_verdict_reaches_the_client(self):
        """Every verdict of the example rules reaches the client."""
        cases = [("/pass/", 200), ("/block/", 403), ("/challenge/", 403),
                 ("/captcha/", 403), ("/redirect/", 302), ("/fake/", 403),
                 ("/limit/", 429), ("/inject/", 200), ("/css/site.css", 200)]
        for path, status in cases:
            with self.subTest(path=path):
                self.assertEqual(request(WEB, "GET", path).status, status)
        self.assertEqual(request(WEB, "GET", "/limit/").header("Retry-After"),
                         "3600")
        self.assertEqual(request(WEB, "GET", "/redirect/").header("Location"),
                         "/pass/?from=redirect")
        self.assertIsNotNone(
            request(WEB, "GET", "/inject/").header("X-Vornex-Score"))
        body = body_of(10000, seed=1)
        got = request(WEB, "POST", "/cgi-bin/form.cgi", headers=RAW,
                      body=body)
        self.assertEqual(got.status, 200)
        self.assertEqual(got.body, b"received 10000 bytes, sha256 %s\n"
                         % sha256(body).encode())

    def test_access_log_and_status_show_the_verdicts(self):
        """The access log carries each request's verdict, check time and
        server, and server-status?auto the module's counters."""
        tag = "obs%d" % os.getpid()
        for path in ("/pass/?%s" % tag, "/block/?%s" % tag,
                     "/css/site.css?%s" % tag):
            request(WEB, "GET", path)

        def tagged():
            return [line for line in self.demo.log("access.log").splitlines()
                    if tag in line]

        lines = eventually(lambda: len(tagged()) >= 3 and tagged(), 10)
        verdicts = {re.search(r'"GET (\S+)', line).group(1):
                    re.search(r"verdict=(\S+) check_us=(\S+) server=(\S+)",
                              line).groups() for line in lines}
        self.assertEqual(verdicts["/pass/?%s" % tag][0::2],
                         ("pass", "primary"))
        self.assertRegex(verdicts["/pass/?%s" % tag][1], r"^\d+$")
        self.assertEqual(verdicts["/block/?%s" % tag][0], "block")
        self.assertEqual(verdicts["/css/site.css?%s" % tag],
                         ("skipped", "-", "-"))
        status = request(WEB, "GET", "/server-status?auto")
        self.assertEqual(status.status, 200)
        counters = dict(re.findall(rb"^(Vornex\w+(?:\.\w+)?): (\d+)$",
                                   status.body, re.M))
        self.assertGreaterEqual(int(counters[b"VornexPass"]), 1)
        self.assertGreaterEqual(int(counters[b"VornexSkipped"]), 1)
        self.assertIn(b"Verdicts: access.log", self.demo.output().encode())

    def test_php_fpm_route_is_screened_once_and_gets_the_body(self):
        """A form and a raw POST to front-controller routes are each checked
        once and reach PHP-FPM intact; GET /app/ serves the form."""
        mark = self.mark()
        form = request(WEB, "GET", "/app/")
        self.assertEqual(form.status, 200)
        self.assertIn(b'<form method="post" action="/app/submit">',
                      form.body)
        fields = urllib.parse.urlencode(
            {"name": "Ada", "message": "hello, " + "x" * 20000}).encode()
        posted = request(WEB, "POST", "/app/submit", body=fields, headers=[
            ("Content-Type", "application/x-www-form-urlencoded")])
        self.assertEqual(posted.status, 200, posted.body)
        self.assertEqual(
            posted.body,
            b"%s: POST /app/submit\nfield name: Ada\nfield message: hello, "
            b"%s\nbody: %d bytes, sha256 %s\n"
            % (FPM.encode(), b"x" * 20000, len(fields),
               sha256(fields).encode()))
        body = body_of(100 * 1024, seed=2)
        raw = request(WEB, "POST", "/app/some/route", headers=RAW, body=body)
        self.assertEqual(raw.status, 200, raw.body)
        self.assertEqual(raw.body, echoed(FPM, "POST", "/app/some/route",
                                          body))
        checks = self.checks_since(mark)
        for line in ('"GET /app/ HTTP/1.1" default pass',
                     '"POST /app/submit HTTP/1.1" default pass',
                     '"POST /app/some/route HTTP/1.1" default pass'):
            self.assertEqual(checks.count(line), 1, checks)
        # The front controller's redirect to index.php is not checked.
        self.assertNotIn("index.php", checks)
        self.assertTrue(eventually(
            lambda: '"POST /app/some/route" 200, body 102400 bytes'
            in self.demo.log("php-fpm-access.log")),
            self.demo.log("php-fpm-access.log"))

    def test_php_fpm_challenged_route_never_reaches_php(self):
        """The demo's challenge rule for /app/admin answers with its page and
        PHP-FPM never serves the request."""
        mark = self.mark()
        got = request(WEB, "POST", "/app/admin/users", headers=RAW,
                      body=body_of(5000, seed=3))
        self.assertEqual(got.status, 403)
        self.assertIn(b"Checking your browser before the application",
                      got.body)
        self.assertEqual(got.header("Cache-Control"), "no-store")
        self.assertEqual(self.checks_since(mark).count(
            '"POST /app/admin/users HTTP/1.1" app-admin challenge'), 1)
        # A later request is in PHP-FPM's log, the challenged one is not.
        after = request(WEB, "GET", "/app/after-admin")
        self.assertEqual(after.status, 200)
        self.assertTrue(eventually(
            lambda: "/app/after-admin" in self.demo.log(
                "php-fpm-access.log")))
        self.assertNotIn("/app/admin", self.demo.log("php-fpm-access.log"))

    def test_proxied_route_is_screened_once_and_gets_the_body(self):
        """POSTs with a length and chunked to the proxied path are each
        checked once and reach the backend intact."""
        mark = self.mark()
        body = body_of(100 * 1024, seed=4)
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                got = request(WEB, "POST", "/proxied/echo?chunked=%d"
                              % chunked, headers=RAW, body=body,
                              chunked=chunked, chunk_size=7000)
                self.assertEqual(got.status, 200, got.body)
                self.assertEqual(got.body, echoed(
                    BACKEND, "POST", "/echo?chunked=%d" % chunked, body))
                self.assertEqual(self.checks_since(mark).count(
                    '"POST /proxied/echo?chunked=%d HTTP/1.1" default pass'
                    % chunked), 1)

    def test_proxied_blocked_route_never_reaches_the_backend(self):
        """The demo's block rule for /proxied/admin answers 403 and the
        backend never sees the request."""
        mark = self.mark()
        got = request(WEB, "POST", "/proxied/admin/users", headers=RAW,
                      body=body_of(5000, seed=5))
        self.assertEqual(got.status, 403)
        self.assertIn(b"Forbidden", got.body)
        self.assertEqual(self.checks_since(mark).count(
            '"POST /proxied/admin/users HTTP/1.1" proxied-admin block'), 1)
        after = request(WEB, "GET", "/proxied/after-admin")
        self.assertEqual(after.status, 200)
        self.assertTrue(eventually(
            lambda: "/after-admin" in self.demo.log("backend.log")))
        self.assertNotIn("/admin", self.demo.log("backend.log"))

    def test_printed_commands_for_the_application_and_proxy_work(self):
        """The curl commands the demo prints for /app/ and /proxied/ give
        what their descriptions say."""
        expected = {"/app/": "HTTP/1.1 200 OK",
                    "/app/submit": "field name: Ada\nfield message: hello\n",
                    "/app/admin": "HTTP/1.1 403 Forbidden",
                    "/proxied/echo": BACKEND + ": POST /echo\n",
                    "/proxied/admin": "HTTP/1.1 403 Forbidden"}
        commands = re.findall(r"^  (curl .*127\.0\.0\.1:%d(/\S*))"
                              % WEB, self.demo.output(), re.M)
        printed = {path: cmd for cmd, path in commands if path in expected}
        self.assertEqual(sorted(printed), sorted(expected))
        for path, command in printed.items():
            with self.subTest(command=command):
                done = subprocess.run(["sh", "-c", command],
                                      stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn(expected[path].encode(), done.stdout)


class DemoTlsTest(unittest.TestCase):
    """make demo ARGS=--tls: the same site, its check servers over TLS."""

    @classmethod
    def setUpClass(cls):
        cls.demo = Demo(["--tls"])
        cls.addClassCleanup(cls.demo.stop)

    def test_verdicts_come_from_check_servers_over_tls(self):
        """The verdicts reach the client from check servers that say they
        answer over TLS, at the https:// addresses the module is given."""
        for path, status in (("/pass/", 200), ("/block/", 403),
                             ("/challenge/", 403), ("/limit/", 429)):
            with self.subTest(path=path):
                self.assertEqual(request(WEB, "GET", path).status, status)
        self.assertIn("over TLS", self.demo.output())
        log = self.demo.log("primary.log")
        self.assertIn("listening on 127.0.0.1:8181 over TLS", log)
        self.assertEqual(len(re.findall(r'^\S+ "GET /(pass|block|challenge'
                                        r'|limit)/ HTTP/1\.1"', log, re.M)),
                         4)
        self.assertIn("VornexPrimaryServer https://127.0.0.1:8181",
                      self.demo.log("error.log"))


class DemoStopTest(unittest.TestCase):
    def assert_all_stopped(self, processes, demo):
        gone = eventually(
            lambda: not [p for p in processes if alive(p)], 20)
        self.assertTrue(gone, {p: c for p, c in processes.items()
                               if alive(p)})
        self.assertTrue(eventually(
            lambda: not any(port_open(p) for p in PORTS), 20))
        self.assertFalse(os.path.exists(os.path.dirname(demo.logs)))

    def running_processes(self, demo):
        """The demo's processes, once php-fpm has its workers."""
        processes = eventually(
            lambda: (lambda found: found if any(
                "php-fpm: pool" in c for c in found.values()) else None)(
                    demo.processes()))
        self.assertTrue(processes, demo.output())
        commands = " | ".join(processes.values())
        for name in ("apache2", "php-fpm: master", "php-fpm: pool",
                     "vornex-check-server", "backend.py"):
            self.assertIn(name, commands)
        return processes

    def test_sigint_stops_every_process_the_demo_started(self):
        """After SIGINT no Apache, php-fpm master or worker, check server or
        backend of the demo is left, and its directory is gone."""
        demo = Demo()
        processes = self.running_processes(demo)
        out = demo.stop(signal.SIGINT)
        self.assertEqual(demo.proc.returncode, 0, out)
        self.assertIn("demo: stopped", out)
        self.assert_all_stopped(processes, demo)

    def test_a_dead_backend_ends_the_demo_and_stops_the_rest(self):
        """When the proxied backend dies the demo exits non-zero and stops
        everything else it started."""
        demo = Demo()
        try:
            processes = self.running_processes(demo)
            backend = [p for p, c in processes.items() if "backend.py" in c]
            self.assertEqual(len(backend), 1, processes)
            os.kill(backend[0], signal.SIGKILL)
            self.assertIsNotNone(eventually(
                lambda: demo.proc.poll(), 30), demo.output())
        finally:
            out = demo.stop()
        self.assertEqual(demo.proc.returncode, 1, out)
        self.assertIn("demo: backend exited", out)
        self.assertIn("demo: stopped", out)
        self.assert_all_stopped(processes, demo)


if __name__ == "__main__":
    main()
