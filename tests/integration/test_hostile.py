"""Check servers that misbehave on the wire: every fault ends in the
secondary's verdict or in the request served unscreened, with its body intact,
a well-formed response head and no crashed worker."""

import fcntl
import gzip
import os
import re
import socket
import struct
import sys
import termios
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.apache import UNDER_VALGRIND  # noqa: E402
from testbed.bodies import ECHO_CGI, body_of, echo_line, sha256  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK, LoopbackServer  # noqa: E402
from testbed.process import proc_status, sole_worker  # noqa: E402
from testbed.scripted import check_reply, read_check_request  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402
from testbed.tls import check_context  # noqa: E402

READ = "Failed to read connection"
# A check body that cannot be written out.
UNWRITABLE = ("Failed to write connection",)
# Answers over the caps on the body (4 MiB) and on header lines (1000).
TOO_LARGE = "Answer body too large"
TOO_MANY_HEADERS = "Answer has too many header lines"
# An answer whose head is over 1 MiB.
HEAD_TOO_LARGE = "Answer headers too large"
ANSWER_CAP = 4 * 1024 * 1024
RETRY = "Vornex API error: %s, will try with secondary server"
ERROR = "Vornex API error: %s"
# Generous bound on one client request; the module's own waits are 3 s each.
REQUEST_TIMEOUT = 120
# Loose bound on how long one request holds its worker: the module gives up
# an attempt within 9 s, so two attempts take at most about 18 s; the rest is
# room for a busy machine.
HELD_BOUND = 45
# How long a hostile server holds a connection the module does not close:
# past HELD_BOUND, so that a module that waited for the server to let go
# would break the bound. A module that gives up closes the connection, which
# ends the hold at once.
HOLD = 60
TOKEN_LINE = re.compile(rb"^[!#$%&'*+\-.^_`|~0-9A-Za-z]+:[^\r\n]*$")


# ---- scripted check servers ----------------------------------------------

def wait_for_close(conn, limit=HOLD):
    """Holds the connection, discarding anything sent, until the module
    closes it (or `limit` seconds pass)."""
    conn.settimeout(limit)
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def reset(conn):
    """Closes with a TCP reset instead of an orderly shutdown."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                    struct.pack("ii", 1, 0))
    conn.close()


def answer(raw):
    """Reads the request, sends `raw` at once and closes in order."""
    def behave(conn, stop):
        read_check_request(conn)
        conn.sendall(raw)
        conn.shutdown(socket.SHUT_WR)
        wait_for_close(conn, 5)
    return behave


def silent(conn, stop):
    read_check_request(conn)
    wait_for_close(conn)


def never_reads(conn, stop):
    # The request stays unread in the socket buffers until the module's
    # write gives up.
    stop.wait(HOLD)


def wait_delivered(conn, limit=20):
    """Waits until the module's side has acknowledged every byte sent on
    `conn` (or `limit` seconds pass)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        unsent = fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, b"\0" * 4)
        if struct.unpack("i", unsent)[0] == 0:
            return
        time.sleep(0.01)


def closes_before_status(conn, stop):
    read_check_request(conn)
    conn.close()


def resets_before_status(conn, stop):
    read_check_request(conn)
    reset(conn)


def stalls(raw):
    """Sends `raw` and then nothing more, holding the connection open."""
    def behave(conn, stop):
        read_check_request(conn)
        conn.sendall(raw)
        wait_for_close(conn)
    return behave


def endless(head, filler):
    """Sends `head`, then `filler` again and again for as long as the
    module takes it (until it closes the connection, the server stops or
    HOLD seconds pass)."""
    block = filler * max(1, 65536 // len(filler))

    def behave(conn, stop):
        read_check_request(conn)
        conn.settimeout(HOLD)
        conn.sendall(head)
        deadline = time.monotonic() + HOLD
        while not stop.is_set() and time.monotonic() < deadline:
            conn.sendall(block)
    return behave


def resets_after(raw):
    """Sends `raw` and resets the connection once it has reached the
    module."""
    def behave(conn, stop):
        read_check_request(conn)
        conn.sendall(raw)
        wait_delivered(conn)
        reset(conn)
    return behave


def trickles(slow, fast, gap):
    """Sends `slow` one byte every `gap` seconds, then `fast` at once."""
    def behave(conn, stop):
        read_check_request(conn)
        for i in range(len(slow)):
            if i and stop.wait(gap):
                return
            conn.sendall(slow[i:i + 1])
        conn.sendall(fast)
        conn.shutdown(socket.SHUT_WR)
        wait_for_close(conn, 5)
    return behave


class Replaying:
    """A TLS connection whose first bytes were read to find the case: recv
    gives them once more before it reads on; all else is the connection's."""

    def __init__(self, conn, first):
        self._conn = conn
        self._first = first

    def recv(self, size):
        if self._first:
            piece, self._first = self._first[:size], self._first[size:]
            return piece
        return self._conn.recv(size)

    def __getattr__(self, name):
        return getattr(self._conn, name)


class HostileServer(LoopbackServer):
    """A check server on loopback that picks its behaviour from the `case`
    query parameter of the screened request, which it peeks at in the check
    body without consuming anything; over TLS (in a TLS run), where nothing
    can be peeked at, it reads as far as the case and hands the behaviour a
    connection that gives those bytes again."""

    CASE = re.compile(rb"\r\n\r\n[A-Z]+ [^ ?]*\?case=([\w-]+)[ &]")

    def __init__(self, behaviours):
        self.behaviours = behaviours
        self.seen = []
        super().__init__(tls=check_context())

    def _case_over_tls(self, conn):
        """The case and the bytes read to find it."""
        deadline = time.monotonic() + 30
        seen = b""
        while time.monotonic() < deadline:
            m = self.CASE.search(seen)
            if m:
                return m.group(1).decode(), seen
            piece = conn.recv(65536)
            if not piece:
                break
            seen += piece
        return None, seen

    def _case(self, conn):
        deadline = time.monotonic() + 30
        seen = b""
        while time.monotonic() < deadline:
            peeked = conn.recv(65536, socket.MSG_PEEK)
            m = self.CASE.search(peeked)
            if m:
                return m.group(1).decode()
            if not peeked:
                return None
            if peeked == seen:
                time.sleep(0.01)
            seen = peeked
        return None

    def _serve(self, conn):
        try:
            conn.settimeout(20)
            if self.tls:
                case, first = self._case_over_tls(conn)
                conn = Replaying(conn, first)
            else:
                case = self._case(conn)
            with self._lock:
                self.seen.append(case)
            behave = self.behaviours.get(case)
            if behave:
                behave(conn, self._stop)
        except OSError:
            pass
        finally:
            conn.close()

    def take(self):
        """The cases asked for since the last take."""
        with self._lock:
            taken, self.seen = self.seen, []
        return taken


# ---- the fault table -------------------------------------------------------

class Fails:
    """The check call fails with one of `texts` (the library's error text, or
    the answer's body for an unaccepted status)."""

    def __init__(self, *texts):
        self.texts = texts


class Verdict:
    """The module accepts the answer and enforces its verdict."""

    def __init__(self, status, present=(), absent=(), body=None, count=None):
        self.status = status
        self.present = list(present)
        self.absent = list(absent)
        self.body = body  # None: the echo line of the request's body
        self.count = count  # (name prefix, how many headers carry it)


def head(status_line, headers=()):
    out = status_line
    for h in headers:
        out += (h if isinstance(h, bytes) else h.encode("latin-1")) + b"\r\n"
    return out + b"\r\n"


def inject(*more):
    return ("VX-X-Mitigation: inject", "VX-Via: primary") + more


def challenge(*more):
    return ("VX-X-Mitigation: challenge", "VX-Via: primary") + more


def with_length(status_line, headers, body):
    return head(status_line, headers + ("Content-Length: %d" % len(body),
                                        "Connection: close")) + body


OK = b"HTTP/1.1 200 OK\r\n"
PAGE = b"<p>primary page</p>"
BIG = body_of(50 * 1024 * 1024, seed=50)
GZIPPED = gzip.compress(b"<p>" + b"inflate me " * 2000 + b"</p>")
MANY_HEADERS = 10000
ODD_NAMES = (b"VX-: empty name", b"VX-A B: space", b"VX-A\x01B: control",
             b"VX-A\rB: carriage return", b"VX-A\x7f: delete",
             b"VX-\xe9t\xe9: latin-1", b"VX-(x): parenthesis",
             b"VX-Tab\tName: tab", b"VX-A : space before colon",
             b"VX-\"q\": quote", b"VX-A\x00B: NUL")
# The names the client would see, were they copied; "A" is what a name cut
# at its NUL byte would become.
ODD_REST = [n[3:].split(b":", 1)[0].decode("latin-1")
            for n in ODD_NAMES] + ["A"]
# Names are never percent-decoded: this one is a valid token as it stands.
ESCAPED_NAME = ("VX-A%0D%0AB: escaped", ("A%0D%0AB", "escaped"))
VIA = [("Via", "primary")]
INVALID_STATUS_LINES = (
    ("status line without code", b"HTTP/1.1 OK\r\n"),
    ("status line of another protocol", b"HTTX/1.1 200 OK\r\n"),
    ("status line of words", b"hello there\r\n"),
    ("status line with two-digit code", b"HTTP/1.1 20 OK\r\n"),
    ("status line with four-digit code", b"HTTP/1.1 2000 OK\r\n"),
    ("empty status line", b"\r\n"),
)

# name, behaviour of the check server, expected outcome, body size
FAULTS = [
    ("accepts and never answers", silent, Fails(READ), 5000),
    ("accepts and never reads a large check", never_reads, Fails(*UNWRITABLE),
     16 * 1024 * 1024),
    ("closes before the status line", closes_before_status, Fails(READ),
     5000),
    ("resets before the status line", resets_before_status, Fails(READ),
     5000),
    ("stalls after the headers",
     stalls(head(OK, challenge("Content-Length: 100")) + b"0123456789"),
     Fails(READ), 5000),
    ("stalls inside the headers",
     stalls(OK + b"VX-X-Mitigation: inject\r\nVX-Via: pri"), Fails(READ),
     5000),
    ("resets in the middle of the body",
     resets_after(head(OK, challenge("Content-Length: 1000")) + b"x" * 500),
     Fails(READ), 5000),
] + [
    (name, answer(with_length(line, inject(), PAGE)), Fails(READ), 3000)
    for name, line in INVALID_STATUS_LINES
] + [
    ("status code that means nothing",
     answer(with_length(b"HTTP/1.1 999 Odd\r\n", (), b"odd status")),
     Fails("odd status"), 3000),
    ("HTTP/1.0 answer without length",
     answer(head(b"HTTP/1.0 200 OK\r\n", inject()) + PAGE),
     Verdict(200, VIA), 3000),
    ("100 Continue before the answer",
     answer(b"HTTP/1.1 100 Continue\r\n\r\n"
            + with_length(OK, inject(), PAGE)),
     Verdict(200, VIA), 3000),
    ("Content-Length and Transfer-Encoding together",
     answer(head(OK, challenge("Content-Length: 3",
                               "Transfer-Encoding: chunked"))
            + b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"),
     Verdict(403, VIA, body=b"hello world"), 3000),
    ("Content-Length longer than what follows",
     answer(head(OK, challenge("Content-Length: 100")) + b"only ten.."),
     Fails(READ), 3000),
    ("Content-Length shorter than what follows",
     answer(head(OK, challenge("Content-Length: 5")) + b"short and more"),
     Verdict(403, VIA, body=b"short"), 3000),
    ("10 000 headers",
     answer(with_length(OK, inject(*("X-Filler-%d: %d" % (i, i)
                                     for i in range(MANY_HEADERS))), PAGE)),
     Fails(TOO_MANY_HEADERS), 3000),
    ("10 000 challenge headers",
     answer(with_length(OK, inject(*("VX-Many-%05d: %d" % (i, i)
                                     for i in range(MANY_HEADERS))), PAGE)),
     Fails(TOO_MANY_HEADERS), 3000),
    ("900 challenge headers, under the cap of 1000 lines",
     answer(with_length(OK, inject(*("VX-Many-%05d: %d" % (i, i)
                                     for i in range(900))), PAGE)),
     Verdict(200, [("Many-00000", "0"), ("Many-00899", "899")] + VIA,
             count=("Many-", 900)), 3000),
    ("header line over 8192 bytes",
     answer(with_length(OK, inject("VX-Big: " + "b" * 9000), PAGE)),
     Fails(READ), 3000),
    ("50 MiB body with inject",
     answer(with_length(OK, inject(), BIG)), Fails(TOO_LARGE), 3000),
    ("4 MiB + 1 challenge page",
     answer(with_length(OK, challenge(), BIG[:ANSWER_CAP + 1])),
     Fails(TOO_LARGE), 3000),
    ("4 MiB challenge page, at the cap",
     answer(with_length(OK, challenge(), BIG[:ANSWER_CAP])),
     Verdict(403, VIA, body=BIG[:ANSWER_CAP]), 3000),
    ("gzip body with inject",
     answer(with_length(OK, inject("Content-Encoding: gzip"), GZIPPED)),
     Verdict(200, VIA), 3000),
    ("gzip challenge page stays compressed",
     answer(with_length(OK, challenge("Content-Encoding: gzip"), GZIPPED)),
     Verdict(403, VIA, absent=["Content-Encoding"], body=GZIPPED), 3000),
    ("escaped CR LF in a challenge header",
     answer(with_length(OK, challenge("VX-Set-Cookie: a%0D%0AX-Evil: 1"),
                        PAGE)), Fails(READ), 3000),
    ("escaped LF in lower case",
     answer(with_length(OK, inject("VX-A: a%0aX-Evil: 1"), PAGE)),
     Fails(READ), 3000),
    ("escaped CR alone",
     answer(with_length(OK, inject("VX-A: a%0DX-Evil: 1"), PAGE)),
     Fails(READ), 3000),
    ("escaped NUL in the keyword",
     answer(with_length(OK, ("VX-X-Mitigation: challenge%00",), PAGE)),
     Fails(READ), 3000),
    ("escaped CR LF in the redirect target",
     answer(with_length(OK, ("VX-X-Mitigation: redirect",
                             "VX-Location: /next%0D%0AX-Evil: 1"), PAGE)),
     Fails(READ), 3000),
    ("bare CR inside a value",
     answer(with_length(OK, inject(b"VX-A: a\rX-Evil: 1"), PAGE)),
     Fails(READ), 3000),
    ("challenge header names with odd bytes",
     answer(with_length(OK, challenge(b"VX-Good: yes", ESCAPED_NAME[0],
                                      *ODD_NAMES), PAGE)),
     Verdict(403, [ESCAPED_NAME[1], ("Good", "yes")] + VIA, absent=ODD_REST,
             body=PAGE), 3000),
    ("injected header names with odd bytes",
     answer(with_length(OK, inject(b"VX-Good: yes", *ODD_NAMES), PAGE)),
     Verdict(200, [("Good", "yes")] + VIA, absent=ODD_REST), 3000),
]

# The first ten bytes of the status line at one byte every half second, then
# the rest at once: the answer takes 4.5 s or more, longer than one 3-second
# wait, while no single wait comes near 3 s and the whole attempt stays far
# inside its 9-second bound.
TRICKLE = trickles(b"HTTP/1.1 2",
                   b"00 Slow!\r\n"
                   + head(b"", inject("VX-Trickled: yes",
                                      "Content-Length: %d" % len(PAGE),
                                      "Connection: close")) + PAGE,
                   gap=0.5)


def case_id(name):
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


def head_problems(raw_head):
    """Header lines of a raw response head that hold CR, LF or a name that is
    not a token."""
    lines = raw_head[:-4].split(b"\r\n")[1:]
    return [line for line in lines if not TOKEN_LINE.match(line)]


class HostileCheckServerTest(ServerTestCase):
    """One hostile check server as primary for two virtual hosts: one with a
    working secondary (which injects "Via: secondary"), one whose secondary is
    a second hostile server behaving the same way."""

    @classmethod
    def setUpClass(cls):
        behaviours = {case_id(name): behave for name, behave, _, _ in FAULTS}
        behaviours["trickle"] = TRICKLE
        cls.hostile = HostileServer(behaviours)
        cls.addClassCleanup(cls.hostile.close)
        cls.hostile_too = HostileServer(behaviours)
        cls.addClassCleanup(cls.hostile_too.close)
        cls.good = cls.scripted_check_server()
        cls.good.reply = check_reply(
            200, [("VX-X-Mitigation", "inject"), ("VX-Via", "secondary")])
        s = cls.server = cls.apache(ports=2)
        cls.failover_port, cls.fail_open_port = s.ports
        conf = ["VornexCheck On"]
        for port, second in ((cls.failover_port, cls.good.address),
                             (cls.fail_open_port, cls.hostile_too.address)):
            conf += ["<VirtualHost %s:%d>" % (LOOPBACK, port),
                     "VornexPrimaryServer %s" % cls.hostile.address,
                     "VornexSecondaryServer %s" % second,
                     "</VirtualHost>"]
        s.configure("\n".join(conf))
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()
        cls.held = []

    @classmethod
    def tearDownClass(cls):
        sys.stderr.write("\nworker held per fault (s):\n")
        for name, where, status, elapsed, logged in cls.held:
            sys.stderr.write("  %6.2f  %3s  %-9s %-45s %s\n"
                             % (elapsed, status, where, name,
                                " | ".join(logged)))
        super().tearDownClass()

    def setUp(self):
        self.good.take()
        self.hostile.take()
        self.hostile_too.take()

    def post(self, port, name, data):
        # A failed row must not leave its requests to the next one.
        self.setUp()
        mark = self.server.log_mark()
        start = time.monotonic()
        response = request(port, "POST",
                           "/cgi-bin/echo.py?case=%s" % case_id(name),
                           body=data, timeout=REQUEST_TIMEOUT)
        elapsed = time.monotonic() - start
        logged = (self.server.messages_since(mark, "warn"),
                  self.server.messages_since(mark, "error"))
        where = "failover" if port == self.failover_port else "fail-open"
        self.held.append((name, where, response.status, elapsed,
                          logged[0] + logged[1]))
        self.assertEqual(head_problems(response.head), [])
        self.assertLess(elapsed, HELD_BOUND)
        return response, logged

    def test_failing_answers_fail_over_to_secondary(self):
        """Each answer the client cannot use logs one warning with the
        failure's text, and the secondary's verdict is enforced on a check
        that carries the whole body."""
        for name, _, outcome, size in FAULTS:
            if not isinstance(outcome, Fails):
                continue
            with self.subTest(fault=name):
                data = body_of(size, seed=size)
                response, logged = self.post(self.failover_port, name, data)
                self.assertEqual((response.status, response.body),
                                 (200, echo_line(data)))
                self.assertEqual(response.values("Via"), ["secondary"])
                self.assertIn(logged, [([RETRY % text], [])
                                       for text in outcome.texts])
                self.assertEqual(self.hostile.take(), [case_id(name)])
                sent = self.good.take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sha256(sent[0].screened_body()),
                                 sha256(data))
        self.assert_no_crash(self.server)

    def test_failing_answers_from_both_serve_unscreened(self):
        """When the secondary fails the same way, the request is served by the
        script with its whole body after one warning and one error line."""
        for name, _, outcome, size in FAULTS:
            if not isinstance(outcome, Fails):
                continue
            with self.subTest(fault=name):
                data = body_of(size, seed=size + 1)
                response, logged = self.post(self.fail_open_port, name, data)
                self.assertEqual((response.status, response.body),
                                 (200, echo_line(data)))
                self.assertEqual(response.values("Via"), [])
                self.assertIn(logged, [([RETRY % text], [ERROR % text])
                                       for text in outcome.texts])
                self.assertEqual(self.hostile.take(), [case_id(name)])
                self.assertEqual(self.hostile_too.take(), [case_id(name)])
        self.assert_no_crash(self.server)

    def test_odd_but_usable_answers_are_enforced(self):
        """Answers the client accepts are enforced as the primary's verdict,
        the secondary is not asked, and only valid header lines reach the
        client."""
        for name, _, outcome, size in FAULTS:
            if not isinstance(outcome, Verdict):
                continue
            with self.subTest(fault=name):
                data = body_of(size, seed=size + 2)
                response, logged = self.post(self.failover_port, name, data)
                self.assertEqual(response.status, outcome.status)
                expected = (echo_line(data) if outcome.body is None
                            else outcome.body)
                self.assertEqual(sha256(response.body), sha256(expected))
                wanted = {n for n, _ in outcome.present}
                self.assertEqual([h for h in response.headers
                                  if h[0] in wanted], outcome.present)
                names = response.names()
                for absent in outcome.absent:
                    self.assertNotIn(absent, names)
                if outcome.count:
                    prefix, count = outcome.count
                    self.assertEqual(
                        len([n for n in names if n.startswith(prefix)]),
                        count)
                self.assertEqual(logged, ([], []))
                self.assertEqual(self.hostile.take(), [case_id(name)])
                self.assertEqual(self.good.take(), [])
        self.assert_no_crash(self.server)

    def test_answer_trickled_past_one_wait_is_enforced(self):
        """An answer whose status line comes a byte every half second, longer
        in all than one 3-second wait, is read to the end: the primary's
        verdict is enforced with the body intact and nothing logged."""
        data = body_of(7000, seed=77)
        response, logged = self.post(self.failover_port, "trickle", data)
        self.assertEqual((response.status, response.body),
                         (200, echo_line(data)))
        self.assertEqual(response.values("Via"), ["primary"])
        self.assertEqual(response.values("Trickled"), ["yes"])
        self.assertEqual(logged, ([], []))
        self.assertEqual(self.hostile.take(), ["trickle"])
        self.assertEqual(self.good.take(), [])
        self.assert_no_crash(self.server)


# Answers that never end, sent as fast as the module reads them: each is
# refused while it is read, so that it holds little of the worker's memory.
# name, head, what follows it for ever, failure text
ENDLESS = [
    ("endless header lines", OK, b"X-Endless: 1234567890\r\n",
     TOO_MANY_HEADERS),
    ("endless header lines of 8000 bytes", OK,
     b"X-Long: " + b"l" * 7990 + b"\r\n", HEAD_TOO_LARGE),
    ("one endless header line", OK + b"X-Endless: ", b"h" * 4096, READ),
    ("endless status line", b"HTTP/1.1 200 ", b"s" * 4096, READ),
    ("endless body without length",
     head(OK, inject("Connection: close")), b"b" * 4096, TOO_LARGE),
    ("endless chunked body",
     head(OK, inject("Transfer-Encoding: chunked")),
     b"1000\r\n" + b"c" * 4096 + b"\r\n", TOO_LARGE),
    ("endless chunk-size line",
     head(OK, inject("Transfer-Encoding: chunked")) + b"1;", b"x" * 4096,
     READ),
]
# What one refused answer may add to the worker's peak resident size: far
# above what the bounds let an answer hold (a few MiB), far below what an
# unbounded read takes in the seconds before its deadline (hundreds).
PEAK_GROWTH_BOUND = 32 * 1024 * 1024


@unittest.skipIf(UNDER_VALGRIND,
                 "resident sizes mean nothing under memcheck")
class EndlessAnswerTest(ServerTestCase):
    """One worker process, an endless check server as primary and a working
    secondary: each endless answer is refused while it is read with its
    failure's text, the secondary's verdict is enforced, and the worker's
    peak resident size grows by little."""

    @classmethod
    def setUpClass(cls):
        cls.endless = HostileServer({case_id(name): endless(first, filler)
                                     for name, first, filler, _ in ENDLESS})
        cls.addClassCleanup(cls.endless.close)
        cls.good = cls.scripted_check_server()
        cls.good.reply = check_reply(
            200, [("VX-X-Mitigation", "inject"), ("VX-Via", "secondary")])
        s = cls.server = cls.apache(mpm="event")
        s.configure("\n".join([
            "StartServers 1", "ServerLimit 1", "ThreadsPerChild 8",
            "ThreadLimit 8", "MaxRequestWorkers 8", "MinSpareThreads 1",
            "MaxSpareThreads 16", "MaxConnectionsPerChild 0",
            "VornexCheck On",
            "VornexPrimaryServer %s" % cls.endless.address,
            "VornexSecondaryServer %s" % cls.good.address]))
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()
        cls.figures = []

    @classmethod
    def tearDownClass(cls):
        sys.stderr.write("\nworker's peak resident size per endless answer "
                         "(MiB above its size before):\n")
        for name, growth, held, logged in cls.figures:
            sys.stderr.write("  %7.2f  %5.2f s  %-36s %s\n"
                             % (growth / 1048576.0, held, name,
                                " | ".join(logged)))
        super().tearDownClass()

    def kib(self, pid, field):
        """A size of /proc/PID/status in KiB; fails once the worker is
        gone (a worker that died has no sizes left)."""
        status = proc_status(pid)
        if not status or field not in status:
            self.fail("worker %d is gone" % pid)
        return int(status[field].split()[0])

    def test_endless_answers_are_refused_with_little_memory(self):
        """Each endless answer fails over with its text, and the worker's
        peak resident size (VmHWM, reset before each request) stays within
        32 MiB of its size before the request."""
        pid = sole_worker(self.server.proc.pid)
        # Whatever the worker sets up on its first screened requests is in
        # place before the first figure.
        request(self.server.port, "POST", "/cgi-bin/echo.py", body=b"warm")
        for name, _, _, text in ENDLESS:
            with self.subTest(answer=name):
                self.good.take()
                self.endless.take()
                with open("/proc/%d/clear_refs" % pid, "w") as f:
                    f.write("5")  # VmHWM starts again from VmRSS
                before = self.kib(pid, "VmRSS")
                data = body_of(3000, seed=len(name))
                mark = self.server.log_mark()
                start = time.monotonic()
                response = request(self.server.port, "POST",
                                   "/cgi-bin/echo.py?case=%s" % case_id(name),
                                   body=data, timeout=REQUEST_TIMEOUT)
                held = time.monotonic() - start
                growth = (self.kib(pid, "VmHWM") - before) * 1024
                logged = self.server.messages_since(mark, "warn")
                self.figures.append((name, growth, held, logged))
                self.assertEqual(sole_worker(self.server.proc.pid), pid)
                self.assertEqual((response.status, response.body),
                                 (200, echo_line(data)))
                self.assertEqual(response.values("Via"), ["secondary"])
                self.assertEqual(logged, [RETRY % text])
                self.assertEqual(self.endless.take(), [case_id(name)])
                self.assertEqual(len(self.good.take()), 1)
                self.assertLess(growth, PEAK_GROWTH_BOUND)
        self.assert_no_crash(self.server)


if __name__ == "__main__":
    main()
