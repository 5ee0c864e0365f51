#!/usr/bin/python3
"""Throughput, latency and memory of mod_vornex on loopback.

Starts everything it measures itself, on free loopback ports: the stand-in
check service, plain and over TLS (with certificates made for the run);
Apache (event MPM) without the module, and with it skipping, screening,
screening on kept connections, screening over TLS with and without kept
connections and switched off, each a server of its own; nginx plain and with
auth_request to the same stand-in, with and without an upstream keep-alive
pool; and one-child Apaches for the memory figures. Every ratio's two
figures are measured back to back in each round, twice in mirror order (A B
B A, then B A A B in the next round; the two ratios whose limit is close to
1 twice more), so that a ratio holds while the machine's speed drifts and
whatever ran before weighs on both; each figure is the median of the rounds,
each ratio the median of the per-round ratios, shown with their lowest and
highest. With two CPUs or more, the servers run
on the first half and the clients and the stand-in on the rest.

Prints a markdown table on standard output and writes it, with a CSV of
every sample, under BUILD/bench/.

  bench.py --build BUILD [--quick] [--rounds N] [--repeat N] [--check-table]
"""

import argparse
import csv
import datetime
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
sys.dont_write_bytecode = True
from testbed.apache import APACHE, Apache  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.machine import (Abort, abort_on_signals,  # noqa: E402
                             cpu_names, cpu_split, loadavg, logger,
                             machine, make_command, on_cpus, stop_on_signal)
from testbed.net import LOOPBACK, free_port, free_ports  # noqa: E402
from testbed.process import (child_pids, die_with_parent,  # noqa: E402
                             proc_status, worker_pids)
from testbed.standin import StandInCheckServer  # noqa: E402
from testbed.tls import pki  # noqa: E402

NGINX = "/usr/sbin/nginx"
WRK = "/usr/bin/wrk"
MIB = 1024 * 1024

# The 100-byte page every throughput scenario serves.
PAGE = b"<!doctype html><title>bench</title><p>%s</p>\n" % (b"x" * 57)
assert len(PAGE) == 100

# Reads exactly the declared body and answers with its length.
READ_CGI = """#!/bin/sh
head -c "${CONTENT_LENGTH:-0}" >/dev/null
printf 'Content-Type: text/plain\\r\\n\\r\\nread %s\\n' "${CONTENT_LENGTH:-0}"
"""

# Everything passes but one path, which tells the harness that screening is
# really in force where it should be.
RULES = """rule bench-block
  target ^/bench-blocked
  verdict block

default
  verdict pass
"""

POST_LUA = """wrk.method = "POST"
wrk.body = string.rep("a", 16384)
wrk.headers["Content-Type"] = "application/octet-stream"
"""

# name, server, path, wrk script, baseline, what it is
THROUGHPUT = [
    ("off", "off", "/index.html", None, "off",
     "module not loaded, 100-byte page"),
    ("off-static", "off", "/site.css", None, "off-static",
     "module not loaded, the same page as /site.css"),
    ("skip", "skip", "/site.css", None, "off-static",
     "VornexCheck On, URI the built-in pattern skips"),
    ("disabled", "disabled", "/index.html", None, "off",
     "module loaded, VornexCheck Off"),
    ("screened", "on", "/index.html", None, "off",
     "VornexCheck On, check answers pass"),
    ("screened-keepalive", "on-keepalive", "/index.html", None, "off",
     "screened, VornexKeepAlive On"),
    ("screened-tls", "on-tls", "/index.html", None, "screened",
     "screened over TLS, a new connection and handshake per check"),
    ("screened-tls-keepalive", "on-tls-keepalive", "/index.html", None,
     "screened-keepalive", "screened over TLS, VornexKeepAlive On"),
    ("nginx-plain", "nginx-plain", "/index.html", None, "nginx-plain",
     "nginx, same page"),
    ("nginx-auth", "nginx-auth", "/index.html", None, "nginx-plain",
     "nginx, auth_request to the stand-in, new connection per check"),
    ("nginx-auth-keepalive", "nginx-auth-keepalive", "/index.html", None,
     "nginx-plain", "nginx, auth_request, upstream keepalive pool"),
    ("off-post", "off", "/cgi-bin/read.cgi", "post", "off-post",
     "module not loaded, POST 16 KiB to a CGI script"),
    ("screened-post", "on", "/cgi-bin/read.cgi", "post", "off-post",
     "screened, POST 16 KiB to a CGI script that reads it all"),
]
# The ratios judged against a limit close to 1: each round measures their
# pairs twice, so that their medians rest on twice the samples of the others.
NEAR_ONE = ("skip", "disabled")
LATENCY = [
    ("off-c1", "off", "/index.html", "module not loaded, concurrency 1"),
    ("screened-c1", "on", "/index.html", "screened, concurrency 1"),
    ("screened-keepalive-c1", "on-keepalive", "/index.html",
     "screened, VornexKeepAlive On, concurrency 1"),
]
# Added latency at concurrency 1 per round, and the floor it is judged by.
ADDED = [
    ("added-c1", "screened-c1", "floor",
     "screened-c1 − off-c1, per round"),
    ("added-keepalive-c1", "screened-keepalive-c1", "floor-keepalive",
     "screened-keepalive-c1 − off-c1, per round"),
]
# name, kept connection, TLS, what it is
FLOORS = [
    ("floor", False, False,
     "bare connect + check POST + answer + close, same client library"),
    ("floor-keepalive", True, False,
     "check POST + answer on one kept connection, same client library"),
    ("floor-tls", False, True,
     "connect + TLS handshake + check POST + answer + close, same client"),
    ("floor-tls-keepalive", True, True,
     "check POST + answer on one kept TLS connection, same client"),
]
# The bound on TLS handshakes during one screened-tls-keepalive figure: what
# the kept connections of the server's workers can hold (a worker keeps at
# most one idle connection per thread), so that a figure that made more
# handshakes than that was not on kept connections.
TLS_WORKERS = (2, 32)

# The server-core microseconds a check adds, the module's and nginx's from
# the same rounds: per round, (1 / throughput with the check − 1 / throughput
# without) × the CPUs the servers run on, which they keep busy while a
# figure is taken. name, module's scenario, nginx's scenario, what it is.
CHECK_COST = [
    ("check-cost", "screened", "nginx-auth", "a new connection per check"),
    ("check-cost-keepalive", "screened-keepalive", "nginx-auth-keepalive",
     "kept connections to the check service"),
]
MEMORY = [
    ("memory-off", "mem-off", "module not loaded, 64 MiB POST to CGI"),
    ("memory", "mem-on", "screened, 64 MiB POST to CGI (body in a file)"),
    ("memory-in-memory", "mem-inmem",
     "screened, VornexBodyInMemoryLimit 0, 64 MiB POST to CGI"),
]
MEMORY_BODY = 64 * MIB

SCENARIOS = ([t[0] for t in THROUGHPUT] + [t[0] for t in LATENCY] +
             [f[0] for f in FLOORS] + [m[0] for m in MEMORY])


log = logger("bench")


# ---- the servers ---------------------------------------------------------

def wait_port(port, proc, what, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise Abort("%s exited with %s" % (what, proc.returncode))
        try:
            socket.create_connection((LOOPBACK, port), 1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise Abort("%s did not listen on %d" % (what, port))


def start_process(cmd, what, port, log_path, seconds=20):
    out = open(log_path, "wb")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True,
                            preexec_fn=die_with_parent)
    out.close()
    wait_port(port, proc, what, seconds)
    return proc


def stop_process(proc, sig=signal.SIGTERM):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, sig)
    except OSError:
        proc.send_signal(sig)
    try:
        proc.wait(15)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(10)


def vornex_conf(check, mode):
    """The module's part of a benchmark Apache's configuration: `mode` is
    "on" or "off" (VornexCheck), "on-keepalive" (on, with kept connections
    to the check service), "on-tls" and "on-tls-keepalive" (the same with
    the check service over TLS) or "on-inmem" (on, with every body kept in
    memory). `check` is (plain port, TLS port)."""
    plain_port, tls_port = check
    address = ("https://%s:%d" % (LOOPBACK, tls_port)
               if mode.startswith("on-tls")
               else "%s:%d" % (LOOPBACK, plain_port))
    lines = [
        "VornexPrimaryServer %s" % address,
        "VornexSecondaryServer %s" % address,
        "VornexCheck %s" % ("Off" if mode == "off" else "On"),
    ]
    if mode.startswith("on-tls"):
        lines.append("VornexTLSCACertificateFile %s" % pki().ca_file)
    if mode == "on-inmem":
        lines.append("VornexBodyInMemoryLimit 0")
    if mode.endswith("-keepalive"):
        lines.append("VornexKeepAlive On")
    return "\n".join(lines)


def start_apache(module, check_port, mode, workers):
    """A benchmark Apache with a fixed set of `workers` (processes,
    threads); `mode` None leaves the module out; `check_port` is the stand-in
    check service's (plain port, TLS port)."""
    server = Apache(mpm="event", cgi="cgid", module=module,
                    vornex=mode is not None, measured=workers,
                    prefix="vornex-bench-")
    server.write("htdocs/index.html", PAGE)
    server.write("htdocs/site.css", PAGE)
    server.write("cgi-bin/read.cgi", READ_CGI, mode=0o755)
    server.configure(vornex_conf(check_port, mode) if mode else "")
    server.start()
    return server


def nginx_conf(root, plain_port, auth_port, keep_port, check_port):
    return """daemon off;
master_process on;
worker_processes 2;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {root}/tmp/body;
  proxy_temp_path {root}/tmp/proxy;
  fastcgi_temp_path {root}/tmp/fastcgi;
  uwsgi_temp_path {root}/tmp/uwsgi;
  scgi_temp_path {root}/tmp/scgi;
  keepalive_requests 1000000;
  keepalive_timeout 30s;
  types {{ text/html html; text/css css; }}
  server {{
    listen {lo}:{plain};
    root {root}/htdocs;
  }}
  server {{
    listen {lo}:{auth};
    root {root}/htdocs;
    location / {{
      auth_request /.vornex-check;
    }}
    # No upstream keepalive: a new connection for every check, as the
    # module makes.
    location = /.vornex-check {{
      internal;
      proxy_pass http://{lo}:{check}/v2.1/check;
      proxy_pass_request_body off;
      proxy_set_header Content-Length "";
      proxy_set_header X-Original-URI $request_uri;
    }}
  }}
  # The same with a pool of kept connections to the check service.
  upstream vornex_check {{
    server {lo}:{check};
    keepalive 32;
    keepalive_requests 1000000;
  }}
  server {{
    listen {lo}:{keep};
    root {root}/htdocs;
    location / {{
      auth_request /.vornex-check;
    }}
    location = /.vornex-check {{
      internal;
      proxy_pass http://vornex_check/v2.1/check;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_pass_request_body off;
      proxy_set_header Content-Length "";
      proxy_set_header X-Original-URI $request_uri;
    }}
  }}
}}
""".format(root=root, lo=LOOPBACK, plain=plain_port, auth=auth_port,
           keep=keep_port, check=check_port)


class Nginx:
    def __init__(self, check_port):
        self.root = tempfile.mkdtemp(prefix="vornex-bench-nginx-")
        os.chmod(self.root, 0o755)
        for d in ("htdocs", "tmp", "logs"):
            os.mkdir(os.path.join(self.root, d))
            os.chmod(os.path.join(self.root, d), 0o755)
        with open(os.path.join(self.root, "htdocs", "index.html"), "wb") as f:
            f.write(PAGE)
        os.chmod(os.path.join(self.root, "htdocs", "index.html"), 0o644)
        self.plain_port, self.auth_port, self.keep_port = \
            free_ports(3)
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_conf(self.root, self.plain_port, self.auth_port,
                               self.keep_port, check_port))
        self.proc = start_process(
            [NGINX, "-p", self.root + "/", "-c", conf,
             "-e", os.path.join(self.root, "error.log")],
            "nginx", self.plain_port, os.path.join(self.root, "console.log"))
        wait_port(self.auth_port, self.proc, "nginx")
        wait_port(self.keep_port, self.proc, "nginx")

    def cleanup(self):
        stop_process(self.proc, signal.SIGQUIT)
        shutil.rmtree(self.root, ignore_errors=True)


# ---- measuring -------------------------------------------------------------

def parse_duration_us(text):
    m = re.match(r"([\d.]+)(us|ms|s|m)$", text)
    if not m:
        raise Abort("unreadable wrk latency %r" % text)
    factor = {"us": 1, "ms": 1e3, "s": 1e6, "m": 60e6}[m.group(2)]
    return float(m.group(1)) * factor


def run_wrk(port, path, seconds, connections, threads, script=None,
            latency=False):
    cmd = [WRK, "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds,
           "--timeout", "10s"]
    if latency:
        cmd.append("--latency")
    if script:
        cmd += ["-s", script]
    cmd.append("http://%s:%d%s" % (LOOPBACK, port, path))
    done = subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=seconds + 60,
                          start_new_session=True)
    out = done.stdout.decode(errors="replace")
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if done.returncode != 0 or not m:
        raise Abort("wrk failed:\n" + out)
    result = {"rps": float(m.group(1)), "errors": 0}
    m = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    if m:
        result["errors"] += int(m.group(1))
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), "
                  r"timeout (\d+)", out)
    if m:
        result["errors"] += sum(int(g) for g in m.groups())
    if latency:
        for pct in ("50", "99"):
            m = re.search(r"^\s+%s(?:\.000)?%%\s+(\S+)" % pct, out, re.M)
            if not m:
                raise Abort("wrk printed no %s%% latency:\n%s" % (pct, out))
            result["p" + pct] = parse_duration_us(m.group(1))
    return result


def run_floor(tool, check_port, count, keep_alive=False, cpus=None,
              tls=False):
    """The floor tool makes its exchanges from `cpus` (the servers' CPUs when
    pinned), so that they take the same path between cores as the module's
    calls from an Apache worker; with `tls`, to a stand-in over TLS whose
    certificate the run's authority issued."""
    cmd = [tool, "--server", "%s:%d" % (LOOPBACK, check_port),
           "--count", str(count), "--warmup", str(max(10, count // 20))]
    if keep_alive:
        cmd.append("--keep-alive")
    if tls:
        cmd += ["--tls-ca", pki().ca_file]
    with on_cpus(cpus):
        done = subprocess.run(cmd, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
    out = done.stdout.decode(errors="replace")
    m = re.search(r"p50_us=([\d.]+) p99_us=([\d.]+)", out)
    if done.returncode != 0 or not m:
        raise Abort("floor tool failed: %s%s"
                    % (out, done.stderr.decode(errors="replace")))
    return {"p50": float(m.group(1)), "p99": float(m.group(2))}


def status_kib(pid, field):
    status = proc_status(pid) or {}
    if field not in status:
        raise Abort("no %s for pid %d" % (field, pid))
    return int(status[field].split()[0])


def worker_pid(server):
    """The one worker process of a one-child Apache: the child with more
    than one thread (the CGI daemon has one)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        workers = list(worker_pids(server.proc.pid))
        if len(workers) == 1:
            return workers[0]
        time.sleep(0.1)
    raise Abort("no single worker process under pid %d" % server.proc.pid)


def post_body(port, path, body, timeout=120):
    """POSTs the body on a new connection and returns the status and the
    response body."""
    sock = socket.create_connection((LOOPBACK, port), timeout)
    try:
        head = ("POST %s HTTP/1.1\r\nHost: %s:%d\r\n"
                "Content-Type: application/octet-stream\r\n"
                "Content-Length: %d\r\nConnection: close\r\n\r\n"
                % (path, LOOPBACK, port, len(body))).encode()
        sock.sendall(head)
        view = memoryview(body)
        for i in range(0, len(body), MIB):
            sock.sendall(view[i:i + MIB])
        raw = b""
        while True:
            piece = sock.recv(65536)
            if not piece:
                break
            raw += piece
    finally:
        sock.close()
    head, _, rest = raw.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1]) if head else 0
    return status, rest


def measure_memory(server, body):
    """Peak resident size of the worker above its size just before a body
    is POSTed to the CGI script, in KiB."""
    pid = worker_pid(server)
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")  # peak resident size starts again from the current one
    before = status_kib(pid, "VmRSS")
    status, answer = post_body(server.port, "/cgi-bin/read.cgi", body)
    peak = status_kib(pid, "VmHWM")
    if status != 200 or b"read %d\n" % len(body) not in answer:
        raise Abort("64 MiB POST answered %d %r" % (status, answer[:200]))
    if worker_pid(server) != pid:
        raise Abort("the worker process changed during the POST")
    return {"peak_kib": peak - before, "idle_kib": before}


# ---- counts that do not move with the machine's speed ----------------------

STRACE = "/usr/bin/strace"
VALGRIND = "/usr/bin/valgrind"

# name, server, path, baseline, what it is. The servers are one-child
# Apaches ("off" without the module, "on", "on-keepalive", "disabled") and
# nginx's three.
COUNTED = [
    ("off", "off", "/index.html", "off", "module not loaded"),
    ("off-static", "off", "/site.css", "off-static",
     "module not loaded, /site.css"),
    ("skip", "on", "/site.css", "off-static",
     "VornexCheck On, URI the built-in pattern skips"),
    ("disabled", "disabled", "/index.html", "off",
     "module loaded, VornexCheck Off"),
    ("screened", "on", "/index.html", "off", "screened, new connection"),
    ("screened-keepalive", "on-keepalive", "/index.html", "off",
     "screened, VornexKeepAlive On"),
    ("nginx-plain", "nginx-plain", "/index.html", "nginx-plain",
     "nginx, same page"),
    ("nginx-auth", "nginx-auth", "/index.html", "nginx-plain",
     "nginx auth_request, new connection per check"),
    ("nginx-auth-keepalive", "nginx-auth-keepalive", "/index.html",
     "nginx-plain", "nginx auth_request, upstream keepalive pool"),
]
# The scenarios whose user-space instructions callgrind counts.
INSTRUCTIONS = ("off", "off-static", "skip", "disabled", "screened-keepalive")
# Instructions per request of these within this share of their baseline's.
NEAR_ONE_INSTRUCTIONS = 0.02
# One line of strace -c's table: calls, errors (blank when none), name.
STRACE_ROW = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?"
                        r"(\w+)\s*$")


def keepalive_gets(port, path, count, pause=0.0):
    """`count` GETs of `path`, one after the other on one kept connection,
    each sent `pause` seconds after the answer to the one before; each must
    answer 200."""
    raw = ("GET %s HTTP/1.1\r\nHost: %s:%d\r\n\r\n"
           % (path, LOOPBACK, port)).encode()
    sock = socket.create_connection((LOOPBACK, port), 300)
    try:
        pending = b""
        for _ in range(count):
            sock.sendall(raw)
            while b"\r\n\r\n" not in pending:
                piece = sock.recv(65536)
                if not piece:
                    raise Abort("GET %s on %d: connection closed"
                                % (path, port))
                pending += piece
            head, _, pending = pending.partition(b"\r\n\r\n")
            status = int(head.split(b" ", 2)[1])
            m = re.search(rb"\r\ncontent-length:\s*(\d+)", head, re.I)
            if status != 200 or not m:
                raise Abort("GET %s on %d answered %d" % (path, port, status))
            length = int(m.group(1))
            while len(pending) < length:
                piece = sock.recv(65536)
                if not piece:
                    raise Abort("GET %s on %d: connection closed"
                                % (path, port))
                pending += piece
            pending = pending[length:]
            if pause:
                time.sleep(pause)
    finally:
        sock.close()


def parse_strace_counts(text):
    """{system call: calls} from the table of `strace -c`, without its
    total line."""
    calls = {}
    for line in text.splitlines():
        m = STRACE_ROW.match(line)
        if m and m.group(2) != "total":
            calls[m.group(2)] = calls.get(m.group(2), 0) + int(m.group(1))
    return calls


def start_strace(pids, out):
    """`strace -c -f` on every thread of `pids`, its table to `out`; returns
    once strace says it has attached to all of them."""
    cmd = [STRACE, "-c", "-f", "-o", out]
    for pid in pids:
        cmd += ["-p", str(pid)]
    tracer = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, start_new_session=True)
    # "strace: Process N attached" (with its threads) for each pid, once
    # the process is stopped under strace.
    said = b""
    deadline = time.monotonic() + 30
    while said.count(b" attached") < len(pids):
        ready, _, _ = select.select([tracer.stderr], [], [],
                                    max(0, deadline - time.monotonic()))
        piece = os.read(tracer.stderr.fileno(), 4096) if ready else b""
        if not piece:
            tracer.kill()
            tracer.wait(10)
            raise Abort("strace did not attach to %s: %s" % (pids, said))
        said += piece
    return tracer


def count_syscalls(pids, port, path, count, warmup):
    """System calls of processes `pids` (every thread of them) per GET of
    `path`, over `count` GETs on one kept connection after `warmup`; and
    {system call: calls per GET}."""
    keepalive_gets(port, path, warmup)
    out = tempfile.NamedTemporaryFile(prefix="vornex-strace-", delete=False)
    out.close()
    tracer = start_strace(pids, out.name)
    try:
        # Each request after the server has settled from the one before,
        # so that every one takes the same way through the server's event
        # loop: sent at once, a request may or may not find the worker still
        # at the connection, and the counts of the loop's own calls vary.
        keepalive_gets(port, path, count, pause=0.005)
        # What a worker does after its last answer went out (handing the
        # connection back to the listener) belongs to the last request.
        time.sleep(0.2)
    finally:
        tracer.send_signal(signal.SIGINT)
        tracer.wait(60)
        tracer.stderr.close()
    with open(out.name) as f:
        calls = parse_strace_counts(f.read())
    os.unlink(out.name)
    if not calls:
        raise Abort("strace counted no system call")
    return {name: n / count for name, n in calls.items()}


def callgrind_total(path):
    """The instructions (Ir) a callgrind dump counted."""
    with open(path) as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise Abort("no totals in %s" % path)


def callgrind_run(module, check_port, mode, path, count):
    """User-space instructions of a one-process Apache (`apache2 -X`, event
    MPM) under callgrind, from its start to its stop, with `count` GETs of
    `path` on one kept connection in between; `check_port` is the stand-in's
    (plain port, TLS port)."""
    server = Apache(mpm="event", cgi=None, module=module,
                    vornex=mode is not None, measured=(1, 4),
                    prefix="vornex-bench-callgrind-")
    out_dir = os.path.join(server.root, "callgrind")
    os.mkdir(out_dir)
    # The server writes its counts when it ends, after it has dropped its
    # privileges, into the file callgrind made when it started.
    os.chmod(out_dir, 0o777)
    out = os.path.join(out_dir, "callgrind.out")
    with open(out, "w"):
        pass
    os.chmod(out, 0o666)
    server.write("htdocs/index.html", PAGE)
    server.write("htdocs/site.css", PAGE)
    server.configure(vornex_conf(check_port, mode) if mode else "")
    proc = None
    try:
        proc = start_process(
            [VALGRIND, "--tool=callgrind", "--vgdb=no",
             "--callgrind-out-file=%s" % out, APACHE, "-X", "-f",
             server.conf_path],
            "apache2 under callgrind", server.port,
            os.path.join(server.root, "logs", "callgrind.log"), seconds=300)
        # As for the system calls: each request after the server has
        # settled, so that each takes the same way through its event loop
        # (slower under callgrind).
        keepalive_gets(server.port, path, count, pause=0.02)
        proc.send_signal(signal.SIGTERM)
        proc.wait(300)
        return callgrind_total(out)
    finally:
        stop_process(proc)
        shutil.rmtree(server.root, ignore_errors=True)


def count_instructions(module, check_port, mode, path, count, warmup):
    """User-space instructions per GET of `path` in a one-process Apache
    under callgrind: a run of `warmup` + `count` GETs less a run of
    `warmup`, over `count`, so that starting and stopping the server, and
    the first requests, which fill its caches, cancel out. Callgrind's own
    control (zeroing the counters after the warm-up) cannot reach a server
    that has dropped its privileges."""
    short = callgrind_run(module, check_port, mode, path, warmup)
    full = callgrind_run(module, check_port, mode, path, warmup + count)
    return (full - short) / count


def stop_all(apaches, others, work):
    """Stops the Apaches, nginx and the stand-in a run started, and removes
    its work directory."""
    for server in apaches:
        server.cleanup()
    for other in others:
        if isinstance(other, Nginx):
            other.cleanup()
        else:
            other.stop()
    shutil.rmtree(work, ignore_errors=True)


def run_facts(**facts):
    """What the table's last line says about a run, as it starts."""
    facts.update({
        "machine": machine(), "load_start": loadavg(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime(
            "%Y-%m-%d %H:%M UTC"),
        "command": make_command("bench", sys.argv[1:])})
    return facts


def run_counts(tools, requests, warmup):
    """System calls per request of every COUNTED scenario, and
    instructions per request of the INSTRUCTIONS ones; returns
    (Results, run facts)."""
    module, check_tool, _ = tools
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="vornex-bench-")
    res = Results()
    apaches, others = [], []
    info = run_facts(requests=requests, warmup=warmup)
    try:
        rules = os.path.join(work, "bench.rules")
        with open(rules, "w") as f:
            f.write(RULES)
        check_port = free_port()
        check = StandInCheckServer(check_tool, check_port, rules,
                                   os.devnull, threads=8)
        check.start()
        others.append(check)
        log("counting system calls")
        servers = {}
        for name, mode in (("off", None), ("on", "on"),
                           ("on-keepalive", "on-keepalive"),
                           ("disabled", "off")):
            server = start_apache(module, (check_port, None), mode, (1, 4))
            apaches.append(server)
            servers[name] = (server.port, [worker_pid(server)])
        nginx = Nginx(check_port)
        others.append(nginx)
        nginx_workers = list(child_pids(nginx.proc.pid))
        for name, port in (("nginx-plain", nginx.plain_port),
                           ("nginx-auth", nginx.auth_port),
                           ("nginx-auth-keepalive", nginx.keep_port)):
            servers[name] = (port, nginx_workers)
        for name, server, path, _, _ in COUNTED:
            port, pids = servers[server]
            calls = count_syscalls(pids, port, path, requests, warmup)
            res.add(name, "syscalls", sum(calls.values()))
            for call, n in calls.items():
                res.add(name, "syscall " + call, n)
        for server in apaches:
            server.cleanup()
        apaches = []
        modes = {"off": None, "on": "on", "on-keepalive": "on-keepalive",
                 "disabled": "off"}
        for name, server, path, _, _ in COUNTED:
            if name in INSTRUCTIONS:
                log("counting instructions: %s" % name)
                res.add(name, "instructions", count_instructions(
                    module, (check_port, None), modes[server], path, requests,
                    warmup))
    finally:
        stop_all(apaches, others, work)
    info["load_end"] = loadavg()
    info["wall"] = time.monotonic() - started
    return res, info


def syscall_difference(res, name, base):
    """The system calls per request that `name` makes beyond `base`, by
    name, as text: "sendmsg +1, poll +2"."""
    def per_call(scenario):
        return {metric[len("syscall "):]: statistics.median(values)
                for (s, metric), values in res.samples.items()
                if s == scenario and metric.startswith("syscall ")}
    mine, theirs = per_call(name), per_call(base)
    parts = []
    for call in sorted(set(mine) | set(theirs)):
        diff = mine.get(call, 0) - theirs.get(call, 0)
        if abs(diff) >= 0.05:
            parts.append("%s %+.1f" % (call, diff))
    return ", ".join(parts)


# The scenarios whose instructions per request must stay near their
# baseline's.
NEAR_ONE_COUNTED = (("skip", "off-static"), ("disabled", "off"))
KEPT_CALLS_TARGET = "system calls per check, kept connection"


def count_targets_names():
    return (["%s / %s instructions per request" % pair
             for pair in NEAR_ONE_COUNTED] + [KEPT_CALLS_TARGET])


def count_targets(res):
    """(name, figure, limit, holds) of the targets judged by counts."""
    out = []
    names = count_targets_names()
    for (name, base), title in zip(NEAR_ONE_COUNTED, names):
        figure = (res.median(name, "instructions") /
                  res.median(base, "instructions"))
        out.append((title, figure, "<= %.2f" % (1 + NEAR_ONE_INSTRUCTIONS),
                    figure <= 1 + NEAR_ONE_INSTRUCTIONS))
    # Counted over many requests, a figure may carry a fraction of a call
    # from the idle threads' wake-ups.
    calls = (res.median("screened-keepalive", "syscalls") -
             res.median("off", "syscalls"))
    out.append((names[-1], calls, "<= 4", calls < 4.5))
    return out


def counts_table(res, info):
    lines = ["| scenario | what | system calls per request | per check "
             "(beyond baseline) | which | instructions per request "
             "(callgrind, user space) | × baseline |",
             "|---|---|---|---|---|---|---|"]
    for name, _, _, base, what in COUNTED:
        calls = res.median(name, "syscalls")
        if name == base:
            extra, which = "baseline", ""
        else:
            extra = "%+.1f" % (calls - res.median(base, "syscalls"))
            which = syscall_difference(res, name, base)
        if res.get(name, "instructions"):
            ins = res.median(name, "instructions")
            ins_text = "%.0f" % ins
            ratio = ("baseline" if name == base else "%.4f × %s" % (
                ins / res.median(base, "instructions"), base))
        else:
            ins_text = ratio = ""
        lines.append("| %s | %s | %.1f | %s | %s | %s | %s |"
                     % (name, what, calls, extra, which, ins_text, ratio))
    lines += ["", "| target | figure | limit | holds |", "|---|---|---|---|"]
    for name, figure, limit, holds in count_targets(res):
        lines.append("| %s | %.3f | %s | %s |"
                     % (name, figure, limit, "yes" if holds else "**no**"))
    lines += [
        "",
        "Machine: %(nproc)s cores, %(cpu)s, kernel %(kernel)s, Debian "
        "%(debian)s. " % info["machine"] +
        "Run %(date)s; %(requests)d GETs on one kept connection after "
        "%(warmup)d, per scenario; system calls by `strace -c -f` on the "
        "one worker process of an event Apache (1 × 4 threads) or on "
        "nginx's workers; instructions by callgrind on `apache2 -X`, a run "
        "with the warm-up alone taken from one with both; load average "
        "%(load_start)s at start, %(load_end)s at end; wall time "
        "%(wall).0f s. "
        "Command: `%(command)s`." % info,
    ]
    return "\n".join(lines) + "\n"


# ---- checks that each server does what its scenario says ---------------

def expect_status(port, path, status, what):
    got = request(port, "GET", path, timeout=20).status
    if got != status:
        raise Abort("%s: GET %s gave %d, expected %d" % (what, path, got,
                                                         status))


def sanity(servers):
    on, off, disabled = servers["on"], servers["off"], servers["disabled"]
    expect_status(on, "/bench-blocked", 403, "screening")
    expect_status(on, "/bench-blocked.css", 404, "skip pattern")
    expect_status(servers["skip"], "/bench-blocked", 403, "screening")
    expect_status(servers["skip"], "/bench-blocked.css", 404, "skip pattern")
    expect_status(servers["on-keepalive"], "/bench-blocked", 403,
                  "screening with kept connections")
    expect_status(servers["on-tls"], "/bench-blocked", 403,
                  "screening over TLS")
    expect_status(servers["on-tls-keepalive"], "/bench-blocked", 403,
                  "screening over TLS with kept connections")
    expect_status(disabled, "/bench-blocked", 404, "VornexCheck Off")
    expect_status(off, "/bench-blocked", 404, "module not loaded")
    for name, port in servers.items():
        if name.startswith("mem"):
            continue
        expect_status(port, "/index.html", 200, name)


# ---- the run ---------------------------------------------------------------

def summary(samples):
    return (statistics.median(samples), min(samples), max(samples))


def fmt(value, digits=0):
    return "%.*f" % (digits, value)


class Results:
    def __init__(self):
        self.samples = {}  # (scenario, metric) -> list

    def add(self, scenario, metric, value):
        self.samples.setdefault((scenario, metric), []).append(value)

    def median(self, scenario, metric):
        return statistics.median(self.samples[(scenario, metric)])

    def get(self, scenario, metric):
        return self.samples.get((scenario, metric), [])


def spread(values):
    return "%.3f to %.3f" % (min(values), max(values))


def targets(res):
    """(name, figure, limit, holds, spread) of every target, from this run;
    the spread is the lowest and highest per-round value of the figure."""
    out = []
    for name, limit in (("skip", 0.98), ("disabled", 0.98)):
        ratios = res.get(name, "ratio")
        ratio = statistics.median(ratios)
        out.append(("%s / off req/s" % name, ratio, ">= %.2f" % limit,
                    ratio >= limit, spread(ratios)))
    ratios = res.get("screened-keepalive", "ratio")
    ratio = statistics.median(ratios)
    out.append(("screened-keepalive / off req/s", ratio, ">= 0.40",
                ratio >= 0.40, spread(ratios)))
    ratios = res.get("screened-tls-keepalive", "ratio")
    ratio = statistics.median(ratios)
    out.append(("screened-tls-keepalive / screened-keepalive req/s", ratio,
                ">= 0.85", ratio >= 0.85, spread(ratios)))
    handshakes = res.get("screened-tls-keepalive", "handshakes")
    most = max(handshakes)
    limit = TLS_WORKERS[0] * TLS_WORKERS[1]
    out.append(("TLS handshakes during a screened-tls-keepalive figure, most",
                most, "<= %d" % limit, most <= limit,
                "%d to %d" % (min(handshakes), most)))
    for name, peer in (("screened", "nginx-auth"),
                       ("screened-keepalive", "nginx-auth-keepalive")):
        costs = [1 - r for r in res.get(name, "ratio")]
        cost = statistics.median(costs)
        peer_cost = 1 - res.median(peer, "ratio")
        out.append(("cost 1 - %s/off, against 1 - %s/nginx-plain"
                    % (name, peer), cost, "<= %.3f" % peer_cost,
                    cost <= peer_cost, spread(costs)))
    for name, _, _, _ in CHECK_COST:
        costs = res.get(name, "module_us")
        figure = statistics.median(costs)
        limit = statistics.median(res.get(name, "nginx_us"))
        out.append(("%s, module's µs per check against nginx's" % name,
                    figure, "<= %.0f" % limit, figure <= limit,
                    "%.0f to %.0f" % (min(costs), max(costs))))
    for added, _, floor_name, _ in ADDED:
        extra = 40 if floor_name == "floor-keepalive" else 0
        for pct in ("p50", "p99"):
            values = res.get(added, pct)
            figure = statistics.median(values)
            limit = 1.2 * res.median(floor_name, pct) + extra
            out.append(("%s %s, us (1.2 x %s%s)"
                        % (added, pct, floor_name,
                           " + 40 us" if extra else ""),
                        figure, "<= %.0f" % limit, figure <= limit,
                        "%.0f to %.0f" % (min(values), max(values))))
    for name, limit in (("memory", 0.25), ("memory-in-memory", 2.10)):
        values = [k * 1024 / MEMORY_BODY for k in res.get(name, "peak_kib")]
        ratio = statistics.median(values)
        out.append(("%s above idle / 64 MiB body" % name, ratio,
                    "<= %.2f" % limit, ratio <= limit, spread(values)))
    return out


def table(res, info):
    lines = ["| scenario | what | figure | median | min | max | "
             "median ratio per round (min to max) | errors |",
             "|---|---|---|---|---|---|---|---|"]
    for name, _, _, _, base, what in THROUGHPUT:
        med, lo, hi = summary(res.get(name, "rps"))
        ratios = res.get(name, "ratio")
        ratio = ("%.3f × %s (%s)" % (statistics.median(ratios), base,
                                     spread(ratios))
                 if ratios else "baseline")
        lines.append("| %s | %s | req/s | %s | %s | %s | %s | %d |"
                     % (name, what, fmt(med), fmt(lo), fmt(hi), ratio,
                        sum(res.get(name, "errors"))))
    for name, _, _, what in LATENCY:
        for pct in ("p50", "p99"):
            med, lo, hi = summary(res.get(name, pct))
            lines.append("| %s | %s | %s µs | %s | %s | %s | | %d |"
                         % (name, what, pct, fmt(med), fmt(lo), fmt(hi),
                            sum(res.get(name, "errors"))))
    for name, _, _, what in FLOORS:
        for pct in ("p50", "p99"):
            med, lo, hi = summary(res.get(name, pct))
            lines.append("| %s | %s | %s µs | %s | %s | %s | | 0 |"
                         % (name, what, pct, fmt(med), fmt(lo), fmt(hi)))
    # What a new TLS connection costs over a kept one, less what a new plain
    # connection costs over a kept one: the handshake.
    handshake = ((res.median("floor-tls", "p50")
                  - res.median("floor-tls-keepalive", "p50"))
                 - (res.median("floor", "p50")
                    - res.median("floor-keepalive", "p50")))
    lines.append("| tls-handshake | (floor-tls − floor-tls-keepalive) − "
                 "(floor − floor-keepalive), medians | p50 µs | %s | | | | |"
                 % fmt(handshake))
    med, lo, hi = summary(res.get("screened-tls-keepalive", "handshakes"))
    lines.append("| screened-tls-keepalive | TLS handshakes the stand-in "
                 "made during one figure | handshakes | %s | %s | %s | | |"
                 % (fmt(med), fmt(lo), fmt(hi)))
    for name, _, floor_name, what in ADDED:
        for pct in ("p50", "p99"):
            med, lo, hi = summary(res.get(name, pct))
            ratio = med / res.median(floor_name, pct)
            lines.append("| %s | %s | %s µs | %s | %s | %s | %.2f × %s | |"
                         % (name, what, pct, fmt(med), fmt(lo), fmt(hi),
                            ratio, floor_name))
    for name, module, peer, what in CHECK_COST:
        peer_med = statistics.median(res.get(name, "nginx_us"))
        for who, key, scenario, base in (
                ("module", "module_us", module, "off"),
                ("nginx", "nginx_us", peer, "nginx-plain")):
            med, lo, hi = summary(res.get(name, key))
            lines.append("| %s | %s, %s: 1/%s − 1/%s × server CPUs | µs "
                         "per check | %s | %s | %s | %s | |"
                         % (name, who, what, scenario, base, fmt(med),
                            fmt(lo), fmt(hi),
                            "%.2f × nginx" % (med / peer_med)
                            if who == "module" and peer_med > 0 else ""))
    for name, _, what in MEMORY:
        med, lo, hi = summary([k / 1024 for k in res.get(name, "peak_kib")])
        idle = res.median(name, "idle_kib") / 1024
        lines.append("| %s | %s (idle worker %.1f MiB) | peak MiB above idle "
                     "| %.1f | %.1f | %.1f | %.2f × body | |"
                     % (name, what, idle, med, lo, hi,
                        med * MIB / MEMORY_BODY))
    lines += ["", "| target | figure | rounds (min to max) | limit | holds |",
              "|---|---|---|---|---|"]
    for name, figure, limit, holds, span in targets(res):
        lines.append("| %s | %.3f | %s | %s | %s |"
                     % (name, figure, span, limit,
                        "yes" if holds else "**no**"))
    lines += [
        "",
        "Machine: %(nproc)s cores, %(cpu)s, kernel %(kernel)s, Debian "
        "%(debian)s. " % info["machine"] +
        "Run %(date)s, %(rounds)d rounds, %(seconds)g s per throughput "
        "figure taken twice a round (four times for %(near_one)s and "
        "their baselines), wrk -t%(threads)d -c%(connections)d, "
        "niceness %(nice)d, %(placement)s; "
        "load average "
        "%(load_start)s at start, %(load_end)s at end; failed checks "
        "logged %(check_errors)d; wall time %(wall).0f s. "
        "Command: `%(command)s`." % info,
    ]
    return "\n".join(lines) + "\n"


def repeat_table(runs):
    """The targets over several runs: the median of the runs' figures, the
    lowest and highest, and how many runs held each."""
    lines = ["| target | median of runs | runs (min to max) | limit | "
             "runs held |", "|---|---|---|---|---|"]
    per_run = [targets(res) for res in runs]
    for i, first in enumerate(per_run[0]):
        figures = [run[i][1] for run in per_run]
        held = sum(1 for run in per_run if run[i][3])
        lines.append("| %s | %.3f | %.3f to %.3f | %s | %d of %d |"
                     % (first[0], statistics.median(figures), min(figures),
                        max(figures), first[2], held, len(runs)))
    return "\n".join(lines) + "\n"


def write_csv(path, res):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["scenario", "metric", "median", "min", "max", "runs",
                    "samples"])
        order = (SCENARIOS + [a[0] for a in ADDED] +
                 [c[0] for c in CHECK_COST])
        keys = sorted(res.samples, key=lambda k: (order.index(k[0]), k[1]))
        for scenario, metric in keys:
            values = res.samples[(scenario, metric)]
            med, lo, hi = summary(values)
            w.writerow([scenario, metric, "%g" % med, "%g" % lo, "%g" % hi,
                        len(values), ";".join("%g" % v for v in values)])
        for name, figure, limit, holds, span in targets(res):
            w.writerow(["target", name, "%g" % figure, "", "", "",
                        "%s %s (rounds %s)"
                        % (limit, "holds" if holds else "fails", span)])


def check_outputs(table_text, csv_path, target_count):
    """The smoke check: the table and the CSV carry a row for every
    scenario, with a number in it, and every target. Figures are not
    judged."""
    problems = []
    rows = {}
    for line in table_text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) >= 4:
            rows.setdefault(cells[0], []).append(cells)
    with open(csv_path, newline="") as f:
        csv_rows = list(csv.reader(f))
    csv_names = {r[0] for r in csv_rows[1:]}
    for name in (SCENARIOS + [a[0] for a in ADDED] +
                 [c[0] for c in CHECK_COST]):
        if name not in rows:
            problems.append("table has no row %s" % name)
        elif not all(re.match(r"-?[\d.]+$", cells[3]) for cells in rows[name]):
            problems.append("table row %s has no figure" % name)
        if name not in csv_names:
            problems.append("CSV has no row %s" % name)
    listed = len([r for r in csv_rows if r and r[0] == "target"])
    if listed != target_count:
        problems.append("CSV lists %d targets, not %d" % (listed,
                                                          target_count))
    return problems


def check_counts(table_text):
    """The smoke check of the counts table: a row with a figure for every
    counted scenario, instructions where callgrind counted them, and every
    target."""
    problems = []
    rows = {}
    for line in table_text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if cells:
            rows[cells[0]] = cells
    for name, _, _, _, _ in COUNTED:
        cells = rows.get(name)
        if not cells or not re.match(r"[\d.]+$", cells[2]):
            problems.append("counts table has no system calls for %s" % name)
        elif name in INSTRUCTIONS and not re.match(r"\d+$", cells[5]):
            problems.append("counts table has no instructions for %s" % name)
    for target in count_targets_names():
        if target not in rows:
            problems.append("counts table has no target %s" % target)
    return problems


def add_check_cost(res, figures, base, scenario, cores):
    """Records the microseconds of server CPU a check adds, from one
    round's throughput figures of a check's scenario and its baseline."""
    for name, module, peer, _ in CHECK_COST:
        if scenario in (module, peer):
            with_check = statistics.mean(figures[scenario])
            without = statistics.mean(figures[base])
            if with_check > 0 and without > 0:
                res.add(name, "module_us" if scenario == module
                        else "nginx_us",
                        cores * 1e6 * (1 / with_check - 1 / without))


def ratio_pair_list():
    """(baseline, scenario) of every ratio in a round, the NEAR_ONE ones
    twice."""
    pairs = []
    for t in THROUGHPUT:
        if t[4] != t[0]:
            pairs += [(t[4], t[0])] * (2 if t[0] in NEAR_ONE else 1)
    return pairs


def measure_pairs(pairs, measure, rnd, mirrored=False):
    """Measures each (baseline, scenario) pair back to back, baseline first
    in even rounds and last in odd ones, so that the two figures of a ratio
    share the machine's state, whatever ran before them. `mirrored` takes
    each figure twice, in mirror order (A B B A, then B A A B), so that a
    steady drift of the machine's speed within the pair cancels out; the
    figures are then lists of two. A pair listed twice is measured the second
    time in the other order."""
    seen = {}
    for base, scenario in pairs:
        times = seen.get((base, scenario), 0)
        seen[(base, scenario)] = times + 1
        order = ((base, scenario) if (rnd + times) % 2 == 0
                 else (scenario, base))
        if not mirrored:
            yield {name: measure(name) for name in order}
            continue
        figures = {base: [], scenario: []}
        for name in order + order[::-1]:
            figures[name].append(measure(name))
        yield figures


def run_once(args, tools, timing, deadline):
    """Starts every server, measures every scenario for args.rounds rounds
    and stops everything; returns (Results, run facts)."""
    module, check_tool, floor_tool = tools
    seconds, warmup, c1_seconds, floor_count = timing

    def time_left():
        if time.monotonic() > deadline:
            raise Abort("over the time budget")

    started = time.monotonic()
    own_cpus = os.sched_getaffinity(0)
    split = cpu_split(args.pin)
    server_cpus, client_cpus = split or (None, None)
    # The CPUs whose time a server's throughput spends.
    cores = len(server_cpus or own_cpus)
    work = tempfile.mkdtemp(prefix="vornex-bench-")
    apaches, others = [], []
    info = run_facts(
        rounds=args.rounds, seconds=seconds, threads=args.threads,
        connections=args.connections, check_errors=0,
        near_one=" and ".join(NEAR_ONE),
        nice=os.getpriority(os.PRIO_PROCESS, 0) if args.nice else 0,
        placement=("servers on CPU %s, clients on CPU %s"
                   % (cpu_names(server_cpus), cpu_names(client_cpus))
                   if split else "not pinned"))
    res = Results()
    try:
        rules = os.path.join(work, "bench.rules")
        with open(rules, "w") as f:
            f.write(RULES)
        post_lua = os.path.join(work, "post.lua")
        with open(post_lua, "w") as f:
            f.write(POST_LUA)
        # The stand-in check service stands for a remote one: it runs on
        # the clients' CPUs, with wrk and this script, and the servers
        # measured have the other CPUs to themselves.
        if client_cpus:
            os.sched_setaffinity(0, client_cpus)
        check_port, tls_port = free_ports(2)
        check = StandInCheckServer(check_tool, check_port, rules,
                                   os.devnull, threads=64)
        check.start()
        others.append(check)
        tls_check = StandInCheckServer(check_tool, tls_port, rules,
                                       os.devnull, threads=64,
                                       tls=pki().good)
        tls_check.start()
        others.append(tls_check)

        log("starting servers")
        servers = {}
        with on_cpus(server_cpus):
            # Each scenario of the module has a server of its own, so that
            # what one leaves behind (a worker's memory, its sockets) is not
            # measured in another.
            for name, mode, workers in (
                    ("off", None, (2, 32)), ("on", "on", (2, 32)),
                    ("on-keepalive", "on-keepalive", (2, 32)),
                    ("on-tls", "on-tls", (2, 32)),
                    ("on-tls-keepalive", "on-tls-keepalive", TLS_WORKERS),
                    ("skip", "on", (2, 32)), ("disabled", "off", (2, 32)),
                    ("mem-off", None, (1, 4)), ("mem-on", "on", (1, 4)),
                    ("mem-inmem", "on-inmem", (1, 4))):
                server = start_apache(module, (check_port, tls_port), mode,
                                      workers)
                apaches.append(server)
                servers[name] = server.port
            nginx = Nginx(check_port)
            others.append(nginx)
        servers["nginx-plain"] = nginx.plain_port
        servers["nginx-auth"] = nginx.auth_port
        servers["nginx-auth-keepalive"] = nginx.keep_port
        by_port = {a.port: a for a in apaches}
        sanity(servers)

        throughput = {t[0]: t for t in THROUGHPUT}
        latency = {t[0]: t for t in LATENCY}

        def rps(name):
            time_left()
            _, server, path, script, _, _ = throughput[name]
            counted = name == "screened-tls-keepalive"
            # Each question about the count makes a handshake of its own,
            # which the count it reads includes.
            before = tls_check.handshakes() if counted else 0
            r = run_wrk(servers[server], path, seconds, args.connections,
                        args.threads, post_lua if script else None)
            if counted:
                res.add(name, "handshakes",
                        tls_check.handshakes() - before - 1)
            res.add(name, "rps", r["rps"])
            res.add(name, "errors", r["errors"])
            return r["rps"]

        def c1(name):
            time_left()
            _, server, path, _ = latency[name]
            r = run_wrk(servers[server], path, c1_seconds, 1, 1,
                        latency=True)
            for key in ("p50", "p99", "errors"):
                res.add(name, key, r[key])
            return r

        def floor(name):
            time_left()
            _, keep, tls, _ = [f for f in FLOORS if f[0] == name][0]
            r = run_floor(floor_tool, tls_port if tls else check_port,
                          floor_count, keep, server_cpus, tls)
            res.add(name, "p50", r["p50"])
            res.add(name, "p99", r["p99"])
            return r

        for name, server, path, script, _, _ in THROUGHPUT:
            time_left()
            run_wrk(servers[server], path, warmup, args.connections,
                    args.threads, post_lua if script else None)
        memory_body = os.urandom(MEMORY_BODY)
        for _, server, _ in MEMORY:
            measure_memory(by_port[servers[server]], b"w" * 4096)

        ratio_pairs = ratio_pair_list()
        for rnd in range(args.rounds):
            log("round %d of %d (load %s)" % (rnd + 1, args.rounds,
                                              loadavg()))
            for (base, scenario), figures in zip(
                    ratio_pairs,
                    measure_pairs(ratio_pairs, rps, rnd, True)):
                res.add(scenario, "ratio",
                        sum(figures[scenario]) / sum(figures[base])
                        if sum(figures[base]) else float("nan"))
                add_check_cost(res, figures, base, scenario, cores)
            added_pairs = [("off-c1", a[1]) for a in ADDED]
            for (added, _, floor_name, _), figures in zip(
                    ADDED, measure_pairs(added_pairs, c1, rnd)):
                scenario = [n for n in figures if n != "off-c1"][0]
                for pct in ("p50", "p99"):
                    res.add(added, pct,
                            figures[scenario][pct] - figures["off-c1"][pct])
            for name in [f[0] for f in FLOORS][::1 if rnd % 2 == 0 else -1]:
                floor(name)
        # Memory does not drift with the machine's speed: five rounds give
        # its median. They come after the other figures, whose rounds would
        # otherwise each start while 64 MiB bodies are still being written
        # back to disk.
        for _ in range(5):
            for name, server, _ in MEMORY:
                time_left()
                r = measure_memory(by_port[servers[server]], memory_body)
                res.add(name, "peak_kib", r["peak_kib"])
                res.add(name, "idle_kib", r["idle_kib"])
        for server in apaches:
            if server.proc.poll() is not None:
                raise Abort("an apache2 died during the run:\n"
                            + server.all_logs())
            log_text = server.log_since(0)
            for text in ("Segmentation fault", "exit signal"):
                if text in log_text:
                    raise Abort("apache2 crashed:\n" + server.all_logs())
            # A check that failed was served unscreened, which would flatter
            # the screened figures.
            info["check_errors"] += log_text.count("Vornex API error")
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stop_all(apaches, others, work)
        os.sched_setaffinity(0, own_cpus)
        signal.signal(signal.SIGINT, stop_on_signal)
        signal.signal(signal.SIGTERM, stop_on_signal)
    info["load_end"] = loadavg()
    info["wall"] = time.monotonic() - started
    return res, info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true",
                        help="short figures, for a smoke run (about two "
                        "minutes)")
    parser.add_argument("--rounds", type=int, default=None,
                        help="rounds of every scenario, at least 5 "
                        "(default 5 with --quick, else 15)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs of the whole table; with more than one, "
                        "also the median of the runs' figures and how many "
                        "runs held each target")
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--nice", type=int, default=0,
                        help="scheduling niceness of the run and of every "
                        "server it starts (below 0 needs root): keeps other "
                        "work on the machine from skewing the figures")
    parser.add_argument("--no-pin", dest="pin", action="store_false",
                        help="let the scheduler place servers and clients "
                        "(by default the servers share the first half of the "
                        "CPUs and the clients the rest)")
    parser.add_argument("--check-table", action="store_true",
                        help="fail unless table and CSV have every scenario")
    parser.add_argument("--only", choices=("throughput", "counts"),
                        help="only the throughput, latency and memory "
                        "figures, or only the counts per request (system "
                        "calls and callgrind's instructions)")
    parser.add_argument("--module", help="the mod_vornex.so to measure "
                        "(default: the build's), to compare two builds")
    parser.add_argument("--requests", type=int, default=None,
                        help="requests counted per scenario by strace and "
                        "callgrind, after a quarter as many more (default "
                        "200, 40 with --quick)")
    args = parser.parse_args()
    if args.rounds is not None and args.rounds < 5:
        parser.error("--rounds must be at least 5")
    if not 1 <= args.repeat <= 10:
        parser.error("--repeat must be from 1 to 10")

    build = os.path.abspath(args.build)
    module = os.path.abspath(args.module or
                             os.path.join(build, "mod_vornex.so"))
    check_tool = os.path.join(build, "tools", "check-server",
                              "vornex-check-server")
    floor_tool = os.path.join(build, "bench", "vornex-bench-floor")
    needed = [module, check_tool, NGINX, APACHE]
    if args.only != "counts":
        needed += [floor_tool, WRK]
    if args.only != "throughput":
        needed += [STRACE, VALGRIND]
    for path in needed:
        if not os.path.exists(path):
            sys.exit("bench: %s is missing (build first: make build)" % path)

    if args.quick:
        timing = (1, 1, 1, 300)
    else:
        timing = (1, 2, 2, 1000)
    if args.rounds is None:
        args.rounds = 5 if args.quick else 15
    # Per run: the figures themselves, plus start-up, warm-up and memory.
    seconds, _, c1_seconds, _ = timing
    pairs = len(ratio_pair_list())
    per_round = 4 * pairs * seconds + 2 * len(ADDED) * c1_seconds + 4
    budget = 2 * per_round * args.rounds + 300
    if args.nice:
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)

    abort_on_signals()

    out_dir = os.path.join(build, "bench")
    os.makedirs(out_dir, exist_ok=True)
    stem = "quick" if args.quick else "full"
    if args.only != "throughput":
        requests = args.requests or (40 if args.quick else 200)
        try:
            res, info = run_counts((module, check_tool, floor_tool),
                                   requests, max(10, requests // 4))
        except Abort as e:
            log(str(e))
            return 1
        text = counts_table(res, info)
        path = os.path.join(out_dir, "bench-%s-counts.md"
                            % ("quick" if args.quick else "full"))
        with open(path, "w") as f:
            f.write(text)
        sys.stdout.write(text)
        log("wrote %s" % path)
        if args.check_table:
            problems = check_counts(text)
            for p in problems:
                log("check: " + p)
            if problems:
                return 1
            log("check: the counts table has every scenario")
        if args.only == "counts":
            return 0
        sys.stdout.write("\n")
    runs = []
    text = csv_path = None
    for number in range(1, args.repeat + 1):
        if args.repeat > 1:
            log("run %d of %d" % (number, args.repeat))
        try:
            res, info = run_once(args, (module, check_tool, floor_tool),
                                 timing, time.monotonic() + budget)
        except Abort as e:
            log(str(e))
            return 1
        runs.append(res)
        text = table(res, info)
        suffix = "-%d" % number if args.repeat > 1 else ""
        csv_path = os.path.join(out_dir, "bench-%s%s.csv" % (stem, suffix))
        write_csv(csv_path, res)
        with open(os.path.join(out_dir, "bench-%s%s.md" % (stem, suffix)),
                  "w") as f:
            f.write(text)
        if args.repeat > 1:
            sys.stdout.write("\n## Run %d of %d\n\n" % (number, args.repeat))
        sys.stdout.write(text)
        log("wrote %s" % csv_path)
        if args.check_table:
            problems = check_outputs(text, csv_path, len(targets(res)))
            for p in problems:
                log("check: " + p)
            if problems:
                return 1
            log("check: table and CSV have every scenario")
    if args.repeat > 1:
        summary_text = repeat_table(runs)
        with open(os.path.join(out_dir, "bench-%s-repeat.md" % stem),
                  "w") as f:
            f.write(summary_text)
        sys.stdout.write("\n## Targets over %d runs\n\n" % args.repeat)
        sys.stdout.write(summary_text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
