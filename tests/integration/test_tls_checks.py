"""Check servers at https:// addresses: verdicts over TLS; certificates that
do not verify (another name, expired, an authority not trusted) failing over
to the secondary with the reason in the error line; VornexTLSVerify Off; a
private authority through VornexTLSCACertificateFile; client certificates;
kept TLS connections; a server that never completes the handshake; the
address forms with and without a scheme; settings that stop the start; and
mod_ssl serving HTTPS to clients while the checks go over TLS. Every server
is on loopback, with certificates made for the run by the openssl
command."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.apache import UNDER_VALGRIND, Apache  # noqa: E402
from testbed.build import SOURCE, build_dir  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK, free_port  # noqa: E402
from testbed.process import worker_pids  # noqa: E402
from testbed.scripted import ScriptedCheckServer, check_reply  # noqa: E402
from testbed.standin import StandInCheckServer, binary  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402
from testbed.tls import pki, server_context  # noqa: E402
from slow_servers import HoldingServer, hold  # noqa: E402

RETRY = "Vornex API error: %s, will try with secondary server"
VERIFY_FAILED = "TLS handshake failed: certificate verify failed (%s)"
TIMED_OUT = "Connection timed out"
VERIFY_OFF = ("VornexTLSVerify Off: the certificates and names of https:// "
              "check servers are not verified")
PAGE = "<p>page</p>\n"
# Loose bound on one request whose primary never completes its handshake:
# the attempt ends within 9 s by default; the rest is room for a busy
# machine (and memcheck's slowness).
HELD_BOUND = 45 if not UNDER_VALGRIND else 120
# Far past HELD_BOUND: a module that waited for the server to give up on
# the handshake would break the bound.
HOLD = 90


def tls_check_server(case, identity=None, client_ca=None):
    """A scripted check server over TLS, closed with the test class."""
    server = ScriptedCheckServer(tls=server_context(identity, client_ca))
    case.addClassCleanup(server.close)
    return server


def plain_check_server(case):
    server = ScriptedCheckServer(tls=False)
    case.addClassCleanup(server.close)
    return server


def https(server, host=LOOPBACK):
    return "https://%s:%d" % (host, server.port)


def vhosts(apache, rows, common=()):
    """A virtual host per row on the server's ports: each row is a list of
    directive lines; `common` goes outside them."""
    conf = ["VornexCheck On"] + list(common)
    for port, lines in zip(apache.ports, rows):
        conf += ["<VirtualHost %s:%d>" % (LOOPBACK, port)] + list(lines) + [
            "</VirtualHost>"]
    return "\n".join(conf)


class TlsVerdictTest(ServerTestCase):
    """Event MPM; the primary and the secondary serve TLS with the run's
    certificate for 127.0.0.1, trusted through VornexTLSCACertificateFile."""

    @classmethod
    def setUpClass(cls):
        cls.check = tls_check_server(cls)
        cls.backup = tls_check_server(cls)
        s = cls.server = cls.apache()
        s.configure("\n".join([
            "VornexPrimaryServer %s" % https(cls.check),
            "VornexSecondaryServer %s" % https(cls.backup),
            "VornexTLSCACertificateFile %s" % pki().ca_file,
            "VornexCheck On"]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def setUp(self):
        self.check.take()
        self.backup.take()

    def test_verdicts_are_enforced_over_tls(self):
        """Each verdict of a check server over TLS is enforced as over plain
        HTTP, and the check it gets is the screened request's."""
        rows = [
            (check_reply(200), 200, None),
            (check_reply(403), 403, None),
            (check_reply(200, [("VX-X-Mitigation", "challenge")],
                         "<p>challenge</p>"), 403, b"<p>challenge</p>"),
            (check_reply(200, [("VX-X-Mitigation", "redirect"),
                               ("VX-Location", "/elsewhere")]), 302, None),
            (check_reply(200, [("VX-X-Mitigation", "limit")]), 429, None),
        ]
        for reply, status, body in rows:
            with self.subTest(status=status, body=body):
                self.check.reply = reply
                response = request(self.server.port, "GET", "/page.html?x=1")
                self.assertEqual(response.status, status)
                if body is not None:
                    self.assertEqual(response.body, body)
                sent = self.check.take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0].target_line(),
                                 "GET /page.html?x=1 HTTP/1.1")
                self.assertEqual(sent[0].value("Host"),
                                 "%s:%d" % (LOOPBACK, self.check.port))
                self.assertEqual(self.backup.take(), [])
        self.assertGreaterEqual(self.check.tls_counts()[0], 1)
        self.assertEqual(self.check.tls_counts()[1], 0)
        self.assert_no_crash(self.server)

    def test_start_up_says_how_addresses_with_a_scheme_are_read(self):
        """Each address with a scheme gets one warning at start-up saying
        how it is read now and how it was read before."""
        said = self.server.messages_since(0, "warn")
        for directive, server in (("VornexPrimaryServer", self.check),
                                  ("VornexSecondaryServer", self.backup)):
            with self.subTest(directive=directive):
                line = ("Vornex reads %s %s as HTTPS to host %s port %d; "
                        "without scheme support it was read as host %s "
                        "port 80" % (directive, https(server), LOOPBACK,
                                     server.port, https(server)))
                self.assertEqual(said.count(line), 1, said)


class CertificateTest(ServerTestCase):
    """A virtual host per primary that presents a certificate that does not
    verify, each with the same good secondary; the same virtual hosts on a
    second server with VornexTLSVerify Off."""

    ROWS = (
        # name, certificate, host in the address, reason logged
        ("another name", "other_name", "localhost", "hostname mismatch"),
        ("expired", "expired", LOOPBACK, "certificate has expired"),
        ("untrusted authority", "foreign", LOOPBACK,
         "unable to get local issuer certificate"),
    )

    @classmethod
    def setUpClass(cls):
        cls.primaries = {
            name: tls_check_server(cls, getattr(pki(), attribute))
            for name, attribute, _, _ in cls.ROWS}
        cls.backup = tls_check_server(cls)
        cls.servers = {}
        for verify in ("On", "Off"):
            s = cls.servers[verify] = cls.apache(ports=len(cls.ROWS))
            s.configure(vhosts(s, [
                ["VornexPrimaryServer %s" % https(cls.primaries[name], host),
                 "VornexSecondaryServer %s" % https(cls.backup)]
                for name, _, host, _ in cls.ROWS],
                ["VornexTLSCACertificateFile %s" % pki().ca_file,
                 "VornexTLSVerify %s" % verify]))
            s.write("htdocs/page.html", PAGE)
            s.start()

    def setUp(self):
        for server in list(self.primaries.values()) + [self.backup]:
            server.reply = check_reply(403)
            server.take()
        self.backup.reply = check_reply(200)

    def test_certificate_that_does_not_verify_fails_over_naming_reason(self):
        """A primary whose certificate does not verify gets no check: the
        secondary's verdict is enforced and the warning names the reason."""
        s = self.servers["On"]
        for port, (name, _, _, reason) in zip(s.ports, self.ROWS):
            with self.subTest(primary=name):
                mark = s.log_mark()
                response = request(port, "GET", "/page.html")
                self.assertEqual(response.status, 200)
                self.assertEqual(self.primaries[name].take(), [])
                self.assertEqual(len(self.backup.take()), 1)
                self.assertEqual(s.messages_since(mark, "warn"),
                                 [RETRY % (VERIFY_FAILED % reason)])
                self.assertEqual(s.messages_since(mark, "error"), [])
        self.assert_no_crash(s)

    def test_verify_off_takes_every_certificate_and_says_so(self):
        """With VornexTLSVerify Off each of those primaries gives the
        verdict, and the start-up log says that nothing is verified, once."""
        s = self.servers["Off"]
        for port, (name, _, _, _) in zip(s.ports, self.ROWS):
            with self.subTest(primary=name):
                mark = s.log_mark()
                self.assertEqual(request(port, "GET", "/page.html").status,
                                 403)
                self.assertEqual(len(self.primaries[name].take()), 1)
                self.assertEqual(self.backup.take(), [])
                self.assertEqual(s.messages_since(mark, "warn")
                                 + s.messages_since(mark, "error"), [])
        self.assertEqual(s.messages_since(0, "warn").count(VERIFY_OFF), 1)
        self.assertNotIn(VERIFY_OFF, self.servers["On"].messages_since(0))


class TrustTest(ServerTestCase):
    """The same primary, with the run's certificate, behind two virtual
    hosts: one trusting the run's authority (VornexTLSCACertificateFile),
    one with the system's trust store; the secondary is plain HTTP."""

    @classmethod
    def setUpClass(cls):
        cls.check = tls_check_server(cls)
        cls.backup = plain_check_server(cls)
        s = cls.server = cls.apache(ports=2)
        s.configure(vhosts(s, [
            ["VornexTLSCACertificateFile %s" % pki().ca_file],
            []], ["VornexPrimaryServer %s" % https(cls.check),
                  "VornexSecondaryServer %s" % cls.backup.address]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_private_authority_is_trusted_only_where_configured(self):
        """The private authority's certificate verifies where it is named;
        the system's trust store does not know it, and the check fails over
        to the plain secondary."""
        self.check.reply = check_reply(403)
        self.backup.reply = check_reply(200)
        rows = (("VornexTLSCACertificateFile", self.server.ports[0], 403, []),
                ("system trust store", self.server.ports[1], 200,
                 [RETRY % (VERIFY_FAILED
                           % "unable to get local issuer certificate")]))
        for name, port, status, warnings in rows:
            with self.subTest(trust=name):
                mark = self.server.log_mark()
                self.assertEqual(request(port, "GET", "/page.html").status,
                                 status)
                self.assertEqual(self.server.messages_since(mark, "warn"),
                                 warnings)
                self.assertEqual(len(self.check.take()), 1 - len(warnings))
                self.assertEqual(len(self.backup.take()), len(warnings))


class ClientCertificateTest(ServerTestCase):
    """A primary that requires a client certificate from the run's
    authority; virtual hosts that present the right one, one from another
    authority, or none."""

    @classmethod
    def setUpClass(cls):
        p = pki()
        cls.check = tls_check_server(cls, client_ca=p.ca_file)
        cls.backup = plain_check_server(cls)
        cls.rows = (
            ("given", p.client, 403),
            ("from another authority", p.foreign_client, 200),
            ("not given", None, 200),
        )
        s = cls.server = cls.apache(ports=len(cls.rows))
        s.configure(vhosts(s, [
            ["VornexTLSClientCertificateFile %s" % identity.cert,
             "VornexTLSClientKeyFile %s" % identity.key] if identity else []
            for _, identity, _ in cls.rows],
            ["VornexPrimaryServer %s" % https(cls.check),
             "VornexSecondaryServer %s" % cls.backup.address,
             "VornexTLSCACertificateFile %s" % p.ca_file]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_only_the_right_certificate_gets_the_verdict(self):
        """With the right client certificate the primary's verdict is
        enforced; without one, or with another authority's, the primary
        refuses the connection and the secondary's verdict is enforced,
        with a warning that says TLS failed over the certificate."""
        self.check.reply = check_reply(403)
        self.backup.reply = check_reply(200)
        for port, (name, _, status) in zip(self.server.ports, self.rows):
            with self.subTest(certificate=name):
                self.check.take()
                self.backup.take()
                mark = self.server.log_mark()
                self.assertEqual(request(port, "GET", "/page.html").status,
                                 status)
                warnings = self.server.messages_since(mark, "warn")
                if status == 403:
                    self.assertEqual(len(self.check.take()), 1)
                    self.assertEqual(warnings, [])
                    continue
                self.assertEqual(self.check.take(), [])
                self.assertEqual(len(self.backup.take()), 1)
                self.assertEqual(len(warnings), 1, warnings)
                # The server's alert, or the reset that overtook it.
                self.assertRegex(
                    warnings[0], r"^Vornex API error: TLS (handshake|"
                    r"connection) failed: .*(certificate|unknown ca).*, "
                    r"will try with secondary server$")


class KeptTlsTest(ServerTestCase):
    """One worker process of eight threads, checks over TLS on kept
    connections in one virtual host and on a new connection each in the
    other, each with a primary of its own."""

    REQUESTS = 12

    @classmethod
    def setUpClass(cls):
        cls.kept = tls_check_server(cls)
        cls.fresh = tls_check_server(cls)
        for check in (cls.kept, cls.fresh):
            check.keep_open = True
        s = cls.server = cls.apache(ports=2)
        s.configure(vhosts(s, [
            ["VornexPrimaryServer %s" % https(cls.kept),
             "VornexKeepAlive On"],
            ["VornexPrimaryServer %s" % https(cls.fresh),
             "VornexKeepAlive Off"]],
            ["StartServers 1", "ServerLimit 1", "ThreadLimit 8",
             "ThreadsPerChild 8", "MaxRequestWorkers 8",
             "MinSpareThreads 1", "MaxSpareThreads 8",
             "VornexSecondaryServer %s" % https(cls.fresh),
             "VornexTLSCACertificateFile %s" % pki().ca_file]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_kept_connections_pay_one_handshake(self):
        """Sequential checks on kept connections make one handshake in all;
        on new connections, one each."""
        rows = (("kept", self.kept, self.server.ports[0], 1),
                ("new each", self.fresh, self.server.ports[1], self.REQUESTS))
        for name, check, port, handshakes in rows:
            with self.subTest(connections=name):
                check.reply = check_reply(403).replace(
                    b"Connection: close\r\n", b"")
                before = check.tls_counts()[0]
                for i in range(self.REQUESTS):
                    self.assertEqual(
                        request(port, "GET", "/page.html?%d" % i).status, 403)
                self.assertEqual(len(check.take()), self.REQUESTS)
                self.assertEqual(check.tls_counts()[0] - before, handshakes)
        # One process held every kept connection (none of its own under
        # memcheck, where the server is that process).
        self.assertLessEqual(len(worker_pids(self.server.proc.pid)), 1)
        self.assert_no_crash(self.server)


class StandInTlsTest(ServerTestCase):
    """The stand-in check service over TLS, requiring a client certificate
    from the run's authority, with the example rules; one worker process
    that presents the certificate on kept connections in one virtual host
    and none in the other, whose secondary is plain."""

    @classmethod
    def setUpClass(cls):
        p = pki()
        cls.root = cls.apache()
        cls.standin = StandInCheckServer(
            binary(build_dir()), free_port(),
            os.path.join(SOURCE, "tools", "check-server", "example.rules"),
            os.path.join(cls.root.root, "standin.log"), threads=4,
            tls=p.good, client_ca=p.ca_file)
        cls.standin.start()
        cls.addClassCleanup(cls.standin.stop)
        cls.backup = plain_check_server(cls)
        s = cls.server = cls.apache(ports=2)
        s.configure(vhosts(s, [
            ["VornexTLSClientCertificateFile %s" % p.client.cert,
             "VornexTLSClientKeyFile %s" % p.client.key],
            []],
            ["StartServers 1", "ServerLimit 1", "ThreadLimit 8",
             "ThreadsPerChild 8", "MaxRequestWorkers 8",
             "MinSpareThreads 1", "MaxSpareThreads 8",
             "VornexKeepAlive On",
             "VornexPrimaryServer %s" % cls.standin.address,
             "VornexSecondaryServer %s" % cls.backup.address,
             "VornexTLSCACertificateFile %s" % p.ca_file]))
        for d in ("block", "challenge", "pass", "limit"):
            s.write("htdocs/%s/index.html" % d, PAGE)
        s.start()

    def test_stand_in_answers_over_tls_on_one_handshake(self):
        """The example's verdicts come from the stand-in over TLS to the
        virtual host that presents the certificate, all on one kept
        connection: the stand-in counts one handshake for them, and one for
        each question about its count."""
        rows = (("/block/", 403), ("/challenge/", 403), ("/pass/", 200),
                ("/limit/", 429), ("/block/?again", 403))
        before = self.standin.handshakes(pki().client)
        checks = len(self.standin.checks())
        for target, status in rows:
            with self.subTest(target=target):
                self.assertEqual(request(self.server.ports[0], "GET",
                                         target).status, status)
        self.assertEqual(len(self.standin.checks()) - checks, len(rows))
        self.assertEqual(self.backup.take(), [])
        self.assertEqual(self.standin.handshakes(pki().client) - before, 2)

    def test_stand_in_refuses_a_module_without_certificate(self):
        """The virtual host without a client certificate gets no verdict
        from the stand-in and takes the plain secondary's."""
        self.backup.reply = check_reply(403)
        checks = len(self.standin.checks())
        mark = self.server.log_mark()
        self.assertEqual(request(self.server.ports[1], "GET",
                                 "/pass/").status, 403)
        self.assertEqual(len(self.backup.take()), 1)
        self.assertEqual(len(self.standin.checks()), checks)
        self.assertEqual(len(self.server.messages_since(mark, "warn")), 1)


class HandshakeStallTest(ServerTestCase):
    """Primaries that accept the connection and never answer the handshake,
    with the default bound of an attempt and with VornexTimeout 2000; a
    secondary over TLS."""

    BOUNDS = (("default", None), ("VornexTimeout 2000", 2000))

    @classmethod
    def setUpClass(cls):
        cls.stalling = HoldingServer(
            lambda conn, stop: hold(conn, stop, HOLD), tls=False)
        cls.addClassCleanup(cls.stalling.close)
        cls.backup = tls_check_server(cls)
        s = cls.server = cls.apache(ports=len(cls.BOUNDS))
        s.configure(vhosts(s, [
            ["VornexTimeout %d" % ms] if ms else []
            for _, ms in cls.BOUNDS],
            ["VornexPrimaryServer %s" % https(cls.stalling),
             "VornexSecondaryServer %s" % https(cls.backup),
             "VornexTLSCACertificateFile %s" % pki().ca_file]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_stalled_handshake_is_bounded_like_a_silent_server(self):
        """The attempt at a primary that never completes the handshake ends
        within its bound, as a time-out, and the secondary's verdict is
        enforced."""
        self.backup.reply = check_reply(403)
        for port, (name, _) in zip(self.server.ports, self.BOUNDS):
            with self.subTest(bound=name):
                accepted = self.stalling.accepted()
                mark = self.server.log_mark()
                start = time.monotonic()
                response = request(port, "GET", "/page.html",
                                   timeout=HELD_BOUND + 30)
                self.assertLess(time.monotonic() - start, HELD_BOUND)
                self.assertEqual(response.status, 403)
                self.assertEqual(len(self.backup.take()), 1)
                self.assertEqual(self.stalling.accepted(accepted + 1),
                                 accepted + 1)
                self.assertEqual(self.server.messages_since(mark, "warn"),
                                 [RETRY % TIMED_OUT])
        self.assert_no_crash(self.server)


class AddressTest(ServerTestCase):
    """A virtual host per address form, each with its own primary; the
    secondary is a plain server that none of them should need."""

    @classmethod
    def setUpClass(cls):
        cls.plain = plain_check_server(cls)
        cls.secure = tls_check_server(cls)
        cls.backup = plain_check_server(cls)
        cls.rows = (
            ("%s:%d" % (LOOPBACK, cls.plain.port), cls.plain),
            ("http://%s:%d" % (LOOPBACK, cls.plain.port), cls.plain),
            ("HTTP://%s:%d/" % (LOOPBACK, cls.plain.port), cls.plain),
            ("https://%s:%d" % (LOOPBACK, cls.secure.port), cls.secure),
            ("https://localhost:%d" % cls.secure.port, cls.secure),
            ("HTTPS://%s:%d/" % (LOOPBACK, cls.secure.port), cls.secure),
        )
        s = cls.server = cls.apache(ports=len(cls.rows))
        s.configure(vhosts(s, [["VornexPrimaryServer %s" % address]
                               for address, _ in cls.rows],
                           ["VornexSecondaryServer %s" % cls.backup.address,
                            "VornexTLSCACertificateFile %s" % pki().ca_file]))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_each_address_form_reaches_its_server(self):
        """With or without a scheme, each address sends its check to the
        server it names, over TLS exactly for https://."""
        for port, (address, server) in zip(self.server.ports, self.rows):
            with self.subTest(address=address):
                for other in (self.plain, self.secure, self.backup):
                    other.take()
                server.reply = check_reply(403)
                handshakes = self.secure.tls_counts()[0]
                self.assertEqual(request(port, "GET", "/page.html").status,
                                 403)
                self.assertEqual(len(server.take()), 1)
                self.assertEqual(self.backup.take(), [])
                self.assertEqual(self.secure.tls_counts()[0] - handshakes,
                                 1 if server is self.secure else 0)

    def test_only_addresses_with_a_scheme_are_announced(self):
        """The start-up log has one line for each address with a scheme,
        none for the address without one."""
        said = [m for m in self.server.messages_since(0, "warn")
                if m.startswith("Vornex reads ")]
        self.assertEqual(len(said), len(self.rows) - 1, said)
        for address, _ in self.rows[1:]:
            with self.subTest(address=address):
                self.assertEqual(len([m for m in said
                                      if " %s as " % address in m]), 1)

    def test_configuration_refuses_unknown_forms_with_a_scheme(self):
        """An address with a scheme that is not http:// or https:// with a
        host and a port from 1 to 65535 stops the configuration with what is
        wrong; texts without a scheme are taken unread, as before."""
        rows = (
            ("ftp://%s:21" % LOOPBACK, "unknown scheme 'ftp' (only http:// "
             "and https:// are known)"),
            ("https://%s:99999" % LOOPBACK, "the port must be a number from "
             "1 to 65535"),
            ("https://2001:db8::5", "an IPv6 address must be written in "
             "brackets"),
            ("https://%s/v2.1/check" % LOOPBACK, "nothing may follow the "
             "host and port"),
            ("127.0.0.1:abc", None),
            ("http:10.0.0.5", None),
            ("[::1]:8443", None),
        )
        for address, says in rows:
            with self.subTest(address=address):
                status, output = self.server.syntax_check(
                    "VornexPrimaryServer %s" % address)
                if says is None:
                    self.assertEqual(status, 0, output)
                    continue
                self.assertNotEqual(status, 0)
                self.assertIn("VornexPrimaryServer '%s': %s"
                              % (address, says), output)


class StartupErrorTest(ServerTestCase):
    """TLS files that cannot be read or used stop the server from starting,
    with the file named."""

    def test_unreadable_file_fails_the_configuration_naming_it(self):
        """A TLS file directive whose file cannot be read is a configuration
        error that names the directive and the file."""
        apache = self.apache()
        missing = os.path.join(apache.root, "missing.pem")
        for directive in ("VornexTLSCACertificateFile",
                          "VornexTLSClientCertificateFile",
                          "VornexTLSClientKeyFile"):
            with self.subTest(directive=directive):
                status, output = apache.syntax_check(
                    "%s %s" % (directive, missing))
                self.assertNotEqual(status, 0)
                self.assertIn("%s: cannot read %s: No such file or directory"
                              % (directive, missing), output)

    def test_unusable_settings_stop_the_start_naming_the_file(self):
        """A key that does not match its certificate, and a CA file without
        a certificate, are found when the configuration is loaded: the
        server does not start and the error log says why."""
        p = pki()
        rows = (
            (["VornexTLSClientCertificateFile %s" % p.client.cert,
              "VornexTLSClientKeyFile %s" % p.good.key],
             "Vornex cannot load its TLS settings: the client key %s does "
             "not match the certificate %s" % (p.good.key, p.client.cert)),
            (["VornexTLSCACertificateFile %s" % p.client.key],
             "Vornex cannot load its TLS settings: cannot use the CA "
             "certificate file %s" % p.client.key),
        )
        for lines, says in rows:
            with self.subTest(says=says):
                apache = Apache()
                try:
                    apache.configure("\n".join(
                        lines + ["VornexPrimaryServer https://%s:1"
                                 % LOOPBACK,
                                 "VornexSecondaryServer %s:1" % LOOPBACK]))
                    with self.assertRaises(RuntimeError):
                        apache.start()
                    self.assertIn(says, apache.log_since(0))
                finally:
                    apache.cleanup()


class ModSslTest(ServerTestCase):
    """mod_ssl serving HTTPS to clients on port 1 (port 0 plain) while the
    checks go to check servers over TLS; a graceful restart loads the
    settings again."""

    @classmethod
    def setUpClass(cls):
        cls.check = tls_check_server(cls)
        cls.backup = tls_check_server(cls)
        s = cls.server = cls.apache(modules=("ssl",), ports=2)
        s.configure("\n".join([
            "VornexPrimaryServer %s" % https(cls.check),
            "VornexSecondaryServer %s" % https(cls.backup),
            "VornexTLSCACertificateFile %s" % pki().ca_file,
            "VornexCheck On",
        ] + s.https_virtual_host(s.ports[1])))
        s.write("htdocs/page.html", PAGE)
        s.start()

    def test_https_clients_are_screened_over_tls(self):
        """Requests over HTTPS and over plain HTTP both get the verdicts of
        a check server reached over TLS, with mod_ssl's protocol fact for
        the HTTPS ones."""
        self.check.reply = check_reply(
            200, [("VX-X-Mitigation", "challenge")], "<p>challenge</p>")
        for port, tls in ((self.server.ports[1], True),
                          (self.server.ports[0], False)):
            with self.subTest(https=tls):
                response = request(port, "GET", "/page.html", tls=tls)
                self.assertEqual(response.status, 403)
                self.assertEqual(response.body, b"<p>challenge</p>")
                sent = self.check.take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0].value("VX-SSLProto"),
                                 response.tls_version or "")
        self.assertEqual(self.backup.take(), [])
        self.assert_no_crash(self.server)

    def test_checks_go_on_over_tls_after_a_graceful_restart(self):
        """After a graceful restart, which loads the TLS settings again, the
        new workers' checks still go over TLS and verify."""
        self.check.reply = check_reply(403)
        self.assertEqual(request(self.server.ports[1], "GET", "/page.html",
                                 tls=True).status, 403)
        before = set(worker_pids(self.server.proc.pid))
        mark = self.server.log_mark()
        os.kill(self.server.proc.pid, 10)  # SIGUSR1: graceful restart
        deadline = time.monotonic() + 60
        while (before & set(worker_pids(self.server.proc.pid))
               or not worker_pids(self.server.proc.pid)):
            self.assertLess(time.monotonic(), deadline,
                            "old workers did not exit")
            time.sleep(0.1)
        for tls in (True, False):
            self.assertEqual(request(self.server.ports[1 if tls else 0],
                                     "GET", "/page.html", tls=tls).status,
                             403)
        self.assertEqual(self.server.messages_since(mark, "error"), [])
        self.assertEqual(len(self.check.take()), 3)
        self.assertEqual(self.backup.take(), [])
        self.assert_no_crash(self.server)


if __name__ == "__main__":
    main()
