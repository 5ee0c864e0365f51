"""The test bed under its old name, for code that still imports `harness`
(bench/bench.py until it imports testbed itself). Everything here lives in
the testbed package at the repository root; new code imports it from
there. To be removed once nothing imports it."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", ".."))

from testbed.apache import (APACHE, LOG_LINE, MODULE_DIR,  # noqa: E402,F401
                            SANITIZER_PRELOAD, UNDER_VALGRIND, Apache)
from testbed.bodies import (BODY_SIZES, ECHO_CGI, ECHO_PHP,  # noqa: E402,F401
                            body_of, echo_line, sha256)
from testbed.build import build_dir, module_path  # noqa: E402,F401
from testbed.client import Response, exchange, request  # noqa: E402,F401
from testbed.net import (LOOPBACK, LoopbackServer,  # noqa: E402,F401
                         free_port, free_ports, port_open)
from testbed.process import (child_pids, die_with_parent,  # noqa: E402,F401
                             fd_targets, proc_status, stop_process,
                             worker_pids)
from testbed.scripted import (CheckRequest,  # noqa: E402,F401
                              ScriptedCheckServer, check_reply,
                              read_check_request)
from testbed import suite  # noqa: E402

main = suite.main
CheckServer = ScriptedCheckServer


class ServerTestCase(suite.ServerTestCase):
    """suite.ServerTestCase with its scripted check server under the old
    method name."""

    @classmethod
    def check_server(cls):
        return cls.scripted_check_server()
