"""The check request on the wire, verdict enforcement and failover."""

import os
import re
import socket
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, body_of, echo_line  # noqa: E402
from testbed.build import KEEP_ALIVE  # noqa: E402
from testbed.client import exchange, request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

PAGE = b"<html><body>the real page</body></html>\n"
# A static page of 20 KB, more than one write of the server's.
BIG_PAGE = body_of(20 * 1024, seed=20).hex()[:20 * 1024].encode()
DENIED = b"<html>denied by the site</html>\n"
USER_AGENT = re.compile(
    r"^Mozilla/5\.0 \(compatible; mod_vornex/1\.3\.0; "
    r"\+https://[^/ ]+/humans\.txt\)$")


class ScreeningTest(ServerTestCase):
    """Screening on for the whole site; /errdoc has ErrorDocument 403."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache()
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
            "<Location /errdoc>", "ErrorDocument 403 /denied.html",
            "</Location>",
            "<Location /forbidden>", "Require all denied", "</Location>",
        ]))
        s.write("htdocs/page.html", PAGE)
        s.write("htdocs/big.html", BIG_PAGE)
        s.write("htdocs/errdoc/page.html", PAGE)
        s.write("htdocs/forbidden/page.html", PAGE)
        s.write("htdocs/denied.html", DENIED)
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()

    def setUp(self):
        self.check.reply = check_reply(200)
        self.check.take()
        self.backup.take()

    def only_check(self):
        """The one check request the last client request caused."""
        taken = self.check.take()
        self.assertEqual(len(taken), 1)
        self.assertEqual(self.backup.take(), [])
        return taken[0]

    def test_check_request_carries_facts_and_fixed_headers(self):
        """The check is a POST to /v2.1/check with the peer facts, the fixed
        user agent, text/plain and nothing else of the module's."""
        response = request(self.server.port, "GET", "/page.html")
        self.assertEqual(response.status, 200)
        sent = self.only_check()
        self.assertEqual(sent.request_line, "POST /v2.1/check HTTP/1.1")
        # A check on a kept connection does not ask to close it.
        self.assertEqual(
            sorted(n for n, _ in sent.headers),
            sorted(["Accept", "Content-Length", "Content-Type", "Host",
                    "User-Agent", "VX-ConnAddr", "VX-RemoteAddr",
                    "VX-RemotePort"] + ([] if KEEP_ALIVE else ["Connection"])))
        self.assertEqual(sent.value("VX-RemoteAddr"), LOOPBACK)
        self.assertEqual(sent.value("VX-ConnAddr"), LOOPBACK)
        self.assertEqual(sent.value("VX-RemotePort"),
                         str(response.client_port))
        self.assertRegex(sent.value("User-Agent"), USER_AGENT)
        self.assertEqual(sent.value("Content-Type"), "text/plain")
        self.assertEqual(sent.value("Content-Length"), str(len(sent.body)))
        self.assertEqual(sent.value("Host"),
                         "%s:%d" % (LOOPBACK, self.check.port))

    def test_tls_facts_absent_without_mod_ssl(self):
        """Without mod_ssl no VX-SSL header goes to the check server."""
        request(self.server.port, "POST", "/cgi-bin/echo.py", body=b"x")
        sent = self.only_check()
        self.assertEqual([n for n, _ in sent.headers
                          if n.lower().startswith("vx-ssl")], [])

    def test_check_body_is_request_line_headers_and_body(self):
        """The check body is the request line and the header lines as the
        server holds them, then a blank line and the body only when there is
        a body."""
        host = "Host: %s:%d\r\n" % (LOOPBACK, self.server.port)
        head = ("X-Dup", "one"), ("x-lower", "v  w"), ("X-Empty", ""), \
            ("X-Dup", "two")
        # The server folds repeated header fields into the first one.
        held = "X-Dup: one, two\r\nx-lower: v  w\r\nX-Empty: \r\n"
        cases = (
            ("GET", "/page.html?q=%41&b", head, None, False,
             "GET /page.html?q=%41&b HTTP/1.1\r\n" + host + held
             + "Connection: close\r\n"),
            ("POST", "/cgi-bin/echo.py", (), b"", False,
             "POST /cgi-bin/echo.py HTTP/1.1\r\n" + host
             + "Content-Length: 0\r\nConnection: close\r\n"),
            ("POST", "/cgi-bin/echo.py", head, b"a\r\n\r\nb\x00\xff", False,
             "POST /cgi-bin/echo.py HTTP/1.1\r\n" + host + held
             + "Content-Length: 8\r\nConnection: close\r\n"
             "\r\na\r\n\r\nb\x00\xff"),
            ("POST", "/cgi-bin/echo.py", (), b"0123456789", True,
             "POST /cgi-bin/echo.py HTTP/1.1\r\n" + host
             + "Transfer-Encoding: chunked\r\nConnection: close\r\n"
             "\r\n0123456789"),
        )
        for method, target, headers, body, chunked, expected in cases:
            with self.subTest(method=method, target=target, body=body,
                              chunked=chunked):
                response = request(self.server.port, method, target,
                                   headers=headers, body=body,
                                   chunked=chunked, chunk_size=3)
                self.assertEqual(response.status, 200)
                self.assertEqual(self.only_check().body,
                                 expected.encode("latin-1"))

    def test_verdicts_reach_client(self):
        """Each verdict gives the client the status, headers, content type and
        body it stands for, and none of the check response's other parts."""
        forbidden = request(self.server.port, "GET", "/forbidden/page.html")
        self.assertEqual(forbidden.status, 403)
        standard_403 = forbidden.body
        self.assertEqual(self.check.take(), [])
        binary_page = body_of(100000, seed=7) + b"\x00\r\n"
        extras = [("VX-Z-Extra", "z"), ("VX-X-Reason", "scripted"),
                  ("X-Plain", "plain")]
        ch = [("VX-X-Mitigation", "challenge"), ("VX-B-Second", "2"),
              ("VX-A-First", "one two")] + extras
        html = "text/html"
        # name, target, check reply, status, headers present (in order),
        # headers absent, content type (None: not examined), body
        cases = (
            ("pass", "/page.html", check_reply(200, extras, "ignored"),
             200, [], ["Z-Extra", "X-Reason", "Location"], html, PAGE),
            ("block", "/page.html",
             check_reply(403, extras, "check says no"),
             403, [], ["Z-Extra", "X-Reason"], None, standard_403),
            ("block with ErrorDocument", "/errdoc/page.html",
             check_reply(403, extras), 403, [], ["Z-Extra"], html, DENIED),
            ("return_fake_data", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "return_fake_data")]
                         + extras, "fake"),
             403, [], ["Z-Extra"], None, standard_403),
            ("keyword in other case, status 403", "/page.html",
             check_reply(403, [("VX-X-Mitigation", "Challenge")]),
             403, [], [], None, standard_403),
            ("keyword in other case, status 200", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "Challenge")] + extras),
             200, [], ["Z-Extra"], html, PAGE),
            ("challenge", "/page.html",
             check_reply(200, ch, "<p>prove it</p>"), 403,
             [("A-First", "one two"), ("B-Second", "2"), ("Z-Extra", "z")],
             ["X-Reason", "X-Plain", "X-Mitigation"], html,
             b"<p>prove it</p>"),
            ("captcha", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "captcha"),
                               ("VX-Token", "a%20b")], "<p>captcha</p>"),
             403, [("Token", "a b")], [], html, b"<p>captcha</p>"),
            ("challenge under ErrorDocument", "/errdoc/page.html",
             check_reply(200, ch, "<p>prove it</p>"), 403,
             [("A-First", "one two")], [], html, b"<p>prove it</p>"),
            ("challenge with empty page", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "challenge")]),
             403, [], [], html, b""),
            ("challenge with binary page", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "challenge")],
                         binary_page), 403, [], [], html, binary_page),
            ("keyword decides over status 500", "/page.html",
             check_reply(500, [("VX-X-Mitigation", "captcha")], "<p>c</p>"),
             403, [], [], html, b"<p>c</p>"),
            ("redirect", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "redirect"),
                               ("VX-Location",
                                "http://127.0.0.1/next%3Fa%3D1")]
                         + extras), 302,
             [("Location", "http://127.0.0.1/next?a=1")], ["Z-Extra"], None,
             None),
            ("redirect to empty target", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "redirect"),
                               "VX-Location:"]), 302, [("Location", "")],
             [], None, None),
            ("limit", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "limit")] + extras,
                         "slow down"), 429,
             [("Retry-After", "3600")], ["Z-Extra"], None, b""),
            ("inject", "/page.html",
             check_reply(200, [("VX-X-Mitigation", "inject"),
                               ("VX-Injected", "yes"),
                               ("VX-Cache-Control", "no-store")] + extras,
                         "unused page"), 200,
             [("Cache-Control", "no-store"), ("Injected", "yes"),
              ("Z-Extra", "z")], ["X-Reason"], html, PAGE),
            ("inject on a missing page", "/missing.html",
             check_reply(200, [("VX-X-Mitigation", "inject"),
                               ("VX-Injected", "yes")]), 404, [],
             ["Injected"], None, None),
        )
        for name, target, reply, status, present, absent, ctype, body \
                in cases:
            with self.subTest(verdict=name):
                self.check.reply = reply
                mark = self.server.log_mark()
                response = request(self.server.port, "GET", target)
                self.only_check()
                self.assertEqual(response.status, status)
                got = [(n, v) for n, v in response.headers
                       if n in {p for p, _ in present}]
                self.assertEqual(got, present)
                for header in absent:
                    self.assertIsNone(response.header(header), header)
                if ctype is not None:
                    self.assertEqual(response.header("Content-Type"), ctype)
                if body is not None:
                    self.assertEqual(response.body, body)
                self.assertEqual(
                    [e for e in self.server.entries_since(mark)
                     if e[0] != "debug"], [])

    def test_framing_headers_from_answer_keep_pipeline_in_step(self):
        """Answer headers that name the framing, the connection, a proxy hop
        or the host never reach the client: after a challenge or inject
        verdict carrying one, two pipelined requests on the same connection
        get their own responses, whole and in order."""
        page = "<p>prove it</p>"
        # verdict, the header's name after the prefix, its value
        cases = [(verdict, name, value)
                 for verdict in ("challenge", "inject")
                 for name, value in (
                     ("Content-Length", "0"),
                     ("Content-Length", "5"),
                     ("Transfer-Encoding", "chunked"),
                     ("transfer-encoding", "identity"),
                     ("Connection", "close"),
                     ("Keep-Alive", "timeout=999"),
                     ("TE", "trailers"),
                     ("Trailer", "X-Sum"),
                     ("Upgrade", "h2c"),
                     ("Proxy-Authenticate", "Basic x"),
                     ("Host", "evil.example"))]
        host = "Host: %s:%d\r\n" % (LOOPBACK, self.server.port)
        for verdict, name, value in cases:
            with self.subTest(verdict=verdict, header=name, value=value):
                self.check.take()

                def reply(sent, verdict=verdict, name=name, value=value):
                    if sent.target_line().startswith("GET /big.html "):
                        return check_reply(
                            200, [("VX-X-Mitigation", verdict),
                                  ("VX-" + name, value), ("VX-Kept", "1")],
                            page)
                    return check_reply(200)
                self.check.reply = reply
                mark = self.server.log_mark()
                first, second = exchange(self.server.port, [
                    ("GET", ("GET /big.html HTTP/1.1\r\n%s\r\n"
                             % host).encode()),
                    ("GET", ("GET /page.html HTTP/1.1\r\n%sConnection: "
                             "close\r\n\r\n" % host).encode())],
                    pipelined=True)
                self.assertEqual(
                    (first.status, first.body),
                    (403, page.encode()) if verdict == "challenge"
                    else (200, BIG_PAGE))
                self.assertEqual(first.values("Kept"), ["1"])
                self.assertNotIn((name.lower(), value),
                                 [(n.lower(), v) for n, v in first.headers])
                self.assertEqual((second.status, second.body), (200, PAGE))
                self.assertEqual(len(self.check.take()), 2)
                self.assertIn(
                    "Vornex dropped the challenge header %s: only the server "
                    "sets it" % name,
                    self.server.messages_since(mark, "debug"))

    def test_every_set_cookie_reaches_client(self):
        """Three Set-Cookie answer headers give the client three cookies, in
        the answer's order, with a challenge and with an inject verdict."""
        cookies = [("VX-Set-Cookie", c) for c in ("a=1", "b=2", "c=3")]
        for verdict, status in (("challenge", 403), ("inject", 200)):
            with self.subTest(verdict=verdict):
                self.check.reply = check_reply(
                    200, [("VX-X-Mitigation", verdict)] + cookies, "<p>c</p>")
                response = request(self.server.port, "GET", "/page.html")
                self.only_check()
                self.assertEqual(response.status, status)
                self.assertEqual(response.values("Set-Cookie"),
                                 ["a=1", "b=2", "c=3"])

    def test_block_error_document_is_not_screened_again(self):
        """The ErrorDocument redirect after a block makes no second check and
        logs no second configuration dump."""
        self.check.reply = check_reply(403)
        mark = self.server.log_mark()
        response = request(self.server.port, "GET", "/errdoc/page.html")
        self.assertEqual((response.status, response.body), (403, DENIED))
        self.only_check()
        self.assertEqual(
            len([m for m in self.server.messages_since(mark, "debug")
                 if m.startswith("enabled=")]), 1)

    def test_inject_passes_body_to_script(self):
        """With inject the script still reads the whole body and the response
        carries the injected header."""
        self.check.reply = check_reply(
            200, [("VX-X-Mitigation", "inject"), ("VX-Injected", "yes")])
        data = body_of(20000, seed=3)
        response = request(self.server.port, "POST", "/cgi-bin/echo.py",
                           body=data)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.body, echo_line(data))
        self.assertEqual(response.header("Injected"), "yes")
        self.assertEqual(self.only_check().screened_body(), data)

    def test_keepalive_connection_stays_in_step_after_parked_bodies(self):
        """On one keep-alive connection a challenged POST whose body nobody
        reads, then a passed POST to the script, leave the following request
        parsed and answered correctly."""
        def verdict(sent):
            if sent.target_line().startswith("POST /page.html"):
                return check_reply(200, [("VX-X-Mitigation", "challenge")],
                                   "<p>challenged</p>")
            return check_reply(200)
        self.check.reply = verdict
        unread, read = body_of(30000, seed=21), body_of(20000, seed=22)
        host = "Host: %s:%d\r\n" % (LOOPBACK, self.server.port)
        responses = exchange(self.server.port, [
            ("POST", ("POST /page.html HTTP/1.1\r\n%sContent-Length: %d"
                      "\r\n\r\n" % (host, len(unread))).encode() + unread),
            ("POST", ("POST /cgi-bin/echo.py HTTP/1.1\r\n%sContent-Length: "
                      "%d\r\n\r\n" % (host, len(read))).encode() + read),
            ("GET", ("GET /page.html HTTP/1.1\r\n%sConnection: close\r\n"
                     "\r\n" % host).encode()),
        ])
        self.assertEqual([(r.status, r.body) for r in responses],
                         [(403, b"<p>challenged</p>"), (200, echo_line(read)),
                          (200, PAGE)])
        self.assertEqual(
            [c.screened_body() for c in self.check.take()],
            [unread, read, b""])


class FailoverTest(ServerTestCase):
    """Virtual hosts with every pairing of working, failing and unparsable
    check server addresses."""

    @classmethod
    def setUpClass(cls):
        cls.primary = cls.scripted_check_server()
        cls.secondary = cls.scripted_check_server()
        # Bound and never listening for the whole class: connecting to it is
        # refused, and no other socket on the machine, listening or making a
        # connection, can take the port meanwhile.
        held = socket.socket()
        cls.addClassCleanup(held.close)
        held.bind((LOOPBACK, 0))
        closed = "%s:%d" % held.getsockname()
        pairs = {
            "working": (cls.primary.address, cls.secondary.address),
            "refused": (closed, cls.secondary.address),
            "both refused": (closed, closed),
            "bad primary": ("127.0.0.1:abc", cls.secondary.address),
            "both bad": ("127.0.0.1:abc", "127.0.0.1:xyz"),
            "refused, bad secondary": (closed, "127.0.0.1:"),
        }
        s = cls.server = cls.apache(ports=len(pairs))
        cls.ports = {}
        conf = ["VornexCheck On"]
        for port, (name, (first, second)) in zip(s.ports, pairs.items()):
            cls.ports[name] = port
            conf += ["<VirtualHost %s:%d>" % (LOOPBACK, port),
                     "VornexPrimaryServer %s" % first,
                     "VornexSecondaryServer %s" % second,
                     "</VirtualHost>"]
        s.configure("\n".join(conf))
        s.write("htdocs/page.html", PAGE)
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()

    def setUp(self):
        self.primary.reply = check_reply(200)
        self.secondary.reply = check_reply(200)
        self.primary.take()
        self.secondary.take()

    def logged(self, mark):
        return (self.server.messages_since(mark, "warn"),
                self.server.messages_since(mark, "error"))

    def test_primary_refused_secondary_verdict_enforced(self):
        """A refused primary logs one warning and the secondary's verdict is
        enforced on a check request that carries the same facts."""
        self.secondary.reply = check_reply(
            200, [("VX-X-Mitigation", "challenge"), ("VX-Via", "secondary")],
            "<p>from the secondary</p>")
        mark = self.server.log_mark()
        response = request(self.ports["refused"], "GET", "/page.html")
        self.assertEqual(response.status, 403)
        self.assertEqual(response.header("Via"), "secondary")
        self.assertEqual(response.body, b"<p>from the secondary</p>")
        self.assertEqual(self.logged(mark), (
            ["Vornex API error: Could not establish connection, will try "
             "with secondary server"], []))
        sent = self.secondary.take()
        self.assertEqual(len(sent), 1)
        self.assertEqual(sent[0].value("VX-RemotePort"),
                         str(response.client_port))
        self.assertEqual(sent[0].target_line(), "GET /page.html HTTP/1.1")

    def test_primary_status_without_keyword_fails_over(self):
        """A primary status other than 200 or 403 without a keyword is a
        failure whose body is the message, and the secondary receives the
        same check request."""
        data = body_of(20000, seed=11)
        for status, message in ((500, "primary overloaded"), (503, ""),
                                (302, "moved"), (404, "no such check")):
            with self.subTest(status=status):
                self.primary.reply = check_reply(
                    status, [("VX-Location", "http://127.0.0.1/elsewhere")],
                    message)
                mark = self.server.log_mark()
                response = request(self.ports["working"], "POST",
                                   "/cgi-bin/echo.py", body=data)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, echo_line(data))
                self.assertEqual(self.logged(mark), (
                    ["Vornex API error: %s, will try with secondary server"
                     % message], []))
                first, = self.primary.take()
                second, = self.secondary.take()
                self.assertEqual(second.body, first.body)
                self.assertEqual(first.screened_body(), data)
                self.assertEqual(
                    [h for h in second.headers if h[0] != "Host"],
                    [h for h in first.headers if h[0] != "Host"])

    def test_unsafe_primary_header_fails_over_and_never_reaches_client(self):
        """A primary header value that decodes to CR, LF or NUL fails the call,
        and no byte of it reaches the client."""
        self.secondary.reply = check_reply(
            200, [("VX-X-Mitigation", "challenge"), ("VX-Set-Cookie", "b=2")],
            "secondary page")
        for value in ("a%0D%0AX-Evil: 1", "a%0AX-Evil: 1", "a%0DX-Evil: 1",
                      "a%00X-Evil: 1"):
            with self.subTest(value=value):
                self.primary.reply = check_reply(
                    200, [("VX-X-Mitigation", "challenge"),
                          "VX-Set-Cookie: " + value], "primary page")
                mark = self.server.log_mark()
                response = request(self.ports["working"], "GET",
                                   "/page.html")
                self.assertEqual(response.status, 403)
                self.assertEqual(response.values("Set-Cookie"), ["b=2"])
                self.assertEqual(response.body, b"secondary page")
                self.assertNotIn(b"X-Evil", response.head)
                self.assertEqual(self.logged(mark), (
                    ["Vornex API error: Failed to read connection, will try "
                     "with secondary server"], []))
                self.assertEqual(len(self.primary.take()), 1)
                self.assertEqual(len(self.secondary.take()), 1)

    def test_both_failing_serves_unscreened_with_full_body(self):
        """When both calls fail the request is served by its handler with its
        whole body, after one warning and one error line."""
        data = body_of(100000, seed=5)
        refused = "Could not establish connection"
        cases = (("both refused", None, refused, refused),
                 ("working", (500, 500), "primary down", "secondary down"))
        for name, statuses, warning, error in cases:
            for chunked in (False, True):
                with self.subTest(servers=name, chunked=chunked):
                    if statuses:
                        self.primary.reply = check_reply(statuses[0],
                                                         body="primary down")
                        self.secondary.reply = check_reply(
                            statuses[1], body="secondary down")
                    mark = self.server.log_mark()
                    response = request(self.ports[name], "POST",
                                       "/cgi-bin/echo.py", body=data,
                                       chunked=chunked, expect=True)
                    self.assertEqual(response.status, 200)
                    self.assertEqual(response.body, echo_line(data))
                    self.assertEqual(self.logged(mark), (
                        ["Vornex API error: %s, will try with secondary "
                         "server" % warning],
                        ["Vornex API error: %s" % error]))
                    self.primary.take()
                    self.secondary.take()

    def test_unparsable_addresses_count_as_failed_attempts(self):
        """An address whose port does not convert is a failed attempt with the
        message stoi; a second failure serves the request unscreened."""
        retry = "Vornex API error: %s, will try with secondary server"
        data = body_of(30000, seed=9)
        cases = (
            ("bad primary", [retry % "stoi"], [], 1),
            ("both bad", [retry % "stoi"], ["Vornex API error: stoi"], 0),
            ("refused, bad secondary",
             [retry % "Could not establish connection"],
             ["Vornex API error: stoi"], 0),
        )
        for name, warnings, errors, secondary_checks in cases:
            with self.subTest(servers=name):
                mark = self.server.log_mark()
                response = request(self.ports[name], "POST",
                                   "/cgi-bin/echo.py", body=data)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, echo_line(data))
                self.assertEqual(self.logged(mark), (warnings, errors))
                self.assertEqual(self.primary.take(), [])
                sent = self.secondary.take()
                self.assertEqual(len(sent), secondary_checks)
                for one in sent:
                    self.assertEqual(one.screened_body(), data)
                    self.assertEqual(one.value("VX-RemotePort"),
                                     str(response.client_port))


if __name__ == "__main__":
    main()
