"""TLS facts from mod_ssl and request bodies that arrive over TLS."""

import os
import ssl
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, body_of, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402


class TlsTest(ServerTestCase):
    """Event MPM, mod_cgid and mod_ssl: port 0 plain, port 1 TLS with a
    certificate made for this run."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        s = cls.server = cls.apache(modules=("ssl",), ports=2)
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
        ] + s.https_virtual_host(s.ports[1])))
        s.write("htdocs/page.html", "<p>page</p>\n")
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.start()

    def setUp(self):
        self.check.take()
        self.backup.take()

    def facts(self):
        sent = self.check.take()
        self.assertEqual(len(sent), 1)
        return {name: sent[0].values(name)
                for name in ("VX-SSLProto", "VX-SSLCipher", "VX-SSLCurves")}

    def test_tls_facts_reach_check_server(self):
        """Over TLS the protocol fact is the negotiated version; mod_ssl knows
        no client cipher or curve list and gives empty texts for them."""
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version.name):
                response = request(self.server.ports[1], "GET", "/page.html",
                                   tls=version)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, b"<p>page</p>\n")
                self.assertEqual(self.facts(), {
                    "VX-SSLProto": [response.tls_version],
                    "VX-SSLCipher": [""], "VX-SSLCurves": [""]})

    def test_plain_connection_with_mod_ssl_sends_empty_facts(self):
        """With mod_ssl loaded but no TLS on the connection every fact header
        goes out once with an empty value."""
        response = request(self.server.ports[0], "GET", "/page.html")
        self.assertEqual(response.status, 200)
        self.assertEqual(self.facts(), {"VX-SSLProto": [""],
                                        "VX-SSLCipher": [""],
                                        "VX-SSLCurves": [""]})

    def test_bodies_over_tls_arrive_intact(self):
        """Bodies longer than one read arrive over TLS unchanged at the script
        and at the check server."""
        for size in (8193, 65536, 1024 * 1024 + 1):
            data = body_of(size, seed=size + 1)
            for chunked, expect in ((False, False), (True, False),
                                    (False, True)):
                with self.subTest(size=size, chunked=chunked, expect=expect):
                    response = request(self.server.ports[1], "POST",
                                       "/cgi-bin/echo.py", body=data,
                                       chunked=chunked, chunk_size=9000,
                                       expect=expect, tls=True)
                    self.assertEqual(response.status, 200)
                    self.assertEqual(response.body, echo_line(data))
                    sent = self.check.take()
                    self.assertEqual(len(sent), 1)
                    self.assertEqual(sent[0].screened_body(), data)
        self.assert_no_crash(self.server)


if __name__ == "__main__":
    main()
