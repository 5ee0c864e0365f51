"""Pages that mod_cache keeps are screened for every client that asks for
them: with mod_cache_disk and mod_cache_socache, with the cache answering
from its quick handler or from its content handler, for a static file, a
proxied backend and PHP-FPM, in Debian's load order and with the module
loaded first. Each request is checked
once, and no verdict's headers are kept in the cache for other clients."""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))

from testbed import backends, php  # noqa: E402
from testbed.client import request  # noqa: E402
from testbed.process import worker_pids  # noqa: E402
from testbed.scripted import check_reply  # noqa: E402
from testbed.suite import ServerTestCase, main  # noqa: E402

EVIL = "evilbot"
GOOD = "goodbrowser"
# The three kinds of page the cache keeps.
# Each test has pages of its own: {} is its name.
PAGES = {
    "static": "/static/%s.html",
    "proxy": "/app/%s",
    "php": "/php/%s.php",
}
TESTS = ("blocked", "inject", "restart")
PHP_PAGE = """<?php
header('Cache-Control: public, max-age=600');
echo "php page\\n";
"""
STORES = {
    "disk": ("cache_disk", lambda root: "CacheEnable disk /\n"
             "CacheRoot %s/cache\nCacheDirLevels 1\nCacheDirLength 1" % root),
    "socache": ("cache_socache", lambda root: "CacheEnable socache /\n"
                "CacheSocache shmcb:%s/run/cache.shm(1048576)" % root),
}


def verdict_for(check):
    """Blocks the client whose User-Agent is EVIL; passes every other."""
    if ("User-Agent: %s\r\n" % EVIL).encode() in check.body:
        return check_reply(403)
    return check_reply(200)


class CacheCase:
    """One store and one quick-handler setting, on a server with the module
    loaded in Debian's order and on the same server without it."""

    store = "disk"
    quick = "On"
    pages = PAGES
    vornex_first = False

    @classmethod
    def setUpClass(cls):
        cls.backend = backends.EchoBackend()
        cls.addClassCleanup(cls.backend.close)
        cls.check = cls.scripted_check_server()
        cls.check.reply = verdict_for
        cls.backup = cls.scripted_check_server()
        cls.servers = {}
        for name, with_module in (("module", True), ("plain", False)):
            cls.servers[name] = cls.start_server(with_module)

    @classmethod
    def start_server(cls, with_module):
        store_module, store_conf = STORES[cls.store]
        modules = sorted(["cache", store_module, "socache_shmcb", "proxy",
                          "proxy_http", "proxy_fcgi", "headers"])
        s = cls.apache(modules=modules, vornex=with_module, cgi=None,
                       vornex_first=cls.vornex_first)
        fpm = php.PhpFpm(s.root)
        cls.addClassCleanup(fpm.stop)
        fpm.start()
        os.makedirs(os.path.join(s.root, "cache"), exist_ok=True)
        os.chmod(os.path.join(s.root, "cache"), 0o777)
        for name in TESTS:
            path = s.write("htdocs/static/%s.html" % name, "static page\n")
            # An hour old, so that its heuristic freshness is some minutes.
            past = time.time() - 3600
            os.utime(path, (past, past))
            s.write("htdocs/php/%s.php" % name, PHP_PAGE)
        conf = [store_conf(s.root),
                "CacheQuickHandler %s" % cls.quick,
                "CacheHeader On", "CacheDetailHeader On",
                "CacheIgnoreNoLastMod On",
                "CacheDefaultExpire 600",
                "ProxyPass /app/ %s" % cls.backend.url(),
                php.fpm_conf(fpm)]
        if with_module:
            conf = ["VornexPrimaryServer %s" % cls.check.address,
                    "VornexSecondaryServer %s" % cls.backup.address,
                    "VornexCheck On"] + conf
        s.configure("\n".join(conf))
        s.start()
        return s

    def setUp(self):
        self.check.reply = verdict_for
        self.check.take()
        self.backup.take()

    def get(self, name, target, agent):
        response = request(self.servers[name].port, target=target,
                           headers=[("User-Agent", agent)])
        return response, self.check.take()

    def test_blocked_client_gets_no_cached_page(self):
        """A page another client had cached is refused to the blocked
        client with 403, each request checked once; without the module the
        same cache serves it to anyone."""
        for kind, path in self.pages.items():
            target = path % "blocked"
            with self.subTest(page=kind):
                first, checks = self.get("module", target, GOOD)
                self.assertEqual((first.status, len(checks)), (200, 1))
                again, checks = self.get("module", target, GOOD)
                self.assertEqual((again.status, len(checks)), (200, 1))
                self.assertEqual(again.header("X-Cache")[:3], "HIT",
                                 again.headers)
                self.assertEqual(again.body, first.body)
                refused, checks = self.get("module", target, EVIL)
                self.assertEqual((refused.status, len(checks)), (403, 1),
                                 checks[0].body if checks else None)
                self.assertNotIn(first.body, refused.body)
                self.assertEqual(checks[0].target_line(),
                                 "GET %s HTTP/1.1" % target)

                self.get("plain", target, GOOD)
                served, _ = self.get("plain", target, EVIL)
                self.assertEqual(served.status, 200)
                self.assertEqual(served.header("X-Cache")[:3], "HIT")
                self.assertEqual(served.body, first.body)

    def test_inject_headers_stay_with_their_client(self):
        """An inject verdict's header reaches the client it was given to,
        from a fresh page and from a cached one, and never a later client:
        the response that carries it is not kept."""
        def injecting(check):
            if b"User-Agent: tagged\r\n" in check.body:
                return check_reply(200, [("VX-X-Mitigation", "inject"),
                                         ("VX-X-Tag", "for-tagged")])
            return check_reply(200)

        for kind, path in self.pages.items():
            target = path % "inject"
            with self.subTest(page=kind):
                self.check.reply = injecting
                tagged, checks = self.get("module", target, "tagged")
                self.assertEqual((tagged.status, len(checks)), (200, 1))
                self.assertEqual(tagged.values("X-Tag"), ["for-tagged"])
                other, checks = self.get("module", target, GOOD)
                self.assertEqual((other.status, len(checks)), (200, 1))
                self.assertEqual(other.values("X-Tag"), [])
                self.assertEqual(other.header("X-Cache")[:4], "MISS")
                cached, _ = self.get("module", target, GOOD)
                self.assertEqual(cached.header("X-Cache")[:3], "HIT",
                                 cached.headers)
                self.assertEqual(cached.values("X-Tag"), [])
                tagged, checks = self.get("module", target, "tagged")
                self.assertEqual(len(checks), 1)
                self.assertEqual(tagged.values("X-Tag"), ["for-tagged"])
                after, _ = self.get("module", target, GOOD)
                self.assertEqual(after.values("X-Tag"), [])


class DiskQuick(CacheCase, ServerTestCase):
    store, quick = "disk", "On"

    def test_graceful_restart_keeps_cached_pages_screened(self):
        """After graceful restarts the quick handler's screening is there
        once: a cached page is still refused to the blocked client, each
        request checked once."""
        server = self.servers["module"]
        target = self.pages["static"] % "restart"
        for restart in range(3):
            before = set(worker_pids(server.proc.pid))
            os.kill(server.proc.pid, signal.SIGUSR1)
            deadline = time.monotonic() + 60
            while (before & set(worker_pids(server.proc.pid)) and
                   time.monotonic() < deadline):
                time.sleep(0.05)
            self.assertFalse(before & set(worker_pids(server.proc.pid)),
                             "old workers did not exit")
            with self.subTest(restart=restart):
                first, checks = self.get("module", target, GOOD)
                self.assertEqual((first.status, len(checks)), (200, 1))
                again, checks = self.get("module", target, GOOD)
                self.assertEqual((again.status, len(checks)), (200, 1))
                self.assertEqual((again.header("X-Cache") or "")[:3], "HIT")
                refused, checks = self.get("module", target, EVIL)
                self.assertEqual((refused.status, len(checks)), (403, 1))


class DiskHandler(CacheCase, ServerTestCase):
    store, quick = "disk", "Off"


# The module loaded before mod_cache instead of after it.
class DiskQuickLoadedFirst(CacheCase, ServerTestCase):
    store, quick, vornex_first = "disk", "On", True


class DiskHandlerLoadedFirst(CacheCase, ServerTestCase):
    store, quick, vornex_first = "disk", "Off", True


# mod_cache_socache does not keep a response of unknown length, which is
# how mod_proxy_fcgi passes PHP-FPM's page on, with or without the module.
SOCACHE_PAGES = {k: v for k, v in PAGES.items() if k != "php"}


class SocacheQuick(CacheCase, ServerTestCase):
    store, quick, pages = "socache", "On", SOCACHE_PAGES


class SocacheHandler(CacheCase, ServerTestCase):
    store, quick, pages = "socache", "Off", SOCACHE_PAGES


class StartUpWarning(ServerTestCase):
    """What the server says at start-up about sections that the quick
    handler would bypass."""

    WARNING = ("VornexCheck %s in the <Directory %s> section at line %d of "
               "%s is not known ahead of mod_cache's quick handler, which "
               "serves pages there unscreened or screens them as the server "
               "and <Location> sections say: set CacheQuickHandler Off, or "
               "set VornexCheck in a server, virtual host or <Location> "
               "section")

    def start(self, quick, check="On"):
        s = self.apache(modules=["cache", "cache_disk"], cgi=None)
        server = self.scripted_check_server()
        lines = ["CacheEnable disk /", "CacheRoot %s/cache" % s.root,
                 "VornexPrimaryServer %s" % server.address,
                 "VornexSecondaryServer %s" % server.address]
        if quick is not None:
            lines.append("CacheQuickHandler %s" % quick)
        lines += ['<Directory "%s">' % s.htdocs, "  VornexCheck %s" % check,
                  "</Directory>"]
        s.configure("\n".join(lines))
        s.start()
        # The port opens before the configuration load that serves; the
        # server says when that one is done.
        deadline = time.monotonic() + 30
        while "resuming normal operations" not in s.log_since(0):
            self.assertLess(time.monotonic(), deadline, s.all_logs())
            time.sleep(0.1)
        conf = s.base_conf() + "\n".join(lines)
        conf_lines = conf.splitlines()
        # The last of the sections for htdocs: the base has one too.
        line = len(conf_lines) - conf_lines[::-1].index(
            '<Directory "%s">' % s.htdocs) + 1
        return s, self.WARNING % (check, '"%s"' % s.htdocs, line,
                                  s.conf_path)

    def test_directory_section_named_only_under_quick_handler(self):
        """VornexCheck On or Off in a <Directory> section is named, with
        its file and line, when mod_cache answers from its quick handler (set
        On, or by default), and not when it answers from its content
        handler."""
        for quick, check, named in ((None, "On", True), ("On", "On", True),
                                    ("On", "Off", True),
                                    ("Off", "On", False)):
            with self.subTest(quick=quick, check=check):
                s, warning = self.start(quick, check)
                said = [m for m in s.messages_since(0, "warn")
                        if "quick handler" in m]
                self.assertEqual(said, [warning] if named else [])


if __name__ == "__main__":
    main()
