"""Machinery shared by the integration tests: a throwaway Apache server root
running the built module, scripted check servers and a raw HTTP client."""

import ctypes
import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

APACHE = "/usr/sbin/apache2"
MODULE_DIR = "/usr/lib/apache2/modules"
LOOPBACK = "127.0.0.1"
VALGRIND = "/usr/bin/valgrind"
VALGRIND_SUPPRESSIONS = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "valgrind",
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

# The built-in skip expression as the module holds it.
STATIC_FILE_PATTERN = (
    r"\/.*[^\/]\.(css|js|map|jpe?g|gif|png|svg|ico|ttf|woff2?|eot|otf|ogg|"
    r"mp3|mp4|mpg|avi|mov|flv|swf|apng|avif|jfif|pjpeg|pjp|webp)(\?|$)")

# A CGI script that reports the length and SHA-256 of the body it read.
ECHO_CGI = """#!/usr/bin/python3
import hashlib, sys
data = sys.stdin.buffer.read()
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n")
sys.stdout.write("%d %s\\n" % (len(data), hashlib.sha256(data).hexdigest()))
"""

ECHO_PHP = """<?php
$body = file_get_contents('php://input');
header('Content-Type: text/plain');
echo strlen($body), ' ', hash('sha256', $body), "\\n";
"""

# Sizes around the module's 8192-byte reads, and one past a mebibyte.
BODY_SIZES = (0, 1, 8191, 8192, 8193, 65536, 1024 * 1024 + 1)


def die_with_parent():
    """Runs in the child before exec: the kernel sends SIGTERM to the server
    if the test process dies without stopping it (killed by a time-out)."""
    try:
        pr_set_pdeathsig = 1
        ctypes.CDLL(None).prctl(pr_set_pdeathsig, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


def module_path():
    path = os.environ.get("VORNEX_MODULE", "")
    if not path or not os.path.isfile(path):
        raise RuntimeError(
            "VORNEX_MODULE must name the built mod_vornex.so (got %r)" % path)
    return path


def build_dir():
    path = os.environ.get("VORNEX_BUILD", "")
    if not path or not os.path.isdir(path):
        raise RuntimeError(
            "VORNEX_BUILD must name the build directory (got %r)" % path)
    return path


def main():
    """Runs the calling test file; `--module PATH` names the built module,
    `--build DIR` the build directory."""
    sys.dont_write_bytecode = True
    argv = list(sys.argv)
    for flag, variable in (("--module", "VORNEX_MODULE"),
                           ("--build", "VORNEX_BUILD")):
        if flag in argv:
            i = argv.index(flag)
            os.environ[variable] = os.path.abspath(argv[i + 1])
            del argv[i:i + 2]
    unittest.main(argv=argv, verbosity=2)


def stop_process(proc, timeout):
    """Sends SIGTERM to a process started in a session of its own and waits
    `timeout` seconds; then kills its whole process group."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(10)


def free_port():
    """A loopback port that nothing listens on right now."""
    return free_ports(1)[0]


def free_ports(count):
    """`count` different loopback ports that nothing listens on right now.
    Each stays bound until all are picked: a port closed at once could be
    handed out again by the next pick."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket()
            socks.append(s)
            s.bind((LOOPBACK, 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def port_open(port):
    """True when something accepts connections on the loopback port."""
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex((LOOPBACK, port)) == 0


def proc_status(pid):
    """The fields of /proc/PID/status as texts, or None once it is gone."""
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                name, _, value = line.partition(":")
                fields[name] = value.strip()
    except OSError:
        return None
    return fields


def fd_targets(pid):
    """(descriptor number, what it names) of each open descriptor of a
    process; nothing once the process is gone."""
    fd_dir = "/proc/%d/fd" % pid
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return []
    found = []
    for name in names:
        try:
            found.append((int(name), os.readlink(os.path.join(fd_dir, name))))
        except OSError:
            pass
    return found


def child_pids(parent):
    """The processes whose parent is `parent`."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        if int(stat.rsplit(")", 1)[1].split()[1]) == parent:
            found.append(int(name))
    return found


def worker_pids(parent):
    """{pid: status fields} of an Apache parent's worker processes: its
    children that run threads (the cgid daemon is single-threaded)."""
    workers = {}
    for pid in child_pids(parent):
        status = proc_status(pid)
        if status and int(status.get("Threads", "1")) > 1:
            workers[pid] = status
    return workers


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def body_of(size, seed=0):
    """Deterministic, non-repeating bytes of the given length."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


# ---- check servers -----------------------------------------------------

class CheckRequest:
    """One request as a check server received it, byte for byte."""

    def __init__(self, raw, head_end):
        self.raw = raw
        head = raw[:head_end].decode("latin-1")
        lines = head.split("\r\n")
        self.request_line = lines[0]
        self.header_lines = lines[1:]
        self.headers = []
        for line in self.header_lines:
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip(" \t")))
        self.body = raw[head_end + 4:]

    def values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def value(self, name):
        found = self.values(name)
        return found[0] if len(found) == 1 else None

    def target_line(self):
        """The screened request's own request line, from the check body."""
        return self.body.split(b"\r\n", 1)[0].decode("latin-1")

    def screened_body(self):
        """The screened request's body as carried after the header lines."""
        parts = self.body.split(b"\r\n\r\n", 1)
        return parts[1] if len(parts) == 2 else b""


def check_reply(status=200, headers=(), body=b"", reason="Whatever"):
    """A raw check response; header entries are (name, value) pairs or
    ready-made lines (str or bytes) that go out exactly as given."""
    if isinstance(body, str):
        body = body.encode()
    out = b"HTTP/1.1 %d %s\r\n" % (status, reason.encode())
    for h in headers:
        if isinstance(h, tuple):
            h = "%s: %s" % h
        if isinstance(h, str):
            h = h.encode("latin-1")
        out += h + b"\r\n"
    out += b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    return out + body


def read_check_request(conn):
    """Reads one whole check request (head and Content-Length body); raises
    ConnectionError when the connection ends before the head does."""
    # A bytearray grows in place: appending to bytes would copy the whole
    # request on every receive, too slow for a check of many MiB.
    raw = bytearray()
    while b"\r\n\r\n" not in raw:
        if len(raw) >= (1 << 20):
            raise ConnectionError("check request head over 1 MiB")
        piece = conn.recv(65536)
        if not piece:
            raise ConnectionError("check request cut short")
        raw += piece
    head_end = raw.index(b"\r\n\r\n")
    m = re.search(rb"\r\ncontent-length: *(\d+)", raw[:head_end], re.I)
    total = head_end + 4 + (int(m.group(1)) if m else 0)
    while len(raw) < total:
        piece = conn.recv(1 << 20)
        if not piece:
            break
        raw += piece
    return CheckRequest(bytes(raw), head_end)


class LoopbackServer:
    """A listening socket that serves each connection on a thread of its own
    with `_serve(conn)`: an ephemeral loopback TCP port, or `sock` when a
    subclass binds its own (a Unix socket, say)."""

    def __init__(self, sock=None):
        self._lock = threading.Lock()
        self._stop = threading.Event()
        if sock is None:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((LOOPBACK, 0))
            self.port = sock.getsockname()[1]
            self.address = "%s:%d" % (LOOPBACK, self.port)
        self._sock = sock
        self._sock.listen(128)
        self._sock.settimeout(0.2)
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._on_connection(conn)

    def _on_connection(self, conn):
        threading.Thread(target=self._serve, args=(conn,),
                         daemon=True).start()

    def _serve(self, conn):
        raise NotImplementedError

    def close(self):
        self._stop.set()
        self._sock.close()
        self._thread.join(5)


class CheckServer(LoopbackServer):
    """A check server on loopback that records every request and answers it
    with `reply`: raw response bytes, or a function of the CheckRequest."""

    def __init__(self):
        self.reply = check_reply(200)
        self._requests = []
        super().__init__()

    def _serve(self, conn):
        with conn:
            conn.settimeout(20)
            try:
                request = read_check_request(conn)
                with self._lock:
                    self._requests.append(request)
                    reply = self.reply
                if callable(reply):
                    reply = reply(request)
                conn.sendall(reply)
                conn.shutdown(socket.SHUT_WR)
                # Let the client read the answer before the socket closes.
                conn.settimeout(2)
                while conn.recv(65536):
                    pass
            except (OSError, ValueError):
                return

    def take(self):
        """The requests received since the last take, oldest first."""
        with self._lock:
            taken, self._requests = self._requests, []
        return taken


# ---- the server under test ---------------------------------------------

LOG_LINE = re.compile(
    r"^\[[^\]]*\] \[([\w.]+):(\w+)\] \[pid [^\]]*\] "
    r"(?:(\S+)\(\d+\): )?(.*)$")


class Apache:
    """Debian's apache2 on loopback, with a server root of its own."""

    def __init__(self, mpm="event", cgi="cgid", modules=(), ports=1,
                 vornex_first=False, vornex=True, environment=None):
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
        self.root = tempfile.mkdtemp(prefix="vornex-it-")
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
        self.ports = free_ports(ports)
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
            "LogLevel warn" + (" vornex:debug" if self.vornex else ""),
            "Timeout 60",
        ]
        modules = ["mpm_%s" % self.mpm, "authz_core", "mime", "alias", "dir"]
        if self.cgi:
            modules.append(self.cgi)
        vornex_line = "LoadModule vornex_module %s" % module_path()
        if self.vornex and self.vornex_first:
            lines.append(vornex_line)
        for m in modules + self.modules:
            if m == "php":
                lines.append("LoadModule php_module %s/libphp8.2.so"
                             % MODULE_DIR)
            else:
                lines.append("LoadModule %s_module %s/mod_%s.so"
                             % (m, MODULE_DIR, m))
        if self.vornex and not self.vornex_first:
            lines.append(vornex_line)
        if os.geteuid() == 0:
            lines += ["User www-data", "Group www-data"]
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


# ---- a client that controls every byte ---------------------------------

class Response:
    def __init__(self):
        self.status = None
        self.reason = ""
        self.headers = []
        self.head = b""
        self.body = b""
        self.client_port = None
        self.continued = False
        self.tls_version = None

    def values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def header(self, name):
        found = self.values(name)
        return found[0] if found else None

    def names(self):
        return [n for n, _ in self.headers]


class _Reader:
    def __init__(self, sock, deadline):
        self.sock = sock
        self.deadline = deadline
        # A bytearray grows in place; appending to bytes copies the whole
        # buffer on every receive, which is quadratic for a large page.
        self.buf = bytearray()
        self.eof = False

    def _fill(self):
        if time.monotonic() > self.deadline:
            raise TimeoutError("no complete response in time")
        try:
            piece = self.sock.recv(1 << 16)
        except (ConnectionResetError, ssl.SSLEOFError):
            piece = b""
        if not piece:
            self.eof = True
        self.buf += piece

    def until(self, marker):
        while marker not in self.buf:
            if self.eof:
                raise ConnectionError("connection closed early: %r"
                                      % bytes(self.buf[:200]))
            self._fill()
        i = self.buf.index(marker) + len(marker)
        out = bytes(self.buf[:i])
        del self.buf[:i]
        return out

    def exactly(self, n):
        while len(self.buf) < n and not self.eof:
            self._fill()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def rest(self):
        while not self.eof:
            self._fill()
        out = bytes(self.buf)
        self.buf = bytearray()
        return out


def _parse_head(raw, response):
    lines = raw.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    response.status = int(parts[1])
    response.reason = parts[2] if len(parts) > 2 else ""
    response.headers = []
    for line in lines[1:]:
        if line:
            name, _, value = line.partition(":")
            response.headers.append((name, value.strip(" \t")))


def _read_body(reader, response, method):
    te = (response.header("Transfer-Encoding") or "").lower()
    length = response.header("Content-Length")
    if method == "HEAD" or response.status in (204, 304):
        response.body = b""
    elif te == "chunked":
        out = b""
        while True:
            size = int(reader.until(b"\r\n").split(b";")[0], 16)
            if size == 0:
                reader.until(b"\r\n")
                break
            out += reader.exactly(size)
            reader.until(b"\r\n")
        response.body = out
    elif length is not None:
        response.body = reader.exactly(int(length))
    else:
        response.body = reader.rest()


def exchange(port, requests, timeout=60):
    """Sends raw requests one after the other on one keep-alive connection,
    reading each response before sending the next; returns the responses.
    Each item is (method, raw request bytes)."""
    sock = socket.create_connection((LOOPBACK, port), timeout)
    try:
        reader = _Reader(sock, time.monotonic() + timeout)
        responses = []
        for method, raw in requests:
            sock.sendall(raw)
            response = Response()
            response.head = reader.until(b"\r\n\r\n")
            _parse_head(response.head, response)
            _read_body(reader, response, method)
            responses.append(response)
        return responses
    finally:
        sock.close()


def _tls_context(tls):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if isinstance(tls, ssl.TLSVersion):
        ctx.maximum_version = tls
    return ctx


def request(port, method="GET", target="/", headers=(), body=None,
            chunked=False, chunk_size=5000, expect=False, tls=False,
            timeout=60, host=None):
    """Sends one request on a new connection, exactly as described, and
    returns the parsed Response. `headers` go out in the order given, after
    Host; framing headers follow them, then "Connection: close". `tls` is
    False, True, or the highest ssl.TLSVersion to offer."""
    sock = socket.create_connection((LOOPBACK, port), timeout)
    try:
        response = Response()
        response.client_port = sock.getsockname()[1]
        if tls:
            sock = _tls_context(tls).wrap_socket(sock)
            response.tls_version = sock.version()
        lines = ["%s %s HTTP/1.1" % (method, target),
                 "Host: %s" % (host or "%s:%d" % (LOOPBACK, port))]
        lines += ["%s: %s" % h for h in headers]
        if body is not None:
            if chunked:
                lines.append("Transfer-Encoding: chunked")
            else:
                lines.append("Content-Length: %d" % len(body))
        if expect:
            lines.append("Expect: 100-continue")
        lines.append("Connection: close")
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        reader = _Reader(sock, time.monotonic() + timeout)
        head = None
        if body is not None and expect:
            head = reader.until(b"\r\n\r\n")
            _parse_head(head, response)
            if response.status == 100:
                response.continued = True
                head = None
        if head is None and body is not None:
            payload = body
            if chunked:
                payload = b"".join(
                    b"%x\r\n%s\r\n" % (len(body[i:i + chunk_size]),
                                       body[i:i + chunk_size])
                    for i in range(0, len(body), chunk_size)) + b"0\r\n\r\n"
            try:
                sock.sendall(payload)
            except (BrokenPipeError, ConnectionResetError):
                pass
        if head is None:
            head = reader.until(b"\r\n\r\n")
            _parse_head(head, response)
        response.head = head
        _read_body(reader, response, method)
        return response
    finally:
        sock.close()


def echo_line(data):
    """What the echo scripts print for a body."""
    return b"%d %s\n" % (len(data), sha256(data).encode())


class ServerTestCase(unittest.TestCase):
    """Base for test classes that share one running apache2."""

    maxDiff = 4000

    @classmethod
    def check_server(cls):
        server = CheckServer()
        cls.addClassCleanup(server.close)
        return server

    @classmethod
    def apache(cls, **kwargs):
        server = Apache(**kwargs)
        cls.addClassCleanup(server.cleanup)
        return server

    def assert_no_crash(self, apache):
        log = apache.log_since(0)
        for text in ("Segmentation fault", "exit signal", "AddressSanitizer",
                     "runtime error:"):
            self.assertNotIn(text, log)
        apache.check_reports()
