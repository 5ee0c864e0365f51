"""What keeps a slow or dead check service from taking the site down: the
cap on checks in flight (VornexMaxChecks), under event and prefork; the
marks of failed servers shared by every worker process, with one probe per
period (VornexRetry); and the failure policy (VornexFailureMode) for each
way a verdict can be missing, with its merging, counters and status lines."""

import os
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed.apache import UNDER_VALGRIND  # noqa: E402
from testbed.bodies import body_of, sha256  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.scripted import check_reply, read_check_request  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402
from slow_servers import (HOLD_LIMIT, ClosedPort, HoldingServer,  # noqa
                          close_all, hold, run_concurrently)

MARKED = "Vornex server %s failed, not asked again for %d seconds"
ASKED = "Vornex server %s is asked again"

# Runs the application: appends a line to the runs file, so a test sees
# whether it ran, and answers with the verdict it was given, the length and
# digest of the body it read, and the worker process that started it.
RECORD_CGI = """#!/usr/bin/python3
import hashlib, os, sys
data = sys.stdin.buffer.read()
with open("{runs}", "a") as f:
    f.write(os.environ.get("REQUEST_URI", "") + "\\n")
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n")
sys.stdout.write("%s %d %s %d\\n" % (os.environ.get("VORNEX_VERDICT", "-"),
                 len(data), hashlib.sha256(data).hexdigest(), os.getppid()))
"""
VERDICT_LOG = 'LogFormat "%U %>s %{VORNEX_VERDICT}n" vornex_verdict'


def inject(via):
    return check_reply(200, [("VX-X-Mitigation", "inject"), ("VX-Via", via)])


class Gate:
    """A check server that reads each check and holds it until the gate
    opens, then answers it (and every later check) with `reply`."""

    def __init__(self, reply):
        self.opened = threading.Event()
        self.reply = reply
        self.server = HoldingServer(self._behave)
        self.address = self.server.address

    def _behave(self, conn, stop):
        read_check_request(conn)
        deadline = time.monotonic() + HOLD_LIMIT
        while not (self.opened.is_set() or stop.is_set()):
            if time.monotonic() > deadline:
                return
            self.opened.wait(0.2)
        conn.sendall(self.reply)
        hold(conn, stop, 5)

    def accepted(self, at_least=0, wait=5.0):
        return self.server.accepted(at_least, wait)

    def close(self):
        self.opened.set()
        self.server.close()


class Switchable:
    """A check server that is dead (reads each check and never answers)
    until revived, then answers every check with `reply`."""

    def __init__(self, reply):
        self.dead = True
        self.reply = reply
        self.server = HoldingServer(self._behave)
        self.address = self.server.address

    def _behave(self, conn, stop):
        while True:
            read_check_request(conn)
            if self.dead:
                hold(conn, stop)
                return
            conn.sendall(self.reply)
            if b"Connection: close" in self.reply:
                return

    def accepted(self, at_least=0, wait=5.0):
        return self.server.accepted(at_least, wait)

    def close(self):
        self.server.close()


class Site:
    """An apache2 with the record script at /cgi-bin/, server-status, an
    access log of each request's verdict, and a runs file the script
    appends to."""

    def __init__(self, case, mpm, conf, cgi="cgid", ports=1):
        self.server = case.apache(mpm=mpm, cgi=cgi, modules=["status"],
                                  ports=ports)
        if callable(conf):
            conf = conf(self.server.ports)
        self.runs = os.path.join(self.server.root, "run", "runs.log")
        script = RECORD_CGI.format(runs=self.runs)
        for path in ("record.py", "closed.py", "open/record.py",
                     "open/closed/record.py", "inherit/record.py"):
            self.server.write("cgi-bin/" + path, script, 0o755)
        self.server.configure("\n".join([
            VERDICT_LOG,
            "CustomLog logs/verdicts.log vornex_verdict",
            "<Location /server-status>", "SetHandler server-status",
            "VornexCheck Off", "</Location>"] + conf))
        self.server.start()

    def post(self, target, data, timeout=90):
        return request(self.server.port, "POST", target, body=data,
                       timeout=timeout)

    def ran(self):
        """The request targets the script has run for, in order."""
        try:
            with open(self.runs) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def status(self):
        """{name: value} of the module's lines in server-status?auto."""
        response = request(self.server.port, "GET", "/server-status?auto")
        found = {}
        for line in response.body.decode().splitlines():
            name, _, value = line.partition(": ")
            if name.startswith("Vornex"):
                found[name] = int(value) if value.isdigit() else value
        return found

    def verdicts(self, count):
        """The lines of the verdict log once it holds `count` of them (each
        is written after its response), server-status's left out."""
        path = os.path.join(self.server.root, "logs", "verdicts.log")
        deadline = time.monotonic() + 30
        while True:
            with open(path) as f:
                lines = f.read().splitlines()
            lines = [ln for ln in lines if "/server-status" not in ln]
            if len(lines) >= count or time.monotonic() > deadline:
                return lines
            time.sleep(0.05)


def answered(response, verdict, data):
    """What the record script prints for a request it served."""
    fields = response.body.decode().split()
    return fields[:3] == [verdict, str(len(data)), sha256(data)]


EVENT_ONE_PROCESS = ["StartServers 1", "ServerLimit 1", "ThreadLimit 8",
                     "ThreadsPerChild 8", "MaxRequestWorkers 8",
                     "MinSpareThreads 1", "MaxSpareThreads 8"]
PREFORK_THREE = ["StartServers 3", "MinSpareServers 3", "MaxSpareServers 3",
                 "ServerLimit 3", "MaxRequestWorkers 3"]


@unittest.skipIf(UNDER_VALGRIND, "needs several requests at once")
class CapTest(ServerTestCase):
    """A check service that holds every check: two checks are in flight,
    the cap is two, and the third screened request is decided at once by
    its section's failure policy; the places come back with the answers."""

    def run_cap(self, mpm, cap, mpm_conf):
        gate = Gate(inject("primary"))
        self.addCleanup(gate.close)
        backup = Gate(inject("secondary"))
        self.addCleanup(backup.close)
        site = Site(self, mpm, mpm_conf + [
            "VornexPrimaryServer %s" % gate.address,
            "VornexSecondaryServer %s" % backup.address,
            "VornexTimeout 30000", "VornexMaxChecks %s" % cap,
            "VornexCheck On",
            "<Location /cgi-bin/closed.py>", "VornexFailureMode closed",
            "</Location>"], cgi="cgi" if mpm == "prefork" else "cgid")
        before = site.status()
        held_bodies = [body_of(5000 + i, seed=i) for i in range(2)]
        jobs = [lambda d=d: site.post("/cgi-bin/record.py?held", d)
                for d in held_bodies]
        results = {}
        worker = threading.Thread(
            target=lambda: results.update(run_concurrently(jobs, 120)))
        worker.start()
        self.addCleanup(worker.join, 130)
        self.assertEqual(gate.accepted(2, wait=60), 2)

        data = body_of(7000, seed=9)
        over = site.post("/cgi-bin/record.py?over", data)
        self.assertEqual(over.status, 200)
        self.assertTrue(answered(over, "busy", data), over.body)
        refused = site.post("/cgi-bin/closed.py?over", data)
        self.assertEqual(refused.status, 503)
        self.assertEqual(refused.header("Retry-After"), "10")
        # Neither waited on a check: the held two are still held, and no
        # third check reached a server.
        self.assertEqual(results, {})
        self.assertEqual((gate.accepted(), backup.accepted()), (2, 0))
        mid = site.status()
        self.assertEqual(mid["VornexChecksInFlight"], 2)

        gate.opened.set()
        worker.join(120)
        self.assertEqual(sorted(results), [0, 1])
        for i, data in enumerate(held_bodies):
            response = results[i][0]
            self.assertEqual(response.status, 200)
            self.assertTrue(answered(response, "inject", data), response.body)
        # The places came back: the next requests are checked again.
        for i in range(3):
            data = body_of(100 + i, seed=20 + i)
            self.assertTrue(answered(site.post("/cgi-bin/record.py", data),
                                     "inject", data))
        self.assertEqual(gate.accepted(5), 5)
        self.assertEqual(site.ran().count("/cgi-bin/closed.py?over"), 0)
        after = site.status()
        delta = {name: after[name] - before[name] for name in (
            "VornexOverCap", "VornexBusy", "VornexRefused", "VornexInject",
            "VornexScreened")}
        self.assertEqual(delta, {"VornexOverCap": 2, "VornexBusy": 1,
                                 "VornexRefused": 1, "VornexInject": 5,
                                 "VornexScreened": 7})
        self.assertEqual(after["VornexChecksInFlight"], 0)
        # The two decided at once are logged before the held ones end.
        self.assertEqual(site.verdicts(7)[:2],
                         ["/cgi-bin/record.py 200 busy",
                          "/cgi-bin/closed.py 503 refused"])
        self.assert_no_crash(site.server)

    def test_event_cap_as_share_of_threads(self):
        """Event MPM, one process of 8 threads, VornexMaxChecks 25%: two
        checks in flight, the third request does not wait."""
        self.run_cap("event", "25%", EVENT_ONE_PROCESS)

    def test_prefork_cap_over_the_whole_server(self):
        """Prefork, three processes, VornexMaxChecks 2: two processes wait
        on checks, the third process decides its request at once."""
        self.run_cap("prefork", "2", PREFORK_THREE)


@unittest.skipIf(UNDER_VALGRIND, "needs several worker processes")
class SharedMarkTest(ServerTestCase):
    """Prefork with three processes and a primary that has died: it is
    marked once for the whole server, gets one probe per period, not one
    per process, and once a probe succeeds every process uses it again."""

    RETRY = 2

    @classmethod
    def setUpClass(cls):
        cls.primary = Switchable(inject("primary"))
        cls.addClassCleanup(cls.primary.close)
        cls.secondary = cls.scripted_check_server()
        cls.secondary.reply = inject("secondary")
        cls.site = Site(cls, "prefork", PREFORK_THREE + [
            "VornexPrimaryServer %s" % cls.primary.address,
            "VornexSecondaryServer %s" % cls.secondary.address,
            "VornexTimeout 300", "VornexRetry %d" % cls.RETRY,
            "VornexCheck On"], cgi="cgi")

    def load(self, seconds=None, until=None, count=None):
        """Three clients sending screened POSTs back to back; stops after
        `seconds`, once `until(response)` holds, or after `count` requests.
        Returns [(response, data)]."""
        done, lock = [], threading.Lock()
        started = [0]
        stop = threading.Event()
        end = time.monotonic() + (seconds or 60)

        def client(k):
            i = 0
            while not stop.is_set() and time.monotonic() < end:
                with lock:
                    if count is not None and started[0] >= count:
                        return
                    started[0] += 1
                data = body_of(300 + i, seed=k * 1000 + i)
                i += 1
                response = self.site.post("/cgi-bin/record.py", data)
                with lock:
                    done.append((response, data))
                if until and until(response):
                    stop.set()

        threads = [threading.Thread(target=client, args=(k,))
                   for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        return done

    def test_dead_primary_is_probed_once_per_period_then_used_by_all(self):
        """Marked by the first failure; under load from three clients for
        three periods, each probe is one connection server-wide and logs
        once; after the primary comes back, one successful probe puts every
        process back on it."""
        site, primary = self.site, self.primary
        mark = site.server.log_mark()
        data = body_of(1000, seed=1)
        response = site.post("/cgi-bin/record.py", data)
        self.assertTrue(answered(response, "inject", data))
        self.assertEqual(response.values("Via"), ["secondary"])
        self.assertEqual(primary.accepted(1), 1)
        self.assertEqual(site.status()["VornexMark %s" % primary.address],
                         "marked")

        start = time.monotonic()
        served = self.load(seconds=3 * self.RETRY + 0.5)
        elapsed = time.monotonic() - start
        for response, data in served:
            self.assertEqual(response.values("Via"), ["secondary"])
            self.assertTrue(answered(response, "inject", data))
        pids = {r.body.split()[3] for r, _ in served}
        self.assertGreaterEqual(len(pids), 2, "one process served the load")
        probes = primary.accepted() - 1
        # One probe per period that ended during the load, and at most one
        # more at its edge; per-process marks would give three per period.
        self.assertGreaterEqual(probes, 1)
        self.assertLessEqual(probes, int(elapsed / self.RETRY) + 1)
        logged = site.server.messages_since(mark, "warn")
        self.assertEqual(logged.count(ASKED % primary.address), probes)
        self.assertEqual(logged.count(MARKED % (primary.address, self.RETRY)),
                         probes + 1)

        primary.dead = False
        self.load(until=lambda r: r.values("Via") == ["primary"])
        # Every process asks the primary again at once, although the others
        # marked nothing themselves.
        served = self.load(count=24)
        self.assertEqual(len(served), 24)
        self.assertEqual({tuple(r.values("Via")) for r, _ in served},
                         {("primary",)})
        self.assertGreaterEqual(len({r.body.split()[3] for r, _ in served}),
                                2)
        self.assertEqual(site.status()["VornexMark %s" % primary.address],
                         "clear")
        self.assert_no_crash(site.server)


@unittest.skipIf(UNDER_VALGRIND, "bounds on time mean nothing under memcheck")
class FailurePolicyTest(ServerTestCase):
    """VornexFailureMode for each way a verdict can be missing (servers
    refuse, answer without a verdict, are marked), its merging across
    sections, its Retry-After, and what the counters and the access log
    show."""

    @classmethod
    def setUpClass(cls):
        owned = []
        cls.addClassCleanup(close_all, owned)
        refused = [ClosedPort() for _ in range(4)]
        owned.extend(refused)
        no_verdict = cls.scripted_check_server()
        no_verdict.reply = check_reply(500, body="down for maintenance")
        # name, primary, secondary, more directives
        servers = (("refused", refused[0], refused[1], []),
                   ("no-verdict", no_verdict, no_verdict, []),
                   ("marked", refused[2], refused[3], ["VornexRetry 60"]))
        cls.hosts = {}

        def conf(ports):
            lines = list(EVENT_ONE_PROCESS)
            for port, (name, primary, secondary, more) in zip(ports,
                                                              servers):
                cls.hosts[name] = (port, primary, secondary)
                lines += [
                    "<VirtualHost 127.0.0.1:%d>" % port,
                    "VornexPrimaryServer %s" % primary.address,
                    "VornexSecondaryServer %s" % secondary.address,
                    "VornexCheck On",
                    "VornexFailureMode closed 502"] + more + [
                    "<Location /cgi-bin/open/>", "VornexFailureMode open",
                    "</Location>",
                    "<Location /cgi-bin/open/closed/>",
                    "VornexFailureMode closed", "</Location>",
                    "</VirtualHost>"]
            return lines

        cls.site = Site(cls, "event", conf, ports=len(servers))

    def post(self, host, target, data):
        port = self.hosts[host][0]
        return request(port, "POST", target, body=data, timeout=60)

    def test_closed_answers_with_status_and_application_never_runs(self):
        """Each way no verdict comes, through the merged sections: the
        virtual host's closed 502, a location's open (served unscreened,
        body intact), and a location below it with closed and no status
        (503, since mode and status go together); Retry-After is the retry
        period, or 10 without one."""
        site = self.site
        cases = (
            # host, target, status, verdict, Retry-After
            ("refused", "/cgi-bin/record.py", 502, "refused", "10"),
            ("refused", "/cgi-bin/inherit/record.py", 502, "refused", "10"),
            ("refused", "/cgi-bin/open/record.py", 200, "unscreened", None),
            ("refused", "/cgi-bin/open/closed/record.py", 503, "refused",
             "10"),
            ("no-verdict", "/cgi-bin/record.py", 502, "refused", "10"),
            ("no-verdict", "/cgi-bin/open/record.py", 200, "unscreened",
             None),
            # The first request marks both servers, the second finds both
            # marked and makes no check.
            ("marked", "/cgi-bin/record.py", 502, "refused", "60"),
            ("marked", "/cgi-bin/record.py", 502, "refused", "60"),
            ("marked", "/cgi-bin/open/record.py", 200, "unscreened", None),
            ("marked", "/cgi-bin/open/closed/record.py", 503, "refused",
             "60"),
        )
        for i, (host, target, status, verdict, retry_after) in enumerate(
                cases):
            with self.subTest(host=host, target=target, i=i):
                ran = site.ran()
                data = body_of(2000 + i, seed=i)
                before = site.status()
                response = self.post(host, target, data)
                after = site.status()
                self.assertEqual(response.status, status)
                self.assertEqual(response.header("Retry-After"), retry_after)
                self.assertEqual(site.verdicts(i + 1)[i:],
                                 ["%s %d %s" % (target, status, verdict)])
                counter = {"refused": "VornexRefused",
                           "unscreened": "VornexUnscreened"}[verdict]
                self.assertEqual(after[counter] - before[counter], 1)
                if status == 200:
                    self.assertTrue(answered(response, verdict, data))
                    self.assertEqual(site.ran(), ran + [target])
                else:
                    self.assertEqual(site.ran(), ran)
        # Only servers that could not be reached are marked, and only where
        # VornexRetry is set.
        marks = site.status()
        for name, state in (("marked", "marked"), ("no-verdict", "clear"),
                            ("refused", "clear")):
            _, primary, secondary = self.hosts[name]
            for server in (primary, secondary):
                self.assertEqual(marks["VornexMark %s" % server.address],
                                 state, name)
        self.assert_no_crash(site.server)

    def test_directive_values_are_checked(self):
        """Values out of range are refused when the configuration is read,
        with the directive's message; the others are taken."""
        cases = (
            ("VornexMaxChecks 12", True), ("VornexMaxChecks 50%", True),
            ("VornexMaxChecks 100%", True), ("VornexMaxChecks 0", False),
            ("VornexMaxChecks 101%", False), ("VornexMaxChecks 5x", False),
            ("VornexMaxChecks -3", False), ("VornexMaxChecks %", False),
            ("VornexFailureMode open", True),
            ("VornexFailureMode closed", True),
            ("VornexFailureMode Closed 599", True),
            ("VornexFailureMode closed 200", False),
            ("VornexFailureMode closed 600", False),
            ("VornexFailureMode open 503", False),
            ("VornexFailureMode sideways", False),
        )
        for line, valid in cases:
            with self.subTest(line=line):
                code, output = self.site.server.syntax_check(line)
                self.assertEqual(code == 0, valid, output)
                if not valid:
                    self.assertIn(line.split()[0] + " takes", output)


if __name__ == "__main__":
    main()
