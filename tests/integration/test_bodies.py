"""The body read for the check reaches the real content handler intact."""

import collections
import os
import random
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import (BODY_SIZES, ECHO_CGI, ECHO_PHP,  # noqa: E402
                            body_of, echo_line, sha256)
from testbed.client import request  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

LIMIT = 10000


class BodyRelayCase:
    """A server with screening on everywhere, the echo script under
    /cgi-bin/ (limited.py with LimitRequestBody), and .act files handed by
    mod_actions to the echo script (screened in /act, not in /act-off)."""

    modules = ("actions",)

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(mpm=cls.mpm, cgi=cls.cgi,
                                    modules=cls.modules)
        action = ["AddHandler vornex-action .act",
                  "Action vornex-action /cgi-bin/echo.py"]
        s.configure("\n".join(
            ["VornexPrimaryServer %s" % cls.check.address,
             "VornexSecondaryServer %s" % cls.backup.address,
             "VornexCheck On",
             '<Directory "%s/act">' % s.htdocs] + action + [
             "</Directory>",
             '<Directory "%s/act-off">' % s.htdocs, "VornexCheck Off"]
            + action + ["</Directory>",
                        "<Location /cgi-bin/limited.py>",
                        "LimitRequestBody %d" % LIMIT, "</Location>"]))
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.write("cgi-bin/limited.py", ECHO_CGI, 0o755)
        s.write("htdocs/echo.php", ECHO_PHP)
        s.write("htdocs/act/form.act", "")
        s.write("htdocs/act-off/form.act", "")
        s.start()

    def setUp(self):
        self.check.take()
        self.backup.take()

    def assert_bodies_relayed(self, target):
        """Every body size, fixed-length and chunked, with and without
        Expect: 100-continue, reaches the handler and the check server."""
        for size in BODY_SIZES:
            data = body_of(size, seed=size)
            for chunked in (False, True):
                for expect in (False, True):
                    with self.subTest(target=target, size=size,
                                      chunked=chunked, expect=expect):
                        mark = self.server.log_mark()
                        response = request(self.server.port, "POST", target,
                                           body=data, chunked=chunked,
                                           chunk_size=7000, expect=expect)
                        self.assertEqual(response.status, 200)
                        self.assertEqual(response.body, echo_line(data))
                        if expect and (size or chunked):
                            self.assertTrue(response.continued)
                        sent = self.check.take()
                        self.assertEqual(len(sent), 1)
                        self.assertEqual(sent[0].target_line(),
                                         "POST %s HTTP/1.1" % target)
                        self.assertEqual(sent[0].screened_body(), data)
                        self.assertEqual(
                            sent[0].body.endswith(b"\r\n\r\n" + data),
                            size > 0)
                        dumps = [m for m in
                                 self.server.messages_since(mark, "debug")
                                 if m.startswith("enabled=")]
                        self.assertEqual(dumps, ["enabled=1"])
        self.assertEqual(self.backup.take(), [])

    def test_action_redirect_screened_once_and_body_relayed(self):
        """A mod_actions redirect to the CGI script is screened once, on the
        original request, and the script reads the parked body."""
        self.assert_bodies_relayed("/act/form.act")

    def test_redirect_of_unscreened_request_reads_body_from_client(self):
        """When the original request was not screened, neither is its redirect,
        and the script still reads the whole body."""
        data = body_of(70000, seed=1)
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                response = request(self.server.port, "POST",
                                   "/act-off/form.act", body=data,
                                   chunked=chunked)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, echo_line(data))
                self.assertEqual(self.check.take(), [])

    def test_body_over_limit_is_checked_then_refused(self):
        """A body over LimitRequestBody is checked with what was read before
        the limit struck, and the script's handler gets the failure: 413."""
        data = body_of(3 * LIMIT, seed=2)
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                response = request(self.server.port, "POST",
                                   "/cgi-bin/limited.py", body=data,
                                   chunked=chunked, chunk_size=1000)
                self.assertEqual(response.status, 413)
                sent, = self.check.take()
                read = sent.screened_body()
                self.assertEqual(read, data[:len(read)])
                self.assertLessEqual(len(read), LIMIT)
                if not chunked:
                    # The declared length is refused before any byte is read.
                    self.assertEqual(read, b"")
                    self.assertTrue(sent.body.endswith(
                        b"Connection: close\r\n"))


class EventCgidTest(BodyRelayCase, ServerTestCase):
    """Event MPM with mod_cgid."""

    mpm = "event"
    cgi = "cgid"

    def test_cgid_script_receives_checked_body(self):
        """A mod_cgid script reads exactly the body that was checked."""
        self.assert_bodies_relayed("/cgi-bin/echo.py")

    def test_concurrent_posts_arrive_intact(self):
        """16 clients posting 20 random bodies each all get their own body
        back, the check server sees each once, and no worker crashes."""
        clients, per_client = 16, 20
        results = []
        lock = threading.Lock()
        deadline = time.monotonic() + 240

        def client(index):
            rng = random.Random(1000 + index)
            for n in range(per_client):
                if time.monotonic() > deadline:
                    return
                data = rng.randbytes(rng.randint(0, 100 * 1024))
                target = ("/act/form.act" if n % 4 == 3
                          else "/cgi-bin/echo.py")
                try:
                    response = request(self.server.port, "POST", target,
                                       body=data, chunked=rng.random() < 0.5,
                                       chunk_size=rng.randint(1, 9000),
                                       timeout=60)
                    outcome = (response.status, response.body)
                except Exception as e:  # recorded and reported below
                    outcome = ("error", repr(e))
                with lock:
                    results.append((data, outcome))

        threads = [threading.Thread(target=client, args=(i,), daemon=True)
                   for i in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(1, deadline - time.monotonic()))
        self.assertEqual(len(results), clients * per_client)
        wrong = [(len(d), o) for d, o in results
                 if o != (200, echo_line(d))]
        self.assertEqual(wrong[:5], [])
        checked = collections.Counter(
            sha256(r.screened_body()) for r in self.check.take())
        self.assertEqual(checked,
                         collections.Counter(sha256(d) for d, _ in results))
        self.assert_no_crash(self.server)


class PreforkTest(BodyRelayCase, ServerTestCase):
    """Prefork MPM with mod_cgi and mod_php."""

    mpm = "prefork"
    cgi = "cgi"
    modules = ("actions", "php")

    def test_cgi_script_receives_checked_body(self):
        """A mod_cgi script reads exactly the body that was checked."""
        self.assert_bodies_relayed("/cgi-bin/echo.py")

    def test_php_input_receives_checked_body(self):
        """A PHP script reading php://input gets exactly the body that was
        checked."""
        self.assert_bodies_relayed("/echo.php")


if __name__ == "__main__":
    main()
