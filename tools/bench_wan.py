"""The benchmark's WAN profile (tools/bench.py): the server path, the mirror
and aria2c again, every connection through tools/shaper.py, each case set
against its ideal time; and the link's own floor, a native client."""
import http.client
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import winenv
from bench_measure import MIB, RUN_TIMEOUT, WORK, WORKERS, log, med, workers
from bench_runs import alternatives, floor_recv, mirror_app, on_link, set_ideal
from servers import FileServerProcess, Shaper


def wan_profile(bench, session, trees):
    args = bench.args
    profile = (args.rtt_ms, args.mbit)
    wan_tree = trees["wan"]
    bench.results["wan"] = {"rtt_ms": args.rtt_ms, "mbit": args.mbit,
                            "single_connection_reps": bench.reps_for(1, shaped=True)}
    log(f"\nWAN profile: {args.rtt_ms:g} ms round trip, {args.mbit:g} Mbit/s each way (tools/shaper.py); "
        f"installation {wan_tree['count']} files {wan_tree['bytes'] / MIB:.1f} MiB")
    size = 16 * MIB
    bench.inner_case("wan-floor-recv-1024", "WAN floor: Wine recv loop, 1024-byte calls",
                     bench.repeat(lambda: floor_recv(session.wine, size, 1024, profile)), size, "wan-floor")
    wan_server(bench, session, trees["server"], profile)
    with Shaper(session.web.port, *profile, stats=WORK / "shaper-web.json") as link:
        url = f"http://127.0.0.1:{link.port}/wan/"
        wan_mirror(bench, session, wan_tree, url, link)
        # What the link allows a client with no costs of its own.
        for n in (8, 15):
            s = bench.repeat(lambda: on_link(link, lambda: native_mirror_client(url, wan_tree, n)))
            row = bench.case(f"wan-native-{n}", f"WAN floor: native client, {n} connections", s, wan_tree["bytes"],
                             "wan-floor", workers=n)
            set_ideal(row, s, wan_tree["count"], n, link)
        alternatives(bench, wan_tree, url, link)


def wan_server_run(session, app, tree, profile):
    """One fresh install from tools/fileserver.py through a link of its own;
    the link comes back with the run for its settings."""
    log_file = WORK / "fileserver-wan.log"
    log_file.unlink(missing_ok=True)
    with FileServerProcess(tree["published"], "--mode", "compressed", log=log_file) as server, \
            Shaper(server.port, *profile, stats=WORK / "shaper-server.json") as link:
        r = on_link(link, lambda: session.run(app, [f"host=127.0.0.1:{link.port}"], tree))
        r["requests"] = sum(1 for line in server.requests() if ";" in line)
    return r, link


def wan_server(bench, session, tree, profile):
    app = winenv.copy_program(WORK / "apps" / "server")
    runs = bench.repeat(lambda: wan_server_run(session, app, tree, profile), bench.reps_for(1, shaped=True))
    s = [r for r, _ in runs]
    row = bench.case("wan-server", "WAN: Tovimar server, compressed replies", s, tree["bytes"], "wan-server")
    set_ideal(row, s, int(med(s, "requests")), 1, runs[-1][1])


def wan_mirror(bench, session, tree, url, link):
    app = mirror_app("wan", tree)
    for n in WORKERS:
        s = bench.repeat(lambda: on_link(link, lambda: session.run(app, [f"web:{url}={n}"], tree)),
                         bench.reps_for(n, shaped=True))
        row = bench.case(f"wan-mirror-{n}", f"WAN: Tovimar mirror, {workers(n)}", s, tree["bytes"], "wan-mirror",
                         workers=n)
        set_ideal(row, s, tree["count"], n, link)
        row["lead"], row["tail"] = med(s, "lead"), med(s, "tail")


# --- the link's floor ----------------------------------------------------------

def table_order(tree):
    """The entries in the order of the published list, as the program reads it."""
    names = [line.split("=", 1)[0] for line in
             (Path(tree["published"]) / "files.ver").read_text("cp1252").splitlines()
             if "=" in line and not line.startswith(("[", "#"))]
    at = {e["rel"].replace("/", "\\"): i for i, e in enumerate(tree["files"])}
    return [at[n] for n in names if n in at]


def pick_order(tree):
    """The program's order: by size, largest first (of equal sizes the one
    earlier in the list counts as the larger), then taken from both ends:
    the largest, the smallest, the second largest and so on."""
    files, table = tree["files"], table_order(tree)
    down = sorted(range(len(table)), key=lambda k: (-files[table[k]]["size"], k))
    return [table[down[k // 2] if k % 2 == 0 else down[-1 - k // 2]] for k in range(len(down))]


def native_mirror_client(url, tree, n):
    """The least a client can do on the mirror path: n threads, each with one
    kept-alive connection, taking the files in the program's order and
    reading each answer whole; no start, no inflate, no disk."""
    where = urlsplit(url)
    files, order = tree["files"], iter(pick_order(tree))
    lock, fetched, stop = threading.Lock(), [0], threading.Event()

    def worker():
        c = http.client.HTTPConnection(where.hostname, where.port, timeout=60)
        try:
            while not stop.is_set():
                with lock:
                    i = next(order, None)
                if i is None:
                    return
                c.request("GET", where.path + files[i]["mirror"])
                r = c.getresponse()
                body = r.read()
                if r.status == 200 and body:
                    with lock:
                        fetched[0] += 1
        except (OSError, http.client.HTTPException):
            pass  # counted as not fetched
        finally:
            c.close()

    t0 = time.monotonic()
    deadline = t0 + RUN_TIMEOUT
    threads = [threading.Thread(target=worker, daemon=True) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stop.set()
    return {"wall": time.monotonic() - t0, "cpu": None, "peak": None, "ok": fetched[0] == len(files)}
