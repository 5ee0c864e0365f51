"""Check servers that hold a check attempt as long as they can: each attempt
ends within its bound (9 s, or VornexTimeout), the request then gets the
secondary's verdict or is served unscreened with its body intact, and the
worker keeps no thread or descriptor; VornexRetry passes over a server that
failed; answers over the body or header-line cap fail the attempt."""

import os
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.apache import LOG_LINE, UNDER_VALGRIND  # noqa: E402
from testbed.bodies import ECHO_CGI, body_of, echo_line, sha256  # noqa: E402
from testbed.build import KEEP_ALIVE  # noqa: E402
from testbed.client import Response, request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.process import sole_worker  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402
import slow_servers  # noqa: E402
from slow_servers import (ClosedPort, HoldingServer, Unaccepting,  # noqa
                          silent, slow_reader, trickle)

RETRY = "Vornex API error: %s, will try with secondary server"
ERROR = "Vornex API error: %s"
MARKED = "Vornex server %s failed, not asked again for %d seconds"
ASKED = "Vornex server %s is asked again"
BOTH_MARKED = "Vornex API error: %s and %s marked as failed"
TIMED_OUT = "Connection timed out"
READ = "Failed to read connection"
WRITE = "Failed to write connection"
REFUSED = "Could not establish connection"
TOO_LARGE = "Answer body too large"
TOO_MANY = "Answer has too many header lines"

# The bound of one attempt without VornexTimeout, and the shorter one set
# for the second run of the fault table.
DEFAULT_LIMIT = 9.0
SHORT_LIMIT_MS = 2000
BOUNDS = (("default", None), ("VornexTimeout %d" % SHORT_LIMIT_MS,
                              SHORT_LIMIT_MS))
# Room on top of the attempts for the secondary, the script and a busy
# machine; never a lower or a tight bound.
FAILOVER_ROOM = 6.0
FAIL_OPEN_ROOM = 8.0
REQUEST_TIMEOUT = 90
# How long past its bound a request of the fault table waits for its answer.
GIVE_UP_ROOM = 15.0
# What the worker may hold on to after a batch: nothing of the module's, and
# a little for the server's own bookkeeping.
THREAD_SLACK = 1
FD_SLACK = 3
THREADS_PER_CHILD = 40
RETRY_SECONDS = 3
CHECK_BODY = 4 * 1024 * 1024
# Bytes a second: the kernel takes about 2 MiB of the check at once, the
# rest would take half a minute.
SLOW_READ_RATE = 64 * 1024
CAP = 4 * 1024 * 1024

# A status line that would take 45 s to arrive; headers and a body that
# never end. One byte a second keeps every single wait short: only the bound
# of the whole attempt can end them.
SLOW_STATUS = b"HTTP/1.1 200 " + b"S" * 30 + b"\r\n"
SLOW_HEADERS = (b"VX-X-Mitigation: inject\r\nVX-Via: primary\r\n"
                b"X-Padding: " + b"p" * 40 + b"\r\n")
LONG_BODY_HEAD = (b"HTTP/1.1 200 OK\r\nVX-X-Mitigation: challenge\r\n"
                  b"VX-Via: primary\r\nContent-Length: 1048576\r\n"
                  b"Connection: close\r\n\r\n")


def slow_reading_server():
    # A small receive buffer keeps the window small, so the module's sends
    # wait on the reader rather than on the kernel's buffers.
    return HoldingServer(slow_reader(SLOW_READ_RATE), rcvbuf=4096)


# name, server factory, body size, failure texts (default bound, short one)
FAULTS = [
    # A silent server ends a single 3-second wait under the default bound;
    # under the short bound that wait is the whole attempt.
    ("accepts and stays silent", lambda: HoldingServer(silent), 5000,
     (READ,), (TIMED_OUT,)),
    ("trickles the status line",
     lambda: HoldingServer(trickle(b"", SLOW_STATUS)), 5000,
     (TIMED_OUT,), (TIMED_OUT,)),
    ("trickles the headers",
     lambda: HoldingServer(trickle(b"HTTP/1.1 200 OK\r\n", SLOW_HEADERS)),
     5000, (TIMED_OUT,), (TIMED_OUT,)),
    ("trickles a 1 MiB body",
     lambda: HoldingServer(trickle(LONG_BODY_HEAD, b"x" * 60)), 5000,
     (TIMED_OUT,), (TIMED_OUT,)),
    # Paced so that each wait to send ends well under 3 s and only the
    # whole attempt runs out; a reader starved on a busy machine may let a
    # single 3-second wait run out first. Under the short bound any wait
    # that runs out is the end of the attempt.
    ("reads a 4 MiB check a byte at a time", slow_reading_server,
     CHECK_BODY, (TIMED_OUT, WRITE), (TIMED_OUT,)),
    # Connecting is a single wait: 3 s, or the short bound.
    ("never accepts (accept queue full)", Unaccepting, 5000,
     (TIMED_OUT,), (TIMED_OUT,)),
]


def case_id(name):
    return "".join(c if c.isalnum() else "-" for c in name.lower())


def log_entries(path, mark=0):
    """(level, message) of the module's warning and error lines in a virtual
    host's error log from byte `mark` on, but for what the configuration
    load said of its addresses (in a TLS run, how each https:// one is
    read)."""
    try:
        with open(path, "rb") as f:
            f.seek(mark)
            text = f.read().decode(errors="replace")
    except OSError:
        return []
    found = []
    for line in text.splitlines():
        m = LOG_LINE.match(line)
        if (m and m.group(1) == "vornex" and m.group(2) in ("warn", "error")
                and not m.group(4).startswith("Vornex reads ")):
            found.append((m.group(2), m.group(4)))
    return found


def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def usage(pid):
    """(threads, descriptors) of a process."""
    return (len(os.listdir("/proc/%d/task" % pid)),
            len(os.listdir("/proc/%d/fd" % pid)))


class VirtualHost:
    """One port of the server under test with its own check servers and its
    own error log."""

    def __init__(self, name, port, log, primary, secondary, directives=()):
        self.name = name
        self.port = port
        self.log = log
        self.primary = primary
        self.secondary = secondary
        self.directives = list(directives)

    def conf(self):
        return "\n".join(
            ["<VirtualHost %s:%d>" % (LOOPBACK, self.port),
             "ErrorLog %s" % self.log,
             "VornexPrimaryServer %s" % self.primary.address,
             "VornexSecondaryServer %s" % self.secondary.address]
            + self.directives + ["</VirtualHost>"])


class Row:
    """One fault under one bound, with a working secondary (failover) or a
    second server with the same fault (fail-open)."""

    def __init__(self, fault, bound, mode, host):
        self.name, _, self.size, default_texts, short_texts = fault
        self.bound_name, limit_ms = bound
        self.mode = mode
        self.host = host
        self.texts = default_texts if limit_ms is None else short_texts
        limit = DEFAULT_LIMIT if limit_ms is None else limit_ms / 1000.0
        self.held_bound = (limit + FAILOVER_ROOM if mode == "failover"
                           else 2 * limit + FAIL_OPEN_ROOM)
        self.target = "/cgi-bin/echo.py?row=%s" % host.name

    def hostile(self):
        """The hostile servers of the row, which must each have been asked
        once, when they can count."""
        servers = [self.host.primary]
        if self.mode == "fail-open":
            servers.append(self.host.secondary)
        return [s for s in servers if isinstance(s, HoldingServer)]


def challenge(page):
    return check_reply(200, [("VX-X-Mitigation", "challenge"),
                             ("VX-Via", "primary")], body=page)


def header_lines(count):
    """An inject answer of exactly `count` header lines, the lines
    check_reply adds (Content-Length, and Connection unless in a keep-alive
    run) included."""
    fixed = [("VX-X-Mitigation", "inject"), ("VX-Via", "primary")]
    added = 1 if KEEP_ALIVE else 2
    return check_reply(200, fixed + [("X-Filler-%d" % i, str(i)) for i in
                                     range(count - len(fixed) - added)])


PAGE_AT_CAP = body_of(CAP, seed=40)
# name, answer, status and body when the verdict is enforced (None: fails)
CAPS = [
    ("page one byte over the cap", challenge(b"o" * (CAP + 1)), None),
    ("page of 16 MiB", challenge(b"o" * (16 * 1024 * 1024)), None),
    ("page at the cap", challenge(PAGE_AT_CAP), (403, PAGE_AT_CAP)),
    ("2000 header lines", header_lines(2000), None),
    ("1001 header lines", header_lines(1001), None),
    ("1000 header lines", header_lines(1000), (200, None)),
    ("300 header lines", header_lines(300), (200, None)),
]
CAP_REPLIES = {case_id(name): reply for name, reply, _ in CAPS}


def cap_reply(check):
    target = check.target_line().split(" ")[1]
    return CAP_REPLIES[target.rsplit("case=", 1)[1]]


@unittest.skipIf(UNDER_VALGRIND,
                 "bounds on time mean nothing under memcheck")
class DeadlineTest(ServerTestCase):
    """One event-MPM worker process serving every virtual host: the fault
    table under both bounds, a 200 ms bound, VornexRetry with a dead primary
    or two, and the answer caps."""

    @classmethod
    def setUpClass(cls):
        cls.held = []
        cls.usage_notes = []
        cls.good = cls.scripted_check_server()
        cls.good.reply = check_reply(
            200, [("VX-X-Mitigation", "inject"), ("VX-Via", "secondary")])
        hosts = []

        def host(name, primary, secondary, directives=()):
            hosts.append((name, primary, secondary, directives))

        owned = []
        cls.addClassCleanup(slow_servers.close_all, owned)

        def own(server):
            owned.append(server)
            return server

        planned = []
        for bound in BOUNDS:
            limit = [] if bound[1] is None else [
                "VornexTimeout %d" % bound[1]]
            for fault in FAULTS:
                make = fault[1]
                for mode in ("failover", "fail-open"):
                    second = (cls.good if mode == "failover"
                              else own(make()))
                    name = "%s-%s-%s" % (
                        "default" if bound[1] is None else "short",
                        case_id(fault[0]), mode)
                    host(name, own(make()), second, limit)
                    planned.append((fault, bound, mode, name))
        cls.silent_200 = own(HoldingServer(silent))
        host("timeout-200", cls.silent_200, cls.good, ["VornexTimeout 200"])
        host("timeout-6000", own(HoldingServer(silent)), cls.good,
             ["VornexTimeout 6000"])
        retry = ["VornexRetry %d" % RETRY_SECONDS]
        cls.closed = own(ClosedPort())
        host("retry-closed", cls.closed, cls.good, retry)
        cls.counting = own(HoldingServer(silent))
        host("retry-silent", cls.counting, cls.good,
             retry + ["VornexTimeout 500"])
        cls.closed_a = own(ClosedPort())
        cls.closed_b = own(ClosedPort())
        host("retry-both", cls.closed_a, cls.closed_b, retry)
        # Failures of an answer never mark a server: with VornexRetry set,
        # each cap row must still ask the primary.
        cls.capped = cls.scripted_check_server()
        cls.capped.reply = cap_reply
        cls.capped_too = cls.scripted_check_server()
        cls.capped_too.reply = cap_reply
        host("caps-failover", cls.capped, cls.good, ["VornexRetry 60"])
        host("caps-fail-open", cls.capped, cls.capped_too, ["VornexRetry 60"])

        s = cls.server = cls.apache(mpm="event", ports=len(hosts) + 1)
        cls.hosts = {}
        for (name, primary, secondary, directives), port in zip(
                hosts, s.ports[1:]):
            cls.hosts[name] = VirtualHost(
                name, port, os.path.join(s.root, "logs", name + ".log"),
                primary, secondary, directives)
        cls.rows = [Row(fault, bound, mode, cls.hosts[name])
                    for fault, bound, mode, name in planned]
        # One worker process, so that its threads, descriptors and marks
        # are the ones the tests look at.
        conf = ["StartServers 1", "ServerLimit 1",
                "ThreadsPerChild %d" % THREADS_PER_CHILD,
                "ThreadLimit %d" % THREADS_PER_CHILD,
                "MaxRequestWorkers %d" % THREADS_PER_CHILD,
                "MinSpareThreads 1",
                "MaxSpareThreads %d" % (2 * THREADS_PER_CHILD),
                "MaxConnectionsPerChild 0",
                "VornexCheck On",
                "VornexPrimaryServer %s" % cls.good.address,
                "VornexSecondaryServer %s" % cls.good.address]
        conf += [h.conf() for h in cls.hosts.values()]
        s.configure("\n".join(conf))
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()
        # Whatever the worker sets up on its first screened requests (a
        # failover included) is in place before any count is taken.
        for _ in range(2):
            request(s.port, "POST", "/cgi-bin/echo.py", body=b"warm up")
        request(cls.hosts["timeout-200"].port, "POST", "/cgi-bin/echo.py",
                body=b"warm up")
        cls.good.take()

    @classmethod
    def tearDownClass(cls):
        sys.stderr.write("\nworst hold per fault (s):\n")
        for name, where, status, elapsed, logged in cls.held:
            sys.stderr.write("  %6.2f  %3s  %-30s %-38s %s\n"
                             % (elapsed, status, where, name,
                                " | ".join(logged)))
        for line in cls.usage_notes:
            sys.stderr.write("  %s\n" % line)
        super().tearDownClass()

    # ---- helpers ---------------------------------------------------------

    def worker(self):
        """The pid of the server's one worker process."""
        return sole_worker(self.server.proc.pid)

    def assert_nothing_left(self, pid, before):
        """Waits until the worker is back to `before` (threads, descriptors)
        within the slack; fails if it is not within 20 s."""
        deadline = time.monotonic() + 20
        while True:
            now = usage(pid)
            if (now[0] <= before[0] + THREAD_SLACK
                    and now[1] <= before[1] + FD_SLACK):
                break
            if time.monotonic() > deadline:
                self.fail("worker %d holds (threads, descriptors) %r, "
                          "%r before" % (pid, now, before))
            time.sleep(0.2)
        self.assertEqual(self.worker(), pid)
        return now

    def post(self, host, data, target="/cgi-bin/echo.py"):
        """One screened POST to a virtual host: (response, seconds held,
        the module's log entries it caused)."""
        mark = log_size(host.log)
        start = time.monotonic()
        response = request(host.port, "POST", target, body=data,
                           timeout=REQUEST_TIMEOUT)
        held = time.monotonic() - start
        return response, held, log_entries(host.log, mark)

    def note(self, name, where, status, held, logged):
        self.held.append((name, where, status, held,
                          [message for _, message in logged]))

    def good_checks(self):
        """{target: [check]} of the checks the good server received."""
        found = {}
        for check in self.good.take():
            target = check.target_line().split(" ")[1]
            found.setdefault(target, []).append(check)
        return found

    # ---- hostile servers -------------------------------------------------

    def run_fault_table(self, bound_name):
        rows = [row for row in self.rows if row.bound_name == bound_name]
        data = {row.host.name: body_of(row.size, seed=i)
                for i, row in enumerate(rows)}
        pid = self.worker()
        before = usage(pid)
        self.good.take()

        # A request past its bound gives up on its own a while later, so
        # that a module without a deadline fails the row, not the suite.
        def job(row):
            return lambda: request(row.host.port, "POST", row.target,
                                   body=data[row.host.name],
                                   timeout=row.held_bound + GIVE_UP_ROOM)
        results = slow_servers.run_concurrently(
            [job(row) for row in rows],
            max(row.held_bound for row in rows) + 2 * GIVE_UP_ROOM)
        checks = self.good_checks()
        for index, row in enumerate(rows):
            with self.subTest(fault=row.name, mode=row.mode):
                where = "%s, %s" % (bound_name, row.mode)
                response, held = results.get(index, (None, None))
                logged = log_entries(row.host.log)
                if not isinstance(response, Response):
                    self.note(row.name, where, "---", held or 0.0, logged)
                    self.fail("no answer: %r" % (response,))
                self.note(row.name, where, response.status, held, logged)
                sent = data[row.host.name]
                self.assertEqual((response.status, response.body),
                                 (200, echo_line(sent)))
                self.assertLess(held, row.held_bound)
                for server in row.hostile():
                    self.assertEqual(server.accepted(1), 1)
                if row.mode == "failover":
                    self.assertIn(logged, [[("warn", RETRY % text)]
                                           for text in row.texts])
                    self.assertEqual(response.values("Via"), ["secondary"])
                    got = checks.get(row.target, [])
                    self.assertEqual(len(got), 1)
                    self.assertEqual(sha256(got[0].screened_body()),
                                     sha256(sent))
                else:
                    self.assertIn(logged, [[("warn", RETRY % text),
                                            ("error", ERROR % text)]
                                           for text in row.texts])
                    self.assertEqual(response.values("Via"), [])
                    self.assertNotIn(row.target, checks)
        after = self.assert_nothing_left(pid, before)
        self.usage_notes.append("%s: worker (threads, descriptors) %r "
                                "before, %r after" % (bound_name, before,
                                                      after))
        self.assert_no_crash(self.server)

    def test_hostile_servers_end_within_default_bound(self):
        """Without VornexTimeout, each hostile server is given up within 9 s
        per attempt: the secondary's verdict or the unscreened script answers
        with the whole body, and the worker keeps no thread or
        descriptor."""
        self.run_fault_table("default")

    def test_hostile_servers_end_within_configured_timeout(self):
        """With VornexTimeout 2000, each hostile server is given up within
        2 s per attempt with "Connection timed out", and the request is
        answered as under the default bound."""
        self.run_fault_table(BOUNDS[1][0])

    def test_200_ms_timeout_fails_over_at_once(self):
        """VornexTimeout 200 with a silent primary: the secondary's verdict
        comes in well under a second (bound: 3 s)."""
        host = self.hosts["timeout-200"]
        self.good.take()
        asked = self.silent_200.accepted()
        worst = 0.0
        for i in range(3):
            data = body_of(3000, seed=200 + i)
            response, held, logged = self.post(host, data)
            worst = max(worst, held)
            self.assertEqual((response.status, response.body),
                             (200, echo_line(data)))
            self.assertEqual(response.values("Via"), ["secondary"])
            self.assertEqual(logged, [("warn", RETRY % TIMED_OUT)])
            self.assertLess(held, 3.0)
        self.note("accepts and stays silent", "VornexTimeout 200, failover",
                  200, worst, logged)
        self.assertEqual(self.silent_200.accepted(asked + 3), asked + 3)
        self.assertEqual(len(self.good.take()), 3)

    def test_timeout_over_3_s_still_bounds_each_wait_by_3_s(self):
        """VornexTimeout 6000 with a silent primary: the wait for the answer
        runs out after 3 s, before the attempt's bound, as "Failed to read
        connection"."""
        data = body_of(3000, seed=260)
        response, held, logged = self.post(self.hosts["timeout-6000"], data)
        self.note("accepts and stays silent", "VornexTimeout 6000, failover",
                  response.status, held, logged)
        self.assertEqual((response.status, response.body),
                         (200, echo_line(data)))
        self.assertEqual(response.values("Via"), ["secondary"])
        self.assertEqual(logged, [("warn", RETRY % READ)])
        self.assertLess(held, 6.0 + FAILOVER_ROOM)

    # ---- VornexRetry -----------------------------------------------------

    def assert_passed_over_until_period_ends(self, host, text):
        """The first request fails at the primary and marks it; requests in
        the period go to the secondary alone; the first one after it asks
        the primary again, which fails and is marked again. Returns how many
        requests were made."""
        address = host.primary.address
        self.good.take()
        start = time.monotonic()
        data = body_of(2000, seed=300)
        response, held, logged = self.post(host, data)
        self.note("primary %s" % host.name, "VornexRetry, first", 200, held,
                  logged)
        self.assertEqual((response.status, response.body),
                         (200, echo_line(data)))
        self.assertEqual(response.values("Via"), ["secondary"])
        self.assertEqual(logged, [("warn", RETRY % text),
                                  ("warn", MARKED % (address, RETRY_SECONDS))])
        made = 1
        within = 0
        deadline = start + RETRY_SECONDS + 30
        while True:
            self.assertLess(time.monotonic(), deadline,
                            "%s was never asked again" % address)
            data = body_of(1000 + made, seed=300 + made)
            response, held, logged = self.post(host, data)
            made += 1
            self.assertEqual((response.status, response.body),
                             (200, echo_line(data)))
            self.assertEqual(response.values("Via"), ["secondary"])
            if logged:
                break
            # Answered before the period could have ended: the mark was set
            # after `start`.
            if time.monotonic() < start + RETRY_SECONDS:
                within += 1
            time.sleep(0.1)
        self.assertEqual(logged, [("warn", ASKED % address),
                                  ("warn", RETRY % text),
                                  ("warn", MARKED % (address, RETRY_SECONDS))])
        self.assertGreater(within, 0)
        self.assertEqual(len(self.good.take()), made)
        return made

    def test_retry_passes_over_unreachable_primary_for_period(self):
        """VornexRetry 3 with a closed port as primary: after the first
        failure the requests go straight to the secondary without a warning,
        until the period ends and the primary is asked again."""
        self.assert_passed_over_until_period_ends(
            self.hosts["retry-closed"], REFUSED)

    def test_retry_makes_no_attempt_at_marked_primary(self):
        """VornexRetry 3 with a silent primary (VornexTimeout 500): while it
        is marked, not one connection reaches it; after the period exactly
        one does."""
        asked = self.counting.accepted()
        self.assert_passed_over_until_period_ends(
            self.hosts["retry-silent"], TIMED_OUT)
        self.assertEqual(self.counting.accepted(asked + 2), asked + 2)

    def test_retry_with_both_marked_serves_unscreened_at_once(self):
        """With both servers marked, the request is served unscreened at once
        with the "marked as failed" error line, and the script gets the
        whole body."""
        host = self.hosts["retry-both"]
        a, b = host.primary.address, host.secondary.address
        data = body_of(70000, seed=400)
        response, held, logged = self.post(host, data)
        self.note("both unreachable", "VornexRetry, first", response.status,
                  held, logged)
        self.assertEqual((response.status, response.body),
                         (200, echo_line(data)))
        self.assertEqual(logged, [("warn", RETRY % REFUSED),
                                  ("warn", MARKED % (a, RETRY_SECONDS)),
                                  ("error", ERROR % REFUSED),
                                  ("warn", MARKED % (b, RETRY_SECONDS))])
        data = body_of(70001, seed=401)
        response, held, logged = self.post(host, data)
        self.note("both unreachable", "VornexRetry, both marked",
                  response.status, held, logged)
        self.assertEqual((response.status, response.body),
                         (200, echo_line(data)))
        self.assertEqual(logged, [("error", BOTH_MARKED % (a, b))])
        self.assertLess(held, 3.0)

    # ---- answer caps -----------------------------------------------------

    def test_answers_over_caps_fail_over_and_at_caps_are_enforced(self):
        """A challenge page one byte over 4 MiB or an answer of more than
        1000 header lines fails the attempt (failover, then fail-open, never
        a mark); exactly 4 MiB and exactly 1000 lines are enforced."""
        failover = self.hosts["caps-failover"]
        fail_open = self.hosts["caps-fail-open"]
        for name, _, enforced in CAPS:
            target = "/cgi-bin/echo.py?case=%s" % case_id(name)
            hosts = [failover] if enforced else [failover, fail_open]
            for host in hosts:
                with self.subTest(answer=name, host=host.name):
                    # A row that failed half way leaves nothing to the next.
                    for server in (self.good, self.capped, self.capped_too):
                        server.take()
                    data = body_of(5000, seed=len(name))
                    response, held, logged = self.post(host, data, target)
                    self.note(name, host.name, response.status, held, logged)
                    self.assertEqual(len(self.capped.take()), 1)
                    if enforced:
                        status, page = enforced
                        self.assertEqual(response.status, status)
                        self.assertEqual(
                            sha256(response.body),
                            sha256(echo_line(data) if page is None
                                   else page))
                        self.assertEqual(response.values("Via"),
                                         ["primary"])
                        self.assertEqual(logged, [])
                        self.assertEqual(self.good.take(), [])
                        continue
                    text = TOO_LARGE if "page" in name else TOO_MANY
                    self.assertEqual((response.status, response.body),
                                     (200, echo_line(data)))
                    if host is failover:
                        self.assertEqual(logged, [("warn", RETRY % text)])
                        self.assertEqual(response.values("Via"),
                                         ["secondary"])
                        self.assertEqual(len(self.good.take()), 1)
                    else:
                        self.assertEqual(logged, [("warn", RETRY % text),
                                                  ("error", ERROR % text)])
                        self.assertEqual(response.values("Via"), [])
                        self.assertEqual(len(self.capped_too.take()), 1)
        self.assert_no_crash(self.server)


if __name__ == "__main__":
    main()
