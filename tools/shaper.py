#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that makes loopback look like a wide-area link:
a round-trip time and a bandwidth cap, in both directions, between its
clients and one server.

Model: each direction is one link shared by every connection through the
proxy. A piece read from one side leaves when the link is free and its bytes
have been clocked out at the capped rate, and arrives half a round trip
later. A new connection pays one round trip (the handshake) before its first
byte may leave. Not modelled: slow start, loss, the kernel's own buffers.

    shaper.py --to 127.0.0.1:8080 --rtt-ms 40 --mbit 100
prints "PORT n" once it listens, and runs until it is stopped. With
--stats FILE it keeps there, as JSON, the bytes carried each way and the
connections so far, rewritten within a tenth of a second of a change, with
the times (time.monotonic(), the same clock in every process here) at which the latest connections
opened and the last byte towards the clients left."""
import argparse
import asyncio
import collections
import json
import os
import sys
import time

PIECE = 16 * 1024          # read size: 1.3 ms on the wire at 100 Mbit/s
QUEUED = 1024 * 1024       # bytes a direction of one connection holds before its reader waits


class Link:
    """One direction: when it is next free, at what rate, with what delay."""

    def __init__(self, bytes_per_second, one_way):
        self.rate = bytes_per_second
        self.delay = one_way
        self.free_at = 0.0
        self.carried = 0

    def arrival(self, now, size, not_before=0.0):
        self.carried += size
        start = max(now, self.free_at, not_before)
        self.free_at = start + (size / self.rate if self.rate else 0.0)
        return self.free_at + self.delay


async def pump(reader, writer, link, opened_at, clock=None):
    """Copies one direction through the link until the reader's end."""
    loop = asyncio.get_running_loop()
    queue = collections.deque()
    queued = 0
    more = asyncio.Event()
    room = asyncio.Event()
    room.set()
    done = broken = False

    async def deliver():
        nonlocal queued, broken
        try:
            await send()
        except (ConnectionError, OSError):
            broken = True
            room.set()

    async def send():
        nonlocal queued
        while True:
            while not queue:
                if done:
                    return
                more.clear()
                await more.wait()
            at, data = queue.popleft()
            wait = at - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
            if clock is not None:
                clock["last_down"] = time.monotonic()
            queued -= len(data)
            if queued < QUEUED:
                room.set()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            await room.wait()
            if broken:
                break
            data = await reader.read(PIECE)
            if not data:
                break
            queue.append((link.arrival(loop.time(), len(data), opened_at), data))
            queued += len(data)
            if queued >= QUEUED:
                room.clear()
            more.set()
    except (ConnectionError, OSError):
        pass
    done = True
    more.set()
    await sender
    try:
        if not broken and writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        pass


async def serve(args):
    host, port = args.to.rsplit(":", 1)
    rate = args.mbit * 1e6 / 8 if args.mbit else 0.0
    one_way = args.rtt_ms / 2000.0
    up, down = Link(rate, one_way), Link(rate, one_way)
    connections = 0
    clock = {"opened": collections.deque(maxlen=64), "last_down": None}

    async def connection(creader, cwriter):
        nonlocal connections
        connections += 1
        loop = asyncio.get_running_loop()
        clock["opened"].append(time.monotonic())
        # The handshake's round trip comes before the first byte of data.
        opened_at = loop.time() + 2 * one_way
        try:
            sreader, swriter = await asyncio.open_connection(host, int(port))
        except OSError:
            cwriter.close()
            return
        try:
            await asyncio.gather(pump(creader, swriter, up, opened_at), pump(sreader, cwriter, down, opened_at, clock))
        finally:
            for w in (swriter, cwriter):
                w.close()

    async def keep_stats():
        written = None
        while True:
            now = {"up": up.carried, "down": down.carried, "connections": connections,
                   "opened": list(clock["opened"]), "last_down": clock["last_down"]}
            if now != written:
                temporary = args.stats + ".new"
                with open(temporary, "w") as f:
                    json.dump(now, f)
                os.replace(temporary, args.stats)
                written = now
            await asyncio.sleep(0.1)

    server = await asyncio.start_server(connection, "127.0.0.1", args.port, backlog=128)
    if args.stats:
        asyncio.ensure_future(keep_stats())
    print(f"PORT {server.sockets[0].getsockname()[1]}", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--to", required=True, help="the server, host:port")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free one)")
    parser.add_argument("--rtt-ms", type=float, default=40.0, help="round-trip time added, in ms")
    parser.add_argument("--mbit", type=float, default=100.0, help="bandwidth of each direction, Mbit/s (0: none)")
    parser.add_argument("--stats", help="file that keeps the bytes carried and the connections, as JSON")
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
