"""The Debian package installs, enables with a2enmod and screens with the system's apache2."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from harness import build_dir, free_port, main, port_open  # noqa: E402

PACKAGE = "libapache2-mod-vornex"


def wait_port(port, proc, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if proc.poll() is not None:
            return False
        if port_open(port):
            return True
        time.sleep(0.1)
    return False


def run(*cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=300)


@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class PackageTest(unittest.TestCase):
    def test_installed_package_screens_requests(self):
        """apt-get install, a2enmod and the system's apache2 screen one request; removal cleans up."""
        out = tempfile.mkdtemp()
        deb = run(os.path.join(ROOT, "scripts", "make-deb.sh"), build_dir(), out)
        self.assertEqual(deb.returncode, 0, deb.stdout)
        path = deb.stdout.strip().splitlines()[-1]
        installed = run("apt-get", "install", "-y", "--no-install-recommends", path)
        self.assertEqual(installed.returncode, 0, installed.stdout)
        try:
            self.assertTrue(os.path.exists("/usr/lib/apache2/modules/mod_vornex.so"))
            self.assertEqual(run("a2enmod", "vornex").returncode, 0)
            self.assertTrue(os.path.exists("/etc/apache2/mods-enabled/vornex.load"))
            check = run("apache2ctl", "configtest")
            self.assertEqual(check.returncode, 0, check.stdout)
            self.screen_one_request()
        finally:
            run("a2dismod", "-f", "vornex")
            removed = run("apt-get", "purge", "-y", PACKAGE)
        self.assertEqual(removed.returncode, 0, removed.stdout)
        self.assertFalse(os.path.exists("/usr/lib/apache2/modules/mod_vornex.so"))
        self.assertFalse(os.path.exists("/etc/apache2/mods-enabled/vornex.load"))

    def screen_one_request(self):
        root = tempfile.mkdtemp()
        os.chmod(root, 0o755)
        os.makedirs(os.path.join(root, "htdocs", "screened"))
        with open(os.path.join(root, "htdocs", "screened", "index.html"), "w") as f:
            f.write("served\n")
        rules = os.path.join(root, "check.rules")
        with open(rules, "w") as f:
            f.write("rule screened\n  target ^/screened\n  verdict challenge\n"
                    "  page packaged module screened this\n"
                    "default\n  verdict pass\n")
        check_port, web_port = free_port(), free_port()
        checker = subprocess.Popen(
            [os.path.join(build_dir(), "tools", "check-server",
                          "vornex-check-server"),
             "--listen", "127.0.0.1:%d" % check_port, "--rules", rules],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        conf = os.path.join(root, "httpd.conf")
        with open(conf, "w") as f:
            f.write("""ServerRoot /etc/apache2
ServerName 127.0.0.1
Mutex file:{root}
PidFile {root}/httpd.pid
ErrorLog {root}/error.log
User www-data
Group www-data
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
Listen 127.0.0.1:{web}
DocumentRoot {root}/htdocs
<Directory {root}/htdocs>
    Require all granted
</Directory>
VornexPrimaryServer 127.0.0.1:{check}
VornexSecondaryServer 127.0.0.1:{check}
VornexCheck On
""".format(root=root, web=web_port, check=check_port))
        os.makedirs("/var/run/apache2", exist_ok=True)
        env = dict(os.environ, APACHE_RUN_DIR="/var/run/apache2",
                   APACHE_LOCK_DIR=root, APACHE_LOG_DIR=root,
                   APACHE_RUN_USER="www-data", APACHE_RUN_GROUP="www-data",
                   APACHE_PID_FILE=os.path.join(root, "httpd.pid"))
        apache = subprocess.Popen(["/usr/sbin/apache2", "-f", conf, "-DFOREGROUND"],
                                  env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.STDOUT,
                                  # prefork signals its whole process group
                                  # when it stops.
                                  start_new_session=True)
        try:
            self.assertTrue(wait_port(check_port, checker), "check server did not start")
            if not wait_port(web_port, apache):
                with open(os.path.join(root, "error.log")) as log:
                    self.fail("apache2 did not start:\n" + log.read())
            with self.assertRaises(urllib.error.HTTPError) as caught:
                urllib.request.urlopen("http://127.0.0.1:%d/screened/" % web_port,
                                       timeout=10)
            self.assertEqual(caught.exception.code, 403)
            self.assertIn(b"packaged module screened this", caught.exception.read())
        finally:
            apache.send_signal(signal.SIGTERM)
            checker.send_signal(signal.SIGTERM)
            for p in (apache, checker):
                try:
                    p.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    p.kill()


if __name__ == "__main__":
    main()
