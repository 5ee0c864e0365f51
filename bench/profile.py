#!/usr/bin/python3
"""A perf profile of one event worker of the bench's `screened-keepalive`
server (VornexKeepAlive On; `--new-connections`: `screened`, a new
connection per check) while wrk loads it: the top entries by own samples,
and the module's own entries.

  profile.py --build BUILD [--module SO] [--seconds N] [--top N]
             [--new-connections]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import bench  # noqa: E402

PERF = "/usr/bin/perf"


def share(entries, text):
    """The percentage of samples in the entries that hold `text`."""
    return sum(float(e.split("%")[0]) for e in entries if text in e)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--module", help="the mod_vornex.so to profile "
                        "(default: the build's)")
    parser.add_argument("--seconds", type=int, default=8)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--new-connections", action="store_true")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    module = os.path.abspath(args.module or
                             os.path.join(build, "mod_vornex.so"))
    check_tool = os.path.join(build, "tools", "check-server",
                              "vornex-check-server")
    split = bench.cpu_split(True)
    server_cpus, client_cpus = split or (None, None)
    work = tempfile.mkdtemp(prefix="vornex-profile-")
    rules = os.path.join(work, "bench.rules")
    with open(rules, "w") as f:
        f.write(bench.RULES)
    data = os.path.join(work, "perf.data")
    with bench.on_cpus(client_cpus):
        check = bench.StandInCheckServer(check_tool, bench.free_port(), rules,
                                         os.devnull, threads=16)
        check.start()
    server = None
    try:
        with bench.on_cpus(server_cpus):
            server = bench.start_apache(
                module, (check.port, None),
                "on" if args.new_connections else "on-keepalive", (1, 32))
        pid = bench.worker_pid(server)
        with bench.on_cpus(client_cpus):
            wrk = subprocess.Popen(
                [bench.WRK, "-t1", "-c16", "-d%ds" % (args.seconds + 4),
                 "http://%s:%d/index.html" % (bench.LOOPBACK, server.port)],
                stdout=subprocess.DEVNULL, start_new_session=True)
        time.sleep(2)
        subprocess.run([PERF, "record", "-q", "-g", "-F", "2000", "-o", data,
                        "-p", str(pid), "--", "sleep", str(args.seconds)],
                       check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wrk.wait(args.seconds + 60)
        report = subprocess.run(
            [PERF, "report", "-i", data, "--stdio", "--no-children",
             "--sort", "dso,symbol", "-g", "none", "--percent-limit",
             "0.02"],
            check=True, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL).stdout.decode(errors="replace")
        entries = [" ".join(line.split()).rstrip(" -")
                   for line in report.splitlines()
                   if line.strip() and not line.startswith("#")]
        user = [e for e in entries if "[k]" not in e]
        print("Top %d entries by own samples:" % args.top)
        print("\n".join(entries[:args.top]))
        print("\nTop %d user-space entries:" % args.top)
        print("\n".join(user[:args.top]))
        print("\nThe module's own entries:")
        print("\n".join(e for e in entries if "mod_vornex" in e) or "(none)")
        print("\nIn all: kernel %.1f %%, user space %.1f %%, of which the "
              "module's file %.1f %%, the HTTP library %.1f %%, the C++ "
              "runtime %.1f %%, the C library %.1f %%" % (
                  share(entries, "[k]"), share(user, ""),
                  share(entries, "mod_vornex"), share(entries, "httplib"),
                  share(entries, "libstdc++"), share(entries, "libc.so")))
    finally:
        if server:
            server.cleanup()
        check.stop()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    sys.exit(main())
