"""The scripted check server: it records every check request it receives,
byte for byte, and answers each with a reply the test scripts
(check_reply builds one)."""

import re
import socket

from .build import KEEP_ALIVE
from .net import LoopbackServer
from .tls import check_context


class CheckRequest:
    """One request as a check server received it, byte for byte."""

    def __init__(self, raw, head_end):
        self.raw = raw
        head = raw[:head_end].decode("latin-1")
        lines = head.split("\r\n")
        self.request_line = lines[0]
        self.header_lines = lines[1:]
        self.headers = []
        for line in self.header_lines:
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip(" \t")))
        self.body = raw[head_end + 4:]

    def values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def value(self, name):
        found = self.values(name)
        return found[0] if len(found) == 1 else None

    def target_line(self):
        """The screened request's own request line, from the check body."""
        return self.body.split(b"\r\n", 1)[0].decode("latin-1")

    def screened_body(self):
        """The screened request's body as carried after the header lines."""
        parts = self.body.split(b"\r\n\r\n", 1)
        return parts[1] if len(parts) == 2 else b""


def check_reply(status=200, headers=(), body=b"", reason="Whatever"):
    """A raw check response; header entries are (name, value) pairs or
    ready-made lines (str or bytes) that go out exactly as given. It asks
    for the connection to be closed, except in a keep-alive run."""
    if isinstance(body, str):
        body = body.encode()
    out = b"HTTP/1.1 %d %s\r\n" % (status, reason.encode())
    for h in headers:
        if isinstance(h, tuple):
            h = "%s: %s" % h
        if isinstance(h, str):
            h = h.encode("latin-1")
        out += h + b"\r\n"
    out += b"Content-Length: %d\r\n" % len(body)
    if not KEEP_ALIVE:
        out += b"Connection: close\r\n"
    return out + b"\r\n" + body


def leaves_open(reply):
    """True for a reply after which a kept connection can carry another
    check: no Connection header, and a Content-Length that its body
    matches."""
    head, sep, body = reply.partition(b"\r\n\r\n")
    if not sep or re.search(rb"\r\nconnection:", head, re.I):
        return False
    m = re.search(rb"\r\ncontent-length: *(\d+)\r?$", head, re.I | re.M)
    return bool(m) and int(m.group(1)) == len(body)


def read_check_request(conn):
    """Reads one whole check request (head and Content-Length body); raises
    ConnectionError when the connection ends before the head does."""
    # A bytearray grows in place: appending to bytes would copy the whole
    # request on every receive, too slow for a check of many MiB.
    raw = bytearray()
    while b"\r\n\r\n" not in raw:
        if len(raw) >= (1 << 20):
            raise ConnectionError("check request head over 1 MiB")
        piece = conn.recv(65536)
        if not piece:
            raise ConnectionError("check request cut short")
        raw += piece
    head_end = raw.index(b"\r\n\r\n")
    m = re.search(rb"\r\ncontent-length: *(\d+)", raw[:head_end], re.I)
    total = head_end + 4 + (int(m.group(1)) if m else 0)
    while len(raw) < total:
        piece = conn.recv(1 << 20)
        if not piece:
            break
        raw += piece
    return CheckRequest(bytes(raw), head_end)


class ScriptedCheckServer(LoopbackServer):
    """A check server on loopback that records every request and answers it
    with `reply`: raw response bytes, or a function of the CheckRequest.
    It serves over TLS with `tls` (an ssl.SSLContext; False for never), and
    by default in a TLS run. With `keep_open` (by default in a keep-alive
    run) a connection stays open after an answer that allows it."""

    def __init__(self, tls=None):
        self.reply = check_reply(200)
        self.keep_open = KEEP_ALIVE
        self._requests = []
        super().__init__(tls=tls if tls is not None else check_context())

    def _serve(self, conn):
        with conn:
            conn.settimeout(20)
            try:
                while True:
                    request = read_check_request(conn)
                    with self._lock:
                        self._requests.append(request)
                        reply = self.reply
                    if callable(reply):
                        reply = reply(request)
                    conn.sendall(reply)
                    # In a keep-alive run the next check may come on the
                    # same connection.
                    if not (self.keep_open and leaves_open(reply)):
                        break
                conn.shutdown(socket.SHUT_WR)
                # Let the client read the answer before the socket closes.
                conn.settimeout(2)
                while conn.recv(65536):
                    pass
            except (OSError, ValueError):
                return

    def take(self):
        """The requests received since the last take, oldest first."""
        with self._lock:
            taken, self._requests = self._requests, []
        return taken
