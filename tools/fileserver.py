#!/usr/bin/python3
"""TCP file server for the Tovimar download protocol.

Serves a published folder (the folder holding files.ver and the client's
files at their relative paths, as written by publish.py).

Wire format, all integers 32-bit little-endian:
  request  length (text length + 4, signed), then the text:
             "#UPDVER"              announcement, never answered
             "NAME;OFFSET;COUNT"    chunk request, NAME with backslashes
  reply    header: bits 0-30 whole reply length including the header,
                   bit 31 set = payload is one zlib stream,
                   bit 31 clear = payload is XOR-scrambled with SCRAMBLE_KEY
           then the payload.
A reply carrying fewer than COUNT content bytes ends the file; a missing
file gets an empty reply (header 4).

Fault switches make the server misbehave on purpose so that the client's
error paths can be tested. Each fault is a small class below; to add one,
write a subclass of Fault and list it in FAULTS.
"""

import argparse
import fnmatch
import os
import signal
import socketserver
import struct
import sys
import threading
import zlib
from dataclasses import dataclass

CHUNK_SIZE = 0x40000                  # the most content bytes one reply carries
RECEIVE_CAPACITY = CHUNK_SIZE + 128   # the client's receive buffer: largest payload
COMPRESSED_FLAG = 0x80000000
SCRAMBLE_KEY = b"q7mw5190tzkdrHHXBzqwevr286nbvc"
ANNOUNCE = "#UPDVER"
MANIFEST_NAME = "files.ver"
TEXT_ENCODING = "cp1252"              # the client's 8-bit text
MAX_REQUEST = 4 + 4096                # longest request message accepted
EMPTY_REPLY = struct.pack("<I", 4)


# --- reply encoding -------------------------------------------------------

def scramble(data: bytes) -> bytes:
    """XOR with the repeating key, starting at its first character.
    Its own inverse."""
    if not data:
        return b""
    reps = len(data) // len(SCRAMBLE_KEY) + 1
    key = (SCRAMBLE_KEY * reps)[: len(data)]
    x = int.from_bytes(data, "little") ^ int.from_bytes(key, "little")
    return x.to_bytes(len(data), "little")


def frame(payload: bytes, compressed: bool, length: int | None = None) -> bytes:
    """Header plus payload; `length` overrides the header's length field."""
    if length is None:
        length = len(payload) + 4
    return struct.pack("<I", length | (COMPRESSED_FLAG if compressed else 0)) + payload


def encode_reply(content: bytes, compressed: bool, empty_zlib: bool = False) -> bytes:
    """The reply for `content`. Empty content gets a bare header 4 unless
    `empty_zlib` asks for a zlib stream of nothing in compressed mode."""
    if not content and not (compressed and empty_zlib):
        return EMPTY_REPLY
    if compressed:
        payload = zlib.compress(content)
        if len(payload) <= RECEIVE_CAPACITY:
            return frame(payload, True)
    return frame(scramble(content), False)


# --- requests -------------------------------------------------------------

@dataclass(frozen=True)
class ChunkRequest:
    name: str
    offset: int
    count: int


def _is_decimal(text: str) -> bool:
    return text.isascii() and text.isdigit()


def parse_request(text: str) -> ChunkRequest | None:
    """'NAME;OFFSET;COUNT' -> ChunkRequest; None when malformed. The name
    may itself hold ';', so the numbers are taken from the right."""
    parts = text.rsplit(";", 2)
    if len(parts) != 3 or not parts[0]:
        return None
    name, offset, count = parts
    if not (_is_decimal(offset) and _is_decimal(count)):
        return None
    return ChunkRequest(name, int(offset), int(count))


def resolve(root: str, name: str) -> str | None:
    """The file under `root` for a manifest name, or None when the name is
    not a plain relative path inside the folder or names no regular file.
    `root` must be a real path (os.path.realpath)."""
    rel = name.replace("\\", "/")
    if "\0" in rel or ":" in rel or rel.startswith("/"):
        return None
    parts = [p for p in rel.split("/") if p not in ("", ".")]
    if not parts or ".." in parts:
        return None
    path = os.path.realpath(os.path.join(root, *parts))
    if os.path.commonpath([root, path]) != root or not os.path.isfile(path):
        return None
    return path


def read_range(path: str, offset: int, count: int) -> bytes:
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read(count)
    except OSError:
        return b""


# --- faults ---------------------------------------------------------------

@dataclass
class Reply:
    """What to do for one message."""
    data: bytes
    close: bool = False   # drop the connection once `data` is sent
    stall: float = 0.0    # seconds to wait before sending anything


class Fault:
    """A deliberate misbehaviour, chosen on the command line.

    `option` is the switch; `value_type` is None for a plain flag, else the
    argparse type of its value. reply() and announce() return a Reply to
    send instead of the normal one, or None to stay out of it this time.
    """
    option = ""
    help = ""
    value_type = None
    metavar = None

    def __init__(self, value):
        self.value = value

    def reply(self, conn, content: bytes, compressed: bool, wire: bytes) -> Reply | None:
        return None

    def announce(self, conn) -> Reply | None:
        return None


class CloseAfter(Fault):
    option = "--close-after"
    value_type = int
    metavar = "N"
    help = ("close the connection once N bytes of replies to matching files "
            "have been sent on it, in the middle of a reply")

    def reply(self, conn, content, compressed, wire):
        sent = conn.fault_bytes
        if sent + len(wire) < self.value:
            conn.fault_bytes = sent + len(wire)
            return None
        return Reply(wire[: max(0, self.value - sent)], close=True)


class LengthOver(Fault):
    option = "--length-over"
    help = ("send a header whose length exceeds the client's receive buffer, "
            "some bytes, then close")
    EXTRA = 1024

    def reply(self, conn, content, compressed, wire):
        some = (wire[4:] + bytes(self.EXTRA))[: self.EXTRA]
        return Reply(frame(some, compressed, RECEIVE_CAPACITY + 4 + self.EXTRA), close=True)


class LengthBelow(Fault):
    option = "--length-below"
    help = "send a bare header with length field 2 (below its own size)"

    def reply(self, conn, content, compressed, wire):
        return Reply(frame(b"", compressed, 2))


class CorruptZlib(Fault):
    option = "--corrupt-zlib"
    help = "send a compressed reply with bytes flipped in the middle of the deflate data"

    def reply(self, conn, content, compressed, wire):
        data = bytearray(zlib.compress(content))
        body_start, body_end = 2, len(data) - 4     # zlib header, adler-32
        mid = body_start + (body_end - body_start) // 2
        for i in range(mid, min(mid + 4, body_end)):
            data[i] ^= 0xFF
        return Reply(frame(bytes(data), True))


class BadAdler(Fault):
    option = "--bad-adler"
    help = "send a compressed reply whose deflate data is valid but adler-32 is wrong"

    def reply(self, conn, content, compressed, wire):
        data = bytearray(zlib.compress(content))
        for i in range(len(data) - 4, len(data)):
            data[i] ^= 0x5A
        return Reply(frame(bytes(data), True))


class Stall(Fault):
    option = "--stall"
    value_type = float
    metavar = "SECONDS"
    help = "wait SECONDS instead of replying, then close the connection"

    def reply(self, conn, content, compressed, wire):
        return Reply(b"", close=True, stall=self.value)


class ReplyToAnnounce(Fault):
    option = "--reply-to-announce"
    help = "answer #UPDVER with a well-formed but unexpected scrambled reply"
    CONTENT = b"unexpected reply"

    def announce(self, conn):
        return Reply(frame(scramble(self.CONTENT), False))


FAULTS = [CloseAfter, LengthOver, LengthBelow, CorruptZlib, BadAdler, Stall, ReplyToAnnounce]


def fault_dest(cls) -> str:
    return cls.option.lstrip("-").replace("-", "_")


# --- server ---------------------------------------------------------------

class FileServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, mode="compressed", log_path=None, fault=None,
                 fault_glob=None, fault_once=False, empty_zlib=False, fault_times=None):
        self.root = os.path.realpath(root)
        self.mode = mode
        self.fault = fault
        self.fault_glob = fault_glob
        # How often the fault may fire: --fault-once is once, --fault-times N.
        self.fault_times = 1 if fault_once else fault_times
        self.empty_zlib = empty_zlib
        self.stopping = threading.Event()
        self._fault_lock = threading.Lock()
        self._fault_fired = 0
        self._log_lock = threading.Lock()
        self._log = open(log_path, "a", encoding=TEXT_ENCODING, errors="replace",
                         newline="\n") if log_path else None
        super().__init__(address, Connection)

    def log(self, text: str) -> None:
        if self._log:
            with self._log_lock:
                self._log.write(text + "\n")
                self._log.flush()

    def fault_matches(self, name: str) -> bool:
        if self.fault_glob is None:
            return name.lower() != MANIFEST_NAME
        return any(fnmatch.fnmatchcase(n, self.fault_glob)
                   for n in (name, name.replace("\\", "/")))

    def take_fault(self, attempt) -> Reply | None:
        """Run `attempt(fault)`; with --fault-once or --fault-times only until
        it has fired that often."""
        if self.fault is None:
            return None
        with self._fault_lock:
            if self.fault_times is not None and self._fault_fired >= self.fault_times:
                return None
            reply = attempt(self.fault)
            if reply is not None:
                self._fault_fired += 1
            return reply

    def server_close(self):
        super().server_close()
        if self._log:
            self._log.close()
            self._log = None


class Connection(socketserver.BaseRequestHandler):
    """One client; requests and replies strictly alternate."""

    def setup(self):
        self.replies = 0
        self.fault_bytes = 0     # bytes of replies to matching files sent so far

    def handle(self):
        while not self.server.stopping.is_set():
            text = self.read_message()
            if text is None:
                return
            self.server.log(text)
            if text == ANNOUNCE:
                reply = self.server.take_fault(lambda f: f.announce(self))
            else:
                reply = self.answer(text)
            if reply is not None and not self.send(reply):
                return

    def next_is_compressed(self) -> bool:
        mode = self.server.mode
        if mode == "alternate":
            compressed = self.replies % 2 == 0
        else:
            compressed = mode == "compressed"
        self.replies += 1
        return compressed

    def answer(self, text: str) -> Reply:
        compressed = self.next_is_compressed()
        request = parse_request(text)
        if request is None:
            return Reply(EMPTY_REPLY)
        path = resolve(self.server.root, request.name)
        count = min(request.count, CHUNK_SIZE)
        content = read_range(path, request.offset, count) if path and count else b""
        wire = encode_reply(content, compressed, self.server.empty_zlib)
        if self.server.fault_matches(request.name):
            faulty = self.server.take_fault(
                lambda f: f.reply(self, content, compressed, wire))
            if faulty is not None:
                return faulty
        return Reply(wire)

    def read_exact(self, n: int) -> bytes | None:
        buf = bytearray()
        while len(buf) < n:
            try:
                piece = self.request.recv(n - len(buf))
            except OSError:
                return None
            if not piece:
                return None
            buf += piece
        return bytes(buf)

    def read_message(self) -> str | None:
        head = self.read_exact(4)
        if head is None:
            return None
        (length,) = struct.unpack("<i", head)
        if length < 4 or length > MAX_REQUEST:
            return None
        body = self.read_exact(length - 4)
        if body is None:
            return None
        return body.decode(TEXT_ENCODING, errors="replace")

    def send(self, reply: Reply) -> bool:
        """Send a reply; False when the connection is to be dropped."""
        if reply.stall and self.server.stopping.wait(reply.stall):
            return False
        try:
            if reply.data:
                self.request.sendall(reply.data)
        except OSError:
            return False
        return not reply.close


# --- command line ---------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description="Serve a published folder over the Tovimar TCP file protocol.")
    p.add_argument("--root", required=True, help="published folder (holds files.ver)")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=int, default=0,
                   help="port to listen on; 0 picks a free one (default). "
                        "The port is printed as 'PORT <n>' once listening")
    p.add_argument("--mode", choices=("compressed", "scrambled", "alternate"),
                   default="compressed",
                   help="reply encoding; alternate switches on every reply of a "
                        "connection, starting compressed (default %(default)s)")
    p.add_argument("--empty-zlib", action="store_true",
                   help="in compressed mode send empty content as a zlib stream "
                        "of nothing instead of a bare header 4")
    p.add_argument("--log", metavar="FILE",
                   help="append every request text to FILE, one line each")
    faults = p.add_argument_group("fault switches (at most one)")
    excl = faults.add_mutually_exclusive_group()
    for cls in FAULTS:
        if cls.value_type is None:
            excl.add_argument(cls.option, dest=fault_dest(cls), action="store_true",
                              help=cls.help)
        else:
            excl.add_argument(cls.option, dest=fault_dest(cls), type=cls.value_type,
                              metavar=cls.metavar, help=cls.help)
    faults.add_argument("--fault-file", metavar="GLOB",
                        help="apply the fault to replies for names matching GLOB "
                             "(backslash or slash form); default: every file "
                             "except files.ver")
    faults.add_argument("--fault-once", action="store_true",
                        help="apply the fault only the first time it would happen")
    faults.add_argument("--fault-times", type=int, metavar="N",
                        help="apply the fault only the first N times it would happen")
    return p


def chosen_fault(args) -> Fault | None:
    for cls in FAULTS:
        value = getattr(args, fault_dest(cls))
        if value is not None and value is not False:
            return cls(value)
    return None


def serve_until_signal(server: FileServer) -> None:
    signals = {signal.SIGINT, signal.SIGTERM}
    if hasattr(signal, "pthread_sigmask"):
        # Block the stop signals before any thread exists, so every thread
        # inherits the mask and only sigwait below receives them.
        signal.pthread_sigmask(signal.SIG_BLOCK, signals)
        worker = threading.Thread(target=server.serve_forever, args=(0.1,), daemon=True)
        worker.start()
        signal.sigwait(signals)
    else:
        worker = threading.Thread(target=server.serve_forever, args=(0.1,), daemon=True)
        worker.start()
        try:
            while worker.is_alive():
                worker.join(0.5)
        except KeyboardInterrupt:
            pass
    server.stopping.set()
    server.shutdown()


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if not os.path.isdir(args.root):
        print(f"fileserver: no such folder: {args.root}", file=sys.stderr)
        return 2
    server = FileServer((args.host, args.port), args.root, mode=args.mode,
                        log_path=args.log, fault=chosen_fault(args),
                        fault_glob=args.fault_file, fault_once=args.fault_once, fault_times=args.fault_times,
                        empty_zlib=args.empty_zlib)
    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        serve_until_signal(server)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
