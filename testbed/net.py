"""Loopback networking: the address everything listens on, free ports, and
a threaded server base that the scripted check servers and the backends
build on, over TLS when asked."""

import socket
import threading

LOOPBACK = "127.0.0.1"


def free_port():
    """A loopback port that nothing listens on right now."""
    return free_ports(1)[0]


def free_ports(count):
    """`count` different loopback ports that nothing listens on right now.
    Each stays bound until all are picked: a port closed at once could be
    handed out again by the next pick."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket()
            socks.append(s)
            s.bind((LOOPBACK, 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def port_open(port):
    """True when something accepts connections on the loopback port."""
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex((LOOPBACK, port)) == 0


class LoopbackServer:
    """A listening socket that serves each connection on a thread of its own
    with `_serve(conn)`: an ephemeral loopback TCP port, or `sock` when a
    subclass binds its own (a Unix socket, say). With `tls`, an
    ssl.SSLContext, each connection first completes a TLS handshake on its
    thread and `_serve` gets the TLS socket; the address is then an
    https:// one, and `handshakes` counts the completed handshakes."""

    def __init__(self, sock=None, tls=None):
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self.tls = tls or None
        self.handshakes = 0
        self.failed_handshakes = 0
        if sock is None:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((LOOPBACK, 0))
            self.port = sock.getsockname()[1]
            self.address = ("https://%s:%d" if tls else "%s:%d") % (
                LOOPBACK, self.port)
        self._sock = sock
        self._sock.listen(128)
        self._sock.settimeout(0.2)
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._on_connection(conn)

    def _on_connection(self, conn):
        threading.Thread(target=self._start, args=(conn,),
                         daemon=True).start()

    def _start(self, conn):
        if self.tls is not None:
            conn.settimeout(20)
            try:
                conn = self.tls.wrap_socket(conn, server_side=True)
            except (OSError, ValueError):
                with self._lock:
                    self.failed_handshakes += 1
                conn.close()
                return
            with self._lock:
                self.handshakes += 1
        self._serve(conn)

    def _serve(self, conn):
        raise NotImplementedError

    def tls_counts(self):
        """(completed, failed) TLS handshakes so far."""
        with self._lock:
            return self.handshakes, self.failed_handshakes

    def close(self):
        self._stop.set()
        self._sock.close()
        self._thread.join(5)
