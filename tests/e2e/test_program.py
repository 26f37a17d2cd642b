"""The program as a user meets it: the window, the run-after command, the
message box, an install pass that ends by itself, and the executable's form."""
import contextlib
import socket

import pefile
import pytest

from winenv import ARCH, BIN, MACHINE, PRODUCT, ROOT, client_records, copy_program, wait_for, winpath

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
               "ws2_32.dll", "wsock32.dll", "wininet.dll", "msvcrt.dll"}


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


DESKTOP_KEY = r"HKCU\Control Panel\Desktop"


@contextlib.contextmanager
def screen_dpi(win, dpi):
    """The display's scale for the programs started meanwhile."""
    win.run("reg", ["add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"], timeout=60)
    try:
        yield
    finally:
        win.run("reg", ["add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "96", "/f"], timeout=60)


# At 96 DPI the window is as it always was; at 144 everything in it is half
# as large again, its font included. The screenshots are the README's.
@pytest.mark.parametrize("dpi, size", [(96, (340, 100)), (144, (510, 150))])
def test_no_arguments_opens_an_idle_window_that_ends_on_close(win, tmp_path, dpi, size):
    exe = copy_program(tmp_path / "app")
    with screen_dpi(win, dpi):
        proc = win.start(exe)
        window = win.probe("shown", "CN")
    assert window
    assert (window.title, window.cls, (window.width, window.height)) == ("Velorin Downloader", "CN", size)
    assert [(c.cls, c.text) for c in window.controls] == [
        ("Static", "Initializing..."), ("msctls_progress32", ""), ("Static", ""), ("Button", "Cancel")]
    assert window.control("msctls_progress32").extra.endswith("-1")  # a marquee: nothing to measure yet
    assert proc.poll() is None  # idle: nothing ends it but the user
    shot = ROOT / "build" / f"window-{dpi}.png"
    win.screenshot(shot, window)
    assert shot.stat().st_size > 0
    # Enter reaches the Cancel button, as a click would.
    assert win.probe("key", "CN", "-", 15000, str(0x0D))
    assert win.wait(proc, 30) == 0


def test_closing_the_window_starts_the_run_after_command(win, tmp_path):
    exe = copy_program(tmp_path / "app")
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log, token = client_records(client)
    proc = win.start(exe, ["next", winpath(client), "/SKVO", "two words"])
    assert win.probe("close", "CN")
    assert win.wait(proc, 30) == 0
    assert wait_for(lambda: log.exists() and log.read_text().strip(), 20)
    line = log.read_text().strip()
    assert line.endswith('"/SKVO" "two words"')
    assert "Corvane.exe" in line
    # Started by the desktop's shell, not by the elevated setup program. Wine
    # gives every process a full elevated token, the shell's too, so the
    # token's elevation tells nothing here.
    assert wait_for(lambda: token.exists() and "folder=" in token.read_text(), 20)
    record = dict(line.split("=", 1) for line in token.read_text().splitlines())
    assert record["parent"].lower() == "explorer.exe", record


def test_an_unreachable_server_shows_only_the_message_box(win, tmp_path):
    exe = copy_program(tmp_path / "app")
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log, _ = client_records(client)
    proc = win.start(exe, [f"host=127.0.0.1:{closed_port()}", f"dir={winpath(tmp_path / 'inst')}", "next",
                           winpath(client)])
    box = win.probe("shown", "#32770")
    assert box and "Server Unavailable" in box.texts
    status = win.probe("find", "CN", timeout_ms=100)
    assert status is None or not status.visible
    assert win.probe("press", "#32770")
    assert win.wait(proc, 30) == 2  # the exit code of "Server Unavailable"
    assert not log.exists()
    assert not (tmp_path / "inst").exists()


def test_a_local_manifest_pass_runs_to_its_end(win, tmp_path):
    exe = copy_program(tmp_path / "app")
    (tmp_path / "app" / "Tovimar.ver").write_bytes(b"[CLIENT]\r\nBin\\a.dll=10,976180160\r\n")
    target = tmp_path / "new folder" / "inst"
    proc = win.start(exe, [f"dir={winpath(target)}"])
    # No server: the file stays pending, nothing is made, and the user is told.
    box = win.probe("shown", "#32770")
    assert box and "Installation incomplete: 1 file(s) could not be downloaded." in box.texts, box
    status = win.status_line("Installation incomplete: 1 file(s) could not be downloaded.")
    assert status, win.probe("find", "CN", timeout_ms=1000)
    assert status.control("msctls_progress32").extra.endswith("-0")  # no marquee: the end is said
    assert win.probe("press", "#32770")
    assert win.wait(proc, 60) == 1
    assert target.is_dir()
    assert not (target / "Bin").exists()


# The shipped 32-bit program is inspected on every machine, also where only
# the 64-bit build can run; that build is inspected where it is the one run.
PROGRAMS = [pytest.param(PRODUCT, 0x14C, id="win32")]
if ARCH != "win32":
    PROGRAMS.append(pytest.param(BIN / "Tovimar.exe", MACHINE, id=ARCH))


@pytest.mark.parametrize("program, machine", PROGRAMS)
def test_the_executable_is_a_static_gui_program_asking_for_admin_rights(program, machine):
    pe = pefile.PE(str(program))
    assert pe.FILE_HEADER.Machine == machine
    assert pe.OPTIONAL_HEADER.Subsystem == 2  # GUI
    dlls = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS
    manifests = [r for r in pe.DIRECTORY_ENTRY_RESOURCE.entries if r.id == 24]
    assert manifests
    entry = manifests[0].directory.entries[0]
    assert entry.id == 1
    data_entry = entry.directory.entries[0].data.struct
    text = pe.get_data(data_entry.OffsetToData, data_entry.Size).decode("utf-8")
    assert 'level="requireAdministrator"' in text


def test_without_a_display_the_pass_still_runs_and_the_process_ends(win, tmp_path):
    exe = copy_program(tmp_path / "app")
    (tmp_path / "app" / "Tovimar.ver").write_bytes(b"[CLIENT]\r\n")
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log, _ = client_records(client)
    target = tmp_path / "inst"
    env = {"DISPLAY": ""}
    proc = win.start(exe, [f"dir={winpath(target)}", "next", winpath(client)], env=env)
    assert win.wait(proc, 60) == 0
    assert target.is_dir()
    assert wait_for(log.exists, 20)
    idle = win.start(exe, [], env={"DISPLAY": ""})
    assert win.wait(idle, 60) == 0


def test_a_pass_that_ends_by_itself_starts_the_client_once(win, tmp_path):
    exe = copy_program(tmp_path / "app")
    (tmp_path / "app" / "Tovimar.ver").write_bytes(b"[CLIENT]\r\n")
    client = copy_program(tmp_path / "client", "Corvane.exe", "Corvane.exe")
    log, _ = client_records(client)
    proc = win.start(exe, [f"dir={winpath(tmp_path / 'inst')}", "next", winpath(client), "/x"])
    assert win.wait(proc, 60) == 0
    assert wait_for(log.exists, 20)
    # A second start would show within a second.
    assert not wait_for(lambda: len(log.read_text().splitlines()) > 1, 1.0)
