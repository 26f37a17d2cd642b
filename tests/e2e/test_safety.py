"""An elevated setup program started from a downloads folder must not load a
library planted beside it. Wine prefers its own WinInet, so the tests ask it
for the order Windows uses for a library that is not a known DLL: the
program's folder first."""
import shutil

from servers import Nginx, make_tree, pattern, publish
from winenv import TEST_BIN, copy_program, winpath

NATIVE_FIRST = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet=n,b"}


def plant(folder):
    shutil.copyfile(TEST_BIN / "planted" / "wininet.dll", folder / "wininet.dll")


def test_a_static_import_loads_the_planted_library(win, tmp_path):
    downloads = tmp_path / "Downloads"
    downloads.mkdir()
    shutil.copyfile(TEST_BIN / "static_inet.exe", downloads / "static_inet.exe")
    plant(downloads)
    marker = tmp_path / "marker.txt"
    result = win.run(downloads / "static_inet.exe", timeout=60,
                     env=dict(NATIVE_FIRST, TOVIMAR_PLANT_MARKER=winpath(marker)))
    assert result.returncode == 0
    assert marker.exists()


def test_the_program_takes_wininet_from_the_system_folder_only(win, tmp_path):
    files = {"Corvane.exe": pattern(40000, 1), "Data/a.txt": b"text\r\n" * 100}
    src = make_tree(tmp_path / "src", files)
    publish(src, tmp_path / "pub", tmp_path / "mirror")
    app = copy_program(tmp_path / "Downloads", "acme.exe")
    shutil.copyfile(tmp_path / "pub" / "files.ver", tmp_path / "Downloads" / "acme.ver")
    plant(tmp_path / "Downloads")
    marker = tmp_path / "marker.txt"
    inst = tmp_path / "inst"
    with Nginx(tmp_path / "mirror", tmp_path / "nginx") as web:
        proc = win.start(app, [f"dir={winpath(inst)}", f"web:{web.url}"],
                         env=dict(NATIVE_FIRST, TOVIMAR_PLANT_MARKER=winpath(marker)))
        assert win.wait(proc, 120) == 0
    assert not marker.exists()
    # The real WinInet did the work.
    assert (inst / "Data" / "a.txt").read_bytes() == files["Data/a.txt"]
