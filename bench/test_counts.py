"""The bench's counts per request, without a benchmark: system calls counted
by strace and instructions counted by callgrind on small real programs, and
the kept-connection client that sends the counted requests."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import bench  # noqa: E402
from testbed.net import LoopbackServer  # noqa: E402

# Says it is ready, waits for a line on its standard input, then makes
# `count` getppid calls.
CALLER = ("import os, sys\n"
          "sys.stdout.write('ready\\n'); sys.stdout.flush()\n"
          "sys.stdin.readline()\n"
          "for _ in range(int(sys.argv[1])): os.getppid()\n")


class KeptConnectionServer(LoopbackServer):
    """Answers every GET on a connection with a 200 and a short body, and
    counts the requests of each connection."""

    def __init__(self):
        self.per_connection = []
        super().__init__()

    def _serve(self, conn):
        with conn:
            conn.settimeout(30)
            served = 0
            self.per_connection.append(0)
            buf = b""
            while True:
                while b"\r\n\r\n" not in buf:
                    piece = conn.recv(65536)
                    if not piece:
                        return
                    buf += piece
                _, _, buf = buf.partition(b"\r\n\r\n")
                served += 1
                self.per_connection[-1] = served
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"
                             b"\r\nyes")


class CountsTest(unittest.TestCase):

    def test_strace_counts_the_calls_made_after_the_attach(self):
        """A process attached by pid while it runs: strace -c -f counts the
        system calls it makes after the attach, by name."""
        caller = subprocess.Popen(
            [sys.executable, "-c", CALLER, "300"], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE)
        try:
            self.assertEqual(caller.stdout.readline(), b"ready\n")
            out = tempfile.NamedTemporaryFile(delete=False)
            out.close()
            tracer = bench.start_strace([caller.pid], out.name)
            caller.stdin.write(b"go\n")
            caller.stdin.close()
            caller.wait(60)
            tracer.wait(60)
            tracer.stderr.close()
            with open(out.name) as f:
                calls = bench.parse_strace_counts(f.read())
            os.unlink(out.name)
        finally:
            if caller.poll() is None:
                caller.kill()
            caller.stdout.close()
        # Every one of the calls made after the attach; the read in progress
        # at the attach may or may not be counted.
        self.assertEqual(calls.get("getppid"), 300)

    def test_strace_table_is_read_by_name(self):
        """strace's table, errors column filled or blank, gives each call's
        count; the total line is left out."""
        table = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 60.00    0.000060           1        40         3 poll
 40.00    0.000040           2        20           sendmsg
------ ----------- ----------- --------- --------- ----------------
100.00    0.000100           1        60         3 total
"""
        self.assertEqual(bench.parse_strace_counts(table),
                         {"poll": 40, "sendmsg": 20})

    def test_callgrind_instructions_grow_with_the_work(self):
        """callgrind's totals of a program that prints 100 000 more numbers
        than another are higher by more than ten instructions a number."""
        totals = []
        with tempfile.TemporaryDirectory() as work:
            for last in ("10", "100010"):
                out = os.path.join(work, "callgrind.%s" % last)
                subprocess.run(
                    [bench.VALGRIND, "--tool=callgrind", "--vgdb=no",
                     "--callgrind-out-file=%s" % out, "/usr/bin/seq", last],
                    check=True, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL, timeout=100)
                totals.append(bench.callgrind_total(out))
        self.assertGreater(totals[1] - totals[0], 100000 * 10)

    def test_kept_connection_client_sends_every_request_on_one(self):
        """The counted GETs go one after the other on one connection, each
        answered before the next."""
        server = KeptConnectionServer()
        try:
            bench.keepalive_gets(server.port, "/x", 25, pause=0.001)
        finally:
            server.close()
        self.assertEqual(server.per_connection, [25])


if __name__ == "__main__":
    unittest.main()
