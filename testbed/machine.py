"""The machine a benchmark runs on: what it is, its load, which CPUs the
servers and the clients get, and the make command that started the run; and
how a benchmark reports progress and is stopped."""

import contextlib
import os
import platform
import signal
import sys


class Abort(Exception):
    """Ends a benchmark run with a message, after its servers are stopped."""


def logger(name):
    """A function that writes "NAME: message" lines to standard error."""
    def log(msg):
        sys.stderr.write("%s: %s\n" % (name, msg))
        sys.stderr.flush()
    return log


def stop_on_signal(signum, frame):
    raise Abort("stopped by signal %d" % signum)


def abort_on_signals():
    """SIGTERM, SIGINT and SIGHUP raise Abort, so that a run stopped from
    outside still stops what it started."""
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)


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


def cpu_split(pin):
    """(servers' CPUs, client's CPUs): the first half of the CPUs this run
    may use for everything it measures, the rest for the clients. On two
    cores, placement otherwise changes from one figure to the next: a wrk
    thread and the workers it talks to land on one core or on two, and the
    figure moves by a tenth. None when not pinning or on one CPU."""
    cpus = sorted(os.sched_getaffinity(0))
    if not pin or len(cpus) < 2:
        return None
    half = len(cpus) // 2
    return set(cpus[:half]), set(cpus[half:])


@contextlib.contextmanager
def on_cpus(cpus):
    """Runs the block, and every process it starts, on `cpus`; None leaves
    the placement as it is."""
    own = os.sched_getaffinity(0)
    if cpus:
        os.sched_setaffinity(0, cpus)
    try:
        yield
    finally:
        os.sched_setaffinity(0, own)


def cpu_names(cpus):
    return ",".join(str(c) for c in sorted(cpus))


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def make_command(target, argv):
    """The make command line (`make TARGET ARGS=...`) that passes these
    arguments, less --build."""
    extra, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg == "--build":
            skip = True
        elif not arg.startswith("--build="):
            extra.append(arg)
    return "make " + target + (" ARGS='%s'" % " ".join(extra) if extra else "")
