"""The servers of the end-to-end tests, the demo and the benchmark, on
127.0.0.1 with ports picked at run time: the project's file server and nginx
serving a mirror tree; and the sample installations they publish."""
import datetime
import os
import select
import socket
import subprocess
import time
from pathlib import Path

import publish as publisher  # noqa: F401  (re-exported: callers take it from here)
from winenv import kill

PY = "/usr/bin/python3"
TOOLS = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Service:
    """A server process, stopped at the end of its with-block."""

    proc: subprocess.Popen

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                kill(self.proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, cmd, what, timeout=20):
        """Starts a tool that prints "PORT n" once it listens; sets .port."""
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        self.port = None
        deadline = time.monotonic() + timeout
        # Output is waited for only as long as the deadline allows: a tool
        # that neither prints nor ends does not hold the caller.
        fd, pending = self.proc.stdout.fileno(), b""
        while (left := deadline - time.monotonic()) > 0:
            if b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if line.startswith(b"PORT "):
                    self.port = int(line.split()[1])
                    return
                continue
            if not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            pending += chunk
        self.stop()
        raise RuntimeError(f"{what} did not start")


class FileServerProcess(Service):
    """tools/fileserver.py run as a process over a published folder; extra are
    its switches."""

    def __init__(self, root, *extra, log=None):
        self.log = Path(log) if log else None
        cmd = [PY, str(TOOLS / "fileserver.py"), "--root", str(root), "--port", "0", *extra]
        if self.log:
            cmd += ["--log", str(self.log)]
        self.start(cmd, "file server")

    def requests(self):
        return self.log.read_text().splitlines() if self.log and self.log.exists() else []


class Shaper(Service):
    """tools/shaper.py in front of a server on 127.0.0.1: connect to .port
    for a link with rtt_ms round trips and mbit Mbit/s each way."""

    def __init__(self, to_port, rtt_ms, mbit, stats=None):
        self.rtt_ms, self.mbit = rtt_ms, mbit
        self.stats_file = Path(stats) if stats else None
        cmd = [PY, str(TOOLS / "shaper.py"), "--to", f"127.0.0.1:{to_port}", "--rtt-ms", str(rtt_ms),
               "--mbit", str(mbit)]
        if self.stats_file:
            self.stats_file.unlink(missing_ok=True)
            cmd += ["--stats", str(self.stats_file)]
        self.start(cmd, "shaper")

    def stats(self, settle=0.3, timeout=10):
        """{"up", "down", "connections", "opened", "last_down"} once the file
        has not changed for `settle` seconds (the last bytes of a run are
        counted by then); "opened" and "last_down" may be missing."""
        import json
        last, since = None, time.monotonic()
        deadline = since + timeout
        while time.monotonic() < deadline:
            try:
                now = json.loads(self.stats_file.read_text())
            except (OSError, ValueError):
                now = None
            if now != last:
                last, since = now, time.monotonic()
            elif now is not None and time.monotonic() - since >= settle:
                return now
            time.sleep(0.05)
        return last or {"up": 0, "down": 0, "connections": 0}


NGINX_CONF = """
{user}
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log {dir}/access.log;
  client_body_temp_path {dir}/tmp;
  proxy_temp_path {dir}/tmp;
  fastcgi_temp_path {dir}/tmp;
  uwsgi_temp_path {dir}/tmp;
  scgi_temp_path {dir}/tmp;
  default_type application/octet-stream;
  sendfile on;
  server {{
    listen 127.0.0.1:{port};
    {limit}
    root {root};
  }}
}}
"""


class Nginx(Service):
    """nginx serving a mirror tree as static files."""

    def __init__(self, root, work, port=None, limit_rate=None):
        self.dir = Path(work)
        (self.dir / "tmp").mkdir(parents=True, exist_ok=True)
        self.port = port or free_port()
        conf = self.dir / "nginx.conf"
        # Run as root, the workers would drop to an account that cannot read the
        # test's private temporary folder.
        user = "user root;" if os.geteuid() == 0 else ""
        limit = f"limit_rate {limit_rate};" if limit_rate else ""
        conf.write_text(NGINX_CONF.format(user=user, limit=limit, dir=self.dir, port=self.port,
                                          root=Path(root).resolve()))
        self.proc = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(self.dir)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        if not wait_listening(self.port):
            self.stop()
            raise RuntimeError("nginx did not start")

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def requests(self):
        log = self.dir / "access.log"
        if not log.exists():
            return []
        return [line.split('"')[1].split()[1] for line in log.read_text().splitlines() if '"' in line]

    def served(self):
        """The paths answered with 200."""
        log = self.dir / "access.log"
        if not log.exists():
            return []
        out = []
        for line in log.read_text().splitlines():
            parts = line.split('"')
            if len(parts) > 2 and parts[2].split()[:1] == ["200"]:
                out.append(parts[1].split()[1])
        return out



# An even second: DOS times keep two-second steps.
BASE_TIME = datetime.datetime(2021, 6, 15, 8, 30, 0, tzinfo=datetime.timezone.utc).timestamp()


def make_tree(folder, files, shift=0):
    """Writes {relative posix path: bytes}, every file stamped
    BASE_TIME + shift + 2 * index."""
    folder = Path(folder)
    for i, (rel, data) in enumerate(sorted(files.items())):
        path = folder / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        stamp = BASE_TIME + shift + 2 * i
        os.utime(path, (stamp, stamp))
    return folder


def publish(src, out, mirror=None, *extra):
    cmd = [PY, str(TOOLS / "publish.py"), "--src", str(src), "--out", str(out)]
    if mirror:
        cmd += ["--mirror", str(mirror)]
    subprocess.run(cmd + list(extra), check=True, timeout=120, stdout=subprocess.DEVNULL)
    return Path(out) / "files.ver"


def tree(folder, skip=()):
    """{relative posix path: (bytes, mtime)} of every file below the folder."""
    folder = Path(folder)
    out = {}
    for path in sorted(folder.rglob("*")):
        rel = path.relative_to(folder).as_posix()
        if path.is_file() and rel not in skip:
            out[rel] = (path.read_bytes(), int(path.stat().st_mtime))
    return out


def split_kept(folder, skip=()):
    """(the installed tree without the files in transfer, the names of the
    targets whose new files wait for the next run's commit)."""
    installed = {rel: v for rel, v in tree(folder, skip).items() if not rel.endswith(".~tv")}
    kept = sorted(rel[:-4] for rel in tree(folder, skip) if rel.endswith(".~tv") and not rel.endswith(".~tv.~tv"))
    return installed, kept


def pattern(size, seed=0):
    """Incompressible-enough bytes of a given size, the same for a seed."""
    import random
    return random.Random(seed).randbytes(size)
