"""make demo's proxied backend: answers every request with what it received
(method, path, body length and SHA-256), one log line per request on
standard error.

Usage: backend.py PORT (listens on 127.0.0.1 only)
"""
import hashlib
import http.server
import sys


class Echo(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "vornex-demo-backend"

    def read_body(self):
        """The request body, whether framed by length or chunked."""
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    # Trailer lines up to the empty one.
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def answer(self):
        try:
            body = self.read_body()
        except ValueError:
            self.send_error(400, "bad chunked body")
            return
        text = ("proxied backend: %s %s\nbody: %d bytes, sha256 %s\n"
                % (self.command, self.path, len(body),
                   hashlib.sha256(body).hexdigest())).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(text)

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = answer


def main():
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", int(sys.argv[1])), Echo)
    server.daemon_threads = True
    print("backend: listening on 127.0.0.1:%d" % server.server_port,
          file=sys.stderr, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
