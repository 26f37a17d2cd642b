"""An HTTP mirror in a thread of the test process that misbehaves on purpose.

FaultMirror serves a mirror folder (as publish.py --mirror writes it). Requests
whose path matches `glob` get the fault `mode`:
  "404"             404 with an HTML body
  "empty"           200 with an empty body
  "short"           200 whose Content-Length announces the whole body; half of
                    it is sent, then the connection is closed
  "plus-one"        200 with a zlib stream of the true content and one byte more
  "close-mid-body"  200 without Content-Length; part of the body, then the
                    connection is reset
  "wrong"           200 with a zlib stream of the same size and one byte changed
  "endless"         200 without Content-Length, a zlib stream of random bytes
                    that does not end (64 MiB of content at the most)
  "trickle"         200 with the stored body, one byte every TRICKLE seconds
  "trickle-headers" headers that never end, one byte every TRICKLE seconds
  "auth"            401 asking for NTLM, Negotiate or Basic credentials
  "redirect"        302 to the same path at `redirect` (a URL ending in '/')
  "drop-once"       the first request: 200 announcing the whole body, half of
                    it, then the connection closed; later ones as stored
  "drop-then-200"   the same, then every Range answered with the whole body
  "drop-then-wrong" the same, then every Range answered with a 206 that
                    starts 1000 bytes past the byte asked for
  None              served as stored
Every answer as stored carries an ETag and honours Range (with If-Range:
only while the ETag still matches), as a static web server does.
`sent` counts the body bytes sent for each path, `ranges` keeps each
request's (path, Range, If-Range).
Every Authorization header a request brings is kept in `authorizations`.
`rate` (bytes a second, per connection) slows every body down; `larger_than`
keeps the fault to bodies of more bytes. DownSite gives
the URL of a port that refuses connections."""
import fnmatch
import http.server
import socket
import struct
import threading
import zlib
from pathlib import Path
from urllib.parse import unquote

MODES = ("404", "empty", "short", "plus-one", "close-mid-body", "wrong", "endless", "trickle", "trickle-headers", "auth",
         "redirect", "drop-once", "drop-then-200", "drop-then-wrong")
PIECE = 16384
TRICKLE = 0.5
ENDLESS = 64 * 1024 * 1024


class FaultMirror:
    def __init__(self, root, mode=None, glob="*", rate=None, redirect=None, larger_than=-1):
        if mode is not None and mode not in MODES:
            raise ValueError(mode)
        self.root = Path(root).resolve()
        self.mode, self.glob, self.rate, self.redirect = mode, glob, rate, redirect
        self.larger_than = larger_than
        self.authorizations = []
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._log = []  # (path, status, faulted)
        self.endless_sent = 0  # bytes of "endless" bodies the client took
        self.sent = {}
        self.ranges = []
        mirror = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def handle(self):
                try:
                    super().handle()
                except OSError:  # the client went away, or the reset below
                    pass

            def finish(self):
                try:
                    super().finish()
                except OSError:
                    pass

            def do_GET(self):
                mirror._serve(self)

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.1,), daemon=True)
        self.thread.start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def requests(self):
        with self._lock:
            return list(self._log)

    def served(self):
        """Paths answered whole and unspoiled."""
        return [path for path, status, faulted in self.requests() if status == 200 and not faulted]

    def faulted(self):
        return [path for path, _, faulted in self.requests() if faulted]

    # -- serving ------------------------------------------------------------
    def _record(self, path, status, faulted):
        with self._lock:
            self._log.append((path, status, faulted))

    def _file(self, url_path):
        path = (self.root / unquote(url_path.split("?", 1)[0]).lstrip("/")).resolve()
        if path != self.root and self.root not in path.parents:
            return None
        return path if path.is_file() else None

    def _serve(self, h):
        for header in ("Authorization", "Proxy-Authorization"):
            if h.headers.get(header):
                with self._lock:
                    self.authorizations.append(h.headers[header])
        path = self._file(h.path)
        if path is None:
            self._record(h.path, 404, False)
            return self._reply(h, 404, b"<html><body>no such file</body></html>", "text/html")
        body = path.read_bytes()
        mode = self.mode if fnmatch.fnmatchcase(h.path, self.glob) and len(body) > self.larger_than else None
        with self._lock:
            self.ranges.append((h.path, h.headers.get("Range"), h.headers.get("If-Range")))
            first = sum(1 for r in self.ranges if r[0] == h.path) == 1
        if mode in ("drop-once", "drop-then-200", "drop-then-wrong"):
            if first:
                mode = "short"
            elif mode == "drop-once" or not h.headers.get("Range"):
                mode = None
        if mode is None:
            self._record(h.path, 200, False)
            return self._stored(h, body)
        if mode == "drop-then-200":
            self._record(h.path, 200, True)
            return self._reply(h, 200, body, etag=self._etag(body))
        if mode == "drop-then-wrong":
            self._record(h.path, 206, True)
            start = int(h.headers["Range"].split("=")[1].split("-")[0]) + 1000
            return self._reply(h, 206, body[start:], etag=self._etag(body),
                               extra={"Content-Range": f"bytes {start}-{len(body) - 1}/{len(body)}"})
        self._record(h.path, 404 if mode == "404" else 200, True)
        if mode == "404":
            return self._reply(h, 404, b"<html><head><title>404 Not Found</title></head>"
                                       b"<body><h1>Not Found</h1></body></html>", "text/html")
        if mode == "empty":
            return self._reply(h, 200, b"")
        if mode == "plus-one":
            return self._reply(h, 200, zlib.compress(zlib.decompress(body) + b"\x00"))
        if mode == "wrong":
            content = bytearray(zlib.decompress(body))
            content[len(content) // 2] ^= 0xFF
            return self._reply(h, 200, zlib.compress(bytes(content)))
        if mode == "endless":
            return self._endless(h)
        if mode == "trickle":
            return self._trickle(h, body)
        if mode == "trickle-headers":
            h.wfile.write(b"HTTP/1.1 200 OK\r\n")
            while not self.stopping.wait(TRICKLE):
                h.wfile.write(b"X")
                h.wfile.flush()
            return
        if mode in ("auth", "redirect"):
            h.send_response(401 if mode == "auth" else 302)
            if mode == "auth":
                for scheme in ("NTLM", "Negotiate", 'Basic realm="mirror"'):
                    h.send_header("WWW-Authenticate", scheme)
            else:
                h.send_header("Location", self.redirect + h.path.lstrip("/"))
            h.send_header("Content-Length", "0")
            h.end_headers()
            return
        h.send_response(200)
        h.send_header("Content-Type", "application/octet-stream")
        if mode == "short":
            h.send_header("Content-Length", str(len(body)))
            h.send_header("ETag", self._etag(body))
        h.send_header("Connection", "close")
        h.end_headers()
        self._send(h, body[: len(body) // 2])
        h.close_connection = True
        if mode == "close-mid-body":
            # A reset instead of an orderly end.
            h.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        h.connection.close()

    def _endless(self, h):
        import random
        h.send_response(200)
        h.send_header("Content-Type", "application/octet-stream")
        h.send_header("Connection", "close")
        h.end_headers()
        packer = zlib.compressobj(1)
        noise = random.Random(7)
        try:
            for _ in range(ENDLESS // PIECE):
                if self.stopping.is_set():
                    break
                data = packer.compress(noise.randbytes(PIECE))
                h.wfile.write(data)
                with self._lock:
                    self.endless_sent += len(data)
        finally:
            h.close_connection = True

    def _trickle(self, h, body):
        h.send_response(200)
        h.send_header("Content-Type", "application/octet-stream")
        h.send_header("Content-Length", str(len(body)))
        h.end_headers()
        for at in range(len(body)):
            h.wfile.write(body[at: at + 1])
            h.wfile.flush()
            if self.stopping.wait(TRICKLE):
                return

    @staticmethod
    def _etag(body):
        return '"%08x-%x"' % (zlib.crc32(body), len(body))

    def _stored(self, h, body):
        """As a static server answers: whole, or the range asked for while
        If-Range (when sent) names this very body."""
        etag = self._etag(body)
        asked = h.headers.get("Range", "")
        condition = h.headers.get("If-Range")
        if asked.startswith("bytes=") and asked.endswith("-") and condition in (None, etag):
            start = int(asked[6:-1])
            if start >= len(body):
                return self._reply(h, 416, b"", etag=etag, extra={"Content-Range": f"bytes */{len(body)}"})
            return self._reply(h, 206, body[start:], etag=etag,
                               extra={"Content-Range": f"bytes {start}-{len(body) - 1}/{len(body)}"})
        return self._reply(h, 200, body, etag=etag)

    def _reply(self, h, status, body, kind="application/octet-stream", etag=None, extra=None):
        h.send_response(status)
        h.send_header("Content-Type", kind)
        h.send_header("Content-Length", str(len(body)))
        if etag:
            h.send_header("ETag", etag)
        for name, value in (extra or {}).items():
            h.send_header(name, value)
        h.end_headers()
        self._send(h, body)

    def _send(self, h, data):
        with self._lock:
            self.sent[h.path] = self.sent.get(h.path, 0) + len(data)
        if not self.rate:
            h.wfile.write(data)
            return
        for at in range(0, len(data), PIECE):
            piece = data[at: at + PIECE]
            h.wfile.write(piece)
            if self.stopping.wait(len(piece) / self.rate):
                return

    # -- life ---------------------------------------------------------------
    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class DownSite:
    """A site on a port that is bound but not listening: every connection is
    refused, and no other server can take the port meanwhile."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def stop(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
