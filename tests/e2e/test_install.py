"""Installations with their shortcuts, as the setup program makes them from its
own file name, from its built-in arguments and in the cloud preset; and the
uninstall that the uninstaller shortcut starts."""
import re
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from servers import FileServerProcess, Nginx, make_tree, pattern, publish, publisher, tree
from winenv import BIN, PREFIX, ROOT, TEST_BIN, TOOLS_BIN, client_records, copy_program, linux_path, start_wineserver, stop_wineserver, wait_for, winpath

DRIVE_C = PREFIX / "drive_c"
DESKTOP = DRIVE_C / "users" / "Public" / "Desktop"
MENU = DRIVE_C / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Velorin"
CLOUD_DIR = DRIVE_C / "ProgramData" / "Velorin" / "Azure"
CLOUD_PORT = 38917  # built into TovimarTest.exe's cloud manifest URL
CLOUD_LINK = "Velorin on Azure"
CLIENT = (TEST_BIN / "Corvane.exe").read_bytes()


def user_folder():
    users = [p for p in (DRIVE_C / "users").iterdir() if p.is_dir() and p.name != "Public"]
    assert len(users) == 1, users
    return users[0]


def shortcut(path: Path) -> dict:
    """The fields lnkinfo shows for a shortcut file: 'Local path',
    'Working directory', 'Command line arguments', ..."""
    out = subprocess.run(["lnkinfo", str(path)], capture_output=True, text=True, timeout=30, check=True).stdout
    fields = {}
    for line in out.splitlines():
        m = re.match(r"^\t([A-Za-z][A-Za-z ]*?)\t+: ?(.*)$", line)
        if m and m.group(1) not in fields:
            fields[m.group(1)] = m.group(2)
    return fields


def target(fields) -> tuple:
    return fields.get("Local path"), fields.get("Working directory"), fields.get("Command line arguments")


class Links:
    """The three shortcuts of one link name; removed before and after a test."""

    def __init__(self, name):
        self.name = name
        self.desktop = DESKTOP / f"{name}.lnk"
        self.menu = MENU / f"{name}.lnk"
        self.uninstaller = MENU / f"Uninstall {name}.lnk"

    @property
    def all(self):
        return [self.desktop, self.menu, self.uninstaller]

    def windows(self):
        """Their Windows paths, as the list in the installation holds them."""
        return ["C:\\" + str(p.relative_to(DRIVE_C)).replace("/", "\\") for p in self.all]

    def remove(self):
        for p in self.all:
            p.unlink(missing_ok=True)


@pytest.fixture
def links(request):
    made = []

    def make(name):
        made.append(Links(name))
        made[-1].remove()
        return made[-1]

    yield make
    for item in made:
        item.remove()


def published(tmp_path, files, *extra, name="v"):
    src = make_tree(tmp_path / f"src-{name}", files)
    publish(src, tmp_path / f"pub-{name}", None, *extra)
    return src, tmp_path / f"pub-{name}"


def list_lines(folder):
    return (folder / "linkfiles").read_bytes()


def files_directly_in(folder):
    return sorted(p.name for p in folder.iterdir() if p.is_file()) if folder.exists() else []


# -- installing ---------------------------------------------------------------

@pytest.mark.parametrize("scheme, link_name", [
    ("127.0.0.1-{port}-My_Client_1-setup.exe", "My Client 1"),
    ("127.0.0.1-{port}-setup.exe", "127.0.0.1"),
])
def test_a_setup_program_named_after_the_server_installs_with_shortcuts(win, tmp_path, links, scheme, link_name):
    user = user_folder()
    inst = user / "AppData" / "Roaming" / "Velorin" / "127.0.0.1"
    shutil.rmtree(inst, ignore_errors=True)  # shared by every setup program named 127.0.0.1-...
    lk = links(link_name)
    src, pub = published(tmp_path, {"Corvane.exe": pattern(30000, 1), "Data/readme.txt": b"read me\r\n"})
    with FileServerProcess(pub) as server:
        exe = copy_program(tmp_path / "Downloads", scheme.format(port=server.port))
        assert win.wait(win.start(exe), 60) == 0
    assert tree(inst, skip={"linkfiles", "Tovimar.exe"}) == tree(src)
    assert (inst / "Tovimar.exe").read_bytes() == (BIN / "Tovimar.exe").read_bytes()
    assert list_lines(inst) == "".join(p + "\r\n" for p in lk.windows()).encode()
    folder = f"C:\\users\\{user.name}\\AppData\\Roaming\\Velorin\\127.0.0.1"
    for link in (lk.desktop, lk.menu):
        assert target(shortcut(link)) == (folder + "\\Corvane.exe", folder, "/SAAS:127.0.0.1")
    assert target(shortcut(lk.uninstaller)) == (folder + "\\Tovimar.exe", folder, "uninstall")
    shutil.rmtree(inst, ignore_errors=True)


@pytest.mark.parametrize("folder", ["inst", "two words/inst"])
def test_a_stamped_program_installs_from_its_built_in_arguments(win, tmp_path, links, folder):
    lk = links(f"Stamped {folder.count('/')}")
    inst = tmp_path / folder
    src, pub = published(tmp_path, {"Corvane.exe": CLIENT, "Bin/core.dll": pattern(70000, 2)})
    client_log, _ = client_records(inst / "Corvane.exe")
    with FileServerProcess(pub) as server:
        exe = copy_program(tmp_path / "Downloads", "stamped_x-setup.exe")
        client = winpath(inst / "Corvane.exe")
        # A port written inside the resource is taken one lower.
        text = tmp_path / "instdata.txt"
        text.write_bytes(f"host=127.0.0.1:{server.port + 1}&dir={winpath(inst)}&kvo:ON&linkname={lk.name}"
                         f"&next&{client}&/arg one".encode())
        assert win.run(TOOLS_BIN / "stamp.exe", [winpath(exe), "@" + winpath(text)], timeout=60).returncode == 0
        proc = win.start(exe)
        assert win.wait(proc, 60) == 0
    assert tree(inst, skip={"linkfiles", "Tovimar.exe"}) == tree(src)
    # The file name played no part.
    assert not (user_folder() / "AppData" / "Roaming" / "Velorin" / "stamped x").exists()
    assert list_lines(inst) == "".join(p + "\r\n" for p in lk.windows()).encode()
    assert target(shortcut(lk.menu)) == (client, winpath(inst), f"/SKVO /HOST:127.0.0.1:{server.port}")
    assert wait_for(lambda: client_log.exists() and client_log.read_text().strip(), 20)
    line = client_log.read_text().strip()
    assert line.lower().startswith(f'"{client.lower()}"')
    assert line.endswith(' "/arg one"')  # a blank inside a piece belongs to it


def test_stamp_refuses_more_arguments_than_the_program_takes(win, tmp_path):
    exe = copy_program(tmp_path / "Downloads", "acme-setup.exe")
    before = exe.read_bytes()
    text = tmp_path / "instdata.txt"
    text.write_bytes(b"dir=C:\\" + b"d" * 1020)  # 1027 bytes: the program would drop the last argument
    done = win.run(TOOLS_BIN / "stamp.exe", [winpath(exe), "@" + winpath(text)], timeout=60)
    assert done.returncode == 1 and b"more than the 1023" in done.stderr
    assert exe.read_bytes() == before


def test_a_stamped_copy_is_signed_and_a_signed_copy_is_never_stamped(win, tmp_path, links):
    # A throw-away code-signing certificate stands for the maker's.
    key, cert = tmp_path / "maker.key", tmp_path / "maker.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Velorin test signer", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, timeout=120, capture_output=True)
    lk = links("Signed Setup")
    inst = tmp_path / "inst"
    src, pub = published(tmp_path, {"Corvane.exe": CLIENT, "readme.txt": b"r"})
    with FileServerProcess(pub) as server:
        exe = copy_program(tmp_path / "Downloads", "acme-setup.exe")
        args = f"host=127.0.0.1:{server.port + 1}&dir={winpath(inst)}&linkname={lk.name}"
        assert win.run(TOOLS_BIN / "stamp.exe", [winpath(exe), args], timeout=60).returncode == 0
        done = subprocess.run([sys.executable, ROOT / "tools" / "sign.py", "--cert", cert, "--key", key,
                               "--ca", cert, exe], timeout=300, capture_output=True)
        assert done.returncode == 0, done.stderr
        checked = subprocess.run(["osslsigncode", "verify", "-in", exe, "-CAfile", cert], timeout=120,
                                 capture_output=True)
        assert checked.returncode == 0 and b"Signature verification: ok" in checked.stdout, checked.stdout
        # Signed, it still runs on what was stamped.
        assert win.wait(win.start(exe), 60) == 0
    assert tree(inst, skip={"Tovimar.exe"}) == tree(src)
    # Stamped again, the signature would be void: refused, the copy untouched.
    before = exe.read_bytes()
    done = win.run(TOOLS_BIN / "stamp.exe", [winpath(exe), "dir=C:\\Elsewhere"], timeout=60)
    assert done.returncode == 1 and b"is signed" in done.stderr, done.stderr
    assert exe.read_bytes() == before


def test_the_cloud_preset_installs_its_language_from_the_mirror_and_starts_the_client(win, tmp_path, links):
    lk = links(CLOUD_LINK)
    shutil.rmtree(CLOUD_DIR, ignore_errors=True)
    forget_cloud_serials(win)  # a fresh installation
    files = {"Corvane.exe": CLIENT, "x.txt": b"top\r\n", "EN/x.txt": b"english\r\n", "DE/y.txt": b"deutsch\r\n"}
    src = make_tree(tmp_path / "src", files)
    web_root = tmp_path / "web"
    site = f"http://127.0.0.1:{CLOUD_PORT}/mirror"
    # The test program holds the test keys: it takes only a list they signed.
    publish(src, web_root / "install", web_root / "mirror", "--no-month-folders", "--site", site,
            "--key", str(ROOT / "tests" / "keys" / "test.pem"), "--key-id", "test")
    client_log, _ = client_records(CLOUD_DIR / "Corvane.exe")
    exe = copy_program(tmp_path / "Downloads", "AzureEN-setup.exe", "TovimarTest.exe")
    try:
        with Nginx(web_root, tmp_path / "nginx", port=CLOUD_PORT) as web:
            proc = win.start(exe)
            assert win.wait(proc, 60) == 0
            assert wait_for(lambda: client_log.exists() and client_log.read_text().strip(), 20)
            served = web.served()
        expected = {k: v for k, v in tree(src).items() if not k.startswith("DE/")}
        assert tree(CLOUD_DIR, skip={"linkfiles", "Tovimar.exe", "Tovimar.serial"}) == expected
        mirror_names = {"/mirror/" + publisher.mirror_name(rel.replace("/", "\\"), len(data), publisher.dos_time(
            (src / rel).stat().st_mtime), False) for rel, data in files.items() if not rel.startswith("DE/")}
        assert sorted(served) == sorted(["/install/files.ver", *mirror_names])
        folder = "C:\\ProgramData\\Velorin\\Azure"
        assert target(shortcut(lk.desktop)) == (folder + "\\Corvane.exe", folder, "/SAAS:127.0.0.1 /LANG:EN")
        assert list_lines(CLOUD_DIR) == "".join(p + "\r\n" for p in lk.windows()).encode()
        # Started through the new desktop shortcut: the installed client with its arguments.
        line = client_log.read_text().strip()
        assert "programdata\\velorin\\azure\\corvane.exe" in line.lower()
        assert line.endswith("/SAAS:127.0.0.1 /LANG:EN")
        assert len(client_log.read_text().splitlines()) == 1
        # The folder is its users' to change: the uninstaller, which an
        # administrator starts elevated, lies in a folder of the
        # administrators' beside it, and removes the folder it names.
        uninstaller = CLOUD_DIR.parent / "Azure Uninstall" / "Tovimar.exe"
        assert not (CLOUD_DIR / "Tovimar.exe").exists()
        assert uninstaller.read_bytes() == (TEST_BIN / "TovimarTest.exe").read_bytes()
        assert stat.S_IMODE(uninstaller.parent.stat().st_mode) & 0o007 == 0
        assert target(shortcut(lk.uninstaller)) == (folder + " Uninstall\\Tovimar.exe", folder + " Uninstall",
                                                   f'"uninstall:{folder}"')
        # Its language folder stays, as every folder below an installation
        # does: the uninstall says it removed not all.
        assert win.run(uninstaller, [f"uninstall:{folder}"], timeout=60).returncode == 4
        assert files_directly_in(CLOUD_DIR) == [] and (CLOUD_DIR / "EN" / "x.txt").exists()
        assert not any(p.exists() for p in lk.all)
    finally:
        shutil.rmtree(CLOUD_DIR, ignore_errors=True)
        shutil.rmtree(CLOUD_DIR.parent / "Azure Uninstall", ignore_errors=True)


SERIALS_KEY = "HKLM\\SOFTWARE\\Velorin\\Tovimar\\Serials"


def forget_cloud_serials(win):
    """The serials the cloud preset keeps, in the 32-bit view both builds use."""
    win.run("reg", ["delete", SERIALS_KEY, "/reg:32", "/f"], timeout=60)
    done = win.run("reg", ["query", SERIALS_KEY, "/reg:32"], timeout=60)
    assert done.returncode != 0, done.stdout


def test_the_cloud_folders_serial_is_kept_where_its_users_cannot_change_it(win, tmp_path, links):
    # The cloud folder is the users': its serial file too. Lowered (deleted)
    # or raised there, it steers nothing.
    links(CLOUD_LINK)
    shutil.rmtree(CLOUD_DIR, ignore_errors=True)
    src = make_tree(tmp_path / "src", {"Corvane.exe": CLIENT, "EN/x.txt": b"english\r\n"})
    web_root = tmp_path / "web"
    site = f"http://127.0.0.1:{CLOUD_PORT}/mirror"
    now = int(time.time())
    exe = copy_program(tmp_path / "Downloads", "AzureEN-setup.exe", "TovimarTest.exe")
    try:
        forget_cloud_serials(win)
        with Nginx(web_root, tmp_path / "nginx", port=CLOUD_PORT):
            # Raised before the first list, lowered, raised again.
            for serial, tamper, code in [(now + 1000, "raise", 0), (now + 500, "delete", 3),
                                         (now + 2000, "raise", 0)]:
                serial_file = CLOUD_DIR / "Tovimar.serial"
                if tamper == "delete":
                    serial_file.unlink()
                elif tamper == "raise":
                    serial_file.parent.mkdir(parents=True, exist_ok=True)
                    serial_file.write_text(str(now + 86400 * 365))
                publish(src, web_root / "install", web_root / "mirror", "--no-month-folders", "--site", site,
                        "--key", str(ROOT / "tests" / "keys" / "test.pem"), "--key-id", "test",
                        "--serial", str(serial))
                assert win.wait(win.start(exe, ["silent"]), 60) == code, (serial, tamper)
        assert (CLOUD_DIR / "Tovimar.serial").read_text() == str(now + 2000)
    finally:
        forget_cloud_serials(win)
        shutil.rmtree(CLOUD_DIR, ignore_errors=True)


# -- uninstalling -------------------------------------------------------------

def install_with_shortcuts(win, tmp_path, files, inst, link_name):
    src, pub = published(tmp_path, files)
    with FileServerProcess(pub) as server:
        proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={winpath(inst)}", "kvo:ON",
                                               f"linkname={link_name}"])
        assert win.wait(proc, 60) == 0
    assert (inst / "linkfiles").exists()
    return src


def run_uninstaller_shortcut(win, lk):
    """Runs what the uninstaller shortcut names, as the shell would: in the
    shortcut's working folder, which is the installation folder."""
    program, folder, arguments = target(shortcut(lk.uninstaller))
    assert win.run(linux_path(program), arguments.split(), timeout=60, cwd=linux_path(folder)).returncode == 0


UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


def registry_values(win, key):
    done = win.run("reg", ["query", key, "/reg:32"], timeout=60)
    if done.returncode != 0:
        return None
    rows = (re.split(r" {4}", line.strip()) for line in done.stdout.decode("latin-1").splitlines())
    return {r[0]: r[2] if len(r) > 2 else "" for r in rows if len(r) >= 2 and r[1].startswith("REG_")}


def entries_named(win, name):
    """The installed apps' keys of that folder name, tagged or not."""
    done = win.run("reg", ["query", UNINSTALL_KEY, "/reg:32"], timeout=60)
    lines = done.stdout.decode("latin-1").splitlines()
    return [line.strip() for line in lines if line.strip().lower().split("\\")[-1].startswith(f"velorin {name}".lower())]


def installed_app(win, inst):
    """The values of the installation's entry among the installed apps, as
    Wine's reg shows them; None when there is none."""
    for key in entries_named(win, inst.name):
        values = registry_values(win, key)
        if values and values.get("InstallLocation") == winpath(inst):
            return values
    return None


def test_an_installation_is_found_among_the_installed_apps_until_it_is_uninstalled(win, tmp_path, links):
    lk = links("Listed App")
    inst = tmp_path / "Acme Listed"
    folder = winpath(inst)
    versions = [
        (None, [], {"Corvane.exe": CLIENT, "readme.txt": b"r" * 3000}),                # no shortcuts: no entry
        ("1.0", ["kvo:ON"], {"Corvane.exe": CLIENT, "readme.txt": b"r" * 3000}),
        ("2.0 beta", ["kvo:ON"], {"Corvane.exe": CLIENT, "readme.txt": b"r" * 5000, "core.dll": b"c" * 2048}),
    ]
    for version, keywords, files in versions:
        _, pub = published(tmp_path, files, *(["--version", version] if version else []), name=str(version))
        with FileServerProcess(pub) as server:
            proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={folder}", *keywords,
                                                   f"linkname={lk.name}"])
            assert win.wait(proc, 60) == 0
        entry = installed_app(win, inst)
        if not keywords:
            assert entry is None
            continue
        kib = (sum(len(content) for content in files.values()) + 1023) // 1024
        uninstall = f'"{folder}\\Tovimar.exe" uninstall'
        assert entry == {
            "DisplayName": lk.name, "DisplayVersion": version, "Publisher": "Velorin", "InstallLocation": folder,
            "DisplayIcon": folder + "\\Corvane.exe", "EstimatedSize": f"{kib:#x}", "UninstallString": uninstall,
            "QuietUninstallString": uninstall + " silent", "NoModify": "0x1", "NoRepair": "0x1"}, entry
    # The quiet uninstall, run as it is written, asks nothing and shows
    # nothing, in either of its stages.
    program, arguments = re.fullmatch(r'"([^"]+)" (.*)', entry["QuietUninstallString"]).groups()
    assert win.run(linux_path(program), arguments.split(), timeout=60, cwd=tmp_path).returncode == 0
    shown = []

    def removed():
        shown.extend(w for w in (win.probe("shown", "-", "-", 50), win.probe("find", "#32770", "-", 50)) if w)
        return not inst.exists()

    assert wait_for(removed, 30), files_directly_in(inst)
    assert not shown, shown
    assert wait_for(lambda: installed_app(win, inst) is None, 10)
    assert not any(p.exists() for p in lk.all)


def test_two_folders_of_one_name_keep_an_entry_each(win, tmp_path, links):
    lk = links("Twin App")
    first, second = tmp_path / "one" / "Acme Twin", tmp_path / "two" / "acme twin"
    _, pub = published(tmp_path, {"Corvane.exe": CLIENT, "readme.txt": b"r"})
    with FileServerProcess(pub) as server:
        for inst in (first, second, first):  # the first again: its own entry, not the other's
            proc = win.start(BIN / "Tovimar.exe", [f"host=127.0.0.1:{server.port}", f"dir={winpath(inst)}", "kvo:ON",
                                                   f"linkname={lk.name}"])
            assert win.wait(proc, 60) == 0
            assert installed_app(win, inst)
    assert installed_app(win, first) and installed_app(win, second)
    # Uninstalling one leaves the other's.
    assert win.run(first / "Tovimar.exe", ["uninstall", "silent"], timeout=60, cwd=tmp_path).returncode == 0
    assert wait_for(lambda: not first.exists(), 30)
    assert wait_for(lambda: installed_app(win, first) is None, 10)
    assert installed_app(win, second)


@pytest.mark.parametrize("files, kept", [
    ({"Corvane.exe": CLIENT, "readme.txt": b"r", "Bin/core.dll": b"c", "Data/Deep/x.txt": b"x"},
     ["Bin/core.dll", "Data/Deep/x.txt"]),
    ({"Corvane.exe": CLIENT, "readme.txt": b"r"}, []),
])
def test_the_uninstaller_shortcut_removes_shortcuts_and_files(win, tmp_path, links, files, kept):
    lk = links(f"Removable {len(kept)}")
    inst = tmp_path / "inst"
    src = install_with_shortcuts(win, tmp_path, files, inst, lk.name)
    assert all(p.exists() for p in lk.all)
    run_uninstaller_shortcut(win, lk)
    # The second stage runs on after the first has ended.
    assert wait_for(lambda: not files_directly_in(inst), 30), files_directly_in(inst)
    assert wait_for(lambda: not any(p.exists() for p in lk.all), 10)
    assert MENU.is_dir()
    # Its entry among the installed apps goes with the files and the
    # uninstaller, whatever folders stay.
    assert wait_for(lambda: installed_app(win, inst) is None, 10)
    if kept:
        assert tree(inst) == {rel: v for rel, v in tree(src).items() if rel in kept}
    else:
        assert wait_for(lambda: not inst.exists(), 10)


def test_a_folder_with_a_blank_is_removed_and_its_first_word_is_not(win, tmp_path, links):
    lk = links("Blank Folder")
    inst = tmp_path / "Velorin Apps" / "inst"
    decoy = tmp_path / "Velorin"
    make_tree(decoy, {"Corvane.exe": b"decoy", "linkfiles": b"", "notes.txt": b"keep"})
    before = tree(decoy)
    install_with_shortcuts(win, tmp_path, {"Corvane.exe": CLIENT, "readme.txt": b"r"}, inst, lk.name)
    run_uninstaller_shortcut(win, lk)
    assert wait_for(lambda: not files_directly_in(inst), 30), files_directly_in(inst)
    assert wait_for(lambda: not any(p.exists() for p in lk.all), 10)
    assert tree(decoy) == before


def temp_copy():
    return user_folder() / "Temp" / "Tovimar.exe"


@pytest.mark.parametrize("name", ["Tovimar.exe", "127.0.0.1-22000-Shop-setup.exe"])
def test_a_downloaded_setup_program_asked_to_uninstall_deletes_nothing(win, tmp_path, name):
    downloads = tmp_path / "Downloads"
    make_tree(downloads, {"report.pdf": b"pdf", "photo.jpg": b"jpg", "Corvane.exe": b"exe", "old/a.txt": b"a"})
    exe = copy_program(downloads, name)
    before = tree(downloads)
    temp_copy().unlink(missing_ok=True)
    assert win.run(exe, ["uninstall"], timeout=60, cwd=downloads).returncode == 0
    # The first stage copies itself before it starts the second: no copy, no second stage.
    assert not temp_copy().exists()
    assert not wait_for(lambda: tree(downloads) != before, 2.0)


def test_only_full_shortcut_paths_of_the_list_are_deleted(win, tmp_path):
    inst = tmp_path / "inst"
    outside = tmp_path / "outside"
    elsewhere = tmp_path / "elsewhere"  # the uninstall's current folder
    make_tree(outside, {"settings.ini": b"[a]\r\n", "notes.txt": b"n", "listed.lnk": b"L", "LOUD.LNK": b"L"})
    make_tree(elsewhere, {"relative.lnk": b"R", "inst/deep.lnk": b"D"})
    lines = [winpath(outside / "settings.ini"), winpath(outside / "notes.txt"), "relative.lnk", "inst\\deep.lnk",
             winpath(outside / "listed.lnk"), winpath(outside / "LOUD.LNK"), ""]
    make_tree(inst, {"linkfiles": "\r\n".join(lines).encode(), "Corvane.exe": b"c"})
    copy_program(inst)
    assert win.run(inst / "Tovimar.exe", ["uninstall"], timeout=60, cwd=elsewhere).returncode == 0
    assert wait_for(lambda: not inst.exists(), 30), files_directly_in(inst)
    # Shortcuts outside the common desktop and Start menu folder are not the
    # program's to remove, whatever the list says.
    assert sorted(tree(outside)) == ["LOUD.LNK", "listed.lnk", "notes.txt", "settings.ini"]
    assert sorted(tree(elsewhere)) == ["inst/deep.lnk", "relative.lnk"]


@pytest.fixture
def spare_drive(win, tmp_path):
    """A drive letter of the prefix mapped to a fresh folder: its root is
    safe to hand to the uninstall."""
    devices = PREFIX / "dosdevices"
    letter = next(c for c in "qrstuvwxy" if not (devices / f"{c}:").exists() and not (devices / f"{c}:").is_symlink())
    root = tmp_path / "drive"
    root.mkdir()
    (devices / f"{letter}:").symlink_to(root)
    # A running prefix keeps the drives it has seen; a new server reads them anew.
    stop_wineserver(win.env)
    start_wineserver(win.env)  # ended with the session's server
    try:
        yield letter.upper() + ":", root
    finally:
        (devices / f"{letter}:").unlink()


@pytest.mark.parametrize("args", [["uninstall:{d}\\"], ["uninstall:{d}"], ["uninstall:{d}\\\\"],
                                  ["uninstall", "dir={d}\\"]])
def test_a_drive_root_is_never_emptied(win, tmp_path, spare_drive, args):
    drive, root = spare_drive
    outside = tmp_path / "outside"
    make_tree(outside, {"listed.lnk": b"L"})
    make_tree(root, {"linkfiles": (winpath(outside / "listed.lnk") + "\r\n").encode(), "a.txt": b"a",
                     "Corvane.exe": b"c", "sub/b.txt": b"b"})
    copy_program(root)
    before = tree(root)
    # The mapping works: the program sees the folder as the drive's root.
    assert win.run("cmd", ["/c", "dir", drive + "\\a.txt"], timeout=60).returncode == 0
    # Refused: the uninstall removed nothing (4), or, as a first stage in the
    # root, was handed on to nothing (0).
    assert win.run(root / "Tovimar.exe", [a.format(d=drive) for a in args], timeout=60).returncode in (0, 4)
    assert not wait_for(lambda: tree(root) != before or not (outside / "listed.lnk").exists(), 1.0)
