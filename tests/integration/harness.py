"""The names bench/bench.py still takes from `harness`, until it imports the
testbed package (at the repository root) itself; nothing else imports this
file, and it goes when bench.py no longer does."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", ".."))

from testbed.apache import APACHE, MODULE_DIR, Apache  # noqa: E402,F401
from testbed.client import request  # noqa: E402,F401
from testbed.net import LOOPBACK, free_port, free_ports  # noqa: E402,F401
from testbed.process import (die_with_parent,  # noqa: E402,F401
                             proc_status, worker_pids)
