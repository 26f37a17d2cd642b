"""tools/shaper.py: bytes pass unchanged both ways and half-closes carry
through; a request pays the handshake and a round trip; a transfer is held
to the capped rate, and two connections share one link. Times are checked
only from below (the link can never be faster than its model) with a
deadline above. Also: a tool's start (servers.Service) waits for its port
no longer than its deadline."""
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)

from servers import Shaper  # noqa: E402

DEADLINE = 20.0


class Echo:
    """A server that answers each connection: it reads to the client's
    half-close, then sends back `reply(request)` and closes."""

    def __init__(self, reply):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(DEADLINE)
        self.port = self.sock.getsockname()[1]
        self.reply = reply
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(c,), daemon=True).start()

    def answer(self, c):
        with c:
            c.settimeout(DEADLINE)
            data = b""
            while True:
                k = c.recv(65536)
                if not k:
                    break
                data += k
            c.sendall(self.reply(data))


def exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as s:
        s.sendall(request)
        s.shutdown(socket.SHUT_WR)
        out = b""
        while True:
            k = s.recv(65536)
            if not k:
                return out
            out += k


@pytest.fixture
def echo():
    server = Echo(lambda data: data[::-1])
    yield server
    server.sock.close()


@pytest.mark.parametrize("rtt_ms, mbit, size, at_least", [
    # a small request: handshake and one round trip (2 x 100 ms)
    (100, 0, 10, 0.2),
    # 1.25 MB each way at 20 Mbit/s: 0.5 s per direction, plus the round trips
    (10, 20, 1250000, 1.0),
])
def test_a_link_delays_and_keeps_bytes(echo, rtt_ms, mbit, size, at_least):
    payload = os.urandom(size)
    with Shaper(echo.port, rtt_ms, mbit) as link:
        t0 = time.monotonic()
        got = exchange(link.port, payload)
        took = time.monotonic() - t0
    assert got == payload[::-1]
    assert at_least <= took < DEADLINE


def test_connections_share_one_link(echo, tmp_path):
    # Two replies of 1 MB each at 40 Mbit/s: together at least 0.4 s, which
    # one link each would have done in 0.2. The stats count both.
    big = Echo(lambda data: b"x" * 1000000)
    try:
        with Shaper(big.port, 2, 40, stats=tmp_path / "stats.json") as link:
            t0 = time.monotonic()
            threads = [threading.Thread(target=exchange, args=(link.port, b"go")) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(DEADLINE)
            took = time.monotonic() - t0
            stats = link.stats()
            assert {k: stats[k] for k in ("up", "down", "connections")} == {"up": 4, "down": 2000000, "connections": 2}
        assert 0.4 <= took < DEADLINE
        # The clock the stats keep is the caller's: both openings and the last
        # byte fall within the exchange, at least the two replies apart.
        assert len(stats["opened"]) == 2 and t0 <= min(stats["opened"])
        assert min(stats["opened"]) + 0.4 <= stats["last_down"] <= t0 + took
    finally:
        big.sock.close()


def test_a_server_that_is_down_closes_the_client():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        dead = s.getsockname()[1]
    with Shaper(dead, 10, 0) as link:
        assert exchange(link.port, b"hello") == b""
        assert link.proc.poll() is None


def test_stops_when_terminated(echo):
    link = Shaper(echo.port, 10, 0)
    link.proc.terminate()
    try:
        link.proc.wait(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        link.proc.kill()
        pytest.fail("the shaper did not stop")


@pytest.mark.parametrize("cmd", [
    ["sleep", "60"],                                   # neither prints nor ends
    ["sh", "-c", "echo starting; sleep 60"],           # prints, but never its port
    ["sh", "-c", "echo nothing"],                      # ends without it
])
def test_a_tool_that_never_gives_its_port_fails_in_time(cmd):
    from servers import Service
    service = Service()
    t0 = time.monotonic()
    with pytest.raises(RuntimeError):
        service.start(cmd, "the tool", timeout=1)
    assert time.monotonic() - t0 < 10
    assert service.proc.poll() is not None


def test_a_port_after_other_lines_is_found():
    from servers import Service
    service = Service()
    service.start(["sh", "-c", "echo one; echo 'PORT 4242'; sleep 60"], "the tool", timeout=5)
    try:
        assert service.port == 4242
    finally:
        service.stop()
