"""Requests that mod_proxy serves are screened before they leave for the
backend, and the backend receives the body intact and framed as it would be
without the module."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends  # noqa: E402
from testbed.bodies import BODY_SIZES, body_of, echo_line, sha256  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

MODULES = ("proxy", "proxy_http", "proxy_wstunnel", "rewrite")
# Sent as Host by every client here, so that what mod_proxy derives from it
# (X-Forwarded-Host) is the same on every server.
HOST = "proxy.test"
# The three ways a request reaches the echo backend: ProxyPass over TCP,
# ProxyPass over a Unix socket, and a mod_rewrite [P] rule.
ROUTES = ("/app/", "/sock/", "/rw/")
# The two ways a WebSocket reaches its backend: a ws:// ProxyPass
# (mod_proxy_wstunnel) and an http:// one with upgrade=websocket.
WS_ROUTES = ("/ws/", "/wsu/")
PAGE = "<html><body>prove you are human</body></html>\n"
OCTETS = ("Content-Type", "application/octet-stream")


class ProxyCase:
    """An event-MPM server with the module and the proxy routes, and a
    server with the same routes but no module, both in front of the same
    backends: an echo server on TCP, one on a Unix socket, a WebSocket echo
    server."""

    vornex_first = False

    @classmethod
    def setUpClass(cls):
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        cls.unix_backend = backends.EchoBackend(unix=True)
        cls.addClassCleanup(cls.unix_backend.close)
        cls.ws_backend = backends.WebSocketBackend()
        cls.addClassCleanup(cls.ws_backend.close)
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        routes = "\n".join([
            "ProxyPass /app/ %s" % cls.backend.url(),
            "ProxyPass /sock/ %s" % cls.unix_backend.url(),
            "ProxyPass /ws/ %s" % cls.ws_backend.url("ws"),
            "ProxyPass /wsu/ %s upgrade=websocket" % cls.ws_backend.url(),
            "RewriteEngine On",
            "RewriteRule ^/rw/(.*)$ %s$1 [P]" % cls.backend.url(),
            # A missing page's error document comes from the backend.
            "<Location /gone/>", "  ErrorDocument 404 /app/error",
            "</Location>",
        ])
        s = cls.server = cls.apache(modules=MODULES,
                                    vornex_first=cls.vornex_first)
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On", routes]))
        s.start()
        cls.plain = cls.apache(modules=MODULES, vornex=False)
        cls.plain.configure(routes)
        cls.plain.start()

    def setUp(self):
        self.check.reply = check_reply(200)
        for server in (self.check, self.backup, self.backend,
                       self.unix_backend, self.ws_backend):
            server.take()

    def tearDown(self):
        for server in (self.backend, self.unix_backend, self.ws_backend):
            self.assertEqual(server.errors, [])

    def backend_of(self, route):
        return self.unix_backend if route == "/sock/" else self.backend

    def send(self, server, route, data, method="POST", **kwargs):
        """One request to `route`echo through `server`; returns the client's
        response, what the backend received and the checks it caused, all
        collected before anything is asserted."""
        response = request(server.port, method, route + "echo?q=1",
                           headers=(OCTETS,), body=data, host=HOST, **kwargs)
        return (response, self.backend_of(route).take(),
                (self.check.take(), self.backup.take()))

    def assert_checked_once(self, checks, route, data, method="POST"):
        """The request made one check, to the primary server, with its
        request line and body."""
        sent, backup = checks
        self.assertEqual((len(sent), len(backup)), (1, 0))
        self.assertEqual(sent[0].target_line(),
                         "%s %secho?q=1 HTTP/1.1" % (method, route))
        self.assertEqual(sent[0].screened_body(), data or b"")

    def test_bodies_reach_backend_intact_and_checked_once(self):
        """Every body size, fixed-length and chunked, on every route reaches
        the backend byte for byte after one check that carried the same
        bytes."""
        for route in ROUTES:
            for size in BODY_SIZES:
                data = body_of(size, seed=size)
                for chunked in (False, True):
                    with self.subTest(route=route, size=size,
                                      chunked=chunked):
                        response, got, checks = self.send(
                            self.server, route, data, chunked=chunked,
                            chunk_size=7000)
                        self.assertEqual(response.status, 200)
                        self.assertEqual(response.body, echo_line(data))
                        self.assertEqual(len(got), 1)
                        self.assertEqual(got[0].request_line,
                                         "POST /echo?q=1 HTTP/1.1")
                        self.assertEqual(got[0].sha256, sha256(data))
                        self.assert_checked_once(checks, route, data)
        self.assert_no_crash(self.server)

    def assert_same_as_plain(self, route, data, **kwargs):
        """Sends the request through both servers; asserts that the backend
        received the same request line and header lines, in order, and the
        same body from each."""
        plain, before, _ = self.send(self.plain, route, data, **kwargs)
        screened, after, checks = self.send(self.server, route, data,
                                            **kwargs)
        self.assertEqual((plain.status, screened.status), (200, 200))
        self.assertEqual(screened.body, plain.body)
        self.assertEqual((len(before), len(after)), (1, 1))
        self.assertEqual(after[0].framing(), before[0].framing())
        self.assertEqual(
            (after[0].request_line, after[0].headers, after[0].sha256),
            (before[0].request_line, before[0].headers, before[0].sha256))
        self.assert_checked_once(checks, route, data,
                                 kwargs.get("method", "POST"))

    def test_backend_receives_same_headers_as_without_module(self):
        """For a GET and for POSTs of every size, fixed-length and chunked,
        the backend receives the same request line, framing headers and
        header lines as when the module is not loaded."""
        for route in ROUTES:
            with self.subTest(route=route, method="GET"):
                self.assert_same_as_plain(route, None, method="GET")
            for size in BODY_SIZES:
                data = body_of(size, seed=size + 7)
                for chunked in (False, True):
                    with self.subTest(route=route, size=size,
                                      chunked=chunked):
                        self.assert_same_as_plain(route, data,
                                                  chunked=chunked,
                                                  chunk_size=5000)

    def test_chunked_body_near_prefetch_limit_framed_as_without_module(self):
        """Chunked bodies around the size where mod_proxy_http stops sending
        them on with a Content-Length reach the backend framed as they do
        without the module."""
        # mod_proxy_http reads ahead until it has 16304 bytes (16 KiB less
        # 80) or the end of the body; it sends a Content-Length only when it
        # saw the end. The server's chunked decoder gives the end of the body
        # on a read of its own, after the last data.
        for size in (16303, 16304, 16384, 16385):
            data = body_of(size, seed=size)
            with self.subTest(size=size):
                self.assert_same_as_plain("/app/", data, chunked=True,
                                          chunk_size=5000)

    def test_expect_continue_body_reaches_backend_once_continued(self):
        """With Expect: 100-continue the client gets one 100 and then the
        backend's answer, and the backend receives the body intact, sent on
        as for the same request without Expect."""
        # The module reads the body for the check, so the client has had its
        # 100 before mod_proxy runs. Without the module mod_proxy_http would
        # pass Expect on (Proxy100Continue) and stream the body chunked; with
        # it the request no longer waits for a 100, and mod_proxy forwards it
        # as it does a request that never asked for one.
        for route in ROUTES:
            for size in (1, 8193, 65536, 1024 * 1024 + 1):
                data = body_of(size, seed=size + 3)
                for chunked in (False, True):
                    with self.subTest(route=route, size=size,
                                      chunked=chunked):
                        _, before, _ = self.send(self.plain, route, data,
                                                 chunked=chunked)
                        response, got, checks = self.send(
                            self.server, route, data, chunked=chunked,
                            expect=True)
                        self.assertTrue(response.continued)
                        self.assertEqual(response.status, 200)
                        self.assertEqual(response.body, echo_line(data))
                        self.assertEqual(len(got), 1)
                        self.assertEqual(got[0].sha256, sha256(data))
                        self.assertEqual(got[0].values("Expect"), [])
                        self.assertEqual(got[0].headers, before[0].headers)
                        self.assert_checked_once(checks, route, data)

    def test_block_verdict_never_reaches_backend(self):
        """A block verdict gives the client the server's 403 and the backend
        never sees the request, with or without a body."""
        self.check.reply = check_reply(403)
        for route in ROUTES:
            for data in (None, body_of(65536, seed=5)):
                for chunked in (False, True):
                    if data is None and chunked:
                        continue
                    with self.subTest(route=route, body=data is not None,
                                      chunked=chunked):
                        served = self.backend_of(route).count
                        method = "GET" if data is None else "POST"
                        response, got, checks = self.send(
                            self.server, route, data, method=method,
                            chunked=chunked)
                        self.assertEqual(response.status, 403)
                        self.assertIn(b"Forbidden", response.body)
                        self.assertEqual(got, [])
                        self.assertEqual(self.backend_of(route).count, served)
                        self.assert_checked_once(checks, route, data,
                                                 method)

    def test_challenge_shows_page_and_never_reaches_backend(self):
        """A challenge verdict gives 403 with the check server's page as the
        body, and the backend never sees the request."""
        self.check.reply = check_reply(
            200, [("VX-X-Mitigation", "challenge")], body=PAGE)
        data = body_of(8193, seed=6)
        for route in ROUTES:
            with self.subTest(route=route):
                served = self.backend_of(route).count
                response, got, checks = self.send(self.server, route, data)
                self.assertEqual(response.status, 403)
                self.assertEqual(response.body, PAGE.encode())
                self.assertEqual(response.header("Content-Type"),
                                 "text/html")
                self.assertEqual(got, [])
                self.assertEqual(self.backend_of(route).count, served)
                self.assert_checked_once(checks, route, data)

    def test_inject_headers_reach_client_through_proxy(self):
        """An inject verdict's headers, every Set-Cookie among them, reach
        the client whether the backend answers on a route or as the error
        document of a missing page, on the response the server gives
        without the module; a header the backend sets under the same name
        goes out next to the injected one, as a script's does."""
        self.check.reply = check_reply(200, [
            ("VX-X-Mitigation", "inject"), ("VX-Injected", "yes"),
            ("VX-Set-Cookie", "a=1"), ("VX-Set-Cookie", "b=2"),
            ("VX-X-Got-Content-Type", "injected")])
        data = body_of(20000, seed=9)
        cases = [(route + "echo?q=1", route) for route in ROUTES]
        cases.append(("/gone/page", "/app/"))
        for target, route in cases:
            for method, body in (("GET", None), ("POST", data)):
                with self.subTest(target=target, method=method):
                    plain, screened = (
                        request(server.port, method, target,
                                headers=(OCTETS,), body=body, host=HOST)
                        for server in (self.plain, self.server))
                    got = self.backend_of(route).take()
                    self.assertEqual((screened.status, screened.body),
                                     (plain.status, plain.body))
                    self.assertEqual(len(got), 2)
                    self.assertEqual(plain.values("Injected"), [])
                    self.assertEqual(screened.values("Injected"), ["yes"])
                    self.assertEqual(screened.values("Set-Cookie"),
                                     ["a=1", "b=2"])
                    self.assertEqual(screened.values("X-Got-Content-Type"),
                                     plain.values("X-Got-Content-Type")
                                     + ["injected"])
                    self.assertEqual(len(self.check.take()), 1)

    def test_websocket_pass_verdict_gives_working_tunnel(self):
        """A WebSocket handshake is checked once; after a pass verdict the
        client gets 101 with the right accept key and messages echo both
        ways through the tunnel."""
        for route in WS_ROUTES:
            with self.subTest(route=route):
                client = backends.WebSocketClient(self.server.port,
                                                  route + "chat?room=1")
                checks = (self.check.take(), self.backup.take())
                try:
                    self.assertEqual(client.status, 101)
                    self.assertTrue(client.accepted)
                    for message in ("hello", "x" * 70000):
                        client.send(message)
                        self.assertEqual(client.receive(),
                                         (backends.WS_TEXT, message.encode()))
                    client.send(b"\x00\xff", backends.WS_BINARY)
                    self.assertEqual(client.receive(),
                                     (backends.WS_BINARY, b"\x00\xff"))
                finally:
                    closed = client.close()
                    handshakes = self.ws_backend.take()
                self.assertEqual(closed, backends.WS_CLOSE)
                self.assertEqual([line for line, _ in handshakes],
                                 ["GET /chat?room=1 HTTP/1.1"])
                self.assertEqual(backends.values(handshakes[0][1], "Upgrade"),
                                 ["websocket"])
                sent, backup = checks
                self.assertEqual((len(sent), len(backup)), (1, 0))
                self.assertEqual(sent[0].target_line(),
                                 "GET %schat?room=1 HTTP/1.1" % route)
                self.assertIn(b"\r\nUpgrade: websocket\r\n", sent[0].body)
                self.assertEqual(sent[0].screened_body(), b"")

    def test_websocket_block_verdict_never_reaches_backend(self):
        """A block verdict answers the WebSocket handshake with 403 and the
        backend never sees it."""
        self.check.reply = check_reply(403)
        for route in WS_ROUTES:
            with self.subTest(route=route):
                served = self.ws_backend.count
                client = backends.WebSocketClient(self.server.port,
                                                  route + "chat")
                client.sock.close()
                sent = self.check.take()
                self.assertEqual(client.status, 403)
                self.assertFalse(client.accepted)
                self.assertIn(b"Forbidden", client.body)
                self.assertEqual(self.ws_backend.count, served)
                self.assertEqual([s.target_line() for s in sent],
                                 ["GET %schat HTTP/1.1" % route])
        self.assert_no_crash(self.server)


class ModuleLastTest(ProxyCase, ServerTestCase):
    """The module loaded after mod_proxy, as Debian's a2enmod orders it."""

    vornex_first = False


class ModuleFirstTest(ProxyCase, ServerTestCase):
    """The module loaded before every other module."""

    vornex_first = True


if __name__ == "__main__":
    main()
