"""Running the integration suites: the runner with its --module and --build
flags, the base test case that starts servers and cleans up after the class,
and one site started on three servers to compare them."""

import os
import sys
import unittest

from .apache import Apache
from .scripted import ScriptedCheckServer


def main():
    """Runs the calling test file; `--module PATH` names the built module,
    `--build DIR` the build directory."""
    sys.dont_write_bytecode = True
    argv = list(sys.argv)
    for flag, variable in (("--module", "VORNEX_MODULE"),
                           ("--build", "VORNEX_BUILD")):
        if flag in argv:
            i = argv.index(flag)
            os.environ[variable] = os.path.abspath(argv[i + 1])
            del argv[i:i + 2]
    unittest.main(argv=argv, verbosity=2)


class ServerTestCase(unittest.TestCase):
    """Base for test classes that share one running apache2."""

    maxDiff = 4000

    @classmethod
    def scripted_check_server(cls):
        server = ScriptedCheckServer()
        cls.addClassCleanup(server.close)
        return server

    @classmethod
    def apache(cls, **kwargs):
        server = Apache(**kwargs)
        cls.addClassCleanup(server.cleanup)
        return server

    def assert_no_crash(self, apache):
        log = apache.log_since(0)
        for text in ("Segmentation fault", "exit signal", "AddressSanitizer",
                     "runtime error:"):
            self.assertNotIn(text, log)
        apache.check_reports()


# Worker settings that give a server several processes to count across:
# event with three processes of four threads each, prefork with four to
# eight children.
EVENT_PROCESSES = ("StartServers 3", "ServerLimit 3", "ThreadLimit 4",
                   "ThreadsPerChild 4", "MaxRequestWorkers 12",
                   "MinSpareThreads 4", "MaxSpareThreads 12")
PREFORK_PROCESSES = ("StartServers 4", "MinSpareServers 4",
                     "MaxSpareServers 8", "ServerLimit 8",
                     "MaxRequestWorkers 8")


# The same site on three servers: without the module, to see what the
# server does on its own; with it loaded after every other module, as
# Debian's a2enmod orders them; and with it loaded before every other one.
REFERENCE = "without module"
ORDERS = ("loaded last", "loaded first")
VARIANTS = ((REFERENCE, {"vornex": False}),
            ("loaded last", {"vornex_first": False}),
            ("loaded first", {"vornex_first": True}))


def start_compared(case, site_conf, backup, **apache_options):
    """Starts the three servers of VARIANTS for the ServerTestCase class
    `case`; `site_conf(server)` writes the site's files and returns its
    configuration. The two with the module screen everything, each against
    a check server of its own, with `backup` as their secondary. Returns
    ({name: server}, {name: check server}) without the reference's check
    server."""
    servers, checks = {}, {}
    for name, options in VARIANTS:
        server = case.apache(**dict(apache_options, **options))
        conf = [site_conf(server)]
        if name != REFERENCE:
            check = checks[name] = case.scripted_check_server()
            conf = ["VornexPrimaryServer %s" % check.address,
                    "VornexSecondaryServer %s" % backup.address,
                    "VornexCheck On"] + conf
        server.configure("\n".join(conf))
        server.start()
        servers[name] = server
    return servers, checks
