#!/usr/bin/env python3
"""What one small file costs on the mirror path: wineserver requests and
Linux system calls from the request to the committed file.

Publishes two installations of small files in one folder (FEW and MANY
files), fetches each with one worker from nginx on 127.0.0.1, and counts,
for the whole run, the requests a private wineserver traces (WINEDEBUG=+server)
and the system calls of the program's process (strace -f -c). The
difference between the two runs, divided by the difference in files, is the
cost of one file; whatever a run pays once cancels out.

    filecost.py [--few 20] [--many 220] [--size 4000]
prints a table by request and by system call, and writes
build/filecost/results.json."""
import argparse
import collections
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import winenv
from servers import Nginx, make_tree, pattern, publish

WORK = winenv.ROOT / "build" / "filecost"
DEADLINE = 300
REQUEST = re.compile(r"^[0-9a-f]{4,}: (\w+)\( ")
SYSCALL = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$")


def installation(count, size):
    """Publishes `count` files of `size` bytes under Data/; returns (published, mirror)."""
    base = WORK / f"tree{count}"
    if not (base / "published" / "files.ver").exists():
        shutil.rmtree(base, ignore_errors=True)
        files = {f"Data/f{i:04d}.bin": pattern(size, i) for i in range(count)}
        make_tree(base / "src", files)
        publish(base / "src", base / "published", WORK / "www" / f"tree{count}")
    return base / "published"


def counted_run(wine_env, app, args, inst, prefix):
    """One run under a fresh wineserver that traces its requests and under
    strace; returns ({request: n}, {syscall: n}, exit code, seconds)."""
    env = dict(wine_env, WINEPREFIX=str(prefix))
    winenv.stop_wineserver(env)
    trace = WORK / "server.trace"
    calls = WORK / "strace.txt"
    with open(trace, "wb") as out:
        server = subprocess.Popen([winenv.build().wineserver, "-f", "-p", "-d1"],
                                  env=dict(env, WINEDEBUG="+server"), stdout=subprocess.DEVNULL, stderr=out,
                                  start_new_session=True)
    try:
        shutil.rmtree(inst, ignore_errors=True)
        # The prefix's own processes start before the measured run, not in it.
        subprocess.run([winenv.WINE, "cmd", "/c", "exit"], env=env, timeout=DEADLINE, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        start_line = sum(1 for _ in open(trace, "rb"))
        t0 = time.monotonic()
        proc = subprocess.Popen(["strace", "-f", "-c", "-o", str(calls), winenv.WINE, str(app), *args,
                                 "dir=" + winenv.winpath(inst), "silent"], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            code = proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            winenv.kill(proc)
            code = None
        took = time.monotonic() - t0
    finally:
        winenv.stop_wineserver(env)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            winenv.kill(server)
    requests = collections.Counter()
    with open(trace, "rb") as f:
        for i, raw in enumerate(f):
            if i < start_line:
                continue
            m = REQUEST.match(raw.decode("latin-1"))
            if m:
                requests[m.group(1)] += 1
    syscalls = collections.Counter()
    for line in calls.read_text().splitlines():
        m = SYSCALL.match(line)
        if m and m.group(2) != "total":
            syscalls[m.group(2)] = int(m.group(1))
    trace.unlink(missing_ok=True)
    return requests, syscalls, code, took


def per_file(few, many, n):
    keys = set(few) | set(many)
    out = {k: (many.get(k, 0) - few.get(k, 0)) / n for k in keys}
    return dict(sorted(((k, v) for k, v in out.items() if abs(v) >= 0.05), key=lambda kv: -kv[1]))


def measure(few=20, many=220, size=4000):
    WORK.mkdir(parents=True, exist_ok=True)
    trees = {n: installation(n, size) for n in (few, many)}
    winenv.ensure_prefix()
    prefix = WORK / f"wineprefix-{winenv.ARCH}"
    if not (prefix / "system.reg").exists():
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.copytree(winenv.PREFIX, prefix, symlinks=True)
    display_proc, display = winenv.start_display()
    wine = winenv.Wine(display)
    runs = {}
    try:
        with Nginx(WORK / "www", WORK / "nginx") as web:
            for n, published in trees.items():
                app = winenv.copy_program(WORK / f"app{n}")
                shutil.copyfile(published / "files.ver", app.with_suffix(".ver"))
                runs[n] = counted_run(wine.env, app, [f"web:{web.url}tree{n}/=1"], WORK / "inst", prefix)
    finally:
        winenv.stop_wineserver(dict(wine.env, WINEPREFIX=str(prefix)))
        winenv.kill(display_proc)
    for n, (requests, _, code, took) in runs.items():
        if code != 0:
            raise RuntimeError(f"the run over {n} files ended with {code}")
        if not requests:
            raise RuntimeError("the traced wineserver saw no request: another one served the run")
    d = many - few
    result = {"few": few, "many": many, "size": size, "arch": winenv.ARCH,
              "requests": per_file(runs[few][0], runs[many][0], d),
              "syscalls": per_file(runs[few][1], runs[many][1], d),
              "seconds": {n: r[3] for n, r in runs.items()}}
    result["requests_total"] = sum(result["requests"].values())
    result["syscalls_total"] = sum(result["syscalls"].values())
    result["ms_per_file"] = (runs[many][3] - runs[few][3]) / d * 1000
    (WORK / "results.json").write_text(json.dumps(result, indent=1))
    return result


def report(result, top=25):
    print(f"One {result['size']}-byte file on the mirror path, one worker ({result['arch']}): "
          f"{result['requests_total']:.1f} wineserver requests, {result['syscalls_total']:.1f} system calls, "
          f"{result['ms_per_file']:.2f} ms (under strace and tracing)")
    print(f"  {'wineserver request':28} per file    {'system call':20} per file")
    reqs = list(result["requests"].items())[:top]
    sysc = list(result["syscalls"].items())[:top]
    for i in range(max(len(reqs), len(sysc))):
        left = f"{reqs[i][0]:28} {reqs[i][1]:8.1f}" if i < len(reqs) else " " * 37
        right = f"{sysc[i][0]:20} {sysc[i][1]:8.1f}" if i < len(sysc) else ""
        print(f"  {left}    {right}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--few", type=int, default=20)
    parser.add_argument("--many", type=int, default=220)
    parser.add_argument("--size", type=int, default=4000)
    args = parser.parse_args()
    report(measure(args.few, args.many, args.size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
