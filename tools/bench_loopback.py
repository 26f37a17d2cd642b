"""The benchmark's cases on 127.0.0.1 (tools/bench.py): Wine's own costs,
the floors, the server path, the mirror path, runs over a complete
installation and of single files, and the alternatives."""
import statistics
from pathlib import Path

import winenv
from bench_measure import MIB, WORK, WORKERS, log, med, proc_cpu, run_measured, workers
from bench_runs import (COST_STEPS, alternatives, floor_inet, floor_recv, floor_sha256, mirror_app, python_client,
                        wine_costs)
from servers import FileServerProcess


def loopback(bench, session, trees):
    wine_steps(bench, session)
    # The floors first: they are the yardsticks.
    floors(bench, session, trees["main"])
    server_path(bench, session, trees["server"])
    mirror_path(bench, session, trees["main"])
    single_files(bench, session, trees)
    log("\nAlternatives (fetch, then inflate in Python)")
    alternatives(bench, trees["main"], session.base + "main/")


def wine_steps(bench, session):
    """Wine's start-up cost (after a warm-up of the prefix), and what one
    step of a file costs under it."""
    wine = session.wine
    samples = bench.repeat(lambda: run_measured([winenv.WINE, str(winenv.TEST_BIN / "floor_recv.exe")], env=wine.env,
                                                timeout=120), bench.reps + 1)[1:]
    for s in samples:
        s["ok"] = True
    log("\nWine")
    bench.case("wine-start", "wine start+exit of a console program", samples, 0, "wine")
    s = bench.repeat(lambda: wine_costs(wine))
    row = bench.case("wine-costs", "wine: what one step of a file costs", s, 0, "wine")
    row["costs_us"] = {k: statistics.median([x["costs_us"][k] for x in s if x.get("costs_us")])
                       for k in COST_STEPS}
    bench.results["wine_costs_us"] = row["costs_us"]


def floors(bench, session, tree):
    """Bare recv loops and one WinInet stream under Wine, a native client,
    and SHA-256 under Wine."""
    wine, base = session.wine, session.base
    log("\nFloors")
    n1024 = max(4 * MIB, int(32 * MIB * min(bench.args.server_scale, 1)))
    bench.inner_case("floor-recv-1024", "floor: Wine recv loop, 1024-byte calls",
                     bench.repeat(lambda: floor_recv(wine, n1024, 1024)), n1024, "floor")
    n64k = 256 * MIB
    bench.inner_case("floor-recv-65536", "floor: Wine recv loop, 65536-byte calls",
                     bench.repeat(lambda: floor_recv(wine, n64k, 65536)), n64k, "floor")
    big = max(tree["files"], key=lambda e: e["size"])
    url, out, size = base + "main/" + big["mirror"], WORK / "floor_inet.out", big["size"]
    bench.inner_case("floor-inet-32k", f"floor: WinInet 1 stream + inflate ({size // MIB} MiB)",
                     bench.repeat(lambda: floor_inet(wine, url, out, size)), size, "floor")
    # The program reads only what has arrived (a trickle cannot hold it),
    # and Wine's WinInet answers that with its 8 KiB read buffer: one
    # recv for each 8 KiB.
    bench.inner_case("floor-inet-8k", f"floor: WinInet 8 KiB reads + inflate ({size // MIB} MiB)",
                     bench.repeat(lambda: floor_inet(wine, url, out, size, 8192)), size, "floor")
    out.unlink(missing_ok=True)
    bench.case("floor-python", "floor: native Python client, loopback",
               bench.repeat(lambda: python_client(1024 * MIB)), 1024 * MIB, "floor")
    big_file = Path(tree["src"]) / big["rel"]
    bench.inner_case("floor-sha256", f"floor: SHA-256 of a {size // MIB} MiB file (bcrypt)",
                     bench.repeat(lambda: floor_sha256(wine, big_file)), size, "floor")


def server_run(session, app, tree, mode):
    """One fresh install from tools/fileserver.py, with the server's CPU."""
    with FileServerProcess(tree["published"], "--mode", mode) as server:
        cpu0 = proc_cpu(server.proc.pid)
        r = session.run(app, [f"host=127.0.0.1:{server.port}"], tree)
        r["server_cpu"] = proc_cpu(server.proc.pid) - cpu0
    return r


def server_path(bench, session, tree):
    log("\nServer path (TCP file server)")
    app = winenv.copy_program(WORK / "apps" / "server")
    for mode in ("compressed", "scrambled"):
        s = bench.repeat(lambda: server_run(session, app, tree, mode))
        row = bench.case(f"server-{mode}", f"Tovimar server, {mode} replies", s, tree["bytes"], "server", mode=mode)
        row["server_cpu"] = med(s, "server_cpu")


def mirror_path(bench, session, tree):
    """Fresh installs at each worker count, then runs over the complete
    installation."""
    log("\nMirror path (nginx)")
    app, url = mirror_app("mirror", tree), session.base + "main/"
    for n in WORKERS:
        s = bench.repeat(lambda: session.run(app, [f"web:{url}={n}"], tree))
        bench.case(f"mirror-{n}", f"Tovimar mirror, {workers(n)}", s, tree["bytes"], "mirror", workers=n)
    s = bench.repeat(lambda: session.run(app, [f"web:{url}=4"], tree, fresh=False))
    bench.case("complete", "Tovimar over a complete installation", s, 0, "complete")
    s = bench.repeat(lambda: session.run(app, [f"web:{url}=4", "verify"], tree, fresh=False))
    bench.case("complete-verify", "Tovimar over a complete installation, verify", s, 0, "complete")


def single_files(bench, session, trees):
    """Peak memory for one small and one large file; then the program's
    start and end under Wine, with nothing to fetch."""
    for kind, case_id, label in (("one1m", "single-1m", "1 MiB"), ("one64m", "single-64m", "64 MiB")):
        tree = trees[kind]
        app, args = mirror_app(kind, tree), [f"web:{session.base}{kind}/=1"]
        s = bench.repeat(lambda: session.run(app, args, tree))
        bench.case(case_id, f"Tovimar mirror, a single {label} file", s, tree["bytes"], "single")
    s = bench.repeat(lambda: session.run(app, args, tree, fresh=False))
    row = bench.case("start", "Tovimar start and end, nothing to fetch", s, 0, "complete")
    bench.results["start_wall"] = row["wall"]
