"""Request bodies and the scripts that echo them: deterministic bodies of
any size, their digest, and the CGI and PHP scripts that answer with the
length and SHA-256 of the body they read."""

import hashlib

# A CGI script that reports the length and SHA-256 of the body it read.
ECHO_CGI = """#!/usr/bin/python3
import hashlib, sys
data = sys.stdin.buffer.read()
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n")
sys.stdout.write("%d %s\\n" % (len(data), hashlib.sha256(data).hexdigest()))
"""

ECHO_PHP = """<?php
$body = file_get_contents('php://input');
header('Content-Type: text/plain');
echo strlen($body), ' ', hash('sha256', $body), "\\n";
"""

# Sizes around the module's 8192-byte reads, and one past a mebibyte.
BODY_SIZES = (0, 1, 8191, 8192, 8193, 65536, 1024 * 1024 + 1)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def body_of(size, seed=0):
    """Deterministic, non-repeating bytes of the given length."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


def echo_line(data):
    """What the echo scripts print for a body."""
    return b"%d %s\n" % (len(data), sha256(data).encode())
