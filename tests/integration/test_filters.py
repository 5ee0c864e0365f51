"""Input filters and access control next to the module: a request body that
an input filter changes (SetInputFilter DEFLATE, mod_sed, mod_ext_filter, a
LuaInputFilter) reaches the application, directly and behind a front
controller, as it does without the module, while the check server gets the
body as the client sent it; and requests that authentication or Require
refuse are never screened, whichever module the server loads first."""

import base64
import gzip
import hashlib
import json
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import php  # noqa: E402
from testbed.bodies import BODY_SIZES, body_of, sha256  # noqa: E402
from testbed.client import post_at_once, request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import (ORDERS, REFERENCE, ServerTestCase,  # noqa: E402
                           main, start_compared)

# A CGI script that answers with JSON: the request variables that the
# inflating filter could change, and the length and SHA-256 of what it read.
ENV_CGI = """#!/usr/bin/python3
import hashlib, json, os, sys
data = sys.stdin.buffer.read()
names = ("CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_CONTENT_ENCODING",
         "HTTP_TRANSFER_ENCODING", "REQUEST_METHOD")
sys.stdout.write("Content-Type: application/json\\r\\n\\r\\n")
sys.stdout.write(json.dumps({
    "env": {name: os.environ.get(name) for name in names},
    "length": len(data), "sha256": hashlib.sha256(data).hexdigest()}))
"""

GZIP_HEADERS = [("Content-Type", "application/octet-stream"),
                ("Content-Encoding", "gzip")]
USER, PASSWORD = "member", "open sesame"
SIZES = (0, 1, 8193, 65536, 1024 * 1024 + 1)


def htpasswd_line(user, password):
    """An htpasswd entry with the {SHA} scheme (base64 of SHA-1)."""
    digest = base64.b64encode(hashlib.sha1(password.encode()).digest())
    return "%s:{SHA}%s\n" % (user, digest.decode())


def basic_auth(user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode())
    return ("Authorization", "Basic %s" % token.decode())


class GzipBodyCase:
    """Posts gzip bodies to the three servers of testbed.suite.VARIANTS and
    compares what the application reports."""

    def setUp(self):
        for check in self.checks.values():
            check.take()
        self.backup.take()

    def post_gzip(self, name, target, data, chunked):
        """Posts `data` compressed; returns the application's report."""
        packed = gzip.compress(data, mtime=0)
        port = self.servers[name].port
        response = request(port, "POST", target, headers=GZIP_HEADERS,
                           body=packed, chunked=chunked)
        self.assertEqual(response.status, 200, response.body[:300])
        return json.loads(response.body)

    def expected_check_body(self, name, target, data, chunked):
        """The client's request line and header lines as sent, then the
        body as the client sent it: compressed, of the length its
        Content-Length line gives."""
        packed = gzip.compress(data, mtime=0)
        framing = ("Transfer-Encoding: chunked" if chunked
                   else "Content-Length: %d" % len(packed))
        lines = ["POST %s HTTP/1.1" % target,
                 "Host: %s:%d" % (LOOPBACK, self.servers[name].port)]
        lines += ["%s: %s" % h for h in GZIP_HEADERS]
        lines += [framing, "Connection: close"]
        head = ("\r\n".join(lines) + "\r\n").encode()
        return head + b"\r\n" + packed

    def assert_gzip_bodies_as_without_module(self, target, sizes, inflated):
        """Without the module the application reads the inflated body when
        `inflated`, else the compressed one, with the client's
        Content-Length and Content-Encoding; with it, exactly the same."""
        for size in sizes:
            data = body_of(size, seed=size)
            packed = gzip.compress(data, mtime=0)
            read = data if inflated else packed
            for chunked in (False, True):
                with self.subTest(target=target, size=size, chunked=chunked):
                    reference = self.post_gzip(REFERENCE, target, data,
                                               chunked)
                    self.assertEqual(
                        (reference["length"], reference["sha256"],
                         reference["env"]["CONTENT_LENGTH"],
                         reference["env"]["HTTP_CONTENT_ENCODING"]),
                        (len(read), sha256(read),
                         None if chunked else str(len(packed)), "gzip"))
                    for name in ORDERS:
                        with self.subTest(order=name):
                            reported = self.post_gzip(name, target, data,
                                                      chunked)
                            sent = self.checks[name].take()
                            self.assertEqual(len(sent), 1)
                            self.assertEqual(
                                sent[0].body, self.expected_check_body(
                                    name, target, data, chunked))
                            self.assertEqual(reported, reference)


class DeflateCgiTest(GzipBodyCase, ServerTestCase):
    """Event MPM with mod_cgid: SetInputFilter DEFLATE on /cgi-bin/, whose
    unknown paths a front controller in its <Directory> section sends to
    report.py; private.py behind basic authentication and denied.py behind
    `Require all denied`."""

    @classmethod
    def setUpClass(cls):
        cls.backup = cls.scripted_check_server()
        cls.servers, cls.checks = start_compared(
            cls, cls.site, cls.backup,
            modules=("deflate", "rewrite", "auth_basic", "authn_core",
                     "authn_file", "authz_user"))

    @classmethod
    def site(cls, server):
        for script in ("report.py", "private.py", "denied.py"):
            server.write("cgi-bin/%s" % script, ENV_CGI, 0o755)
        passwords = server.write("htpasswd", htpasswd_line(USER, PASSWORD))
        return "\n".join([
            "<Location /cgi-bin/>",
            "  SetInputFilter DEFLATE",
            "</Location>",
            '<Directory "%s">' % server.cgi_bin,
            "  RewriteEngine On",
            "  RewriteCond %{REQUEST_FILENAME} !-f",
            "  RewriteRule . report.py [L]",
            "</Directory>",
            "<Location /cgi-bin/private.py>",
            "  AuthType Basic",
            '  AuthName "members"',
            "  AuthUserFile %s" % passwords,
            "  Require valid-user",
            "</Location>",
            "<Location /cgi-bin/denied.py>",
            "  Require all denied",
            "</Location>",
        ])

    def test_gzip_body_reaches_script_as_without_module(self):
        """The script reads the inflated body with the client's
        CONTENT_LENGTH and HTTP_CONTENT_ENCODING, as without the module;
        the check server gets the client's header lines and compressed
        bytes."""
        self.assert_gzip_bodies_as_without_module("/cgi-bin/report.py",
                                                  BODY_SIZES, inflated=True)
        self.assertEqual(self.backup.take(), [])

    def test_gzip_body_through_front_controller_as_without_module(self):
        """Through the front controller's internal redirect the script reads
        the compressed body, with the environment it gets without the
        module."""
        # mod_deflate inflates only on the request the client sent, not on
        # its internal redirects.
        self.assert_gzip_bodies_as_without_module(
            "/cgi-bin/some/route", SIZES, inflated=False)

    def test_refused_requests_not_screened(self):
        """A 401 from basic authentication (no or wrong credentials) and a
        403 from `Require all denied` come without a check request."""
        data = body_of(10000, seed=5)
        cases = (("/cgi-bin/private.py", [], 401),
                 ("/cgi-bin/private.py", [basic_auth(USER, "wrong")], 401),
                 ("/cgi-bin/denied.py", [], 403))
        for name in ORDERS:
            for target, headers, status in cases:
                for chunked in (False, True):
                    with self.subTest(order=name, target=target,
                                      headers=headers, chunked=chunked):
                        response = request(self.servers[name].port, "POST",
                                           target, headers=headers,
                                           body=data, chunked=chunked)
                        self.assertEqual(response.status, status)
                        if status == 401:
                            self.assertEqual(
                                response.header("WWW-Authenticate"),
                                'Basic realm="members"')
                        self.assertEqual(self.checks[name].take(), [])
        self.assertEqual(self.backup.take(), [])

    def test_authenticated_request_screened(self):
        """With the right credentials the same script is screened once and
        reads the body, so the refusals above are about the refusal."""
        data = body_of(10000, seed=6)
        for name in ORDERS:
            with self.subTest(order=name):
                response = request(self.servers[name].port, "POST",
                                   "/cgi-bin/private.py",
                                   headers=[basic_auth(USER, PASSWORD)],
                                   body=data)
                self.assertEqual(response.status, 200)
                self.assertEqual(json.loads(response.body)["sha256"],
                                 sha256(data))
                sent = self.checks[name].take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0].screened_body(), data)


class DeflateModPhpTest(GzipBodyCase, ServerTestCase):
    """Prefork MPM with mod_php: SetInputFilter DEFLATE on /app, whose
    front controller in .htaccess sends unknown paths to index.php."""

    @classmethod
    def setUpClass(cls):
        cls.backup = cls.scripted_check_server()
        cls.servers, cls.checks = start_compared(
            cls, cls.site, cls.backup, mpm="prefork", cgi=None,
            modules=("php", "rewrite", "deflate"))

    @classmethod
    def site(cls, server):
        run_log = os.path.join(php.run_log_dir(server.root), "ran.log")
        server.write("htdocs/app/index.php", php.report_php(run_log))
        server.write("htdocs/app/.htaccess", php.FRONT_CONTROLLER)
        return "\n".join([
            '<Directory "%s/app">' % server.htdocs,
            "  AllowOverride All",
            "  SetInputFilter DEFLATE",
            "</Directory>",
        ])

    def test_gzip_body_reaches_php_as_without_module(self):
        """A PHP script reads the inflated body with the client's
        CONTENT_LENGTH and HTTP_CONTENT_ENCODING, as without the module."""
        self.assert_gzip_bodies_as_without_module("/app/index.php", SIZES,
                                                  inflated=True)

    def test_gzip_body_through_front_controller_as_without_module(self):
        """Through the front controller's internal redirect PHP reads the
        compressed body, with the environment it gets without the module."""
        # As with CGI: mod_deflate inflates only on the initial request.
        self.assert_gzip_bodies_as_without_module(
            "/app/some/route", SIZES, inflated=False)


# Each filter turns every "a" of the body into "xy": the body grows, so that
# an application that read it unfiltered, or filtered twice, reads another
# length. SetInputFilter names them.
LUA_FILTER = """function input_filter(r)
    coroutine.yield()
    while bucket do
        coroutine.yield((string.gsub(bucket, "a", "xy")))
    end
end
"""
# directory: (filter name, more directives, body sizes). mod_ext_filter's
# input mode stalls on its own, with or without the module, on a
# fixed-length body of some tens of KiB, so it gets small ones.
BODY_FILTERS = {
    "sed": ("Sed", ['  InputSed "s/a/xy/g"'], (705, 8193, 65536, 200 * 1024)),
    "ext": ("vornex-ext", [], (705, 8193)),
    "lua": ("vornex-lua", [], (705, 8193, 65536, 200 * 1024)),
}


def text_body(size, seed):
    """`size` bytes of form-like text lines, many "a"s among them."""
    out = bytearray()
    line = 0
    while len(out) < size:
        out += b"a%d=value+%d&name=aaa-%d\n" % (line, seed, line * 7)
        line += 1
    return bytes(out[:size])


class BodyFilterFpmTest(ServerTestCase):
    """Event MPM with PHP-FPM through mod_proxy_fcgi: /sed/, /ext/ and /lua/
    each hold the report script behind a front controller, with the
    directory's request-body filter set by SetInputFilter: mod_sed's
    InputSed, an input-mode mod_ext_filter and a LuaInputFilter."""

    @classmethod
    def setUpClass(cls):
        cls.backup = cls.scripted_check_server()
        cls.run_logs = {}
        cls.servers, cls.checks = start_compared(
            cls, cls.site, cls.backup, cgi=None,
            modules=("proxy", "proxy_fcgi", "rewrite", "sed", "ext_filter",
                     "lua"))

    @classmethod
    def site(cls, server):
        fpm = php.PhpFpm(server.root)
        fpm.start()
        cls.addClassCleanup(fpm.stop)
        run_log = os.path.join(php.run_log_dir(server.root), "ran.log")
        cls.run_logs[server.port] = run_log
        lua = server.write("filter.lua", LUA_FILTER)
        conf = [php.fpm_conf(fpm),
                'ExtFilterDefine vornex-ext mode=input '
                'cmd="/bin/sed -e s/a/xy/g"',
                "LuaInputFilter vornex-lua %s input_filter" % lua]
        for directory, (name, more, _) in BODY_FILTERS.items():
            server.write("htdocs/%s/index.php" % directory,
                         php.report_php(run_log))
            server.write("htdocs/%s/.htaccess" % directory,
                         php.FRONT_CONTROLLER)
            conf += ['<Directory "%s/%s">' % (server.htdocs, directory),
                     "  AllowOverride All",
                     "  SetInputFilter %s" % name] + more + ["</Directory>"]
        return "\n".join(conf)

    def setUp(self):
        for check in self.checks.values():
            check.reply = check_reply(200)
            check.take()
        self.backup.take()

    def report(self, name, target, data, chunked):
        """What the application reported for one request that it served
        once."""
        port = self.servers[name].port
        before = len(php.read_runs(self.run_logs[port]))
        response = post_at_once(port, target, data, chunked=chunked,
                                headers=[("Content-Type", "text/plain")])
        self.assertEqual(response.status, 200, response.body[:300])
        self.assertEqual(php.read_runs(self.run_logs[port])[before:],
                         [target])
        return json.loads(response.body)

    def test_filtered_bodies_reach_php_as_without_module(self):
        """For each filter, addressed directly and through the front
        controller, fixed-length and chunked, PHP reads the body and the
        environment it gets without the module, and the check server gets
        the body as the client sent it."""
        for directory, (_, _, sizes) in BODY_FILTERS.items():
            for target in ("/%s/index.php" % directory,
                           "/%s/some/route" % directory):
                for size in sizes:
                    data = text_body(size, seed=size)
                    for chunked in (False, True):
                        with self.subTest(target=target, size=size,
                                          chunked=chunked):
                            self.assert_as_without_module(target, data,
                                                          chunked)
        self.assertEqual(self.backup.take(), [])
        for server in self.servers.values():
            self.assert_no_crash(server)

    def assert_as_without_module(self, target, data, chunked):
        reference = self.report(REFERENCE, target, data, chunked)
        if not chunked:
            # Without the module PHP reads a body: what it reads is the
            # server's and the filter's business, the same with the module.
            self.assertGreater(reference["length"], 0)
        for name in ORDERS:
            with self.subTest(order=name):
                self.assertEqual(self.report(name, target, data, chunked),
                                 reference)
                sent = self.checks[name].take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0].target_line(),
                                 "POST %s HTTP/1.1" % target)
                self.assertEqual(sent[0].screened_body(), data)


if __name__ == "__main__":
    main()
