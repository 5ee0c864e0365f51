"""Where the build's products are: the source tree, the built module and
the build directory, which the suite runner's flags (or VORNEX_MODULE and
VORNEX_BUILD) name."""

import os

# The repository root.
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# VORNEX_IT_KEEPALIVE=1 runs the suites with checks on kept connections:
# every server with the module gets "VornexKeepAlive On", and the scripted
# check servers keep a connection open after an answer that allows it.
KEEP_ALIVE = os.environ.get("VORNEX_IT_KEEPALIVE", "") == "1"


def module_path():
    path = os.environ.get("VORNEX_MODULE", "")
    if not path or not os.path.isfile(path):
        raise RuntimeError(
            "VORNEX_MODULE must name the built mod_vornex.so (got %r)" % path)
    return path


def build_dir():
    path = os.environ.get("VORNEX_BUILD", "")
    if not path or not os.path.isdir(path):
        raise RuntimeError(
            "VORNEX_BUILD must name the build directory (got %r)" % path)
    return path
