"""An update that meets a broken server, a broken mirror, a hostile manifest or
odd settings neither crashes nor hangs, writes nothing outside its folder and
leaves every file either as it was or as it should become; a clean run
afterwards completes the update. Also: updates killed at random moments, and
the status window closed in the middle of a download."""
import contextlib
import fnmatch
import getpass
import hashlib
import os
import random
import re
import shutil
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

from faultmirror import DownSite, FaultMirror
from servers import FileServerProcess, Nginx, make_tree, pattern, publish, publisher, tree
from winenv import ROOT, TEST_BIN, TOOLS_BIN, client_records, copy_program, kill, linux_path, wait_for, winpath

import fileserver as wire  # noqa: E402  (tools/, put on the path by conftest)

DEADLINE = 120          # seconds any one run of the program may take
CHUNK = wire.CHUNK_SIZE
PART = ".~tv"
HOSTILE = "tvhostile"   # every file name a hostile manifest line asks for holds this


def version(n):
    """Every file differs between versions; sizes from 2 bytes to three chunks."""
    files = {
        "Corvane.exe": pattern(40000 + n, 10 + n),
        "Bin/core.dll": pattern(2 * CHUNK + 75000 + n, 20 + n),
        "Bin/Sub/plugin.dll": pattern(70000 - n, 30 + n),
        "Data/readme.txt": f"version {n}\r\n".encode() * 300,
        "tiny.cfg": f"v{n}".encode(),
    }
    if n == 2:
        files["New/added.bin"] = pattern(CHUNK + 1000, 77)
    return files


def resumable(got, new=None, chunk=262144):
    """The files in transfer kept to go on with, each with its record: whole
    chunks of the server path, or a new file whole, waiting for the commit.
    Removed from `got`; anything else that ends like a file in transfer stays
    in it."""
    kept = []
    for rel in [r for r in got if r.endswith(PART + PART)]:
        part = rel[: -len(PART)]
        whole = new and part[: -len(PART)] in new and got.get(part, (None,))[0] == new[part[: -len(PART)]][0]
        if part in got and got[part][0] and (len(got[part][0]) % chunk == 0 or whole):
            kept += [part, rel]
    for rel in kept:
        got.pop(rel)
    return kept


def installed(inst):
    """The installed tree without the temporary files of a killed run."""
    return {rel: v for rel, v in tree(inst).items() if not rel.endswith(PART)}


def listing(folder, skip=None):
    """{relative path: (size, mtime, digest) or 'dir'} below a folder."""
    folder = Path(folder)
    out = {}
    if not folder.exists():
        return out
    for path in sorted(folder.rglob("*")):
        if skip is not None and (path == skip or skip in path.parents):
            continue
        rel = path.relative_to(folder).as_posix()
        if path.is_file():
            st = path.stat()
            out[rel] = (st.st_size, st.st_mtime_ns, hashlib.sha1(path.read_bytes()).hexdigest())
        else:
            out[rel] = "dir"
    return out


def names(folder):
    folder = Path(folder)
    return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else []


def requested(server):
    """File names the server was asked for, in order, one per chunk request."""
    return [line.rsplit(";", 2)[0] for line in server.requests() if line != "#UPDVER"
            and not line.startswith("files.ver;")]


def mirror_path(rel, data, mtime):
    return "/" + publisher.mirror_name(rel.replace("/", "\\"), len(data), publisher.dos_time(mtime), True)


class Update:
    """Version 1 installed from the file server; version 2 published (as a
    file server folder and a mirror tree); files beside the installation that
    nothing may touch."""

    def __init__(self, win, tmp, inst=None, extra=None):
        self.win, self.tmp = win, tmp
        self.logs = tmp / "logs"
        self.logs.mkdir()
        self.work = tmp / "work"
        self.inst = inst or self.work / "my inst"
        outside = self.work / "outside"
        make_tree(outside, {"keep.txt": b"outside\r\n", "Bin/core.dll": b"not this one"}, shift=-7200)
        self.app = copy_program(tmp / "app")
        self.src1 = make_tree(tmp / "src1", version(1))
        self.pub1 = tmp / "pub1"
        publish(self.src1, self.pub1)
        files2 = dict(version(2), **(extra or {}))
        self.src2 = make_tree(tmp / "src2", files2, shift=3600)
        self.pub2, self.mirror2 = tmp / "pub2", tmp / "mirror2"
        publish(self.src2, self.pub2, self.mirror2)
        self.clean_manifest = (self.pub2 / "files.ver").read_bytes()
        with FileServerProcess(self.pub1) as server:
            assert self.run(f"host=127.0.0.1:{server.port}") == 0
        self.old = installed(self.inst)
        assert self.old == tree(self.src1)
        self.new = tree(self.src2)
        self.order = [line.split("=")[0] for line in self.clean_manifest.decode("cp1252").splitlines()
                      if "=" in line]

    def log(self, name):
        return self.logs / f"{name}.log"

    def start(self, *args, exe=None, env=None, cwd=None, silent=True):
        # Silent: a faulty run ends with no message box to wait on.
        quiet = ["silent"] if silent else []
        return self.win.start(exe or self.app, [f"dir={winpath(self.inst)}", *quiet, *args], env=env, cwd=cwd)

    def run(self, *args, exe=None, env=None):
        return self.win.wait(self.start(*args, exe=exe, env=env), DEADLINE)

    def outside(self):
        return (listing(self.inst.parent, skip=self.inst), listing(self.app.parent), names(self.tmp),
                names(self.inst.parent.parent), names(self.win.drive_c))

    def hostile_traces(self):
        places = [self.tmp, self.inst.parent.parent]
        found = [p for place in places for p in Path(place).rglob(f"*{HOSTILE}*")
                 if self.pub2 not in p.parents]  # the files the server would give
        for folder in (Path("/"), Path("/tmp"), ROOT, self.win.drive_c, self.win.drive_c / "users" / getpass.getuser()):
            found += [folder / n for n in names(folder) if HOSTILE in n]
        return found

    def mirror_url_path(self, rel):
        data, mtime = self.new[rel]
        return mirror_path(rel, data, mtime)

    def serve_manifest(self, text: bytes):
        (self.pub2 / "files.ver").write_bytes(text)

    def manifest_lines(self):
        return self.clean_manifest.decode("cp1252").splitlines()

    def with_lines(self, extra, sites=()):
        """Version 2's manifest with more lines in its [CLIENT] section, and sites."""
        lines = self.manifest_lines() + list(extra)
        if sites:
            lines += ["[SITES]", *sites]
        return "".join(line + "\r\n" for line in lines).encode("cp1252")

    def add_published(self, rel, data):
        """A file the server would serve, under a name the manifest names."""
        path = self.pub2 / rel.replace("\\", "/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        stamp = time.time() // 2 * 2
        os.utime(path, (stamp, stamp))
        return f"{rel}={len(data)},{publisher.dos_time(stamp)}"


# --- the rows ----------------------------------------------------------------

@dataclass
class Fault:
    """A prepared fault: how the faulty run starts, and what else to check."""
    start: Callable
    server: FileServerProcess = None
    checks: Callable = None          # checks(update, fault) after the faulty run
    extra_ok: tuple = ()             # files a faulty manifest may name, inside the folder
    own: tuple = ()                  # files the program adds itself (uninstaller copy, list)
    cleanup: Callable = None
    mirror: FaultMirror = None
    codes: tuple = (0, 1)            # the exit codes the faulty run may end with


@dataclass
class Row:
    name: str
    prepare: Callable                # prepare(update, stack) -> Fault
    expect: str                      # "old", "new" or "whole" (either): the installation after the faulty run
    inst: str = "plain"              # "plain" or "appdata" (file-name scheme)
    extra: Callable = None           # extra(update_tmp) -> more version 2 files


def file_server(u, stack, *switches, name="fault"):
    return stack.enter_context(FileServerProcess(u.pub2, *switches, log=u.log(name)))


def server_fault(*switches, after=None):
    def prepare(u, stack):
        server = file_server(u, stack, *switches)
        return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, after)
    return prepare


def broken_on_first_file(u, fault):
    # The connection is given up at the first file, opened again at most
    # three times, and breaks there each time; nothing after it is asked.
    names = requested(fault.server)
    assert set(names) == {u.order[0]} and 1 <= len(names) <= 4, names


def each_file_once(u, fault):
    # A reply that does not inflate fails its file only; the connection goes on.
    assert requested(fault.server) == u.order


def nothing_fetched(u, fault):
    assert requested(fault.server) == []


def wire_replies(u):
    """(file, reply length) of every chunk reply of a complete update, in order."""
    out = []
    for name in u.order:
        data = (u.pub2 / name.replace("\\", "/")).read_bytes()
        offset = 0
        while True:
            chunk = data[offset: offset + CHUNK]
            out.append((name, len(wire.encode_reply(chunk, True))))
            offset += len(chunk)
            if len(chunk) < CHUNK:
                break
    return out


def close_at_random_byte(seed):
    def prepare(u, stack):
        replies = wire_replies(u)
        total = sum(n for _, n in replies)
        ends = set()
        at = 0
        for _, n in replies:
            at += n
            ends.add(at)
        rng = random.Random(seed)
        cut = rng.randrange(1, total)
        while cut in ends:  # inside a reply, never right at its end
            cut = rng.randrange(1, total)
        server = file_server(u, stack, "--close-after", str(cut))

        def after(u, fault):
            at, index = 0, 0
            while at + replies[index][1] < cut:
                at += replies[index][1]
                index += 1
            cut_file = replies[index][0]
            # Up to the break as before; after it, the reconnects ask again.
            assert requested(fault.server)[: index + 1] == [name for name, _ in replies[: index + 1]], cut
            # The reconnects bring the rest and all is replaced, or none is.
            assert installed(u.inst) in (u.old, u.new), (cut, cut_file)
        return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, after)
    return prepare


def mirror_fault(mode, glob="*_Bin_*"):
    """The fault mirror is the manifest's only site; the file server, clean,
    takes what the mirror spoils."""
    def prepare(u, stack):
        if mode == "down":
            site, mirror = stack.enter_context(DownSite()).url, None
        else:
            mirror = stack.enter_context(FaultMirror(u.mirror2, mode, glob))
            site = mirror.url
        u.serve_manifest(u.with_lines([], [site + "=2"]))
        server = file_server(u, stack)

        def after(u, fault):
            spoiled = {name for name in u.order
                       if mode == "down" or fnmatch.fnmatchcase(u.mirror_url_path(name.replace("\\", "/")), glob)}
            assert spoiled
            assert set(requested(fault.server)) == spoiled
            if mirror:
                assert {p for p in mirror.faulted()} == {u.mirror_url_path(n.replace("\\", "/")) for n in spoiled}
                assert set(mirror.served()) == {u.mirror_url_path(n.replace("\\", "/"))
                                                for n in u.order if n not in spoiled}
        return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, after, mirror=mirror)
    return prepare


def served_manifest(text_of, after=None, extra_ok=None):
    """The file server delivers a manifest made by text_of(update)."""
    def prepare(u, stack):
        u.serve_manifest(text_of(u))
        server = file_server(u, stack)

        def checks(u, fault):
            asked = requested(fault.server)
            assert not [n for n in asked if HOSTILE in n or n == ""], asked
            if after:
                after(u, fault)
        return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, checks,
                     extra_ok=tuple(extra_ok or ()))
    return prepare


def hostile(*paths):
    return lambda u: u.with_lines([f"{p}=0,0" for p in paths])


def long_names(u):
    # 63 characters install (a version 2 file); 64 are one too many, also with folders.
    stem = HOSTILE + "-" + "n" * 60
    lines = [u.add_published(stem[:60] + ".bin", b"sixty-four"),
             u.add_published("Bin\\" + stem[:56] + ".bin", b"sixty-four too")]
    assert all(len(line.split("=")[0]) == 64 for line in lines)
    return u.with_lines(lines)


def beside_program(text_of, after=None, extra_ok=None, codes=(0, 1)):
    """The manifest lies beside the program; the file server serves the files."""
    def prepare(u, stack):
        u.app.with_suffix(".ver").write_bytes(text_of(u))
        server = file_server(u, stack)

        def checks(u, fault):
            assert not [line for line in fault.server.requests() if line.startswith("files.ver;")]
            if after:
                after(u, fault)
        return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, checks,
                     extra_ok=tuple(extra_ok or ()), codes=codes)
    return prepare


LIMIT = 256 * 1024      # the longest list the program reads from a file or URL


def over_limit(u):
    # Version 2's lines, filler nobody selects, and a last line whose final
    # byte lies beyond the limit: the line cut short is not used, and the run,
    # which cannot know what the rest listed, does not end as complete.
    head = u.clean_manifest + b"[ONDEMAND]\r\n"
    tail = b"[CLIENT]\r\ncutatlimitX"
    filler = b""
    n = 0
    while len(head) + len(filler) + len(tail) < LIMIT + 1 - 40:
        filler += b"OnDemand\\pad%05d.bin=1,976180160\r\n" % n
        n += 1
    filler += b";" * (LIMIT + 1 - len(head) - len(filler) - len(tail) - 2) + b"\r\n"
    text = head + filler + tail
    assert len(text) == LIMIT + 1
    return text


def cut_at_limit(u, fault):
    asked = requested(fault.server)
    assert not [n for n in asked if n.startswith("cutat")]
    assert not [n for n in asked if n.startswith("OnDemand")]


def five_thousand_lines(u):
    lines = ["[ONDEMAND]"] + [f"OnDemand\\file{i:04d}.bin=1{i},976180160" for i in range(5000)]
    text = u.with_lines(lines)
    assert text.count(b"\r\n") >= 5000 and len(text) < CHUNK
    return text


def no_ondemand(u, fault):
    assert not [n for n in requested(fault.server) if n.startswith("OnDemand")]


def many_files(tmp):
    return {f"Many/f{i:03d}.txt": f"small file {i}\r\n".encode() * (1 + i % 7) for i in range(600)}


def many_from_a_mirror(u, stack):
    mirror = stack.enter_context(FaultMirror(u.mirror2))
    u.serve_manifest(u.with_lines([], [mirror.url + "=4"]))
    server = file_server(u, stack)

    def after(u, fault):
        by_mirror = {p for p in mirror.served() if "_Many_" in p}
        by_server = {n for n in requested(server) if n.startswith("Many\\")}
        assert by_mirror and len(by_mirror) + len(by_server) == 600
    return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, after, mirror=mirror)


def random_bytes(seed, then_valid):
    def text_of(u):
        noise = random.Random(seed).randbytes(20000).replace(b"[", b"(")
        return noise + (b"\r\n" + u.clean_manifest if then_valid else b"")
    return text_of


def seventeen_sites(u, stack):
    mirror = stack.enter_context(FaultMirror(u.mirror2))
    downs = [stack.enter_context(DownSite()).url for _ in range(16)]
    u.serve_manifest(u.with_lines([], [mirror.url + "=2"] + downs))
    server = file_server(u, stack)

    def after(u, fault):
        assert mirror.served()
    return Fault(lambda: u.start(f"host=127.0.0.1:{server.port}"), server, after, mirror=mirror)


def verbatim(line_of):
    """The program started through launch.exe with a command line exactly as
    line_of(update, port) writes it."""
    def prepare(u, stack):
        server = file_server(u, stack)
        line = line_of(u, server.port)
        return Fault(lambda: u.win.start(TEST_BIN / "launch.exe", [line]), server)
    return prepare


def head(u, port):
    return f'"{winpath(u.app)}" host=127.0.0.1:{port} "dir={winpath(u.inst)}"'


def long_line(u, port):
    # The line is cut at 260 characters inside the linkname, so include=0
    # (which would select nothing) is never read.
    start = head(u, port)
    line = f"{start} linkname={'L' * max(10, 262 - len(start) - 10)} include=0 {'t' * 40}"
    assert len(line) >= 300 and line.index("include=0") >= 260 and len(start) < 250
    return line


def twenty_arguments(u, port):
    # Arguments 0 to 15 are kept; include=0 is the 17th and is dropped.
    tokens = [head(u, port), *"abcdefghijklm", "include=0", "x", "y", "z"]
    line = " ".join(tokens)
    assert len(tokens) + 2 == 20 and len(line) < 260  # the head holds three
    return line


def unclosed_quote(u, port):
    # The folder holds a blank: only a quote that runs to the end keeps it whole.
    assert " " in u.inst.name
    return f'"{winpath(u.app)}" host=127.0.0.1:{port} "dir={winpath(u.inst)}'


def big_instdata(u, stack):
    server = file_server(u, stack)
    start = f"host=127.0.0.1:{server.port + 1}&dir={winpath(u.inst)}&linkname="
    text = start + "L" * (1030 - len(start)) + "&include=0&"
    text += "z" * (2000 - len(text))
    assert len(text) == 2000 and text.index("&include=0") >= 1023 and len(start) < 1000
    exe = copy_program(u.tmp / "stamped", "Tovimar.exe")
    (u.tmp / "instdata.txt").write_bytes(text.encode())
    # More than stamp.exe writes unasked: the program's own limit is what is tried.
    assert u.win.run(TOOLS_BIN / "stamp.exe", ["--over-limit", winpath(exe), "@" + winpath(u.tmp / "instdata.txt")],
                     timeout=60).returncode == 0
    return Fault(lambda: u.win.start(exe, []), server)


def five_dashes(u, stack):
    server = file_server(u, stack)
    exe = copy_program(u.tmp / "dl", f"127.0.0.1-{server.port}-FaultRow-a-b-setup.exe")

    def after(u, fault):
        assert (u.inst / "Tovimar.exe").read_bytes() == exe.read_bytes()
        listed = (u.inst / "linkfiles").read_text().splitlines()
        assert [line.rsplit("\\", 1)[-1] for line in listed] == [
            "FaultRow.lnk", "FaultRow.lnk", "Uninstall FaultRow.lnk"]
        assert all(linux_path(line).is_file() for line in listed)

    def cleanup(u):
        listing_file = u.inst / "linkfiles"
        if listing_file.exists():
            for line in listing_file.read_text().splitlines():
                linux_path(line).unlink(missing_ok=True)
        shutil.rmtree(u.inst, ignore_errors=True)
    return Fault(lambda: u.win.start(exe, []), server, after, own=("Tovimar.exe", "linkfiles"),
                 cleanup=cleanup)


ROWS = [
    # The file server misbehaves on every file reply.
    Row("server: closed at a random byte (1)", close_at_random_byte(1), "whole"),
    Row("server: closed at a random byte (2)", close_at_random_byte(2), "whole"),
    Row("server: closed at a random byte (3)", close_at_random_byte(3), "whole"),
    Row("server: length above the receive buffer", server_fault("--length-over", after=broken_on_first_file), "old"),
    Row("server: length below 4", server_fault("--length-below", after=broken_on_first_file), "old"),
    Row("server: corrupt zlib data", server_fault("--corrupt-zlib", after=each_file_once), "old"),
    Row("server: wrong Adler-32", server_fault("--bad-adler", after=each_file_once), "old"),
    Row("server: a stall, then a close", server_fault("--stall", "2", after=broken_on_first_file), "old"),
    Row("server: a reply to the announcement", server_fault("--reply-to-announce", after=nothing_fetched), "old"),
    # The only mirror misbehaves on the files under Bin; the server takes them.
    Row("mirror: 404 with an HTML body", mirror_fault("404"), "new"),
    Row("mirror: 200 with an empty body", mirror_fault("empty"), "new"),
    Row("mirror: a body cut short", mirror_fault("short"), "new"),
    Row("mirror: one byte more than the size", mirror_fault("plus-one"), "new"),
    Row("mirror: closed in the middle of a body", mirror_fault("close-mid-body"), "new"),
    Row("mirror: down", mirror_fault("down"), "new"),
    # Manifests.
    Row("manifest: '..' elements", served_manifest(hostile(
        f"..\\{HOSTILE}-a.txt", f"Bin\\..\\..\\{HOSTILE}-b.txt", f"../{HOSTILE}-c.txt", f".. \\{HOSTILE}-d.txt",
        f"Bin\\..\\{HOSTILE}-e.txt", f"Bin/../../{HOSTILE}-f.txt")), "new"),
    Row("manifest: absolute paths and an empty name", served_manifest(hostile(
        f"\\{HOSTILE}-g.txt", f"/{HOSTILE}-h.txt", f"\\\\127.0.0.1\\c$\\{HOSTILE}-i.txt", "")), "new"),
    Row("manifest: drive letters and streams", served_manifest(hostile(
        f"C:\\{HOSTILE}-j.txt", f"D:{HOSTILE}-k.txt", f"C:{HOSTILE}-l.txt", f"tiny.cfg:{HOSTILE}",
        f"Z:\\tmp\\{HOSTILE}-m.txt")), "new"),
    Row("manifest: a 64-character name", served_manifest(long_names), "new",
        extra=lambda tmp: {"n" * 59 + ".bin": b"sixty-three"}),
    Row("manifest: one byte over the limit beside the program",
        beside_program(over_limit, cut_at_limit, codes=(1,)), "new"),
    Row("manifest: 5000 lines", served_manifest(five_thousand_lines, no_ondemand), "new"),
    Row("manifest: 600 selected files", many_from_a_mirror, "new", extra=many_files),
    Row("manifest: random bytes", served_manifest(random_bytes(7, False), nothing_fetched), "old"),
    Row("manifest: random bytes, then a good manifest", served_manifest(random_bytes(8, True)), "new"),
    Row("manifest: LF-only line ends", served_manifest(
        lambda u: u.clean_manifest.replace(b"\r\n", b"\n"), nothing_fetched), "old"),
    Row("manifest: 17 site lines", seventeen_sites, "new"),
    # Settings.
    Row("settings: a 300-character command line", verbatim(long_line), "new"),
    Row("settings: 20 arguments", verbatim(twenty_arguments), "new"),
    Row("settings: an unclosed quote", verbatim(unclosed_quote), "new"),
    Row("settings: 2000 bytes of INSTDATA", big_instdata, "new"),
    Row("settings: a file name with five '-'", five_dashes, "new", inst="appdata"),
]


def installation_folder(win, tmp, kind):
    if kind == "appdata":
        folder = win.drive_c / "users" / getpass.getuser() / "AppData" / "Roaming" / "Velorin" / "127.0.0.1"
        shutil.rmtree(folder, ignore_errors=True)
        return folder
    return None


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_a_fault_during_an_update_damages_nothing(win, tmp_path, row):
    u = Update(win, tmp_path, installation_folder(win, tmp_path, row.inst),
               row.extra(tmp_path) if row.extra else None)
    fault = None
    try:
        with contextlib.ExitStack() as stack:
            fault = row.prepare(u, stack)
            before = u.outside()
            proc = fault.start()
            # 1 when files stayed pending (said in a message box, which a run
            # that is not silent waits on).
            assert win.wait(proc, DEADLINE) in fault.codes
            assert u.outside() == before, "something outside the installation changed"
            assert not u.hostile_traces()
            got = tree(u.inst)
            resumable(got, u.new)
            assert not [rel for rel in got if rel.endswith(PART)], "a temporary file was left"
            for rel in fault.own:
                got.pop(rel, None)
            for rel in fault.extra_ok:
                assert rel in got, rel
                got.pop(rel)
            assert set(got) <= set(u.old) | set(u.new), "a file no manifest line allows"
            for rel, value in got.items():
                assert value == u.old.get(rel) or value == u.new.get(rel), rel
            if row.expect == "old":
                assert got == u.old
            elif row.expect == "new":
                assert got == u.new
            else:
                assert got in (u.old, u.new), "a version mixed of two"
            if fault.checks:
                fault.checks(u, fault)
        # A clean run completes the update.
        u.serve_manifest(u.clean_manifest)
        u.app.with_suffix(".ver").unlink(missing_ok=True)
        before = u.outside()
        with FileServerProcess(u.pub2, log=u.log("clean")) as server:
            assert u.run(f"host=127.0.0.1:{server.port}") == 0
        assert u.outside() == before
        got = tree(u.inst)
        for rel in (*fault.own, *fault.extra_ok):
            got.pop(rel, None)
        assert got == u.new
    finally:
        if fault and fault.cleanup:
            fault.cleanup(u)


# --- killed and closed updates ---------------------------------------------

def big_version(n):
    """About 7.5 MB: a second or two over either path."""
    return {
        "Big/a.bin": pattern(3_000_000 + n, 40 + n),
        "Big/b.bin": pattern(2_500_000 - n, 50 + n),
        "Bin/c.dll": pattern(1_400_000 + n, 60 + n),
        "Bin/d.dll": pattern(2 * CHUNK + n, 70 + n),
        "e.txt": f"version {n}\r\n".encode() * 1000,
    }


KILLS = 16  # per path


@pytest.mark.parametrize("path", ["server", "mirror"])
def test_an_update_killed_at_random_moments_leaves_old_or_new_files(win, tmp_path, path):
    src1 = make_tree(tmp_path / "src1", big_version(1))
    src2 = make_tree(tmp_path / "src2", big_version(2), shift=3600)
    publish(src1, tmp_path / "pub1")
    old, new = tree(src1), tree(src2)
    inst = tmp_path / "work" / "inst"
    (tmp_path / "work" / "outside").mkdir(parents=True)
    (tmp_path / "work" / "outside" / "keep.txt").write_bytes(b"keep")
    app = copy_program(tmp_path / "app")
    template = tmp_path / "v1-installed"
    with FileServerProcess(tmp_path / "pub1") as server:
        proc = win.start(app, [f"dir={winpath(template)}", f"host=127.0.0.1:{server.port}"])
        assert win.wait(proc, DEADLINE) == 0
    assert tree(template) == old

    def restore():
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(template, inst)

    rng = random.Random(2024 if path == "server" else 2025)
    with contextlib.ExitStack() as stack:
        if path == "mirror":
            web = stack.enter_context(Nginx(tmp_path / "mirror2", tmp_path / "nginx", limit_rate="2m"))
            publish(src2, tmp_path / "pub2", tmp_path / "mirror2", "--site", web.url + "=2")
        else:
            publish(src2, tmp_path / "pub2")
        server = stack.enter_context(FileServerProcess(tmp_path / "pub2"))
        args = [f"dir={winpath(inst)}", f"host=127.0.0.1:{server.port}"]
        outside = listing(tmp_path / "work", skip=inst)

        # One whole update tells how long the kill moments may be apart from the start.
        restore()
        began = time.monotonic()
        assert win.wait(win.start(app, args), DEADLINE) == 0
        whole = time.monotonic() - began
        assert tree(inst) == new
        if path == "mirror":
            assert len(web.served()) == len(new)

        killed = 0
        for i in range(KILLS):
            if i % 2 == 0:
                restore()  # every other run starts from version 1, the others from the killed state
            moment = rng.uniform(0.05, whole)
            proc = win.start(app, args)
            if wait_for(lambda: proc.poll() is not None, moment):
                assert proc.returncode == 0
            else:
                kill(proc)
                killed += 1
            got = tree(inst)
            parts = [rel for rel in got if rel.endswith(PART)]
            # A file in transfer, and the record of a resumable one beside it.
            assert {rel.replace(PART, "") for rel in parts} <= set(new), parts
            for rel in parts:
                got.pop(rel)
            # Old or new as a whole; only a commit cut off, which its journal
            # finishes at the next start, leaves some of each.
            journal = got.pop("Tovimar.journal", None)
            assert set(got) == set(new), (i, moment)
            for rel, value in got.items():
                assert value in (old[rel], new[rel]), (i, moment, rel)
            assert journal or got in (old, new), (i, moment)
            assert listing(tmp_path / "work", skip=inst) == outside
        assert killed >= KILLS // 4
        # A clean run completes the update and consumes every temporary file.
        assert win.wait(win.start(app, args), DEADLINE) == 0
    assert tree(inst) == new


def shown_progress(win):
    """The status window while a download goes on: its line, its bar and its
    detail line, once the bar has moved."""
    window = win.probe("find", "CN", timeout_ms=1000)
    bar = window and window.control("msctls_progress32")
    if not bar or bar.extra.split("-")[2] == "0":
        return None
    return window


# Closing the window, its Cancel button and its Escape key all stop the pass.
@pytest.mark.parametrize("path, how", [("server", "close"), ("mirror", "close"), ("mirror", "Cancel"),
                                       ("server", "Escape")])
def test_closing_the_window_mid_download_starts_the_client_and_ends(win, tmp_path, path, how):
    u = Update(win, tmp_path)
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    client_log, _ = client_records(client)
    with contextlib.ExitStack() as stack:
        if path == "server":
            # The server keeps the first reply for Bin\core.dll back: the
            # program waits in the middle of the update.
            server = stack.enter_context(FileServerProcess(u.pub2, "--stall", "60", "--fault-file", "Bin\\core.dll",
                                                           "--fault-once", log=u.log("stall")))

            def downloading():
                return "Bin\\core.dll;0;262144" in server.requests()
        else:
            web = stack.enter_context(Nginx(u.mirror2, tmp_path / "nginx", limit_rate="100k"))
            u.serve_manifest(u.with_lines([], [web.url]))
            server = stack.enter_context(FileServerProcess(u.pub2))

            def downloading():
                return list(u.inst.rglob("*" + PART))
        # The client by a path relative to the installation folder: the whole
        # command line must stay within its 259 characters.
        relative = os.path.relpath(client, u.inst).replace("/", "\\")
        proc = u.start(f"host=127.0.0.1:{server.port}", "next", relative, cwd=tmp_path, silent=False)
        assert wait_for(downloading, 60)
        if path == "mirror":
            # The bar fills with the line's measure; the detail line says how
            # much of how much.
            window = wait_for(lambda: shown_progress(win), 30)
            assert window, win.probe("find", "CN", timeout_ms=1000)
            line, bar, detail, button = window.controls
            percent = int(re.fullmatch(r"Downloading (\d+)% completed\. Speed \d+ KB/s", line.text).group(1))
            low, high, position, marquee = map(int, bar.extra.split("-"))
            assert (low, high, marquee) == (0, 100, 0) and percent <= position <= 100, (line, bar)
            assert re.fullmatch(r"\d+\.\d of \d+\.\d MB(, about \d+ (s|min|h) left)?", detail.text), detail
            assert (button.cls, button.text) == ("Button", "Cancel")
        if how == "close":
            assert win.probe("close", "CN")
        elif how == "Cancel":
            assert win.probe("click", "CN", "-", 15000, "Cancel")
        else:
            assert win.probe("key", "CN", "-", 15000, str(0x1B))
        assert win.wait(proc, 20) == 1  # the pass did not complete
        assert wait_for(lambda: client_log.exists() and client_log.read_text().strip(), 20)
        assert "Corvane.exe" in client_log.read_text()
        got = tree(u.inst)
        resumable(got, u.new)  # what arrived whole waits for the next run
        parts = [rel for rel in got if rel.endswith(PART)]
        assert not parts, f"temporary files left after the window was closed: {parts}"
        assert got == u.old, "an interrupted update replaced files"
    u.serve_manifest(u.clean_manifest)
    with FileServerProcess(u.pub2) as server:
        assert u.run(f"host=127.0.0.1:{server.port}") == 0
    assert tree(u.inst) == u.new
