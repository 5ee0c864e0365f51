"""Large bodies to a proxied backend with a small temporary directory, a
tmpfs the test mounts as TMPDIR: mod_proxy streams the body the module parked
as it streams the client's, so the directory holds at most the module's own
copy of each body, and a full one fails nothing that the server alone
serves."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends  # noqa: E402
from testbed.bodies import body_of, echo_line, sha256  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.net import LOOPBACK  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

MIB = 1024 * 1024
# Uploads sent at once, and the size of each: over the module's in-memory
# limit (1 MiB by default), so the module keeps each in a file.
UPLOADS = 8
UPLOAD_SIZE = 8 * MIB
# Room for one copy of every upload at once, with a quarter to spare; not
# for two.
ROOMY = UPLOADS * UPLOAD_SIZE * 5 // 4
# What is left on the full TMPDIR: room for the server's first look at it,
# not for a body.
FULL_ROOM = 32 * 1024
# Bounds on the whole exchange and on the backend's wait for the rest of
# the uploads; far past what loopback takes.
REQUEST_TIMEOUT = 300
HOLD_TIMEOUT = 120


def used_bytes(path):
    """Bytes in use on the file system that holds `path`."""
    st = os.statvfs(path)
    return (st.f_blocks - st.f_bfree) * st.f_frsize


class Tmpfs:
    """A tmpfs of `size` bytes mounted on a new directory that every user
    may write to, as a TMPDIR is."""

    def __init__(self, size):
        self.path = tempfile.mkdtemp(prefix="vornex-it-tmpfs-")
        subprocess.run(["mount", "-t", "tmpfs", "-o",
                        "size=%d,mode=1777" % size, "tmpfs", self.path],
                       check=True, timeout=30)

    def fill(self, room):
        """Writes a file until the tmpfs has no room left, then gives
        `room` bytes of it back. (A TMPDIR with no room at all is passed
        over: APR tries a byte in it before it names it, and falls back to
        /tmp.)"""
        path = os.path.join(self.path, "filler")
        with open(path, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
            except OSError:
                pass
        os.truncate(path, os.path.getsize(path) - room)

    def remove(self):
        subprocess.run(["umount", self.path], check=False, timeout=30)
        shutil.rmtree(self.path, ignore_errors=True)


class SmallTmpdirTest(ServerTestCase):
    """Servers in front of one echo backend, each with ProxyPass /app/ and a
    tmpfs as TMPDIR: with the module and without it, each on a tmpfs of its
    own with room for one copy of each upload; with the module and without
    it on a full one (but for a few KiB), the module's with
    VornexBodyInMemoryLimit 0 on its first port and 1 MiB on its
    second."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting a tmpfs needs root")
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        cls.check = cls.scripted_check_server()
        cls.backup = cls.scripted_check_server()
        cls.roomy, cls.full = {}, Tmpfs(256 * 1024)
        cls.addClassCleanup(cls.full.remove)
        cls.full.fill(FULL_ROOM)
        cls.servers = {}
        for name, vornex, tmpfs in (("module", True, None),
                                    ("plain", False, None),
                                    ("module, full", True, cls.full),
                                    ("plain, full", False, cls.full)):
            if tmpfs is None:
                tmpfs = cls.roomy[name] = Tmpfs(ROOMY)
                cls.addClassCleanup(tmpfs.remove)
            s = cls.apache(modules=("proxy", "proxy_http"), vornex=vornex,
                           ports=2, environment={"TMPDIR": tmpfs.path})
            conf = ["LimitRequestBody 0",
                    "ProxyPass /app/ %s" % cls.backend.url()]
            if vornex:
                conf += ["VornexPrimaryServer %s" % cls.check.address,
                         "VornexSecondaryServer %s" % cls.backup.address,
                         "VornexCheck On"]
                if tmpfs is cls.full:
                    conf += ["VornexBodyInMemoryLimit 0",
                             "<VirtualHost %s:%d>" % (LOOPBACK, s.ports[1]),
                             "  VornexBodyInMemoryLimit 1048576",
                             "</VirtualHost>"]
            s.configure("\n".join(conf))
            s.start()
            cls.servers[name] = s

    def setUp(self):
        self.backend.hold = None
        for server in (self.check, self.backup, self.backend):
            server.take()

    def post(self, port, data):
        return request(port, "POST", "/app/upload", body=data,
                       timeout=REQUEST_TIMEOUT)

    def concurrent_uploads(self, name):
        """Sends UPLOADS bodies at once; the backend answers none until it
        has them all (or HOLD_TIMEOUT passes), and TMPDIR's usage is taken
        while it holds them. Returns the responses and that usage (None if
        not all arrived)."""
        tmpdir = self.roomy[name].path
        measured = []
        everyone = threading.Barrier(
            UPLOADS, action=lambda: measured.append(used_bytes(tmpdir)),
            timeout=HOLD_TIMEOUT)

        def hold(received):
            try:
                everyone.wait()
            except threading.BrokenBarrierError:
                pass

        self.backend.hold = hold
        bodies = [body_of(UPLOAD_SIZE, seed=i) for i in range(UPLOADS)]
        responses = [None] * UPLOADS

        def upload(i):
            responses[i] = self.post(self.servers[name].port, bodies[i])

        clients = [threading.Thread(target=upload, args=(i,))
                   for i in range(UPLOADS)]
        for client in clients:
            client.start()
        for client in clients:
            client.join(REQUEST_TIMEOUT + 30)
        self.backend.hold = None
        return bodies, responses, (measured[0] if measured else None)

    def test_concurrent_uploads_take_one_copy_of_tmpdir(self):
        """Uploads sent at once to the backend all get through, as without
        the module, and while the backend holds them all TMPDIR holds the
        module's one copy of each and no second one of mod_proxy's."""
        for name in ("plain", "module"):
            with self.subTest(server=name):
                bodies, responses, used = self.concurrent_uploads(name)
                self.assertEqual([r.status for r in responses],
                                 [200] * UPLOADS)
                self.assertEqual(sorted(r.body for r in responses),
                                 sorted(echo_line(b) for b in bodies))
                self.assertEqual(
                    sorted(got.sha256 for got in self.backend.take()),
                    sorted(sha256(b) for b in bodies))
                self.assertIsNotNone(used, "the uploads never were all in")
                copies = (0 if name == "plain" else UPLOADS) * UPLOAD_SIZE
                self.assertLess(used, copies + UPLOAD_SIZE // 2)
                self.assertGreaterEqual(used, copies)
        self.assertEqual(len(self.check.take()), UPLOADS)

    def test_full_tmpdir_fails_no_upload(self):
        """On a full TMPDIR a body the module keeps in memory, and one whose
        temporary file takes no more (a warning says so), reach the backend
        and the check whole, as the server alone serves them."""
        data = body_of(4 * MIB, seed=44)
        plain = self.servers["plain, full"]
        screened = self.servers["module, full"]
        warning = ("Vornex could not write a large body to its temporary "
                   "file, keeping it in memory: No space left on device")
        for port, warned in ((screened.ports[0], False),
                             (screened.ports[1], True)):
            with self.subTest(in_memory_limit="0" if port == screened.port
                              else "1 MiB"):
                reference = self.post(plain.port, data)
                mark = screened.log_mark()
                response = self.post(port, data)
                self.assertEqual((reference.status, reference.body),
                                 (200, echo_line(data)))
                self.assertEqual((response.status, response.body),
                                 (reference.status, reference.body))
                self.assertEqual([got.sha256 for got in self.backend.take()],
                                 [sha256(data)] * 2)
                sent = self.check.take()
                self.assertEqual(len(sent), 1)
                self.assertEqual(sha256(sent[0].screened_body()),
                                 sha256(data))
                self.assertEqual(screened.messages_since(mark, "warn"),
                                 [warning] if warned else [])


if __name__ == "__main__":
    main()
