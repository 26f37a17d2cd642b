"""An HTTP mirror in a thread of the test process that misbehaves on purpose."""
import fnmatch
import http.server
import threading
import zlib
from pathlib import Path


class FaultMirror:
    """Serves a mirror folder; requests matching `glob` get the fault `mode`:
    404 (an HTML body), empty (200, no body), short (a Content-Length for the
    whole body, half of it sent), plus-one (a stream of the content and one
    byte more), close-mid-body (part of the body, then the connection drops)."""

    def __init__(self, root, mode, glob="*"):
        root, self.mode, self.glob = Path(root), mode, glob
        mirror = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                path = root / self.path.lstrip("/")
                if not path.is_file():
                    return self.reply(404, b"<html>missing</html>")
                body = path.read_bytes()
                if not fnmatch.fnmatch(self.path, mirror.glob):
                    return self.reply(200, body)
                if mirror.mode == "404":
                    return self.reply(404, b"<html><body>Not Found</body></html>")
                if mirror.mode == "empty":
                    return self.reply(200, b"")
                if mirror.mode == "plus-one":
                    return self.reply(200, zlib.compress(zlib.decompress(body) + b"+"))
                self.send_response(200)
                if mirror.mode == "short":
                    self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True

            def reply(self, code, body):
                self.send_response(code)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
