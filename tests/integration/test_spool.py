"""Bodies over VornexBodyInMemoryLimit: parked in an unlinked temporary file,
byte-exact for CGI, PHP-FPM and a proxied backend, and never left behind."""

import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends, php  # noqa: E402
from testbed.bodies import (ECHO_CGI, ECHO_PHP, body_of,  # noqa: E402
                            echo_line, sha256)
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.process import fd_targets, worker_pids  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

LIMIT = 65536
MIB = 1024 * 1024
SPOOL_PREFIX = "vornex-body-"


class SpoolTest(ServerTestCase):
    """Event MPM with mod_cgid, PHP-FPM through mod_proxy_fcgi under /php/
    and an echo backend under /app/; TMPDIR is a directory of the test's
    own; bodies over 64 KiB go to a file."""

    @classmethod
    def setUpClass(cls):
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        cls.tmp = tempfile.mkdtemp(prefix="vornex-it-tmp-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        os.chmod(cls.tmp, 0o1777)
        s = cls.server = cls.apache(
            modules=("proxy", "proxy_http", "proxy_fcgi", "env"),
            environment={"TMPDIR": cls.tmp})
        cls.fpm = php.PhpFpm(s.root, max_body=80 * MIB)
        cls.fpm.start()
        cls.addClassCleanup(cls.fpm.stop)
        s.configure("\n".join([
            "VornexPrimaryServer %s" % cls.check.address,
            "VornexSecondaryServer %s" % cls.backup.address,
            "VornexCheck On",
            "VornexBodyInMemoryLimit %d" % LIMIT,
            "LimitRequestBody 0",
            "ProxyPass /app/ %s" % cls.backend.url(),
            php.fpm_conf(cls.fpm),
            # PHP-FPM gets a chunked body only with a length.
            "<Location /php/>", "  SetEnv proxy-sendcl 1", "</Location>",
        ]))
        s.write("cgi-bin/echo.py", ECHO_CGI, 0o755)
        s.write("htdocs/php/echo.php", ECHO_PHP)
        s.start()

    def setUp(self):
        self.check.take()
        self.backup.take()

    def spool_fds(self):
        """(pid, fd) of every descriptor of a worker that names a spool
        file."""
        return [(pid, fd, target)
                for pid in worker_pids(self.server.proc.pid)
                for fd, target in fd_targets(pid)
                if os.path.basename(target).startswith(SPOOL_PREFIX)]

    def wait_for(self, condition, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            time.sleep(0.05)
        return condition()

    def spool_files(self):
        """Spool files named in the temporary directory (mod_proxy's own
        spool files come and go there too)."""
        return [n for n in os.listdir(self.tmp)
                if n.startswith(SPOOL_PREFIX)]

    def assert_relayed(self, target, data, chunked):
        mark = self.server.log_mark()
        response = request(self.server.port, "POST", target, body=data,
                           chunked=chunked, chunk_size=65536, timeout=120)
        self.assertEqual(response.status, 200, response.body[:200])
        self.assertEqual(response.body, echo_line(data))
        self.assertEqual(self.server.messages_since(mark, "warn"), [])
        sent = self.check.take()
        self.assertEqual(len(sent), 1)
        self.assertEqual(sha256(sent[0].screened_body()), sha256(data))
        self.assertEqual(self.spool_files(), [])

    def test_bodies_around_the_limit_arrive_intact(self):
        """Bodies just below, at and above the limit, fixed and chunked,
        reach each application and the check byte for byte, and no file is
        left in the temporary directory."""
        for target in ("/cgi-bin/echo.py", "/php/echo.php", "/app/echo"):
            for size in (LIMIT - 1, LIMIT, LIMIT + 1, MIB + 1):
                for chunked in (False, True):
                    with self.subTest(target=target, size=size,
                                      chunked=chunked):
                        self.assert_relayed(target,
                                            body_of(size, seed=size), chunked)

    def test_64_mib_body_arrives_intact(self):
        """A 64 MiB body, fixed and chunked, reaches each application and
        the check byte for byte."""
        data = os.urandom(64 * MIB)
        for target in ("/cgi-bin/echo.py", "/php/echo.php", "/app/echo"):
            for chunked in (False, True):
                with self.subTest(target=target, chunked=chunked):
                    self.assert_relayed(target, data, chunked)

    def open_body(self, declared, sent):
        """A request declaring `declared` bytes of body that has sent
        `sent` of them and waits."""
        sock = socket.create_connection((LOOPBACK, self.server.port), 30)
        sock.sendall(("POST /cgi-bin/echo.py HTTP/1.1\r\nHost: x\r\n"
                      "Content-Length: %d\r\n\r\n" % declared).encode())
        sock.sendall(b"s" * sent)
        return sock

    def fds_during_check(self, size):
        """The spool descriptors the workers hold while the check of a
        POST of `size` bytes is under way (the body then read whole)."""
        # An earlier request's file goes when its request's memory does,
        # which is a moment after its response.
        self.assertEqual(self.wait_for(lambda: not self.spool_fds()), True)
        arrived, release = threading.Event(), threading.Event()

        def held_reply(check_request):
            arrived.set()
            release.wait(30)
            return check_reply(200)

        self.check.reply = held_reply
        result = {}
        data = body_of(size, seed=size)
        client = threading.Thread(target=lambda: result.update(
            response=request(self.server.port, "POST", "/cgi-bin/echo.py",
                             body=data, timeout=60)))
        client.start()
        try:
            self.assertTrue(arrived.wait(30), "no check arrived")
            held = self.spool_fds()
        finally:
            release.set()
            client.join(60)
            self.check.reply = check_reply(200)
        self.assertEqual(result["response"].body, echo_line(data))
        self.check.take()
        return held

    def test_only_a_body_over_the_limit_is_spooled(self):
        """During the check, a body over the limit is held in one spool file
        that is already unlinked; a body at the limit is held in none."""
        self.assertEqual(self.fds_during_check(LIMIT), [])
        held = self.fds_during_check(LIMIT + 1)
        self.assertEqual(len(held), 1, held)
        self.assertTrue(held[0][2].endswith(" (deleted)"), held)
        self.assertTrue(held[0][2].startswith(self.tmp + "/"), held)
        self.assertEqual(self.spool_files(), [])
        self.assertEqual(self.wait_for(lambda: not self.spool_fds()), True)

    def test_nothing_left_after_abort_or_killed_worker(self):
        """A client that goes mid-body frees the file when its request
        ends; a worker killed mid-body leaves nothing in the directory."""
        for how in ("abort", "kill"):
            with self.subTest(how=how):
                sock = self.open_body(8 * MIB, 2 * MIB)
                try:
                    held = self.wait_for(self.spool_fds)
                    self.assertEqual(len(held), 1, held)
                    if how == "kill":
                        os.kill(held[0][0], signal.SIGKILL)
                finally:
                    sock.close()
                self.assertEqual(
                    self.wait_for(lambda: not self.spool_fds()), True)
                self.assertEqual(self.spool_files(), [])
                self.check.take()
        # The server goes on serving with its remaining or new workers.
        self.assert_relayed("/cgi-bin/echo.py", body_of(LIMIT + 1), False)


if __name__ == "__main__":
    main()
