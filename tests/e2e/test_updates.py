"""Updates as people run them: a client that is running, a connection that
drops, a run that did not finish, nobody watching. A helper holds a file the
way the loader holds a running program's file (sharing read and delete, and
mapped), or locked (sharing nothing)."""
import re
import shutil
import subprocess

import pytest

import signing
from servers import FileServerProcess, free_port, make_tree, pattern, publish, tree
from faultmirror import FaultMirror
from winenv import PREFIX, ROOT, TEST_BIN, copy_program, kill, wait_for, winpath

CHUNK = 262144
INCOMPLETE_1 = "Installation incomplete: 1 file(s) could not be downloaded."


def version(n):
    return {
        "Corvane.exe": pattern(60000, 10 + n),
        "Bin/core.dll": pattern(3 * CHUNK - 1000, 20 + n),  # three chunks
        "readme.txt": f"version {n}\r\n".encode() * 40,
    }


class Run:
    def __init__(self, win, tmp):
        self.win, self.tmp = win, tmp
        self.app = copy_program(tmp / "a")
        self.inst = tmp / "i"
        self.log_file = tmp / "run.log"

    def publish(self, n, name=None, *extra):
        name = name or f"v{n}"
        src = make_tree(self.tmp / f"src-{name}", version(n), shift=60 * n)
        publish(src, self.tmp / f"pub-{name}", None, *extra)
        return src, self.tmp / f"pub-{name}"

    def start(self, *args):
        # In the test's folder, with the folder and the log named relative to
        # it: the command line holds 259 characters.
        return self.win.start(self.app, ["dir=i", *args], cwd=self.tmp)

    def run(self, *args, timeout=120):
        return self.win.wait(self.start(*args), timeout)

    def log(self):
        return self.log_file.read_text(errors="replace") if self.log_file.exists() else ""

    def install(self, n):
        """Version n, installed from the server; (its files, its published folder)."""
        src, pub = self.publish(n)
        with FileServerProcess(pub) as server:
            assert self.run(f"host=127.0.0.1:{server.port}") == 0
        return src, pub


@pytest.fixture
def run(win, tmp_path):
    return Run(win, tmp_path)


class Holder:
    """hold.exe on a file until stopped."""

    def __init__(self, win, path, mode, tmp):
        self.stop_file = tmp / f"stop-{mode}"
        self.proc = win.start(TEST_BIN / "hold.exe", [winpath(path), mode, winpath(self.stop_file)], log=tmp / f"{mode}.out")
        assert wait_for(lambda: (tmp / f"{mode}.out").exists() and "held" in (tmp / f"{mode}.out").read_text(), 30)
        self.win = win

    def stop(self):
        self.stop_file.write_text("stop")
        self.win.wait(self.proc, 30)


def parts(inst):
    """Files in transfer, and their records."""
    return sorted(p.relative_to(inst).as_posix() for p in inst.rglob("*.~tv")
                  if not re.fullmatch(r"~old[0-9a-f]{8}\.~tv", p.name))


def asides(inst):
    return sorted(p.name for p in inst.iterdir() if re.fullmatch(r"~old[0-9a-f]{8}\.~tv", p.name))


# -- files in use -------------------------------------------------------------

def test_a_running_client_is_updated_and_its_old_file_goes_at_the_next_run(run):
    run.install(1)
    holder = Holder(run.win, run.inst / "Corvane.exe", "loader", run.tmp)
    try:
        src2, pub2 = run.publish(2)
        with FileServerProcess(pub2) as server:
            assert run.run(f"host=127.0.0.1:{server.port}", "log=run.log") == 0
        assert tree(run.inst, skip=set(asides(run.inst))) == tree(src2)
        assert len(asides(run.inst)) == 1  # the running program's file, renamed aside
        assert "Corvane.exe was in use" in run.log()
    finally:
        holder.stop()
    with FileServerProcess(pub2) as server:
        assert run.run(f"host=127.0.0.1:{server.port}") == 0
    assert asides(run.inst) == []
    assert tree(run.inst) == tree(src2)


def test_a_locked_file_holds_back_the_whole_update_until_it_is_free(run):
    src1, _ = run.install(1)
    holder = Holder(run.win, run.inst / "readme.txt", "locked", run.tmp)
    locked = "Installation incomplete: readme.txt is locked by another program. Nothing was replaced."
    try:
        src2, pub2 = run.publish(2)
        with FileServerProcess(pub2) as server:
            proc = run.start(f"host=127.0.0.1:{server.port}", "log=run.log")
            box = run.win.probe("shown", "#32770")
            assert box and locked in box.texts, box
            assert run.win.probe("press", "#32770")
            assert run.win.wait(proc, 60) == 1
    finally:
        holder.stop()
    # Neither file replaced: the old version stays whole, its new files wait.
    assert tree(run.inst, skip=set(parts(run.inst))) == tree(src1)
    assert asides(run.inst) == []
    assert locked in run.log() and "end: exit code 1" in run.log()
    with FileServerProcess(pub2, log=run.tmp / "again.log") as server:
        assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 0
        requests = server.requests()
    assert requests and [r for r in requests if not r.startswith(("#", "files.ver"))] == []  # none fetched again
    assert tree(run.inst) == tree(src2)


# -- resuming and reconnecting --------------------------------------------------

def chunk_requests(server, name):
    return [int(r.split(";")[1]) for r in server.requests() if r.startswith(name + ";")]


# A list without hashes (older lists, which keyless programs still take)
# resumes as well: its record names the line's size and time.
@pytest.mark.parametrize("hashes", [[], ["--no-hashes"]], ids=["hashed", "unhashed"])
def test_a_connection_dropped_mid_file_resumes_at_the_last_whole_chunk(run, hashes):
    src, pub = run.publish(1, None, *hashes)
    # The connection closes once 1.5 chunks of the file went out, once.
    with FileServerProcess(pub, "--mode", "scrambled", "--close-after", str(CHUNK * 3 // 2), "--fault-file",
                           "Bin\\core.dll", "--fault-once", log=run.tmp / "requests.log") as server:
        assert run.run(f"host=127.0.0.1:{server.port}", "log=run.log") == 0
        offsets = chunk_requests(server, "Bin\\core.dll")
    assert offsets == [0, CHUNK, CHUNK, 2 * CHUNK]
    assert tree(run.inst) == tree(src)
    assert f"resuming Bin\\core.dll at byte {CHUNK}" in run.log()
    assert "reconnect 1 to 127.0.0.1: connected" in run.log()


def test_a_file_in_transfer_from_another_version_is_started_afresh(run):
    src1, pub1 = run.publish(1)
    src2, pub2 = run.publish(2)
    # What a killed run of version 1 would leave: one whole chunk and its record.
    (run.inst / "Bin").mkdir(parents=True)
    (run.inst / "Bin" / "core.dll.~tv").write_bytes(version(1)["Bin/core.dll"][:CHUNK])
    line = [l for l in (pub1 / "files.ver").read_text().splitlines() if l.startswith("Bin\\core.dll=")][0]
    (run.inst / "Bin" / "core.dll.~tv.~tv").write_text(line.split("=", 1)[1].replace(",sha256=", ",") + "\r\n")
    with FileServerProcess(pub2, log=run.tmp / "requests.log") as server:
        assert run.run(f"host=127.0.0.1:{server.port}") == 0
        assert chunk_requests(server, "Bin\\core.dll") == [0, CHUNK, 2 * CHUNK]
    assert tree(run.inst) == tree(src2)


@pytest.mark.parametrize("hashes", [[], ["--no-hashes"]], ids=["hashed", "unhashed"])
def test_a_run_killed_after_a_drop_is_resumed_by_the_next_run(run, hashes):
    src, pub = run.publish(1, None, *hashes)
    with FileServerProcess(pub, "--mode", "scrambled", "--close-after", str(CHUNK * 2 + 100), "--fault-file",
                           "Bin\\core.dll", "--fault-once") as server:
        proc = run.start(f"host=127.0.0.1:{server.port}", "silent", "log=run.log")
        # Killed while it waits to reconnect: the two whole chunks stay.
        assert wait_for(lambda: "failed Bin\\core.dll from the server" in run.log(), 60)
        kill(proc)
    assert (run.inst / "Bin" / "core.dll.~tv").stat().st_size == 2 * CHUNK
    with FileServerProcess(pub, log=run.tmp / "requests.log") as server:
        assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 0
        assert chunk_requests(server, "Bin\\core.dll") == [2 * CHUNK]
    assert tree(run.inst) == tree(src)


def test_a_server_that_drops_twice_then_works_completes_the_run(run):
    src, pub = run.publish(1)
    with FileServerProcess(pub, "--close-after", "1000", "--fault-file", "readme.txt", "--fault-times", "2",
                           log=run.tmp / "requests.log") as server:
        assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 0
    assert tree(run.inst) == tree(src)


def test_a_server_gone_for_good_ends_with_the_message_and_exit_code_1(run):
    src, pub = run.publish(1)
    server = FileServerProcess(pub, "--stall", "60", "--fault-file", "Bin\\core.dll", log=run.tmp / "requests.log")
    proc = run.start(f"host=127.0.0.1:{server.port}")
    # Gone in the middle of the first file: every reconnect is refused.
    assert wait_for(lambda: any(r.startswith("Bin\\core.dll") for r in server.requests()), 30)
    server.stop()
    box = run.win.probe("shown", "#32770", timeout_ms=40000)
    assert box and any(t.startswith("Installation incomplete: ") for t in box.texts), box
    assert run.win.probe("press", "#32770")
    assert run.win.wait(proc, 30) == 1


# -- nobody watching ---------------------------------------------------------------

def test_silent_shows_no_window_and_tells_each_outcome_by_its_exit_code(run):
    src, pub = run.publish(1)
    closed = free_port()  # nothing listens there
    with FileServerProcess(pub) as server:
        proc = run.start(f"host=127.0.0.1:{server.port}", "silent")
        assert run.win.probe("shown", "CN", timeout_ms=3000) is None
        assert run.win.wait(proc, 60) == 0
    assert tree(run.inst) == tree(src)
    # Server unavailable: no message box either.
    proc = run.start(f"host=127.0.0.1:{closed}", "silent")
    assert run.win.probe("shown", "#32770", timeout_ms=3000) is None
    assert run.win.wait(proc, 30) == 2
    # Files that cannot be fetched.
    (pub / "readme.txt").unlink()
    src2, pub2 = run.publish(2)
    (pub2 / "readme.txt").unlink()
    with FileServerProcess(pub2) as server:
        assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 1


def test_the_log_tells_a_run_with_a_mirror_failure_a_hash_mismatch_and_a_resumed_file(run):
    src, pub = run.publish(1, "v1", "--mirror", str(run.tmp / "mirror"))
    mirror = run.tmp / "mirror"
    # The server's copy of the readme is spoiled (its hash no longer matches).
    spoiled = bytearray((pub / "readme.txt").read_bytes())
    spoiled[3] ^= 1
    (pub / "readme.txt").write_bytes(bytes(spoiled))
    with FaultMirror(mirror, "404", "*readme.txt") as site, \
            FileServerProcess(pub, "--mode", "scrambled", "--close-after", str(CHUNK * 3 // 2), "--fault-file",
                              "Bin\\core.dll", "--fault-once") as server:
        # The mirror has no core.dll either: it comes from the server, resumed.
        for p in mirror.rglob("*Bin_core.dll"):
            p.unlink()
        assert run.run(f"web:{site.url}", f"host=127.0.0.1:{server.port}", "log=run.log",
                       "silent") == 1
    log = run.log()
    assert re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z start: settings from the command line", log, re.M)
    assert re.search(r"file list from the server, serial none", log)
    assert re.search(rf"failed readme\.txt from {re.escape(site.url)}: HTTP 404", log)
    assert re.search(r"failed Bin\\core\.dll from .*: HTTP 404", log)
    assert re.search(r"fetched Corvane\.exe from .*: 60000 bytes in \d+ ms", log)
    assert re.search(r"failed readme\.txt from the server: hash mismatch", log)
    assert f"resuming Bin\\core.dll at byte {CHUNK}" in log
    assert re.search(r"fetched Bin\\core\.dll from the server: \d+ bytes", log)
    assert INCOMPLETE_1 in log
    assert log.rstrip().endswith("end: exit code 1")
    # Appended to, never replaced.
    assert run.run("silent", "log=run.log") in (0, 1)
    assert run.log().startswith(log)


# -- room on the disk ------------------------------------------------------------

@pytest.fixture
def small_drive(tmp_path):
    """A 6 MiB RAM-backed file system as the drive E:."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", str(disk)], timeout=30).returncode != 0:
        pytest.skip("this machine mounts no file system for the tests")
    link = PREFIX / "dosdevices" / "e:"
    link.unlink(missing_ok=True)
    link.symlink_to(disk)
    try:
        yield disk
    finally:
        link.unlink(missing_ok=True)
        subprocess.run(["umount", "-l", str(disk)], timeout=30)


def test_an_update_the_disk_cannot_hold_fetches_nothing(run, small_drive):
    src = make_tree(run.tmp / "src-big", {"big.bin": pattern(8 << 20, 3), "readme.txt": b"r\r\n"})
    publish(src, run.tmp / "pub-big")
    with FileServerProcess(run.tmp / "pub-big", log=run.tmp / "requests.log") as server:
        proc = run.win.start(run.app, [f"host=127.0.0.1:{server.port}", "dir=E:\\inst", "silent", "log=run.log"],
                             cwd=run.tmp)
        assert run.win.wait(proc, 120) == 1
        fetched = [r for r in server.requests() if not r.startswith(("#", "files.ver"))]
    assert fetched == []
    assert re.search(r"Not enough disk space: [23] MB more are needed on E:", run.log()), run.log()
    assert sorted(p.name for p in (small_drive / "inst").iterdir()) == []


# -- whole updates -----------------------------------------------------------------

def many(n):
    """Version n with twenty small files more: 23 in all."""
    files = version(n)
    files.update({f"Data/f{i:02d}.dat": pattern(3000 + 50 * i, 100 * n + i) for i in range(20)})
    return files


class Whole:
    """Version 1 of many() installed; version 2 published with a mirror that
    lacks core.dll and two small files (the server brings them)."""

    def __init__(self, run):
        self.run = run
        # The program with keys built in, for signed lists whose serial counts.
        run.app = copy_program(run.tmp / "a", "Tovimar.exe", "TovimarTest.exe")
        self.src1 = make_tree(run.tmp / "src-m1", many(1), shift=60)
        signed(publish(self.src1, run.tmp / "pub-m1"), 1000)
        with FileServerProcess(run.tmp / "pub-m1") as server:
            assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 0
        self.src2 = make_tree(run.tmp / "src-m2", many(2), shift=120)
        self.pub2, self.mirror = run.tmp / "pub-m2", run.tmp / "mirror-m2"
        signed(publish(self.src2, self.pub2, self.mirror), 2000)
        for p in [*self.mirror.rglob("*core.dll"), *self.mirror.rglob("*f03.dat"), *self.mirror.rglob("*f17.dat")]:
            p.unlink()
        names = [line.split("=")[0] for line in (self.pub2 / "files.ver").read_text().splitlines() if "=" in line]
        self.client_index = names.index("Corvane.exe")

    def update(self, env=None):
        """One run of the update; (exit code, files fetched from either source)."""
        self.runs = getattr(self, "runs", 0) + 1
        requests = self.run.tmp / f"requests-{self.runs}.log"
        with FaultMirror(self.mirror) as site, FileServerProcess(self.pub2, log=requests) as server:
            proc = self.run.win.start(self.run.app, ["dir=i", f"web:{site.url}", f"host=127.0.0.1:{server.port}",
                                                     "silent", "log=run.log"], env=env, cwd=self.run.tmp)
            code = self.run.win.wait(proc, 120)
            fetched = [r.split(";")[0] for r in server.requests() if not r.startswith(("#", "files.ver"))]
            return code, fetched + [p for p in site.served() if "files.ver" not in p]

    def installed(self):
        skip = set(parts(self.run.inst)) | set(asides(self.run.inst)) | {"Tovimar.journal", "Tovimar.serial"}
        return tree(self.run.inst, skip=skip)

    def serial(self):
        return (self.run.inst / "Tovimar.serial").read_text()


def signed(manifest, serial):
    key = signing.load_key(ROOT / "tests" / "keys" / "test.pem")
    manifest.write_bytes(signing.sign_text(signing.unsigned_part(manifest.read_bytes()), key, "test", serial))


# Steps of the commit: 1 the journal's file lines, 2 its commit record, then
# each rename (the running client's two), then the journal's removal.
STEPS = 2 + 23 + 1 + 1


@pytest.mark.parametrize("stop", ["lines", "record", "first", "aside", "middle", "last rename", "journal gone"])
def test_a_commit_cut_off_at_any_step_leaves_a_whole_version_or_one_the_next_run_finishes(run, stop):
    whole = Whole(run)
    aside_step = 2 + whole.client_index + 1  # the client set aside, the new one not yet in its place
    step = {"lines": 1, "record": 2, "first": 3, "aside": aside_step, "middle": 14, "last rename": STEPS - 1,
            "journal gone": STEPS}[stop]
    holder = Holder(run.win, run.inst / "Corvane.exe", "loader", run.tmp)
    try:
        code, _ = whole.update({"TOVIMAR_COMMIT_STOP": str(step)})
        assert code == 99, run.log()
        installed = whole.installed()
        old, new = tree(whole.src1), tree(whole.src2)
        journal = (run.inst / "Tovimar.journal").exists()
        assert journal == (step < STEPS)
        if step == 1:
            assert installed == old  # nothing replaced before the record
        elif step == aside_step:
            assert "Corvane.exe" not in installed and len(asides(run.inst)) == 1
        for rel, got in installed.items():
            assert got in (old[rel], new[rel]), rel
        # The new list's serial counts once the commit is decided (its record
        # on the disk), which the next start finishes.
        assert whole.serial() == ("1000" if step == 1 else "2000")
        code, fetched = whole.update()
        assert code == 0, run.log()
        assert fetched == []  # every file arrived before: none is fetched again
        assert whole.installed() == new and whole.serial() == "2000"
        assert parts(run.inst) == [] and not (run.inst / "Tovimar.journal").exists()
    finally:
        holder.stop()
    log = run.log()
    if step == 1:
        assert "journal found without its commit record: nothing had been replaced" in log
    elif step < STEPS:
        assert "journal found: finishing the commit of 23 file(s)" in log
        assert "journal finished: the commit is done" in log


def test_a_file_no_source_gives_holds_back_the_update_and_comes_alone_the_next_time(run):
    whole = Whole(run)
    kept = whole.pub2 / "Data" / "f03.dat"
    data = kept.read_bytes()
    kept.unlink()  # at neither source now
    code, fetched = whole.update()
    assert code == 1
    assert INCOMPLETE_1 in run.log()
    assert whole.installed() == tree(whole.src1) and whole.serial() == "1000"
    assert len(parts(run.inst)) == 2 * 22  # kept for the next run, with their records
    kept.write_bytes(data)
    code, fetched = whole.update()
    assert code == 0, run.log()
    assert fetched == ["Data\\f03.dat"]
    assert whole.installed() == tree(whole.src2)
    assert "commit begun: 23 file(s)" in run.log() and "commit done" in run.log()


# -- a mirror that drops a file ------------------------------------------------------

@pytest.mark.parametrize("mode", ["drop-once", "drop-then-200", "drop-then-wrong"])
def test_a_mirror_that_drops_a_large_file_is_asked_for_the_rest_and_the_file_is_exact(run, mode):
    src = make_tree(run.tmp / "src", {"Corvane.exe": pattern(60000, 1), "big.bin": pattern(3 << 20, 2)})
    publish(src, run.tmp / "pub", run.tmp / "mirror")
    shutil.copyfile(run.tmp / "pub" / "files.ver", run.app.with_suffix(".ver"))  # no server: the mirror alone
    stored = next((run.tmp / "mirror").rglob("*big.bin*"))
    with FaultMirror(run.tmp / "mirror", mode, "*big.bin*") as site:
        assert run.run(f"web:{site.url}", "silent", "log=run.log") == 0, run.log()
        asked = [(r, condition) for path, r, condition in site.ranges if "big.bin" in path]
        sent = sum(n for path, n in site.sent.items() if "big.bin" in path)
    assert tree(run.inst) == tree(src)
    size = stored.stat().st_size
    assert asked[0] == (None, None)  # the first asks for all of it
    start = int(asked[1][0][len("bytes="):-1])
    assert asked[1] == (f"bytes={start}-", site._etag(stored.read_bytes()))
    assert size // 2 - 70000 <= start <= size // 2  # the last block's end before the drop
    assert f"resumed at {start}" in run.log()
    if mode == "drop-once":
        assert len(asked) == 2 and sent < size + 70000  # the file's size and a little
    elif mode == "drop-then-200":
        assert len(asked) == 2 and sent == size // 2 + size  # all of it again, from the start
    else:
        assert len(asked) == 3 and asked[2] == (None, None)  # the wrong range thrown away


def test_a_mirror_file_cut_off_in_one_run_is_gone_on_with_by_the_next(run):
    src = make_tree(run.tmp / "src", {"Corvane.exe": pattern(60000, 1), "big.bin": pattern(3 << 20, 2)})
    publish(src, run.tmp / "pub", run.tmp / "mirror", "--no-hashes")  # by name, size and time
    shutil.copyfile(run.tmp / "pub" / "files.ver", run.app.with_suffix(".ver"))
    with FaultMirror(run.tmp / "mirror", "short", "*big.bin*") as site:  # drops it every time
        assert run.run(f"web:{site.url}", "silent", "log=run.log") == 1
    assert "z," in (run.inst / "big.bin.~tv.~tv").read_text()  # where it may go on
    with FaultMirror(run.tmp / "mirror") as site:
        assert run.run(f"web:{site.url}", "silent", "log=run.log") == 0
        asked = [r for path, r, _ in site.ranges if "big.bin" in path]
    assert len(asked) == 1 and asked[0].startswith("bytes=")
    assert tree(run.inst) == tree(src)


def test_a_list_with_patches_installs_whole_files_where_no_patch_is_taken(run):
    # Version 2 changes a few bytes of the library: the publisher gives it a
    # patch from version 1, on its line and beside it in the mirror and the
    # published folder. A program that takes no patch fetches the file whole.
    _, pub1 = run.install(1)
    files = version(1)
    core = bytearray(files["Bin/core.dll"])
    core[5000:5008] = b"CHANGED!"
    files["Bin/core.dll"] = bytes(core)
    src2 = make_tree(run.tmp / "src-v2", files, shift=120)
    mirror = run.tmp / "mirror-v2"
    mirror.mkdir()
    with FaultMirror(mirror) as site:
        publish(src2, run.tmp / "pub-v2", mirror, "--previous", str(pub1), "--site", site.url)
        lines = (run.tmp / "pub-v2" / "files.ver").read_text().splitlines()
        assert [line.split("=", 1)[0] for line in lines if ",patch=" in line] == ["Bin\\core.dll"]
        assert list(mirror.rglob("*.tvp")) and list((run.tmp / "pub-v2").rglob("*.tvp"))
        with FileServerProcess(run.tmp / "pub-v2") as server:
            assert run.run(f"host=127.0.0.1:{server.port}", "silent") == 0
        fetched = [path for path, _, _ in site.ranges]
    assert tree(run.inst, skip={"Tovimar.serial"}) == tree(src2)
    assert any("core.dll" in path for path in fetched) and not any(path.endswith(".tvp") for path in fetched)


def test_a_disk_that_fills_up_all_the_same_keeps_the_old_installation_and_says_so(run, small_drive):
    # A line without a size ("only has to exist", and the room asked for
    # cannot count it) for more than the drive holds.
    old = make_tree(small_drive / "inst", {"readme.txt": b"old readme\r\n"})
    before = tree(old)
    src = make_tree(run.tmp / "src-full", {"big.bin": pattern(8 << 20, 4), "readme.txt": b"new\r\n"})
    publish(src, run.tmp / "pub-full")
    listed = (run.tmp / "pub-full" / "files.ver").read_bytes()
    (run.tmp / "pub-full" / "files.ver").write_bytes(re.sub(rb"big\.bin=\d+,", b"big.bin=0,", listed))
    with FileServerProcess(run.tmp / "pub-full") as server:
        proc = run.win.start(run.app, [f"host=127.0.0.1:{server.port}", "dir=E:\\inst", "silent", "log=run.log"],
                             cwd=run.tmp)
        assert run.win.wait(proc, 120) == 1
    assert re.search(r"failed big\.bin from the server: the disk is full", run.log()), run.log()
    assert INCOMPLETE_1 in run.log()
    installed = {rel: v for rel, v in tree(small_drive / "inst").items() if not rel.endswith(".~tv")}
    assert installed == before
    assert not (small_drive / "inst" / "big.bin.~tv").exists()  # the room it took is given back
