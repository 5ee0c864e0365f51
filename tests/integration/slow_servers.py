"""Check servers on loopback that hold a check attempt as long as they can:
silent after accepting, trickling their answer a byte at a time, reading the
check a byte at a time, never accepting; and a port that refuses every
connection. Every wait they make is bounded."""

import socket
import threading
import time

from testbed.net import LOOPBACK, LoopbackServer
from testbed.scripted import read_check_request
from testbed.tls import check_address, check_context

# Longest a server keeps one connection whatever the module does: far past
# the module's longest attempt, so that the module is the one that ends it.
HOLD_LIMIT = 60.0


def hold(conn, stop, limit=HOLD_LIMIT):
    """Discards whatever arrives until the peer closes the connection, the
    server stops or `limit` seconds pass."""
    deadline = time.monotonic() + limit
    while not stop.is_set():
        left = deadline - time.monotonic()
        if left <= 0:
            return
        conn.settimeout(min(left, 0.5))
        try:
            if not conn.recv(65536):
                return
        except socket.timeout:
            continue


def silent(conn, stop):
    """Reads the whole check and never answers."""
    read_check_request(conn)
    hold(conn, stop)


def trickle(fast, slow, gap=1.0):
    """Reads the whole check, sends `fast` at once and then `slow` one byte
    every `gap` seconds (well under the module's 2 and 3 s waits), and never
    the rest: the answer ends only when the module gives up on it."""
    def behave(conn, stop):
        read_check_request(conn)
        conn.sendall(fast)
        for i in range(len(slow)):
            if stop.wait(gap):
                return
            # After the module has closed, the first byte draws a reset and
            # the next send fails: the thread ends with the attempt.
            conn.sendall(slow[i:i + 1])
        hold(conn, stop)
    return behave


def slow_reader(rate):
    """Reads the check one byte at a time, `rate` bytes a second, and never
    answers.

    It first sends one byte the module does not read while it is still
    writing: when the module closes the socket with that byte unread, its
    kernel resets the connection at once instead of trickling the check body
    still queued for sending, so the reader sees the end of the attempt."""
    def behave(conn, stop):
        conn.sendall(b"H")
        conn.settimeout(1)
        start = time.monotonic()
        count = 0
        while not stop.is_set() and time.monotonic() - start < HOLD_LIMIT:
            try:
                if not conn.recv(1):
                    return
            except socket.timeout:
                continue
            count += 1
            ahead = start + count / rate - time.monotonic()
            if ahead > 0.002:
                time.sleep(min(ahead, 1.0))
    return behave


class HoldingServer(LoopbackServer):
    """Serves each connection on a thread of its own with
    `behave(conn, stop)` and counts the connections it accepted; over TLS
    in a TLS run or with `tls` (False: never)."""

    def __init__(self, behave, rcvbuf=None, tls=None):
        self.behave = behave
        self._accepted = 0
        super().__init__(tls=tls if tls is not None else check_context())
        if rcvbuf:
            # Accepted sockets take the listening socket's buffer size, and
            # the window it offers, from the moment the connection arrives.
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF,
                                  rcvbuf)

    def _serve(self, conn):
        with self._lock:
            self._accepted += 1
        try:
            conn.settimeout(20)
            self.behave(conn, self._stop)
        except (OSError, ValueError):
            pass
        finally:
            conn.close()

    def accepted(self, at_least=0, wait=5.0):
        """The number of connections accepted so far, once it reaches
        `at_least` or `wait` seconds have passed."""
        deadline = time.monotonic() + wait
        while True:
            with self._lock:
                count = self._accepted
            if count >= at_least or time.monotonic() > deadline:
                return count
            time.sleep(0.05)


class Unaccepting:
    """A listening socket whose accept queue is full and never emptied: the
    kernel drops each new connection request, so a client's connect waits
    until the client gives up."""

    def __init__(self):
        self._sock = socket.socket()
        self._sock.bind((LOOPBACK, 0))
        self._sock.listen(0)
        self.port = self._sock.getsockname()[1]
        self.address = check_address(self.port)
        self._fillers = []
        # The queue takes one or two idle connections; a handshake that does
        # not complete at once on loopback has been dropped.
        for _ in range(8):
            filler = socket.socket()
            filler.settimeout(0.5)
            try:
                filler.connect((LOOPBACK, self.port))
            except socket.timeout:
                filler.close()
                break
            self._fillers.append(filler)
        else:
            self.close()
            raise RuntimeError("the accept queue of %s never filled"
                               % self.address)

    def close(self):
        for filler in self._fillers:
            filler.close()
        self._fillers = []
        self._sock.close()


class ClosedPort:
    """A loopback port held by a socket that never listens: each connection
    is refused at once, and no other program can take the port meanwhile."""

    def __init__(self):
        self._sock = socket.socket()
        self._sock.bind((LOOPBACK, 0))
        self.port = self._sock.getsockname()[1]
        self.address = check_address(self.port)

    def close(self):
        self._sock.close()


def close_all(servers):
    """Closes the servers side by side: each accept loop takes up to its
    0.2-second poll to notice."""
    threads = [threading.Thread(target=server.close, daemon=True)
               for server in servers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)


def run_concurrently(jobs, limit):
    """Runs each job (a function of no arguments) on a thread of its own and
    returns {index: (result or exception, seconds taken)}; a job that has
    not finished after `limit` seconds is missing from the result."""
    results = {}
    lock = threading.Lock()

    def run(index, job):
        start = time.monotonic()
        try:
            outcome = job()
        except Exception as e:  # reported by the caller's assertions
            outcome = e
        with lock:
            results[index] = (outcome, time.monotonic() - start)

    threads = [threading.Thread(target=run, args=(i, job), daemon=True)
               for i, job in enumerate(jobs)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + limit
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    with lock:
        return dict(results)
