#!/usr/bin/env python3
"""A demonstration install from local servers.

Publishes a small sample installation, serves it from the project's file
server and an nginx mirror on 127.0.0.1, runs Tovimar.exe under Wine and Xvfb
against them, saves a screenshot of the status window during the download,
and shows what was installed where. A second run over the finished
installation fetches nothing."""
import argparse
import datetime
import shutil
import sys
import time
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

    src = make_tree(work / "client", SAMPLE)
    pub, mirror = work / "published", work / "mirror"
    publish(src, pub, mirror)
    (mirror / publisher.mirror_name(SERVER_ONLY.replace("/", "\\"), len(SAMPLE[SERVER_ONLY]),
                                    publisher.dos_time((src / SERVER_ONLY).stat().st_mtime), True)).unlink()
    times = {rel: int((src / rel).stat().st_mtime) for rel in SAMPLE}

    winenv.ensure_prefix()
    display_proc, display = winenv.start_display()
    wine = winenv.Wine(display)
    wineserver = winenv.start_wineserver(wine.env)
    inst = wine.drive_c / "Velorin Demo"
    shutil.rmtree(inst, ignore_errors=True)
    app = winenv.copy_program(work / "app")
    ok = True
    try:
        with Nginx(mirror, work / "nginx") as web:
            publish(src, pub, None, "--site", web.url + "=4")
            for run in (1, 2):
                log = work / f"server-run{run}.log"
                with FileServerProcess(pub, "--mode", "alternate", log=log) as server:
                    before = len(web.served())
                    started = time.monotonic()
                    proc = wine.start(app, [f"host=127.0.0.1:{server.port}", "dir=C:\\Velorin Demo", "kvo:ON",
                                             "linkname=Velorin Demo"])
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
                           if p.is_file() and p.name not in ("linkfiles", "Tovimar.exe")}
                    ok = ok and code == 0 and got == SAMPLE
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
