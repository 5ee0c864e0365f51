"""Faulty and unusual clients against the screened server: stalls, clients
that go away, slow bodies, pipelining, raw header bytes, 100-continue and
bodies over LimitRequestBody. Every byte the client sends and receives is
under the test's control."""

import os
import random
import re
import socket
import struct
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, ECHO_PHP, body_of, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.process import fd_targets  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

PAGE = b"<html><body>a plain page</body></html>\n"
LIMIT = 10000
# The body time-out starts at 2 seconds and grows by one second for every
# 1000 bytes received, so a stall ends quickly and a trickle does not.
READ_TIMEOUT = "RequestReadTimeout header=10 body=2-30,MinRate=1000"
# Longest the tests wait for anything; the stalls end after a few seconds.
WAIT = 40

CHALLENGE = check_reply(200, [("VX-X-Mitigation", "challenge"),
                              ("VX-Challenge-Id", "c1")], "<p>prove it</p>")
VERDICTS = {
    "pass": check_reply(200),
    "block": check_reply(403),
    "challenge": CHALLENGE,
    "captcha": check_reply(200, [("VX-X-Mitigation", "captcha")], "<p>c</p>"),
    "redirect": check_reply(200, [("VX-X-Mitigation", "redirect"),
                                  ("VX-Location", "/elsewhere")]),
    "limit": check_reply(200, [("VX-X-Mitigation", "limit")]),
    "inject": check_reply(200, [("VX-X-Mitigation", "inject"),
                                ("VX-Injected", "yes")]),
    "return_fake_data": check_reply(200, [("VX-X-Mitigation",
                                           "return_fake_data")]),
}


def connect(port):
    sock = socket.create_connection((LOOPBACK, port), WAIT)
    sock.settimeout(WAIT)
    return sock


def read_to_end(sock):
    """Everything the server sends until it closes the connection."""
    out = b""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            piece = sock.recv(1 << 16)
        except ConnectionResetError:
            break
        if not piece:
            break
        out += piece
    return out


def head_bytes(target, headers=(), length=None, chunked=False, close=True):
    lines = [b"POST %s HTTP/1.1" % target.encode(), b"Host: clients.test"]
    lines += [h if isinstance(h, bytes) else h.encode() for h in headers]
    if chunked:
        lines.append(b"Transfer-Encoding: chunked")
    elif length is not None:
        lines.append(b"Content-Length: %d" % length)
    if close:
        lines.append(b"Connection: close")
    return b"\r\n".join(lines) + b"\r\n\r\n"


def post_bytes(target, body, chunked=False, close=True, headers=()):
    """A whole POST request; a chunked body goes in 1000-byte chunks."""
    raw = head_bytes(target, headers, len(body), chunked, close)
    if not chunked:
        return raw + body
    return raw + b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 1000]),
                                             body[i:i + 1000])
                          for i in range(0, len(body), 1000)) + b"0\r\n\r\n"


def split_responses(raw):
    """Cuts raw bytes into responses framed by Content-Length, chunking or
    the end of the connection; returns (status, headers, body) triples."""
    out = []
    while raw:
        end = raw.find(b"\r\n\r\n")
        if end < 0:
            out.append((None, {}, raw))
            break
        lines = raw[:end].decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.lower()] = value.strip()
        raw = raw[end + 4:]
        if headers.get("transfer-encoding", "").lower() == "chunked":
            body = b""
            while True:
                size_end = raw.index(b"\r\n")
                size = int(raw[:size_end].split(b";")[0], 16)
                raw = raw[size_end + 2:]
                if size == 0:
                    raw = raw[raw.index(b"\r\n") + 2:]
                    break
                body += raw[:size]
                raw = raw[size + 2:]
        elif "content-length" in headers:
            n = int(headers["content-length"])
            body, raw = raw[:n], raw[n:]
        else:
            body, raw = raw, b""
        out.append((status, headers, body))
    return out


def without_date(raw):
    return re.sub(rb"\r\nDate: [^\r]*", b"", raw, count=1)


class FaultyClientTest(ServerTestCase):
    """Prefork with one single worker, so that a request served after a
    faulty one proves that the faulty one let its worker go; mod_reqtimeout
    ends stalled bodies; the echo scripts report the body they read."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(mpm="prefork", cgi="cgi",
                                    modules=("reqtimeout", "php"))
        s.configure("\n".join([
            "StartServers 1", "MinSpareServers 1", "MaxSpareServers 1",
            "ServerLimit 1", "MaxRequestWorkers 1",
            READ_TIMEOUT,
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
            '<LocationMatch "^/(cgi-bin/)?(off-)?limited\\.">',
            "LimitRequestBody %d" % LIMIT, "</LocationMatch>",
            '<LocationMatch "^/(cgi-bin/)?off-">', "VornexCheck Off",
            "</LocationMatch>",
        ]))
        for name in ("echo.py", "limited.py", "off-echo.py",
                     "off-limited.py"):
            s.write("cgi-bin/" + name, ECHO_CGI, 0o755)
        for name in ("limited.php", "off-limited.php"):
            s.write("htdocs/" + name, ECHO_PHP)
        s.write("htdocs/page.html", PAGE)
        s.start()

    def setUp(self):
        self.check.reply = check_reply(200)
        self.backup.reply = check_reply(200)
        self.check.take()
        self.backup.take()

    def tearDown(self):
        self.assert_no_crash(self.server)

    def checks_for(self, target):
        """The check requests made for requests to `target`, taken from
        everything the check server received since the last call."""
        return [c for c in self.check.take()
                if c.target_line().split(" ")[1] == target]

    def assert_worker_free(self):
        """The single worker serves a plain request, which is let through."""
        self.check.reply = check_reply(200)
        response = request(self.server.port, "GET", "/page.html",
                           timeout=WAIT)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.body, PAGE)

    # A body that stops short of its Content-Length is ended by the read
    # time-out: the check is made with the bytes that came, the script's
    # handler gets the time-out, and the client sees the 408 it sees without
    # the module, while the worker goes free for the next request.
    def test_stalled_body_is_checked_with_bytes_read_and_times_out(self):
        sent = body_of(500, seed=1)
        seen = {}
        for target in ("/cgi-bin/off-echo.py", "/cgi-bin/echo.py"):
            with self.subTest(target=target):
                mark = self.server.log_mark()
                stalled = connect(self.server.port)
                try:
                    stalled.sendall(head_bytes(target, length=1000) + sent)
                    # Served only once the stalled request lets go of the
                    # one worker; the stalled client is still connected.
                    self.assert_worker_free()
                    raw = read_to_end(stalled)
                finally:
                    stalled.close()
                (status, _, _), = split_responses(raw)
                seen[target] = without_date(raw)
                self.assertEqual(status, 408)
                checks = self.checks_for(target)
                log = self.server.log_since(mark)
                self.assertIn("(70007)The timeout specified has expired",
                              log)
                self.assertIn("AH01225: Error reading request entity data",
                              log)
                if target == "/cgi-bin/echo.py":
                    self.assertEqual(len(checks), 1)
                    self.assertEqual(checks[0].screened_body(), sent)
                else:
                    self.assertEqual(checks, [])
        self.assertEqual(seen["/cgi-bin/echo.py"],
                         seen["/cgi-bin/off-echo.py"])

    # A client that goes away in the middle of its body, with an orderly
    # close or with a reset, still has the bytes it sent checked (all of them
    # after an orderly close), and the worker goes free.
    def test_client_gone_mid_body_is_checked_with_bytes_read(self):
        sent = body_of(30000, seed=2)
        for reset in (False, True):
            with self.subTest(reset=reset):
                sock = connect(self.server.port)
                sock.sendall(head_bytes("/cgi-bin/echo.py", length=100000)
                             + sent)
                if reset:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                    struct.pack("ii", 1, 0))
                else:
                    sock.shutdown(socket.SHUT_WR)
                sock.close()
                self.assert_worker_free()
                checks = self.checks_for("/cgi-bin/echo.py")
                self.assertEqual(len(checks), 1)
                read = checks[0].screened_body()
                if reset:
                    self.assertEqual(read, sent[:len(read)])
                else:
                    self.assertEqual(read, sent)

    # A client that resets the connection while a large challenge page is
    # being written to it costs nothing but that response: the worker goes
    # free and serves the next request, every time.
    def test_client_gone_mid_challenge_page_frees_worker(self):
        # The largest page a check answer may carry.
        page = body_of(4 * 1024 * 1024, seed=3)
        self.check.reply = check_reply(
            200, [("VX-X-Mitigation", "challenge")], page)
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                sock = connect(self.server.port)
                sock.sendall(b"GET /page.html?big HTTP/1.1\r\n"
                             b"Host: clients.test\r\n\r\n")
                got = b""
                while b"\r\n\r\n" not in got or len(got) < 100000:
                    piece = sock.recv(65536)
                    self.assertTrue(piece, "closed before the page came")
                    got += piece
                self.assertTrue(got.startswith(b"HTTP/1.1 403 "))
                self.assertIn(page[:1000], got)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                struct.pack("ii", 1, 0))
                sock.close()
                self.assert_worker_free()
                self.check.reply = check_reply(
                    200, [("VX-X-Mitigation", "challenge")], page)
                self.assertEqual(len(self.checks_for("/page.html?big")), 1)

    # A body that trickles in, in small pieces, within the read time-out
    # reaches the check server and the script whole.
    def test_slow_body_arrives_intact(self):
        data = body_of(10000, seed=4)
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                raw = post_bytes("/cgi-bin/echo.py", data, chunked=chunked)
                sock = connect(self.server.port)
                try:
                    for i in range(0, len(raw), 400):
                        sock.sendall(raw[i:i + 400])
                        time.sleep(0.02)
                    (status, _, body), = split_responses(read_to_end(sock))
                finally:
                    sock.close()
                self.assertEqual(status, 200)
                self.assertEqual(body, echo_line(data))
                checks = self.checks_for("/cgi-bin/echo.py")
                self.assertEqual(len(checks), 1)
                self.assertEqual(checks[0].screened_body(), data)

    # A second request sent on the same connection right behind a screened
    # POST, in the same write, is parsed from the byte after the first body
    # whatever the first verdict: both are checked with their own request
    # lines and bodies, both are answered, and nothing else is.
    def test_pipelined_request_after_screened_post(self):
        # Bytes of the first body that look like a request must stay body.
        first = (b"GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n"
                 + body_of(20000, seed=5))
        second = b"second body"
        expected_first = {
            "pass": (200, echo_line(first)),
            "challenge": (403, b"<p>prove it</p>"),
            "block": (403, None),
        }
        for verdict, (status, page) in expected_first.items():
            for chunked in (False, True):
                with self.subTest(verdict=verdict, chunked=chunked):
                    reply = VERDICTS[verdict]
                    self.check.reply = (
                        lambda req, reply=reply:
                        reply if "?first" in req.target_line()
                        else check_reply(200))
                    raw = (post_bytes("/cgi-bin/echo.py?first", first,
                                      chunked=chunked, close=False)
                           + post_bytes("/cgi-bin/echo.py?second", second,
                                        headers=("X-Second: 2",)))
                    sock = connect(self.server.port)
                    try:
                        sock.sendall(raw)
                        responses = split_responses(read_to_end(sock))
                    finally:
                        sock.close()
                    self.assertEqual(len(responses), 2, responses)
                    self.assertEqual(responses[0][0], status)
                    if page is not None:
                        self.assertEqual(responses[0][2], page)
                    self.assertEqual(responses[1][0], 200)
                    self.assertEqual(responses[1][2], echo_line(second))
                    checks = self.check.take()
                    self.assertEqual(
                        [c.target_line() for c in checks],
                        ["POST /cgi-bin/echo.py?first HTTP/1.1",
                         "POST /cgi-bin/echo.py?second HTTP/1.1"])
                    self.assertEqual(checks[0].screened_body(), first)
                    self.assertEqual(checks[1].screened_body(), second)
                    self.assertIn(b"\r\nX-Second: 2\r\n", checks[1].body)

    # Header values holding bytes above 0x7F (obs-text) reach the check
    # server byte for byte, without decoding or escaping.
    def test_obs_text_header_bytes_reach_check_unchanged(self):
        lines = [b"X-Latin: caf\xe9 cr\xe8me br\xfbl\xe9e",
                 b"X-High: " + bytes(range(0x80, 0x100)),
                 b"X-Mixed: a\tb \xff\xfe\x80 end",
                 b"X-Utf8: \xe2\x82\xac \xf0\x9f\x98\x80"]
        raw = (b"GET /page.html?obs HTTP/1.1\r\nHost: clients.test\r\n"
               + b"\r\n".join(lines) + b"\r\nConnection: close\r\n\r\n")
        sock = connect(self.server.port)
        try:
            sock.sendall(raw)
            (status, _, body), = split_responses(read_to_end(sock))
        finally:
            sock.close()
        self.assertEqual(status, 200)
        self.assertEqual(body, PAGE)
        check, = self.checks_for("/page.html?obs")
        for line in lines:
            with self.subTest(line=line[:8]):
                self.assertIn(b"\r\n" + line + b"\r\n", check.body)

    # With Expect: 100-continue the client is told to go on (the module reads
    # the body before the check), sends its body, which is checked, and then
    # gets the verdict's 403 as the one final response.
    def test_expect_continue_then_refused(self):
        data = body_of(20000, seed=6)
        for verdict, page in (("block", None),
                              ("challenge", b"<p>prove it</p>")):
            for chunked in (False, True):
                with self.subTest(verdict=verdict, chunked=chunked):
                    self.check.reply = VERDICTS[verdict]
                    response = request(self.server.port, "POST",
                                       "/cgi-bin/echo.py", body=data,
                                       chunked=chunked, expect=True,
                                       timeout=WAIT)
                    self.assertTrue(response.continued)
                    self.assertEqual(response.status, 403)
                    if page is None:
                        self.assertIn(b"<title>403 Forbidden</title>",
                                      response.body)
                    else:
                        self.assertEqual(response.body, page)
                    check, = self.checks_for("/cgi-bin/echo.py")
                    self.assertEqual(check.screened_body(), data)

    # A body over LimitRequestBody gets the server's one 413 response and
    # nothing after it, whatever the verdict and also when no check server
    # answers; the check carries the bytes read before the limit struck.
    # Without the module the CGI script's server sends the same bytes; PHP's
    # sends the same 413 but then runs the script and appends its output.
    def test_body_over_limit_gets_one_413_whatever_the_verdict(self):
        data = body_of(3 * LIMIT, seed=7)
        cases = dict(VERDICTS)
        cases["both check servers fail"] = check_reply(500, body="down")
        for script in ("/cgi-bin/limited.py", "/limited.php"):
            for chunked in (False, True):
                plain = {}
                for unscreened in ("/cgi-bin/off-limited.py",
                                   script.replace("limited", "off-limited")):
                    sock = connect(self.server.port)
                    try:
                        sock.sendall(post_bytes(unscreened, data, chunked))
                        plain[unscreened] = without_date(read_to_end(sock))
                    finally:
                        sock.close()
                expected = plain["/cgi-bin/off-limited.py"]
                (status, _, _), = split_responses(expected)
                self.assertEqual(status, 413)
                self.assertTrue(plain[script.replace(
                    "limited", "off-limited")].startswith(expected))
                for name, reply in cases.items():
                    with self.subTest(script=script, chunked=chunked,
                                      verdict=name):
                        self.check.reply = reply
                        self.check.take()
                        self.backup.take()
                        self.backup.reply = (check_reply(500, body="down")
                                             if name.startswith("both")
                                             else reply)
                        mark = self.server.log_mark()
                        sock = connect(self.server.port)
                        try:
                            sock.sendall(post_bytes(script, data, chunked))
                            raw = without_date(read_to_end(sock))
                        finally:
                            sock.close()
                        self.assertEqual(raw, expected)
                        checks = self.checks_for(script)
                        self.assertEqual(len(checks), 1)
                        read = checks[0].screened_body()
                        self.assertLessEqual(len(read), LIMIT)
                        self.assertEqual(read, data[:len(read)])
                        if not chunked:
                            # A declared length over the limit is refused
                            # before any body byte is read.
                            self.assertEqual(read, b"")
                        if name.startswith("both"):
                            self.assertEqual(len(self.backup.take()), 1)
                            self.assertEqual(
                                self.server.messages_since(mark, "error"),
                                ["Vornex API error: down"])
                self.assert_worker_free()

    # A chunked body whose framing breaks gets the server's one 400 response,
    # the same bytes as without the module and nothing after them, whatever
    # the verdict; the check carries the chunks before the broken one.
    def test_broken_chunking_gets_one_400_whatever_the_verdict(self):
        good = body_of(3000, seed=9)
        tail = b"%x\r\n%s\r\nzz\r\nnot a chunk\r\n0\r\n\r\n" % (
            len(good), good)
        sent = {}
        for target in ("/cgi-bin/off-echo.py", "/cgi-bin/echo.py"):
            for name in ("pass", "block", "challenge", "redirect"):
                if target.startswith("/cgi-bin/off-") and name != "pass":
                    continue
                with self.subTest(target=target, verdict=name):
                    self.check.reply = VERDICTS[name]
                    self.check.take()
                    sock = connect(self.server.port)
                    try:
                        sock.sendall(head_bytes(target, chunked=True) + tail)
                        raw = without_date(read_to_end(sock))
                    finally:
                        sock.close()
                    (status, _, _), = split_responses(raw)
                    self.assertEqual(status, 400)
                    sent.setdefault("plain", raw)
                    self.assertEqual(raw, sent["plain"])
                    checks = self.checks_for(target)
                    if target == "/cgi-bin/echo.py":
                        check, = checks
                        self.assertEqual(check.screened_body(), good)
                    else:
                        self.assertEqual(checks, [])
        self.assert_worker_free()


def descriptors_connected_to(port):
    """(pid, descriptor number) of every descriptor, in any process, of an
    established loopback TCP connection whose far end is `port`."""
    sockets = set()
    with open("/proc/net/tcp") as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port and fields[3] == "01":
                sockets.add("socket:[%s]" % fields[9])
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            found += [(int(name), fd)
                      for fd, target in fd_targets(int(name))
                      if target in sockets]
    return found


def pick_ports(count):
    """`count` distinct loopback ports that are free right now, below the
    kernel's range for outgoing connections, held all at once while they
    are picked."""
    held = []
    try:
        for port in random.sample(range(10000, 32768), count * 2):
            sock = socket.socket()
            try:
                sock.bind((LOOPBACK, port))
            except OSError:
                sock.close()
                continue
            held.append(sock)
            if len(held) == count:
                break
        return [sock.getsockname()[1] for sock in held]
    finally:
        for sock in held:
            sock.close()


class ManyDescriptorsTest(ServerTestCase):
    """A worker that holds more than 1024 descriptors before it makes its
    check call: the server listens on 1100 ports, and every worker inherits
    the 1100 listening sockets."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        s = cls.server = cls.apache(mpm="prefork", cgi="cgi")
        s.write("htdocs/page.html", PAGE)
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        # Another process may take one of 1100 free ports before the server
        # binds them all; a few tries with new ports make that harmless.
        for attempt in range(3):
            s.ports = pick_ports(1100)
            s.port = s.ports[0]
            s.configure("\n".join([
                "StartServers 1", "MinSpareServers 1", "MaxSpareServers 1",
                "ServerLimit 1", "MaxRequestWorkers 1",
                "VornexPrimaryServer %s" % cls.check.address,
                "VornexSecondaryServer %s" % cls.check.address,
                "VornexCheck On",
            ]))
            try:
                s.start()
                break
            except RuntimeError:
                s.stop()
                if attempt == 2:
                    raise

    # The check connection of a worker holding over 1024 descriptors gets a
    # number above 1024, and the verdict still comes back and is enforced:
    # a block refuses the page, a pass lets the script read its body.
    def test_check_from_worker_with_over_1024_descriptors(self):
        data = body_of(20000, seed=8)
        cases = (("GET", "/page.html", None, check_reply(403), 403, None),
                 ("POST", "/cgi-bin/echo.py", data, check_reply(200), 200,
                  echo_line(data)))
        for method, target, body, verdict, status, page in cases:
            with self.subTest(target=target):
                seen = []

                def reply(_request, verdict=verdict, seen=seen):
                    # Runs while the worker waits for the answer, its
                    # connection to this server still open.
                    seen.extend(descriptors_connected_to(self.check.port))
                    return verdict

                self.check.reply = reply
                self.check.take()
                mark = self.server.log_mark()
                response = request(self.server.port, method, target,
                                   body=body, timeout=WAIT)
                self.assertEqual(response.status, status)
                if page is not None:
                    self.assertEqual(response.body, page)
                self.assertEqual(len(self.check.take()), 1)
                # Every descriptor, in a process other than this one, of a
                # connection to the check server while it answers is the
                # worker's check connection.
                workers = [(pid, fd) for pid, fd in seen
                           if pid != os.getpid()]
                self.assertTrue(workers, seen)
                for pid, fd in workers:
                    self.assertGreater(fd, 1024, seen)
                self.assertEqual(self.server.messages_since(mark, "warn"),
                                 [])
        self.assert_no_crash(self.server)


if __name__ == "__main__":
    main()
