#!/usr/bin/python3
"""What a site screened by mod_vornex does while its check service fails.

For each configuration of the module and each fault, starts on loopback: two
stand-in check services, the primary and the secondary server; Apache with
the event MPM and Debian's default settings (read from
/etc/apache2/mods-available/mpm_event.conf, and the keep-alive lines of
/etc/apache2/apache2.conf), with a screened virtual host and one without
screening; and vornex-bench-load, 200 clients on the screened host and 10 on
the other, each sending GETs back to back on a kept connection. After a
warm-up and BEFORE seconds, both stand-ins show the fault for FAULT seconds
(the check service fails as a whole); the run goes on AFTER seconds more.

Configurations: `defaults` (no Vornex directive but the servers and
VornexCheck), `packaged` (the active lines of packaging/debian/vornex.conf,
as Debian includes them, at server level), or NAME=DIRECTIVE;DIRECTIVE...
Faults: `silent` (checks read, never answered), `refuse` (connections
reset), `delay` (every answer 2 s late).

Prints, and writes under BUILD/bench/, a markdown report (a summary, the
targets and per-second tables), a CSV of the per-second figures and one PNG
per configuration: throughput and p99 over time for both hosts, the fault
shaded. Figures are not judged here; the report says which targets held.

  brownout.py --build BUILD [--quick] [--fault F]... [--config C]...
              [--check-outputs]
"""

import argparse
import bisect
import csv
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
sys.dont_write_bytecode = True
from testbed import apache, machine, net, process, standin  # noqa: E402
from testbed.build import SOURCE  # noqa: E402
from testbed.client import request  # noqa: E402

MPM_CONF = "/etc/apache2/mods-available/mpm_event.conf"
APACHE_CONF = "/etc/apache2/apache2.conf"
KEEP_ALIVE_DIRECTIVES = ("KeepAlive", "MaxKeepAliveRequests",
                         "KeepAliveTimeout")
PACKAGED_CONF = os.path.join(SOURCE, "packaging", "debian", "vornex.conf")
GNUPLOT = "/usr/bin/gnuplot"

HOSTS = (("screened", 200), ("unscreened", 10))
PAGE = b"<!doctype html><title>brownout</title><p>%s</p>\n" % (b"x" * 54)
# Every check passes with a header for the client, so that a request the
# service checked can be told from one served unscreened while the module
# fails open; one path is blocked, which shows that screening is in force on
# one host and not on the other.
MARK = "X-Brownout-Checked"
RULES = """rule brownout-block
  target ^/brownout-blocked
  verdict block

default
  verdict inject
  set %s yes
""" % MARK
DELAY_MS = 2000
FAULTS = {
    "silent": "silent:0:%g",
    "refuse": "refuse:0:%g",
    "delay": "delay:0:%%g:%d" % DELAY_MS,
}
FAULT_NAMES = {"silent": "silent (checks read, never answered)",
               "refuse": "refuse (connections reset)",
               "delay": "delay (answers %.0f s late)" % (DELAY_MS / 1000)}
# Seconds of each phase: warm-up (not reported), before, fault, after.
TIMING = {"full": (3, 5, 20, 10), "quick": (1, 2, 4, 3)}
# The longest a client waits for one answer.
CAP_SECONDS = 30
# Unset VornexTimeout: each attempt ends within 9 s.
DEFAULT_ATTEMPT_MS = 9000
# A second counts as full throughput at this share of the mean before the
# fault.
FULL = 0.8
KEEPS = 0.8
RECOVERY_LIMIT = 1.0
# Full throughput is judged over a second in quarters.
RECOVERY_SLOT = 0.25


Abort = machine.Abort
log = machine.logger("brownout")


# ---- configuration ------------------------------------------------------

def active_lines(path):
    """The lines of a configuration file that are not comments or blank,
    without an <IfModule> wrapper, each with single spaces."""
    lines = []
    with open(path) as f:
        for line in f:
            text = line.strip()
            if not text or text.startswith("#") or re.match(
                    r"</?IfModule\b", text, re.I):
                continue
            lines.append(" ".join(text.split()))
    return lines


def debian_settings():
    """Debian's event MPM settings and its keep-alive lines."""
    try:
        lines = active_lines(MPM_CONF)
        lines += [line for line in active_lines(APACHE_CONF)
                  if line.split()[0] in KEEP_ALIVE_DIRECTIVES]
    except OSError as e:
        raise Abort("cannot read Debian's settings: %s" % e)
    names = [line.split()[0] for line in lines]
    for wanted in ("ThreadsPerChild", "MaxRequestWorkers") + \
            KEEP_ALIVE_DIRECTIVES:
        if wanted not in names:
            raise Abort("no %s in %s or %s" % (wanted, MPM_CONF, APACHE_CONF))
    return lines


def config_variant(text):
    """(name, Vornex lines) of a --config value."""
    if text == "defaults":
        return "defaults", []
    if text == "packaged":
        return "packaged", active_lines(PACKAGED_CONF)
    name, sep, directives = text.partition("=")
    if not sep or not re.match(r"^[\w.-]+$", name):
        raise argparse.ArgumentTypeError(
            "%r is not defaults, packaged or NAME=DIRECTIVE;..." % text)
    return name, [d.strip() for d in directives.split(";") if d.strip()]


def directive(lines, name):
    """The value of the last line setting `name`, or None."""
    value = None
    for line in lines:
        words = line.split(None, 1)
        if words and words[0].lower() == name.lower():
            value = words[1] if len(words) > 1 else ""
    return value


def attempt_limit_ms(lines):
    value = directive(lines, "VornexTimeout")
    return int(value) if value else DEFAULT_ATTEMPT_MS


def apache_conf(lines, ports, check_ports):
    screened, unscreened = ports
    return "\n".join(lines + [
        "<VirtualHost %s:%d>" % (net.LOOPBACK, screened),
        "  ServerName screened",
        "  VornexPrimaryServer %s:%d" % (net.LOOPBACK, check_ports[0]),
        "  VornexSecondaryServer %s:%d" % (net.LOOPBACK, check_ports[1]),
        "  VornexCheck On",
        "</VirtualHost>",
        "<VirtualHost %s:%d>" % (net.LOOPBACK, unscreened),
        "  ServerName unscreened",
        "  VornexCheck Off",
        "</VirtualHost>",
    ])


# ---- one run ----------------------------------------------------------------

def expect_status(port, path, status, what):
    got = request(port, "GET", path, timeout=20).status
    if got != status:
        raise Abort("%s: GET %s gave %d, expected %d" % (what, path, got,
                                                         status))


def run_one(tools, settings, variant, fault, timing, placement, work):
    """Runs one configuration against one fault; returns the run's records,
    where the fault started on the monotonic clock, and notes: the error
    lines of the module, and the share of a CPU that the load tool and the
    stand-ins took (they share the clients' CPUs)."""
    module, check_tool, load_tool = tools
    name, lines = variant
    warm, before, length, after = timing
    server_cpus, client_cpus = placement
    rules = os.path.join(work, "brownout.rules")
    with open(rules, "w") as f:
        f.write(RULES)
    out = os.path.join(work, "requests-%s-%s.txt" % (name, fault))
    checks, server, load = [], None, None
    try:
        with machine.on_cpus(client_cpus):
            for port in net.free_ports(2):
                check = standin.StandInCheckServer(check_tool, port,
                                                   rules, os.devnull)
                check.start()
                checks.append(check)
        with machine.on_cpus(server_cpus):
            server = apache.Apache(mpm="event", cgi=None, module=module,
                                   measured=settings, ports=2,
                                   prefix="vornex-brownout-")
            server.write("htdocs/index.html", PAGE)
            server.configure(apache_conf(lines, server.ports,
                                         [c.port for c in checks]))
            server.start()
        screened, unscreened = server.ports
        expect_status(screened, "/brownout-blocked", 403, "screened host")
        expect_status(unscreened, "/brownout-blocked", 404, "unscreened host")
        for port, marked in zip(server.ports, (True, False)):
            answer = request(port, "GET", "/index.html", timeout=20)
            if answer.status != 200 or (answer.header(MARK) is None) == \
                    marked:
                raise Abort("GET /index.html on %d gave %d, %s %s"
                            % (port, answer.status, MARK, answer.header(MARK)))
        mark = server.log_mark()

        total = warm + before + length + after
        cmd = [load_tool, "--seconds", str(total), "--cap", str(CAP_SECONDS),
               "--out", out, "--mark", MARK]
        for (host, clients), port in zip(HOSTS, server.ports):
            cmd += ["--group", "%s=%d@%s:%d/index.html"
                    % (host, clients, net.LOOPBACK, port)]
        with machine.on_cpus(client_cpus):
            load = subprocess.Popen(
                cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=process.die_with_parent)
        first = load.stdout.readline().decode(errors="replace")
        m = re.match(r"start_us=(\d+)$", first.strip())
        if not m:
            raise Abort("vornex-bench-load said %r" % first)
        started = int(m.group(1)) / 1e6
        time.sleep(max(0.0, started + warm + before - time.monotonic()))
        fault_start = time.monotonic()
        for check in checks:
            answer = request(check.port, "POST", "/control/fault",
                             body=(FAULTS[fault] % length).encode(),
                             timeout=10)
            if answer.status != 200:
                raise Abort("stand-in refused the fault: %d %r"
                            % (answer.status, answer.body))
        log("%s, %s: fault set in %.1f ms" % (
            name, fault, (time.monotonic() - fault_start) * 1000))
        try:
            rest, _ = load.communicate(timeout=total + CAP_SECONDS + 60)
        except subprocess.TimeoutExpired:
            raise Abort("vornex-bench-load did not finish")
        if load.returncode != 0:
            raise Abort("vornex-bench-load failed:\n%s"
                        % rest.decode(errors="replace"))
        m = re.search(r"^cpu_us=(\d+)$", rest.decode(errors="replace"), re.M)
        notes = {"load_cpu": int(m.group(1)) / 1e6 / total if m else None,
                 "standin_cpu": sum(process.cpu_seconds(c.proc.pid) or 0
                                    for c in checks) / total}
        if server.proc.poll() is not None:
            raise Abort("apache2 died during the run:\n" + server.all_logs())
        log_text = server.log_since(mark)
        for text in ("Segmentation fault", "exit signal"):
            if text in log_text:
                raise Abort("apache2 crashed:\n" + server.all_logs())
        notes["module_errors"] = len(re.findall(
            r"\[vornex:(?:error|warn)\]", log_text))
        records = read_records(out)
    finally:
        if load is not None and load.poll() is None:
            process.stop_process(load, 10)
        if server is not None:
            server.cleanup()
        for check in checks:
            check.stop()
    return records, fault_start, notes


def read_records(path):
    """{host: [(start, end, status, checked)]}, times in seconds on the
    monotonic clock."""
    records = {host: [] for host, _ in HOSTS}
    with open(path) as f:
        for line in f:
            host, start, end, status, marked = line.split()
            records[host].append((int(start) / 1e6, int(end) / 1e6,
                                  int(status), marked == "1"))
    return records


# ---- figures --------------------------------------------------------------

def percentile(ordered, fraction):
    if not ordered:
        return None
    rank = int(fraction * (len(ordered) - 1) + 0.5)
    return ordered[min(rank, len(ordered) - 1)]


def served(status):
    return 200 <= status < 400


def per_second(requests, zero, seconds):
    """Per second from `zero`: requests served (2xx, 3xx), those of them
    the service checked, others (an error status, or no answer), and the
    p50, p99 and worst latency in ms of the requests answered in that
    second, whatever their status."""
    bins = [{"ok": 0, "checked": 0, "other": 0, "latencies": []}
            for _ in range(seconds)]
    for start, end, status, checked in requests:
        k = int((end - zero) // 1)
        if not 0 <= k < seconds:
            continue
        b = bins[k]
        b["ok" if served(status) else "other"] += 1
        if served(status) and checked:
            b["checked"] += 1
        if status > 0:
            b["latencies"].append((end - start) * 1000)
    for b in bins:
        ordered = sorted(b.pop("latencies"))
        b["p50"] = percentile(ordered, 0.50)
        b["p99"] = percentile(ordered, 0.99)
        b["worst"] = ordered[-1] if ordered else None
    return bins


def recovery_seconds(requests, fault_end, rate, after):
    """Seconds from the service's return to the start of the first quarter
    second from which four in a row (a whole second) each served at least a
    quarter of `rate` requests that the service checked; None if none
    within the run. Quarters keep a gradual return from counting as full
    before it is."""
    ends = sorted(end for _, end, status, checked in requests
                  if served(status) and checked)
    slots = int(round(after / RECOVERY_SLOT))
    counts = [bisect.bisect_left(ends, fault_end + (i + 1) * RECOVERY_SLOT) -
              bisect.bisect_left(ends, fault_end + i * RECOVERY_SLOT)
              for i in range(slots)]
    run = int(round(1 / RECOVERY_SLOT))
    for i in range(slots - run + 1):
        if all(c >= rate * RECOVERY_SLOT for c in counts[i:i + run]):
            return i * RECOVERY_SLOT
    return None


def analyse(records, fault_start, timing, lines):
    """Per-second figures of both hosts and the three targets."""
    _, before, length, after = timing
    zero = fault_start - before
    seconds = before + length + after
    bins = {host: per_second(records[host], zero, seconds)
            for host, _ in HOSTS}
    pre = {host: sum(b["ok"] for b in bins[host][:before]) / before
           for host, _ in HOSTS}
    pre_checked = sum(b["checked"] for b in bins["screened"][:before]) / before
    # The unscreened host: its worst second from the fault's start to the
    # end, against its mean before.
    ratios = [(bins["unscreened"][k]["ok"] / pre["unscreened"]
               if pre["unscreened"] else 0.0, k)
              for k in range(before, seconds)]
    keeps, keeps_second = min(ratios)
    # The longest any screened request waited, answered or not.
    worst_ms = max(((end - start) * 1000 for start, end, _, _ in
                    records["screened"] if end >= zero), default=0.0)
    limit_ms = 2 * attempt_limit_ms(lines) + 100
    recovery = recovery_seconds(records["screened"], fault_start + length,
                                FULL * pre_checked, after)
    return {
        "bins": bins, "pre": pre, "seconds": seconds,
        "keeps": keeps, "keeps_second": keeps_second,
        "worst_ms": worst_ms, "limit_ms": limit_ms,
        "recovery": recovery,
        "targets": [
            ("unscreened host keeps ≥ %.1f of its throughput every second"
             % KEEPS, "%.2f (second %d)" % (keeps, keeps_second),
             keeps >= KEEPS),
            ("no screened request waits over 2 × time limit + 100 ms "
             "(%.0f ms)" % limit_ms, "%.0f ms" % worst_ms,
             worst_ms <= limit_ms),
            ("full checked throughput of the screened host (≥ %.1f × "
             "before) within %.0f s of the service's return"
             % (FULL, RECOVERY_LIMIT),
             "%.1f s" % recovery if recovery is not None else
             "not within %d s" % after,
             recovery is not None and recovery <= RECOVERY_LIMIT),
        ],
    }


def phase(k, before, length):
    if k < before:
        return "before"
    return "fault" if k < before + length else "after"


def ms(value):
    return "-" if value is None else "%.1f" % value


# ---- output -----------------------------------------------------------------

def summary_rows(name, fault, result, timing):
    """Per host and phase: mean and lowest served req/s, the mean of those
    the service checked (screened host), requests not served, highest p99,
    and the worst latency."""
    _, before, length, _ = timing
    rows = []
    for host, _ in HOSTS:
        for ph in ("before", "fault", "after"):
            bins = [b for k, b in enumerate(result["bins"][host])
                    if phase(k, before, length) == ph]
            oks = [b["ok"] for b in bins]
            p99s = [b["p99"] for b in bins if b["p99"] is not None]
            worsts = [b["worst"] for b in bins if b["worst"] is not None]
            checked = ("%.0f" % (sum(b["checked"] for b in bins) / len(bins))
                       if host == "screened" else "-")
            rows.append("| %s | %s | %s | %s | %.0f | %d | %s | %d | %s | %s |"
                        % (name, fault, host, ph, sum(oks) / len(oks),
                           min(oks), checked, sum(b["other"] for b in bins),
                           ms(max(p99s) if p99s else None),
                           ms(max(worsts) if worsts else None)))
    return rows


def report(runs, info, timing):
    """The markdown report: summary, targets, then per-second tables."""
    _, before, length, after = timing
    out = ["| config | fault | host | phase | mean req/s | lowest req/s | "
           "checked req/s | not served | highest p99 ms | worst ms |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for (name, fault), result in runs.items():
        out += summary_rows(name, fault, result, timing)
    out += ["", "| config | fault | target | figure | holds |",
            "|---|---|---|---|---|"]
    for (name, fault), result in runs.items():
        for what, figure, holds in result["targets"]:
            out.append("| %s | %s | %s | %s | %s |" % (
                name, fault, what, figure, "yes" if holds else "**no**"))
    out += ["", "| config | fault | load tool, share of a CPU | stand-ins, "
            "share of a CPU | module error lines |", "|---|---|---|---|---|"]
    for (name, fault), result in runs.items():
        notes = result["notes"]
        out.append("| %s | %s | %s | %.2f | %d |" % (
            name, fault, "-" if notes["load_cpu"] is None
            else "%.2f" % notes["load_cpu"], notes["standin_cpu"],
            notes["module_errors"]))
    out += ["", "Configurations: " + "; ".join(
        "`%s`: %s" % (name, ", ".join("`%s`" % line for line in lines)
                      or "no Vornex directive but the servers and "
                      "`VornexCheck`")
        for name, lines in info["variants"]) + ".",
        "", "Machine: %(nproc)s cores, %(cpu)s, kernel %(kernel)s, Debian "
        "%(debian)s. " % info["machine"] +
        "Run %(date)s; Apache: %(settings)s; %(placement)s; load average "
        "%(load_start)s at start, %(load_end)s at end; wall time "
        "%(wall).0f s. Command: `%(command)s`." % info]
    for (name, fault), result in runs.items():
        out += ["", "<details><summary>%s, %s: per second (fault from %d s "
                "to %d s)</summary>" % (name, FAULT_NAMES[fault], before,
                                        before + length), "",
                "| s | phase | screened req/s | checked | not served | "
                "p50 ms | p99 ms | worst ms | unscreened req/s | not served "
                "| p50 ms | p99 ms | worst ms |",
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for k in range(result["seconds"]):
            cells = [str(k), phase(k, before, length)]
            for host, _ in HOSTS:
                b = result["bins"][host][k]
                cells += [str(b["ok"])]
                if host == "screened":
                    cells.append(str(b["checked"]))
                cells += [str(b["other"]), ms(b["p50"]), ms(b["p99"]),
                          ms(b["worst"])]
            out.append("| " + " | ".join(cells) + " |")
        out += ["", "</details>"]
    return "\n".join(out) + "\n"


def write_csv(path, runs, timing):
    _, before, length, _ = timing
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["config", "fault", "second", "phase", "host", "served",
                    "checked", "not_served", "p50_ms", "p99_ms", "worst_ms"])
        for (name, fault), result in runs.items():
            for host, _ in HOSTS:
                for k, b in enumerate(result["bins"][host]):
                    w.writerow([name, fault, k, phase(k, before, length),
                                host, b["ok"], b["checked"], b["other"],
                                ms(b["p50"]),
                                ms(b["p99"]), ms(b["worst"])])


def plot(path, name, runs, timing, work):
    """One PNG for a configuration: throughput (top) and p99 (bottom, log
    scale) of both hosts over time, one column per fault, the fault
    shaded."""
    _, before, length, after = timing
    faults = [fault for (config, fault) in runs if config == name]
    seconds = before + length + after
    script = ['set terminal pngcairo noenhanced size %d,720 font "sans,10"'
              % (480 * len(faults) + 60),
              'set output "%s"' % path,
              "set key top right opaque box",
              "set grid",
              'set xlabel "s"',
              "set xrange [0:%d]" % seconds,
              "set object 1 rect from %d, graph 0 to %d, graph 1 "
              'fc rgb "#e4e4e4" fs solid noborder behind'
              % (before, before + length),
              'set multiplot layout 2,%d title "mod_vornex brownout: %s"'
              % (len(faults), name)]
    data = {}
    for fault in faults:
        data[fault] = os.path.join(work, "plot-%s-%s.dat" % (name, fault))
        with open(data[fault], "w") as f:
            f.write(step_outlines(runs[(name, fault)]))
    for fault in faults:
        script += ['set title "%s: served req/s"' % FAULT_NAMES[fault],
                   "unset logscale y", 'set ylabel "req/s"',
                   "set yrange [0:*]",
                   PLOT % (data[fault], 0, 1) + CHECKED % data[fault]]
    for fault in faults:
        script += ['set title "%s: p99 latency"' % FAULT_NAMES[fault],
                   "set logscale y", 'set ylabel "ms"', "set yrange [*:*]",
                   PLOT % (data[fault], 2, 3)]
    script.append("unset multiplot")
    done = subprocess.run([GNUPLOT], input="\n".join(script).encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=60)
    if done.returncode != 0:
        raise Abort("gnuplot failed:\n" + done.stdout.decode(errors="replace"))


PLOT = ('plot "%s" index %d with lines lw 2 lc 1 title "screened", '
        '"" index %d with lines lw 2 lc 2 title "unscreened"')
CHECKED = (', "%s" index 4 with lines lw 1.5 lc rgb "black" dt 2 '
           'title "screened, checked"')


def step_outlines(result):
    """Gnuplot data blocks: the served requests of each host, the p99 of
    each, then the checked requests of the screened host; second k is drawn
    flat over [k, k + 1), and a second in which no request was answered
    leaves a gap in the p99 line."""
    series = [(key, host) for key in ("ok", "p99") for host, _ in HOSTS]
    series.append(("checked", "screened"))
    blocks = []
    for key, host in series:
        lines = []
        for k, b in enumerate(result["bins"][host]):
            if b[key] is not None:
                lines += ["%d %g" % (k, b[key]), "%d %g" % (k + 1, b[key])]
            elif lines and lines[-1]:
                lines.append("")
        while lines and not lines[-1]:
            lines.pop()
        # One blank line breaks a line; two would end the block.
        blocks.append("\n".join(lines) or "NaN NaN")
    return "\n\n\n".join(blocks) + "\n"


def check_outputs(text, csv_path, pngs, runs, timing):
    """The smoke check: a summary row for every run, host and phase, three
    targets a run, every second in the CSV, and PNG files. Figures are not
    judged."""
    _, before, length, after = timing
    problems = []
    for name, fault in runs:
        for host, _ in HOSTS:
            for ph in ("before", "fault", "after"):
                if "| %s | %s | %s | %s |" % (name, fault, host, ph) \
                        not in text:
                    problems.append("no summary row %s %s %s %s"
                                    % (name, fault, host, ph))
        targets = len(re.findall(
            r"^\| %s \| %s \| .* \| (?:yes|\*\*no\*\*) \|$"
            % (re.escape(name), fault), text, re.M))
        if targets != 3:
            problems.append("%d targets for %s %s" % (targets, name, fault))
    with open(csv_path, newline="") as f:
        rows = list(csv.reader(f))[1:]
    wanted = len(runs) * len(HOSTS) * (before + length + after)
    if len(rows) != wanted:
        problems.append("CSV has %d rows, not %d" % (len(rows), wanted))
    for png in pngs:
        with open(png, "rb") as f:
            if f.read(8) != b"\x89PNG\r\n\x1a\n":
                problems.append("%s is no PNG" % png)
    return problems


# ---- main -------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true",
                        help="short phases (%s s), for a smoke run"
                        % "/".join(str(s) for s in TIMING["quick"]))
    parser.add_argument("--fault", action="append", choices=sorted(FAULTS),
                        help="a fault to run (default: all three)")
    parser.add_argument("--config", action="append", type=config_variant,
                        help="defaults, packaged or NAME=DIRECTIVE;... "
                        "(default: defaults and packaged)")
    parser.add_argument("--no-pin", dest="pin", action="store_false",
                        help="let the scheduler place servers and clients")
    parser.add_argument("--check-outputs", action="store_true",
                        help="fail unless the report, CSV and plots cover "
                        "every run")
    args = parser.parse_args()
    faults = args.fault or ["silent", "refuse", "delay"]
    variants = args.config or [config_variant("defaults"),
                               config_variant("packaged")]
    if len({name for name, _ in variants}) != len(variants):
        parser.error("two configurations have the same name")
    stem = "quick" if args.quick else "full"
    timing = TIMING[stem]

    build = os.path.abspath(args.build)
    module = os.path.join(build, "mod_vornex.so")
    load_tool = os.path.join(build, "bench", "vornex-bench-load")
    tools = (module, standin.binary(build), load_tool)
    for path in tools + (apache.APACHE, GNUPLOT):
        if not os.path.exists(path):
            sys.exit("brownout: %s is missing (make build installs and "
                     "builds it)" % path)
    machine.abort_on_signals()

    out_dir = os.path.join(build, "bench")
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="vornex-brownout-")
    split = machine.cpu_split(args.pin)
    placement = split or (None, None)
    started = time.monotonic()
    info = {"machine": machine.machine(),
            "load_start": machine.loadavg(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime(
                "%Y-%m-%d %H:%M UTC"),
            "variants": variants,
            "placement": ("Apache on CPU %s, the clients and the stand-ins on "
                          "CPU %s" % tuple(machine.cpu_names(cpus)
                                           for cpus in split)
                          if split else "not pinned"),
            "command": machine.make_command("brownout", sys.argv[1:])}
    runs = {}
    try:
        settings = debian_settings()
        info["settings"] = ", ".join("`%s`" % line for line in settings)
        for variant in variants:
            for fault in faults:
                log("%s, %s (load %s)"
                    % (variant[0], fault, machine.loadavg()))
                records, fault_start, notes = run_one(
                    tools, settings, variant, fault, timing, placement, work)
                result = analyse(records, fault_start, timing, variant[1])
                result["notes"] = notes
                runs[(variant[0], fault)] = result
        info["load_end"] = machine.loadavg()
        info["wall"] = time.monotonic() - started
        text = report(runs, info, timing)
        md_path = os.path.join(out_dir, "brownout-%s.md" % stem)
        with open(md_path, "w") as f:
            f.write(text)
        csv_path = os.path.join(out_dir, "brownout-%s.csv" % stem)
        write_csv(csv_path, runs, timing)
        pngs = []
        for name, _ in variants:
            png = os.path.join(out_dir, "brownout-%s-%s.png" % (stem, name))
            plot(png, name, runs, timing, work)
            pngs.append(png)
    except Abort as e:
        log(str(e))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.stdout.write(text)
    log("wrote %s, %s and %s" % (md_path, csv_path, ", ".join(pngs)))
    if args.check_outputs:
        problems = check_outputs(text, csv_path, pngs, runs, timing)
        for p in problems:
            log("check: " + p)
        if problems:
            return 1
        log("check: report, CSV and plots cover every run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
