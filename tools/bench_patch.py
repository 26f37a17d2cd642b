#!/usr/bin/env python3
"""What a patch costs against the whole file and against the generic diffs,
on real executables: three consecutive releases of a registry package that
ships Windows programs (the npm packages @esbuild/win32-ia32 and
@esbuild/win32-x64, esbuild.exe), fetched into build/bench/patch once.

For each pair of consecutive versions: the new file zlib-compressed as the
mirror holds it, tools/patch.py's patch, bsdiff's and xdelta3 -9's, the time
to make and to apply each, the new file checked byte for byte, and the peak
memory of the program's own reader (build/host/bin/patch_apply) while it
applies. Run alone (`tools/bench_patch.py`) or as the `patch` profile of
`make bench`."""
import argparse
import json
import shutil
import subprocess
import sys
import tarfile
import time
import urllib.request
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench" / "patch"
PACKAGES = ("win32-ia32", "win32-x64")
VERSIONS = ("0.24.0", "0.24.1", "0.24.2")
REGISTRY = "https://registry.npmjs.org/@esbuild/{package}/-/{package}-{version}.tgz"
MIRROR_LEVEL = 6

sys.path.insert(0, str(Path(__file__).resolve().parent))
import patch as patching  # noqa: E402


def fetch(package: str, version: str) -> Path:
    target = WORK / f"{package}-{version}.exe"
    if target.exists():
        return target
    WORK.mkdir(parents=True, exist_ok=True)
    archive = WORK / f"{package}-{version}.tgz"
    with urllib.request.urlopen(REGISTRY.format(package=package, version=version), timeout=120) as answer:
        archive.write_bytes(answer.read())
    with tarfile.open(archive) as tar:
        member = tar.getmember("package/esbuild.exe")
        with tar.extractfile(member) as f:
            target.write_bytes(f.read())
    archive.unlink()
    return target


def timed(cmd) -> tuple:
    """Seconds and peak resident memory (KiB) of a command run to its end,
    the memory as GNU time reads it (a child of this process would count
    the interpreter it was forked from)."""
    report = WORK / "time.txt"
    started = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *cmd], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=1800)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        raise RuntimeError(f"{cmd[0]} failed: {done.stderr.decode(errors='replace')}")
    return seconds, int(report.read_text().split()[-1])


def measure_pair(old: Path, new: Path) -> dict:
    new_bytes = new.read_bytes()
    row = {"old": old.name, "new": new.name, "size": len(new_bytes),
           "whole": len(zlib.compress(new_bytes, MIRROR_LEVEL))}
    out = WORK / "out"
    ours = WORK / "pair.tvp"
    row["ours_make_s"], _ = timed([sys.executable, str(ROOT / "tools" / "patch.py"), "make", old, new, ours])
    row["ours"] = ours.stat().st_size
    reader = ROOT / "build" / "host" / "bin" / "patch_apply"
    row["ours_apply_s"], row["ours_apply_kib"] = timed([reader, old, ours, out])
    row["ours_ok"] = out.read_bytes() == new_bytes
    for tool, make, apply in [
        ("bsdiff", ["bsdiff", old, new, WORK / "pair.bsdiff"], ["bspatch", old, out, WORK / "pair.bsdiff"]),
        ("xdelta3", ["xdelta3", "-9", "-e", "-f", "-s", old, new, WORK / "pair.xd3"],
         ["xdelta3", "-d", "-f", "-s", old, WORK / "pair.xd3", out]),
    ]:
        if shutil.which(make[0]) is None:
            continue
        row[f"{tool}_make_s"], _ = timed(make)
        row[tool] = Path(make[-1]).stat().st_size
        row[f"{tool}_apply_s"], row[f"{tool}_apply_kib"] = timed(apply)
        row[f"{tool}_ok"] = out.read_bytes() == new_bytes
    out.unlink(missing_ok=True)
    return row


def measure() -> list:
    rows = []
    for package in PACKAGES:
        files = [fetch(package, v) for v in VERSIONS]
        for old, new in zip(files, files[1:]):
            rows.append(measure_pair(old, new))
    return rows


def report(rows) -> None:
    print("\n| pair | new file | zlib (whole) | ours | bsdiff | xdelta3 -9 | ours: make, apply, peak memory |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for r in rows:
        pair = f"{r['old'].removesuffix('.exe')} → {r['new'].split('-')[-1].removesuffix('.exe')}"
        cells = [f"{r['size']:,}", f"{r['whole']:,}", f"{r['ours']:,}{'' if r['ours_ok'] else ' (WRONG)'}"]
        for tool in ("bsdiff", "xdelta3"):
            cells.append(f"{r[tool]:,}{'' if r[tool + '_ok'] else ' (WRONG)'}" if tool in r else "-")
        cells.append(f"{r['ours_make_s']:.1f} s, {r['ours_apply_s']:.2f} s, {r['ours_apply_kib'] / 1024:.1f} MiB")
        print(f"| {pair} | " + " | ".join(cells) + " |")
    for tool in ("bsdiff", "xdelta3"):
        timing = [r for r in rows if tool in r]
        if timing:
            print(f"{tool}: make {max(r[tool + '_make_s'] for r in timing):.1f} s at most, apply "
                  f"{max(r[tool + '_apply_s'] for r in timing):.2f} s, peak "
                  f"{max(r[tool + '_apply_kib'] for r in timing) / 1024:.1f} MiB")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--json", type=Path, help="also write the rows here")
    args = p.parse_args(argv)
    rows = measure()
    report(rows)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    return 0 if all(r["ours_ok"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
