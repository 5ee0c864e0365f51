"""Loopback networking: the address everything listens on, free ports, and
a threaded server base that the scripted check servers and the backends
build on."""

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
    subclass binds its own (a Unix socket, say)."""

    def __init__(self, sock=None):
        self._lock = threading.Lock()
        self._stop = threading.Event()
        if sock is None:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((LOOPBACK, 0))
            self.port = sock.getsockname()[1]
            self.address = "%s:%d" % (LOOPBACK, self.port)
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
        threading.Thread(target=self._serve, args=(conn,),
                         daemon=True).start()

    def _serve(self, conn):
        raise NotImplementedError

    def close(self):
        self._stop.set()
        self._sock.close()
        self._thread.join(5)
