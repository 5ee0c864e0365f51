"""Small real backends that the proxy tests put behind Apache: an HTTP/1.1
echo server that records what reached it, and a WebSocket echo server; each
listens on a loopback TCP port or on a Unix socket. Also a WebSocket client
that speaks the same wire format."""

import base64
import hashlib
import os
import re
import socket
import struct
import tempfile
import threading
import time

from .bodies import echo_line, sha256
from .net import LOOPBACK, LoopbackServer

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC11B65"
# Frame opcodes.
WS_TEXT, WS_BINARY, WS_CLOSE, WS_PING, WS_PONG = 0x1, 0x2, 0x8, 0x9, 0xA
# Bound on one request head; Apache's own limits are far below this.
MAX_HEAD = 1 << 20


def ws_accept(key):
    """The Sec-WebSocket-Accept value for a Sec-WebSocket-Key."""
    if isinstance(key, str):
        key = key.encode("latin-1")
    return base64.b64encode(hashlib.sha1(key + WS_GUID).digest()).decode()


class WireError(Exception):
    """The peer sent something that is not the protocol."""


class _Conn:
    """A connected socket with a read buffer."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self):
        piece = self.sock.recv(1 << 16)
        if not piece:
            raise EOFError("peer closed")
        self.buf += piece

    def until(self, marker, limit=MAX_HEAD):
        while marker not in self.buf:
            if len(self.buf) > limit:
                raise WireError("no %r in %d bytes" % (marker, limit))
            self._fill()
        i = self.buf.index(marker) + len(marker)
        out = bytes(self.buf[:i])
        del self.buf[:i]
        return out

    def exactly(self, n):
        while len(self.buf) < n:
            self._fill()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out


def parse_head(raw):
    """(start line, [(name, value)]) of a head that ends in CRLF CRLF."""
    lines = raw[:-4].decode("latin-1").split("\r\n")
    headers = []
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon or not name or name != name.strip():
            raise WireError("bad header line %r" % line)
        headers.append((name, value.strip(" \t")))
    return lines[0], headers


def values(headers, name):
    return [v for n, v in headers if n.lower() == name.lower()]


class StreamServer(LoopbackServer):
    """Accepts connections on a loopback TCP port, or on a Unix socket when
    `unix` is true, and serves each on a thread of its own with
    `_serve(conn)`. The Unix socket lives in a directory of its own that the
    unprivileged Apache workers can enter, and is writable by everyone."""

    def __init__(self, unix=False):
        self._open = set()
        self.errors = []
        self.unix_path = None
        self._dir = None
        self.port = None
        sock = None
        if unix:
            self._dir = tempfile.mkdtemp(prefix="vornex-backend-")
            os.chmod(self._dir, 0o755)
            self.unix_path = os.path.join(self._dir, "backend.sock")
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(self.unix_path)
            os.chmod(self.unix_path, 0o666)
        super().__init__(sock)

    def url(self, scheme="http"):
        """What ProxyPass names as this backend's root."""
        if self.unix_path:
            return "unix:%s|%s://localhost/" % (self.unix_path, scheme)
        return "%s://%s:%d/" % (scheme, LOOPBACK, self.port)

    def _on_connection(self, conn):
        conn.settimeout(60)
        with self._lock:
            self._open.add(conn)
        threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            self._serve(_Conn(conn))
        except (EOFError, ConnectionError, socket.timeout):
            pass
        except (OSError, WireError, ValueError) as e:
            if not self._stop.is_set():
                with self._lock:
                    self.errors.append(repr(e))
        finally:
            with self._lock:
                self._open.discard(conn)
            conn.close()

    def _serve(self, conn):
        raise NotImplementedError

    def close(self):
        super().close()
        with self._lock:
            conns = list(self._open)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self._dir:
            try:
                os.unlink(self.unix_path)
                os.rmdir(self._dir)
            except OSError:
                pass


class Received:
    """One request as the echo backend received it."""

    def __init__(self, request_line, headers, body):
        self.request_line = request_line
        self.method, self.target, self.version = request_line.split(" ", 2)
        self.headers = headers
        self.body = body
        self.sha256 = sha256(body)

    def values(self, name):
        return values(self.headers, name)

    def framing(self):
        """The headers that describe the body, each a list of its values."""
        return {name: self.values(name)
                for name in ("Content-Length", "Transfer-Encoding",
                             "Content-Type", "Expect")}


def read_chunked(conn):
    """The decoded body of a chunked message; trailer fields are dropped."""
    out = bytearray()
    while True:
        line = conn.until(b"\r\n", 4096)
        size_text = line.split(b";", 1)[0].strip()
        if not re.fullmatch(rb"[0-9A-Fa-f]{1,16}", size_text):
            raise WireError("bad chunk size line %r" % line)
        size = int(size_text, 16)
        if size == 0:
            while conn.until(b"\r\n", MAX_HEAD) != b"\r\n":
                pass
            return bytes(out)
        out += conn.exactly(size)
        if conn.exactly(2) != b"\r\n":
            raise WireError("chunk not followed by CRLF")


class EchoBackend(StreamServer):
    """An HTTP/1.1 server that reads each request's body (Content-Length or
    chunked), records the request and answers 200 with bodies.echo_line of
    the body, the framing headers it received as X-Got-* response headers
    (`-` for one that was absent) and keep-alive as the client asks."""

    def __init__(self, unix=False):
        self._received = []
        self.count = 0
        # Called with each Received once its body is read, before the
        # answer; a test may hold answers there.
        self.hold = None
        super().__init__(unix)

    def _serve(self, conn):
        while True:
            try:
                head = conn.until(b"\r\n\r\n")
            except EOFError:
                return
            request_line, headers = parse_head(head)
            version = request_line.rsplit(" ", 1)[-1]
            te = [v.lower() for v in values(headers, "Transfer-Encoding")]
            lengths = values(headers, "Content-Length")
            if any(v.lower() == "100-continue"
                   for v in values(headers, "Expect")):
                conn.sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            if te:
                if te[-1] != "chunked":
                    raise WireError("transfer coding %r" % te)
                body = read_chunked(conn)
            elif lengths:
                if len(set(lengths)) != 1 or not lengths[0].isdigit():
                    raise WireError("content-length %r" % lengths)
                body = conn.exactly(int(lengths[0]))
            else:
                body = b""
            received = Received(request_line, headers, body)
            with self._lock:
                self._received.append(received)
                self.count += 1
                hold = self.hold
            if hold:
                hold(received)
            page = echo_line(body)
            close = (version != "HTTP/1.1" or "close" in [
                v.lower() for v in values(headers, "Connection")])
            out = ["HTTP/1.1 200 OK",
                   "Content-Type: text/plain",
                   "Content-Length: %d" % len(page)]
            for name in ("Content-Length", "Transfer-Encoding",
                         "Content-Type"):
                out.append("X-Got-%s: %s" % (
                    name, ", ".join(values(headers, name)) or "-"))
            if close:
                out.append("Connection: close")
            conn.sock.sendall(
                ("\r\n".join(out) + "\r\n\r\n").encode("latin-1") + page)
            if close:
                return

    def take(self):
        """The requests received since the last take, oldest first."""
        with self._lock:
            taken, self._received = self._received, []
        return taken


# ---- WebSocket ------------------------------------------------------------

def ws_frame(opcode, payload, mask):
    """One final frame; clients mask (RFC 6455 section 5.3), servers not."""
    head = bytes([0x80 | opcode])
    bit = 0x80 if mask else 0
    n = len(payload)
    if n < 126:
        head += bytes([bit | n])
    elif n < 65536:
        head += bytes([bit | 126]) + struct.pack("!H", n)
    else:
        head += bytes([bit | 127]) + struct.pack("!Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def ws_read_frame(conn, expect_mask):
    """(fin, opcode, payload) of the next frame; a frame whose masking is
    not what its direction requires is a protocol error."""
    first, second = conn.exactly(2)
    masked = bool(second & 0x80)
    if masked != expect_mask:
        raise WireError("frame masked=%s" % masked)
    n = second & 0x7F
    if n == 126:
        n, = struct.unpack("!H", conn.exactly(2))
    elif n == 127:
        n, = struct.unpack("!Q", conn.exactly(8))
    key = conn.exactly(4) if masked else None
    payload = conn.exactly(n)
    if key:
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
    return bool(first & 0x80), first & 0x0F, payload


def ws_read_message(conn, expect_mask):
    """(opcode, payload) of the next whole message or control frame."""
    fin, opcode, payload = ws_read_frame(conn, expect_mask)
    if opcode >= 0x8:
        return opcode, payload
    while not fin:
        fin, more_op, more = ws_read_frame(conn, expect_mask)
        if more_op != 0:
            raise WireError("opcode %d inside a fragmented message" % more_op)
        payload += more
    return opcode, payload


class WebSocketBackend(StreamServer):
    """A WebSocket server: answers a valid opening handshake (GET, Upgrade:
    websocket, Sec-WebSocket-Version 13, a key) with 101 and echoes every
    text or binary message back until the client closes; anything else gets
    400. Records the head of every handshake that reached it."""

    def __init__(self, unix=False):
        self._handshakes = []
        self.count = 0
        super().__init__(unix)

    def _serve(self, conn):
        head = conn.until(b"\r\n\r\n")
        request_line, headers = parse_head(head)
        with self._lock:
            self._handshakes.append((request_line, headers))
            self.count += 1
        keys = values(headers, "Sec-WebSocket-Key")
        upgrade = [v.lower() for v in values(headers, "Upgrade")]
        if (not request_line.startswith("GET ") or upgrade != ["websocket"]
                or values(headers, "Sec-WebSocket-Version") != ["13"]
                or len(keys) != 1):
            conn.sock.sendall(b"HTTP/1.1 400 Bad Request\r\n"
                              b"Content-Length: 0\r\nConnection: close\r\n"
                              b"\r\n")
            return
        conn.sock.sendall(("HTTP/1.1 101 Switching Protocols\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Accept: %s\r\n\r\n"
                           % ws_accept(keys[0])).encode("latin-1"))
        while True:
            opcode, payload = ws_read_message(conn, expect_mask=True)
            if opcode in (WS_TEXT, WS_BINARY):
                conn.sock.sendall(ws_frame(opcode, payload, mask=False))
            elif opcode == WS_PING:
                conn.sock.sendall(ws_frame(WS_PONG, payload, mask=False))
            elif opcode == WS_CLOSE:
                conn.sock.sendall(ws_frame(WS_CLOSE, payload[:2], mask=False))
                return

    def take(self):
        """(request line, headers) of the handshakes since the last take."""
        with self._lock:
            taken, self._handshakes = self._handshakes, []
        return taken


class WebSocketClient:
    """Opens a WebSocket through Apache on a loopback port: sends the opening
    handshake and reads the answer's head. `status`, `headers` and `body`
    (for an answer other than 101, read as far as its Content-Length) tell
    how it went; `accepted` is true for a 101 whose Sec-WebSocket-Accept
    matches the key sent."""

    def __init__(self, port, target, headers=(), timeout=30):
        self.key = base64.b64encode(os.urandom(16)).decode()
        self.sock = socket.create_connection((LOOPBACK, port), timeout)
        self.conn = _Conn(self.sock)
        lines = ["GET %s HTTP/1.1" % target,
                 "Host: %s:%d" % (LOOPBACK, port),
                 "Upgrade: websocket", "Connection: Upgrade",
                 "Sec-WebSocket-Key: %s" % self.key,
                 "Sec-WebSocket-Version: 13"]
        lines += ["%s: %s" % h for h in headers]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        status_line, self.headers = parse_head(self.conn.until(b"\r\n\r\n"))
        self.status = int(status_line.split(" ", 2)[1])
        self.body = b""
        if self.status != 101:
            length = values(self.headers, "Content-Length")
            if length:
                self.body = self.conn.exactly(int(length[0]))
        self.accepted = (self.status == 101 and values(
            self.headers, "Sec-WebSocket-Accept") == [ws_accept(self.key)])

    def send(self, payload, opcode=WS_TEXT):
        if isinstance(payload, str):
            payload = payload.encode()
        self.sock.sendall(ws_frame(opcode, payload, mask=True))

    def receive(self):
        """(opcode, payload) of the next message from the server."""
        return ws_read_message(self.conn, expect_mask=False)

    def close(self):
        """Sends a close frame, waits a bounded time for the server's, and
        closes the socket; returns the opcode that came back (or None)."""
        reply = None
        try:
            self.send(struct.pack("!H", 1000), WS_CLOSE)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                opcode, _ = self.receive()
                if opcode == WS_CLOSE:
                    reply = opcode
                    break
        except (OSError, EOFError, WireError):
            pass
        finally:
            self.sock.close()
        return reply
