#!/usr/bin/python3
"""make demo: Apache with mod_vornex screening a small site on
127.0.0.1:8080, with two stand-in check servers (127.0.0.1:8181 primary,
127.0.0.1:8182 secondary) answering from scripts/demo/deployments.rules
followed by tools/check-server/example.rules. Next to the static pages and a
CGI script, the site has the two other common deployments: a PHP-FPM
application behind a rewrite front controller under /app/ (php-fpm with a
configuration of its own and a pool on a Unix socket in the demo's
directory), and a reverse-proxied backend under /proxied/ (a small Python
server on 127.0.0.1:8183). Stays in the foreground until Ctrl-C (or
SIGTERM) and then stops everything it started; so does any exit, and the
demo ends when any of its processes does.

With --tls (make demo ARGS=--tls) the two check servers answer over TLS,
with a certificate for 127.0.0.1 from an authority made for the demo: the
module reaches them at https:// addresses and trusts that authority
(VornexTLSCACertificateFile); with VornexKeepAlive On each worker pays one
handshake per kept connection.

Usage: demo.py BUILD_DIR [--tls]
"""

import os
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SOURCE)

from testbed.apache import Apache  # noqa: E402
from testbed.net import LOOPBACK, port_open  # noqa: E402
from testbed.php import PHP_FPM, PhpFpm  # noqa: E402
from testbed.process import die_with_parent, stop_process  # noqa: E402
from testbed.standin import StandInCheckServer, binary  # noqa: E402
from testbed.tls import pki  # noqa: E402

WEB, PRIMARY, SECONDARY, BACKEND = 8080, 8181, 8182, 8183
DEMO = os.path.join(SOURCE, "scripts", "demo")
CHECK_SERVER = os.path.join(SOURCE, "tools", "check-server")

INDEX_HTML = """<!doctype html>
<html><head><title>mod_vornex demo</title>\
<link rel="stylesheet" href="/css/site.css"></head>
<body><h1>Screened by mod_vornex</h1>
<form method="post" action="/cgi-bin/form.cgi"><textarea name="text">\
</textarea>
<button>Post</button></form>
<p><a href="/app/">A PHP-FPM application</a> and
<a href="/proxied/">a proxied backend</a>, screened the same way.</p>\
</body></html>
"""

# Answers with the size and SHA-256 of the body it read.
FORM_CGI = """#!/bin/sh
tmp=$(mktemp)
cat >"$tmp"
size=$(wc -c <"$tmp")
sum=$(sha256sum <"$tmp" | cut -d' ' -f1)
rm -f "$tmp"
printf 'Content-Type: text/plain\\r\\n\\r\\nreceived %s bytes, sha256 %s\\n' \
"$size" "$sum"
"""

# The paths of example.rules, one per verdict, each with a page of its own.
VERDICT_PATHS = ("pass", "block", "challenge", "captcha", "redirect", "fake",
                 "limit", "inject", "rate")

# The verdict of every request next to the usual fields.
ACCESS_LOG_FORMAT = (
    'LogFormat "%h %t \\"%r\\" %>s %b verdict=%{VORNEX_VERDICT}e '
    'check_us=%{VORNEX_CHECK_TIME}e server=%{VORNEX_SERVER}e" vornex')

TABLE = """
mod_vornex demo: Apache on {u}, check servers on {lo}:{primary} and \
:{secondary}{tls}
Logs: {logs} (error.log has the module's debug lines; primary.log one line \
per check;
      php-fpm-access.log and backend.log one line per request the \
application served)
Verdicts: access.log has verdict=, check_us= and server= on every request;
      the module's counters: curl -s {u}/server-status?auto | grep ^Vornex

  command                                              what it shows
  curl -i {u}/pass/                  200, the page as Apache serves it
  curl -i {u}/block/                 403, Apache's own Forbidden page
  curl -i {u}/challenge/             403, challenge page, Cache-Control: \
no-store
  curl -i {u}/captcha/               403, captcha page
  curl -i {u}/redirect/              302, Location: /pass/?from=redirect
  curl -i {u}/fake/                  403, as block
  curl -i {u}/limit/                 429, Retry-After: 3600
  curl -i {u}/inject/                200, the page plus X-Vornex-Score and \
X-Vornex-Note
  for i in 1 2 3 4 5 6; do curl -s -o /dev/null -w '%{{http_code}}\\n' \
{u}/rate/; done
                                                       200 five times, \
then 429
  curl -i {u}/css/site.css           200, skipped by the built-in pattern \
(no check)
  curl -s --data-binary @/etc/hostname {u}/cgi-bin/form.cgi
                                                       the size and SHA-256 \
the CGI script received
  curl -i {u}/app/                   200, the form of a PHP-FPM application
  curl -s -d name=Ada -d message=hello {u}/app/submit
                                                       the fields, size and \
SHA-256 PHP-FPM received
                                                       through the front \
controller
  curl -i -d name=Ada {u}/app/admin  403, challenge page; PHP never runs
  curl -s --data-binary @/etc/hostname {u}/proxied/echo
                                                       the size and SHA-256 \
the proxied backend received
  curl -i {u}/proxied/admin          403, blocked; the backend never sees it

Press Ctrl-C to stop."""


class Stop(Exception):
    """SIGINT or SIGTERM arrived: the demo stops, successfully."""


class Failed(Exception):
    """Something the demo needs did not start or ended."""


def _stop(signum, frame):
    raise Stop()


def say(text, stream=sys.stdout):
    stream.write(text + "\n")
    stream.flush()


def write_site(apache):
    """The static pages, the CGI script, the PHP application and the check
    servers' rules under the server root; returns the rules file."""
    apache.write("htdocs/index.html", INDEX_HTML)
    apache.write("htdocs/css/site.css", "body { font-family: sans-serif; }\n")
    for d in VERDICT_PATHS:
        apache.write("htdocs/%s/index.html" % d,
                     "<p>the %s page, served by Apache</p>\n" % d)
    apache.write("cgi-bin/form.cgi", FORM_CGI, 0o755)
    app = os.path.join(DEMO, "app")
    for top, _, files in os.walk(app):
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                apache.write(os.path.join("htdocs", "app",
                                          os.path.relpath(path, app)),
                             f.read())
    # The demo's rules first; the example rules end with the default. Their
    # page files are named relative to the rules file.
    rules = b""
    for path in (os.path.join(DEMO, "deployments.rules"),
                 os.path.join(CHECK_SERVER, "example.rules")):
        with open(path, "rb") as f:
            rules += f.read()
    pages = os.path.join(apache.root, "pages")
    shutil.copytree(os.path.join(CHECK_SERVER, "pages"), pages)
    os.chmod(pages, 0o755)
    return apache.write("check.rules", rules)


def site_conf(apache, fpm, servers, ca_file=None):
    tls = ["VornexTLSCACertificateFile %s" % ca_file,
           "VornexKeepAlive On"] if ca_file else []
    return "\n".join(tls + [
        ACCESS_LOG_FORMAT,
        'CustomLog "%s/logs/access.log" vornex' % apache.root,
        '<Location "/server-status">',
        "    SetHandler server-status",
        "    VornexCheck Off",
        "</Location>",
        "DirectoryIndex index.html index.php",
        # The PHP-FPM application: its .htaccess holds the front controller.
        '<Directory "%s/app">' % apache.htdocs,
        "    AllowOverride FileInfo",
        '    <FilesMatch "\\.php$">',
        '        SetHandler "%s"' % fpm.handler(),
        "    </FilesMatch>",
        "</Directory>",
        "ProxyPass /proxied/ http://%s:%d/" % (LOOPBACK, BACKEND),
        "ProxyPassReverse /proxied/ http://%s:%d/" % (LOOPBACK, BACKEND),
        "VornexPrimaryServer %s" % servers[0].address,
        "VornexSecondaryServer %s" % servers[1].address,
        "VornexCheck On",
    ])


def start_backend(logs):
    log = open(os.path.join(logs, "backend.log"), "ab")
    proc = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(DEMO, "backend.py"), str(BACKEND)],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log,
        start_new_session=True, preexec_fn=die_with_parent)
    log.close()
    deadline = time.monotonic() + 20
    while not port_open(BACKEND):
        if proc.poll() is not None or time.monotonic() > deadline:
            stop_process(proc, 10)
            raise Failed("the backend did not start")
        time.sleep(0.05)
    return proc


def check(build):
    """Raises Failed when something the demo needs is missing or one of its
    ports is taken."""
    for path in (os.path.join(build, "mod_vornex.so"), binary(build)):
        if not os.path.isfile(path):
            raise Failed("%s is missing; run make build" % path)
    if not os.access(PHP_FPM, os.X_OK):
        raise Failed("%s is missing; run scripts/install-deps.sh" % PHP_FPM)
    for port in (WEB, PRIMARY, SECONDARY, BACKEND):
        if port_open(port):
            raise Failed("port %s:%d is already taken; stop whatever uses "
                         "it first" % (LOOPBACK, port))


def run(build, tls=False):
    module = os.path.join(build, "mod_vornex.so")
    checker = binary(build)
    apache = Apache(mpm="event", cgi="cgid", ports=(WEB,), module=module,
                    modules=("rewrite", "proxy", "proxy_fcgi", "proxy_http",
                             "status"), prefix="vornex-demo-")
    logs = os.path.join(apache.root, "logs")
    fpm = PhpFpm(apache.root, children=2, max_body=None,
                 access_log=os.path.join(logs, "php-fpm-access.log"),
                 pool="demo")
    backend = None
    servers = []
    try:
        rules = write_site(apache)
        certificates = pki() if tls else None
        for port, name in ((PRIMARY, "primary"), (SECONDARY, "secondary")):
            server = StandInCheckServer(
                checker, port, rules, os.path.join(logs, name + ".log"),
                tls=certificates.good if tls else None)
            servers.append(server)
            server.start()
        backend = start_backend(logs)
        fpm.start()
        apache.configure(site_conf(
            apache, fpm, servers, certificates.ca_file if tls else None))
        apache.start()
        say(TABLE.format(
            u="http://%s:%d" % (LOOPBACK, WEB), lo=LOOPBACK, primary=PRIMARY,
            secondary=SECONDARY, logs=logs,
            tls=(" over TLS\n(https://; the demo's authority: %s)"
                 % certificates.ca_file) if tls else ""))
        # Anything the demo started ending ends the demo too.
        watched = [("primary-check-server", servers[0].proc),
                   ("secondary-check-server", servers[1].proc),
                   ("backend", backend), ("php-fpm", fpm.proc),
                   ("Apache", apache.proc)]
        while True:
            for name, proc in watched:
                if proc.poll() is not None:
                    raise Failed("%s exited" % name)
            time.sleep(1)
    finally:
        # A second signal must not cut the stopping short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stop_process(backend, 10)
        fpm.stop()
        for server in servers:
            server.stop()
        apache.cleanup()


def main():
    args = sys.argv[1:]
    tls = "--tls" in args
    if tls:
        args.remove("--tls")
    if len(args) != 1:
        say("usage: demo.py BUILD_DIR [--tls]", sys.stderr)
        return 2
    build = os.path.abspath(args[0])
    try:
        check(build)
    except Failed as e:
        say("demo: %s" % e, sys.stderr)
        return 1
    signal.signal(signal.SIGINT, _stop)
    signal.signal(signal.SIGTERM, _stop)
    status = 0
    try:
        run(build, tls)
    except Stop:
        pass
    except (Failed, RuntimeError, AssertionError) as e:
        say("demo: %s" % e, sys.stderr)
        status = 1
    say("demo: stopped")
    return status


if __name__ == "__main__":
    sys.exit(main())
