"""Rolling screening out: VornexEnforce Off checks and counts but leaves
every response as the server gives it without the module, VornexSample
checks the share it names, and SetHandler vornex-metrics serves the
counters in Prometheus's text format."""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends, php  # noqa: E402
from testbed.apache import UNDER_VALGRIND  # noqa: E402
from testbed.bodies import body_of, sha256  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import (EVENT_PROCESSES, PREFORK_PROCESSES,  # noqa: E402
                           ServerTestCase, main)

PROMTOOL = shutil.which("promtool") or "/usr/bin/promtool"

# The answers of the check servers, chosen by the screened request's query
# parameter v (pass when absent).
REPLIES = {
    "pass": check_reply(200),
    "block": check_reply(403, body="check says no"),
    "challenge": check_reply(200, [("VX-X-Mitigation", "challenge"),
                                   ("VX-Set-Cookie", "seen=1")],
                             "<p>prove it</p>"),
    "captcha": check_reply(200, [("VX-X-Mitigation", "captcha")],
                           "<p>captcha</p>"),
    "redirect": check_reply(200, [("VX-X-Mitigation", "redirect"),
                                  ("VX-Location", "http://127.0.0.1/next")]),
    "limit": check_reply(200, [("VX-X-Mitigation", "limit")]),
    "inject": check_reply(200, [("VX-X-Mitigation", "inject"),
                                ("VX-Injected", "yes")]),
    "fail": check_reply(500, body="check server down"),
}
# What each verdict does to a request where it is enforced.
ENFORCED_STATUS = {"pass": 200, "block": 403, "challenge": 403,
                   "captcha": 403, "redirect": 302, "limit": 429,
                   "inject": 200}

PAGE = b"<html><body>the real page</body></html>\n"
# A CGI script and a PHP script that answer with a fixed header and the
# SHA-256 of the body they read.
CGI = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\nX-App: cgi\\r\\n\\r\\n'
head -c "${CONTENT_LENGTH:-0}" | sha256sum
"""
PHP = """<?php
header("X-App: php");
header("Content-Type: text/plain");
echo hash("sha256", file_get_contents("php://input")), "\\n";
"""

LOG_FORMAT = ('LogFormat "%{VORNEX_ID}e %>s %{VORNEX_VERDICT}e '
              '%{VORNEX_ENFORCED}e" rollout')
LOG_LINE = re.compile(r"^(?P<id>\S+) (?P<status>\d+) (?P<verdict>\S+) "
                      r"(?P<enforced>\S+)$")
# Headers that tell about the exchange rather than the response.
LOGGING_HEADERS = {"date"}
# How the server frames a CGI script's answer depends on whether the
# script's output has all arrived when the head goes out (Content-Length)
# or not (chunked), which varies from one request to the next with or
# without the module; the body is compared instead.
FRAMING_HEADERS = {"content-length", "transfer-encoding"}

_next_id = [0]
_id_lock = threading.Lock()


def tagged(target):
    """`target` with a query parameter id unique in this run, put first;
    returns (target, id)."""
    with _id_lock:
        _next_id[0] += 1
        n = _next_id[0]
    path, _, query = target.partition("?")
    return "%s?id=%d%s" % (path, n, "&" + query if query else ""), n


class ByQuery:
    """Answers each check with REPLIES[v] of the screened request's query,
    and counts the checks it answered."""

    def __init__(self):
        self.count = 0
        self.lock = threading.Lock()

    def __call__(self, sent):
        target = sent.target_line().split(" ")[1]
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
        with self.lock:
            self.count += 1
        return REPLIES[query.get("v", ["pass"])[0]]


def check_server(case):
    server = case.scripted_check_server()
    server.reply = ByQuery()
    return server


def log_lines(server, name, ids):
    """{id: match} of logs/NAME for `ids`, waiting for lines that are
    written after their responses."""
    path = os.path.join(server.root, "logs", name)
    wanted = set(ids)
    deadline = time.monotonic() + 60
    while True:
        found = {}
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    m = LOG_LINE.match(line.rstrip("\n"))
                    if m and m.group("id").isdigit() and \
                            int(m.group("id")) in wanted:
                        found[int(m.group("id"))] = m
        if len(found) == len(wanted) or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def status_counters(port, timeout=60):
    """{name: value} of the Vornex lines of server-status?auto, and their
    names in order under "order"."""
    response = request(port, "GET", "/server-status?auto", timeout=timeout)
    found = {"order": []}
    for line in response.body.decode().splitlines():
        name, _, value = line.partition(": ")
        if re.fullmatch(r"\d+", value):
            found[name] = int(value)
            if name.startswith("Vornex"):
                found["order"].append(name)
    return found


def id_setter():
    """Gives every request its id query parameter as VORNEX_ID for the
    access log."""
    return ["RewriteEngine On",
            "RewriteCond %{QUERY_STRING} (?:^|&)id=(\\d+)",
            "RewriteRule ^ - [E=VORNEX_ID:%1]"]


def screened_site(server, check, sections):
    """Configures `server` to screen everything against `check`, logging
    each request's id, verdict and VORNEX_ENFORCED, with the configuration
    lines `sections` and server-status unscreened."""
    server.configure("\n".join(
        [LOG_FORMAT, "CustomLog logs/rollout.log rollout"] + id_setter() + [
            "VornexPrimaryServer %s" % check.address,
            "VornexSecondaryServer %s" % check.address,
            "VornexCheck On"] + list(sections) + [
            "<Location /server-status>", "SetHandler server-status",
            "VornexCheck Off", "</Location>"]))


def comparable(response, framing=True):
    """Status, body SHA-256 and the headers other than Date (and, without
    `framing`, other than the framing headers), in order."""
    left_out = LOGGING_HEADERS | (set() if framing else FRAMING_HEADERS)
    return (response.status, sha256(response.body),
            [(n.lower(), v) for n, v in response.headers
             if n.lower() not in left_out])


# The kinds of content the monitor table covers: name, target, method.
KINDS = (("static", "/page.html", "GET"),
         ("CGI", "/cgi-bin/app.sh", "POST"),
         ("PHP-FPM", "/php/app.php", "POST"),
         ("proxied", "/proxied/echo", "POST"))
# The check outcomes of the table: name, query, outcome the log shows.
OUTCOMES = (("blocks", "v=block", "block"),
            ("challenges", "v=challenge", "challenge"),
            ("captcha", "v=captcha", "captcha"),
            ("redirects", "v=redirect", "redirect"),
            ("limits", "v=limit", "limit"),
            ("injects", "v=inject", "inject"),
            ("passes", "v=pass", "pass"),
            ("fails, failure mode closed", "v=fail", "refused"))
MONITORED = ("Pass", "Block", "Challenge", "Redirect", "Captcha",
             "ReturnFakeData", "Limit", "Inject", "Unscreened", "Busy",
             "Refused")


class MonitorModeTest(ServerTestCase):
    """The same site (a static page, a CGI script, PHP-FPM through
    mod_proxy_fcgi and a proxied backend) on a server without the module
    and on one that screens it with VornexEnforce Off and
    VornexFailureMode closed."""

    @classmethod
    def setUpClass(cls):
        cls.check = check_server(cls)
        cls.backup = check_server(cls)
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        modules = ("proxy", "proxy_fcgi", "proxy_http", "rewrite", "status")
        cls.plain = cls.apache(modules=modules, vornex=False)
        cls.server = cls.apache(modules=modules)
        cls.fpm = php.PhpFpm(cls.server.root)
        cls.fpm.start()
        cls.addClassCleanup(cls.fpm.stop)
        site = [LOG_FORMAT, "CustomLog logs/rollout.log rollout"] + \
            id_setter() + [
            php.fpm_conf(cls.fpm),
            "ProxyPass /proxied/ %s" % cls.backend.url(),
            "<Location /server-status>", "SetHandler server-status",
            "</Location>"]
        mtime = time.time() - 3600
        for s in (cls.plain, cls.server):
            s.write("htdocs/page.html", PAGE)
            s.write("htdocs/php/app.php", PHP)
            s.write("cgi-bin/app.sh", CGI, 0o755)
            # The same modification time gives the same ETag and
            # Last-Modified on both servers.
            for path in ("htdocs/page.html", "htdocs/php/app.php"):
                os.utime(os.path.join(s.root, path), (mtime, mtime))
        cls.plain.configure("\n".join(site))
        cls.plain.start()
        cls.server.configure("\n".join(site + [
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On", "VornexEnforce Off",
            "VornexFailureMode closed 503",
            '<Location /broken/>', 'VornexSkip "(unbalanced"', "</Location>",
            "<Location /server-status>", "VornexCheck Off", "</Location>"]))
        cls.server.start()

    def send(self, server, target, method, data):
        return request(server.port, method, target,
                       body=data if method == "POST" else None)

    def test_responses_equal_those_without_module(self):
        """For every kind of content and every check outcome, the response
        has the status, body and headers (but Date, and a CGI answer's
        framing) the server without the module gives, the access log shows
        the outcome found and not enforced, and the failing service was
        asked twice."""
        table = []
        for kind, path, method in KINDS:
            for name, query, outcome in OUTCOMES:
                with self.subTest(kind=kind, check=name):
                    data = body_of(1000, seed=len(table)) \
                        if method == "POST" else None
                    target, n = tagged("%s?%s" % (path, query))
                    plain = self.send(self.plain, target, method, data)
                    before = (self.check.reply.count,
                              self.backup.reply.count)
                    got = self.send(self.server, target, method, data)
                    asked = (self.check.reply.count - before[0],
                             self.backup.reply.count - before[1])
                    self.assertEqual(plain.status, 200)
                    framing = kind != "CGI"
                    self.assertEqual(comparable(got, framing),
                                     comparable(plain, framing))
                    line = log_lines(self.server, "rollout.log", [n])[n]
                    self.assertEqual(
                        (line.group("status"), line.group("verdict"),
                         line.group("enforced")), ("200", outcome, "0"))
                    self.assertEqual(asked, (1, 1) if outcome == "refused"
                                     else (1, 0))
                    table.append((kind, name, got.status, plain.status,
                                  sha256(got.body)[:12], outcome))
        sys.stderr.write("\nmonitor mode: kind | check | status with "
                         "module | without | body sha256 | logged\n")
        for row in table:
            sys.stderr.write("  %s | %s | %d | %d | %s | %s\n" % row)

    def test_configuration_error_still_serves(self):
        """A skip expression that does not compile is logged on each
        request, which is served as without the module instead of failing
        with 500."""
        mark = self.server.log_mark()
        target, _ = tagged("/broken/page.html?v=block")
        self.server.write("htdocs/broken/page.html", PAGE)
        self.plain.write("htdocs/broken/page.html", PAGE)
        got = request(self.server.port, "GET", target)
        plain = request(self.plain.port, "GET", target)
        self.assertEqual((got.status, got.body), (200, PAGE))
        self.assertEqual((plain.status, plain.body), (200, PAGE))
        self.assertIn("VornexSkip configuration parameter contains an "
                      "invalid regular expression",
                      self.server.log_since(mark))

    def test_would_be_verdicts_counted_apart(self):
        """Each outcome moves its own counter and its monitored twin by one,
        the screened count by one, and no other monitored counter."""
        for name, query, outcome in OUTCOMES:
            with self.subTest(check=name):
                before = status_counters(self.server.port)
                target, _ = tagged("/page.html?%s" % query)
                self.assertEqual(request(self.server.port, "GET",
                                         target).status, 200)
                after = status_counters(self.server.port)
                label = {"return_fake_data": "ReturnFakeData"}.get(
                    outcome, outcome.capitalize())
                moved = {k: after[k] - before[k] for k in after["order"]
                         if after[k] != before[k]}
                expected = {"VornexScreened": 1, "Vornex" + label: 1,
                            "VornexMonitored" + label: 1}
                for k in list(moved):
                    if k.startswith("VornexCheckTime") or \
                            k.startswith("VornexFailed") or \
                            k == "VornexFailovers":
                        moved.pop(k)
                self.assertEqual(moved, expected)

    def test_status_lists_monitored_counters_after_the_others(self):
        """With VornexEnforce Off in the configuration, server-status?auto
        ends the module's lines with the monitored counters and
        VornexUnsampled."""
        order = status_counters(self.server.port)["order"]
        tail = ["VornexMonitored" + m for m in MONITORED] + \
            ["VornexUnsampled"]
        self.assertEqual(order[-len(tail):], tail)
        self.assertEqual(order[:-len(tail)][-1],
                         "VornexCheckTimeTotalMicroseconds")


class UnsetTest(ServerTestCase):
    """VornexEnforce On and the directives unset behave alike."""

    @classmethod
    def setUpClass(cls):
        cls.check = check_server(cls)
        s = cls.server = cls.apache(modules=("rewrite", "status"))
        s.write("htdocs/page.html", PAGE)
        s.write("htdocs/on/page.html", PAGE)
        screened_site(s, cls.check, [
            "<Location /on/>", "VornexEnforce On", "</Location>"])
        s.start()

    def test_verdicts_enforced_without_enforced_value(self):
        """Each verdict is enforced, with or without VornexEnforce On, and
        VORNEX_ENFORCED stays unset."""
        for path in ("/page.html", "/on/page.html"):
            for verdict, status in ENFORCED_STATUS.items():
                with self.subTest(path=path, verdict=verdict):
                    target, n = tagged("%s?v=%s" % (path, verdict))
                    response = request(self.server.port, "GET", target)
                    self.assertEqual(response.status, status)
                    line = log_lines(self.server, "rollout.log", [n])[n]
                    self.assertEqual(
                        (line.group("verdict"), line.group("enforced")),
                        (verdict, "-"))

    def test_status_lines_unchanged_while_unused(self):
        """Without VornexEnforce Off or VornexSample, server-status?auto
        has no monitored or unsampled line."""
        request(self.server.port, "GET", "/page.html?v=block")
        order = status_counters(self.server.port)["order"]
        self.assertEqual(order[-1], "VornexCheckTimeTotalMicroseconds")
        self.assertFalse([n for n in order if "Monitored" in n
                          or "Unsampled" in n])


class SampleTest(ServerTestCase):
    """VornexSample 0, 100 and 10 in three sections."""

    @classmethod
    def setUpClass(cls):
        cls.check = check_server(cls)
        s = cls.server = cls.apache(modules=("rewrite", "status"))
        for share in ("0", "100", "10"):
            s.write("htdocs/s%s/page.html" % share, PAGE)
        screened_site(s, cls.check, [
            "<Location /s0/>", "VornexSample 0", "</Location>",
            "<Location /s100/>", "VornexSample 100", "</Location>",
            "<Location /s10/>", "VornexSample 10.0", "</Location>"])
        s.start()

    def run_share(self, section, count, query="v=block"):
        """Sends `count` requests to the section; returns the checks made,
        the change of VornexUnsampled and VornexScreened, and the verdicts
        logged."""
        before = status_counters(self.server.port)
        checks = self.check.reply.count
        ids = []
        for _ in range(count):
            target, n = tagged("/%s/page.html?%s" % (section, query))
            response = request(self.server.port, "GET", target)
            self.assertIn(response.status, (200, 403))
            ids.append(n)
        after = status_counters(self.server.port)
        lines = log_lines(self.server, "rollout.log", ids)
        self.assertEqual(len(lines), count)
        verdicts = [m.group("verdict") for m in lines.values()]
        return (self.check.reply.count - checks,
                after["VornexUnsampled"] - before["VornexUnsampled"],
                after["VornexScreened"] - before["VornexScreened"],
                verdicts)

    def test_zero_and_hundred_are_exact(self):
        """VornexSample 0 checks none of 200 requests and marks each
        unsampled; 100 checks every one."""
        cases = (("s0", 0, 200, "unsampled"), ("s100", 200, 0, "block"))
        for section, checked, unsampled, verdict in cases:
            with self.subTest(section=section):
                checks, moved, screened, verdicts = self.run_share(
                    section, 200)
                self.assertEqual((checks, screened, moved),
                                 (checked, checked, unsampled))
                self.assertEqual(set(verdicts), {verdict})

    def test_ten_percent_share_within_bound(self):
        """Of 3000 requests under VornexSample 10, between 7 % and 13 %
        are checked (the chance of missing that with a fair draw is far
        below one in a million), and the rest are counted and logged as
        unsampled; an unsampled request is served as it is."""
        count = 3000
        checks, moved, screened, verdicts = self.run_share("s10", count)
        self.assertEqual(screened, checks)
        self.assertEqual(checks + moved, count)
        self.assertEqual(verdicts.count("unsampled"), moved)
        self.assertEqual(verdicts.count("block"), checks)
        self.assertGreaterEqual(checks, 0.07 * count)
        self.assertLessEqual(checks, 0.13 * count)

    def test_bad_percentages_refused_at_start(self):
        """The configuration reader refuses a share outside 0 to 100 or
        with more than four decimals."""
        for text in ("101", "-1", "10%", "0.00001", "ten"):
            with self.subTest(text=text):
                status, output = self.server.syntax_check(
                    "VornexSample %s" % text)
                self.assertNotEqual(status, 0)
                self.assertIn("VornexSample takes a percentage", output)


# ---- the Prometheus endpoint ---------------------------------------------

SAMPLE_LINE = re.compile(r"^(?P<name>[a-z_]+)(?:\{(?P<labels>[^}]*)\})? "
                         r"(?P<value>\S+)$")


def scrape(port):
    response = request(port, "GET", "/metrics")
    return response


def parse_metrics(text):
    """{(name, labels): value} of the sample lines."""
    found = {}
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        m = SAMPLE_LINE.match(line)
        assert m, line
        found[(m.group("name"), m.group("labels") or "")] = float(
            m.group("value"))
    return found


def outcome_key(outcome, enforced=True):
    return ("vornex_requests_total", 'outcome="%s",enforced="%s"' % (
        outcome, "true" if enforced else "false"))


# The mix the counting test sends: (target, key of the counter it moves).
MIX = (
    ("/page.html?v=pass", outcome_key("pass")),
    ("/page.html?v=block", outcome_key("block")),
    ("/page.html?v=challenge", outcome_key("challenge")),
    ("/page.html?v=limit", outcome_key("limit")),
    ("/watch/page.html?v=block", outcome_key("block", False)),
    ("/watch/page.html?v=redirect", outcome_key("redirect", False)),
    ("/none/page.html?v=block",
     ("vornex_unchecked_total", 'reason="unsampled"')),
    ("/style.css?v=block", ("vornex_unchecked_total", 'reason="skipped"')),
)


@unittest.skipIf(UNDER_VALGRIND,
                 "one apache2 -X process cannot show several workers")
class MetricsMixin:
    """The endpoint on a server with several worker processes; subclasses
    set the MPM."""

    mpm = None
    mpm_conf = ()

    @classmethod
    def setUpClass(cls):
        cls.check = check_server(cls)
        s = cls.server = cls.apache(mpm=cls.mpm, modules=("rewrite", "status"))
        for path in ("page.html", "watch/page.html", "none/page.html",
                     "style.css"):
            s.write("htdocs/" + path, PAGE)
        s.configure("\n".join(list(cls.mpm_conf) + [
            LOG_FORMAT, "LogFormat \"%P %{VORNEX_ID}e\" pids",
            "CustomLog logs/pids.log pids"] + id_setter() + [
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.check.address,
            "VornexRetry 5", "VornexCheck On",
            "<Location /watch/>", "VornexEnforce Off", "</Location>",
            "<Location /none/>", "VornexSample 0", "</Location>",
            # The page is served whatever the section says about screening.
            "<Location /metrics>", "SetHandler vornex-metrics",
            "</Location>",
            "<Location /server-status>", "SetHandler server-status",
            "VornexCheck Off", "</Location>"]))
        s.start()

    def metrics(self):
        response = scrape(self.server.port)
        self.assertEqual(response.status, 200)
        return response

    def test_output_passes_promtool(self):
        """After requests of every kind, promtool check metrics finds
        nothing wrong with the page, and it has the exposition format's
        content type."""
        for target, _ in MIX:
            request(self.server.port, "GET", target)
        response = self.metrics()
        self.assertEqual(response.header("Content-Type"),
                         "text/plain; version=0.0.4; charset=utf-8")
        result = subprocess.run([PROMTOOL, "check", "metrics"],
                                input=response.body, capture_output=True,
                                timeout=60)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"", b""))

    def test_counters_equal_requests_per_outcome(self):
        """8 clients sending 20 rounds of the mix, served by several worker
        processes, move each outcome's counter by exactly its number of
        requests, and the histogram's count by the checked ones."""
        rounds, clients = 20, 8
        before = parse_metrics(self.metrics().body.decode())
        errors, ids = [], []

        def client():
            try:
                for _ in range(rounds):
                    for target, _ in MIX:
                        target, n = tagged(target)
                        request(self.server.port, "GET", target)
                        ids.append(n)
            except Exception as e:  # reported by the test thread
                errors.append(e)

        threads = [threading.Thread(target=client, daemon=True)
                   for _ in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
        self.assertFalse([t for t in threads if t.is_alive()])
        self.assertEqual(errors, [])
        after = parse_metrics(self.metrics().body.decode())
        expected = {}
        for _, key in MIX:
            expected[key] = expected.get(key, 0) + rounds * clients
        moved = {k: after[k] - before.get(k, 0) for k in after
                 if k[0] in ("vornex_requests_total",
                             "vornex_unchecked_total")
                 and after[k] != before.get(k, 0)}
        self.assertEqual(moved, expected)
        checked = sum(n for k, n in expected.items()
                      if k[0] == "vornex_requests_total")
        self.assertEqual(
            after[("vornex_check_duration_seconds_count", "")]
            - before[("vornex_check_duration_seconds_count", "")], checked)
        self.assertEqual(
            after[("vornex_screened_total", "")]
            - before[("vornex_screened_total", "")], checked)
        self.assertEqual(after[("vornex_checks_in_flight", "")], 0)
        server = 'server="%s",state="clear"' % self.check.address
        self.assertEqual(after[("vornex_server_mark", server)], 1)
        pids = set()
        with open(os.path.join(self.server.root, "logs", "pids.log")) as f:
            for line in f:
                pid, _, n = line.strip().partition(" ")
                if n.isdigit() and int(n) in set(ids):
                    pids.add(pid)
        self.assertGreaterEqual(len(pids), 2)

    def test_restart_starts_from_zero(self):
        """After a restart (SIGHUP) the page shows every counter at zero,
        and counting goes on from there."""
        for target, _ in MIX:
            request(self.server.port, "GET", target)
        generation = status_counters(
            self.server.port)["ParentServerConfigGeneration"]
        os.kill(self.server.proc.pid, signal.SIGHUP)
        # During the restart a connection may be refused, reset, or left
        # unanswered for a while: each try is bounded on its own.
        deadline = time.monotonic() + 120
        while True:
            try:
                found = status_counters(self.server.port, timeout=10)
            except (OSError, ValueError, IndexError) as e:
                found = {"error": repr(e)}
            if found.get("ParentServerConfigGeneration", -1) > generation:
                break
            self.assertLess(time.monotonic(), deadline,
                            "no new generation serves; last: %r" % found)
            time.sleep(0.1)
        values = parse_metrics(self.metrics().body.decode())
        counted = {k: v for k, v in values.items()
                   if k[0] != "vornex_server_mark" and v != 0}
        self.assertEqual(counted, {})
        request(self.server.port, "GET", "/page.html?v=block")
        values = parse_metrics(self.metrics().body.decode())
        self.assertEqual(values[outcome_key("block")], 1)
        self.assertEqual(values[("vornex_screened_total", "")], 1)

    def test_only_get_served(self):
        """A POST to the page is refused with 405, and a scrape is neither
        screened nor counted."""
        checks = self.check.reply.count
        self.assertEqual(request(self.server.port, "POST", "/metrics",
                                 body=b"x").status, 405)
        before = self.metrics().body
        self.assertEqual(self.metrics().body, before)
        self.assertEqual(self.check.reply.count, checks)


class EventMetricsTest(MetricsMixin, ServerTestCase):
    """Event MPM, three processes of four threads each."""

    mpm = "event"
    mpm_conf = EVENT_PROCESSES


class PreforkMetricsTest(MetricsMixin, ServerTestCase):
    """Prefork MPM, four to eight children."""

    mpm = "prefork"
    mpm_conf = PREFORK_PROCESSES


if __name__ == "__main__":
    main()
