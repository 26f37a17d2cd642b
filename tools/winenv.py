"""The Windows side of the end-to-end tests, the demo and the benchmark: one
Wine prefix and one display for the whole run, programs started with
deadlines, and the window probe.

Which build runs, and how Wine starts for it, is asked of tools/arch.sh on
first use (build(), or a name such as BIN or ARCH taken from this module),
not on import: a TOVIMAR_ARCH set before then still counts."""
import functools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

ROOT = Path(__file__).resolve().parents[1]


def arch_settings(arch=None) -> dict:
    """The Wine settings of a build (tools/arch.sh): by default the one this
    machine runs, win32 where it runs 32-bit code, else win64."""
    out = subprocess.run([str(ROOT / "tools" / "arch.sh"), "--env", *([arch] if arch else [])], check=True,
                         capture_output=True, text=True, timeout=30).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


@dataclass(frozen=True)
class Build:
    """One build's Wine settings (NAME: value) and what follows from them."""

    settings: dict

    @property
    def arch(self) -> str:
        return self.settings["TOVIMAR_ARCH"]

    @property
    def bin(self) -> Path:
        return Path(self.settings["TOVIMAR_BIN"])

    @property
    def test_bin(self) -> Path:
        """The test variant (TovimarTest.exe) and the test helpers."""
        return self.bin.parent / "test"

    @property
    def tools_bin(self) -> Path:
        """The companion tools built for Windows: stamp.exe."""
        return self.bin.parent / "tools"

    @property
    def prefix(self) -> Path:
        return Path(self.settings["WINEPREFIX"])

    @property
    def wine(self) -> str:
        return self.settings["TOVIMAR_WINE"]

    @property
    def wineserver(self) -> str:
        return self.settings["TOVIMAR_WINESERVER"]

    # What a program of this build sees that depends on its bitness.
    @property
    def machine(self) -> int:
        return {"win32": 0x14C, "win64": 0x8664}[self.arch]

    @property
    def program_files(self) -> str:
        return {"win32": "Program Files (x86)", "win64": "Program Files"}[self.arch]


@functools.cache
def build() -> Build:
    """The build this run uses, asked of tools/arch.sh once, on first use."""
    return Build(arch_settings())


# The names callers take from this module, each a view of build().
_BUILD_NAMES = {"SETTINGS": "settings", "ARCH": "arch", "BIN": "bin", "TEST_BIN": "test_bin", "TOOLS_BIN": "tools_bin",
                "PREFIX": "prefix", "WINE": "wine",
                "MACHINE": "machine", "PROGRAM_FILES": "program_files"}


def __getattr__(name):
    if name in _BUILD_NAMES:
        return getattr(build(), _BUILD_NAMES[name])
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# The shipped program is the 32-bit one, whichever build the Wine tiers run.
PRODUCT = ROOT / "build" / "win32" / "bin" / "Tovimar.exe"


def winpath(path) -> str:
    """The Windows name of a Linux path: C:\\ inside the prefix's drive_c,
    Z:\\ elsewhere (Wine maps / to Z:)."""
    path = Path(path).resolve()
    drive_c = (build().prefix / "drive_c").resolve()
    if path.is_relative_to(drive_c):
        return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
    return "Z:" + str(path).replace("/", "\\")


@dataclass
class Control:
    cls: str
    text: str
    extra: str  # a progress bar's "<low>-<high>-<position>-<marquee>"


@dataclass
class Window:
    title: str
    cls: str
    width: int
    height: int
    visible: bool
    texts: list
    left: int
    top: int
    controls: list = field(default_factory=list)

    def control(self, cls):
        return next((c for c in self.controls if c.cls.lower() == cls.lower()), None)


class Wine:
    def __init__(self, display: str):
        self.env = dict(os.environ)
        self.env.update({name: value for name, value in build().settings.items() if name.startswith("WINE")})
        self.env.update(
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            DISPLAY=display,
        )
        self.display = display
        self.drive_c = build().prefix / "drive_c"
        self._started = []

    # -- programs -----------------------------------------------------------
    def start(self, exe, args=(), env=None, cwd=None, log=None) -> subprocess.Popen:
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        out = open(log, "wb") if log else subprocess.DEVNULL
        proc = subprocess.Popen(
            [build().wine, str(exe), *args], env=full_env, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, start_new_session=True,
        )
        self._started.append(proc)
        return proc

    def run(self, exe, args=(), timeout=60, env=None, cwd=None) -> subprocess.CompletedProcess:
        """Runs to the end. Output goes through files: Wine's helper processes
        inherit pipes and would hold them open past the program's end."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(
                [build().wine, str(exe), *args], env=full_env, cwd=cwd, stdout=out, stderr=err,
                stdin=subprocess.DEVNULL, start_new_session=True,
            )
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                kill(proc)
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(proc.args, proc.returncode, out.read(), err.read())

    def wait(self, proc, timeout) -> int:
        """The exit code of a started program; it is killed at the deadline."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill(proc)
            raise

    def stop_all(self):
        for proc in self._started:
            if proc.poll() is None:
                kill(proc)
        self._started.clear()

    # -- windows ------------------------------------------------------------
    def probe(self, action, cls="-", title="-", timeout_ms=15000, *extra):
        result = self.run(build().test_bin / "winprobe.exe", [action, cls, title, str(timeout_ms), *extra],
                          timeout=timeout_ms / 1000 + 30)
        line = result.stdout.decode("latin-1").strip().splitlines()
        line = line[-1] if line else ""
        if not line.startswith("found|"):
            return None
        f = line.split("|")
        controls = [Control(*c.split("^", 2)) for c in f[9].split(";") if c] if len(f) > 9 else []
        return Window(f[1], f[2], int(f[3]), int(f[4]), f[5] == "1", [t for t in f[6].split(";") if t],
                      int(f[7]), int(f[8]), controls)

    def status_line(self, text, timeout=10):
        """The status window once its line says `text`: the line follows a
        posted repaint, a moment after what it reports."""
        def says():
            window = self.probe("find", "CN", timeout_ms=1000)
            return window if window and window.controls and window.controls[0].text == text else None
        return wait_for(says, timeout)

    def screenshot(self, path, window: Window = None):
        """Saves the display, or just the window's rectangle, as a PNG."""
        cmd = ["import", "-display", self.display, "-window", "root"]
        if window:
            cmd += ["-crop", f"{window.width}x{window.height}+{max(window.left, 0)}+{max(window.top, 0)}"]
        subprocess.run(cmd + [str(path)], timeout=30, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def kill(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def start_display():
    """Xvfb on a free display number; returns (process, ':N')."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
    )
    os.close(write_end)
    deadline = time.monotonic() + 30
    data = b""
    while time.monotonic() < deadline and not data.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        data += chunk
    os.close(read_end)
    if not data.strip():
        kill(proc)
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + data.decode().strip()


def ensure_prefix():
    subprocess.run([str(ROOT / "tools" / "wine-run.sh"), "--arch", build().arch, "--prefix-only"], check=True,
                   timeout=300)


def start_wineserver(env):
    return subprocess.Popen([build().wineserver, "-p", "-f"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def stop_wineserver(env):
    subprocess.run([build().wineserver, "-k"], env=env, timeout=30, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def linux_path(windows_path: str) -> Path:
    """The Linux file behind a C:\\ or Z:\\ path of the prefix."""
    win = PureWindowsPath(windows_path)
    rest = Path(*win.parts[1:])
    drive = win.drive.upper()
    if drive == "C:":
        return build().prefix / "drive_c" / rest
    if drive == "Z:":
        return Path("/") / rest
    raise AssertionError(f"unexpected drive in {windows_path}")


def client_records(client) -> tuple:
    """(start log, token record) of the stand-in client at this path, as
    tests/helpers/corvane.cpp writes them; earlier runs' records are removed."""
    key = re.sub(r"[^0-9a-z]", "_", winpath(client).lower())
    folder = build().prefix / "drive_c" / "corvane-starts"
    records = folder / (key + ".log"), folder / (key + ".token")
    for record in records:
        record.unlink(missing_ok=True)
    return records


def copy_program(folder: Path, name="Tovimar.exe", source="Tovimar.exe") -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / name
    # The product from bin/, the test variant and the stand-in client from test/.
    found = build().bin / source
    shutil.copyfile(found if found.exists() else build().test_bin / source, target)
    return target


def wait_for(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()
