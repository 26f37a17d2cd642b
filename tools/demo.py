#!/usr/bin/env python3
"""A demonstration install from local servers, the way a maker ships.

Makes a signing key of its own (under the working folder), builds a
Tovimar.exe with that key built in (build/demo-<arch>), publishes a small
sample installation with a signed file list, serves it from the project's file
server and an nginx mirror on 127.0.0.1, runs the program under Wine and Xvfb
against them, saves a screenshot of the status window during the download,
and shows what was installed where. A second run takes an update whose mirror
copy was tampered with: the program refuses it by its signed hash and fetches
it again from the file server. A third run over the finished installation
fetches nothing."""
import argparse
import datetime
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

import winenv
from servers import FileServerProcess, Nginx, make_tree, pattern, publish, publisher

ROOT = Path(__file__).resolve().parents[1]

SAMPLE = {
    "Corvane.exe": (winenv.TEST_BIN / "Corvane.exe").read_bytes(),
    "Bin/engine.dll": pattern(300 * 1024, 1),
    "Bin/Plugins/maps.dll": pattern(90 * 1024, 2),
    "Data/welcome.txt": b"Welcome to the Velorin client.\r\n" * 40,
    "Data/empty.cfg": b"",
    "Data/archive.pak": pattern(12 * 1024 * 1024, 3),
}
# Left off the mirror, so the file server fetches it.
SERVER_ONLY = "Data/archive.pak"
# Changed in the update, and its mirror copy tampered with.
UPDATED = "Data/welcome.txt"


def keyed_program(work: Path) -> Path:
    """A Tovimar.exe with a key of the demo's own built in; the key's private
    half stays in the working folder, as a maker's stays with the maker."""
    key = work / "demo.pem"
    entry = subprocess.run([sys.executable, str(ROOT / "tools" / "signing.py"), "new-key", "--out", str(key),
                            "--id", "demo"], check=True, capture_output=True, text=True, timeout=60).stdout.strip()
    build = ROOT / "build" / f"demo-{winenv.ARCH}"
    print(f"Building a Tovimar.exe with the demo's own key ({entry.split('=')[0]}) in {build} ...")
    subprocess.run(["cmake", "--preset", winenv.ARCH, "-B", str(build), f"-DTOVIMAR_SIGNING_KEYS={entry}"],
                   check=True, stdout=subprocess.DEVNULL, timeout=300)
    subprocess.run(["cmake", "--build", str(build), "--target", "Tovimar"], check=True, stdout=subprocess.DEVNULL,
                   timeout=900)
    return build / "bin" / "Tovimar.exe"


UPDATED_TEXT = b"Welcome to version 2 of the Velorin client.\r\n" * 40


def tamper_update(src: Path, pub: Path, mirror: Path, site: str, key):
    """Publishes version 2 of one file, then changes its mirror copy as a
    mirror that was broken into would: the same size, other bytes."""
    (src / UPDATED).write_bytes(UPDATED_TEXT)
    publish(src, pub, mirror, *key)
    publish(src, pub, None, "--site", site + "=4", *key)
    (mirror / publisher.mirror_name(SERVER_ONLY.replace("/", "\\"), len(SAMPLE[SERVER_ONLY]),
                                    publisher.dos_time((src / SERVER_ONLY).stat().st_mtime), True)).unlink(
        missing_ok=True)
    name = mirror / publisher.mirror_name(UPDATED.replace("/", "\\"), len(UPDATED_TEXT),
                                          publisher.dos_time((src / UPDATED).stat().st_mtime), True)
    evil = UPDATED_TEXT.replace(b"Welcome", b"Gotcha!")
    name.write_bytes(zlib.compress(evil))
    print(f"\nPublished an update of {UPDATED}; its copy on the mirror was changed behind the publisher's back.")


def show_tree(folder: Path, manifest_times):
    print(f"  {'size':>10}  {'time stamp (UTC)':19}  path")
    for path in sorted(folder.rglob("*")):
        if path.is_file():
            rel = path.relative_to(folder).as_posix()
            when = datetime.datetime.fromtimestamp(path.stat().st_mtime, datetime.timezone.utc)
            mark = "" if rel not in manifest_times or manifest_times[rel] == int(path.stat().st_mtime) else " (!)"
            print(f"  {path.stat().st_size:>10}  {when:%Y-%m-%d %H:%M:%S}  {rel}{mark}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=str(ROOT / "build" / "demo"), help="working folder (made anew)")
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    program = keyed_program(work)
    key = ["--key", str(work / "demo.pem"), "--key-id", "demo"]
    src = make_tree(work / "client", SAMPLE)
    pub, mirror = work / "published", work / "mirror"
    publish(src, pub, mirror, *key)
    (mirror / publisher.mirror_name(SERVER_ONLY.replace("/", "\\"), len(SAMPLE[SERVER_ONLY]),
                                    publisher.dos_time((src / SERVER_ONLY).stat().st_mtime), True)).unlink()
    times = {rel: int((src / rel).stat().st_mtime) for rel in SAMPLE}

    winenv.ensure_prefix()
    display_proc, display = winenv.start_display()
    wine = winenv.Wine(display)
    wineserver = winenv.start_wineserver(wine.env)
    inst = wine.drive_c / "Velorin Demo"
    shutil.rmtree(inst, ignore_errors=True)
    # An earlier demo's shortcuts: with its folder gone, no list names them as
    # this installation's, and the program leaves shortcuts it did not make.
    menu = wine.drive_c / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Velorin"
    for old in (wine.drive_c / "users" / "Public" / "Desktop" / "Velorin Demo.lnk", menu / "Velorin Demo.lnk",
                menu / "Uninstall Velorin Demo.lnk"):
        old.unlink(missing_ok=True)
    app = work / "app" / "Tovimar.exe"
    app.parent.mkdir(parents=True)
    shutil.copyfile(program, app)
    ok = True
    try:
        with Nginx(mirror, work / "nginx") as web:
            publish(src, pub, None, "--site", web.url + "=4", *key)
            for run in (1, 2, 3):
                if run == 2:
                    tamper_update(src, pub, mirror, web.url, key)
                log = work / f"server-run{run}.log"
                with FileServerProcess(pub, "--mode", "alternate", log=log) as server:
                    before = len(web.served())
                    started = time.monotonic()
                    proc = wine.start(app, [f"host=127.0.0.1:{server.port}", "dir=C:\\Velorin Demo", "kvo:ON",
                                             "linkname=Velorin Demo", "log=" + winenv.winpath(work / f"run{run}.log")])
                    if run == 1:
                        window = wine.probe("shown", "CN", timeout_ms=20000)
                        if window:
                            time.sleep(0.5)
                            wine.screenshot(work / "status.png", window)
                    code = wine.wait(proc, 300)
                    seconds = time.monotonic() - started
                    from_mirror = web.served()[before:]
                    from_server = sorted({r.split(";")[0] for r in server.requests()
                                          if not r.startswith(("#", "files.ver"))})
                print(f"\nRun {run}: Tovimar.exe ended with exit code {code} after {seconds:.1f} s.")
                print(f"  from the mirror {web.url}: {len(from_mirror)} file(s)")
                print(f"  from the file server 127.0.0.1:{server.port}: {len(from_server)} file(s)"
                      + (f" ({', '.join(from_server)})" if from_server else ""))
                if run == 1:
                    print(f"\nInstalled into C:\\Velorin Demo ({inst}):")
                    show_tree(inst, times)
                    listed = (inst / "linkfiles").read_text(errors="replace").splitlines() \
                        if (inst / "linkfiles").exists() else []
                    print("\nShortcuts made (from linkfiles):")
                    for line in listed:
                        print(f"  {line}")
                    ok = ok and len(listed) == 3
                    if (work / "status.png").exists():
                        print(f"\nScreenshot of the status window during the download: {work / 'status.png'}")
                    got = {p.relative_to(inst).as_posix(): p.read_bytes() for p in inst.rglob("*")
                           if p.is_file() and p.name not in ("linkfiles", "Tovimar.exe", "Tovimar.serial")}
                    ok = ok and code == 0 and got == SAMPLE
                elif run == 2:
                    said = (work / "run2.log").read_text(errors="replace").splitlines()
                    for line in said:
                        if UPDATED.replace("/", "\\") in line:
                            print("  log: " + line.split(" ", 2)[-1])
                    taken = (inst / UPDATED).read_bytes() == UPDATED_TEXT
                    print("  The tampered mirror copy was refused and the file fetched again from the server."
                          if taken and UPDATED.replace("/", "\\") in from_server else "  The update went wrong!")
                    ok = ok and code == 0 and taken and UPDATED.replace("/", "\\") in from_server
                else:
                    nothing = not from_mirror and not from_server
                    print("  The installation was complete: nothing was fetched." if nothing
                          else "  Something was fetched again!")
                    ok = ok and code == 0 and nothing
    finally:
        wine.stop_all()
        winenv.stop_wineserver(wine.env)
        winenv.kill(wineserver)
        winenv.kill(display_proc)
    print("\nDemo " + ("succeeded: every file arrived byte for byte with its time stamp." if ok else "FAILED."))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
