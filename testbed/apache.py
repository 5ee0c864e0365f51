"""Debian's apache2 with the built module on loopback, in a server root of
its own: its configuration, start and stop, its logs, and the sanitizer and
memcheck reports of its processes."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from .build import KEEP_ALIVE, SOURCE, module_path
from .net import LOOPBACK, free_ports
from .process import die_with_parent, stop_process
from .tls import TLS, pki

APACHE = "/usr/sbin/apache2"
MODULE_DIR = "/usr/lib/apache2/modules"
VALGRIND = "/usr/bin/valgrind"
VALGRIND_SUPPRESSIONS = os.path.join(SOURCE, "tests", "valgrind",
                                     "apache2.supp")

# A module built with the sanitizers names here the runtime that apache2,
# which is not instrumented itself, must load first.
SANITIZER_PRELOAD = os.environ.get("VORNEX_SANITIZER_PRELOAD", "")
# VORNEX_VALGRIND=1 runs every server as one `apache2 -X` process under
# memcheck, with waits long enough for its slowness.
UNDER_VALGRIND = os.environ.get("VORNEX_VALGRIND", "") == "1"
# Headlines of the memcheck errors that fail a run; leaks are not among them.
VALGRIND_ERROR = re.compile(
    r"^==\d+== (Invalid (read|write|free)|Conditional jump or move depends"
    r"|Use of uninitialised|Syscall param .* uninitialised"
    r"|Mismatched free|Source and destination overlap"
    r"|Argument '.*' of function .* has a fishy)", re.M)
VALGRIND_SUMMARY = re.compile(r"^==\d+== ERROR SUMMARY: (\d+) errors", re.M)

# An error log line: module, level, source file (debug lines) and message.
LOG_LINE = re.compile(
    r"^\[[^\]]*\] \[([\w.]+):(\w+)\] \[pid [^\]]*\] "
    r"(?:(\S+)\(\d+\): )?(.*)$")


class Apache:
    """Debian's apache2 on loopback, with a server root of its own."""

    def __init__(self, mpm="event", cgi="cgid", modules=(), ports=1,
                 vornex_first=False, vornex=True, environment=None,
                 module=None, measured=None, prefix="vornex-it-"):
        self.mpm = mpm
        self.cgi = cgi
        self.modules = list(modules)
        # Debian's a2enmod loads modules in name order, so vornex.load comes
        # after proxy*.load, php8.2.load and fcgid.load: that is the default.
        # vornex_first loads it before every other module; vornex=False
        # leaves it out, to see what the server does without it.
        self.vornex_first = vornex_first
        self.vornex = vornex
        # Variables added to apache2's environment (TMPDIR, say).
        self.environment = dict(environment or {})
        # The mod_vornex.so to load; by default the one the runner names.
        self.module = module
        # (processes, threads) for a server that figures are taken on: a
        # fixed set of workers, unlimited keep-alive and bodies, and no
        # debug lines; or, for such a server, a list of the configuration
        # lines that set its workers and keep-alive instead; None for the
        # usual test server.
        self.measured = measured
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)
        for d in ("htdocs", "cgi-bin", "logs", "run"):
            os.mkdir(os.path.join(self.root, d))
            os.chmod(os.path.join(self.root, d), 0o755)
        # The cgid daemon and the workers create files here after the
        # server has dropped its privileges.
        os.chmod(os.path.join(self.root, "run"), 0o777)
        # Sanitizer and valgrind reports, one file per process; workers write
        # them after dropping privileges.
        self.report_dir = os.path.join(self.root, "logs", "reports")
        os.mkdir(self.report_dir)
        os.chmod(self.report_dir, 0o777)
        self._reported = set()
        self.htdocs = os.path.join(self.root, "htdocs")
        self.cgi_bin = os.path.join(self.root, "cgi-bin")
        self.error_log = os.path.join(self.root, "logs", "error.log")
        self.conf_path = os.path.join(self.root, "httpd.conf")
        # A number of free ports, or the port numbers themselves.
        self.ports = (free_ports(ports) if isinstance(ports, int)
                      else list(ports))
        self.port = self.ports[0]
        self.proc = None
        self._console = None

    def write(self, relpath, content, mode=0o644):
        path = os.path.join(self.root, relpath)
        d = os.path.dirname(path)
        os.makedirs(d, exist_ok=True)
        while d.startswith(self.root) and d != self.root:
            os.chmod(d, 0o755)
            d = os.path.dirname(d)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        os.chmod(path, mode)
        return path

    def base_conf(self, listen=None):
        r = self.root
        lines = [
            'ServerRoot "%s"' % r,
            "ServerName %s" % LOOPBACK,
        ]
        for port in (self.ports if listen is None else listen):
            lines.append("Listen %s:%d" % (LOOPBACK, port))
        lines += [
            "PidFile %s/run/httpd.pid" % r,
            "DefaultRuntimeDir %s/run" % r,
            "ErrorLog %s" % self.error_log,
            "LogLevel warn" + (" vornex:debug" if self.vornex
                               and not self.measured else ""),
            "Timeout 60",
        ]
        modules = ["mpm_%s" % self.mpm, "authz_core", "mime", "alias", "dir"]
        if self.cgi:
            modules.append(self.cgi)
        vornex_line = None
        if self.vornex:
            vornex_line = "LoadModule vornex_module %s" % (
                self.module or module_path())
        if vornex_line and self.vornex_first:
            lines.append(vornex_line)
        for m in modules + self.modules:
            if m == "php":
                lines.append("LoadModule php_module %s/libphp8.2.so"
                             % MODULE_DIR)
            else:
                lines.append("LoadModule %s_module %s/mod_%s.so"
                             % (m, MODULE_DIR, m))
        if vornex_line and not self.vornex_first:
            lines.append(vornex_line)
        if vornex_line and KEEP_ALIVE and not self.measured:
            lines.append("VornexKeepAlive On")
        if vornex_line and TLS and not self.measured:
            lines.append("VornexTLSCACertificateFile %s" % pki().ca_file)
        if os.geteuid() == 0:
            lines += ["User www-data", "Group www-data"]
        if isinstance(self.measured, list):
            lines += self.measured
        elif self.measured:
            lines += self._measured_conf(*self.measured)
        lines += [
            "TypesConfig /etc/mime.types",
            'DocumentRoot "%s"' % self.htdocs,
            "<Directory />",
            "  AllowOverride None",
            "  Require all denied",
            "</Directory>",
            '<Directory "%s">' % self.htdocs,
            "  Require all granted",
            "</Directory>",
            'ScriptAlias /cgi-bin/ "%s/"' % self.cgi_bin,
            '<Directory "%s">' % self.cgi_bin,
            "  Require all granted",
            "</Directory>",
        ]
        if self.cgi == "cgid":
            lines.append("ScriptSock %s/run/cgid.sock" % r)
        if "php" in self.modules:
            lines += ['<FilesMatch "\\.php$">',
                      "  SetHandler application/x-httpd-php",
                      "</FilesMatch>"]
        return "\n".join(lines) + "\n"

    @staticmethod
    def _measured_conf(processes, threads):
        return [
            "KeepAlive On",
            "MaxKeepAliveRequests 0",
            "KeepAliveTimeout 30",
            # A fixed set of worker processes and threads: no child is
            # started or stopped while a figure is taken.
            "StartServers %d" % processes,
            "ServerLimit %d" % processes,
            "ThreadLimit %d" % threads,
            "ThreadsPerChild %d" % threads,
            "MaxRequestWorkers %d" % (processes * threads),
            "MinSpareThreads 1",
            "MaxSpareThreads %d" % (processes * threads),
            "MaxConnectionsPerChild 0",
            "LimitRequestBody 0",
        ]

    def make_certificate(self):
        """A key and a self-signed certificate for 127.0.0.1, made for this
        run under the server root; returns (key path, certificate path)."""
        key, cert = self.root + "/key.pem", self.root + "/cert.pem"
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
             "-out", cert, "-subj", "/CN=%s" % LOOPBACK, "-days", "2"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            timeout=60)
        return key, cert

    def https_virtual_host(self, port):
        """The configuration of a virtual host that serves HTTPS on `port`
        with mod_ssl, with a certificate made for this run."""
        key, cert = self.make_certificate()
        return ["<VirtualHost %s:%d>" % (LOOPBACK, port),
                "SSLEngine on",
                "SSLCertificateFile %s" % cert,
                "SSLCertificateKeyFile %s" % key,
                "</VirtualHost>"]

    def configure(self, extra):
        self.write("httpd.conf", self.base_conf() + extra + "\n")

    def syntax_check(self, extra, dump_modules=False):
        """Runs `apache2 -t` on the base configuration plus `extra`;
        returns (exit status, output)."""
        path = self.write("syntax.conf", self.base_conf() + extra + "\n")
        cmd = [APACHE, "-t", "-f", path]
        if dump_modules:
            cmd += ["-D", "DUMP_MODULES"]
        done = subprocess.run(cmd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60,
                              env=self.server_environment())
        return done.returncode, done.stdout.decode(errors="replace")

    def server_environment(self):
        """The environment for apache2: with a sanitizer build, the runtime
        preloaded and its reports written to files under report_dir; with
        the variables given to the constructor."""
        if not SANITIZER_PRELOAD and not self.environment:
            return None
        env = dict(os.environ)
        env.update(self.environment)
        if not SANITIZER_PRELOAD:
            return env
        env["LD_PRELOAD"] = ":".join(
            p for p in (SANITIZER_PRELOAD, env.get("LD_PRELOAD")) if p)
        log = "log_path=%s" % os.path.join(self.report_dir, "sanitizer")
        # Memory that APR pools hold until exit would read as leaks.
        env["ASAN_OPTIONS"] = ":".join(
            p for p in ("detect_leaks=0", env.get("ASAN_OPTIONS"), log) if p)
        env["UBSAN_OPTIONS"] = ":".join(
            p for p in ("print_stacktrace=1", env.get("UBSAN_OPTIONS"), log)
            if p)
        # Debian's PHP loads opcache through its conf.d; opcache is opened
        # with RTLD_DEEPBIND, which the sanitizer runtime refuses. An empty
        # scan directory keeps PHP to its built-in extensions.
        ini_dir = os.path.join(self.root, "php-conf.d")
        os.makedirs(ini_dir, exist_ok=True)
        env["PHP_INI_SCAN_DIR"] = ini_dir
        return env

    def server_command(self):
        if not UNDER_VALGRIND:
            return [APACHE, "-f", self.conf_path, "-DFOREGROUND"]
        # -X: one process that serves every request itself, in the
        # foreground; a forked helper (the cgid daemon) logs to its own file.
        return [VALGRIND, "--tool=memcheck", "--error-exitcode=99",
                "--track-origins=yes", "--num-callers=40",
                "--trace-children=no", "--leak-check=no",
                "--suppressions=%s" % VALGRIND_SUPPRESSIONS,
                "--log-file=%s/valgrind.%%p.log" % self.report_dir,
                APACHE, "-X", "-f", self.conf_path]

    def reports(self):
        """(file, text) of each sanitizer report or memcheck log with errors
        that no earlier call returned."""
        found = []
        try:
            names = sorted(os.listdir(self.report_dir))
        except OSError:
            return found
        for name in names:
            path = os.path.join(self.report_dir, name)
            if name in self._reported:
                continue
            try:
                with open(path, "rb") as f:
                    text = f.read().decode(errors="replace")
            except OSError:
                continue
            if name.startswith("valgrind."):
                summary = VALGRIND_SUMMARY.search(text)
                if not VALGRIND_ERROR.search(text) and not (
                        summary and int(summary.group(1))):
                    continue
            elif not text.strip():
                continue
            self._reported.add(name)
            found.append((name, text))
        return found

    def _await_valgrind_summaries(self, seconds):
        """Waits until each memcheck log of a process still running has its
        closing summary: a forked helper may end a little after the server.
        The log of a child that went on to exec a script ends without one."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            pending = False
            for name in os.listdir(self.report_dir):
                m = re.match(r"valgrind\.(\d+)\.log$", name)
                if not m or not os.path.exists("/proc/%s" % m.group(1)):
                    continue
                with open(os.path.join(self.report_dir, name), "rb") as f:
                    if b"ERROR SUMMARY:" not in f.read():
                        pending = True
            if not pending:
                return
            time.sleep(0.5)

    def check_reports(self):
        """Raises AssertionError with the text of every new sanitizer or
        memcheck report."""
        found = self.reports()
        if found:
            raise AssertionError(
                "%d memory error report(s) from apache2 in %s:\n%s" % (
                    len(found), self.report_dir,
                    "\n".join("--- %s\n%s" % (name, text[-8000:])
                              for name, text in found)))

    def start(self):
        started_before = self._started_lines()
        self._console = open(os.path.join(self.root, "logs", "console.log"),
                             "wb")
        self.proc = subprocess.Popen(
            self.server_command(), env=self.server_environment(),
            stdin=subprocess.DEVNULL, stdout=self._console,
            stderr=subprocess.STDOUT, start_new_session=True,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + (300 if UNDER_VALGRIND else 20)
        waiting = list(self.ports)
        while waiting:
            if self.proc.poll() is not None:
                raise RuntimeError("apache2 exited with %s:\n%s"
                                   % (self.proc.returncode, self.all_logs()))
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("apache2 did not listen:\n"
                                   + self.all_logs())
            try:
                socket.create_connection((LOOPBACK, waiting[0]), 1).close()
                waiting.pop(0)
            except OSError:
                time.sleep(0.05)
        # The ports accept as soon as the first reading of the configuration
        # has opened them; what the module logs while the configuration is
        # loaded for good comes before the server says it runs.
        while (not self._runs(started_before)
               and time.monotonic() < deadline):
            if self.proc.poll() is not None:
                raise RuntimeError("apache2 exited with %s:\n%s"
                                   % (self.proc.returncode, self.all_logs()))
            time.sleep(0.05)

    def _runs(self, started_before):
        """Whether the server has loaded its configuration for good and
        runs. One `apache2 -X` process never logs that it runs, but writes
        its own pid to the PidFile only then."""
        if not UNDER_VALGRIND:
            return self._started_lines() != started_before
        try:
            with open(os.path.join(self.root, "run", "httpd.pid")) as f:
                return f.read().strip() == str(self.proc.pid)
        except OSError:
            return False

    def _started_lines(self):
        """How many times the error log says the server runs."""
        try:
            with open(self.error_log, "rb") as f:
                return f.read().count(b"resuming normal operations")
        except OSError:
            return 0

    def stop(self):
        """Stops the server; raises AssertionError if any of its processes
        wrote a sanitizer report or a memcheck error."""
        stop_process(self.proc, 120 if UNDER_VALGRIND else 15)
        if self._console:
            self._console.close()
            self._console = None
        if UNDER_VALGRIND and self.proc is not None:
            self._await_valgrind_summaries(30)
            self._check_valgrind_finished()
        self.check_reports()

    def _check_valgrind_finished(self):
        """A server that memcheck did not see to its end proves nothing."""
        path = os.path.join(self.report_dir, "valgrind.%d.log" % self.proc.pid)
        try:
            with open(path, "rb") as f:
                finished = VALGRIND_SUMMARY.search(f.read().decode(
                    errors="replace"))
        except OSError:
            finished = None
        if not finished:
            raise AssertionError("memcheck gave no summary for apache2 (pid "
                                 "%d, exit %s):\n%s" % (
                                     self.proc.pid, self.proc.returncode,
                                     self.all_logs()))

    def cleanup(self):
        try:
            self.stop()
        finally:
            if os.environ.get("VORNEX_IT_KEEP"):
                sys.stderr.write("kept server root %s\n" % self.root)
            else:
                shutil.rmtree(self.root, ignore_errors=True)

    def all_logs(self):
        out = ""
        names = ["console.log", "error.log"]
        try:
            names += [os.path.join("reports", n)
                      for n in sorted(os.listdir(self.report_dir))]
        except OSError:
            pass
        for name in names:
            try:
                with open(os.path.join(self.root, "logs", name), "rb") as f:
                    out += f.read().decode(errors="replace")[-6000:]
            except OSError:
                pass
        return out

    def log_mark(self):
        try:
            return os.path.getsize(self.error_log)
        except OSError:
            return 0

    def log_since(self, mark):
        with open(self.error_log, "rb") as f:
            f.seek(mark)
            return f.read().decode(errors="replace")

    def entries_since(self, mark, module="vornex"):
        """(level, file, message) of the log lines the module wrote."""
        found = []
        for line in self.log_since(mark).splitlines():
            m = LOG_LINE.match(line)
            if m and m.group(1) == module:
                found.append((m.group(2), m.group(3), m.group(4)))
        return found

    def messages_since(self, mark, level=None):
        return [msg for lvl, _, msg in self.entries_since(mark)
                if level is None or lvl == level]
