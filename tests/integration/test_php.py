"""PHP applications behind the module, in the deployments operators run
(PHP-FPM through mod_proxy_fcgi, php-cgi through mod_fcgid, mod_php), each
with a front controller: screened once per client request, and given the
body and the environment they get from the same server without the module,
whichever module the server loads first."""

import json
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import php  # noqa: E402
from testbed.bodies import BODY_SIZES, body_of, sha256  # noqa: E402
from testbed.client import post_at_once  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import (ORDERS, REFERENCE, ServerTestCase,  # noqa: E402
                           main, start_compared)

# Through the front controller, through DirectoryIndex, and directly.
TARGETS = ("/app/some/route", "/app/", "/app/index.php")
OCTETS = [("Content-Type", "application/octet-stream")]
FORM = [("Content-Type", "application/x-www-form-urlencoded")]
FORM_BODY = b"a=1&b=two+words&c%5B%5D=x&c%5B%5D=y&d=%C3%A9"
FORM_FIELDS = {"a": "1", "b": "two words", "c": ["x", "y"], "d": "\u00e9"}
PAGE = b"<html><body>prove you are a person</body></html>\n"


class PhpDeploymentCase:
    """The site on the three servers of testbed.suite.VARIANTS. The application
    under /app is htdocs/app/index.php, the report script, reached through a
    front controller."""

    mpm = "event"
    modules = ()
    targets = TARGETS
    sizes = BODY_SIZES

    @classmethod
    def site_conf(cls, server):
        """The deployment's configuration, the same for all three."""
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.backup = cls.scripted_check_server()
        cls.run_logs = {}
        cls.servers, cls.checks = start_compared(
            cls, cls.site, cls.backup, mpm=cls.mpm, cgi=None,
            modules=cls.modules)

    @classmethod
    def site(cls, server):
        """The report script in each of the deployment's directories, and
        the deployment's configuration."""
        run_log = os.path.join(php.run_log_dir(server.root), "ran.log")
        cls.run_logs[server.port] = run_log
        for d in cls.app_dirs:
            server.write("htdocs/%s/index.php" % d,
                         php.report_php(run_log))
        return cls.site_conf(server)

    def setUp(self):
        for check in self.checks.values():
            check.reply = check_reply(200)
            check.take()
        self.backup.take()

    def send(self, name, target, data, chunked, headers=OCTETS):
        """Posts to one of the servers; returns the response and the run log
        lines the request added."""
        port = self.servers[name].port
        before = len(php.read_runs(self.run_logs[port]))
        response = post_at_once(port, target, data, chunked=chunked,
                                headers=headers)
        return response, php.read_runs(self.run_logs[port])[before:]

    def report(self, name, target, data, chunked, headers=OCTETS):
        """What the application reported for one request that it served
        once."""
        response, runs = self.send(name, target, data, chunked, headers)
        self.assertEqual(response.status, 200, response.body[:300])
        self.assertEqual(runs, [target])
        return json.loads(response.body)

    def screened_report(self, name, target, data, chunked, headers=OCTETS):
        """The application's report for a request to a server with the
        module, after checking that the check server got it once."""
        reported = self.report(name, target, data, chunked, headers)
        self.assert_screened_once(name, target, data)
        return reported

    def assert_screened_once(self, name, target, data):
        sent = self.checks[name].take()
        self.assertEqual(len(sent), 1)
        self.assertEqual(sent[0].target_line(), "POST %s HTTP/1.1" % target)
        self.assertEqual(sent[0].screened_body(), data)

    def expected_length_variable(self, size, chunked):
        """CONTENT_LENGTH as the server gives it without the module."""
        raise NotImplementedError

    def reads_body(self, reference):
        """Whether the application reads the body without the module."""
        return True

    def assert_same_as_reference(self, target, data, chunked):
        reference = self.report(REFERENCE, target, data, chunked)
        self.assertEqual(reference["env"]["CONTENT_LENGTH"],
                         self.expected_length_variable(len(data), chunked))
        self.assertEqual(reference["env"]["CONTENT_TYPE"],
                         "application/octet-stream")
        read = data if self.reads_body(reference) else b""
        self.assertEqual((reference["length"], reference["sha256"]),
                         (len(read), sha256(read)))
        for name in ORDERS:
            with self.subTest(order=name):
                self.assertEqual(
                    self.screened_report(name, target, data, chunked),
                    reference)

    def test_bodies_reach_application_as_without_module(self):
        """Every body size, fixed-length and chunked, through the front
        controller, DirectoryIndex and directly: the application reads the
        same bytes with the same environment as without the module, and the
        check server gets the body once."""
        for target in self.targets:
            for size in self.sizes:
                data = body_of(size, seed=size)
                for chunked in (False, True):
                    with self.subTest(target=target, size=size,
                                      chunked=chunked):
                        self.assert_same_as_reference(target, data, chunked)
        self.assertEqual(self.backup.take(), [])
        for server in self.servers.values():
            self.assert_no_crash(server)

    def test_form_post_fills_post_fields(self):
        """A form post, fixed-length and chunked, fills $_POST as without
        the module."""
        for target in self.targets:
            for chunked in (False, True):
                with self.subTest(target=target, chunked=chunked):
                    reference = self.report(REFERENCE, target, FORM_BODY,
                                            chunked, FORM)
                    self.assertEqual(reference["post"], FORM_FIELDS)
                    for name in ORDERS:
                        with self.subTest(order=name):
                            self.assertEqual(
                                self.screened_report(name, target, FORM_BODY,
                                                     chunked, FORM),
                                reference)

    def test_block_verdict_never_runs_application(self):
        """A block verdict gives the server's 403 and the script never
        runs, whichever way the request would have reached it."""
        data = body_of(20000, seed=3)
        for name in ORDERS:
            self.checks[name].reply = check_reply(403)
            for target in self.targets:
                for chunked in (False, True):
                    with self.subTest(order=name, target=target,
                                      chunked=chunked):
                        response, runs = self.send(name, target, data,
                                                   chunked)
                        self.assertEqual(response.status, 403)
                        self.assertIn(b"Forbidden", response.body)
                        self.assertEqual(runs, [])
                        self.assert_screened_once(name, target, data)

    def test_challenge_gives_page_and_never_runs_application(self):
        """A challenge verdict answers 403 with the check server's page and
        the script never runs."""
        for name in ORDERS:
            self.checks[name].reply = check_reply(
                200, [("VX-X-Mitigation", "challenge")], body=PAGE)
            for target in self.targets:
                with self.subTest(order=name, target=target):
                    response, runs = self.send(name, target, FORM_BODY,
                                               False, FORM)
                    self.assertEqual(response.status, 403)
                    self.assertEqual(response.body, PAGE)
                    self.assertEqual(response.header("Content-Type"),
                                     "text/html")
                    self.assertEqual(runs, [])
                    self.assert_screened_once(name, target, FORM_BODY)


class PhpFpmTest(PhpDeploymentCase, ServerTestCase):
    """PHP-FPM through mod_proxy_fcgi as Debian's php8.2-fpm.conf sets it
    up, with the front controller in .htaccess; /app-cl sets proxy-sendcl,
    with which mod_proxy_fcgi measures every body before it sends it."""

    modules = ("proxy", "proxy_fcgi", "rewrite", "env")
    app_dirs = ("app", "app-cl")

    @classmethod
    def site_conf(cls, server):
        fpm = php.PhpFpm(server.root)
        fpm.start()
        cls.addClassCleanup(fpm.stop)
        server.write("htdocs/app/.htaccess", php.FRONT_CONTROLLER)
        server.write("htdocs/app-cl/.htaccess", php.FRONT_CONTROLLER)
        return "\n".join([
            php.fpm_conf(fpm),
            "DirectoryIndex index.php",
            '<Directory "%s/app">' % server.htdocs,
            "  AllowOverride All",
            "</Directory>",
            '<Directory "%s/app-cl">' % server.htdocs,
            "  AllowOverride All",
            "  SetEnv proxy-sendcl 1",
            "</Directory>",
        ])

    def expected_length_variable(self, size, chunked):
        # A chunked body that fits mod_proxy_fcgi's look-ahead (about
        # 16 KiB, and only once it has all arrived) is measured; a longer
        # one goes out with no CONTENT_LENGTH at all.
        if chunked and size > 16000:
            return None
        return str(size)

    def reads_body(self, reference):
        # PHP-FPM reads CONTENT_LENGTH bytes of the body: none without it.
        return reference["env"]["CONTENT_LENGTH"] is not None

    def test_sendcl_bodies_reach_application_as_without_module(self):
        """With proxy-sendcl mod_proxy_fcgi measures chunked bodies too, and
        the application reads every body as without the module."""
        for size in (0, 1, 8193, 65536, 1024 * 1024 + 1):
            data = body_of(size, seed=size + 7)
            for chunked in (False, True):
                with self.subTest(size=size, chunked=chunked):
                    reference = self.report(REFERENCE, "/app-cl/route", data,
                                            chunked)
                    self.assertEqual(reference["env"]["CONTENT_LENGTH"],
                                     str(size))
                    self.assertEqual(reference["sha256"], sha256(data))
                    for name in ORDERS:
                        with self.subTest(order=name):
                            self.assertEqual(
                                self.screened_report(name, "/app-cl/route",
                                                     data, chunked),
                                reference)

    def test_chunked_body_at_lookahead_limit_as_without_module(self):
        """Chunked bodies at the edge of mod_proxy_fcgi's look-ahead reach
        PHP-FPM with the CONTENT_LENGTH and the bytes they get without the
        module."""
        for size in (16383, 16384, 16385):
            data = body_of(size, seed=size)
            with self.subTest(size=size):
                reference = self.report(REFERENCE, "/app/index.php", data,
                                        True)
                for name in ORDERS:
                    with self.subTest(order=name):
                        self.assertEqual(
                            self.screened_report(name, "/app/index.php", data,
                                                 True),
                            reference)


class FcgidTest(PhpDeploymentCase, ServerTestCase):
    """php-cgi through mod_fcgid, with the front controller in the
    <Directory> section."""

    modules = ("fcgid", "rewrite")
    app_dirs = ("app",)

    @classmethod
    def site_conf(cls, server):
        return "\n".join([
            php.fcgid_server_conf(server.root),
            "DirectoryIndex index.php",
            '<Directory "%s/app">' % server.htdocs,
            php.fcgid_directory_conf(),
            php.FRONT_CONTROLLER,
            "</Directory>",
        ])

    def expected_length_variable(self, size, chunked):
        # mod_fcgid reads the whole body first and always counts it.
        return str(size)


class ModPhpTest(PhpDeploymentCase, ServerTestCase):
    """mod_php under the prefork MPM, with the front controller in
    .htaccess."""

    mpm = "prefork"
    modules = ("php", "rewrite")
    app_dirs = ("app",)

    @classmethod
    def site_conf(cls, server):
        server.write("htdocs/app/.htaccess", php.FRONT_CONTROLLER)
        return "\n".join([
            "DirectoryIndex index.php",
            '<Directory "%s/app">' % server.htdocs,
            "  AllowOverride All",
            "</Directory>",
        ])

    def expected_length_variable(self, size, chunked):
        # mod_php passes the client's Content-Length, and none for chunked.
        return None if chunked else str(size)


if __name__ == "__main__":
    main()
