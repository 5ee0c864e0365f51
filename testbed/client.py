"""A raw HTTP/1.1 client that controls every byte it sends: one request on
a new connection (optionally over TLS, with a chunked body or 100-continue),
or several on one keep-alive connection."""

import socket
import ssl
import time

from .net import LOOPBACK


class Response:
    def __init__(self):
        self.status = None
        self.reason = ""
        self.headers = []
        self.head = b""
        self.body = b""
        self.client_port = None
        self.continued = False
        self.tls_version = None

    def values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def header(self, name):
        found = self.values(name)
        return found[0] if found else None

    def names(self):
        return [n for n, _ in self.headers]


class _Reader:
    def __init__(self, sock, deadline):
        self.sock = sock
        self.deadline = deadline
        # A bytearray grows in place; appending to bytes copies the whole
        # buffer on every receive, which is quadratic for a large page.
        self.buf = bytearray()
        self.eof = False

    def _fill(self):
        if time.monotonic() > self.deadline:
            raise TimeoutError("no complete response in time")
        try:
            piece = self.sock.recv(1 << 16)
        except (ConnectionResetError, ssl.SSLEOFError):
            piece = b""
        if not piece:
            self.eof = True
        self.buf += piece

    def until(self, marker):
        while marker not in self.buf:
            if self.eof:
                raise ConnectionError("connection closed early: %r"
                                      % bytes(self.buf[:200]))
            self._fill()
        i = self.buf.index(marker) + len(marker)
        out = bytes(self.buf[:i])
        del self.buf[:i]
        return out

    def exactly(self, n):
        while len(self.buf) < n and not self.eof:
            self._fill()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def rest(self):
        while not self.eof:
            self._fill()
        out = bytes(self.buf)
        self.buf = bytearray()
        return out


def _parse_head(raw, response):
    lines = raw.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    response.status = int(parts[1])
    response.reason = parts[2] if len(parts) > 2 else ""
    response.headers = []
    for line in lines[1:]:
        if line:
            name, _, value = line.partition(":")
            response.headers.append((name, value.strip(" \t")))


def _read_body(reader, response, method):
    te = (response.header("Transfer-Encoding") or "").lower()
    length = response.header("Content-Length")
    if method == "HEAD" or response.status in (204, 304):
        response.body = b""
    elif te == "chunked":
        out = b""
        while True:
            size = int(reader.until(b"\r\n").split(b";")[0], 16)
            if size == 0:
                reader.until(b"\r\n")
                break
            out += reader.exactly(size)
            reader.until(b"\r\n")
        response.body = out
    elif length is not None:
        response.body = reader.exactly(int(length))
    else:
        response.body = reader.rest()


def exchange(port, requests, timeout=60, pipelined=False):
    """Sends raw requests one after the other on one keep-alive connection,
    reading each response before sending the next, or with `pipelined` all
    in one write before reading any; returns the responses, each read by
    the framing it declares (so a response whose framing is wrong makes the
    ones after it come out as garbage or not at all). Each item is (method,
    raw request bytes)."""
    sock = socket.create_connection((LOOPBACK, port), timeout)
    try:
        if pipelined:
            sock.sendall(b"".join(raw for _, raw in requests))
        reader = _Reader(sock, time.monotonic() + timeout)
        responses = []
        for method, raw in requests:
            if not pipelined:
                sock.sendall(raw)
            response = Response()
            response.head = reader.until(b"\r\n\r\n")
            _parse_head(response.head, response)
            _read_body(reader, response, method)
            responses.append(response)
        return responses
    finally:
        sock.close()


def _tls_context(tls):
    if isinstance(tls, ssl.SSLContext):
        return tls
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if isinstance(tls, ssl.TLSVersion):
        ctx.maximum_version = tls
    return ctx


def request(port, method="GET", target="/", headers=(), body=None,
            chunked=False, chunk_size=5000, expect=False, tls=False,
            timeout=60, host=None):
    """Sends one request on a new connection, exactly as described, and
    returns the parsed Response. `headers` go out in the order given, after
    Host; framing headers follow them, then "Connection: close". `tls` is
    False, True, the highest ssl.TLSVersion to offer, or an ssl.SSLContext
    to connect with."""
    sock = socket.create_connection((LOOPBACK, port), timeout)
    try:
        response = Response()
        response.client_port = sock.getsockname()[1]
        if tls:
            sock = _tls_context(tls).wrap_socket(sock)
            response.tls_version = sock.version()
        lines = ["%s %s HTTP/1.1" % (method, target),
                 "Host: %s" % (host or "%s:%d" % (LOOPBACK, port))]
        lines += ["%s: %s" % h for h in headers]
        if body is not None:
            if chunked:
                lines.append("Transfer-Encoding: chunked")
            else:
                lines.append("Content-Length: %d" % len(body))
        if expect:
            lines.append("Expect: 100-continue")
        lines.append("Connection: close")
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        reader = _Reader(sock, time.monotonic() + timeout)
        head = None
        if body is not None and expect:
            head = reader.until(b"\r\n\r\n")
            _parse_head(head, response)
            if response.status == 100:
                response.continued = True
                head = None
        if head is None and body is not None:
            payload = body
            if chunked:
                payload = b"".join(
                    b"%x\r\n%s\r\n" % (len(body[i:i + chunk_size]),
                                       body[i:i + chunk_size])
                    for i in range(0, len(body), chunk_size)) + b"0\r\n\r\n"
            try:
                sock.sendall(payload)
            except (BrokenPipeError, ConnectionResetError):
                pass
        if head is None:
            head = reader.until(b"\r\n\r\n")
            _parse_head(head, response)
        response.head = head
        _read_body(reader, response, method)
        return response
    finally:
        sock.close()


def post_at_once(port, target, body, chunked=False, headers=(),
                 chunk_size=5000, timeout=60):
    """Sends a POST with its whole body in one write and returns the
    Response. mod_proxy_fcgi looks at a chunked body with non-blocking
    reads before it talks to PHP-FPM, so what it does depends on how much
    has arrived; with every byte sent at once it does the same each time."""
    lines = ["POST %s HTTP/1.1" % target,
             "Host: %s:%d" % (LOOPBACK, port)]
    lines += ["%s: %s" % h for h in headers]
    if chunked:
        lines.append("Transfer-Encoding: chunked")
        payload = b"".join(
            b"%x\r\n%s\r\n" % (len(body[i:i + chunk_size]),
                               body[i:i + chunk_size])
            for i in range(0, len(body), chunk_size)) + b"0\r\n\r\n"
    else:
        lines.append("Content-Length: %d" % len(body))
        payload = body
    lines.append("Connection: close")
    raw = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + payload
    return exchange(port, [("POST", raw)], timeout)[0]
