"""Tests of the companion tools: tools/publish.py and tools/fileserver.py.

Run with: /usr/bin/python3 -m pytest tests/tools
Every server runs as a subprocess on 127.0.0.1 with a port it picks itself,
and is killed at the end of its test.
"""

import base64
import calendar
import contextlib
import hashlib
import os
import re
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time
import zlib

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)

import patch  # noqa: E402
import publish  # noqa: E402
import signing  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
FILESERVER = os.path.join(TOOLS, "fileserver.py")
PUBLISH = os.path.join(TOOLS, "publish.py")
DEADLINE = 5.0
CHUNK = 262144
KEY = b"q7mw5190tzkdrHHXBzqwevr286nbvc"
FLAG = 0x80000000


def utc(*fields):
    return calendar.timegm(fields + (0,) * (6 - len(fields)))


# --- fixtures and helpers -------------------------------------------------

FILES = {
    "small.txt": b"hello",
    "bin/app.dll": os.urandom(300000),
    "exact.bin": os.urandom(CHUNK),
    "plus1.bin": os.urandom(CHUNK + 1),
    "empty.dat": b"",
    "zeros31.bin": bytes(31),
    "files.ver": b"[CLIENT]\r\nsmall.txt=5,976180160\r\n",
}


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    base = tmp_path_factory.mktemp("served")
    (base / "secret.txt").write_bytes(b"outside the published folder")
    top = base / "root"
    for name, data in FILES.items():
        path = top / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    os.symlink(base / "secret.txt", top / "link.txt")
    return top


def read_port(proc):
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    out = b""
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        if not sel.select(timeout=end - time.monotonic()):
            continue
        piece = os.read(proc.stdout.fileno(), 1024)
        if not piece:
            break
        out += piece
        m = re.search(rb"^PORT (\d+)\r?$", out, re.M)
        if m:
            return int(m.group(1))
    raise AssertionError(f"no PORT line from the server, got {out!r}")


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=DEADLINE)


@contextlib.contextmanager
def server(root, *args, logdir=None):
    cmd = [PYTHON, FILESERVER, "--root", str(root), *args]
    if logdir is not None:
        cmd += ["--log", str(logdir / "requests.log")]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    try:
        yield read_port(proc), proc
    finally:
        stop(proc)
        proc.stdout.close()


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)

    def close(self):
        self.sock.close()

    def send(self, text):
        data = text.encode("cp1252")
        self.sock.sendall(struct.pack("<i", len(data) + 4) + data)

    def recv_upto(self, n):
        """Up to n bytes; fewer when the server closes the connection."""
        buf = b""
        while len(buf) < n:
            piece = self.sock.recv(n - len(buf))
            if not piece:
                break
            buf += piece
        return buf

    def recv_all(self):
        return self.recv_upto(1 << 24)

    def reply(self):
        """(header, payload) of one complete reply."""
        head = self.recv_upto(4)
        assert len(head) == 4, f"reply header cut short: {head!r}"
        (header,) = struct.unpack("<I", head)
        payload = self.recv_upto(max(0, (header & ~FLAG) - 4))
        assert len(payload) == max(0, (header & ~FLAG) - 4)
        return header, payload

    def request(self, name, offset=0):
        self.send(f"{name};{offset};{CHUNK}")
        return self.reply()

    def chunk(self, name, offset=0):
        """(compressed, content) of one chunk."""
        header, payload = self.request(name, offset)
        if not payload:
            return bool(header & FLAG), b""
        if header & FLAG:
            return True, zlib.decompress(payload)
        return False, xor(payload)

    def fetch(self, name):
        """The whole file the way the client fetches it, and the reply flags."""
        data, flags = b"", []
        while True:
            compressed, content = self.chunk(name, len(data))
            flags.append(compressed)
            data += content
            if len(content) < CHUNK:
                return data, flags


def xor(data):
    return bytes(b ^ KEY[i % len(KEY)] for i, b in enumerate(data))


@pytest.fixture
def client_of():
    clients = []

    def connect(port):
        clients.append(Client(port))
        return clients[-1]

    yield connect
    for c in clients:
        c.close()


# --- publish: names and time stamps ---------------------------------------

@pytest.mark.parametrize("stamp, value, folder", [
    (utc(2009, 1, 15, 10, 30, 0), 976180160, "0901"),
    (utc(2009, 1, 15, 10, 30, 1), 976180160, "0901"),     # odd seconds round down
    (utc(2008, 12, 31, 23, 59, 58), None, "0800"),
    (utc(2009, 1, 1, 0, 0, 0), None, "0901"),
    (utc(2015, 10, 20, 12, 0, 0), None, "1510"),
    (utc(1999, 6, 1), None, "0800"),
    (utc(1975, 3, 3), (1 << 21) | (1 << 16), "0800"),     # before 1980: clamped
])
def test_dos_time_and_month_folder(stamp, value, folder):
    v = publish.dos_time(stamp)
    if value is not None:
        assert v == value
    assert publish.month_folder(v) == folder


@pytest.mark.parametrize("name, size, v, months, expected", [
    ("bin\\app.dll", 1234, 976180160, True, "0901/976180160_1234_bin_app.dll"),
    ("bin\\app.dll", 1234, 976180160, False, "976180160_1234_bin_app.dll"),
    ("a\\b\\c.dat", 0, publish.dos_time(utc(2015, 10, 2)),
     True, f"1510/{publish.dos_time(utc(2015, 10, 2))}_0_a_b_c.dat"),
    ("old.txt", 7, publish.dos_time(utc(2008, 5, 5)),
     True, f"0800/{publish.dos_time(utc(2008, 5, 5))}_7_old.txt"),
])
def test_mirror_name(name, size, v, months, expected):
    assert publish.mirror_name(name, size, v, months) == expected


# --- publish: the whole run ------------------------------------------------

SRC = {  # relative path: (content, modification time)
    "bin/app.dll": (os.urandom(1234), utc(2009, 1, 15, 10, 30, 0)),
    "readme.txt": (b"read me\r\n", utc(2015, 10, 20, 8, 0, 0)),
    "server/db.dat": (b"", utc(2008, 12, 31, 23, 0, 0)),
}


def make_src(path):
    for rel, (data, stamp) in SRC.items():
        f = path / rel
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_bytes(data)
        os.utime(f, (stamp, stamp))


def run_publish(*args):
    # A local time zone far from UTC: the stamps must not depend on it.
    env = dict(os.environ, TZ="JST-9")
    return subprocess.run([PYTHON, PUBLISH, *args], env=env, capture_output=True,
                          timeout=DEADLINE, check=True)


@pytest.mark.parametrize("extra, eol, months", [
    ([], "\r\n", True),
    (["--line-end", "lf", "--no-month-folders"], "\n", False),
])
def test_publish_writes_manifest_copies_and_mirror(tmp_path, extra, eol, months):
    src, out, mirror = tmp_path / "src", tmp_path / "out", tmp_path / "mirror"
    make_src(src)
    run_publish("--src", str(src), "--out", str(out), "--mirror", str(mirror),
                "--section-map", "server/*=SERVERONLY",
                "--site", "http://m1/files=3", "--site", "http://m2/files", *extra)

    v = {rel: publish.dos_time(stamp) for rel, (_, stamp) in SRC.items()}
    h = {rel: hashlib.sha256(data).hexdigest() for rel, (data, _) in SRC.items()}
    expected = eol.join([
        "[CLIENT]",
        f"bin\\app.dll=1234,976180160,sha256={h['bin/app.dll']}",
        f"readme.txt=9,{v['readme.txt']},sha256={h['readme.txt']}",
        "[SERVERONLY]",
        f"server\\db.dat=0,{v['server/db.dat']},sha256={h['server/db.dat']}",
        "[SITES]",
        "http://m1/files=3",
        "http://m2/files",
    ]) + eol
    assert (out / "files.ver").read_bytes() == expected.encode()

    for rel, (data, _) in SRC.items():
        assert (out / rel).read_bytes() == data
        name = rel.replace("/", "\\")
        stored = mirror / publish.mirror_name(name, len(data), v[rel], months)
        assert zlib.decompress(stored.read_bytes()) == data
    assert (mirror / "0800").is_dir() == months


def test_publish_writes_patches_from_earlier_versions(tmp_path):
    # Two earlier versions of a library, a file too small for a patch, and
    # one that did not change.
    lib = CODE * 2
    versions = {"v1": {"lib.dll": lib, "small.txt": b"a" * 100, "same.dat": lib},
                "v2": {"lib.dll": _edited(lib, 7), "small.txt": b"b" * 100, "same.dat": lib},
                "v3": {"lib.dll": _edited(_edited(lib, 7), 8), "small.txt": b"c" * 100, "same.dat": lib}}
    for name, files in versions.items():
        for rel, data in files.items():
            (tmp_path / name / rel).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name / rel).write_bytes(data)
    run_publish("--src", str(tmp_path / "v1"), "--out", str(tmp_path / "pub1"))
    run_publish("--src", str(tmp_path / "v2"), "--out", str(tmp_path / "pub2"))
    run_publish("--src", str(tmp_path / "v3"), "--out", str(tmp_path / "pub3"), "--mirror", str(tmp_path / "m3"),
                "--previous", str(tmp_path / "pub2"), "--previous", str(tmp_path / "pub1"))
    lines = {line.split("=", 1)[0]: line for line in (tmp_path / "pub3" / "files.ver").read_text().splitlines()}
    new = versions["v3"]["lib.dll"]
    fields = lines["lib.dll"].split(",")
    assert fields[2] == "sha256=" + hashlib.sha256(new).hexdigest()
    patches = [f[len("patch="):].split(":") for f in fields[3:]]
    assert [base for base, _, _ in patches] == [hashlib.sha256(versions[v]["lib.dll"]).hexdigest()
                                                 for v in ("v2", "v1")]
    for (base, size, digest), v in zip(patches, ("v2", "v1")):
        stored = [tmp_path / "pub3" / publish.patch_name("lib.dll", base)]
        stored += list((tmp_path / "m3").rglob("*" + publish.patch_name("", base)))
        assert len(stored) == 2
        for path in stored:
            data = path.read_bytes()
            assert (len(data), hashlib.sha256(data).hexdigest()) == (int(size), digest)
            assert patch.apply_patch(versions[v]["lib.dll"], data) == new
    # The other lines are as a list without patches has them.
    assert "patch=" not in lines["small.txt"] + lines["same.dat"]


SIGNING = os.path.join(TOOLS, "signing.py")


def verify_block(text: bytes, entry: str):
    """Checks the signature block of a list as the program does; the serial."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
    key_id, point = entry.split("=", 1)
    raw = base64.b64decode(point)
    public = ec.EllipticCurvePublicNumbers(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"),
                                          ec.SECP256R1()).public_key()
    at = text.rindex(b"signature=")
    line = text[at:].rstrip(b"\r\n").decode()
    assert line.startswith(f"signature={key_id}:")
    sig = base64.b64decode(line.split(":", 1)[1])
    assert len(sig) == 64
    public.verify(encode_dss_signature(int.from_bytes(sig[:32], "big"), int.from_bytes(sig[32:], "big")),
                  text[:at], ec.ECDSA(hashes.SHA256()))
    serial_line = text[:at].rstrip(b"\r\n").rsplit(b"\r\n", 1)[1]
    assert text[:at].rstrip(b"\r\n").rsplit(b"\r\n", 2)[1] == b"[SITES]"
    return int(serial_line.split(b"=")[1])


def test_a_new_key_signs_what_publish_writes(tmp_path):
    key = tmp_path / "k.pem"
    made = subprocess.run([PYTHON, SIGNING, "new-key", "--out", str(key), "--id", "rel-2027"], capture_output=True,
                          timeout=DEADLINE, check=True, text=True)
    entry = made.stdout.strip()
    # The form the build takes for TOVIMAR_SIGNING_KEYS.
    assert re.fullmatch(r"rel-2027=[A-Za-z0-9+/]{86}==", entry)
    assert os.stat(key).st_mode & 0o077 == 0
    assert subprocess.run([PYTHON, SIGNING, "entry", str(key), "--id", "rel-2027"], capture_output=True,
                          timeout=DEADLINE, check=True, text=True).stdout.strip() == entry
    src, out = tmp_path / "src", tmp_path / "out"
    make_src(src)
    run_publish("--src", str(src), "--out", str(out), "--site", "http://m1/files", "--key", str(key),
                "--key-id", "rel-2027", "--serial", "42")
    text = (out / "files.ver").read_bytes()
    assert verify_block(text, entry) == 42
    assert signing.unsigned_part(text).endswith(b"http://m1/files\r\n")
    # Signed again in place: the old block is replaced, not kept.
    subprocess.run([PYTHON, SIGNING, "sign", str(key), str(out / "files.ver"), "--id", "rel-2027", "--serial",
                    "43"], timeout=DEADLINE, check=True)
    again = (out / "files.ver").read_bytes()
    assert again.count(b"signature=") == 1 and verify_block(again, entry) == 43
    with pytest.raises(Exception):
        verify_block(again.replace(b"readme.txt=9", b"readme.txt=8"), entry)
    # A serial far ahead would lock every installation out of the lists signed until then.
    ahead = str(int(time.time()) + 2 * 86400)
    for tool in ([PYTHON, SIGNING, "sign", str(key), str(out / "files.ver"), "--serial", ahead],
                 [PYTHON, PUBLISH, "--src", str(src), "--out", str(tmp_path / "o2"), "--key", str(key),
                  "--serial", ahead]):
        refused = subprocess.run(tool, capture_output=True, timeout=DEADLINE, text=True)
        assert refused.returncode == 1 and "more than a day ahead" in refused.stderr
    assert (out / "files.ver").read_bytes() == again


def test_published_folder_is_served(tmp_path, client_of):
    src, out = tmp_path / "src", tmp_path / "out"
    make_src(src)
    run_publish("--src", str(src), "--out", str(out))
    with server(out) as (port, _):
        c = client_of(port)
        assert c.fetch("files.ver")[0] == (out / "files.ver").read_bytes()
        assert c.fetch("bin\\app.dll")[0] == SRC["bin/app.dll"][0]


# --- fileserver: normal operation ------------------------------------------

@pytest.mark.parametrize("mode, flags", [
    ("compressed", [True, True, True]),
    ("scrambled", [False, False, False]),
    ("alternate", [True, False, True]),
])
def test_round_trip(root, client_of, mode, flags):
    with server(root, "--mode", mode) as (port, _):
        c = client_of(port)
        data, got = c.fetch("bin\\app.dll")
        assert data == FILES["bin/app.dll"]
        manifest, more = c.fetch("files.ver")
        assert manifest == FILES["files.ver"]
        assert got + more == flags


@pytest.mark.parametrize("mode", ["compressed", "scrambled"])
@pytest.mark.parametrize("name, offset", [
    ("exact.bin", 0),
    ("exact.bin", CHUNK),       # a full last chunk is followed by an empty reply
    ("plus1.bin", CHUNK),       # one byte left
    ("empty.dat", 0),
    ("missing.txt", 0),
    ("small.txt", 99),          # offset past the end
])
def test_chunk_replies(root, client_of, mode, name, offset):
    content = FILES.get(name, b"")[offset:offset + CHUNK]
    with server(root, "--mode", mode) as (port, _):
        c = client_of(port)
        if content:
            assert c.chunk(name, offset) == (mode == "compressed", content)
        else:
            assert c.request(name, offset) == (4, b"")   # bare header, bit 31 clear


def test_scrambled_replies_restart_the_key(root, client_of):
    with server(root, "--mode", "scrambled") as (port, _):
        c = client_of(port)
        # zeros XOR key is the key itself: 30 characters, then the first again
        assert c.request("zeros31.bin") == (35, KEY + KEY[:1])
        assert c.request("zeros31.bin") == (35, KEY + KEY[:1])
        assert c.request("small.txt") == (9, bytes(a ^ b for a, b in zip(b"hello", KEY)))


@pytest.mark.parametrize("name", [
    "..\\secret.txt",
    "bin\\..\\..\\secret.txt",
    "../secret.txt",
    "\\secret.txt",
    "C:\\secret.txt",
    "link.txt",                 # a link leading out of the folder
    "bin",                      # a folder is not a file
])
def test_names_never_leave_the_folder(root, client_of, name):
    path_name = str(root.parent / "secret.txt").replace("/", "\\")
    with server(root) as (port, _):
        c = client_of(port)
        assert c.request(name) == (4, b"")
        assert c.request(path_name) == (4, b"")


def test_announcement_is_not_answered_and_requests_are_logged(root, tmp_path, client_of):
    with server(root, logdir=tmp_path) as (port, _):
        c = client_of(port)
        c.send("#UPDVER")
        assert c.chunk("small.txt") == (True, b"hello")
        c.close()
        log = tmp_path / "requests.log"
        assert log.read_text().splitlines() == ["#UPDVER", f"small.txt;0;{CHUNK}"]


def test_clients_are_served_at_once(root, client_of):
    with server(root) as (port, _):
        first, second = client_of(port), client_of(port)
        first.send("#UPDVER")
        assert second.chunk("small.txt") == (True, b"hello")
        assert first.chunk("small.txt") == (True, b"hello")


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stops_on_signal(root, client_of, sig):
    with server(root) as (port, proc):
        c = client_of(port)
        c.send("#UPDVER")              # an open connection must not hold it up
        assert c.chunk("small.txt") == (True, b"hello")
        proc.send_signal(sig)
        assert proc.wait(timeout=DEADLINE) == 0


# --- fileserver: fault switches ---------------------------------------------

APP = "bin\\app.dll"
APP_DATA = FILES["bin/app.dll"]


def check_close_after(c):
    assert c.fetch("files.ver")[0] == FILES["files.ver"]    # not counted, not cut
    assert len(c.request(APP)[1]) == CHUNK                  # 262148 bytes sent whole
    c.send(f"{APP};{CHUNK};{CHUNK}")
    assert c.recv_all() == struct.pack("<I", 37856 + 4) + xor(APP_DATA[CHUNK:])[:6]


def check_close_after_zero(c):
    c.send(f"{APP};0;{CHUNK}")
    assert c.recv_all() == b""


def check_length_over(c):
    c.send(f"{APP};0;{CHUNK}")
    data = c.recv_all()
    (header,) = struct.unpack("<I", data[:4])
    assert (header & ~FLAG) > CHUNK + 128 + 4
    assert 4 < len(data) < (header & ~FLAG)


def check_length_below(c):
    assert c.request(APP) == (FLAG | 2, b"")
    assert c.fetch("files.ver")[0] == FILES["files.ver"]    # still in step


def check_corrupt_zlib(c):
    header, payload = c.request(APP)
    assert header & FLAG and len(payload) > 100
    with pytest.raises(zlib.error):
        zlib.decompress(payload)


def check_bad_adler(c):
    header, payload = c.request("small.txt")
    assert header & FLAG
    assert zlib.decompress(payload[2:-4], -15) == b"hello"
    with pytest.raises(zlib.error, match="incorrect data check"):
        zlib.decompress(payload)


def check_stall(c):
    c.send(f"{APP};0;{CHUNK}")
    start = time.monotonic()
    assert c.recv_all() == b""
    assert time.monotonic() - start >= 0.25


def check_reply_to_announce(c):
    c.send("#UPDVER")
    header, payload = c.reply()
    assert header == len(payload) + 4 and payload


def check_fault_once(c):
    assert c.request(APP) == (FLAG | 2, b"")
    assert c.fetch(APP)[0] == APP_DATA


def check_fault_file(c):
    assert c.request("files.ver") == (FLAG | 2, b"")
    assert c.fetch(APP)[0] == APP_DATA


@pytest.mark.parametrize("args, check", [
    (["--mode", "scrambled", "--close-after", str(CHUNK + 4 + 10)], check_close_after),
    (["--close-after", "0"], check_close_after_zero),
    (["--length-over"], check_length_over),
    (["--length-below"], check_length_below),
    (["--corrupt-zlib"], check_corrupt_zlib),
    (["--mode", "scrambled", "--corrupt-zlib"], check_corrupt_zlib),
    (["--bad-adler"], check_bad_adler),
    (["--stall", "0.3"], check_stall),
    (["--reply-to-announce"], check_reply_to_announce),
    (["--length-below", "--fault-once"], check_fault_once),
    (["--length-below", "--fault-file", "files.ver"], check_fault_file),
], ids=lambda v: v.__name__[6:] if callable(v) else None)
def test_fault_switch(root, client_of, args, check):
    with server(root, *args) as (port, _):
        check(client_of(port))


# -- the build's refusal of a program without keys ----------------------------------

TEST_KEYS = open(os.path.join(TOOLS, "..", "tests", "keys", "test.keys")).read().strip()


@pytest.mark.parametrize("options, configures", [
    ([], False),
    (["-DTOVIMAR_ALLOW_UNSIGNED=ON"], True),
    ([f"-DTOVIMAR_SIGNING_KEYS={TEST_KEYS}"], True),
])
def test_a_program_without_keys_is_configured_only_when_asked_for(tmp_path, options, configures):
    done = subprocess.run(["cmake", "--preset", "win32", "-B", str(tmp_path / "build"), *options],
                          cwd=os.path.join(TOOLS, ".."), capture_output=True, text=True, timeout=120)
    assert (done.returncode == 0) == configures, done.stderr
    if not configures:
        assert "TOVIMAR_ALLOW_UNSIGNED=ON" in done.stderr


def _edited(old: bytes, seed: int) -> bytes:
    """A new version: bytes inserted, removed and changed here and there, as
    a rebuilt program differs from the last."""
    import random
    rng = random.Random(seed)
    new = bytearray(old)
    for _ in range(rng.randrange(1, 8)):
        at = rng.randrange(len(new) + 1)
        kind = rng.randrange(3)
        if kind == 0:
            new[at:at] = rng.randbytes(rng.randrange(1, 300))
        elif kind == 1:
            del new[at:at + rng.randrange(1, 300)]
        else:
            for k in range(at, min(at + 40, len(new)), 4):
                new[k] = (new[k] + 1) & 0xFF
    return bytes(new)


CODE = b"".join(struct.pack("<BI", 0xE8, (i * 977) & 0xFFFF) + bytes(range(i % 7, i % 7 + 11)) for i in range(4000))


@pytest.mark.parametrize("old, new", [
    (b"", b""), (b"", b"all new"), (b"all old", b""), (CODE, CODE),
    (CODE, CODE[5000:] + CODE[:5000]),  # moved whole
    *[(CODE, _edited(CODE, seed)) for seed in range(6)],
])
def test_a_patch_makes_the_new_file_and_costs_what_changed(old, new):
    made = patch.make_patch(old, new)
    assert patch.apply_patch(old, made) == new
    if len(new) > 20000:
        assert len(made) < len(zlib.compress(new, 9)) // 4, (len(made), len(zlib.compress(new, 9)))


@pytest.mark.parametrize("change, why", [
    (lambda p: p[:-1], "not a patch"), (lambda p: p[:40], "shorter than a header"),
    (lambda p: p[:8] + struct.pack("<Q", 1) + p[16:], "another version"),
])
def test_a_broken_patch_is_refused(change, why):
    made = patch.make_patch(CODE, _edited(CODE, 1))
    with pytest.raises(ValueError, match=why):
        patch.apply_patch(CODE, change(made))
