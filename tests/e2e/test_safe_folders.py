"""What the elevated installer and uninstaller may touch, tried as an attacker
on the same machine would: links in place of folders, second names (hard
links) of other files at the names the program writes, names the code page
lacks, a planted copy in the temporary folder, a shortcut list that points
elsewhere, names Windows treats as devices, and a pass the user stopped.

Wine shows a Unix symbolic link to a folder as a reparse point (attributes
0x410); Windows junctions themselves cannot be made here."""
import os
import shutil
import socket
import stat

import pytest

from servers import FileServerProcess, make_tree, pattern, publish, tree
from winenv import BIN, PREFIX, TEST_BIN, client_records, copy_program, wait_for, winpath

DRIVE_C = PREFIX / "drive_c"
DESKTOP = DRIVE_C / "users" / "Public" / "Desktop"
MENU = DRIVE_C / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Velorin"


def unresolved(path):
    """The Windows name of a Linux path as it stands: winpath would follow
    the very links these tests plant."""
    text, drive_c = str(path), str(DRIVE_C) + "/"
    if text.startswith(drive_c):
        return "C:\\" + text[len(drive_c):].replace("/", "\\")
    return "Z:" + text.replace("/", "\\")


def temp_folder():
    users = [p for p in (DRIVE_C / "users").iterdir() if p.is_dir() and p.name != "Public"]
    assert len(users) == 1, users
    return users[0] / "Temp"


FILES = {"Corvane.exe": pattern(20000, 1), "Bin/core.dll": pattern(70000, 2), "readme.txt": b"read me\r\n"}


def install(win, tmp, inst, *extra, files=FILES, link="SafeRow", code=0):
    src = make_tree(tmp / "src", files)
    publish(src, tmp / "pub")
    with FileServerProcess(tmp / "pub") as server:
        proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={unresolved(inst)}", *extra,
                                               f"linkname={link}"])
        assert win.wait(proc, 60) == code
    return src


@pytest.fixture
def shortcuts():
    names = [DESKTOP / "SafeRow.lnk", MENU / "SafeRow.lnk", MENU / "Uninstall SafeRow.lnk"]
    for p in names:
        p.unlink(missing_ok=True)
    yield names
    for p in names:
        p.unlink(missing_ok=True)


# -- links in place of folders ------------------------------------------------------

def test_an_installation_folder_that_is_a_link_is_not_written_through(win, tmp_path, shortcuts):
    victim = tmp_path / "other program"
    make_tree(victim, {"its.dll": b"keep"})
    inst = tmp_path / "inst"
    inst.symlink_to(victim, target_is_directory=True)
    install(win, tmp_path, inst, "silent", "kvo:ON", code=1)  # every file stays pending
    # Neither the files nor the shortcut list and the uninstaller copy.
    assert sorted(tree(victim)) == ["its.dll"]
    assert not any(p.exists() for p in shortcuts)
    assert (victim / "its.dll").read_bytes() == b"keep"


def test_a_link_below_the_installation_folder_keeps_its_files_out(win, tmp_path):
    victim = tmp_path / "system"
    victim.mkdir()
    inst = tmp_path / "inst"
    inst.mkdir()
    (inst / "Bin").symlink_to(victim, target_is_directory=True)
    install(win, tmp_path, inst, "silent", code=1)
    assert list(victim.iterdir()) == []
    # The rest waits, whole, for a run that can install all of it.
    assert not (inst / "Corvane.exe").exists()
    assert (inst / "Corvane.exe.~tv").read_bytes() == FILES["Corvane.exe"]


# -- folders that ordinary users could change ------------------------------------------
# Wine shows a folder that others may write (o+w) as one that everyone may
# change, delete and add to, and a folder of another Unix user as owned by
# the anonymous logon: both attacks can be tried here.

def open_to_everyone(path):
    path.chmod(0o777)


def owned_by_another_user(path):
    os.chown(path, 65534, 65534)


@pytest.mark.parametrize("change, where, text", [
    (open_to_everyone, "apps/inst", "Installation Refused: ordinary users can change the folder {}."),
    (open_to_everyone, "apps", "Installation Refused: ordinary users can change the folder {}."),
    (owned_by_another_user, "apps/inst", "Installation Refused: the folder {} belongs to another user."),
    (owned_by_another_user, "apps", "Installation Refused: the folder {} belongs to another user."),
])
def test_a_folder_ordinary_users_could_change_is_refused_before_anything_is_written(win, tmp_path, shortcuts,
                                                                                     change, where, text):
    inst = tmp_path / "apps" / "inst"
    make_tree(inst, {"old.txt": b"old"})
    change(tmp_path / where)
    install(win, tmp_path, inst, "silent", "kvo:ON", "log=" + winpath(tmp_path / "run.log"), code=3)
    assert sorted(tree(inst)) == ["old.txt"]
    assert not any(p.exists() for p in shortcuts)
    assert text.format(winpath(tmp_path / where)) in (tmp_path / "run.log").read_text()


def test_the_highest_folder_the_program_makes_is_the_administrators(win, tmp_path):
    # Wine keeps a folder's access list as its Unix mode: nothing for others
    # where the list admits only SYSTEM, the administrators and the users.
    inst = tmp_path / "new" / "inst"
    src = install(win, tmp_path, inst, "silent")
    assert tree(inst, skip={"linkfiles", "Tovimar.exe"}) == tree(src)
    assert stat.S_IMODE((tmp_path / "new").stat().st_mode) & 0o007 == 0


def test_another_programs_shortcut_of_the_same_name_stays(win, tmp_path, shortcuts):
    desktop, menu, uninstaller = shortcuts
    DESKTOP.mkdir(parents=True, exist_ok=True)
    desktop.write_bytes(b"not ours")
    inst = tmp_path / "inst"
    install(win, tmp_path, inst, "silent", "kvo:ON")
    assert desktop.read_bytes() == b"not ours"
    listed = (inst / "linkfiles").read_text().splitlines()
    assert [p.rsplit("\\", 1)[1] for p in listed] == ["SafeRow.lnk", "Uninstall SafeRow.lnk"]
    # Its own shortcuts, listed, it replaces in the next run.
    made = menu.stat().st_mtime_ns
    os.utime(menu, ns=(made - 10**9, made - 10**9))
    install(win, tmp_path, inst, "silent", "kvo:ON")
    assert menu.stat().st_mtime_ns != made - 10**9
    assert (inst / "linkfiles").read_text().splitlines() == listed


# -- links in place of the files the program writes --------------------------------

BIG = {"big.bin": pattern(600000, 3), "Corvane.exe": pattern(20000, 1)}


def identity(pub, name):
    """The record a transfer of `name` keeps beside its file in transfer."""
    for line in (pub / "files.ver").read_text("cp1252").splitlines():
        if line.startswith(name + "="):
            size, dos, sha = line.split("=", 1)[1].split(",")[:3]
            return f"{size},{dos},{sha.split('=')[1]}\r\n".encode()
    raise AssertionError(name)


@pytest.mark.parametrize("planted", ["file in transfer", "its record", "file in transfer, record matching",
                                     "shortcut list", "journal", "journal naming a file outside"])
def test_a_second_name_at_a_name_the_program_writes_is_replaced_not_written_through(win, tmp_path, shortcuts, planted):
    # A whole chunk: a file in transfer that long, with its record, is gone on with.
    victim = tmp_path / "victim.sys"
    victim.write_bytes(pattern(262144, 9))
    inst = tmp_path / "inst"
    inst.mkdir()
    src = make_tree(tmp_path / "src", BIG)
    publish(src, tmp_path / "pub")
    link = {"file in transfer": "big.bin.~tv", "its record": "big.bin.~tv.~tv",
            "file in transfer, record matching": "big.bin.~tv", "shortcut list": "linkfiles",
            "journal": "Tovimar.journal"}.get(planted)
    # A second name of the victim's: Wine shows it (a link count of 2) and
    # deletes it as a name. A symbolic link to a file it shows as a plain
    # file, and deleting one deletes its target.
    if link:
        os.link(victim, inst / link)
    if planted == "file in transfer, record matching":
        (inst / "big.bin.~tv.~tv").write_bytes(identity(tmp_path / "pub", "big.bin"))
    if planted == "journal naming a file outside":
        # A commit the next start would finish, of a name that leaves the folder.
        (tmp_path / "victim.sys.~tv").write_bytes(b"planted")
        (inst / "Tovimar.journal").write_bytes(b"Tovimar journal 1\r\n~old00000000.~tv ..\\victim.sys=7,0\r\n"
                                               b"commit 1\r\n")
    with FileServerProcess(tmp_path / "pub") as server:
        proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={unresolved(inst)}", "silent",
                                               "kvo:ON", "linkname=SafeRow"])
        assert win.wait(proc, 60) == 0
    assert victim.read_bytes() == pattern(262144, 9) and victim.stat().st_nlink == 1
    assert (inst / "big.bin").read_bytes() == BIG["big.bin"]
    assert not (inst / "Tovimar.journal").exists()


@pytest.mark.parametrize("planted", ["a second name", "a folder link"])
def test_the_log_is_never_written_through_a_link(win, tmp_path, planted):
    victim = tmp_path / "victim" / "system.ini"
    make_tree(victim.parent, {"system.ini": b"keep"})
    logs = tmp_path / "logs"
    if planted == "a second name":
        logs.mkdir()
        os.link(victim, logs / "run.log")
    else:
        logs.symlink_to(victim.parent, target_is_directory=True)
        os.rename(victim, victim.parent / "run.log")
        victim = victim.parent / "run.log"
    inst = tmp_path / "inst"
    install(win, tmp_path, inst, "silent", f"log={unresolved(logs / 'run.log')}")  # a log it cannot open is skipped
    assert victim.read_bytes() == b"keep"
    assert (inst / "Corvane.exe").read_bytes() == FILES["Corvane.exe"]


def test_the_uninstall_neither_deletes_through_a_link_nor_removes_it(win, tmp_path):
    victim = tmp_path / "other program"
    make_tree(victim, {"linkfiles": b"", "Tovimar.exe": b"not ours", "data.bin": b"keep"})
    inst = tmp_path / "inst"
    inst.symlink_to(victim, target_is_directory=True)
    exe = copy_program(tmp_path / "app")
    assert win.run(exe, [f"uninstall:{unresolved(inst)}"], timeout=60).returncode == 4
    assert sorted(p.name for p in victim.iterdir()) == ["Tovimar.exe", "data.bin", "linkfiles"]
    assert inst.is_symlink()


# -- the uninstall deletes only what it means to ---------------------------------

def test_a_name_the_code_page_lacks_deletes_nothing_outside_the_folder(win, tmp_path):
    base = tmp_path / "a" / "b"
    inst = base / "inst"
    make_tree(inst, {"linkfiles": b"", "Corvane.exe": b"c"})
    # A best-fit listing reads this name as "..\..\x.txt".
    (inst / "\uff0e\uff0e\uff3c\uff0e\uff0e\uff3cx.txt").write_bytes(b"fullwidth")
    (base.parent / "x.txt").write_bytes(b"victim")  # where "..\..\x.txt" would lead
    (tmp_path / "x.txt").write_bytes(b"victim")
    exe = copy_program(tmp_path / "app")
    assert win.run(exe, [f"uninstall:{winpath(inst)}"], timeout=60).returncode == 0
    assert wait_for(lambda: not inst.exists(), 30), list(inst.iterdir())
    assert (base.parent / "x.txt").read_bytes() == b"victim"
    assert (tmp_path / "x.txt").read_bytes() == b"victim"


def test_a_name_the_code_page_lacks_is_no_old_file_to_remove(win, tmp_path):
    # Files renamed aside by an earlier run ("~old" and eight hexadecimal
    # digits) are removed at the start of a pass; a best-fit listing reads
    # this name as "~old\..\..\x.~tv", as long as one of those.
    base = tmp_path / "a"
    inst = base / "inst"
    inst.mkdir(parents=True)
    planted = inst / "~old\uff3c\uff0e\uff0e\uff3c\uff0e\uff0e\uff3cx.~tv"
    planted.write_bytes(b"fullwidth")
    (base / "x.~tv").write_bytes(b"victim")  # where "inst\~old\..\..\x.~tv" leads
    (inst / "~old0123abcd.~tv").write_bytes(b"aside")
    install(win, tmp_path, inst, "silent")
    assert (base / "x.~tv").read_bytes() == b"victim"
    assert planted.read_bytes() == b"fullwidth"
    assert not (inst / "~old0123abcd.~tv").exists()  # what was put aside still goes


def test_started_as_a_relative_path_the_uninstall_removes_its_own_folder_only(win, tmp_path):
    inst = tmp_path / "inst"
    make_tree(inst, {"linkfiles": b"", "Corvane.exe": b"c"})
    copy_program(inst)
    sentinel = temp_folder() / f"sentinel-{os.getpid()}.txt"
    sentinel.write_bytes(b"s")
    try:
        # As from an elevated prompt in the installation folder.
        assert win.run(TEST_BIN / "launch.exe", [".\\Tovimar.exe uninstall"], timeout=60, cwd=inst).returncode == 0
        assert wait_for(lambda: not inst.exists(), 30)
        assert sentinel.exists()
    finally:
        sentinel.unlink(missing_ok=True)


def test_a_copy_planted_in_the_temporary_folder_is_never_started(win, tmp_path):
    inst = tmp_path / "inst"
    make_tree(inst, {"linkfiles": b"", "Corvane.exe": b"c"})
    exe = copy_program(inst)
    planted = temp_folder() / "Tovimar.exe"
    planted.unlink(missing_ok=True)
    shutil.copyfile(TEST_BIN / "Corvane.exe", planted)  # logs its start
    planted.chmod(stat.S_IREAD)
    log, _ = client_records(planted)
    try:
        assert win.run(exe, ["uninstall"], timeout=60, cwd=tmp_path).returncode == 0
        assert wait_for(lambda: not inst.exists(), 30)
        assert not log.exists()
    finally:
        planted.chmod(stat.S_IREAD | stat.S_IWRITE)
        planted.unlink(missing_ok=True)


def test_the_shortcut_list_removes_only_the_programs_own_shortcuts(win, tmp_path, shortcuts):
    inst = tmp_path / "inst"
    install(win, tmp_path, inst, "kvo:ON", files={"Corvane.exe": FILES["Corvane.exe"]})
    assert all(p.exists() for p in shortcuts)
    outside = tmp_path / "outside"
    make_tree(outside, {"mine.lnk": b"L"})
    (DESKTOP / "Sub").mkdir(exist_ok=True)
    (DESKTOP / "Sub" / "deep.lnk").write_bytes(b"D")
    listener = socket.socket()
    try:
        listener.bind(("127.0.0.1", 445))
        listener.listen(4)
        listener.settimeout(0.5)
    except OSError:
        listener.close()
        listener = None
    try:
        lines = (inst / "linkfiles").read_bytes() + b"\r\n".join([
            winpath(outside / "mine.lnk").encode(), b"C:\\users\\Public\\Desktop\\Sub\\deep.lnk",
            b"C:\\users\\Public\\Desktop\\..\\..\\Public\\Desktop\\Sub\\deep.lnk",
            b"\\\\127.0.0.1\\share\\x.lnk", b"//127.0.0.1/share/y.lnk"]) + b"\r\n"
        (inst / "linkfiles").write_bytes(lines)
        assert win.run(inst / "Tovimar.exe", ["uninstall"], timeout=60, cwd=tmp_path).returncode == 0
        assert wait_for(lambda: not inst.exists(), 30), list(inst.iterdir())
        assert not any(p.exists() for p in shortcuts)
        assert (outside / "mine.lnk").exists()
        assert (DESKTOP / "Sub" / "deep.lnk").exists()
        if listener:  # nothing reached out to the share's host
            with pytest.raises(socket.timeout):
                listener.accept()
    finally:
        if listener:
            listener.close()
        shutil.rmtree(DESKTOP / "Sub", ignore_errors=True)


# -- names Windows treats otherwise ----------------------------------------------------

def test_device_names_wildcards_own_names_and_case_twins_are_not_written(win, tmp_path):
    good = {"ok.txt": b"ok", "Bin/lib.dll": b"lib"}
    src = make_tree(tmp_path / "src", good)
    publish(src, tmp_path / "pub")
    bad = ["CON", "nul.txt", "Bin\\COM1.dll", "LPT\xb9", "a*b.txt", "q?.txt", "p|q", "trail.", "Tovimar.exe",
           "linkfiles", "Tovimar.serial", "x.~tv", "OK.TXT"]
    for name in bad:  # the server would serve them: the program must not ask
        target = tmp_path / "pub" / name.replace("\\", "/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(b"bad")
    manifest = tmp_path / "pub" / "files.ver"
    manifest.write_bytes(manifest.read_bytes() + "".join(f"{n}=3,0\r\n" for n in bad).encode("latin-1"))
    inst = tmp_path / "inst"
    with FileServerProcess(tmp_path / "pub", log=tmp_path / "requests.log") as server:
        exe = copy_program(tmp_path / "app")
        assert win.wait(win.start(exe, [f"host=127.0.0.1:{server.port}", f"dir={winpath(inst)}"]), 60) == 0
        asked = [r.split(";")[0] for r in server.requests() if ";" in r]
    assert sorted(asked) == ["Bin\\lib.dll", "files.ver", "ok.txt"]
    assert tree(inst) == tree(src)


# -- a stop is a stop ---------------------------------------------------------------

def test_closing_the_window_mid_download_makes_no_shortcuts_and_no_uninstaller(win, tmp_path, shortcuts):
    src = make_tree(tmp_path / "src", FILES)
    publish(src, tmp_path / "pub")
    inst = tmp_path / "inst"
    with FileServerProcess(tmp_path / "pub", "--stall", "60", "--fault-file", "Bin\\core.dll",
                           log=tmp_path / "requests.log") as server:
        proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={winpath(inst)}", "kvo:ON",
                                               "linkname=SafeRow"])
        assert wait_for(lambda: any(r.startswith("Bin\\core.dll") for r in server.requests()), 30)
        assert win.probe("close", "CN")
        assert win.wait(proc, 30) == 1  # stopped before the pass completed
    assert not (inst / "linkfiles").exists()
    assert not (inst / "Tovimar.exe").exists()
    assert not any(p.exists() for p in shortcuts)


def test_a_relative_run_after_program_is_the_installation_folders_not_the_setups(win, tmp_path):
    # A download folder may hold a program of the client's name.
    downloads, inst = tmp_path / "Downloads", tmp_path / "inst"
    exe = copy_program(downloads)
    (downloads / "Tovimar.ver").write_bytes(b"[CLIENT]\r\n")
    planted = copy_program(downloads, "Corvane.exe", "Corvane.exe")
    installed = copy_program(inst, "Corvane.exe", "Corvane.exe")
    planted_log, _ = client_records(planted)
    installed_log, token = client_records(installed)
    proc = win.start(exe, [f"dir={winpath(inst)}", "silent", "next", "Corvane.exe", "/x"], cwd=downloads)
    assert win.wait(proc, 60) == 0
    assert wait_for(lambda: installed_log.exists() and installed_log.read_text().strip(), 20)
    assert installed_log.read_text().strip().endswith('"/x"')
    assert wait_for(lambda: token.exists() and "folder=" in token.read_text(), 20)
    assert f"folder={winpath(inst)}" in token.read_text()  # started in the installation folder
    assert not planted_log.exists()


def test_a_program_without_keys_opens_no_shortcut_in_the_cloud_preset(win, tmp_path):
    # Without keys the cloud's list, and so its client, could come from anyone,
    # and the cloud folder is its users' to write: a client put there is not
    # started through the new desktop shortcut.
    cloud = DRIVE_C / "ProgramData" / "Velorin" / "Azure"
    made = [DESKTOP / "Velorin on Azure.lnk", MENU / "Velorin on Azure.lnk", MENU / "Uninstall Velorin on Azure.lnk"]
    shutil.rmtree(cloud, ignore_errors=True)
    for p in made:
        p.unlink(missing_ok=True)
    client = copy_program(cloud, "Corvane.exe", "Corvane.exe")
    log, _ = client_records(client)
    exe = copy_program(tmp_path / "Downloads", "AzureEN-setup.exe", "Tovimar.exe")
    try:
        assert win.wait(win.start(exe), 90) == 1  # the cloud hosts of this build are not there: no file list
        assert made[0].exists()  # the shortcut it would open was made
        assert not wait_for(log.exists, 3)
    finally:
        shutil.rmtree(cloud, ignore_errors=True)
        for p in made:
            p.unlink(missing_ok=True)


def test_a_run_after_of_link_that_no_shortcut_replaced_starts_nothing(win, tmp_path):
    # The cloud preset opens "link", its new desktop shortcut, at the end. When
    # no shortcut could be made (a folder of that name is in the way), the
    # shell would look for a program called link.
    blocker = DESKTOP / "Velorin on Azure.lnk"
    cloud = DRIVE_C / "ProgramData" / "Velorin" / "Azure"
    made = [MENU / "Velorin on Azure.lnk", MENU / "Uninstall Velorin on Azure.lnk"]
    shutil.rmtree(cloud, ignore_errors=True)
    blocker.mkdir(exist_ok=True)
    downloads = tmp_path / "Downloads"
    exe = copy_program(downloads, "AzureEN-setup.exe", "Tovimar.exe")
    shutil.copyfile(TEST_BIN / "Corvane.exe", downloads / "link.exe")
    log, _ = client_records(downloads / "link.exe")
    try:
        proc = win.start(exe)
        assert win.wait(proc, 90) == 1  # the cloud hosts of this build are not there: no file list
        assert not wait_for(log.exists, 3)
    finally:
        shutil.rmtree(blocker, ignore_errors=True)
        shutil.rmtree(cloud, ignore_errors=True)
        for p in made:
            p.unlink(missing_ok=True)
