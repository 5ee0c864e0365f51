"""Loading, directives, section merging, the debug dump and the skip gate."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

# The built-in skip expression as the module holds it.
STATIC_FILE_PATTERN = (
    r"\/.*[^\/]\.(css|js|map|jpe?g|gif|png|svg|ico|ttf|woff2?|eot|otf|ogg|"
    r"mp3|mp4|mpg|avi|mov|flv|swf|apng|avif|jfif|pjpeg|pjp|webp)(\?|$)")
# The error log escapes every backslash of a message.
LOGGED_BUILTIN = STATIC_FILE_PATTERN.replace("\\", "\\\\")


class ConfigurationReaderTest(ServerTestCase):
    """What `apache2 -t` accepts and refuses; no server is started."""

    @classmethod
    def setUpClass(cls):
        cls.server = cls.apache()

    def test_module_loads_as_shared_module(self):
        """The built module passes the syntax check and is listed as loaded."""
        rc, out = self.server.syntax_check("VornexCheck On")
        self.assertEqual(rc, 0, out)
        self.assertIn("Syntax OK", out)
        rc, out = self.server.syntax_check("", dump_modules=True)
        self.assertEqual(rc, 0, out)
        self.assertIn("vornex_module (shared)", out)

    def test_server_directives_refused_inside_sections(self):
        """The three server-wide directives are refused in per-directory
        sections, naming the directive."""
        sections = (('<Directory "/tmp">', "</Directory>"),
                    ("<Location /x>", "</Location>"),
                    ("<Files x.html>", "</Files>"))
        for directive in ("VornexPrimaryServer 127.0.0.1:1",
                          "VornexSecondaryServer 127.0.0.1:1",
                          "VornexCacheResults On"):
            for opening, closing in sections:
                with self.subTest(directive=directive, section=opening):
                    rc, out = self.server.syntax_check(
                        "%s\n%s\n%s" % (opening, directive, closing))
                    self.assertNotEqual(rc, 0, out)
                    self.assertIn("%s not allowed" % directive.split()[0],
                                  out)

    def test_all_directives_accepted_where_they_belong(self):
        """Every directive passes in its allowed places, so the refusals
        above are about the place and nothing else."""
        conf = "\n".join([
            "VornexPrimaryServer 127.0.0.1:1",
            "VornexSecondaryServer [::1]:2",
            "VornexCacheResults Off",
            "VornexSkip ^/a",
            "VornexCheck Off",
            "VornexCgiCompat On",
            "<VirtualHost %s:%d>" % (LOOPBACK, self.server.port),
            "  VornexPrimaryServer 127.0.0.1:3",
            "  VornexCacheResults On",
            "</VirtualHost>",
            '<Directory "/tmp">',
            "  VornexSkip ^/b",
            "  VornexCheck On",
            "  VornexCgiCompat Off",
            "</Directory>",
            "<Location /x>",
            "  VornexCheck On",
            "</Location>",
            "<Files x.html>",
            "  VornexSkip (",
            "</Files>",
        ])
        rc, out = self.server.syntax_check(conf)
        self.assertEqual(rc, 0, out)

    def test_malformed_arguments_refused(self):
        """The server's own argument checks apply: a flag takes On or Off,
        and an empty skip pattern does not count as an argument."""
        cases = (('VornexSkip ""', "VornexSkip takes one argument"),
                 ("VornexSkip", "VornexSkip takes one argument"),
                 ("VornexCheck maybe", "VornexCheck must be On or Off"),
                 ("VornexPrimaryServer a b",
                  "VornexPrimaryServer takes one argument"))
        for line, message in cases:
            with self.subTest(line=line):
                rc, out = self.server.syntax_check(line)
                self.assertNotEqual(rc, 0, out)
                self.assertIn(message, out)


class GateTest(ServerTestCase):
    """One server whose virtual hosts and sections cover the screening gate.

    Ports: 0 the main server (nothing configured), 1 both check servers and
    VornexCacheResults, 2 no primary, 3 no secondary, 4 VornexSkip ^/health
    with screening on, 5 the built-in pattern with screening on."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(ports=6)
        both = ("VornexPrimaryServer %s\nVornexSecondaryServer %s"
                % (cls.check.address, cls.backup.address))
        d = s.htdocs
        s.configure("\n".join([
            '<Directory "%s/on">' % d, "VornexCheck On", "</Directory>",
            '<Directory "%s/on/plain">' % d, "Options None", "</Directory>",
            '<Directory "%s/on/off">' % d, "VornexCheck Off", "</Directory>",
            '<Directory "%s/ht">' % d, "AllowOverride All", "</Directory>",
            '<Directory "%s/htbad">' % d, "AllowOverride All",
            "</Directory>",
            '<Directory "%s/compat">' % d, "VornexCheck On",
            "VornexCgiCompat On", "</Directory>",
            '<Directory "%s/twice">' % d, "VornexCheck On",
            "VornexSkip ^/nothing", "VornexSkip ^/twice/skip",
            "</Directory>",
            "<Location /badre>", 'VornexSkip "("', "</Location>",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[1]), both,
            "VornexCacheResults On", "</VirtualHost>",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[2]),
            "VornexSecondaryServer %s" % cls.backup.address,
            "</VirtualHost>",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[3]),
            "VornexPrimaryServer %s" % cls.check.address, "</VirtualHost>",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[4]), both,
            "VornexCheck On", "VornexSkip ^/health", "</VirtualHost>",
            "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[5]), both,
            "VornexCheck On", "</VirtualHost>",
        ]))
        for page in ("page.html", "on/page.html", "on/plain/page.html",
                     "on/off/page.html", "ht/page.html", "htbad/page.html",
                     "compat/page.html", "twice/skip.html",
                     "twice/nothing.html", "badre/page.html"):
            s.write("htdocs/" + page, "<p>%s</p>\n" % page)
        s.write("htdocs/ht/.htaccess", "VornexCheck On\n")
        s.write("htdocs/htbad/.htaccess",
                "VornexPrimaryServer %s\n" % cls.check.address)
        s.start()

    def get(self, port_index, target):
        """GET on one of the server's ports; returns the response and the
        number of check requests it caused on either check server."""
        self.check.take()
        self.backup.take()
        response = request(self.server.ports[port_index], "GET", target)
        return response, len(self.check.take()) + len(self.backup.take())

    def test_debug_lines_dump_effective_configuration(self):
        """Every main request logs exactly the five debug lines, in order,
        with unset texts as (null) and unset flags as -1."""
        check, backup = self.check.address, self.backup.address
        cases = (
            (1, "/on/page.html", ["primary_server=" + check,
                                  "secondary_server=" + backup,
                                  "cache_results=1",
                                  "skip_uri=" + LOGGED_BUILTIN,
                                  "enabled=1"]),
            (0, "/page.html", ["primary_server=(null)",
                               "secondary_server=(null)",
                               "cache_results=-1",
                               "skip_uri=" + LOGGED_BUILTIN,
                               "enabled=-1"]),
            (1, "/on/off/page.html", ["primary_server=" + check,
                                      "secondary_server=" + backup,
                                      "cache_results=1",
                                      "skip_uri=" + LOGGED_BUILTIN,
                                      "enabled=0"]),
            (4, "/health", ["primary_server=" + check,
                            "secondary_server=" + backup,
                            "cache_results=-1",
                            "skip_uri=^/health",
                            "enabled=1"]),
            (1, "/twice/nothing.html", ["primary_server=" + check,
                                        "secondary_server=" + backup,
                                        "cache_results=1",
                                        "skip_uri=^/twice/skip",
                                        "enabled=1"]),
        )
        for port_index, target, lines in cases:
            with self.subTest(port=port_index, target=target):
                mark = self.server.log_mark()
                self.get(port_index, target)
                entries = self.server.entries_since(mark)
                self.assertEqual([m for _, _, m in entries], lines)
                self.assertEqual({(lvl, f) for lvl, f, _ in entries},
                                 {("debug", "vornex.cpp")})

    def test_sections_inherit_and_override_screening(self):
        """A section without the module's directives inherits VornexCheck On,
        VornexCheck Off and an unset flag turn screening off, and a
        .htaccess VornexCheck On turns it on."""
        cases = (("/page.html", 0), ("/on/page.html", 1),
                 ("/on/plain/page.html", 1), ("/on/off/page.html", 0),
                 ("/ht/page.html", 1), ("/compat/page.html", 1))
        for target, checks in cases:
            with self.subTest(target=target):
                response, made = self.get(1, target)
                self.assertEqual(made, checks)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body,
                                 b"<p>%s</p>\n" % target[1:].encode())

    def test_server_address_refused_in_htaccess(self):
        """VornexPrimaryServer in a .htaccess file makes the server answer
        500 and name the refused directive."""
        mark = self.server.log_mark()
        response, made = self.get(1, "/htbad/page.html")
        self.assertEqual(response.status, 500)
        self.assertEqual(made, 0)
        self.assertIn("VornexPrimaryServer not allowed here",
                      self.server.log_since(mark))

    def test_cgi_compat_only_logs_deprecation(self):
        """VornexCgiCompat On logs one deprecation warning per request and the
        request is screened as usual."""
        mark = self.server.log_mark()
        response, made = self.get(1, "/compat/page.html")
        self.assertEqual((response.status, made), (200, 1))
        self.assertEqual(self.server.messages_since(mark, "warn"),
                         ["VornexCgiCompat is deprecated"])
        mark = self.server.log_mark()
        self.get(1, "/on/page.html")
        self.assertEqual(self.server.messages_since(mark, "warn"), [])

    def test_builtin_pattern_skips_static_files(self):
        """The built-in pattern, tried on the raw target with its query,
        skips static files and screens look-alikes."""
        cases = (("/app.js", False), ("/assets/App.JS?v=3", False),
                 ("/x.jpeg", False), ("/x.woff2", False), ("/a.png?", False),
                 ("/index.php?file=logo.png", False),
                 ("/.js", True), ("/a/.png", True),
                 ("/dir/file.css/extra", True), ("/a.jsx", True),
                 ("/a.js/", True), ("/app%2Ejs", True), ("/page.html", True))
        for target, screened in cases:
            with self.subTest(target=target):
                _, made = self.get(5, target)
                self.assertEqual(made, 1 if screened else 0)

    def test_configured_pattern_replaces_builtin(self):
        """VornexSkip replaces the built-in pattern, and the later of two
        VornexSkip lines in one section wins."""
        cases = ((4, "/app.js", True), (4, "/health", False),
                 (4, "/healthz/a.css", False), (4, "/x/health", True),
                 (1, "/twice/skip.html", False),
                 (1, "/twice/nothing.html", True))
        for port_index, target, screened in cases:
            with self.subTest(port=port_index, target=target):
                _, made = self.get(port_index, target)
                self.assertEqual(made, 1 if screened else 0)

    def test_configuration_errors_answer_500_without_check(self):
        """A missing primary, a missing secondary and a skip pattern that does
        not compile log their error on every request and answer 500."""
        cases = (
            (2, "/on/page.html",
             "VornexPrimaryServer configuration parameter is not defined"),
            (3, "/on/page.html",
             "VornexSecondaryServer configuration parameter is not defined"),
            (5, "/badre/page.html",
             "VornexSkip configuration parameter contains an invalid "
             "regular expression"),
        )
        for port_index, target, message in cases:
            with self.subTest(message=message):
                mark = self.server.log_mark()
                for _ in range(2):
                    response, made = self.get(port_index, target)
                    self.assertEqual(response.status, 500)
                    self.assertEqual(made, 0)
                self.assertEqual(self.server.messages_since(mark, "error"),
                                 [message, message])
                self.assertNotIn("AH00524", self.server.log_since(mark))


if __name__ == "__main__":
    main()
