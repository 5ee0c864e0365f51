"""Kept connections to the check service (VornexKeepAlive): how many
connections a worker makes, what happens when the service closes one, and
that a restart or a forked script keeps none of them."""

import os
import re
import socket
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import client  # noqa: E402
from testbed.apache import Apache  # noqa: E402
from testbed.bodies import (BODY_SIZES, ECHO_CGI, body_of,  # noqa: E402
                            echo_line)
from testbed.net import LoopbackServer  # noqa: E402
from testbed.process import fd_targets, worker_pids  # noqa: E402
from testbed.scripted import check_reply, read_check_request  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402
from testbed.tls import check_context  # noqa: E402

THREADS = 8
# One worker process, so that every check comes from the same pool.
ONE_PROCESS = """
StartServers 1
ServerLimit 1
ThreadLimit {t}
ThreadsPerChild {t}
MaxRequestWorkers {t}
MinSpareThreads 1
MaxSpareThreads {t}
""".format(t=THREADS)

# Prints the inodes of the sockets this script has open, one a line.
SOCKETS_CGI = r"""#!/usr/bin/python3
import os
print("Content-Type: text/plain")
print()
for fd in os.listdir("/proc/self/fd"):
    try:
        target = os.readlink("/proc/self/fd/" + fd)
    except OSError:
        continue
    if target.startswith("socket:["):
        print(target[8:-1])
"""


def keep_reply(status=200, headers=(), body=b""):
    """A check answer that leaves the connection open."""
    return check_reply(status, headers, body).replace(
        b"Connection: close\r\n", b"")


class KeptCheckServer(LoopbackServer):
    """A check server that answers every check on the connection it came
    on and counts connections and checks. After an answer it keeps the
    connection ("keep"), closes it at once ("close"), closes it when it has
    been idle for `idle` seconds ("idle-close"), or answers with
    "Connection: close" ("ask-close"). With `drop` > 0 it closes that many
    reused connections on a check without answering it."""

    def __init__(self, after="keep", idle=0.3, drop=0, status=200):
        self.after = after
        self.idle = idle
        self.drop = drop
        self.status = status
        self.connections = 0
        self.open = 0
        self.idle_closed = 0
        self.client_closed = 0
        self.checks = []
        super().__init__(tls=check_context())

    def _serve(self, conn):
        with self._lock:
            self.connections += 1
            number = self.connections
            self.open += 1
        try:
            with conn:
                self._answer_all(conn, number)
        finally:
            with self._lock:
                self.open -= 1

    def _answer_all(self, conn, number):
        served = 0
        while True:
            idle_close = self.after == "idle-close" and served
            conn.settimeout(self.idle if idle_close else 300)
            try:
                request = read_check_request(conn)
            except socket.timeout:
                with self._lock:
                    self.idle_closed += 1
                return
            except ConnectionError:
                with self._lock:
                    self.client_closed += 1
                return
            except OSError:
                return
            with self._lock:
                self.checks.append((number, request))
                drop = served > 0 and self.drop > 0
                if drop:
                    self.drop -= 1
            if drop:
                return
            if self.after == "ask-close":
                reply = check_reply(self.status)
            else:
                reply = keep_reply(self.status)
            try:
                conn.sendall(reply)
            except OSError:
                return
            served += 1
            if self.after in ("close", "ask-close"):
                return

    def counts(self):
        """(connections accepted, checks received, connections open)."""
        with self._lock:
            return self.connections, len(self.checks), self.open


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def connections_to(port, pid="self"):
    """Inodes of the loopback TCP connections to `port` in the network
    namespace of process `pid`."""
    found = set()
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%s/net/%s" % (pid, table)) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if int(fields[2].rsplit(":", 1)[1], 16) == port:
                        found.add(fields[9])
        except OSError:
            pass
    return found


def socket_inodes(pid, port):
    """Inodes of the loopback TCP connections that process `pid` holds to
    `port`."""
    to_port = connections_to(port, pid)
    held = []
    for _, target in fd_targets(pid):
        m = re.match(r"socket:\[(\d+)\]", target)
        if m and m.group(1) in to_port:
            held.append(m.group(1))
    return held


class KeepAliveTest(ServerTestCase):

    def start(self, check, keep_alive=True, mpm="event", cgi="cgid"):
        apache = Apache(mpm=mpm, cgi=cgi)
        self.addCleanup(apache.cleanup)
        apache.write("htdocs/index.html", "page\n")
        apache.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        apache.write("cgi-bin/sockets.py", SOCKETS_CGI, 0o755)
        apache.configure(
            (ONE_PROCESS if mpm == "event" else "") + """
VornexPrimaryServer {check}
VornexSecondaryServer {check}
VornexKeepAlive {mode}
VornexSkip ^/never-skipped$
<Location />
  VornexCheck On
</Location>
""".format(check=check.address, mode="On" if keep_alive else "Off"))
        apache.start()
        return apache

    def serve(self, keep_alive=True, mpm="event", cgi="cgid", **check):
        """A KeptCheckServer made with `check` and a server asking it."""
        server = KeptCheckServer(**check)
        self.addCleanup(server.close)
        return server, self.start(server, keep_alive, mpm, cgi)

    def get_all(self, apache, count, status):
        """`count` GETs of distinct targets, each answered `status`."""
        for i in range(count):
            self.assertEqual(self.get(apache, "/index.html?%d" % i).status,
                             status)

    def get(self, apache, target="/index.html"):
        return client.request(apache.port, "GET", target)

    def failover_lines(self, apache, mark):
        """The module's warnings and errors since `mark`: a failover or a
        failed check writes one."""
        return [msg for level, _, msg in apache.entries_since(mark)
                if level in ("error", "warn")]

    def test_off_makes_a_connection_per_check(self):
        """Without keep-alive every check has a connection of its own and
        asks for it to be closed."""
        check, apache = self.serve(keep_alive=False)
        for _ in range(5):
            self.assertEqual(self.get(apache).status, 200)
        self.assertEqual(check.counts()[:2], (5, 5))
        for _, request in check.checks:
            self.assertEqual(request.values("Connection"), ["close"])

    def test_sequential_checks_share_one_connection(self):
        """One worker sends sequential checks on one kept connection,
        without "Connection: close"."""
        check, apache = self.serve()
        self.get_all(apache, 10, 200)
        self.assertEqual(check.counts()[:2], (1, 10))
        for _, request in check.checks:
            self.assertEqual(request.values("Connection"), [])

    def test_concurrent_checks_use_at_most_a_connection_per_thread(self):
        """Checks sent at the same time use at most as many connections as
        the worker has threads, and every one gets its verdict."""
        check, apache = self.serve(status=403)
        statuses = []
        lock = threading.Lock()

        def client(n):
            for i in range(6):
                status = self.get(apache, "/index.html?%d-%d" % (n, i)).status
                with lock:
                    statuses.append(status)

        clients = [threading.Thread(target=client, args=(n,))
                   for n in range(2 * THREADS)]
        for c in clients:
            c.start()
        for c in clients:
            c.join(120)
        self.assertEqual(statuses, [403] * (12 * THREADS))
        connections, checks, _ = check.counts()
        self.assertEqual(checks, 12 * THREADS)
        self.assertLessEqual(connections, THREADS)

    def test_service_closing_after_each_answer_still_gives_verdicts(self):
        """A service that closes the connection right after each answer,
        without saying so, still gives every check its verdict with no
        failover."""
        check, apache = self.serve(after="close", status=403)
        mark = apache.log_mark()
        self.get_all(apache, 8, 403)
        self.assertEqual(check.counts()[1], 8)
        self.assertEqual(self.failover_lines(apache, mark), [])

    def test_service_closing_an_idle_connection_still_gives_verdict(self):
        """A kept connection that the service closed while it was idle is
        not used for the next check, which gets its verdict with no
        failover."""
        check, apache = self.serve(after="idle-close", idle=0.3, status=403)
        mark = apache.log_mark()
        for i in range(3):
            self.assertEqual(self.get(apache, "/index.html?%d" % i).status,
                             403)
            self.assertTrue(wait_for(lambda: check.idle_closed > i))
        self.assertEqual(check.counts()[:2], (3, 3))
        self.assertEqual(self.failover_lines(apache, mark), [])

    def test_check_lost_on_a_kept_connection_is_sent_again(self):
        """A check that the service drops by closing a reused connection
        without answering goes once more on a new connection, silently."""
        check, apache = self.serve(drop=1, status=403)
        self.assertEqual(self.get(apache, "/index.html?first").status, 403)
        mark = apache.log_mark()
        self.assertEqual(self.get(apache, "/index.html?second").status, 403)
        targets = [r.target_line() for _, r in check.checks]
        self.assertEqual(targets.count("GET /index.html?second HTTP/1.1"),
                         2)
        self.assertEqual(check.counts()[0], 2)
        self.assertEqual(self.failover_lines(apache, mark), [])

    def test_answer_asking_to_close_is_not_reused(self):
        """An answer with "Connection: close" ends its connection: each
        check has a new one."""
        check, apache = self.serve(after="ask-close")
        self.get_all(apache, 4, 200)
        self.assertEqual(check.counts()[:2], (4, 4))

    def test_idle_connections_are_closed_after_the_idle_limit(self):
        """A connection left idle is closed by the worker on its own,
        without another check to trigger it, also one kept after the
        worker has closed an earlier one."""
        check, apache = self.serve()
        for closed in (1, 2):
            self.assertEqual(self.get(apache).status, 200)
            self.assertEqual(check.counts()[0], closed)
            self.assertTrue(
                wait_for(lambda: check.client_closed == closed, 60),
                "idle connection %d stayed open" % closed)

    def test_graceful_restart_closes_kept_connections(self):
        """After a graceful restart the old workers' kept connections are
        closed, the new workers hold no more than a connection per thread,
        and checks go on."""
        check, apache = self.serve(status=403)
        for round_number in range(3):
            for i in range(2 * THREADS):
                self.assertEqual(
                    self.get(apache, "/index.html?%d" % i).status, 403)
            before = set(worker_pids(apache.proc.pid))
            os.kill(apache.proc.pid, 10)  # SIGUSR1: graceful restart
            self.assertTrue(wait_for(
                lambda: not before & set(worker_pids(
                    apache.proc.pid)), 60), "old workers did not exit")
            self.assertTrue(wait_for(lambda: check.counts()[2] == 0, 60),
                            "kept connections outlived their workers")
        for i in range(2 * THREADS):
            self.assertEqual(self.get(apache, "/index.html?%d" % i).status,
                             403)
        for pid in worker_pids(apache.proc.pid):
            self.assertLessEqual(len(socket_inodes(pid, check.port)),
                                 THREADS)
        self.assert_no_crash(apache)

    def test_scripts_do_not_inherit_kept_connections(self):
        """A CGI script forked by a worker that holds kept connections has
        none of them open."""
        check, apache = self.serve(mpm="prefork", cgi="cgi")
        self.get_all(apache, 3, 200)
        response = self.get(apache, "/cgi-bin/sockets.py")
        self.assertEqual(response.status, 200)
        inherited = set(response.body.decode().split())
        self.assertEqual(inherited & connections_to(check.port), set())
        # The worker that ran it did hold one.
        self.assertGreaterEqual(check.counts()[2], 1)

    def test_bodies_reach_the_script_on_kept_connections(self):
        """Bodies of every size reach both the service and the script
        intact when checks share connections."""
        check, apache = self.serve()
        for size in BODY_SIZES:
            with self.subTest(size=size):
                data = body_of(size, seed=size)
                response = client.request(apache.port, "POST",
                                          "/cgi-bin/echo.py", body=data)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, echo_line(data))
                self.assertEqual(check.checks[-1][1].screened_body(), data)
        self.assertEqual(check.counts()[0], 1)


if __name__ == "__main__":
    main()
