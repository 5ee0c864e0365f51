#!/usr/bin/python3
"""Throughput, latency and memory of mod_vornex on loopback.

Starts everything it measures itself, on free loopback ports: the stand-in
check service, Apache (event MPM) without the module, with it screening and
with it switched off, nginx plain and with auth_request to the same stand-in,
and a one-child Apache for the memory figures. Every scenario is measured in
the same run, round after round (A B C ... A B C ...), so that a ratio holds
while the machine's speed drifts; each figure is the median of the rounds.

Prints a markdown table on standard output and writes it, with a CSV of
every sample, under BUILD/bench/.

  bench.py --build BUILD [--quick] [--rounds N] [--check-table]
"""

import argparse
import csv
import datetime
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
sys.dont_write_bytecode = True
import harness  # noqa: E402

LOOPBACK = harness.LOOPBACK
NGINX = "/usr/sbin/nginx"
WRK = "/usr/bin/wrk"
MODULE_DIR = harness.MODULE_DIR
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
    ("skip", "on", "/site.css", None, "off",
     "VornexCheck On, URI the built-in pattern skips"),
    ("disabled", "disabled", "/index.html", None, "off",
     "module loaded, VornexCheck Off"),
    ("screened", "on", "/index.html", None, "off",
     "VornexCheck On, check answers pass"),
    ("nginx-plain", "nginx-plain", "/index.html", None, "nginx-plain",
     "nginx, same page"),
    ("nginx-auth", "nginx-auth", "/index.html", None, "nginx-plain",
     "nginx, auth_request to the stand-in, new connection per check"),
    ("off-post", "off", "/cgi-bin/read.cgi", "post", "off-post",
     "module not loaded, POST 16 KiB to a CGI script"),
    ("screened-post", "on", "/cgi-bin/read.cgi", "post", "off-post",
     "screened, POST 16 KiB to a CGI script that reads it all"),
]
LATENCY = [
    ("off-c1", "off", "/index.html", "module not loaded, concurrency 1"),
    ("screened-c1", "on", "/index.html", "screened, concurrency 1"),
]
MEMORY = [
    ("memory-off", "mem-off", "module not loaded, 64 MiB POST to CGI"),
    ("memory", "mem-on", "screened, 64 MiB POST to CGI (body in a file)"),
    ("memory-in-memory", "mem-inmem",
     "screened, VornexBodyInMemoryLimit 0, 64 MiB POST to CGI"),
]
MEMORY_BODY = 64 * MIB

SCENARIOS = ([t[0] for t in THROUGHPUT] + [t[0] for t in LATENCY] +
             ["floor"] + [m[0] for m in MEMORY])


class Abort(Exception):
    pass


def log(msg):
    sys.stderr.write("bench: %s\n" % msg)
    sys.stderr.flush()


def _stop_on_signal(signum, frame):
    raise Abort("stopped by signal %d" % signum)


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


def start_process(cmd, what, port, log_path):
    out = open(log_path, "wb")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True,
                            preexec_fn=harness.die_with_parent)
    out.close()
    wait_port(port, proc, what)
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


def apache_conf(server, module, check_port, mode, workers):
    """Configuration of one benchmark Apache: `mode` is None (module not
    loaded), "on" or "off" (VornexCheck), or "on-inmem" (on, with every
    body kept in memory)."""
    r = server.root
    lines = [
        'ServerRoot "%s"' % r,
        "ServerName %s" % LOOPBACK,
        "Listen %s:%d" % (LOOPBACK, server.port),
        "PidFile %s/run/httpd.pid" % r,
        "DefaultRuntimeDir %s/run" % r,
        "ErrorLog %s" % server.error_log,
        "LogLevel warn",
        "Timeout 60",
        "KeepAlive On",
        "MaxKeepAliveRequests 0",
        "KeepAliveTimeout 30",
    ]
    for m in ("mpm_event", "authz_core", "mime", "alias", "cgid"):
        lines.append("LoadModule %s_module %s/mod_%s.so"
                     % (m, MODULE_DIR, m))
    if mode is not None:
        lines.append("LoadModule vornex_module %s" % module)
    if os.geteuid() == 0:
        lines += ["User www-data", "Group www-data"]
    processes, threads = workers
    lines += [
        # A fixed set of worker processes and threads: no child is started
        # or stopped while a figure is taken.
        "StartServers %d" % processes,
        "ServerLimit %d" % processes,
        "ThreadLimit %d" % threads,
        "ThreadsPerChild %d" % threads,
        "MaxRequestWorkers %d" % (processes * threads),
        "MinSpareThreads 1",
        "MaxSpareThreads %d" % (processes * threads),
        "MaxConnectionsPerChild 0",
        "LimitRequestBody 0",
        "TypesConfig /etc/mime.types",
        'DocumentRoot "%s"' % server.htdocs,
        "<Directory />",
        "  AllowOverride None",
        "  Require all denied",
        "</Directory>",
        '<Directory "%s">' % server.htdocs,
        "  Require all granted",
        "</Directory>",
        'ScriptAlias /cgi-bin/ "%s/"' % server.cgi_bin,
        '<Directory "%s">' % server.cgi_bin,
        "  Require all granted",
        "</Directory>",
        "ScriptSock %s/run/cgid.sock" % r,
    ]
    if mode is not None:
        lines += [
            "VornexPrimaryServer %s:%d" % (LOOPBACK, check_port),
            "VornexSecondaryServer %s:%d" % (LOOPBACK, check_port),
            "VornexCheck %s" % ("Off" if mode == "off" else "On"),
        ]
        if mode == "on-inmem":
            lines.append("VornexBodyInMemoryLimit 0")
    return "\n".join(lines) + "\n"


def start_apache(module, check_port, mode, workers):
    server = harness.Apache(mpm="event", cgi="cgid")
    server.write("htdocs/index.html", PAGE)
    server.write("htdocs/site.css", PAGE)
    server.write("cgi-bin/read.cgi", READ_CGI, mode=0o755)
    server.write("httpd.conf",
                 apache_conf(server, module, check_port, mode, workers))
    server.start()
    return server


def nginx_conf(root, plain_port, auth_port, check_port):
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
}}
""".format(root=root, lo=LOOPBACK, plain=plain_port, auth=auth_port,
           check=check_port)


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
        self.plain_port, self.auth_port = harness.free_ports(2)
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_conf(self.root, self.plain_port, self.auth_port,
                               check_port))
        self.proc = start_process(
            [NGINX, "-p", self.root + "/", "-c", conf,
             "-e", os.path.join(self.root, "error.log")],
            "nginx", self.plain_port, os.path.join(self.root, "console.log"))
        wait_port(self.auth_port, self.proc, "nginx")

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


def run_floor(tool, check_port, count):
    cmd = [tool, "--server", "%s:%d" % (LOOPBACK, check_port),
           "--count", str(count), "--warmup", str(max(10, count // 20))]
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=120)
    out = done.stdout.decode(errors="replace")
    m = re.search(r"p50_us=([\d.]+) p99_us=([\d.]+)", out)
    if done.returncode != 0 or not m:
        raise Abort("floor tool failed: %s%s"
                    % (out, done.stderr.decode(errors="replace")))
    return {"p50": float(m.group(1)), "p99": float(m.group(2))}


def status_kib(pid, field):
    status = harness.proc_status(pid) or {}
    if field not in status:
        raise Abort("no %s for pid %d" % (field, pid))
    return int(status[field].split()[0])


def worker_pid(server):
    """The one worker process of a one-child Apache: the child with more
    than one thread (the CGI daemon has one)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        workers = list(harness.worker_pids(server.proc.pid))
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


# ---- checks that each server does what its scenario says ---------------

def expect_status(port, path, status, what):
    got = harness.request(port, "GET", path, timeout=20).status
    if got != status:
        raise Abort("%s: GET %s gave %d, expected %d" % (what, path, got,
                                                         status))


def sanity(servers):
    on, off, disabled = servers["on"], servers["off"], servers["disabled"]
    expect_status(on, "/bench-blocked", 403, "screening")
    expect_status(on, "/bench-blocked.css", 404, "skip pattern")
    expect_status(disabled, "/bench-blocked", 404, "VornexCheck Off")
    expect_status(off, "/bench-blocked", 404, "module not loaded")
    for name, port in servers.items():
        if name.startswith("mem"):
            continue
        expect_status(port, "/index.html", 200, name)


# ---- the run ---------------------------------------------------------------

def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    except OSError:
        debian = "unknown"
    return {"nproc": os.cpu_count(), "cpu": model,
            "kernel": platform.release(), "debian": debian}


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def make_command(argv):
    """The make command line that passes these arguments."""
    extra, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg == "--build":
            skip = True
        elif not arg.startswith("--build="):
            extra.append(arg)
    return "make bench" + (" ARGS='%s'" % " ".join(extra) if extra else "")


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


def targets(res):
    """(name, figure, limit, holds) of every target, from this run."""
    out = []
    for name, limit in (("skip", 0.97), ("disabled", 0.98)):
        ratio = res.median(name, "ratio")
        out.append(("%s / off req/s" % name, ratio, ">= %.2f" % limit,
                    ratio >= limit))
    module_cost = 1 - res.median("screened", "ratio")
    peer_cost = 1 - res.median("nginx-auth", "ratio")
    out.append(("screened cost 1 - screened/off (nginx: %.3f)" % peer_cost,
                module_cost, "<= %.3f" % peer_cost, module_cost <= peer_cost))
    for pct in ("p50", "p99"):
        added = res.median("added-c1", pct)
        floor = res.median("floor", pct)
        out.append(("added latency %s, us (floor %.0f us)" % (pct, floor),
                    added, "<= %.0f" % (1.2 * floor), added <= 1.2 * floor))
    ratio = res.median("memory", "peak_kib") * 1024 / MEMORY_BODY
    out.append(("memory above idle / 64 MiB body", ratio, "<= 0.25",
                ratio <= 0.25))
    ratio = res.median("memory-in-memory", "peak_kib") * 1024 / MEMORY_BODY
    out.append(("same, every body in memory", ratio, "<= 2.10",
                ratio <= 2.1))
    return out


def table(res, info):
    lines = ["| scenario | what | figure | median | min | max | "
             "median ratio per round (min to max) | errors |",
             "|---|---|---|---|---|---|---|---|"]
    for name, _, _, _, base, what in THROUGHPUT:
        med, lo, hi = summary(res.get(name, "rps"))
        ratios = res.get(name, "ratio")
        lines.append("| %s | %s | req/s | %s | %s | %s | %.3f × %s "
                     "(%.3f to %.3f) | %d |"
                     % (name, what, fmt(med), fmt(lo), fmt(hi),
                        statistics.median(ratios), base, min(ratios),
                        max(ratios), sum(res.get(name, "errors"))))
    for name, _, _, what in LATENCY:
        for pct in ("p50", "p99"):
            med, lo, hi = summary(res.get(name, pct))
            lines.append("| %s | %s | %s µs | %s | %s | %s | | %d |"
                         % (name, what, pct, fmt(med), fmt(lo), fmt(hi),
                            sum(res.get(name, "errors"))))
    for pct in ("p50", "p99"):
        med, lo, hi = summary(res.get("floor", pct))
        lines.append("| floor | bare connect + check POST + answer + close, "
                     "same client library | %s µs | %s | %s | %s | | 0 |"
                     % (pct, fmt(med), fmt(lo), fmt(hi)))
    for pct in ("p50", "p99"):
        med, lo, hi = summary(res.get("added-c1", pct))
        ratio = med / res.median("floor", pct)
        lines.append("| added-c1 | screened-c1 − off-c1, per round | %s µs | "
                     "%s | %s | %s | %.2f × floor | |"
                     % (pct, fmt(med), fmt(lo), fmt(hi), ratio))
    for name, _, what in MEMORY:
        med, lo, hi = summary([k / 1024 for k in res.get(name, "peak_kib")])
        idle = res.median(name, "idle_kib") / 1024
        lines.append("| %s | %s (idle worker %.1f MiB) | peak MiB above idle "
                     "| %.1f | %.1f | %.1f | %.2f × body | |"
                     % (name, what, idle, med, lo, hi,
                        med * MIB / MEMORY_BODY))
    lines += ["", "| target | figure | limit | holds |", "|---|---|---|---|"]
    for name, figure, limit, holds in targets(res):
        lines.append("| %s | %.3f | %s | %s |"
                     % (name, figure, limit, "yes" if holds else "**no**"))
    lines += [
        "",
        "Machine: %(nproc)s cores, %(cpu)s, kernel %(kernel)s, Debian "
        "%(debian)s. " % info["machine"] +
        "Run %(date)s, %(rounds)d rounds, %(seconds)g s per throughput "
        "figure, wrk -t%(threads)d -c%(connections)d, niceness %(nice)d; "
        "load average "
        "%(load_start)s at start, %(load_end)s at end; failed checks "
        "logged %(check_errors)d; wall time %(wall).0f s. "
        "Command: `%(command)s`." % info,
    ]
    return "\n".join(lines) + "\n"


def write_csv(path, res):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["scenario", "metric", "median", "min", "max", "runs",
                    "samples"])
        order = SCENARIOS + ["added-c1"]
        keys = sorted(res.samples, key=lambda k: (order.index(k[0]), k[1]))
        for scenario, metric in keys:
            values = res.samples[(scenario, metric)]
            med, lo, hi = summary(values)
            w.writerow([scenario, metric, "%g" % med, "%g" % lo, "%g" % hi,
                        len(values), ";".join("%g" % v for v in values)])
        for name, figure, limit, holds in targets(res):
            w.writerow(["target", name, "%g" % figure, "", "", "",
                        "%s %s" % (limit, "holds" if holds else "fails")])


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
    for name in SCENARIOS + ["added-c1"]:
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true",
                        help="short figures, for a smoke run (about a minute)")
    parser.add_argument("--rounds", type=int, default=None,
                        help="rounds of every scenario, at least 5 "
                        "(default 5 with --quick, else 15)")
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--nice", type=int, default=0,
                        help="scheduling niceness of the run and of every "
                        "server it starts (below 0 needs root): keeps other "
                        "work on the machine from skewing the figures")
    parser.add_argument("--check-table", action="store_true",
                        help="fail unless table and CSV have every scenario")
    args = parser.parse_args()
    if args.rounds is not None and args.rounds < 5:
        parser.error("--rounds must be at least 5")

    build = os.path.abspath(args.build)
    module = os.path.join(build, "mod_vornex.so")
    check_tool = os.path.join(build, "tools", "check-server",
                              "vornex-check-server")
    floor_tool = os.path.join(build, "bench", "vornex-bench-floor")
    for path in (module, check_tool, floor_tool, WRK, NGINX, harness.APACHE):
        if not os.path.exists(path):
            sys.exit("bench: %s is missing (build first: make build)" % path)

    if args.quick:
        seconds, warmup, c1_seconds, floor_count = 1, 1, 1, 300
        budget = 240
    else:
        seconds, warmup, c1_seconds, floor_count = 3, 2, 2, 1000
        budget = 15 * 60
    if args.rounds is None:
        args.rounds = 5 if args.quick else 15
    if args.nice:
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)
    started = time.monotonic()
    deadline = started + budget

    def time_left():
        if time.monotonic() > deadline:
            raise Abort("over the time budget of %d s" % budget)

    signal.signal(signal.SIGTERM, _stop_on_signal)
    signal.signal(signal.SIGINT, _stop_on_signal)
    signal.signal(signal.SIGHUP, _stop_on_signal)

    work = tempfile.mkdtemp(prefix="vornex-bench-")
    apaches, others = [], []
    info = {"machine": machine(), "load_start": loadavg(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime(
                "%Y-%m-%d %H:%M UTC"),
            "rounds": args.rounds, "seconds": seconds,
            "threads": args.threads, "connections": args.connections,
            "check_errors": 0,
            "nice": os.getpriority(os.PRIO_PROCESS, 0) if args.nice else 0,
            "command": make_command(sys.argv[1:])}
    res = Results()
    try:
        rules = os.path.join(work, "bench.rules")
        with open(rules, "w") as f:
            f.write(RULES)
        post_lua = os.path.join(work, "post.lua")
        with open(post_lua, "w") as f:
            f.write(POST_LUA)
        check_port = harness.free_port()
        others.append(start_process(
            [check_tool, "--listen", "%s:%d" % (LOOPBACK, check_port),
             "--rules", rules, "--threads", "64"],
            "vornex-check-server", check_port, os.devnull))

        log("starting servers")
        servers = {}
        for name, mode, workers in (("off", None, (2, 32)),
                                    ("on", "on", (2, 32)),
                                    ("disabled", "off", (2, 32)),
                                    ("mem-off", None, (1, 4)),
                                    ("mem-on", "on", (1, 4)),
                                    ("mem-inmem", "on-inmem", (1, 4))):
            server = start_apache(module, check_port, mode, workers)
            apaches.append(server)
            servers[name] = server.port
        nginx = Nginx(check_port)
        others.append(nginx)
        servers["nginx-plain"] = nginx.plain_port
        servers["nginx-auth"] = nginx.auth_port
        by_port = {a.port: a for a in apaches}
        sanity(servers)

        for name, server, path, script, _, _ in THROUGHPUT:
            time_left()
            run_wrk(servers[server], path, warmup, args.connections,
                    args.threads, post_lua if script else None)
        memory_body = os.urandom(MEMORY_BODY)
        for _, server, _ in MEMORY:
            measure_memory(by_port[servers[server]], b"w" * 4096)

        steps = ([("rps", t) for t in THROUGHPUT] +
                 [("c1", t) for t in LATENCY] + [("floor", None)])
        for rnd in range(args.rounds):
            log("round %d of %d (load %s)" % (rnd + 1, args.rounds,
                                              loadavg()))
            # Forward in one round, backward in the next (A B C C B A ...):
            # a scenario and its baseline stay neighbours in time, and a
            # steady drift of the machine's speed favours neither.
            rps, c1 = {}, {}
            for kind, step in (steps if rnd % 2 == 0 else steps[::-1]):
                time_left()
                if kind == "rps":
                    name, server, path, script, _, _ = step
                    r = run_wrk(servers[server], path, seconds,
                                args.connections, args.threads,
                                post_lua if script else None)
                    rps[name] = r["rps"]
                    res.add(name, "rps", r["rps"])
                    res.add(name, "errors", r["errors"])
                elif kind == "c1":
                    name, server, path, _ = step
                    r = run_wrk(servers[server], path, c1_seconds, 1, 1,
                                latency=True)
                    c1[name] = r
                    for key in ("p50", "p99", "errors"):
                        res.add(name, key, r[key])
                else:
                    r = run_floor(floor_tool, check_port, floor_count)
                    res.add("floor", "p50", r["p50"])
                    res.add("floor", "p99", r["p99"])
            # Ratios within the round, between neighbours in time.
            for name, _, _, _, base, _ in THROUGHPUT:
                res.add(name, "ratio",
                        rps[name] / rps[base] if rps[base] else float("nan"))
            for pct in ("p50", "p99"):
                res.add("added-c1", pct,
                        c1["screened-c1"][pct] - c1["off-c1"][pct])
            # Memory does not drift with the machine's speed: five rounds
            # give its median.
            if rnd < 5:
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
    except Abort as e:
        log(str(e))
        return 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for server in apaches:
            server.cleanup()
        for other in others:
            if isinstance(other, Nginx):
                other.cleanup()
            else:
                stop_process(other)
        shutil.rmtree(work, ignore_errors=True)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)

    info["load_end"] = loadavg()
    info["wall"] = time.monotonic() - started
    out_dir = os.path.join(build, "bench")
    os.makedirs(out_dir, exist_ok=True)
    stem = "quick" if args.quick else "full"
    text = table(res, info)
    csv_path = os.path.join(out_dir, "bench-%s.csv" % stem)
    write_csv(csv_path, res)
    with open(os.path.join(out_dir, "bench-%s.md" % stem), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    log("wrote %s" % csv_path)
    if args.check_table:
        problems = check_outputs(text, csv_path, len(targets(res)))
        for p in problems:
            log("check: " + p)
        if problems:
            return 1
        log("check: table and CSV have every scenario")
    return 0


if __name__ == "__main__":
    sys.exit(main())
