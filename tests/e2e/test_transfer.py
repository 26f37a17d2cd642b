"""Installs and updates from the file server and from HTTP mirrors, and what
a broken transfer leaves behind."""
import shutil
import zlib

import pytest

from servers import FileServerProcess, Nginx, make_tree, pattern, publish, publisher, tree
from winenv import copy_program, winpath

SIZES = {
    "empty.dat": b"",
    "one.bin": b"x",
    "Bin/a262143.bin": pattern(262143, 1),
    "Bin/a262144.bin": pattern(262144, 2),
    "Bin/a262145.bin": pattern(262145, 3),
    "Data/Deep/big.bin": pattern(3 * 1024 * 1024 + 17, 4),
    "Data/text.txt": b"line of text\r\n" * 5000,
}


def version(n):
    """A small installation whose every file differs between versions."""
    return {
        "Corvane.exe": pattern(50000, 10 + n),
        "Bin/core.dll": pattern(300000, 20 + n),
        "Bin/plugin.dll": pattern(70000, 30 + n),
        "Data/readme.txt": f"version {n}\r\n".encode() * 100,
    }


class Setup:
    def __init__(self, win, tmp_path):
        self.win = win
        self.tmp = tmp_path
        self.app = copy_program(tmp_path / "app")
        self.inst = tmp_path / "inst"

    def publish(self, files, name="v", *extra, mirror=False, shift=0):
        src = make_tree(self.tmp / f"src-{name}", files, shift)
        out = self.tmp / f"pub-{name}"
        mirror_dir = self.tmp / f"mirror-{name}" if mirror else None
        publish(src, out, mirror_dir, *extra)
        return src, out, mirror_dir

    def run(self, *args, timeout=120):
        # Silent: a run with files pending ends with exit code 1, no box.
        proc = self.win.start(self.app, [f"dir={winpath(self.inst)}", "silent", *args])
        return self.win.wait(proc, timeout)

    def local_manifest(self, published):
        shutil.copyfile(published / "files.ver", self.app.with_suffix(".ver"))


@pytest.fixture
def setup(win, tmp_path):
    return Setup(win, tmp_path)


@pytest.mark.parametrize("mode", ["compressed", "scrambled", "alternate"])
def test_a_fresh_install_from_the_server(setup, mode):
    src, pub, _ = setup.publish(SIZES)
    with FileServerProcess(pub, "--mode", mode, log=setup.tmp / "requests.log") as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
        requests = server.requests()
    assert tree(setup.inst) == tree(src)
    assert requests[0] == "#UPDVER"
    assert requests[1] == "files.ver;0;262144"
    assert [r for r in requests if r.startswith("Bin\\a262144.bin")] == [
        "Bin\\a262144.bin;0;262144", "Bin\\a262144.bin;262144;262144"]
    assert "empty.dat;0;262144" in requests


def test_an_update_fetches_only_what_changed(setup):
    files = version(1)
    src, pub, _ = setup.publish(files, "v1")
    with FileServerProcess(pub) as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
    files["Bin/plugin.dll"] = pattern(70001, 99)
    src2, pub2, _ = setup.publish(files, "v2")
    with FileServerProcess(pub2, log=setup.tmp / "requests.log") as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
        fetched = [r.split(";")[0] for r in server.requests()[2:]]
    assert fetched == ["Bin\\plugin.dll"]
    assert tree(setup.inst) == tree(src2)
    with FileServerProcess(pub2, log=setup.tmp / "again.log") as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
        assert server.requests() == ["#UPDVER", "files.ver;0;262144"]


def test_mirrors_only_from_the_manifests_sites(setup):
    src, pub, mirror = setup.publish(SIZES, "v", mirror=True)
    with Nginx(mirror, setup.tmp / "nginx") as web:
        # The published manifest names the site; it is read from beside the program.
        publish(src, pub, mirror, "--site", web.url + "=3")
        setup.local_manifest(pub)
        assert setup.run() == 0
        assert len(web.requests()) == len(SIZES)
    assert tree(setup.inst) == tree(src)


def test_mirrors_only_from_a_web_argument(setup):
    src, pub, mirror = setup.publish(SIZES, "v", mirror=True)
    setup.local_manifest(pub)
    with Nginx(mirror, setup.tmp / "nginx") as web:
        assert setup.run(f"web:{web.url}=2") == 0
        assert sorted(web.requests()) == sorted(
            "/" + publisher.mirror_name(rel.replace("/", "\\"), len(data), publisher.dos_time(
                (src / rel).stat().st_mtime), True) for rel, data in SIZES.items())
    assert tree(setup.inst) == tree(src)


def mirror_path(mirror, src, rel):
    data = (src / rel).read_bytes()
    return mirror / publisher.mirror_name(rel.replace("/", "\\"), len(data),
                                          publisher.dos_time((src / rel).stat().st_mtime), True)


def test_the_server_fetches_what_the_mirrors_lack_or_spoil(setup):
    files = version(1)
    src, pub, mirror_a = setup.publish(files, "v", mirror=True)
    mirror_b = setup.tmp / "mirror-b"
    shutil.copytree(mirror_a, mirror_b)
    # Missing at both; spoiled at A only (B takes it over); spoiled at both (the server).
    mirror_path(mirror_a, src, "Corvane.exe").unlink()
    mirror_path(mirror_b, src, "Corvane.exe").unlink()
    mirror_path(mirror_a, src, "Bin/plugin.dll").write_bytes(b"<html>not found</html>")
    for m in (mirror_a, mirror_b):
        mirror_path(m, src, "Data/readme.txt").write_bytes(zlib.compress(b"short"))
    with Nginx(mirror_a, setup.tmp / "nginx-a") as a, Nginx(mirror_b, setup.tmp / "nginx-b") as b:
        publish(src, pub, None, "--site", a.url, "--site", b.url)
        with FileServerProcess(pub, log=setup.tmp / "requests.log") as server:
            assert setup.run(f"host=127.0.0.1:{server.port}") == 0
            fetched = sorted({r.split(";")[0] for r in server.requests()[2:]})
        assert any("plugin.dll" in r for r in b.requests())
    assert fetched == ["Corvane.exe", "Data\\readme.txt"]
    assert tree(setup.inst) == tree(src)


def assert_each_file_old_or_new(inst, old, new):
    # Files in transfer kept to go on with are not installed files.
    installed = {rel: v for rel, v in tree(inst).items() if not rel.endswith(".~tv")}
    assert set(installed) <= set(old) | set(new), "a stray file was left"
    for rel, got in installed.items():
        assert got == old.get(rel) or got == new.get(rel), rel


def test_a_connection_dropped_mid_file_leaves_the_old_file(setup):
    src1, pub1, _ = setup.publish(version(1), "v1")
    with FileServerProcess(pub1) as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
    old = tree(setup.inst)
    src2, pub2, _ = setup.publish(version(2), "v2", shift=3600)
    # Bin\core.dll is the first file fetched; cut its second chunk, on every
    # connection: the reconnects go on where it broke off.
    with FileServerProcess(pub2, "--close-after", "300000", log=setup.tmp / "requests.log") as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") in (0, 1)
        fetched = [r for r in server.requests() if not r.startswith(("#", "files.ver"))]
    assert_each_file_old_or_new(setup.inst, old, tree(src2))
    assert fetched[:3] == ["Bin\\core.dll;0;262144", "Bin\\core.dll;262144;262144", "Bin\\core.dll;262144;262144"]
    with FileServerProcess(pub2) as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
    assert tree(setup.inst) == tree(src2)


@pytest.mark.parametrize("fault", ["--length-over", "--length-below", "--corrupt-zlib", "--bad-adler"])
def test_a_malformed_reply_fails_the_file_and_damages_nothing(setup, fault):
    src1, pub1, _ = setup.publish(version(1), "v1")
    with FileServerProcess(pub1) as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
    old = tree(setup.inst)
    src2, pub2, _ = setup.publish(version(2), "v2", shift=3600)
    with FileServerProcess(pub2, fault, "--fault-file", "Bin\\core.dll") as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 1  # core.dll stays pending
    assert tree(setup.inst)["Bin/core.dll"] == old["Bin/core.dll"]
    assert_each_file_old_or_new(setup.inst, old, tree(src2))


def test_a_mirror_body_with_a_wrong_checksum_is_not_taken(setup):
    files = version(1)
    src, pub, mirror = setup.publish(files, "v", mirror=True)
    # A stored (level 0) stream with one content byte changed keeps its size
    # and fails only its Adler-32.
    target = mirror_path(mirror, src, "Data/readme.txt")
    data = bytearray(zlib.compress(files["Data/readme.txt"], 0))
    data[20] ^= 0x01
    target.write_bytes(bytes(data))
    with Nginx(mirror, setup.tmp / "nginx") as web:
        publish(src, pub, None, "--site", web.url)
        with FileServerProcess(pub, log=setup.tmp / "requests.log") as server:
            assert setup.run(f"host=127.0.0.1:{server.port}") == 0
            fetched = sorted({r.split(";")[0] for r in server.requests()[2:]})
    assert fetched == ["Data\\readme.txt"]
    assert tree(setup.inst) == tree(src)


def test_without_a_connection_nothing_is_created_or_truncated(setup):
    src1, pub1, _ = setup.publish(version(1), "v1")
    with FileServerProcess(pub1) as server:
        assert setup.run(f"host=127.0.0.1:{server.port}") == 0
    old = tree(setup.inst)
    files = version(2)
    files["New/added.bin"] = b"new"
    src2, pub2, _ = setup.publish(files, "v2", shift=3600)
    setup.local_manifest(pub2)
    assert setup.run() == 1  # no host, no sites: nothing can be fetched
    assert tree(setup.inst) == old
