"""The skip pattern recommended in the packaged configuration against the
built-in one: the same static files skipped, the query bypasses screened;
both look at the target as the server resolves it."""

import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def recommended_line():
    """The commented VornexSkip line of the packaged vornex.conf."""
    with open(os.path.join(ROOT, "packaging", "debian", "vornex.conf")) as f:
        found = re.findall(r"^\s*#(VornexSkip .*)$", f.read(), re.M)
    if len(found) != 1:
        raise AssertionError("expected one VornexSkip line, got %r" % found)
    return found[0]


# target: (skipped by the built-in pattern, skipped by the recommended one)
CASES = (
    ("/app.js", True, True),
    ("/assets/App.JS?v=3", True, True),
    ("/x.jpeg", True, True),
    ("/x.woff2", True, True),
    ("/a.png?", True, True),
    ("/img/logo.svg?v=1.2", True, True),
    ("/login.php?x=a.css", True, False),
    ("/api/buy?ref=promo.png", True, False),
    ("/index.php?file=logo.png", True, False),
    ("/cgi-bin/echo.py?x=a.css", True, False),
    ("/search?q=a.js&page=2.png", True, False),
    ("/.js", False, False),
    ("/a/.png", False, False),
    ("/dir/file.css/extra", False, False),
    ("/a.jsx", False, False),
    ("/page.html", False, False),
    ("/page.html?a", False, False),
    # Absolute-form targets are served from their path, "/" when they have
    # none; the host name is no file name.
    ("http://site.js?action=login", False, False),
    ("http://localhost.css", False, False),
    ("http://cdn.example.png?page=admin", False, False),
    ("HTTP://cdn.example.png/?page=admin", False, False),
    ("http://%s/app.js?v=1" % LOOPBACK, True, True),
    ("http://%s/index.php?file=logo.png" % LOOPBACK, True, False),
    # Path parameters, which a proxied backend drops from the path while the
    # server keeps them: skipped only when static both ways.
    ("/px/login;x.css", False, False),
    ("/px/login;x.css?a=1", False, False),
    ("/px/app.js;v=2", False, False),
)


class RecommendedSkipTest(ServerTestCase):
    """Port 0 screens with the built-in pattern, port 1 with the recommended
    one; /cgi-bin/ has AcceptPathInfo Off on port 1 only."""

    @classmethod
    def setUpClass(cls):
        cls.line = recommended_line()
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(ports=2)
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[1]),
            cls.line,
            "<Location /cgi-bin/>", "AcceptPathInfo Off", "</Location>",
            "</VirtualHost>",
        ]))
        s.write("htdocs/page.html", "<p>page</p>\n")
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()

    def setUp(self):
        self.check.take()

    def screened(self, port, target):
        response = request(port, "GET", target)
        self.assertNotIn(response.status, (500,))
        return len(self.check.take()) == 1

    def test_recommended_pattern_is_the_documented_one(self):
        """The pattern in the package's vornex.conf is the one the directives
        document recommends."""
        with open(os.path.join(ROOT, "docs", "directives.md")) as f:
            self.assertIn("\n%s\n" % self.line, f.read())

    def test_recommended_pattern_screens_query_bypasses(self):
        """Both patterns skip the same static files and screen absolute-form
        targets by their path and paths by what precedes their parameters;
        only the built-in one lets a query ending in an extension avoid
        screening."""
        for target, builtin_skips, recommended_skips in CASES:
            with self.subTest(target=target):
                self.assertEqual(self.screened(self.server.ports[0], target),
                                 not builtin_skips)
                self.assertEqual(self.screened(self.server.ports[1], target),
                                 not recommended_skips)

    def test_path_info_bypass_closed_by_accept_path_info_off(self):
        """A script reached through a static-looking path info is skipped by
        both patterns; with AcceptPathInfo Off it does not run at all."""
        target = "/cgi-bin/echo.py/x.css"
        response = request(self.server.ports[0], "GET", target)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.body, echo_line(b""))
        self.assertEqual(self.check.take(), [])
        response = request(self.server.ports[1], "GET", target)
        self.assertEqual(response.status, 404)
        self.assertEqual(self.check.take(), [])


class RuleAtHeadTest(ServerTestCase):
    """Port 0 of a server where no section sets VornexSkip, so the built-in
    rule is taken when the head is read; port 1 of one where a <Location>
    sets its own pattern, so it cannot be. Both add a header line in
    post_read_request, after the module copies the client's."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.servers = []
        for own in (False, True):
            s = cls.apache(modules=["headers"])
            lines = ["VornexPrimaryServer %s" % cls.check.address,
                     "VornexSecondaryServer %s" % cls.check.address,
                     "VornexCheck On",
                     "RequestHeader set X-Added by-server early"]
            if own:
                lines += ["<Location /own/>", 'VornexSkip "^/nothing$"',
                          "</Location>"]
            s.configure("\n".join(lines))
            s.write("htdocs/page.html", "<p>page</p>\n")
            s.start()
            cls.servers.append(s)

    def setUp(self):
        self.check.take()

    def checked_lines(self, server, target):
        """The header lines of the check that `target` made, or None."""
        response = request(server.port, "GET", target,
                           headers=[("User-Agent", "browser")])
        self.assertNotEqual(response.status, 500)
        checks = self.check.take()
        self.assertLessEqual(len(checks), 1)
        if not checks:
            return None
        head = checks[0].body.split(b"\r\n\r\n")[0].decode()
        return [line for line in head.split("\r\n")[1:] if line]

    def test_builtin_rule_skips_and_screens_as_the_table_says(self):
        """Taken when the head is read, the rule skips what it skips when
        taken in the handler, and the checks of the others carry the client's
        header lines, without the one the server added."""
        server = self.servers[0]
        for target, builtin_skips, _ in CASES:
            with self.subTest(target=target):
                lines = self.checked_lines(server, target)
                self.assertEqual(lines is None, builtin_skips)
                if lines is not None:
                    # The server takes an absolute-form target's host name
                    # for its Host line when it reads the head.
                    self.assertEqual(lines[1:], ["User-Agent: browser",
                                                 "Connection: close"])
                    self.assertTrue(lines[0].startswith("Host: "), lines)

    def test_own_pattern_screens_static_target_with_client_lines(self):
        """Where a section sets its own pattern, a target the built-in rule
        would skip is screened there, with the client's header lines; outside
        it the built-in rule still skips it."""
        server = self.servers[1]
        self.assertEqual(self.checked_lines(server, "/own/style.css"), [
            "Host: %s:%d" % (LOOPBACK, server.port), "User-Agent: browser",
            "Connection: close"])
        self.assertIsNone(self.checked_lines(server, "/style.css"))


if __name__ == "__main__":
    main()
