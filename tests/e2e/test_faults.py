"""No bad input and no broken connection crashes or hangs the program, writes
outside its folder, or leaves a damaged file in place; a clean run afterwards
completes the update."""
import contextlib
import random
import shutil
import time

import pytest

from faultmirror import FaultMirror
from servers import FileServer, Nginx, free_port, make_tree, pattern, publish, tree
from winenv import BIN, copy_program, kill, wait_for, winpath


def version(n):
    files = {
        "Corvane.exe": pattern(40000, 10 + n),
        "Bin/core.dll": pattern(600000, 20 + n),
        "Bin/plugin.dll": pattern(70000, 30 + n),
        "Data/Deep/readme.txt": f"version {n}\r\n".encode() * 200,
        "tiny.cfg": f"v{n}".encode(),
    }
    if n == 2:
        files["Data/added.bin"] = pattern(300000, 77)
    return files


def installed(inst):
    """The installed tree, without the temporary files of a killed run."""
    return {rel: v for rel, v in tree(inst).items() if not rel.endswith(".~tv")}


class World:
    """Version 1 installed; version 2 published; a folder beside the
    installation that nothing may touch."""

    def __init__(self, win, tmp, inst=None):
        self.win, self.tmp = win, tmp
        self.inst = inst or tmp / "inst"
        self.app = copy_program(tmp / "app")
        self.src1 = make_tree(tmp / "src1", version(1))
        self.src2 = make_tree(tmp / "src2", version(2), shift=3600)
        publish(self.src1, tmp / "pub1")
        publish(self.src2, tmp / "pub2", tmp / "mirror2")
        self.pub2 = tmp / "pub2"
        outside = tmp / "outside"
        outside.mkdir()
        (outside / "keep.txt").write_text("outside")
        with FileServer(tmp / "pub1") as server:
            assert self.run(self.app, f"host=127.0.0.1:{server.port}") == 0
        self.old = installed(self.inst)
        self.new = tree(self.src2)

    def run(self, exe, *args, env=None, timeout=120, dir_arg=True):
        arglist = ([f"dir={winpath(self.inst)}"] if dir_arg else []) + list(args)
        return self.win.wait(self.win.start(exe, arglist, env=env), timeout)

    def snapshot(self):
        return (sorted(p.name for p in self.tmp.iterdir() if p.name != "scratch"), tree(self.tmp / "outside"),
                sorted(p.name for p in self.win.drive_c.iterdir()))

    def manifest(self, text: bytes, name="hostile"):
        """A published folder like version 2's, serving another manifest."""
        folder = self.tmp / "scratch" / f"pub-{name}"
        shutil.copytree(self.pub2, folder)
        (folder / "files.ver").write_bytes(text)
        return folder

    def check_and_converge(self, before):
        assert self.snapshot() == before, "something outside the installation changed"
        got = tree(self.inst)
        assert not [rel for rel in got if rel.endswith(".~tv")], "a temporary file was left"
        for rel, value in got.items():
            # Files only a row's manifest names are that manifest's own, inside the folder.
            if rel in self.old or rel in self.new:
                assert value == self.old.get(rel) or value == self.new.get(rel), rel
        assert not (self.tmp.parent / "evil.txt").exists()
        with FileServer(self.pub2) as server:
            assert self.run(self.app, f"host=127.0.0.1:{server.port}") == 0
        # Extra files a hostile manifest named are allowed only inside.
        assert {k: v for k, v in tree(self.inst).items() if k in self.new} == self.new


def ver_text(lines, sites=()):
    text = "[CLIENT]\r\n" + "".join(line + "\r\n" for line in lines)
    if sites:
        text += "[SITES]\r\n" + "".join(s + "\r\n" for s in sites)
    return text.encode("latin-1")


def v2_lines(world):
    return [line for line in (world.pub2 / "files.ver").read_text().splitlines() if "=" in line]


# Each row: a context manager over the world giving the arguments of the faulty run.
@contextlib.contextmanager
def server_fault(world, *switches):
    with FileServer(world.pub2, *switches, "--fault-file", "Bin\\core.dll") as server:
        yield [f"host=127.0.0.1:{server.port}"]


@contextlib.contextmanager
def mirror_fault(world, mode):
    down = f"http://127.0.0.1:{free_port()}/"
    with contextlib.ExitStack() as stack:
        url = down if mode == "down" else stack.enter_context(FaultMirror(world.tmp / "mirror2", mode, "*core.dll")).url
        folder = world.manifest(ver_text(v2_lines(world), [url + "=2"]), "sites")
        server = stack.enter_context(FileServer(folder))
        yield [f"host=127.0.0.1:{server.port}"]


@contextlib.contextmanager
def served_manifest(world, text):
    with FileServer(world.manifest(text)) as server:
        yield [f"host=127.0.0.1:{server.port}"]


@contextlib.contextmanager
def beside_manifest(world, text):
    world.app.with_suffix(".ver").write_bytes(text)
    try:
        with FileServer(world.pub2) as server:
            yield [f"host=127.0.0.1:{server.port}"]
    finally:
        world.app.with_suffix(".ver").unlink()


@contextlib.contextmanager
def verbatim_line(world, tail):
    """The program started with a command line exactly as written."""
    with FileServer(world.pub2) as server:
        line = f'"{winpath(world.app)}" host=127.0.0.1:{server.port} "dir={winpath(world.inst)}" {tail}'
        yield ("launch", line)


@contextlib.contextmanager
def stamped(world, text_of):
    with FileServer(world.pub2) as server:
        exe = copy_program(world.tmp / "scratch" / "stamped", "Tovimar.exe")
        text = text_of(world, server.port)
        assert world.win.run(BIN / "stamp.exe", [winpath(exe), text], timeout=60).returncode == 0
        yield ("exe", exe)


rng = random.Random(2026)
ROWS = {
    "server-close-at-random-byte": lambda w: server_fault(w, "--close-after", str(rng.randrange(1, 600000))),
    "server-length-over-buffer": lambda w: server_fault(w, "--length-over"),
    "server-length-below-4": lambda w: server_fault(w, "--length-below"),
    "server-corrupt-zlib": lambda w: server_fault(w, "--corrupt-zlib"),
    "server-wrong-adler": lambda w: server_fault(w, "--bad-adler"),
    "server-stall-then-close": lambda w: server_fault(w, "--stall", "2"),
    "server-reply-to-announcement": lambda w: server_fault(w, "--reply-to-announce"),
    "mirror-404-html": lambda w: mirror_fault(w, "404"),
    "mirror-empty-body": lambda w: mirror_fault(w, "empty"),
    "mirror-cut-short": lambda w: mirror_fault(w, "short"),
    "mirror-one-byte-more": lambda w: mirror_fault(w, "plus-one"),
    "mirror-closes-mid-body": lambda w: mirror_fault(w, "close-mid-body"),
    "mirror-down": lambda w: mirror_fault(w, "down"),
    "manifest-dotdot": lambda w: served_manifest(w, ver_text(v2_lines(w) + ["..\\..\\evil.txt=3,1", "a\\..\\..\\evil.txt=3,1", "a\\. .\\x=1,1"])),
    "manifest-absolute": lambda w: served_manifest(w, ver_text(v2_lines(w) + ["\\evil.txt=3,1", "/evil.txt=3,1"])),
    "manifest-drive-letter": lambda w: served_manifest(w, ver_text(v2_lines(w) + ["C:\\evil.txt=3,1", "D:evil.txt=3,1"])),
    "manifest-64-character-name": lambda w: served_manifest(w, ver_text(v2_lines(w) + ["n" * 64 + "=3,1"])),
    "manifest-100001-bytes": lambda w: beside_manifest(w, ver_text(v2_lines(w)) + b"x" * (100001 - len(ver_text(v2_lines(w))))),
    "manifest-5000-lines": lambda w: served_manifest(w, ver_text(v2_lines(w)) + b"[ONDEMAND]\r\n" + b"Extra\\x.txt=1,1\r\n" * 4990),
    "manifest-600-selected": lambda w: beside_manifest(w, ver_text(v2_lines(w) + [f"Many\\f{i}.txt=0" for i in range(600)])),
    "manifest-random-bytes": lambda w: served_manifest(w, random.Random(7).randbytes(5000)),
    "manifest-lf-only": lambda w: served_manifest(w, ver_text(v2_lines(w)).replace(b"\r\n", b"\n")),
    "manifest-17-sites": lambda w: served_manifest(w, ver_text(v2_lines(w), [f"http://127.0.0.1:{free_port()}/s{i}" for i in range(17)])),
    "settings-300-character-line": lambda w: verbatim_line(w, "linkname=" + "L" * 300),
    "settings-20-arguments": lambda w: verbatim_line(w, " ".join(f"x{i}" for i in range(18))),
    "settings-unclosed-quote": lambda w: verbatim_line(w, '"linkname=never closed'),
    "settings-2000-byte-instdata": lambda w: stamped(w, lambda w, port: f"host=127.0.0.1:{port + 1}&dir={winpath(w.inst)}&" + "z" * 1980),
}


@pytest.mark.parametrize("row", list(ROWS))
def test_fault_matrix(win, tmp_path, row):
    world = World(win, tmp_path)
    before = world.snapshot()
    with ROWS[row](world) as how:
        if isinstance(how, tuple) and how[0] == "launch":
            code = win.run(BIN / "launch.exe", [how[1]], timeout=120).returncode
        elif isinstance(how, tuple):
            code = world.run(how[1], dir_arg=False)
        else:
            code = world.run(world.app, *how)
    assert code == 0
    world.check_and_converge(before)
    if row == "manifest-600-selected":
        assert len(list((world.inst / "Many").iterdir())) == 600


def test_a_file_name_with_five_dashes_installs_as_three_parts(win, tmp_path):
    inst = win.drive_c / "users" / "root" / "AppData" / "Roaming" / "Velorin" / "127.0.0.1"
    shutil.rmtree(inst, ignore_errors=True)
    src = make_tree(tmp_path / "src", {"Corvane.exe": pattern(1000, 1)})
    publish(src, tmp_path / "pub")
    with FileServer(tmp_path / "pub") as server:
        exe = copy_program(tmp_path / "dl", f"127.0.0.1-{server.port}-Five-a-b-setup.exe")
        assert win.wait(win.start(exe), 120) == 0
    listed = (inst / "linkfiles").read_text().splitlines()
    assert listed[0].endswith("\\Five.lnk")
    assert win.wait(win.start(inst / "Tovimar.exe", ["uninstall"]), 60) == 0
    assert wait_for(lambda: not (inst / "linkfiles").exists(), 30)


def big_versions():
    return ({"big/a.bin": pattern(3_000_000, 1), "big/b.bin": pattern(2_500_000, 2), "small.txt": b"1"},
            {"big/a.bin": pattern(3_000_001, 3), "big/b.bin": pattern(2_500_001, 4), "small.txt": b"22"})


@pytest.mark.parametrize("path", ["server", "mirror"])
def test_updates_killed_at_random_moments(win, tmp_path, path):
    v1, v2 = big_versions()
    versions = []
    for n, files in enumerate((v1, v2), 1):
        src = make_tree(tmp_path / f"src{n}", files, shift=3600 * n)
        publish(src, tmp_path / f"pub{n}", tmp_path / f"mirror{n}")
        versions.append((tree(src), tmp_path / f"pub{n}", tmp_path / f"mirror{n}"))
    allowed = {rel: {versions[0][0][rel], versions[1][0][rel]} for rel in v1}
    inst = tmp_path / "inst"
    app = copy_program(tmp_path / "app")
    seed = random.Random(30 if path == "server" else 31)
    for i in range(16):
        want, pub, mirror = versions[i % 2]
        with contextlib.ExitStack() as stack:
            if path == "server":
                server = stack.enter_context(FileServer(pub))
                args = [f"host=127.0.0.1:{server.port}"]
            else:
                shutil.copyfile(pub / "files.ver", app.with_suffix(".ver"))
                web = stack.enter_context(Nginx(mirror, tmp_path / f"nginx{i}", limit_rate="3m"))
                args = [f"web:{web.url}=2"]
            proc = win.start(app, [f"dir={winpath(inst)}", *args])
            time.sleep(seed.uniform(0.3, 1.6))  # the moment of the kill is the test's input
            kill(proc)
        for rel, value in installed(inst).items():
            assert value in allowed[rel], (i, rel)
    with FileServer(versions[1][1]) as server:
        app.with_suffix(".ver").unlink(missing_ok=True)
        assert win.wait(win.start(app, [f"dir={winpath(inst)}", f"host=127.0.0.1:{server.port}"]), 120) == 0
    assert installed(inst) == versions[1][0]


def test_closing_the_window_mid_download(win, tmp_path):
    v1, v2 = big_versions()
    src = make_tree(tmp_path / "src", v2)
    publish(src, tmp_path / "pub")
    inst = tmp_path / "inst"
    app = copy_program(tmp_path / "app")
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log = tmp_path / "client.log"
    with FileServer(tmp_path / "pub") as server:
        proc = win.start(app, [f"dir={winpath(inst)}", f"host=127.0.0.1:{server.port}", "next", winpath(client)],
                         env={"TOVIMAR_CLIENT_LOG": winpath(log)})
        assert wait_for(lambda: list(inst.rglob("*.~tv")), 30)
        assert win.probe("close", "CN")
        assert win.wait(proc, 15) == 0
        assert wait_for(log.exists, 20)
        assert win.wait(win.start(app, [f"dir={winpath(inst)}", f"host=127.0.0.1:{server.port}"]), 120) == 0
    assert installed(inst) == tree(src)
