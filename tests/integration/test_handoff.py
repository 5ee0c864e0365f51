"""Which internal redirects and sub-requests of a screened request get the
body that was read for its check, under both load orders."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, ECHO_PHP, body_of, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

SIZES = (0, 1, 8193, 70000)
ORDERS = (("loaded last", False), ("loaded first", True))


class HandoffCase:
    """Prefork with mod_cgi, mod_php, mod_actions, mod_rewrite and
    mod_include: /chain/ sends unknown paths through a front controller to
    a .act file that mod_actions hands to the echo script; /errdoc/ has
    ErrorDocument 403 to a PHP script; .shtml pages include the echo
    script in a sub-request."""

    vornex_first = False

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        cls.servers = {}
        for name, kwargs in (("reference", {"vornex": False}),
                             ("module", {"vornex_first": cls.vornex_first})):
            s = cls.apache(mpm="prefork", cgi="cgi",
                           modules=("actions", "rewrite", "include", "php"),
                           **kwargs)
            screening = []
            if name == "module":
                screening = ["VornexPrimaryServer %s" % cls.check.address,
                             "VornexSecondaryServer %s" % cls.backup.address,
                             "VornexCheck On"]
            s.configure("\n".join(screening + [
                '<Directory "%s/chain">' % s.htdocs,
                "  RewriteEngine On",
                "  RewriteCond %{REQUEST_FILENAME} !-f",
                "  RewriteRule . form.act [L]",
                "  AddHandler vornex-action .act",
                "  Action vornex-action /cgi-bin/echo.py",
                "</Directory>",
                '<Directory "%s/ssi">' % s.htdocs,
                "  Options +Includes",
                "  AddOutputFilter INCLUDES .shtml",
                "</Directory>",
                "<Location /errdoc>",
                "  ErrorDocument 403 /denied.php",
                "</Location>",
            ]))
            s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
            s.write("htdocs/chain/form.act", "")
            s.write("htdocs/denied.php", ECHO_PHP)
            s.write("htdocs/errdoc/page.html", "page\n")
            s.write("htdocs/ssi/include.shtml",
                    '[<!--#include virtual="/cgi-bin/echo.py" -->]\n')
            s.write("htdocs/ssi/exec.shtml",
                    '[<!--#exec cgi="/cgi-bin/echo.py" -->]\n')
            s.start()
            cls.servers[name] = s

    def setUp(self):
        self.check.reply = check_reply(200)
        self.check.take()
        self.backup.take()

    def post(self, name, target, data, chunked=False):
        return request(self.servers[name].port, "POST", target, body=data,
                       chunked=chunked)

    def test_two_redirects_pass_body_on_once(self):
        """A front controller's redirect followed by a mod_actions redirect
        hands the script the whole body; the client's request is checked
        once."""
        for size in SIZES:
            data = body_of(size, seed=size)
            for chunked in (False, True):
                with self.subTest(size=size, chunked=chunked):
                    response = self.post("module", "/chain/a/route", data,
                                         chunked)
                    self.assertEqual((response.status, response.body),
                                     (200, echo_line(data)))
                    sent = self.check.take()
                    self.assertEqual(len(sent), 1)
                    self.assertEqual(sent[0].screened_body(), data)

    def test_error_document_redirect_gets_body(self):
        """After a block verdict the ErrorDocument's PHP script, reached by
        an internal redirect, reads the body that was checked, and is not
        checked itself."""
        self.check.reply = check_reply(403)
        for size in SIZES:
            data = body_of(size, seed=size + 1)
            with self.subTest(size=size):
                response = self.post("module", "/errdoc/page.html", data)
                self.assertEqual((response.status, response.body),
                                 (403, echo_line(data)))
                self.assertEqual(len(self.check.take()), 1)

    def test_included_scripts_read_as_without_module(self):
        """A CGI script included by an SSI page runs in a sub-request that
        is not checked again and reads what it reads without the module:
        the page's own handler has already discarded the body."""
        data = body_of(8193, seed=3)
        for page in ("/ssi/include.shtml", "/ssi/exec.shtml"):
            for method, body in (("GET", None), ("POST", data)):
                with self.subTest(page=page, method=method):
                    got = [request(self.servers[name].port, method, page,
                                   body=body)
                           for name in ("reference", "module")]
                    self.assertEqual([(r.status, r.body) for r in got],
                                     [(got[0].status, got[0].body)] * 2)
                    self.assertEqual(got[0].status, 200)
                    self.assertEqual(len(self.check.take()), 1)


class LoadedLastTest(HandoffCase, ServerTestCase):
    """The module loaded after every other module, as Debian loads it."""

    vornex_first = False


class LoadedFirstTest(HandoffCase, ServerTestCase):
    """The module loaded before every other module."""

    vornex_first = True


if __name__ == "__main__":
    main()
