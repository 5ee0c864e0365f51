"""The Debian package installs, enables with a2enmod and screens with the
system's apache2, alone and in front of PHP-FPM behind a front controller."""
import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, ROOT)
from testbed.bodies import body_of, echo_line  # noqa: E402
from testbed.build import build_dir  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import free_ports, port_open  # noqa: E402
from testbed.standin import StandInCheckServer, binary  # noqa: E402
from testbed.suite import main  # noqa: E402

PACKAGE = "libapache2-mod-vornex"
MODULE = "/usr/lib/apache2/modules/mod_vornex.so"
APACHE_CONF = "/etc/apache2"
FPM = "/usr/sbin/php-fpm8.2"
FPM_CONF = "/etc/php/8.2/fpm/php-fpm.conf"
FPM_SOCKET = "/run/php/php8.2-fpm.sock"
FPM_LOG = "/var/log/php8.2-fpm.log"

RULES = """rule screened
  target ^/screened
  verdict challenge
  page packaged module screened this
rule fpm-private
  target ^/app/private
  verdict challenge
  page the front controller never saw this
default
  verdict pass
"""

# The front controller every framework ships: whatever is not a file or a
# directory goes to index.php.
FRONT_CONTROLLER = """RewriteEngine On
RewriteCond %{REQUEST_FILENAME} !-f
RewriteCond %{REQUEST_FILENAME} !-d
RewriteRule . index.php [L]
"""

# Says which PHP served it, the route, and what it read; notes every call in
# a file, so that a refused request can be shown never to have reached it.
INDEX_PHP = """<?php
$body = file_get_contents('php://input');
file_put_contents('%s', $_SERVER['REQUEST_URI'] . "\\n",
                  FILE_APPEND | LOCK_EX);
header('Content-Type: text/plain');
echo php_sapi_name(), ' ', $_SERVER['REQUEST_URI'], "\\n";
echo strlen($body), ' ', hash('sha256', $body), "\\n";
"""


def wait_for(ready, proc, seconds=20):
    """Polls `ready()` until it holds, `proc` exits or time runs out."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        if proc.poll() is not None:
            return False
        if ready():
            return True
        time.sleep(0.1)
    return False


def unix_socket_accepts(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(1)
        return s.connect_ex(path) == 0


def run(*cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=300)


def stop(*procs):
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(timeout=20)


def enabled(kind, name):
    """True when a2enmod (kind "mods", name.load) or a2enconf (kind "conf",
    name.conf) has enabled it."""
    suffix = ".load" if kind == "mods" else ".conf"
    return os.path.exists(
        os.path.join(APACHE_CONF, kind + "-enabled", name + suffix))


def tail(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as e:
        return str(e)


@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class PackageTest(unittest.TestCase):
    def test_installed_package_screens_requests(self):
        """apt-get install, a2enmod and the system's apache2 screen one
        request; removal cleans up."""
        with self.installed_package():
            self.assertEqual(run("a2enmod", "vornex").returncode, 0)
            self.assertTrue(enabled("mods", "vornex"))
            check = run("apache2ctl", "configtest")
            self.assertEqual(check.returncode, 0, check.stdout)
            root = self.site_root()
            os.makedirs(os.path.join(root, "htdocs", "screened"))
            with open(os.path.join(root, "htdocs", "screened", "index.html"),
                      "w") as f:
                f.write("served\n")
            with self.system_apache(root) as (port, _):
                got = request(port, "GET", "/screened/", timeout=20)
                self.assertEqual(got.status, 403)
                self.assertIn(b"packaged module screened this", got.body)

    def test_installed_package_screens_php_fpm_front_controller(self):
        """With Debian's proxy_fcgi, php8.2-fpm and rewrite configuration a
        POST to a front-controller route is screened once and reaches
        PHP-FPM intact, and a challenged route never reaches it."""
        if unix_socket_accepts(FPM_SOCKET):
            self.skipTest("a php-fpm already listens on " + FPM_SOCKET)
        with self.installed_package():
            # What this test enables, in order; only what was not enabled
            # before is disabled again, last first.
            wanted = [("mods", "proxy"), ("mods", "proxy_fcgi"),
                      ("conf", "php8.2-fpm"), ("mods", "vornex"),
                      ("mods", "rewrite")]
            already = [w for w in wanted if enabled(*w)]
            try:
                for command in (("a2enmod", "proxy_fcgi"),
                                ("a2enconf", "php8.2-fpm"),
                                ("a2enmod", "vornex"),
                                ("a2enmod", "rewrite")):
                    done = run(*command)
                    self.assertEqual(done.returncode, 0, done.stdout)
                for w in wanted:
                    self.assertTrue(enabled(*w), w)
                with self.php_fpm():
                    self.screen_front_controller()
            finally:
                for kind, name in reversed(wanted):
                    if (kind, name) not in already:
                        run("a2dismod" if kind == "mods" else "a2disconf",
                            "-f", name)
            for w in wanted:
                if w not in already:
                    self.assertFalse(enabled(*w), w)

    def screen_front_controller(self):
        root = self.site_root()
        app = os.path.join(root, "htdocs", "app")
        calls = os.path.join(root, "calls")
        os.makedirs(app)
        # PHP-FPM's pool runs as www-data and notes its calls here.
        os.mkdir(calls)
        os.chmod(calls, 0o777)
        seen = os.path.join(calls, "seen")
        with open(os.path.join(app, ".htaccess"), "w") as f:
            f.write(FRONT_CONTROLLER)
        with open(os.path.join(app, "index.php"), "w") as f:
            f.write(INDEX_PHP % seen)
        site = """<Directory {root}/htdocs/app>
    AllowOverride FileInfo
</Directory>
""".format(root=root)
        served_by = self.system_apache(root, site, conf_enabled=True)
        with served_by as (port, checks):
            self.assert_vornex_after_proxy(root)
            body = body_of(100 * 1024, seed=7)
            headers = [("Content-Type", "application/octet-stream")]
            refused = request(port, "POST", "/app/private/data",
                              headers=headers, body=body, timeout=30)
            self.assertEqual(refused.status, 403)
            self.assertIn(b"the front controller never saw this",
                          refused.body)
            served = request(port, "POST", "/app/some/route",
                             headers=headers, body=body, timeout=30)
            self.assertEqual(served.status, 200, served.body)
            # fpm-fcgi: Debian's php8.2-fpm.conf took the script away from
            # mod_php, which is enabled next to it on a stock install.
            self.assertEqual(served.body,
                             b"fpm-fcgi /app/some/route\n" + echo_line(body))
            with open(seen) as f:
                self.assertEqual(f.read(), "/app/some/route\n")
            with open(checks) as f:
                log = f.read()
            # One check per client request; the redirect to index.php is
            # not checked again.
            self.assertEqual(len(re.findall(r'"POST /app/private/data '
                                            r'HTTP/1\.1" fpm-private '
                                            r'challenge ', log)), 1, log)
            self.assertEqual(len(re.findall(r'"POST /app/some/route '
                                            r'HTTP/1\.1" default pass ',
                                            log)), 1, log)
            self.assertNotIn("index.php", log)

    def assert_vornex_after_proxy(self, root):
        """Debian includes mods-enabled/*.load in name order: vornex.load
        after proxy.load and proxy_fcgi.load, the order in which the module
        must still run first."""
        dump = subprocess.run(
            ["/usr/sbin/apache2", "-f", os.path.join(root, "httpd.conf"),
             "-t", "-D", "DUMP_INCLUDES"], env=self.apache_env(root),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            timeout=60)
        self.assertEqual(dump.returncode, 0, dump.stdout)
        loads = re.findall(r"mods-enabled/([\w.-]+)\.load$", dump.stdout,
                           re.M)
        for name in ("proxy", "proxy_fcgi", "vornex"):
            self.assertIn(name, loads, dump.stdout)
        self.assertGreater(loads.index("vornex"), loads.index("proxy"))
        self.assertGreater(loads.index("vornex"), loads.index("proxy_fcgi"))

    @contextlib.contextmanager
    def installed_package(self):
        """Builds and installs the package; purges it afterwards and checks
        that nothing of it is left."""
        with tempfile.TemporaryDirectory() as out:
            deb = run(os.path.join(ROOT, "scripts", "make-deb.sh"),
                      build_dir(), out)
            self.assertEqual(deb.returncode, 0, deb.stdout)
            path = deb.stdout.strip().splitlines()[-1]
            installed = run("apt-get", "install", "-y",
                            "--no-install-recommends", path)
        self.assertEqual(installed.returncode, 0, installed.stdout)
        try:
            self.assertTrue(os.path.exists(MODULE))
            yield
        finally:
            run("a2dismod", "-f", "vornex")
            removed = run("apt-get", "purge", "-y", PACKAGE)
        self.assertEqual(removed.returncode, 0, removed.stdout)
        self.assertFalse(os.path.exists(MODULE))
        self.assertFalse(enabled("mods", "vornex"))

    @contextlib.contextmanager
    def php_fpm(self):
        """Debian's php-fpm with its system configuration, in the foreground
        as the service would run it, until the block ends."""
        made_run_dir = not os.path.isdir(os.path.dirname(FPM_SOCKET))
        os.makedirs(os.path.dirname(FPM_SOCKET), exist_ok=True)
        fpm = subprocess.Popen([FPM, "-F", "--fpm-config", FPM_CONF],
                               stdout=subprocess.DEVNULL,
                               stderr=subprocess.STDOUT,
                               start_new_session=True)
        try:
            if not wait_for(lambda: unix_socket_accepts(FPM_SOCKET), fpm):
                self.fail("php-fpm did not listen on %s:\n%s"
                          % (FPM_SOCKET, tail(FPM_LOG)))
            yield
        finally:
            stop(fpm)
            if made_run_dir:
                with contextlib.suppress(OSError):
                    os.rmdir(os.path.dirname(FPM_SOCKET))
        self.assertFalse(os.path.exists(FPM_SOCKET))

    def site_root(self):
        root = tempfile.mkdtemp(prefix="vornex-pkg-")
        os.chmod(root, 0o755)
        os.makedirs(os.path.join(root, "htdocs"))
        self.addCleanup(shutil.rmtree, root, True)
        return root

    @staticmethod
    def apache_env(root):
        os.makedirs("/var/run/apache2", exist_ok=True)
        return dict(os.environ, APACHE_RUN_DIR="/var/run/apache2",
                    APACHE_LOCK_DIR=root, APACHE_LOG_DIR=root,
                    APACHE_RUN_USER="www-data", APACHE_RUN_GROUP="www-data",
                    APACHE_PID_FILE=os.path.join(root, "httpd.pid"))

    @contextlib.contextmanager
    def system_apache(self, root, site="", conf_enabled=False):
        """The system's apache2 on a configuration of its own that takes the
        enabled modules (and, with conf_enabled, the enabled configuration
        snippets), screening everything against the stand-in check server
        with RULES. Gives the web port and the check server's log."""
        rules = os.path.join(root, "check.rules")
        with open(rules, "w") as f:
            f.write(RULES)
        checks = os.path.join(root, "checks.log")
        check_port, web_port = free_ports(2)
        checker = StandInCheckServer(binary(build_dir()), check_port, rules,
                                     checks)
        checker.start()
        conf = os.path.join(root, "httpd.conf")
        with open(conf, "w") as f:
            f.write("""ServerRoot {etc}
ServerName 127.0.0.1
Mutex file:{root}
PidFile {root}/httpd.pid
ErrorLog {root}/error.log
User www-data
Group www-data
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
{conf_enabled}
Listen 127.0.0.1:{web}
DocumentRoot {root}/htdocs
<Directory {root}/htdocs>
    Require all granted
</Directory>
{site}
VornexPrimaryServer 127.0.0.1:{check}
VornexSecondaryServer 127.0.0.1:{check}
VornexCheck On
""".format(etc=APACHE_CONF, root=root, web=web_port, check=check_port,
                site=site, conf_enabled="IncludeOptional conf-enabled/*.conf"
                if conf_enabled else ""))
        apache = subprocess.Popen(
            ["/usr/sbin/apache2", "-f", conf, "-DFOREGROUND"],
            env=self.apache_env(root), stdout=subprocess.DEVNULL,
            stderr=subprocess.STDOUT,
            # prefork signals its whole process group when it stops.
            start_new_session=True)
        try:
            if not wait_for(lambda: port_open(web_port), apache):
                self.fail("apache2 did not start:\n"
                          + tail(os.path.join(root, "error.log")))
            yield web_port, checks
        finally:
            stop(apache)
            checker.stop()


if __name__ == "__main__":
    main()
