"""The benchmark's update profile (tools/bench.py): what a whole update
costs, and what a mirror that drops files costs on the WAN link.

- The 2006-file installation fetched from the mirror with 8 workers, by this
  program and, with --before, by an older one (a Tovimar.exe built from an
  earlier commit), runs taken by turns so that both see the same machine:
  staging every file and committing them in one step against putting each
  in place as it arrives.
- The WAN installation through the shaped link from a mirror that drops every
  file over 1 MiB once, half-way: the bytes the link carried against the
  installation's compressed size (what a run without drops carries)."""
import shutil
from pathlib import Path

import winenv
from bench_measure import MIB, WORK, log, med
from bench_runs import mirror_app, on_link
from faultmirror import FaultMirror
from servers import Shaper

WORKERS = 8
REPS = 4


def update_profile(bench, session, trees):
    tree = trees["main"]
    log(f"\nUpdates: {tree['count']} files, {WORKERS} workers, runs by turns")
    now = mirror_app("update-now", tree)
    apps = [("now", now)]
    if bench.args.before:
        before = WORK / "apps" / "update-before" / "Tovimar.exe"
        before.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(bench.args.before, before)
        shutil.copyfile(Path(tree["published"]) / "files.ver", before.parent / "Tovimar.ver")
        apps.append(("before", before))
    url = session.base + "main/"
    samples = {name: [] for name, _ in apps}
    for _ in range(REPS):
        for name, app in apps:
            samples[name].append(session.run(app, [f"web:{url}={WORKERS}"], tree))
    label = {"now": "staged, committed in one step", "before": "each file put in place as it arrives (--before)"}
    for name, _ in apps:
        bench.case(f"update-{name}", f"update of {tree['count']} files: {label[name]}", samples[name], tree["bytes"],
                   "update")
    if bench.args.before:
        ratio = med(samples["now"], "wall") / med(samples["before"], "wall")
        bench.results["update_ratio"] = ratio
        log(f"  the commit as one step: x{ratio:.3f} of the time before")
    dropped_mirror(bench, session, trees["wan"])


def dropped_mirror(bench, session, tree):
    mirror = Path(tree["mirror"])
    compressed = sum(p.stat().st_size for p in mirror.rglob("*") if p.is_file())
    app = mirror_app("wan-drops", tree)
    samples = []
    for _ in range(bench.reps_for(WORKERS, shaped=True)):
        with FaultMirror(mirror, "drop-once", larger_than=MIB) as site, \
                Shaper(site.port, bench.args.rtt_ms, bench.args.mbit, stats=WORK / "shaper-drops.json") as link:
            r = on_link(link, lambda: session.run(app, [f"web:{f'http://127.0.0.1:{link.port}/'}={WORKERS}"], tree))
            # The body bytes the mirror sent, the halves it dropped included.
            r["wire"] = sum(site.sent.values())
            r["dropped"] = len({path for path, _, faulted in site.requests() if faulted})
            samples.append(r)
    row = bench.case("wan-drops", f"WAN: Tovimar mirror, {WORKERS} workers, every file over 1 MiB dropped once",
                     samples, tree["bytes"], "wan-drops")
    row["wire"], row["compressed"], row["dropped"] = med(samples, "wire"), compressed, med(samples, "dropped")
    log(f"  {row['dropped']:.0f} files dropped half-way: {row['wire'] / MIB:.2f} MiB carried for "
        f"{compressed / MIB:.2f} MiB of compressed files (x{row['wire'] / compressed:.3f}), "
        f"{tree['bytes'] / MIB:.2f} MiB installed")
