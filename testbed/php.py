"""PHP behind Apache: a PHP-FPM pool of its own under a server root, the
configuration text that hands .php files to it through mod_proxy_fcgi or to
php-cgi through mod_fcgid, a report script and a front controller."""

import os
import socket
import subprocess
import time

from .process import die_with_parent, stop_process

PHP_FPM = "/usr/sbin/php-fpm8.2"
PHP_CGI = "/usr/bin/php-cgi8.2"

# Large enough for the biggest body the suites send (1 MiB + 1) with room.
MAX_BODY = 4 * 1024 * 1024

# An access log line: client, method and URI as PHP saw them, status and
# the length of the body the script was given.
ACCESS_FORMAT = ('"%{REMOTE_ADDR}e \\"%m %{REQUEST_URI}e\\" %s, '
                 'body %l bytes"')


def _unprivileged_user():
    """The account Apache's workers run as in the test bed: www-data when
    the tests run as root; None otherwise, when everything runs as the
    current user."""
    return "www-data" if os.geteuid() == 0 else None


class PhpFpm:
    """Debian's php-fpm with a configuration of its own: one static pool
    listening on a Unix socket in `root`/fpm, its error log and pid file
    next to it, running its children as www-data when started as root.
    PHP itself keeps Debian's php.ini for FPM, as deployed, but for the
    body limits when `max_body` is set. With `access_log`, the pool writes
    one ACCESS_FORMAT line per request it served there."""

    def __init__(self, root, children=3, max_body=MAX_BODY, access_log=None,
                 pool="vornex-test"):
        self.dir = os.path.join(root, "fpm")
        os.makedirs(self.dir, exist_ok=True)
        os.chmod(self.dir, 0o755)
        self.socket = os.path.join(self.dir, "php.sock")
        self.conf_path = os.path.join(self.dir, "php-fpm.conf")
        self.error_log = os.path.join(self.dir, "error.log")
        self.pid_file = os.path.join(self.dir, "php-fpm.pid")
        self.children = children
        self.max_body = max_body
        self.access_log = access_log
        self.pool = pool
        self.proc = None
        self._console = None

    def handler(self):
        """The SetHandler argument that sends a request to this pool, in
        the form Debian's php8.2-fpm.conf uses."""
        return "proxy:unix:%s|fcgi://localhost" % self.socket

    def config(self):
        lines = [
            "[global]",
            "pid = %s" % self.pid_file,
            "error_log = %s" % self.error_log,
            "log_level = notice",
            "daemonize = no",
            "",
            "[%s]" % self.pool,
            "listen = %s" % self.socket,
            "pm = static",
            "pm.max_children = %d" % self.children,
            # Scripts see the server's variables, not the pool's.
            "clear_env = yes",
            "catch_workers_output = yes",
        ]
        if self.max_body is not None:
            lines += [
                "php_admin_value[post_max_size] = %d" % self.max_body,
                "php_admin_value[upload_max_filesize] = %d" % self.max_body,
            ]
        if self.access_log:
            lines += ["access.log = %s" % self.access_log,
                      "access.format = %s" % ACCESS_FORMAT]
        user = _unprivileged_user()
        if user:
            lines += ["user = %s" % user, "group = %s" % user,
                      "listen.owner = %s" % user,
                      "listen.group = %s" % user, "listen.mode = 0660"]
        else:
            lines.append("listen.mode = 0600")
        return "\n".join(lines) + "\n"

    def start(self, timeout=20):
        """Starts the pool in the foreground of its own process group and
        waits until its socket accepts connections."""
        with open(self.conf_path, "w") as f:
            f.write(self.config())
        self._console = open(os.path.join(self.dir, "console.log"), "wb")
        self.proc = subprocess.Popen(
            [PHP_FPM, "-y", self.conf_path, "-F"],
            stdin=subprocess.DEVNULL, stdout=self._console,
            stderr=subprocess.STDOUT, start_new_session=True,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + timeout
        while not self._accepts():
            if self.proc.poll() is not None:
                raise RuntimeError("php-fpm exited with %s:\n%s"
                                   % (self.proc.returncode, self.logs()))
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("php-fpm did not listen:\n" + self.logs())
            time.sleep(0.05)

    def _accepts(self):
        if not os.path.exists(self.socket):
            return False
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(1)
            return s.connect_ex(self.socket) == 0

    def stop(self, timeout=15):
        """Stops the master and its children; kills the whole group if
        they have not ended within `timeout` seconds."""
        stop_process(self.proc, timeout)
        if self._console:
            self._console.close()
            self._console = None

    def logs(self):
        out = ""
        for name in ("console.log", "error.log"):
            try:
                with open(os.path.join(self.dir, name), "rb") as f:
                    out += f.read().decode(errors="replace")[-6000:]
            except OSError:
                pass
        return out


def fpm_conf(fpm):
    """Hands every .php file to the pool, as Debian's php8.2-fpm.conf
    does."""
    return "\n".join([
        '<FilesMatch ".+\\.php$">',
        '  SetHandler "%s"' % fpm.handler(),
        "</FilesMatch>",
    ])


def fcgid_server_conf(root):
    """mod_fcgid's server-wide settings: its sockets and process table in a
    directory under `root` that the workers can write, and room for the
    largest body the suites send."""
    ipc = os.path.join(root, "fcgid")
    os.makedirs(ipc, exist_ok=True)
    os.chmod(ipc, 0o777)
    return "\n".join([
        "FcgidIPCDir %s" % ipc,
        "FcgidProcessTableFile %s/table" % ipc,
        "FcgidMaxRequestLen %d" % MAX_BODY,
        "FcgidMaxProcessesPerClass 4",
        "FcgidIOTimeout 60",
    ])


def fcgid_directory_conf():
    """Directives for a <Directory> section whose .php files php-cgi serves
    through mod_fcgid."""
    return "\n".join([
        "  Options +ExecCGI",
        "  AddHandler fcgid-script .php",
        "  FcgidWrapper %s .php" % PHP_CGI,
    ])


# A front controller as applications ship it: every path that is no file or
# directory goes to index.php by an internal redirect.
FRONT_CONTROLLER = "\n".join([
    "RewriteEngine On",
    "RewriteCond %{REQUEST_FILENAME} !-f",
    "RewriteCond %{REQUEST_FILENAME} !-d",
    "RewriteRule . index.php [L]",
])

# The variables the report scripts show, as the application sees them.
REPORTED_VARIABLES = ("CONTENT_LENGTH", "CONTENT_TYPE", "REQUEST_METHOD",
                      "HTTP_CONTENT_ENCODING", "HTTP_TRANSFER_ENCODING",
                      "REQUEST_URI", "SCRIPT_NAME")

# A PHP script that notes each run in a log (one REQUEST_URI a line) and
# answers with JSON: the reported variables (null when unset), the length
# and SHA-256 of php://input, and $_POST.
REPORT_PHP = """<?php
file_put_contents('%(run_log)s', $_SERVER['REQUEST_URI'] . "\\n",
                  FILE_APPEND | LOCK_EX);
$body = file_get_contents('php://input');
$env = [];
foreach ([%(names)s] as $name) {
    $env[$name] = $_SERVER[$name] ?? null;
}
header('Content-Type: application/json');
echo json_encode(['env' => $env, 'length' => strlen($body),
                  'sha256' => hash('sha256', $body), 'post' => $_POST]);
"""


def report_php(run_log):
    return REPORT_PHP % {
        "run_log": run_log,
        "names": ", ".join("'%s'" % n for n in REPORTED_VARIABLES)}


def run_log_dir(root):
    """A directory under `root` where scripts running as the workers' user
    may create their run log."""
    path = os.path.join(root, "runs")
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o777)
    return path


def read_runs(path):
    """The lines of a run log; none when no script has run yet."""
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []
