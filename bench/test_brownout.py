"""The brownout benchmark's parts, without a benchmark: how vornex-bench-load
records each kind of answer and failure from loopback servers that answer as
scripted, and how brownout.py turns records into per-second figures and
targets and reads its configurations."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import brownout  # noqa: E402
from testbed.build import build_dir  # noqa: E402
from testbed.net import LOOPBACK, LoopbackServer, free_port  # noqa: E402

# What the scripted server sends for each path; None closes the connection
# at once, "" sends nothing until the client leaves.
ANSWERS = {
    "/length": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
    "/marked": b"HTTP/1.1 200 OK\r\nx-checked: yes\r\nContent-Length: 2\r\n"
               b"\r\nok",
    "/chunked": b"HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n"
                b"\r\n3\r\nabc\r\n0\r\n\r\n",
    "/until-close": b"HTTP/1.1 503 Unavailable\r\nConnection: close\r\n\r\n"
                    b"down",
    "/reset": None,
    "/silent": b"",
}


class ScriptedHttp(LoopbackServer):
    """Answers each request on a connection by its path, from ANSWERS."""

    def _serve(self, conn):
        buf = b""
        with conn:
            conn.settimeout(30)
            while True:
                try:
                    piece = conn.recv(4096)
                except OSError:
                    return
                if not piece:
                    return
                buf += piece
                while b"\r\n\r\n" in buf:
                    head, buf = buf.split(b"\r\n\r\n", 1)
                    answer = ANSWERS[head.split()[1].decode()]
                    if answer is None:
                        return
                    conn.sendall(answer)
                    if b"Connection: close" in answer:
                        return


def run_load(groups, seconds=1, cap=30):
    """Runs vornex-bench-load, marking answers with X-Checked; returns
    {group: [(start, end, status, marked)]}."""
    tool = os.path.join(build_dir(), "bench", "vornex-bench-load")
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "requests.txt")
        cmd = [tool, "--seconds", str(seconds), "--cap", str(cap),
               "--out", out, "--mark", "X-Checked"]
        for group in groups:
            cmd += ["--group", group]
        done = subprocess.run(cmd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        if done.returncode != 0:
            raise AssertionError(done.stdout.decode(errors="replace"))
        records = {}
        with open(out) as f:
            for line in f:
                name, start, end, status, marked = line.split()
                records.setdefault(name, []).append(
                    (int(start) / 1e6, int(end) / 1e6, int(status),
                     marked == "1"))
        return records


class LoadToolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ScriptedHttp()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_each_answer_and_failure_is_recorded_by_kind(self):
        """Every request of a group ends the same way: its status, whether
        the body has a length, is chunked or runs to the close; -1 when
        nothing listens; -2 when the connection closes with no answer. Only
        answers with the header asked for are marked, in any letter case."""
        table = [("length", "/length", 200, False),
                 ("marked", "/marked", 200, True),
                 ("chunked", "/chunked", 404, False),
                 ("until-close", "/until-close", 503, False),
                 ("reset", "/reset", -2, False)]
        groups = ["%s=2@%s:%d%s" % (name, LOOPBACK, self.server.port, path)
                  for name, path, _, _ in table]
        groups.append("nobody=1@%s:%d/length" % (LOOPBACK, free_port()))
        records = run_load(groups)
        for name, status, marked in ([(t[0], t[2], t[3]) for t in table] +
                                     [("nobody", -1, False)]):
            with self.subTest(group=name):
                self.assertEqual({r[2] for r in records.get(name, [])},
                                 {status})
                self.assertEqual({r[3] for r in records[name]}, {marked})
                for start, end, _, _ in records[name]:
                    self.assertLessEqual(start, end)

    def test_a_request_without_answer_ends_at_the_cap(self):
        """A request that gets no answer is recorded as -3 once it has waited
        the cap, not before."""
        records = run_load(["silent=1@%s:%d/silent"
                            % (LOOPBACK, self.server.port)], cap=1)
        self.assertTrue(records["silent"])
        for start, end, status, _ in records["silent"]:
            self.assertEqual(status, -3)
            self.assertGreaterEqual(end - start, 1.0)


def served_at(times, latency=0.010, checked=True):
    """Served records that end at each of `times`."""
    return [(t - latency, t, 200, checked) for t in times]


class FiguresTest(unittest.TestCase):
    def test_per_second_counts_and_latencies(self):
        """Requests count in the second they end in; failures and error
        statuses are not served, nor checked even when marked; latencies
        cover every answered request."""
        zero = 1000.0
        requests = [(zero + 0.1, zero + 0.2, 200, True),
                    (zero, zero + 0.5, 302, False),
                    (zero + 0.6, zero + 0.9, 503, True),
                    (zero + 1.0, zero + 1.5, -2, False),
                    (zero - 2, zero + 1.7, 200, False),
                    (zero - 1, zero - 0.5, 200, True),
                    (zero + 2, zero + 3.5, 200, True)]
        bins = brownout.per_second(requests, zero, 3)
        # second, served, checked, not served, p50, p99, worst
        table = [(0, 2, 1, 1, 300.0, 500.0, 500.0),
                 (1, 1, 0, 1, 3700.0, 3700.0, 3700.0),
                 (2, 0, 0, 0, None, None, None)]
        for k, ok, checked, other, p50, p99, worst in table:
            with self.subTest(second=k):
                self.assertEqual(bins[k]["ok"], ok)
                self.assertEqual(bins[k]["checked"], checked)
                self.assertEqual(bins[k]["other"], other)
                for key, want in (("p50", p50), ("p99", p99),
                                  ("worst", worst)):
                    if want is None:
                        self.assertIsNone(bins[k][key])
                    else:
                        self.assertAlmostEqual(bins[k][key], want, places=3)

    def test_recovery_is_the_first_full_second_after_the_return(self):
        """Recovery starts with the first of four full quarter seconds in a
        row after the service's return, counting only checked requests;
        none gives None."""
        end = 500.0
        steady = [end - 1 + i / 100 for i in range(100)]
        # 80 requests a second are needed: 20 in each quarter.
        table = [
            ("at once", [end + i / 100 for i in range(200)], 0.0),
            ("after 1.5 s", [end + 1.5 + i / 100 for i in range(150)], 1.5),
            ("never", [end + i / 10 for i in range(30)], None),
            ("served unchecked first", None, 1.0),
            # 100 t requests a second at t s after the return, then 100.
            ("ramp", [end + (i / 50) ** 0.5 for i in range(50)] +
             [end + 1 + i / 100 for i in range(200)], 0.75),
        ]
        for what, times, want in table:
            with self.subTest(what):
                if times is None:
                    records = (served_at(steady) +
                               served_at([end + i / 100 for i in range(100)],
                                         checked=False) +
                               served_at([end + 1 + i / 100
                                          for i in range(200)]))
                else:
                    records = served_at(steady + times)
                got = brownout.recovery_seconds(records, end, 80, 3)
                if want is None:
                    self.assertIsNone(got)
                else:
                    self.assertAlmostEqual(got, want, places=6)

    def test_targets_from_a_scripted_run(self):
        """A run where the unscreened host halves in second 3 and a screened
        request waits 700 ms: the first target fails, the second holds
        against VornexTimeout 500, and the third holds while the screened
        host serves again at once after the fault; with its first second
        after the fault empty, recovery takes 1 s."""
        timing = (0, 2, 2, 4)
        fault_start = 100.0
        zero = fault_start - 2
        screened, unscreened = [], []
        for k in range(8):
            count = 0 if 2 <= k < 4 else 100
            screened += served_at([zero + k + i / count
                                   for i in range(count)] if count else [])
            count = 5 if k == 3 else 10
            unscreened += served_at([zero + k + i / count
                                     for i in range(count)])
        screened.append((zero + 3.0, zero + 3.7, 200, False))
        result = brownout.analyse(
            {"screened": screened, "unscreened": unscreened}, fault_start,
            timing, ["VornexTimeout 500"])
        self.assertEqual((result["keeps"], result["keeps_second"]), (0.5, 3))
        self.assertAlmostEqual(result["worst_ms"], 700.0, places=3)
        self.assertEqual(result["limit_ms"], 1100)
        self.assertAlmostEqual(result["recovery"], 0.0, places=6)
        self.assertEqual([t[2] for t in result["targets"]],
                         [False, True, True])
        late = [r for r in screened if not zero + 4 <= r[1] < zero + 5]
        result = brownout.analyse(
            {"screened": late, "unscreened": unscreened}, fault_start,
            timing, [])
        self.assertAlmostEqual(result["recovery"], 1.0, places=6)
        self.assertEqual(result["limit_ms"], 18100)


class ConfigurationTest(unittest.TestCase):
    def test_variants_take_the_active_lines(self):
        """A configuration file gives its uncommented lines, without the
        IfModule wrapper; a NAME=...; variant its directives; the time
        limit comes from the last VornexTimeout or is 9 s."""
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as f:
            f.write("<IfModule vornex_module>\n  # VornexTimeout 100\n\n"
                    "  VornexTimeout 300\n  VornexRetry 1\n"
                    "  VornexTimeout 400\n</IfModule>\n")
            f.flush()
            lines = brownout.active_lines(f.name)
        self.assertEqual(lines, ["VornexTimeout 300", "VornexRetry 1",
                                 "VornexTimeout 400"])
        table = [(lines, 400), ([], 9000), (["VornexRetry 5"], 9000)]
        for given, limit in table:
            with self.subTest(lines=given):
                self.assertEqual(brownout.attempt_limit_ms(given), limit)
        self.assertEqual(brownout.config_variant(
            "t200=VornexTimeout 200; VornexRetry 5"),
            ("t200", ["VornexTimeout 200", "VornexRetry 5"]))
        self.assertEqual(brownout.config_variant("defaults"),
                         ("defaults", []))
        for bad in ("VornexTimeout 200", "a b=VornexRetry 1"):
            with self.subTest(bad=bad):
                with self.assertRaises(Exception):
                    brownout.config_variant(bad)


if __name__ == "__main__":
    unittest.main()
