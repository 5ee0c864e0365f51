"""Processes the test bed starts and watches: stopping them, tying them to
the process that started them, and what /proc tells about them (status,
descriptors, children, an Apache parent's worker processes)."""

import ctypes
import os
import signal
import subprocess
import time


def die_with_parent():
    """Runs in the child before exec: the kernel sends SIGTERM to the child
    if the process that started it dies without stopping it (a test killed
    by a time-out, say)."""
    try:
        pr_set_pdeathsig = 1
        ctypes.CDLL(None).prctl(pr_set_pdeathsig, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


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


def cpu_seconds(pid):
    """User and system CPU time a process (all its threads) has used so far,
    in seconds, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # utime and stime are the 14th and 15th fields, counted from the pid.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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


def sole_worker(parent, wait=20.0):
    """The pid of an Apache parent's worker process once it has exactly
    one, waiting up to `wait` seconds for that; raises AssertionError with
    the pids seen otherwise."""
    deadline = time.monotonic() + wait
    while True:
        pids = list(worker_pids(parent))
        if len(pids) == 1:
            return pids[0]
        if time.monotonic() > deadline:
            raise AssertionError("not one worker process: %r" % pids)
        time.sleep(0.1)
