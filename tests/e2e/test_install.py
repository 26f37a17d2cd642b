"""The whole job of a customer's copy: it configures itself, installs, makes
the shortcuts and the uninstaller, and the uninstaller takes it all away."""
import shutil
import subprocess

import pytest

from servers import FileServer, Nginx, make_tree, pattern, publish
from winenv import BIN, copy_program, wait_for, winpath

CLIENT = (BIN / "Corvane.exe").read_bytes()


def lnk(path):
    """Target, working folder and arguments of a shortcut, as lnkinfo reads them."""
    out = subprocess.run(["lnkinfo", str(path)], capture_output=True, text=True, timeout=30).stdout
    info = {}
    for line in out.splitlines():
        if ":" in line:
            key, _, value = line.partition(":")
            info[key.strip()] = value.strip()
    return info


def folders(win):
    desktop = win.drive_c / "users" / "Public" / "Desktop"
    menu = win.drive_c / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Velorin"
    return desktop, menu


def files_of(name, n=1):
    return {"Corvane.exe": CLIENT, "Bin/engine.dll": pattern(300000, n), "Data/readme.txt": f"{name}\r\n".encode()}


def test_a_named_copy_installs_with_shortcuts_and_uninstaller(win, tmp_path):
    inst = win.drive_c / "users" / "root" / "AppData" / "Roaming" / "Velorin" / "127.0.0.1"
    shutil.rmtree(inst, ignore_errors=True)
    desktop, menu = folders(win)
    files = files_of("named")
    src = make_tree(tmp_path / "src", files)
    publish(src, tmp_path / "pub")
    with FileServer(tmp_path / "pub") as server:
        exe = copy_program(tmp_path / "Downloads", f"127.0.0.1-{server.port}-My_Client_A-setup.exe")
        proc = win.start(exe)
        assert win.wait(proc, 120) == 0
    for rel, data in files.items():
        assert (inst / rel).read_bytes() == data
    assert (inst / "Tovimar.exe").read_bytes() == exe.read_bytes()
    shortcuts = [desktop / "My Client A.lnk", menu / "My Client A.lnk", menu / "Uninstall My Client A.lnk"]
    listed = (inst / "linkfiles").read_bytes().split(b"\r\n")
    assert listed[-1] == b"" and len(listed) == 4
    assert [line.decode().rsplit("\\", 1)[-1] for line in listed[:3]] == [s.name for s in shortcuts]
    for shortcut in shortcuts[:2]:
        info = lnk(shortcut)
        assert info.get("Command line arguments") == "/SAAS:127.0.0.1"
        assert info.get("Working directory", "").endswith("127.0.0.1")
        assert "Corvane.exe" in info.get("Local path", "") + info.get("Relative path", "")
    info = lnk(shortcuts[2])
    assert info.get("Command line arguments") == "uninstall"
    assert "Tovimar.exe" in info.get("Local path", "") + info.get("Relative path", "")

    # The uninstaller removes the shortcuts and the folder's files; the
    # sub-folders and what is in them stay, and so does the folder.
    proc = win.start(inst / "Tovimar.exe", ["uninstall"])
    assert win.wait(proc, 60) == 0
    assert wait_for(lambda: not (inst / "Corvane.exe").exists() and not (inst / "linkfiles").exists(), 30)
    assert wait_for(lambda: not any(s.exists() for s in shortcuts), 10)
    assert (inst / "Bin" / "engine.dll").exists()
    assert not (inst / "Tovimar.exe").exists()


def test_an_emptied_folder_is_removed(win, tmp_path):
    inst = tmp_path / "Velorin Apps" / "inst"
    decoy = tmp_path / "Velorin"  # the first word of the folder's name
    decoy.mkdir()
    (decoy / "keep.txt").write_text("decoy")
    (decoy / "linkfiles").write_text("")
    src = make_tree(tmp_path / "src", {"Corvane.exe": CLIENT, "a.txt": b"a"})
    publish(src, tmp_path / "pub")
    with FileServer(tmp_path / "pub") as server:
        app = copy_program(tmp_path / "app")
        proc = win.start(app, [f"host=127.0.0.1:{server.port}", f"dir={winpath(inst)}", "kvo:ON",
                               "linkname=Velorin Empty"])
        assert win.wait(proc, 120) == 0
    assert (inst / "linkfiles").exists()
    proc = win.start(inst / "Tovimar.exe", ["uninstall"])
    assert win.wait(proc, 60) == 0
    assert wait_for(lambda: not inst.exists(), 30)
    assert sorted(p.name for p in decoy.iterdir()) == ["keep.txt", "linkfiles"]
    desktop, menu = folders(win)
    assert not (desktop / "Velorin Empty.lnk").exists()


def test_a_stamped_copy_configures_itself_from_its_resource(win, tmp_path):
    inst = tmp_path / "inst"
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log = tmp_path / "client.log"
    src = make_tree(tmp_path / "src", {"a.txt": b"stamped"})
    publish(src, tmp_path / "pub")
    with FileServer(tmp_path / "pub") as server:
        exe = copy_program(tmp_path / "Downloads", "acme-1-x-setup.exe")
        # The port inside the resource is taken one lower.
        text = f"host=127.0.0.1:{server.port + 1}&dir={winpath(inst)}&next&{winpath(client)}&/arg one"
        assert win.run(BIN / "stamp.exe", [winpath(exe), text], timeout=60).returncode == 0
        proc = win.start(exe, env={"TOVIMAR_CLIENT_LOG": winpath(log)})
        assert win.wait(proc, 120) == 0
    assert (inst / "a.txt").read_bytes() == b"stamped"
    assert wait_for(log.exists, 20)
    assert log.read_text().strip().endswith('"/arg one"')
    assert not (inst / "linkfiles").exists()  # no kvo:ON in the resource, and the name is not looked at


def test_the_cloud_preset_installs_its_language_and_opens_the_new_shortcut(win, tmp_path):
    inst = win.drive_c / "ProgramData" / "Velorin" / "Azure"
    shutil.rmtree(inst, ignore_errors=True)
    desktop, menu = folders(win)
    for name in ("Velorin on Azure.lnk",):
        (desktop / name).unlink(missing_ok=True)
    files = {"Corvane.exe": CLIENT, "EN/x.txt": b"english", "DE/y.txt": b"deutsch", "top.txt": b"top"}
    src = make_tree(tmp_path / "src", files)
    root = tmp_path / "web"
    publish(src, tmp_path / "pub", root, "--no-month-folders")
    log = tmp_path / "client.log"
    with Nginx(root, tmp_path / "nginx", port=38917) as web:
        (root / "install").mkdir()
        publish(src, tmp_path / "pub", None, "--site", web.url)
        shutil.copyfile(tmp_path / "pub" / "files.ver", root / "install" / "files.ver")
        exe = copy_program(tmp_path / "Downloads", "AzureEN-setup.exe", "TovimarTest.exe")
        proc = win.start(exe, env={"TOVIMAR_CLIENT_LOG": winpath(log)})
        assert win.wait(proc, 120) == 0
    assert (inst / "EN" / "x.txt").read_bytes() == b"english"
    assert (inst / "top.txt").read_bytes() == b"top"
    assert not (inst / "DE").exists()
    assert lnk(desktop / "Velorin on Azure.lnk").get("Command line arguments") == "/SAAS:127.0.0.1 /LANG:EN"
    # The run-after "link" opened the desktop shortcut, which started the client.
    assert wait_for(lambda: log.exists() and log.read_text().strip(), 30)
    assert log.read_text().strip().endswith("/SAAS:127.0.0.1 /LANG:EN")
    proc = win.start(inst / "Tovimar.exe", ["uninstall"])
    assert win.wait(proc, 60) == 0
    assert wait_for(lambda: not (desktop / "Velorin on Azure.lnk").exists(), 30)


def test_uninstall_from_a_downloads_folder_deletes_nothing(win, tmp_path):
    downloads = tmp_path / "Downloads"
    exe = copy_program(downloads, "acme-setup.exe")
    for name in ("photo.jpg", "letter.doc", "other.lnk"):
        (downloads / name).write_text(name)
    before = sorted(p.name for p in downloads.iterdir())
    proc = win.start(exe, ["uninstall"])
    assert win.wait(proc, 60) == 0
    assert not wait_for(lambda: sorted(p.name for p in downloads.iterdir()) != before, 3)


def test_a_tampered_list_removes_shortcuts_only(win, tmp_path):
    inst = tmp_path / "inst"
    inst.mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    victim = outside / "system.ini"
    victim.write_text("keep me")
    listed = outside / "listed.lnk"
    listed.write_text("a shortcut")
    (inst / "linkfiles").write_bytes(f"{winpath(victim)}\r\n{winpath(listed)}\r\nC:\\\r\n".encode())
    (inst / "Tovimar.exe").write_bytes((BIN / "Tovimar.exe").read_bytes())
    proc = win.start(inst / "Tovimar.exe", ["uninstall"])
    assert win.wait(proc, 60) == 0
    assert wait_for(lambda: not inst.exists(), 30)
    assert not listed.exists()
    assert victim.read_text() == "keep me"
