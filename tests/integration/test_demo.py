"""make demo's script: one request per verdict, then SIGINT stops everything."""
import http.client
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import build_dir, main, port_open

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def get(path, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", 8080, timeout=10)
    try:
        conn.request("POST" if body is not None else "GET", path, body=body)
        resp = conn.getresponse()
        return resp.status, dict(resp.getheaders()), resp.read()
    finally:
        conn.close()


class DemoTest(unittest.TestCase):
    def test_demo_shows_each_verdict_and_stops_on_sigint(self):
        """Every verdict of the example rules reaches curl, and SIGINT leaves no process."""
        if any(port_open(p) for p in (8080, 8181, 8182)):
            self.skipTest("a demo port is taken on this machine")
        log = tempfile.TemporaryFile()
        # The runner may start tests with SIGINT ignored, which a shell
        # cannot trap; the demo gets it as a terminal would deliver it.
        demo = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "demo.sh"), build_dir()],
            stdout=log, stderr=subprocess.STDOUT,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            deadline = time.time() + 30
            while not port_open(8080):
                if demo.poll() is not None:
                    log.seek(0)
                    self.fail("demo exited early:\n" + log.read().decode())
                self.assertLess(time.time(), deadline)
                time.sleep(0.2)
            cases = [("/pass/", 200), ("/block/", 403), ("/challenge/", 403),
                     ("/captcha/", 403), ("/redirect/", 302), ("/fake/", 403),
                     ("/limit/", 429), ("/inject/", 200), ("/css/site.css", 200)]
            for path, status in cases:
                with self.subTest(path=path):
                    got, headers, _ = get(path)
                    self.assertEqual(got, status)
            self.assertEqual(get("/limit/")[1].get("Retry-After"), "3600")
            self.assertEqual(get("/redirect/")[1].get("Location"),
                             "/pass/?from=redirect")
            self.assertIn("X-Vornex-Score", get("/inject/")[1])
            status, _, body = get("/cgi-bin/form.cgi", body=b"x" * 10000)
            self.assertEqual(status, 200)
            self.assertIn(b"received 10000 bytes", body)
        finally:
            demo.send_signal(signal.SIGINT)
            demo.wait(timeout=30)
            log.seek(0)
            out = log.read().decode()
            log.close()
        self.assertIn("demo: stopped", out)
        time.sleep(0.5)
        for port in (8080, 8181, 8182):
            self.assertFalse(port_open(port), "port %d still open" % port)


if __name__ == "__main__":
    main()
