#!/usr/bin/env python3
"""Benchmark of Tovimar.exe under Wine against aria2c, curl and the platform
floors, everything on 127.0.0.1.

Generates a test installation under build/bench/ (about 2000 small files of
1-64 KiB and a few large ones up to 64 MiB, half random bytes, half text-like;
about 300 MiB at scale 1), publishes it with a mirror tree, serves it with
tools/fileserver.py and nginx, and measures each case several times (medians
reported): fresh installs over the TCP server (compressed and scrambled
replies, on a smaller installation of its own), fresh installs from one mirror
with 1, 4, 8 and 15 workers, a run over a complete installation, aria2c and
curl fetching the same mirror files (then inflated in Python), and the floors:
bare recv loops and one WinInet stream under Wine (in 32 KiB reads, and in the
8 KiB reads the program gets there), and a native Python client.

Then a "WAN" profile, the server path, the mirror and aria2c again: every connection goes through
tools/shaper.py, which adds a round-trip time and caps the bandwidth of each
direction (40 ms and 100 Mbit/s unless told otherwise), over a smaller
installation of its own. Each WAN case is set against its ideal time: the
bytes the shaper carried towards the client divided by the bandwidth, plus
one round trip for the connection and one for every request that cannot
overlap another (with N connections, a chain of ceil(requests / N) round
trips, each connection's share of the bytes at the whole bandwidth):
    ideal = rtt + max(bytes / bw, ceil(requests / N) * rtt + bytes / (N * bw))
The same link's floor is a native Python client with 8 and 15 kept-alive
connections taking the files in the program's order: what the link allows a
client with no costs of its own. Tovimar's rows say how long it took to its
first connection and after its last byte.

The core's share natively: build/host/bin/core_bench (the host preset) times
the list's parsing, the pick order, every mirror file's inflate and the
server replies' handling without Wine.

Writes a table to the terminal, build/bench/results.json and
build/bench/throughput.png. MB are 10^6 bytes, MiB 2^20."""
import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import bench_patch
import filecost
import winenv
from bench_loopback import loopback
from bench_measure import CORES, MIB, ROOT, WORK, Bench, log
from bench_report import report
from bench_runs import wine_session
from bench_trees import build_trees
from bench_update import update_profile
from bench_wan import wan_profile


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=float(os.environ.get("BENCH_SCALE", "1")),
                        help="size of the mirror installation, 1 = about 300 MiB (env BENCH_SCALE)")
    parser.add_argument("--quick", action="store_true", help="scale 0.1 and 2 repetitions")
    parser.add_argument("--server-scale", type=float, default=None,
                        help="size of the server-path installation, 1 = about 30 MiB (default: min(scale, 1))")
    parser.add_argument("--reps", type=int, default=3, help="repetitions of every case (median reported)")
    parser.add_argument("--profiles", default="loopback,wan,update,filecost,patch",
                        help="which of wan, update, filecost and patch run besides the loopback cases, "
                             "comma-separated")
    parser.add_argument("--before", type=Path, default=None,
                        help="an older Tovimar.exe whose whole-installation update the update profile times by turns "
                             "with this one's")
    parser.add_argument("--rtt-ms", type=float, default=40.0, help="round-trip time of the WAN profile")
    parser.add_argument("--mbit", type=float, default=100.0, help="bandwidth of the WAN profile, each way")
    args = parser.parse_args(argv)
    args.profiles = args.profiles.split(",")
    if args.quick:
        args.scale = min(args.scale, 0.1)
        args.reps = min(args.reps, 2)
    if args.server_scale is None:
        args.server_scale = min(args.scale, 1.0)
    return args


def prepare(bench):
    """The installations, made or reused, and what the results say of them
    and of the program."""
    args = bench.args
    log(f"bench: scale {args.scale}, server scale {args.server_scale}, {bench.reps} repetitions, {CORES} cores")
    t = time.monotonic()
    trees = build_trees(args)
    main_tree, server_tree = trees["main"], trees["server"]
    log(f"bench: installations ready in {time.monotonic() - t:.1f} s: mirror {main_tree['count']} files "
        f"{main_tree['bytes'] / MIB:.1f} MiB, server {server_tree['count']} files "
        f"{server_tree['bytes'] / MIB:.1f} MiB")
    bench.results["trees"] = {k: {"files": v["count"], "bytes": v["bytes"]} for k, v in trees.items()}
    bench.results["arch"] = winenv.ARCH
    bench.results["program_bytes"] = (winenv.BIN / "Tovimar.exe").stat().st_size
    return trees


def core_natively(bench, tree):
    """The core's share of the same work natively, without Wine."""
    core = ROOT / "build" / "host" / "bin" / "core_bench"
    if not core.exists():
        return
    try:
        r = subprocess.run([str(core), str(Path(tree["published"]) / "files.ver"), tree["mirror"]],
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise ValueError(f"exit code {r.returncode}")
        bench.results["core"] = json.loads(r.stdout)
    except (subprocess.SubprocessError, OSError, ValueError) as e:
        log(f"The core natively: not measured: {e}")


def file_cost(bench):
    """What one small file costs on the mirror path, in wineserver requests
    and system calls (tools/filecost.py)."""
    log("\nOne small file on the mirror path (tools/filecost.py)")
    try:
        bench.results["filecost"] = filecost.measure()
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        log(f"  not measured: {e}")


def patches(bench):
    """Patches of real executables against the whole file and the generic
    diffs (tools/bench_patch.py)."""
    log("\nPatches of consecutive releases of a real program (tools/bench_patch.py)")
    try:
        bench.results["patch"] = bench_patch.measure()
        bench_patch.report(bench.results["patch"])
    except (RuntimeError, OSError, subprocess.SubprocessError, ValueError) as e:
        log(f"  not measured: {e}")


def main():
    args = parse_args()
    started = time.monotonic()
    WORK.mkdir(parents=True, exist_ok=True)
    bench = Bench(args)
    trees = prepare(bench)
    with wine_session() as session:
        if "loopback" in args.profiles:
            loopback(bench, session, trees)
        if "wan" in args.profiles:
            wan_profile(bench, session, trees)
        if "update" in args.profiles:
            update_profile(bench, session, trees)
    core_natively(bench, trees["main"])
    if "filecost" in args.profiles:
        file_cost(bench)
    if "patch" in args.profiles:
        patches(bench)
    report(bench, time.monotonic() - started)
    return 0 if all(c["ok"] for c in bench.results["cases"]) else 1


if __name__ == "__main__":
    sys.exit(main())
