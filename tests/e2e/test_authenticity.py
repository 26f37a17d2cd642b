"""What the program installs must be what the publisher published: signed file
lists for a program with keys built in (TovimarTest.exe holds the two test
keys), a SHA-256 for every file, and bounds on size and time."""
import contextlib
import os
import shutil
import time

import pytest

import signing
from faultmirror import FaultMirror
from servers import FileServerProcess, make_tree, pattern, publish, publisher, split_kept, tree
from winenv import ROOT, TEST_BIN, client_records, copy_program, wait_for

KEYS = ROOT / "tests" / "keys"
NOT_SIGNED = "Update Refused: the file list is not signed by the publisher."
OLDER = "Update Refused: the file list is older than the installed one."


def version(n):
    return {
        "Corvane.exe": pattern(40000, 10 + n),
        "Bin/core.dll": pattern(300000, 20 + n),
        "Data/readme.txt": f"version {n}\r\n".encode() * 50,
    }


def sign(text: bytes, key="test", key_id=None, serial=1000) -> bytes:
    return signing.sign_text(signing.unsigned_part(text), signing.load_key(KEYS / f"{key}.pem"), key_id or key,
                             serial)


class Setup:
    """A published version, the program (keyed: TovimarTest.exe) and a stand-in
    client that `next` starts at the end."""

    def __init__(self, win, tmp, keyed=True):
        self.win, self.tmp = win, tmp
        # Short folders: the command line holds 259 characters, and `next`
        # comes last.
        self.app = copy_program(tmp / "a", "Tovimar.exe", "TovimarTest.exe" if keyed else "Tovimar.exe")
        self.client = copy_program(tmp / "c", "Corvane.exe", "Corvane.exe")
        self.client_log, self.client_token = client_records(self.client)
        self.inst = tmp / "i"

    def mirror_dir(self, name="v1"):
        folder = self.tmp / f"mirror-{name}"
        folder.mkdir(parents=True, exist_ok=True)
        return folder

    def publish(self, files, name="v1", *extra, mirror=False, serial=1000, key="test", key_id=None, shift=0,
                beside=False):
        """Publishes `files`; with beside, the list also goes beside the
        program, where a run without a server reads it."""
        src = make_tree(self.tmp / f"src-{name}", files, shift)
        out = self.tmp / f"pub-{name}"
        mirror_dir = self.mirror_dir(name) if mirror else None
        manifest = publish(src, out, mirror_dir, *extra)
        if key:
            manifest.write_bytes(sign(manifest.read_bytes(), key, key_id, serial))
        if beside:
            shutil.copyfile(manifest, self.app.with_suffix(".ver"))
        return src, out, mirror_dir

    def start(self, *args, client="..\\c\\Corvane.exe"):
        # Relative names (the command line holds 259 characters): the folder
        # to a test's folder, the client to the installation folder.
        return self.win.start(self.app, ["dir=i", *args, "next", client], cwd=self.tmp)

    def run(self, *args, timeout=90, **start):
        return self.win.wait(self.start(*args, **start), timeout)

    def refused(self, *args, text=NOT_SIGNED):
        """Runs to the message box, which must say `text`; presses OK."""
        proc = self.start(*args)
        box = self.win.probe("shown", "#32770")
        assert box and text in box.texts, box
        # The status line says it too while the box shows.
        assert self.win.status_line(next(t for t in box.texts if text in t)), self.win.probe("find", "CN")
        assert self.win.probe("press", "#32770")
        assert self.win.wait(proc, 60) == 3  # refused

    def client_started(self, wait=20):
        return bool(wait_for(lambda: self.client_log.exists() and self.client_log.read_text().strip(), wait))

    def installed(self):
        return tree(self.inst, skip={"Tovimar.serial"}) if self.inst.exists() else {}


@pytest.fixture
def keyed(win, tmp_path):
    return Setup(win, tmp_path)


@pytest.fixture
def plain(win, tmp_path):
    return Setup(win, tmp_path, keyed=False)


# -- signed lists ---------------------------------------------------------------

@pytest.mark.parametrize("key", ["test", "test2"])  # the second key: a rotation in progress
def test_a_signed_list_installs_keeps_its_serial_and_starts_the_client(keyed, key):
    src, pub, _ = keyed.publish(version(1), key=key, serial=1700000000)
    with FileServerProcess(pub) as server:
        assert keyed.run(f"host=127.0.0.1:{server.port}") == 0
    assert keyed.installed() == tree(src)
    assert (keyed.inst / "Tovimar.serial").read_text() == "1700000000"
    assert keyed.client_started()


def flip(offset_of):
    """A change of one byte at the position offset_of(text) gives."""
    def change(text):
        at = offset_of(text)
        return text[:at] + bytes([text[at] ^ 0x01]) + text[at + 1:]
    return change


FORGERIES = {
    "unsigned": lambda text: signing.unsigned_part(text),
    "a byte of a file line": flip(lambda t: t.index(b"Bin\\core.dll=") + 14),
    "a byte of a hash": flip(lambda t: t.index(b"sha256=") + 30),
    "the first byte": flip(lambda t: 0),
    "a byte of the serial": flip(lambda t: t.index(b"serial=") + 8),
    "a byte of the signature": flip(lambda t: t.index(b"signature=") + 20),
    "another key's id": lambda text: sign(text, "test", "test2"),
    "a key not built in": lambda text: sign(text, "stranger"),
    "a line after the signature": lambda text: text + b"Bin\\evil.dll=5,0\r\n",
    "the serial not just before it": lambda text: text.replace(b"[SITES]\r\nserial=", b"[SITES]\r\n\r\nserial="),
}


@pytest.mark.parametrize("forgery", list(FORGERIES))
def test_a_list_the_publisher_did_not_sign_is_refused_and_nothing_is_used(keyed, forgery):
    with FaultMirror(keyed.mirror_dir()) as site:
        # The list names a mirror site: it must not be asked either.
        src, pub, mirror = keyed.publish(version(1), "v1", "--site", site.url, mirror=True)
        manifest = pub / "files.ver"
        manifest.write_bytes(FORGERIES[forgery](manifest.read_bytes()))
        with FileServerProcess(pub, log=keyed.tmp / "requests.log") as server:
            keyed.refused(f"host=127.0.0.1:{server.port}")
            requests = server.requests()
        assert site.requests() == []
    assert requests == ["#UPDVER", "files.ver;0;262144"]
    assert keyed.installed() == {}
    assert not (keyed.inst / "Tovimar.serial").exists()
    assert not keyed.client_started(wait=2)


def test_a_lower_serial_is_refused_and_an_equal_one_taken(keyed):
    src1, pub1, _ = keyed.publish(version(1), "v1", serial=2000)
    with FileServerProcess(pub1) as server:
        assert keyed.run(f"host=127.0.0.1:{server.port}") == 0
    v1 = keyed.installed()
    src2, pub2, _ = keyed.publish(version(2), "v2", serial=1999, shift=60)
    with FileServerProcess(pub2) as server:
        keyed.refused(f"host=127.0.0.1:{server.port}", text=OLDER)
    assert keyed.installed() == v1
    for serial in (2000, 2001):
        manifest = pub2 / "files.ver"
        manifest.write_bytes(sign(manifest.read_bytes(), serial=serial))
        with FileServerProcess(pub2) as server:
            assert keyed.run(f"host=127.0.0.1:{server.port}") == 0
        assert keyed.installed() == tree(src2)
        assert (keyed.inst / "Tovimar.serial").read_text() == str(serial)


NO_SERIAL = "Update Refused: the installed file list's serial cannot be read."


def folder_link(keyed):
    """The installation folder a link to another program's folder, which holds
    a serial and a file in transfer of its own."""
    victim = keyed.tmp / "victim"
    make_tree(victim, {"Tovimar.serial": b"1", "Tovimar.serial.~tv": b"keep"})
    keyed.inst.symlink_to(victim, target_is_directory=True)
    return victim


def second_name(keyed):
    """The serial a second name of another file."""
    other = keyed.tmp / "other"
    make_tree(other, {"its.txt": b"1"})
    keyed.inst.mkdir()
    os.link(other / "its.txt", keyed.inst / "Tovimar.serial")
    return other


@pytest.mark.parametrize("plant, serial, text", [
    (folder_link, 2000, NO_SERIAL),
    (second_name, 2000, NO_SERIAL),
    (None, 499, OLDER),  # below the lowest serial this program was built with (500 in the test build)
])
def test_the_serial_is_read_only_from_a_plain_file_and_never_below_the_programs_own(keyed, plant, serial, text):
    victim = plant(keyed) if plant else None
    before = tree(victim) if victim else None
    src, pub, _ = keyed.publish(version(1), serial=serial)
    with FileServerProcess(pub) as server:
        keyed.refused(f"host=127.0.0.1:{server.port}", text=text)
    if victim:
        assert tree(victim) == before  # nothing read through it is written back, nothing of it deleted
    assert not keyed.client_started(wait=2)


def test_a_keyed_program_does_not_start_an_installation_left_incomplete(keyed):
    src, pub, _ = keyed.publish(version(1))
    (pub / "Bin" / "core.dll").unlink()  # the server cannot give it
    with FileServerProcess(pub) as server:
        assert keyed.run(f"host=127.0.0.1:{server.port}", "silent") == 1
    assert "Bin/core.dll" not in keyed.installed()
    assert not keyed.client_started(wait=3)


def test_a_client_changed_behind_the_up_to_date_check_is_not_started(keyed):
    # The installed client is the stand-in. A copy with one byte of its DOS
    # stub changed keeps its size and time, and would still run and record.
    files = dict(version(1), **{"Corvane.exe": (TEST_BIN / "Corvane.exe").read_bytes()})
    _, pub, _ = keyed.publish(files)
    client = keyed.inst / "Corvane.exe"
    log, _ = client_records(client)

    def change(data):
        at = data.index(b"DOS mode")
        return data[:at] + b"d" + data[at + 1:]

    with FileServerProcess(pub) as server:
        # Fetched, then up to date, then changed behind the check.
        for run, alter, starts in [(1, None, 1), (2, None, 2), (3, change, 2)]:
            if alter:
                data, stat = client.read_bytes(), client.stat()
                client.write_bytes(alter(data))
                os.utime(client, ns=(stat.st_atime_ns, stat.st_mtime_ns))
            assert keyed.run(f"host=127.0.0.1:{server.port}", f"log={run}.log", client="Corvane.exe") == 0
            assert wait_for(lambda: log.exists() and len(log.read_text().splitlines()) >= starts, 20)
            assert not wait_for(lambda: len(log.read_text().splitlines()) > starts, 2), run
            said = (keyed.tmp / f"{run}.log").read_text()
            assert ("through the desktop's shell" in said) == (alter is None), said
    assert "not started" in (keyed.tmp / "3.log").read_text()


# -- the content of each file -----------------------------------------------------

@pytest.mark.parametrize("variant", ["plain", "keyed"])
def test_a_mirror_file_with_the_wrong_content_is_taken_from_the_server(win, tmp_path, variant):
    s = Setup(win, tmp_path, keyed=variant == "keyed")
    src, pub, mirror = s.publish(version(1), mirror=True)
    with FaultMirror(mirror, "wrong", "*core.dll") as bad, \
            FileServerProcess(pub, log=tmp_path / "requests.log") as server:
        assert s.run(f"web:{bad.url}", f"host=127.0.0.1:{server.port}") == 0
        assert [path for path in bad.faulted() if path.endswith("Bin_core.dll")]
        assert "Bin\\core.dll;0;262144" in server.requests()
    assert s.installed() == tree(src)


def test_a_server_file_with_the_wrong_content_stays_pending(plain):
    src, pub, _ = plain.publish(version(1), key=None)
    changed = bytearray((pub / "Bin" / "core.dll").read_bytes())
    changed[1000] ^= 0x55
    (pub / "Bin" / "core.dll").write_bytes(bytes(changed))
    with FileServerProcess(pub) as server:
        assert plain.run(f"host=127.0.0.1:{server.port}", "silent") == 1
    # Nothing is put in place; what arrived whole waits for the next run.
    assert split_kept(plain.inst) == ({}, sorted(k for k in tree(src) if k != "Bin/core.dll"))


def test_verify_fetches_again_a_file_changed_behind_the_programs_back(plain):
    src, pub, _ = plain.publish(version(1), key=None)
    with FileServerProcess(pub, log=plain.tmp / "requests.log") as server:
        assert plain.run(f"host=127.0.0.1:{server.port}") == 0
        target = plain.inst / "Bin" / "core.dll"
        stamp = target.stat().st_mtime
        changed = bytearray(target.read_bytes())
        changed[5] ^= 0xFF
        target.write_bytes(bytes(changed))
        os.utime(target, (stamp, stamp))  # same size, same time: only the content tells
        asked = len(server.requests())
        assert plain.run(f"host=127.0.0.1:{server.port}") == 0
        assert not [r for r in server.requests()[asked:] if r.startswith("Bin\\core.dll")]
        assert plain.installed() != tree(src)
        asked = len(server.requests())
        assert plain.run(f"host=127.0.0.1:{server.port}", "verify") == 0
        assert [r for r in server.requests()[asked:] if r.startswith("Bin\\")] == ["Bin\\core.dll;0;262144",
                                                                                 "Bin\\core.dll;262144;262144"]
    assert plain.installed() == tree(src)


def test_a_list_in_the_old_format_installs_with_a_program_without_keys(plain):
    src, pub, _ = plain.publish(version(1), "v1", "--no-hashes", key=None)
    assert b"sha256" not in (pub / "files.ver").read_bytes()
    with FileServerProcess(pub) as server:
        assert plain.run(f"host=127.0.0.1:{server.port}") == 0
    assert plain.installed() == tree(src)
    assert plain.client_started()


# -- what a mirror's answers may steer ---------------------------------------------

@pytest.mark.parametrize("chain", ["a redirect followed", "a relative redirect followed", "asks for credentials",
                                   "redirected to one that asks", "redirected to itself",
                                   "redirected to another scheme"])
def test_a_mirror_steers_no_credentials_and_only_redirects_to_the_web(keyed, chain):
    src, pub, mirror = keyed.publish(version(1), mirror=True)
    with contextlib.ExitStack() as stack:
        server = stack.enter_context(FileServerProcess(pub, log=keyed.tmp / "requests.log"))
        target = stack.enter_context(FaultMirror(mirror, "auth" if "asks" in chain else None, "*core.dll"))
        first = target
        if chain != "asks for credentials":
            to = {"redirected to another scheme": "ftp://127.0.0.1/",
                  "a relative redirect followed": "//" + target.url.split("//", 1)[1]}.get(chain, target.url)
            first = stack.enter_context(FaultMirror(mirror, "redirect", "*core.dll", redirect=to))
            if chain == "redirected to itself":
                first.redirect = first.url
        assert keyed.run(f"web:{first.url}", f"host=127.0.0.1:{server.port}", "silent", "log=run.log") == 0
        from_server = [r for r in server.requests() if r.startswith("Bin\\core.dll")]
    assert keyed.installed() == tree(src)
    # Neither the site nor where it sends the request gets the signed-in user's credentials.
    assert target.authorizations == [] and first.authorizations == []
    log = (keyed.tmp / "run.log").read_text()
    if chain.endswith("redirect followed"):
        assert not from_server and f"redirected to {target.url}" in log
    else:
        assert from_server  # the file came from the next source
    if chain == "redirected to itself":
        assert log.count(f"redirected to {first.url}") == 5  # at most five, each named


# -- bounds on size and time ------------------------------------------------------

def test_a_mirror_body_longer_than_the_size_is_stopped_and_nothing_committed(plain):
    src, pub, mirror = plain.publish(version(1), key=None, mirror=True, beside=True)
    with FaultMirror(mirror, "endless", "*core.dll") as site:
        assert plain.run(f"web:{site.url}", "silent") == 1
        assert site.faulted()
    # The body was left once the content passed the size (300000 bytes).
    assert site.endless_sent < 2 * 1024 * 1024
    assert split_kept(plain.inst) == ({}, sorted(k for k in tree(src) if k != "Bin/core.dll"))


def test_an_endless_stream_for_a_file_of_unknown_size_stops_at_the_limit(keyed):
    files = {"Corvane.exe": pattern(1000, 1)}
    src, pub, mirror = keyed.publish(files, mirror=True, key=None)
    # "only has to exist": size 0, and a mirror that never ends the stream.
    name = publisher.mirror_name("big.bin", 0, 0)
    (mirror / name).parent.mkdir(parents=True, exist_ok=True)
    (mirror / name).write_bytes(b"")
    text = signing.unsigned_part((pub / "files.ver").read_bytes()) + b"big.bin=0,0,sha256=" + b"0" * 64 + b"\r\n"
    keyed.app.with_suffix(".ver").write_bytes(sign(text))  # the list beside the program
    with FaultMirror(mirror, "endless", "*big.bin") as site:
        assert keyed.run(f"web:{site.url}", "silent") == 1
        assert site.faulted()
    # The test program stops a file of unknown size at 4 MiB; the mirror would
    # send 64 MiB of content.
    assert site.endless_sent < 8 * 1024 * 1024
    assert split_kept(keyed.inst) == ({}, ["Corvane.exe"])


def test_a_silent_run_ends_at_its_time_limit(keyed):
    src, pub, _ = keyed.publish(version(1))
    started = time.monotonic()
    with FileServerProcess(pub, "--stall", "120", "--fault-file", "Bin\\core.dll") as server:
        assert keyed.run(f"host=127.0.0.1:{server.port}", "silent", "timeout=2", "log=run.log", timeout=100) == 1
    # Without the limit the silent server and three reconnects would take over 20 s.
    assert time.monotonic() - started < 15
    log = (keyed.tmp / "run.log").read_text()
    assert "the run's time limit of 2 s passed" in log and log.rstrip().endswith("end: exit code 1")
    assert log.count("end: exit code") == 1  # one end, the limit's
    assert not keyed.client_started(wait=2)


def test_a_silent_server_loses_the_connection(keyed):
    src, pub, _ = keyed.publish(version(1))
    started = time.monotonic()
    with FileServerProcess(pub, "--stall", "120", "--fault-file", "Bin\\core.dll") as server:
        assert keyed.run(f"host=127.0.0.1:{server.port}", "silent", timeout=100) == 1
    # The test program's limit is 6 s of silence; the stall would last 120.
    assert time.monotonic() - started < 60
    assert "Bin/core.dll" not in keyed.installed()
    assert not list(keyed.inst.rglob("*.~tv"))


@pytest.mark.parametrize("mode, silent", [("trickle", []), ("trickle-headers", ["silent"]),
                                          ("trickle-headers", [])])
def test_a_trickling_mirror_is_left_for_the_server(keyed, mode, silent):
    src, pub, mirror = keyed.publish(version(1), mirror=True)
    started = time.monotonic()
    with FaultMirror(mirror, mode, "*core.dll") as site, FileServerProcess(pub) as server:
        assert keyed.run(f"web:{site.url}", f"host=127.0.0.1:{server.port}", *silent) == 0
        assert site.faulted()
    # One byte every half second, of the body or of headers that never end:
    # 300 KiB would take days; the test program's window is 3 s.
    assert time.monotonic() - started < 60
    assert keyed.installed() == tree(src)
