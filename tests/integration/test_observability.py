"""What screening leaves behind: VORNEX_VERDICT, VORNEX_CHECK_TIME and
VORNEX_SERVER in the access log, mod_headers and a CGI script's environment,
and the counters mod_status shows, across worker processes and restarts."""

import itertools
import json
import os
import re
import signal
import socket
import sys
import threading
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.apache import UNDER_VALGRIND  # noqa: E402
from testbed.bodies import body_of, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.process import child_pids  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import (EVENT_PROCESSES, PREFORK_PROCESSES,  # noqa: E402
                           ServerTestCase, main)

PAGE = b"<html><body>the real page</body></html>\n"
DENIED = b"<html>denied by the site</html>\n"

# Every counter in the order mod_status prints them.
OUTCOME_COUNTERS = {
    "pass": "VornexPass", "block": "VornexBlock",
    "challenge": "VornexChallenge", "redirect": "VornexRedirect",
    "captcha": "VornexCaptcha", "return_fake_data": "VornexReturnFakeData",
    "limit": "VornexLimit", "inject": "VornexInject",
    "unscreened": "VornexUnscreened", "skipped": "VornexSkipped",
    "busy": "VornexBusy", "refused": "VornexRefused",
}
FAILED_COUNTERS = {
    "connection": "VornexFailedConnection", "timeout": "VornexFailedTimeout",
    "answer": "VornexFailedAnswer", "verdict": "VornexFailedVerdict",
}
# (upper bound in microseconds, counter) of the check-time histogram.
BUCKETS = (
    (100, "VornexCheckTimeUpTo0.1ms"), (250, "VornexCheckTimeUpTo0.25ms"),
    (500, "VornexCheckTimeUpTo0.5ms"), (1000, "VornexCheckTimeUpTo1ms"),
    (2500, "VornexCheckTimeUpTo2.5ms"), (5000, "VornexCheckTimeUpTo5ms"),
    (10000, "VornexCheckTimeUpTo10ms"), (25000, "VornexCheckTimeUpTo25ms"),
    (50000, "VornexCheckTimeUpTo50ms"), (100000, "VornexCheckTimeUpTo100ms"),
    (250000, "VornexCheckTimeUpTo250ms"),
    (500000, "VornexCheckTimeUpTo500ms"),
    (1000000, "VornexCheckTimeUpTo1s"), (2500000, "VornexCheckTimeUpTo2.5s"),
    (5000000, "VornexCheckTimeUpTo5s"), (10000000, "VornexCheckTimeUpTo10s"),
    (None, "VornexCheckTimeOver10s"),
)
BUCKET_NAMES = [name for _, name in BUCKETS]
COUNTERS = (["VornexScreened"] + list(OUTCOME_COUNTERS.values())
            + ["VornexFailovers"] + list(FAILED_COUNTERS.values())
            + ["VornexOverCap", "VornexChecksInFlight"]
            + ["VornexBodyBytes"] + BUCKET_NAMES
            + ["VornexCheckTimeTotalMicroseconds"])

# The verdicts a check server gives, by name, and what the client gets.
REPLIES = {
    "pass": check_reply(200),
    "block": check_reply(403, body="check says no"),
    "challenge": check_reply(200, [("VX-X-Mitigation", "challenge")],
                             "<p>prove it</p>"),
    "redirect": check_reply(200, [("VX-X-Mitigation", "redirect"),
                                  ("VX-Location", "http://127.0.0.1/next")]),
    "captcha": check_reply(200, [("VX-X-Mitigation", "captcha")],
                           "<p>captcha</p>"),
    "return_fake_data": check_reply(
        200, [("VX-X-Mitigation", "return_fake_data")]),
    "limit": check_reply(200, [("VX-X-Mitigation", "limit")]),
    "inject": check_reply(200, [("VX-X-Mitigation", "inject"),
                                ("VX-Injected", "yes")]),
    # No verdict: a status without a keyword, or a header that decodes to
    # a line break (an unusable answer).
    "fail": check_reply(500, body="check server down"),
    "unsafe": check_reply(200, [("VX-X-Mitigation", "challenge"),
                                "VX-Set-Cookie: a%0D%0AX-Evil: 1"], "page"),
}
STATUS = {"pass": 200, "block": 403, "challenge": 403, "redirect": 302,
          "captcha": 403, "return_fake_data": 403, "limit": 429,
          "inject": 200}
VERDICTS = tuple(STATUS)

# What the check servers wait before answering "slow" and "slowfail", in
# seconds, and the time-out host's VornexTimeout against "hang".
SLOW = 0.05
TIMEOUT_MS = 1500
HANG = 6

# Prints the VORNEX variables of its environment as JSON, with the length
# and SHA-256 of the body it read.
ENV_CGI = """#!/usr/bin/python3
import hashlib, json, os, sys
data = sys.stdin.buffer.read()
out = {n: v for n, v in os.environ.items() if "VORNEX" in n}
out["body"] = "%d %s" % (len(data), hashlib.sha256(data).hexdigest())
sys.stdout.write("Content-Type: application/json\\r\\n\\r\\n")
sys.stdout.write(json.dumps(out, sort_keys=True))
"""

# Sends back the body it read; a shell script starts fast enough for many.
SINK_CGI = """#!/bin/sh
printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'
exec head -c "${CONTENT_LENGTH:-0}"
"""

ENV_FORMAT = ('LogFormat "\\"%r\\" %>s %P %{VORNEX_VERDICT}e '
              '%{VORNEX_CHECK_TIME}e %{VORNEX_SERVER}e" vornex_env')
NOTES_FORMAT = ('LogFormat "\\"%r\\" %{VORNEX_VERDICT}n '
                '%{VORNEX_CHECK_TIME}n %{VORNEX_SERVER}n" vornex_notes')
ENV_LINE = re.compile(r'^"(?P<line>[^"]*)" (?P<status>\d+) (?P<pid>\d+) '
                      r'(?P<verdict>\S+) (?P<time>\S+) (?P<server>\S+)$')
NOTES_LINE = re.compile(r'^"(?P<line>[^"]*)" (?P<verdict>\S+) (?P<time>\S+) '
                        r'(?P<server>\S+)$')

_ids = itertools.count(1)


def tagged(target):
    """The target with a query parameter id=N, unique in this run, put
    first so that a target ending in .css still ends in it; returns
    (target, N)."""
    n = next(_ids)
    path, _, query = target.partition("?")
    return "%s?id=%d%s" % (path, n, "&" + query if query else ""), n


def bucket_of(microseconds):
    """The histogram counter a check time goes to."""
    for bound, name in BUCKETS:
        if bound is None or microseconds <= bound:
            return name
    raise AssertionError("unreachable")


class Scripted:
    """A check server's answers chosen by the screened request's query:
    the parameter `key` (p for the primary, s for the secondary) names a
    reply of REPLIES, or slow / slowfail (SLOW seconds, then pass or fail),
    hang (HANG seconds, then pass) or hold (wait for `release`); pass when
    absent. `delay` seconds pass before any answer."""

    def __init__(self, key):
        self.key = key
        self.delay = 0
        self.held = threading.Event()
        self.release = threading.Event()

    def __call__(self, sent):
        target = sent.target_line().split(" ")[1]
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
        action = query.get(self.key, ["pass"])[0]
        if self.delay:
            time.sleep(self.delay)
        if action in ("slow", "slowfail"):
            time.sleep(SLOW)
            return REPLIES["pass" if action == "slow" else "fail"]
        if action == "hang":
            time.sleep(HANG)
            return REPLIES["pass"]
        if action == "hold":
            self.held.set()
            self.release.wait(60)
            return REPLIES["pass"]
        return REPLIES[action]


def scripted_server(case, key):
    server = case.scripted_check_server()
    server.reply = Scripted(key)
    return server


def closed_address(case):
    """host:port bound for the whole class and never listening: connecting
    to it is refused."""
    held = socket.socket()
    case.addClassCleanup(held.close)
    held.bind((LOOPBACK, 0))
    return "%s:%d" % held.getsockname()


def site_conf(root):
    """Logs, mod_status and the sections every server here has: /off/ and
    /cgi-bin/unchecked.py with screening off, /errdoc/ with an ErrorDocument
    for 403, /app/ a front controller that sends every path that is not a
    file to /cgi-bin/env.py."""
    return [
        ENV_FORMAT, NOTES_FORMAT,
        "CustomLog logs/env.log vornex_env",
        "CustomLog logs/notes.log vornex_notes",
        "VornexCheck On",
        "<Location /server-status>", "SetHandler server-status",
        "VornexCheck Off", "</Location>",
        "<Location /off/>", "VornexCheck Off", "</Location>",
        "<Location /cgi-bin/unchecked.py>", "VornexCheck Off", "</Location>",
        "<Location /errdoc/>", "ErrorDocument 403 /denied.html", "</Location>",
        '<Directory "%s/htdocs/app">' % root,
        "RewriteEngine On",
        "RewriteCond %{REQUEST_FILENAME} !-f",
        "RewriteRule ^ /cgi-bin/env.py [L]",
        "</Directory>",
    ]


def write_site(server):
    server.write("htdocs/page.html", PAGE)
    server.write("htdocs/style.css", "p {}\n")
    server.write("htdocs/off/page.html", PAGE)
    server.write("htdocs/errdoc/page.html", PAGE)
    server.write("htdocs/denied.html", DENIED)
    # The front controller's directory must exist for its section to apply.
    server.write("htdocs/app/static.html", PAGE)
    server.write("cgi-bin/env.py", ENV_CGI, 0o755)
    server.write("cgi-bin/unchecked.py", ENV_CGI, 0o755)
    server.write("cgi-bin/sink.sh", SINK_CGI, 0o755)


class StatusReader:
    """Reading mod_status and the access logs of `self.server`."""

    def status(self, port=None):
        """{name: number} of every line of server-status?auto whose value
        is a whole number, and the list of the Vornex names in page order
        under the key "order"."""
        response = request(port or self.server.port, "GET",
                           "/server-status?auto")
        self.assertEqual(response.status, 200)
        return self.parse_status(response)

    @staticmethod
    def parse_status(response):
        found = {"order": []}
        for line in response.body.decode().splitlines():
            name, _, value = line.partition(": ")
            if re.fullmatch(r"\d+", value):
                found[name] = int(value)
                if name.startswith("Vornex"):
                    found["order"].append(name)
        return found

    def counters(self, port=None):
        found = self.status(port)
        self.assertEqual(found["order"], COUNTERS)
        return {name: found[name] for name in COUNTERS}

    def delta(self, before, after):
        return {name: after[name] - before[name] for name in COUNTERS}

    def log_lines(self, name, ids, pattern):
        """{id: match} of the lines of logs/NAME for the ids, waiting until
        every one of them is written (after the response is sent)."""
        path = os.path.join(self.server.root, "logs", name)
        wanted = set(ids)
        deadline = time.monotonic() + 60
        while True:
            found = {}
            try:
                with open(path) as f:
                    lines = f.read().splitlines()
            except FileNotFoundError:
                lines = []
            for line in lines:
                m = re.search(r"[?&]id=(\d+)[& ]", line)
                if m and int(m.group(1)) in wanted:
                    parsed = pattern.match(line)
                    self.assertIsNotNone(parsed, line)
                    found[int(m.group(1))] = parsed
            if len(found) == len(wanted):
                return found
            if time.monotonic() > deadline:
                self.fail("no %s line for ids %s" % (
                    name, sorted(wanted - set(found))))
            time.sleep(0.05)

    def logged(self, n):
        """(verdict, check time, server) of request n from the %e log, the
        same three from the %n log, and the serving process."""
        env = self.log_lines("env.log", [n], ENV_LINE)[n]
        notes = self.log_lines("notes.log", [n], NOTES_LINE)[n]
        values = (env.group("verdict"), env.group("time"),
                  env.group("server"))
        self.assertEqual((notes.group("verdict"), notes.group("time"),
                          notes.group("server")), values)
        return values


def expected_delta(verdict, time_us=0, failovers=0, failed=(),
                   body_bytes=0):
    """Every counter's change for one request: `verdict` None when
    screening is off; `failed` names the kind of each failed attempt."""
    d = dict.fromkeys(COUNTERS, 0)
    if verdict == "skipped":
        d["VornexSkipped"] = 1
    elif verdict is not None:
        d["VornexScreened"] = 1
        d[OUTCOME_COUNTERS[verdict]] = 1
        d[bucket_of(time_us)] = 1
        d["VornexCheckTimeTotalMicroseconds"] = time_us
    d["VornexFailovers"] = failovers
    for kind in failed:
        d[FAILED_COUNTERS[kind]] += 1
    d["VornexBodyBytes"] = body_bytes
    return d


# One request per outcome: name, host, target, status, what the log shows
# (verdict, server; None for "-"), failovers, kinds of the failed attempts.
OUTCOMES = tuple(
    (v, "working", "/page.html?p=%s" % v, STATUS[v], v, "primary", 0, ())
    for v in VERDICTS) + (
    ("primary refused", "refused", "/page.html", 200, "pass", "secondary",
     1, ("connection",)),
    ("primary status 500", "working", "/page.html?p=fail", 200, "pass",
     "secondary", 1, ("verdict",)),
    ("primary unusable answer", "working", "/page.html?p=unsafe", 200,
     "pass", "secondary", 1, ("answer",)),
    ("primary out of time", "timeout", "/page.html?p=hang", 200, "pass",
     "secondary", 1, ("timeout",)),
    ("secondary blocks", "working", "/page.html?p=fail&s=block", 403,
     "block", "secondary", 1, ("verdict",)),
    ("both refused", "both refused", "/page.html", 200, "unscreened", None,
     1, ("connection", "connection")),
    ("both status 500", "working", "/page.html?p=fail&s=fail", 200,
     "unscreened", None, 1, ("verdict", "verdict")),
    ("skip pattern", "working", "/style.css", 200, "skipped", None, 0, ()),
    ("screening off", "working", "/off/page.html", 200, None, None, 0, ()),
    ("front controller", "working", "/app/some/route?p=pass", 200, "pass",
     "primary", 0, ()),
    ("front controller, block", "working", "/app/some/route?p=block", 403,
     "block", "primary", 0, ()),
    ("block, ErrorDocument", "working", "/errdoc/page.html?p=block", 403,
     "block", "primary", 0, ()),
)


class VariablesTest(ServerTestCase, StatusReader):
    """Event MPM with mod_cgid, mod_rewrite, mod_headers and mod_status;
    one host per pairing of check servers: working, a refused primary, both
    refused, and working with VornexTimeout."""

    @classmethod
    def setUpClass(cls):
        cls.primary = scripted_server(cls, "p")
        cls.secondary = scripted_server(cls, "s")
        closed = closed_address(cls)
        pairs = {
            "working": (cls.primary.address, cls.secondary.address, ()),
            "refused": (closed, cls.secondary.address, ()),
            "both refused": (closed, closed, ()),
            "timeout": (cls.primary.address, cls.secondary.address,
                        ("VornexTimeout %d" % TIMEOUT_MS,)),
        }
        s = cls.server = cls.apache(
            ports=len(pairs), modules=("rewrite", "headers", "status"))
        cls.ports = {}
        conf = site_conf(s.root) + [
            'Header always set X-Verdict "%{VORNEX_VERDICT}e" '
            'env=VORNEX_VERDICT']
        for port, (name, (first, second, extra)) in zip(
                s.ports, pairs.items()):
            cls.ports[name] = port
            conf += ["<VirtualHost %s:%d>" % (LOOPBACK, port),
                     "VornexPrimaryServer %s" % first,
                     "VornexSecondaryServer %s" % second]
            conf += list(extra) + ["</VirtualHost>"]
        s.configure("\n".join(conf))
        write_site(s)
        s.start()

    def send(self, host, target, method="GET", body=None, chunked=False):
        """Sends the target tagged with a fresh id; returns (response, id)."""
        target, n = tagged(target)
        response = request(self.ports[host], method, target, body=body,
                           chunked=chunked)
        return response, n

    def test_access_log_shows_values_of_each_outcome(self):
        """%{...}e and %{...}n give the verdict, a check time and the
        server that answered, "-" where unset, and mod_headers reads the
        verdict from the environment."""
        for name, host, target, status, verdict, server, _, _ in OUTCOMES:
            with self.subTest(outcome=name):
                response, n = self.send(host, target)
                self.assertEqual(response.status, status)
                got_verdict, got_time, got_server = self.logged(n)
                self.assertEqual(got_verdict, verdict or "-")
                self.assertEqual(got_server, server or "-")
                if verdict in (None, "skipped"):
                    self.assertEqual(got_time, "-")
                else:
                    self.assertRegex(got_time, r"^\d+$")
                self.assertEqual(response.values("X-Verdict"),
                                 [verdict] if verdict else [])

    def test_counters_move_by_one_request_per_outcome(self):
        """Each request changes exactly its outcome, the screened count, the
        failovers and failed kinds of its attempts, and the histogram bucket
        and total of the check time it logged."""
        for name, host, target, status, verdict, _, failovers, failed \
                in OUTCOMES:
            with self.subTest(outcome=name):
                before = self.counters()
                response, n = self.send(host, target)
                self.assertEqual(response.status, status)
                after = self.counters()
                _, spent, _ = self.logged(n)
                self.assertEqual(self.delta(before, after), expected_delta(
                    verdict, int(spent) if spent != "-" else 0, failovers,
                    failed))

    def test_cgi_sees_values_of_requests_it_serves(self):
        """A CGI script, addressed directly or behind a front controller
        redirect, finds in its environment the values the access log shows,
        with the body intact; Apache's REDIRECT_ copies match."""
        data = body_of(3000, seed=1)
        cases = (
            # name, host, target, verdict, server, redirected
            ("pass", "working", "/cgi-bin/env.py?p=pass", "pass",
             "primary", False),
            ("inject", "working", "/cgi-bin/env.py?p=inject", "inject",
             "primary", False),
            ("secondary after refused primary", "refused",
             "/cgi-bin/env.py", "pass", "secondary", False),
            ("secondary after status 500", "working",
             "/cgi-bin/env.py?p=fail", "pass", "secondary", False),
            ("unscreened, both refused", "both refused", "/cgi-bin/env.py",
             "unscreened", None, False),
            ("unscreened, both status 500", "working",
             "/cgi-bin/env.py?p=fail&s=fail", "unscreened", None, False),
            ("skipped", "working", "/cgi-bin/env.py?f=a.css", "skipped",
             None, False),
            ("screening off", "working", "/cgi-bin/unchecked.py", None, None,
             False),
            ("front controller, pass", "working", "/app/route?p=pass",
             "pass", "primary", True),
            ("front controller, inject", "working", "/app/route?p=inject",
             "inject", "primary", True),
            ("front controller, secondary", "working", "/app/route?p=fail",
             "pass", "secondary", True),
            ("front controller, unscreened", "both refused", "/app/route",
             "unscreened", None, True),
            ("front controller, skipped", "working", "/app/route.css",
             "skipped", None, True),
        )
        for name, host, target, verdict, server, redirected in cases:
            with self.subTest(case=name):
                response, n = self.send(host, target, "POST", data)
                self.assertEqual(response.status, 200)
                if verdict == "inject" and not redirected:
                    self.assertEqual(response.header("Injected"), "yes")
                env = json.loads(response.body)
                self.assertEqual(env.pop("body"),
                                 echo_line(data).decode().strip())
                logged = self.logged(n)
                expected = {}
                for key, value in zip(("VORNEX_VERDICT", "VORNEX_CHECK_TIME",
                                       "VORNEX_SERVER"), logged):
                    if value != "-":
                        expected[key] = value
                        if redirected:
                            expected["REDIRECT_" + key] = value
                self.assertEqual(env, expected)
                self.assertEqual(logged[0], verdict or "-")
                self.assertEqual(logged[2], server or "-")

    def test_inject_headers_reach_client_behind_front_controller(self):
        """The headers an inject verdict adds reach the client when a front
        controller redirect serves the request, as when the script is
        addressed directly."""
        for target in ("/cgi-bin/env.py?p=inject", "/app/route?p=inject"):
            with self.subTest(target=target):
                response, n = self.send("working", target)
                self.assertEqual(response.status, 200)
                self.assertEqual(self.logged(n)[0], "inject")
                self.assertEqual(response.values("Injected"), ["yes"])

    def test_body_bytes_count_body_once_per_attempt(self):
        """VornexBodyBytes grows by the body's length for each check
        attempt, refused ones included, and not at all for unscreened
        sections or skipped targets."""
        cases = (
            # host, target, attempts
            ("working", "/cgi-bin/env.py?p=pass", 1),
            ("working", "/cgi-bin/env.py?p=fail", 2),
            ("refused", "/cgi-bin/env.py", 2),
            ("both refused", "/cgi-bin/env.py", 2),
            ("working", "/cgi-bin/env.py?p=fail&s=fail", 2),
            ("working", "/cgi-bin/env.py?f=a.css", 0),
            ("working", "/cgi-bin/unchecked.py", 0),
        )
        for size in (0, 1, 8193, 70000):
            for host, target, attempts in cases:
                for chunked in (False, True):
                    with self.subTest(size=size, host=host, target=target,
                                      chunked=chunked):
                        data = body_of(size, seed=size)
                        before = self.counters()
                        response, _ = self.send(host, target, "POST", data,
                                                chunked=chunked)
                        after = self.counters()
                        self.assertEqual(response.status, 200)
                        self.assertEqual(
                            json.loads(response.body)["body"],
                            echo_line(data).decode().strip())
                        self.assertEqual(
                            after["VornexBodyBytes"]
                            - before["VornexBodyBytes"], size * attempts)

    def test_slow_check_lands_at_or_above_100ms_bucket(self):
        """Checks answered after 50 ms log at least 50 ms each and fill only
        buckets from VornexCheckTimeUpTo100ms up, the total growing by
        exactly the logged times."""
        count = 3
        before = self.counters()
        times = []
        for _ in range(count):
            response, n = self.send("working", "/page.html?p=slow")
            self.assertEqual(response.status, 200)
            verdict, spent, server = self.logged(n)
            self.assertEqual((verdict, server), ("pass", "primary"))
            times.append(int(spent))
        delta = self.delta(before, self.counters())
        for spent in times:
            self.assertGreaterEqual(spent, SLOW * 1e6)
        low = BUCKET_NAMES.index("VornexCheckTimeUpTo100ms")
        self.assertEqual(sum(delta[b] for b in BUCKET_NAMES[:low]), 0)
        self.assertEqual(sum(delta[b] for b in BUCKET_NAMES[low:]), count)
        for name in BUCKET_NAMES:
            self.assertEqual(delta[name],
                             sum(bucket_of(t) == name for t in times), name)
        self.assertEqual(delta["VornexCheckTimeTotalMicroseconds"],
                         sum(times))
        self.assertGreaterEqual(sum(times), count * SLOW * 1e6)

    def test_check_time_covers_both_attempts(self):
        """A primary that answers status 500 after 50 ms and a secondary
        that passes after 50 ms give a check time of at least 100 ms."""
        response, n = self.send("working", "/page.html?p=slowfail&s=slow")
        self.assertEqual(response.status, 200)
        verdict, spent, server = self.logged(n)
        self.assertEqual((verdict, server), ("pass", "secondary"))
        self.assertGreaterEqual(int(spent), 2 * SLOW * 1e6)

    def test_histogram_adds_up_to_screened(self):
        """After screened, skipped and unscreened requests the histogram's
        counts add up to VornexScreened and its total to the sum of the
        logged check times of this server."""
        for host, target in (("working", "/page.html?p=block"),
                             ("working", "/style.css"),
                             ("both refused", "/page.html"),
                             ("working", "/off/page.html")):
            self.send(host, target)
        counters = self.counters()
        self.assertGreater(counters["VornexScreened"], 0)
        self.assertEqual(sum(counters[b] for b in BUCKET_NAMES),
                         counters["VornexScreened"])
        # A line is written after its response: wait for the last ones.
        deadline = time.monotonic() + 60
        while True:
            with open(os.path.join(self.server.root, "logs",
                                   "env.log")) as f:
                times = [int(m.group("time")) for m in map(ENV_LINE.match, f)
                         if m.group("time") != "-"]
            if len(times) >= counters["VornexScreened"] or \
                    time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(len(times), counters["VornexScreened"])
        self.assertEqual(counters["VornexCheckTimeTotalMicroseconds"],
                         sum(times))

    def test_status_page_has_vornex_section(self):
        """The HTML status page has a mod_vornex section with a row for
        every counter, holding the value ?auto shows."""
        self.send("working", "/page.html?p=challenge")
        auto = self.counters()
        response = request(self.server.port, "GET", "/server-status")
        self.assertEqual(response.status, 200)
        page = response.body.decode()
        self.assertIn("<h2>mod_vornex</h2>", page)
        section = page[page.index("<h2>mod_vornex</h2>"):]
        rows = re.findall(r"<tr><td>(Vornex[^<]*)</td><td>(\d+)</td></tr>",
                          section)
        self.assertEqual([(n, int(v)) for n, v in rows],
                         [(n, auto[n]) for n in COUNTERS])


# The mix the counting tests send, one entry per request in turn: outcome
# (None: screening off), method, target, failovers, kinds of failed
# attempts. POST bodies go to the check once per attempt.
MIX = tuple(
    (v, "POST" if v in ("pass", "inject", "block") else "GET",
     ("/cgi-bin/sink.sh?p=%s" if STATUS[v] == 200 else "/page.html?p=%s")
     % v, 0, ()) for v in VERDICTS) + (
    ("unscreened", "POST", "/cgi-bin/sink.sh?p=fail&s=fail", 1,
     ("verdict", "verdict")),
    ("pass", "POST", "/cgi-bin/sink.sh?p=fail", 1, ("verdict",)),
    ("skipped", "GET", "/style.css", 0, ()),
    (None, "GET", "/off/page.html", 0, ()),
)


def expected_totals(entries):
    """Every counter's change for the requests `entries` of MIX, except
    the histogram and the total time, with (entry, body length) pairs."""
    d = dict.fromkeys(COUNTERS, 0)
    for (verdict, _, _, failovers, failed), size in entries:
        if verdict == "skipped":
            d["VornexSkipped"] += 1
        elif verdict is not None:
            d["VornexScreened"] += 1
            d[OUTCOME_COUNTERS[verdict]] += 1
            d["VornexBodyBytes"] += size * (1 + failovers)
        d["VornexFailovers"] += failovers
        for kind in failed:
            d[FAILED_COUNTERS[kind]] += 1
    return d


@unittest.skipIf(UNDER_VALGRIND,
                 "one apache2 -X process cannot show several workers")
class CountingMixin(StatusReader):
    """Counting with several worker processes; subclasses set the MPM and
    its directives."""

    mpm = None
    mpm_conf = ()
    # Client threads and requests per thread of the concurrent mix.
    threads = 8
    per_thread = 25

    @classmethod
    def setUpClass(cls):
        cls.primary = scripted_server(cls, "p")
        cls.secondary = scripted_server(cls, "s")
        # Every check takes a little while, so that the concurrent clients
        # keep more requests in flight than one process has workers.
        cls.primary.reply.delay = 0.01
        s = cls.server = cls.apache(mpm=cls.mpm,
                                    modules=("rewrite", "status"))
        s.configure("\n".join(list(cls.mpm_conf) + site_conf(s.root) + [
            "VornexPrimaryServer %s" % cls.primary.address,
            "VornexSecondaryServer %s" % cls.secondary.address]))
        write_site(s)
        s.start()

    def send_mix(self, index, static=False):
        """Sends request `index` of the mix and checks its response;
        returns ((entry, body length), id). `static` replaces the CGI
        script by a page."""
        entry = MIX[index % len(MIX)]
        verdict, method, target, _, _ = entry
        if static:
            target = target.replace("/cgi-bin/sink.sh", "/page.html")
            method = "GET"
        data = body_of(100 + 37 * (index % 5), seed=index) \
            if method == "POST" else None
        target, n = tagged(target)
        response = request(self.server.port, method, target, body=data)
        expected = STATUS.get(verdict, 200)
        self.assertEqual(response.status, expected, target)
        if expected == 200 and target.startswith("/cgi-bin/"):
            self.assertEqual(response.body, data)
        return (entry, len(data) if data else 0), n

    def assert_counted(self, delta, sent, logged):
        """The counters' change `delta` is the one the `sent` requests
        make, with the histogram and total from their `logged` times (a
        {id: log line} for the same requests)."""
        expected = expected_totals(sent)
        times = [int(m.group("time")) for m in logged.values()
                 if m.group("time") != "-"]
        for t in times:
            expected[bucket_of(t)] += 1
        expected["VornexCheckTimeTotalMicroseconds"] = sum(times)
        self.assertEqual(delta, expected)
        self.assertEqual(sum(delta[b] for b in BUCKET_NAMES),
                         delta["VornexScreened"])

    def test_concurrent_mix_counted_exactly(self):
        """8 clients sending 25 requests each, served by several processes,
        move every counter by exactly what the requests make."""
        before = self.counters()
        results, errors = {}, []

        def client(t):
            try:
                for i in range(t * self.per_thread,
                               (t + 1) * self.per_thread):
                    results[i] = self.send_mix(i)
            except Exception as e:  # reported by the test thread
                errors.append(e)

        workers = [threading.Thread(target=client, args=(t,), daemon=True)
                   for t in range(self.threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(300)
        self.assertFalse([w for w in workers if w.is_alive()])
        self.assertEqual(errors, [])
        self.assertEqual(len(results), self.threads * self.per_thread)
        after = self.counters()
        logged = self.log_lines("env.log", [n for _, n in results.values()],
                                ENV_LINE)
        for entry_size, n in results.values():
            self.assertEqual(logged[n].group("verdict"),
                             entry_size[0][0] or "-")
        self.assertGreaterEqual(
            len({m.group("pid") for m in logged.values()}), 2)
        self.assert_counted(self.delta(before, after),
                            [e for e, _ in results.values()], logged)

    def status_of(self, newer_than=None, generation=None):
        """The first status?auto served by a process of a generation newer
        than `newer_than`, or of `generation`: during a restart a process of
        the old one may still answer, or none at all."""
        deadline = time.monotonic() + 60
        while True:
            try:
                response = request(self.server.port, "GET",
                                   "/server-status?auto", timeout=10)
            except OSError:
                response = None
            if response is not None and response.status == 200:
                found = self.parse_status(response)
                got = found.get("ParentServerConfigGeneration", -1)
                if got == generation or (newer_than is not None
                                         and got > newer_than):
                    self.assertEqual(found["order"], COUNTERS)
                    return found
            self.assertLess(time.monotonic(), deadline,
                            "no process of the generation serves")
            time.sleep(0.1)

    def restart(self, signum):
        """Sends `signum` to the parent; returns the first status a process
        of the new generation serves, and the processes there were before
        (the old generation)."""
        generation = self.status()["ParentServerConfigGeneration"]
        old = set(child_pids(self.server.proc.pid))
        os.kill(self.server.proc.pid, signum)
        return self.status_of(newer_than=generation), old

    def count_from_zero(self, generation, old):
        """Sends the mix once, without CGI scripts, and checks that the
        counters of `generation` hold exactly what it made; a request that a
        process of the old generation (pids `old`) still took counts there,
        out of sight."""
        sent, ids = [], []
        for i in range(len(MIX)):
            entry, n = self.send_mix(i, static=True)
            sent.append(entry)
            ids.append(n)
        found = self.status_of(generation=generation)
        logged = self.log_lines("env.log", ids, ENV_LINE)
        new = [i for i, n in enumerate(ids)
               if int(logged[n].group("pid")) not in old]
        self.assert_counted({n: found[n] for n in COUNTERS},
                            [sent[i] for i in new],
                            {ids[i]: logged[ids[i]] for i in new})

    def test_restart_starts_counters_at_zero(self):
        """After a restart (SIGHUP) every counter reads zero, and counting
        goes on from there."""
        for i in range(len(MIX)):
            self.send_mix(i)
        self.assertGreater(self.counters()["VornexScreened"], 0)
        found, old = self.restart(signal.SIGHUP)
        self.assertEqual({n: found[n] for n in COUNTERS},
                         dict.fromkeys(COUNTERS, 0))
        self.count_from_zero(found["ParentServerConfigGeneration"], old)

    def test_graceful_restart_starts_counters_at_zero(self):
        """After a graceful restart every counter reads zero, a request that
        was in flight across it is not counted in the new generation, and
        counting goes on from zero."""
        for i in range(len(MIX)):
            self.send_mix(i)
        self.assertGreater(self.counters()["VornexScreened"], 0)
        hold = self.primary.reply
        hold.held.clear()
        hold.release.clear()
        target, held_id = tagged("/page.html?p=hold")
        in_flight = {}
        holder = threading.Thread(
            target=lambda: in_flight.update(response=request(
                self.server.port, "GET", target)), daemon=True)
        holder.start()
        try:
            self.assertTrue(hold.held.wait(60))
            found, old = self.restart(signal.SIGUSR1)
            self.assertEqual({n: found[n] for n in COUNTERS},
                             dict.fromkeys(COUNTERS, 0))
        finally:
            hold.release.set()
        holder.join(60)
        self.assertFalse(holder.is_alive())
        self.assertEqual(in_flight["response"].status, 200)
        held = self.log_lines("env.log", [held_id], ENV_LINE)[held_id]
        self.assertIn(int(held.group("pid")), old)
        self.assertEqual(held.group("verdict"), "pass")
        generation = found["ParentServerConfigGeneration"]
        after = self.status_of(generation=generation)
        self.assertEqual({n: after[n] for n in COUNTERS},
                         dict.fromkeys(COUNTERS, 0))
        self.count_from_zero(generation, old)


class EventCountingTest(CountingMixin, ServerTestCase):
    """Event MPM, three processes of four threads each."""

    mpm = "event"
    mpm_conf = EVENT_PROCESSES


class PreforkCountingTest(CountingMixin, ServerTestCase):
    """Prefork MPM, four to eight children."""

    mpm = "prefork"
    mpm_conf = PREFORK_PROCESSES


if __name__ == "__main__":
    main()
