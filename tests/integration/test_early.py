"""VornexPhase early: requests are checked once their sections are known and
before authentication, so logins that Basic authentication or mod_auth_form
refuse are checked too, a login the check refuses gets no session, and the
check carries the client's header lines and body as sent; in the content
phase (the default) those requests are answered without a check. Both are
compared with the same server without the module."""

import base64
import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.bodies import ECHO_CGI, body_of, echo_line  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

MODULES = sorted(["auth_basic", "auth_form", "authn_core", "authn_file",
                  "authz_user", "request", "rewrite", "session",
                  "session_cookie"])
PAGE = b"<html><body>prove you are a person</body></html>\n"
USER, SECRET = "alice", "right-secret"
FORM = ("Content-Type", "application/x-www-form-urlencoded")


def basic(user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return ("Authorization", "Basic " + token)


def login_body(password):
    return ("httpd_username=%s&httpd_password=%s" % (USER, password)).encode()


def verdict_for(check):
    """Blocks the client whose User-Agent is evilbot, and challenges the
    one whose User-Agent is doubtful."""
    if b"\r\nUser-Agent: evilbot\r\n" in check.body:
        return check_reply(403)
    if b"\r\nUser-Agent: doubtful\r\n" in check.body:
        return check_reply(200, [("VX-X-Mitigation", "challenge")], PAGE)
    return check_reply(200)


def site(server, password_file):
    auth = ["AuthName vornex-test",
            "AuthUserFile %s" % password_file,
            "Session On",
            "SessionCookieName session path=/"]
    return "\n".join([
        # The application behind a front controller: an internal redirect
        # to the echo script.
        '<Directory "%s/app">' % server.htdocs,
        "  RewriteEngine On",
        "  RewriteRule ^ /cgi-bin/echo.cgi [L]",
        "</Directory>",
        "<Location /basic/>",
        "  AuthType Basic",
        "  AuthBasicProvider file",
        "  AuthName vornex-test",
        "  AuthUserFile %s" % password_file,
        "  Require valid-user",
        "</Location>",
        "<Location /dologin>",
        "  SetHandler form-login-handler",
        "  AuthType form",
        "  AuthFormProvider file",
        "  AuthFormLoginRequiredLocation /failed.html",
        "  AuthFormLoginSuccessLocation /form/page.html",
        "  Require all granted",
    ] + ["  " + line for line in auth] + [
        "</Location>",
        "<Location /form/>",
        "  AuthType form",
        "  AuthFormProvider file",
        "  AuthFormLoginRequiredLocation /login.html",
        "  Require valid-user",
    ] + ["  " + line for line in auth] + ["</Location>"])


# (case, method, target, headers, body, checks in the content phase): the
# requests each server gets. The early phase checks every one once.
CASES = (
    ("basic, no credentials", "GET", "/basic/page.html", [], None, 0),
    ("basic, wrong password", "GET", "/basic/page.html",
     [basic(USER, "wrong")], None, 0),
    ("basic, right password", "GET", "/basic/page.html",
     [basic(USER, SECRET)], None, 1),
    ("login handler, wrong password", "POST", "/dologin", [FORM],
     login_body("wrong"), 1),
    ("login handler, right password", "POST", "/dologin", [FORM],
     login_body(SECRET), 1),
    ("form page, no session", "GET", "/form/page.html", [], None, 0),
    ("form page login, wrong password", "POST", "/form/page.html", [FORM],
     login_body("wrong"), 0),
    ("form page login, right password", "POST", "/form/page.html", [FORM],
     login_body(SECRET), 1),
)
# The two ways mod_auth_form takes a login: its login handler, and a form
# posted to the protected page itself.
LOGINS = ("/dologin", "/form/page.html")


class EarlyPhase(ServerTestCase):
    """A server without the module, one that screens in the content phase
    and one with VornexPhase early, with the same site."""

    @classmethod
    def setUpClass(cls):
        cls.checks = {}
        cls.servers = {}
        # "htaccess": VornexPhase early set only by a .htaccess file.
        for name, phase in (("plain", None), ("content", "content"),
                            ("early", "early"), ("htaccess", None)):
            screened = name != "plain"
            s = cls.apache(modules=MODULES, vornex=screened)
            s.write("cgi-bin/echo.cgi", ECHO_CGI, mode=0o755)
            s.write("htdocs/app/index.html", "never served\n")
            password_file = os.path.join(s.root, "htpasswd")
            subprocess.run(["htpasswd", "-cb", password_file, USER, SECRET],
                           check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            os.chmod(password_file, 0o644)
            for page in ("basic/page.html", "form/page.html", "failed.html",
                         "login.html"):
                s.write("htdocs/" + page, "%s\n" % page)
            conf = [site(s, password_file)]
            if screened:
                check = cls.checks[name] = cls.scripted_check_server()
                check.reply = verdict_for
                conf = ["VornexPrimaryServer %s" % check.address,
                        "VornexSecondaryServer %s" % check.address,
                        "VornexCheck On"] + conf
            if phase:
                conf.insert(0, "VornexPhase %s" % phase)
            if name == "htaccess":
                s.write("htdocs/basic/.htaccess", "VornexPhase early\n")
                conf.append('<Directory "%s/basic">\n  AllowOverride All\n'
                            '</Directory>' % s.htdocs)
            s.configure("\n".join(conf))
            s.start()
            cls.servers[name] = s

    def setUp(self):
        for check in self.checks.values():
            check.take()

    def send(self, name, method, target, headers, body, agent="browser"):
        response = request(self.servers[name].port, method, target,
                           headers=[("User-Agent", agent)] + headers,
                           body=body)
        checks = self.checks[name].take() if name in self.checks else []
        return response, checks

    def test_which_requests_each_phase_checks(self):
        """Every request gets the status it gets without the module; the
        early phase checks each once, the content phase only those that
        reach the content phase."""
        checked = {}
        for case, method, target, headers, body, _ in CASES:
            reference, _ = self.send("plain", method, target, headers, body)
            for phase in ("content", "early"):
                with self.subTest(case=case, phase=phase):
                    response, checks = self.send(phase, method, target,
                                                 headers, body)
                    self.assertEqual(
                        (response.status, response.header("Location")),
                        (reference.status, reference.header("Location")))
                    checked[(case, phase)] = len(checks)
        print("\n%-30s %-8s %-8s" % ("request", "content", "early"),
              file=sys.stderr)
        for case, *_ in CASES:
            print("%-32s %-8d %-8d" % (case, checked[(case, "content")],
                                       checked[(case, "early")]),
                  file=sys.stderr)
        self.assertEqual(
            {case: (checked[(case, "content")], checked[(case, "early")])
             for case, *_ in CASES},
            {case: (content, 1) for case, *_, content in CASES})

    def test_blocked_login_gets_no_session(self):
        """A right login from the blocked client gets 403 and no session
        cookie in the early phase, through the login handler and through the
        protected page; in the content phase a login on the protected page
        has its session cookie made before the check refuses it."""
        outcome = {}
        for target in LOGINS:
            reference, _ = self.send("plain", "POST", target, [FORM],
                                     login_body(SECRET))
            self.assertTrue(any(v.startswith("session=") for v in
                                reference.values("Set-Cookie")), target)
            for phase in ("content", "early"):
                response, checks = self.send(phase, "POST", target, [FORM],
                                             login_body(SECRET),
                                             agent="evilbot")
                outcome[(target, phase)] = (
                    response.status, len(checks),
                    any(v.startswith("session=")
                        for v in response.values("Set-Cookie")))
        self.assertEqual(outcome, {
            ("/dologin", "content"): (403, 1, False),
            ("/dologin", "early"): (403, 1, False),
            ("/form/page.html", "content"): (403, 1, True),
            ("/form/page.html", "early"): (403, 1, False),
        })

    def test_check_carries_client_head_and_body(self):
        """In both phases a login's check carries the client's request line
        and header lines as sent, its own Content-Length included; the early
        phase carries the body too, which mod_auth_form still reads."""
        for target in LOGINS:
            body = login_body(SECRET)
            for phase in ("content", "early"):
                with self.subTest(target=target, phase=phase):
                    port = self.servers[phase].port
                    response, checks = self.send(phase, "POST", target,
                                                 [FORM], body)
                    self.assertEqual(len(checks), 1)
                    # A check without a body ends with its last header line.
                    head = checks[0].body.split(b"\r\n\r\n")[0]
                    if head.endswith(b"\r\n"):
                        head = head[:-2]
                    self.assertEqual(head.decode().split("\r\n"), [
                        "POST %s HTTP/1.1" % target,
                        "Host: 127.0.0.1:%d" % port,
                        "User-Agent: browser",
                        "%s: %s" % FORM,
                        "Content-Length: %d" % len(body),
                        "Connection: close"])
                    if phase == "early":
                        self.assertEqual(checks[0].screened_body(), body)
                    # The login went through all the same.
                    self.assertTrue(any(
                        v.startswith("session=")
                        for v in response.values("Set-Cookie")))

    def test_body_reaches_application_behind_redirect(self):
        """In the early phase the body read for the check reaches the echo
        script once, directly and behind the front controller's internal
        redirect, as without the module; the check carries it."""
        for target in ("/cgi-bin/echo.cgi", "/app/route"):
            for size in (0, 1, 8193, 200000):
                data = body_of(size, seed=size)
                with self.subTest(target=target, size=size):
                    reference, _ = self.send("plain", "POST", target, [],
                                             data)
                    self.assertEqual(reference.body, echo_line(data))
                    response, checks = self.send("early", "POST", target,
                                                 [], data)
                    self.assertEqual((response.status, response.body),
                                     (200, reference.body))
                    self.assertEqual(len(checks), 1)
                    self.assertEqual(checks[0].screened_body(), data)

    def test_early_challenge_answers_before_authentication(self):
        """A challenge verdict in the early phase answers a request that
        authentication would refuse with the challenge page, whether the
        server's configuration or only a .htaccess file sets the phase; in
        the content phase authentication answers it first, unchecked."""
        for phase, expected in (("early", (403, PAGE, 1)),
                                ("htaccess", (403, PAGE, 1)),
                                ("content", (401, None, 0))):
            with self.subTest(phase=phase):
                response, checks = self.send(phase, "GET", "/basic/page.html",
                                             [], None, agent="doubtful")
                got = (response.status,
                       response.body if response.status == 403 else None,
                       len(checks))
                self.assertEqual(got, expected)


if __name__ == "__main__":
    main()
