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
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zlib
import random
from pathlib import Path

import filecost
import winenv
from servers import FileServerProcess, Nginx, Shaper, publish, publisher

ROOT = Path(__file__).resolve().parents[1]

WORK = ROOT / "build" / "bench"
KIB, MIB = 1024, 1024 * 1024
WORKERS = (1, 4, 8, 15)
CORES = os.cpu_count() or 1
CLK = os.sysconf("SC_CLK_TCK")
BASE_TIME = 1623745800  # 2021-06-15 08:30:00 UTC, an even second
TREE_VERSION = 2  # 2: file lines carry their SHA-256
RUN_TIMEOUT = 600

SENDER = r"""
import socket, sys
n = int(sys.argv[1])
s = socket.socket()
s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(120)
print(s.getsockname()[1], flush=True)
c, _ = s.accept(); c.settimeout(120)
buf = bytes(range(256)) * 4096
left = n
while left > 0:
    k = min(left, len(buf)); c.sendall(buf[:k] if k < len(buf) else buf); left -= k
try:
    c.shutdown(socket.SHUT_WR); c.recv(1)
except OSError:
    pass
c.close()
"""


def log(text):
    print(text, flush=True)


# --- the test installations ----------------------------------------------

class TextPool:
    WORDS = ("the of and to in is was for on that with by as at from this are be or an it not "
             "which have has had were but all can more one other their new first been its also "
             "data file index table value error window stream server client mirror install "
             "render texture model shader sound music level map object player item quest").split()

    def __init__(self, rng, size=4 * MIB):
        out, n = [], 0
        while n < size:
            line = " ".join(rng.choice(self.WORDS) for _ in range(rng.randint(4, 14)))
            line = f"{rng.randint(0, 99999):05d} {line} = {rng.random():.6f}\r\n"
            out.append(line)
            n += len(line)
        self.data = "".join(out).encode()[:size]

    def take(self, rng, size):
        parts, n = [], 0
        while n < size:
            start = rng.randrange(0, len(self.data) - 1)
            piece = self.data[start:start + min(size - n, 1 * MIB)]
            parts.append(piece)
            n += len(piece)
        return b"".join(parts)[:size]


def tree_layout(kind, scale, rng):
    """[(relative posix path, size, 'random'|'text')]."""
    files = []
    if kind == "main":
        small = max(20, int(2000 * scale))
        for i in range(small):
            size = rng.randint(1, 64) * KIB - rng.randint(0, 1023)
            files.append((f"Data/S{i // 200:02d}/f{i:04d}.{'bin' if i % 2 else 'txt'}", size,
                          "random" if i % 2 else "text"))
        big = [64, 64, 48, 32, 16, 8]
        for i, mib in enumerate(big):
            size = max(256 * KIB, int(mib * MIB * scale))
            if mib == 64 and i == 0 and scale < 1:
                size = int(64 * MIB * max(scale, 0.25))  # keep one large file
            files.append((f"Pak/big{i}.{'pak' if i % 2 == 0 else 'txt'}", size,
                          "random" if i % 2 == 0 else "text"))
    elif kind == "server":
        small = max(10, int(200 * scale))
        for i in range(small):
            size = rng.randint(1, 64) * KIB - rng.randint(0, 1023)
            files.append((f"Data/f{i:04d}.{'bin' if i % 2 else 'txt'}", size, "random" if i % 2 else "text"))
        for i, mib in enumerate([12, 8, 4]):
            files.append((f"Pak/big{i}.{'pak' if i % 2 == 0 else 'txt'}", max(128 * KIB, int(mib * MIB * scale)),
                          "random" if i % 2 == 0 else "text"))
    elif kind == "wan":
        for i in range(400):
            size = rng.randint(1, 64) * KIB - rng.randint(0, 1023)
            files.append((f"Data/S{i // 200:02d}/f{i:04d}.{'bin' if i % 2 else 'txt'}", size,
                          "random" if i % 2 else "text"))
        files += [("Pak/big0.pak", 4 * MIB, "random"), ("Pak/big1.txt", 4 * MIB, "text")]
    elif kind == "one1m":
        files.append(("one.pak", 1 * MIB, "random"))
    elif kind == "one64m":
        files.append(("one.pak", 64 * MIB, "random"))
    return files


def build_tree(kind, scale):
    """Generates, publishes and mirrors one installation; reused when present."""
    base = WORK / "trees" / kind
    stamp = base / "stamp.json"
    want = {"version": TREE_VERSION, "scale": scale if kind in ("main", "server") else 1}
    if stamp.exists() and json.loads(stamp.read_text()) == want:
        return json.loads((base / "tree.json").read_text())
    shutil.rmtree(base, ignore_errors=True)
    src, pub, mirror = base / "src", base / "published", WORK / "www" / kind
    shutil.rmtree(mirror, ignore_errors=True)
    rng = random.Random(f"{kind}-{scale}")
    pool = TextPool(rng)
    layout = tree_layout(kind, scale, rng)
    entries = []
    for i, (rel, size, style) in enumerate(sorted(layout)):
        path = src / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        data = rng.randbytes(size) if style == "random" else pool.take(rng, size)
        path.write_bytes(data)
        t = BASE_TIME + 2 * i
        os.utime(path, (t, t))
        dos = publisher.dos_time(t)
        entries.append({"rel": rel, "size": size,
                        "mirror": publisher.mirror_name(rel.replace("/", "\\"), size, dos, True)})
    publish(src, pub, mirror)
    info = {"kind": kind, "files": entries, "bytes": sum(e["size"] for e in entries),
            "count": len(entries), "src": str(src), "published": str(pub), "mirror": str(mirror)}
    (base / "tree.json").write_text(json.dumps(info))
    stamp.write_text(json.dumps(want))
    return info


def check_install(folder, tree):
    """Every file of the tree is there with its size."""
    for e in tree["files"]:
        p = Path(folder) / e["rel"]
        if not p.is_file() or p.stat().st_size != e["size"]:
            return False
    return True


# --- measuring -----------------------------------------------------------

def proc_cpu(pid):
    try:
        f = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(f[11]) + int(f[12])) / CLK
    except (OSError, IndexError, ValueError):
        return 0.0


def proc_hwm(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def proc_session(pid):
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[3])
    except (OSError, IndexError, ValueError):
        return None


def find_pids(needle, session):
    """Processes of one session (a run's own, not others' concurrent runs)
    whose command line holds needle."""
    out = []
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                cmd = Path(f"/proc/{d}/cmdline").read_bytes()
            except OSError:
                continue
            if needle in cmd and b"wineserver" not in cmd and proc_session(int(d)) == session:
                out.append(int(d))
    return out


def run_measured(argv, env=None, watch=None, timeout=RUN_TIMEOUT, extra_cpu_pids=(), cwd=None):
    """Runs argv to the end under a deadline. Returns wall seconds, CPU seconds
    of the process tree (user+sys, the larger of the reaped-children count and
    the sampled watched processes), peak memory of the watched processes
    (cmdline containing `watch`), CPU of extra_cpu_pids (e.g. wineserver)."""
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    extra0 = {p: proc_cpu(p) for p in extra_cpu_pids}
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    out_chunks = []
    reader = threading.Thread(target=lambda: out_chunks.append(proc.stdout.read()), daemon=True)
    reader.start()
    hwm, cpu_seen, pids, last_scan = {}, {}, set(), 0.0
    timed_out = False
    while proc.poll() is None:
        now = time.monotonic()
        if now - t0 > timeout:
            timed_out = True
            winenv.kill(proc)
            break
        if watch:
            if now - last_scan > 0.3 or not pids:
                pids.update(find_pids(watch, proc.pid))
                last_scan = now
            for p in list(pids):
                h = proc_hwm(p)
                if h:
                    hwm[p] = max(hwm.get(p, 0), h)
                    cpu_seen[p] = max(cpu_seen.get(p, 0.0), proc_cpu(p))
        time.sleep(0.03)
    wall = time.monotonic() - t0
    proc.wait()
    reader.join(timeout=5)
    r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    rus = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
    # Processes left behind in the session (Wine helpers) end with the run.
    try:
        os.killpg(proc.pid, 9)
    except (ProcessLookupError, PermissionError):
        pass
    return {"wall": wall, "started": t0, "cpu": max(rus, sum(cpu_seen.values())), "peak": max(hwm.values(), default=0),
            "extra_cpu": sum(proc_cpu(p) - extra0[p] for p in extra_cpu_pids),
            "code": None if timed_out else proc.returncode, "timed_out": timed_out,
            "stdout": (out_chunks[0] if out_chunks else b"").decode("latin-1")}


def inner_rate(samples, size):
    """MB/s by the program's own clock (median), None when no run printed it."""
    times = [x["inner"] for x in samples if x.get("inner")]
    return size / statistics.median(times) / 1e6 if times else None


def med(samples, key):
    vals = [s[key] for s in samples if s.get(key) is not None]
    return statistics.median(vals) if vals else None


class Bench:
    def __init__(self, args):
        self.args = args
        self.reps = args.reps
        self.results = {"cases": [], "scale": args.scale, "server_scale": args.server_scale,
                        "cores": CORES, "reps": args.reps}

    def case(self, name, samples, content_bytes, group, **extra):
        wall = med(samples, "wall")
        row = {"name": name, "group": group, "samples": samples, "bytes": content_bytes,
               "wall": wall, "cpu": med(samples, "cpu"), "peak": med(samples, "peak") or None,
               "extra_cpu": med(samples, "extra_cpu"),
               "mbps": (content_bytes / wall / 1e6) if wall and content_bytes else None,
               "ok": all(s.get("ok", True) for s in samples)}
        row.update(extra)
        self.results["cases"].append(row)
        peak = f"{row['peak'] / MIB:7.1f}" if row["peak"] else "      -"
        mbps = f"{row['mbps']:8.1f}" if row["mbps"] else "       -"
        log(f"  {name:44} {wall:8.2f} s {mbps} MB/s  cpu {row['cpu'] or 0:6.2f} s  peak {peak} MiB"
            f"{'' if row['ok'] else '  (FAILED)'}")
        return row

    def get(self, name):
        for c in self.results["cases"]:
            if c["name"] == name:
                return c
        return None


# --- the cases -------------------------------------------------------------

def private_prefix():
    prefix = WORK / f"wineprefix-{winenv.ARCH}"
    if not (prefix / "system.reg").exists():
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.mkdir(parents=True)
        subprocess.run(f"tar -C '{winenv.PREFIX}' --exclude=INetCache -cf - . | tar -C '{prefix}' -xf -",
                       shell=True, check=True, timeout=300)
    clear_url_cache(prefix)
    return prefix


def clear_url_cache(prefix):
    """WinInet keeps every download it is not told otherwise about in this
    cache; emptied before each run so that runs are alike."""
    for cache in Path(prefix, "drive_c", "users").glob("*/AppData/Local/Microsoft/Windows/INetCache"):
        shutil.rmtree(cache, ignore_errors=True)


def tovimar_run(bench, wine, wineserver, app, args, inst, tree, fresh=True):
    if fresh:
        shutil.rmtree(inst, ignore_errors=True)
        clear_url_cache(wine.env["WINEPREFIX"])
    argv = [winenv.WINE, str(app), *args, "dir=" + winenv.winpath(inst)]
    r = run_measured(argv, env=wine.env, watch=b"Tovimar.exe", extra_cpu_pids=[wineserver.pid])
    r["ok"] = r["code"] == 0 and check_install(inst, tree)
    return r


def mirror_app(name, tree):
    """The program with the published manifest beside it as Tovimar.ver."""
    folder = WORK / "apps" / name
    app = winenv.copy_program(folder)
    shutil.copyfile(Path(tree["published"]) / "files.ver", folder / "Tovimar.ver")
    return app


def inflate_tree(tree, dl, inst):
    """A user's alternative: inflate every downloaded mirror file in Python."""
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.monotonic()
    for i, e in enumerate(tree["files"]):
        target = Path(inst) / e["rel"]
        target.parent.mkdir(parents=True, exist_ok=True)
        d = zlib.decompressobj()
        with open(Path(dl) / e["mirror"], "rb") as fin, open(target, "wb") as fout:
            while True:
                chunk = fin.read(1 * MIB)
                if not chunk:
                    break
                fout.write(d.decompress(chunk))
            fout.write(d.flush())
        t = BASE_TIME + 2 * i
        os.utime(target, (t, t))
    wall = time.monotonic() - t0
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    return wall, (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)


def fetch_then_inflate(cmd_for, tree, name):
    dl, inst = WORK / "dl" / name, WORK / "inst-alt"
    shutil.rmtree(dl, ignore_errors=True)
    shutil.rmtree(inst, ignore_errors=True)
    dl.mkdir(parents=True)
    r = run_measured(cmd_for(dl))
    iw, ic = inflate_tree(tree, dl, inst)
    ok = r["code"] == 0 and check_install(inst, tree)
    return {"wall": r["wall"] + iw, "cpu": r["cpu"] + ic, "fetch_wall": r["wall"], "fetch_cpu": r["cpu"],
            "inflate_wall": iw, "inflate_cpu": ic, "peak": None, "ok": ok, "code": r["code"]}


def alternatives(bench, tree, url, prefix="", link=None):
    """aria2c at each worker count, each then inflating in Python, and on
    loopback curl one file after another; through `link` (a Shaper) on the
    WAN profile."""
    group = "wan-" if link else ""
    lst = WORK / "aria2.list"
    lst.write_text("".join(f"{url}{e['mirror']}\n  out={e['mirror']}\n" for e in tree["files"]))
    cfg = WORK / "curl.cfg"

    def curl_cmd(dl):
        cfg.write_text("".join(f'url = "{url}{e["mirror"]}"\noutput = "{dl / e["mirror"]}"\n'
                               for e in tree["files"]))
        return ["curl", "-s", "-f", "--create-dirs", "-K", str(cfg)]

    tools = []
    for n in WORKERS:
        def cmd(dl, n=n):
            return ["aria2c", "--no-conf=true", "-q", "-i", str(lst), "-j", str(n), "-x", "1", "-d", str(dl),
                    "--file-allocation=none", "--allow-overwrite=true", "--auto-file-renaming=false",
                    "--summary-interval=0", "--max-tries=1", "--disable-ipv6=true"]
        tools.append((f"aria2c -j {n}, then inflate", cmd, n, "aria2"))
    if not link:
        # Over the WAN link, one file after another is aria2c -j 1 again.
        tools.append(("curl one after another, then inflate", curl_cmd, 1, "curl"))
    for name, cmd, n, kind in tools:
        reps = min(bench.reps, 2) if link and n == 1 else bench.reps  # as wan_profile's single connections
        s = [on_link(link, lambda: fetch_then_inflate(cmd, tree, kind)) for _ in range(reps)]
        row = bench.case(prefix + name, s, tree["bytes"], group + kind, workers=n)
        row["fetch_wall"] = med(s, "fetch_wall")
        row["inflate_wall"] = med(s, "inflate_wall")
        row["fetch_mbps"] = tree["bytes"] / row["fetch_wall"] / 1e6
        if link:
            set_ideal(row, s, len(tree["files"]), n, link)


# --- the WAN profile ---------------------------------------------------------

def on_link(link, run):
    """run(), with the bytes the link carried towards the client meanwhile."""
    if not link:
        return run()
    before = link.stats()
    r = run()
    after = link.stats()
    t0 = r.get("started")
    r["wire"] = after["down"] - before["down"]
    r["connections"] = after["connections"] - before["connections"]
    # Where the run's time went: before its first connection, and after the
    # last byte reached it.
    # The wall time ends at the run's next 30 ms poll: the tail may read up to
    # that much long.
    opened = [t for t in after.get("opened", ()) if t0 and t >= t0]
    last = after.get("last_down")
    if opened and len(opened) == r["connections"] and last and last >= t0:
        r["lead"] = min(opened) - t0
        r["tail"] = t0 + r["wall"] - last
    return r


def ideal_time(wire, requests, parallel, rtt, bandwidth):
    """The connection's round trip, then the bytes at the whole bandwidth or
    the longest chain of requests, whichever takes longer."""
    chain = -(-requests // parallel) * rtt + wire / (parallel * bandwidth)
    return rtt + max(wire / bandwidth, chain)


def set_ideal(row, samples, requests, parallel, link):
    row["wire"] = med(samples, "wire")
    row["requests"] = requests
    row["ideal"] = ideal_time(row["wire"], requests, parallel, link.rtt_ms / 1000, link.mbit * 1e6 / 8)
    row["vs_ideal"] = row["wall"] / row["ideal"] if row["wall"] else None
    if row.get("fetch_wall"):
        row["fetch_vs_ideal"] = row["fetch_wall"] / row["ideal"]


def wan_profile(bench, wine, wineserver, web, server_tree, wan_tree, inst):
    args = bench.args
    profile = (args.rtt_ms, args.mbit)
    R = bench.reps
    # One connection over the link takes 20 s a run: two runs of those.
    R1 = min(R, 2)
    bench.results["wan"] = {"rtt_ms": args.rtt_ms, "mbit": args.mbit, "single_connection_reps": R1}
    log(f"\nWAN profile: {args.rtt_ms:g} ms round trip, {args.mbit:g} Mbit/s each way (tools/shaper.py); "
        f"installation {wan_tree['count']} files {wan_tree['bytes'] / MIB:.1f} MiB")

    n = 16 * MIB
    s = [floor_recv(wine, n, 1024, profile) for _ in range(R)]
    row = bench.case("WAN floor: Wine recv loop, 1024-byte calls", s, n, "wan-floor")
    row["inner_mbps"] = inner_rate(s, n)

    server_app = winenv.copy_program(WORK / "apps" / "server")
    s = []
    for _ in range(R1):
        log_file = WORK / "fileserver-wan.log"
        log_file.unlink(missing_ok=True)
        with FileServerProcess(server_tree["published"], "--mode", "compressed", log=log_file) as server, \
                Shaper(server.port, *profile, stats=WORK / "shaper-server.json") as link:
            r = on_link(link, lambda: tovimar_run(bench, wine, wineserver, server_app,
                                                   [f"host=127.0.0.1:{link.port}"], inst, server_tree))
            r["requests"] = sum(1 for line in server.requests() if ";" in line)
        s.append(r)
    row = bench.case("WAN: Tovimar server, compressed replies", s, server_tree["bytes"], "wan-server")
    set_ideal(row, s, int(med(s, "requests")), 1, link)

    with Shaper(web.port, *profile, stats=WORK / "shaper-web.json") as link:
        url = f"http://127.0.0.1:{link.port}/wan/"
        app = mirror_app("wan", wan_tree)
        for n in WORKERS:
            s = [on_link(link, lambda n=n: tovimar_run(bench, wine, wineserver, app, [f"web:{url}={n}"], inst,
                                                        wan_tree)) for _ in range(R if n > 1 else R1)]
            row = bench.case(f"WAN: Tovimar mirror, {n} worker{'s' if n > 1 else ''}", s, wan_tree["bytes"],
                             "wan-mirror", workers=n)
            set_ideal(row, s, wan_tree["count"], n, link)
            row["lead"], row["tail"] = med(s, "lead"), med(s, "tail")
        # What the link allows a client with no costs of its own.
        for n in (8, 15):
            s = [on_link(link, lambda n=n: native_mirror_client(url, wan_tree, n)) for _ in range(R)]
            row = bench.case(f"WAN floor: native client, {n} connections", s, wan_tree["bytes"], "wan-floor",
                             workers=n)
            set_ideal(row, s, wan_tree["count"], n, link)
        alternatives(bench, wan_tree, url, "WAN: ", link)


def sender(n):
    proc = subprocess.Popen([sys.executable, "-c", SENDER, str(n)], stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    port = int(proc.stdout.readline())
    return proc, port


def python_client(n):
    proc, port = sender(n)
    import socket
    buf = bytearray(65536)
    t0 = time.monotonic()
    got = 0
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        while got < n:
            k = s.recv_into(buf)
            if not k:
                break
            got += k
        s.sendall(b"x")
    wall = time.monotonic() - t0
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        winenv.kill(proc)
    return {"wall": wall, "cpu": None, "peak": None, "ok": got == n}


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
    import http.client
    from urllib.parse import urlsplit
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


def floor_recv(wine, n, piece, profile=None):
    """A bare recv loop under Wine; through a Shaper of (rtt_ms, mbit) when given."""
    proc, port = sender(n)
    link = Shaper(port, *profile) if profile else None
    try:
        r = run_measured([winenv.WINE, str(winenv.BIN / "floor_recv.exe"), str(link.port if link else port), str(n),
                          str(piece)], env=wine.env, watch=b"floor_recv", timeout=300)
    finally:
        if link:
            link.stop()
        winenv.kill(proc)
    parts = r["stdout"].split()
    inner = float(parts[2]) if len(parts) >= 3 and parts[0] == "recv" else None
    r.update(ok=r["code"] == 0, inner=inner, calls=int(parts[3]) if len(parts) >= 4 else None)
    return r


def floor_inet(wine, url, out, size, piece=32768):
    clear_url_cache(wine.env["WINEPREFIX"])
    r = run_measured([winenv.WINE, str(winenv.BIN / "floor_inet.exe"), url, winenv.winpath(out), str(piece)],
                     env=wine.env, watch=b"floor_inet", timeout=300)
    parts = r["stdout"].split()
    inner = float(parts[3]) if len(parts) >= 4 and parts[0] == "inet" else None
    got = out.stat().st_size if out.exists() else None
    r.update(ok=r["code"] == 0 and got == size, inner=inner, out_bytes=got)
    return r


COST_STEPS = ("request", "attributes", "missing name", "write+flush+delete")


def wine_costs(wine):
    """Microseconds of one wineserver request, one attribute look-up of a
    file and of a missing name, and one small file written and flushed."""
    folder = WORK / "costs"
    shutil.rmtree(folder, ignore_errors=True)
    r = run_measured([winenv.WINE, str(winenv.BIN / "wine_costs.exe"), winenv.winpath(folder)], env=wine.env,
                     watch=b"wine_costs", timeout=120)
    shutil.rmtree(folder, ignore_errors=True)
    parts = r["stdout"].split()
    if len(parts) >= 6 and parts[0] == "costs":
        r["costs_us"] = dict(zip(COST_STEPS, (float(x) for x in parts[2:6])))
    r["ok"] = r["code"] == 0 and "costs_us" in r
    return r


def floor_sha256(wine, path):
    r = run_measured([winenv.WINE, str(winenv.BIN / "floor_sha256.exe"), winenv.winpath(path)], env=wine.env,
                     watch=b"floor_sha256", timeout=300)
    parts = r["stdout"].split()
    inner = float(parts[2]) if len(parts) >= 3 and parts[0] == "sha256" else None
    r.update(ok=r["code"] == 0 and inner is not None, inner=inner)
    return r


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=float(os.environ.get("BENCH_SCALE", "1")),
                        help="size of the mirror installation, 1 = about 300 MiB (env BENCH_SCALE)")
    parser.add_argument("--quick", action="store_true", help="scale 0.1 and 2 repetitions")
    parser.add_argument("--server-scale", type=float, default=None,
                        help="size of the server-path installation, 1 = about 30 MiB (default: min(scale, 1))")
    parser.add_argument("--reps", type=int, default=3, help="repetitions of every case (median reported)")
    parser.add_argument("--profiles", default="loopback,wan,filecost",
                        help="which of wan and filecost run besides the loopback cases, comma-separated")
    parser.add_argument("--rtt-ms", type=float, default=40.0, help="round-trip time of the WAN profile")
    parser.add_argument("--mbit", type=float, default=100.0, help="bandwidth of the WAN profile, each way")
    args = parser.parse_args()
    args.profiles = args.profiles.split(",")
    if args.quick:
        args.scale = min(args.scale, 0.1)
        args.reps = min(args.reps, 2)
    if args.server_scale is None:
        args.server_scale = min(args.scale, 1.0)
    started = time.monotonic()
    WORK.mkdir(parents=True, exist_ok=True)
    bench = Bench(args)
    R = bench.reps

    log(f"bench: scale {args.scale}, server scale {args.server_scale}, {R} repetitions, {CORES} cores")
    t = time.monotonic()
    main_tree = build_tree("main", args.scale)
    server_tree = build_tree("server", args.server_scale)
    one1 = build_tree("one1m", 1)
    one64 = build_tree("one64m", 1)
    wan_tree = build_tree("wan", 1)
    log(f"bench: installations ready in {time.monotonic() - t:.1f} s: mirror {main_tree['count']} files "
        f"{main_tree['bytes'] / MIB:.1f} MiB, server {server_tree['count']} files "
        f"{server_tree['bytes'] / MIB:.1f} MiB")
    bench.results["trees"] = {k: {"files": v["count"], "bytes": v["bytes"]}
                              for k, v in (("main", main_tree), ("server", server_tree),
                                           ("one1m", one1), ("one64m", one64), ("wan", wan_tree))}
    bench.results["arch"] = winenv.ARCH
    bench.results["program_bytes"] = (winenv.BIN / "Tovimar.exe").stat().st_size

    winenv.ensure_prefix()
    display_proc, display = winenv.start_display()
    wine = winenv.Wine(display)
    # A private copy of the prefix: other sessions stop the shared one's
    # wineserver (killing runs under it), and WinInet's URL cache lives there.
    prefix = private_prefix()
    wine.env["WINEPREFIX"] = str(prefix)
    wineserver = winenv.start_wineserver(wine.env)
    inst = WORK / "inst"
    web = None
    try:
        web = Nginx(WORK / "www", WORK / "nginx")
        base = web.url

        # Wine's start-up cost, and a warm-up of the prefix.
        samples = [run_measured([winenv.WINE, str(winenv.BIN / "floor_recv.exe")], env=wine.env, timeout=120)
                   for _ in range(R + 1)][1:]
        for s in samples:
            s["ok"] = True
        log("\nWine")
        bench.case("wine start+exit of a console program", samples, 0, "wine")
        s = [wine_costs(wine) for _ in range(R)]
        row = bench.case("wine: what one step of a file costs", s, 0, "wine")
        row["costs_us"] = {k: statistics.median([x["costs_us"][k] for x in s if x.get("costs_us")])
                           for k in COST_STEPS}
        bench.results["wine_costs_us"] = row["costs_us"]

        # 5. floors first: they are the yardsticks.
        log("\nFloors")
        n1024 = max(4 * MIB, int(32 * MIB * min(args.server_scale, 1)))
        s = [floor_recv(wine, n1024, 1024) for _ in range(R)]
        fr = bench.case("floor: Wine recv loop, 1024-byte calls", s, n1024, "floor")
        fr["inner_mbps"] = inner_rate(s, n1024)
        n64k = 256 * MIB
        s = [floor_recv(wine, n64k, 65536) for _ in range(R)]
        f64 = bench.case("floor: Wine recv loop, 65536-byte calls", s, n64k, "floor")
        f64["inner_mbps"] = inner_rate(s, n64k)
        big = max(main_tree["files"], key=lambda e: e["size"])
        out = WORK / "floor_inet.out"
        s = [floor_inet(wine, base + "main/" + big["mirror"], out, big["size"]) for _ in range(R)]
        fi = bench.case(f"floor: WinInet 1 stream + inflate ({big['size'] // MIB} MiB)", s, big["size"], "floor")
        fi["inner_mbps"] = inner_rate(s, big["size"])
        # The program reads only what has arrived (a trickle cannot hold it),
        # and Wine's WinInet answers that with its 8 KiB read buffer: one
        # recv for each 8 KiB.
        s = [floor_inet(wine, base + "main/" + big["mirror"], out, big["size"], 8192) for _ in range(R)]
        f8 = bench.case(f"floor: WinInet 8 KiB reads + inflate ({big['size'] // MIB} MiB)", s, big["size"], "floor")
        f8["inner_mbps"] = inner_rate(s, big["size"])
        out.unlink(missing_ok=True)
        s = [python_client(1024 * MIB) for _ in range(R)]
        bench.case("floor: native Python client, loopback", s, 1024 * MIB, "floor")
        big_file = Path(main_tree["src"]) / big["rel"]
        s = [floor_sha256(wine, big_file) for _ in range(R)]
        fs = bench.case(f"floor: SHA-256 of a {big['size'] // MIB} MiB file (bcrypt)", s, big["size"], "floor")
        fs["inner_mbps"] = inner_rate(s, big["size"])

        # 1. the server path.
        log("\nServer path (TCP file server)")
        server_app = winenv.copy_program(WORK / "apps" / "server")
        for mode in ("compressed", "scrambled"):
            s = []
            for _ in range(R):
                with FileServerProcess(server_tree["published"], "--mode", mode) as server:
                    cpu0 = proc_cpu(server.proc.pid)
                    r = tovimar_run(bench, wine, wineserver, server_app, [f"host=127.0.0.1:{server.port}"],
                                    inst, server_tree)
                    r["server_cpu"] = proc_cpu(server.proc.pid) - cpu0
                s.append(r)
            row = bench.case(f"Tovimar server, {mode} replies", s, server_tree["bytes"], "server", mode=mode)
            row["server_cpu"] = med(s, "server_cpu")

        # 2. the mirror path.
        log("\nMirror path (nginx)")
        app = mirror_app("mirror", main_tree)
        for n in WORKERS:
            s = [tovimar_run(bench, wine, wineserver, app, [f"web:{base}main/={n}"], inst, main_tree)
                 for _ in range(R)]
            bench.case(f"Tovimar mirror, {n} worker{'s' if n > 1 else ''}", s, main_tree["bytes"], "mirror",
                       workers=n)

        # 3. over a complete installation.
        s = [tovimar_run(bench, wine, wineserver, app, [f"web:{base}main/=4"], inst, main_tree, fresh=False)
             for _ in range(R)]
        bench.case("Tovimar over a complete installation", s, 0, "complete")
        s = [tovimar_run(bench, wine, wineserver, app, [f"web:{base}main/=4", "verify"], inst, main_tree,
                         fresh=False) for _ in range(R)]
        bench.case("Tovimar over a complete installation, verify", s, 0, "complete")

        # Peak memory for one small and one large file.
        for tree, label in ((one1, "1 MiB"), (one64, "64 MiB")):
            a = mirror_app(tree["kind"], tree)
            s = [tovimar_run(bench, wine, wineserver, a, [f"web:{base}{tree['kind']}/=1"], inst, tree)
                 for _ in range(R)]
            bench.case(f"Tovimar mirror, a single {label} file", s, tree["bytes"], "single")
        # The program's start and end under Wine, with nothing to fetch.
        s = [tovimar_run(bench, wine, wineserver, a, [f"web:{base}{tree['kind']}/=1"], inst, tree, fresh=False)
             for _ in range(R)]
        bench.results["start_wall"] = bench.case("Tovimar start and end, nothing to fetch", s, 0, "complete")["wall"]

        # 4. the alternatives.
        log("\nAlternatives (fetch, then inflate in Python)")
        alternatives(bench, main_tree, base + "main/")

        if "wan" in args.profiles:
            wan_profile(bench, wine, wineserver, web, server_tree, wan_tree, inst)
    finally:
        if web:
            web.stop()
        wine.stop_all()
        winenv.stop_wineserver(wine.env)
        winenv.kill(wineserver)
        winenv.kill(display_proc)
        shutil.rmtree(WORK / "dl", ignore_errors=True)
        shutil.rmtree(WORK / "inst-alt", ignore_errors=True)

    # The core's share of the same work natively, without Wine.
    core = ROOT / "build" / "host" / "bin" / "core_bench"
    if core.exists():
        try:
            r = subprocess.run([str(core), str(Path(main_tree["published"]) / "files.ver"), main_tree["mirror"]],
                               capture_output=True, text=True, timeout=300)
            if r.returncode != 0:
                raise ValueError(f"exit code {r.returncode}")
            bench.results["core"] = json.loads(r.stdout)
        except (subprocess.SubprocessError, OSError, ValueError) as e:
            log(f"The core natively: not measured: {e}")

    if "filecost" in args.profiles:
        # What one small file costs on the mirror path, in wineserver requests
        # and system calls (tools/filecost.py).
        log("\nOne small file on the mirror path (tools/filecost.py)")
        try:
            bench.results["filecost"] = filecost.measure()
        except (RuntimeError, OSError, subprocess.SubprocessError) as e:
            log(f"  not measured: {e}")
    report(bench, time.monotonic() - started)
    return 0 if all(c["ok"] for c in bench.results["cases"]) else 1


def report(bench, total):
    res = bench.results
    ratios = {}
    fr = bench.get("floor: Wine recv loop, 1024-byte calls")
    fw = bench.get("WAN floor: Wine recv loop, 1024-byte calls")
    fi = next((c for c in res["cases"] if c["name"].startswith("floor: WinInet 1 stream")), None)
    f8 = next((c for c in res["cases"] if c["name"].startswith("floor: WinInet 8 KiB")), None)
    # A floor whose runs printed no time of their own is no yardstick.
    fr, fw, fi, f8 = (f if f and f.get("inner_mbps") else None for f in (fr, fw, fi, f8))
    for c in res["cases"]:
        if c["group"] == "server" and fr and c["mbps"]:
            c["vs_floor"] = c["mbps"] / fr["inner_mbps"]
            # The file server's own time lies between request and reply.
            own = c["wall"] - (c.get("server_cpu") or 0) - res.get("start_wall", 0)
            if own > 0:
                c["own_vs_floor"] = c["bytes"] / own / 1e6 / fr["inner_mbps"]
        if c["group"] == "wan-server" and fw and c["mbps"]:
            c["vs_floor"] = c["mbps"] / fw["inner_mbps"]
        if c["group"] == "wan-mirror" and c["mbps"]:
            native = bench.get(f"WAN floor: native client, {c['workers']} connections")
            if native and native["wall"]:
                c["vs_native"] = c["wall"] / native["wall"]
            a = bench.get(f"WAN: aria2c -j {c['workers']}, then inflate")
            if a and a["mbps"]:
                c["vs_aria2"] = c["mbps"] / a["mbps"]
                c["vs_aria2_fetch"] = c["mbps"] / a["fetch_mbps"]
        if c["group"] == "mirror" and c["mbps"]:
            n = c["workers"]
            if fi:
                c["floor_mbps"] = fi["inner_mbps"] * min(n, CORES)
                c["vs_floor"] = c["mbps"] / c["floor_mbps"]
            if f8:
                c["floor8_mbps"] = f8["inner_mbps"] * min(n, CORES)
                c["vs_floor8"] = c["mbps"] / c["floor8_mbps"]
            a = bench.get(f"aria2c -j {n}, then inflate")
            if a and a["mbps"]:
                c["vs_aria2"] = c["mbps"] / a["mbps"]
                c["vs_aria2_fetch"] = c["mbps"] / a["fetch_mbps"]
            ratios[n] = {k: c.get(k) for k in ("vs_floor", "vs_floor8", "vs_aria2", "vs_aria2_fetch")}
    res["ratios_mirror"] = ratios
    res["wall_total"] = total

    log("\n" + "=" * 118)
    log(f"{'case':46} {'wall s':>8} {'MB/s':>8} {'CPU s':>7} {'peak MiB':>9}  notes")
    log("-" * 118)
    for c in res["cases"]:
        notes = []
        if c.get("inner_mbps"):
            notes.append(f"in-program {c['inner_mbps']:.1f} MB/s")
        if c.get("vs_floor") is not None:
            notes.append(f"x{c['vs_floor']:.2f} of floor")
        if c.get("vs_floor8") is not None:
            notes.append(f"x{c['vs_floor8']:.2f} of the 8 KiB-read floor")
        if c.get("vs_aria2") is not None:
            notes.append(f"x{c['vs_aria2']:.2f} of aria2c (x{c['vs_aria2_fetch']:.2f} fetch only)")
        if c.get("fetch_mbps"):
            notes.append(f"fetch {c['fetch_wall']:.2f} s = {c['fetch_mbps']:.1f} MB/s")
        if c.get("own_vs_floor"):
            notes.append(f"x{c['own_vs_floor']:.2f} without the server's time and the start")
        if c.get("ideal") and c["group"] in ("wan-mirror", "wan-server") and res.get("start_wall"):
            c["vs_ideal_started"] = (c["wall"] - res["start_wall"]) / c["ideal"]
            notes.append(f"x{c['vs_ideal_started']:.2f} without the program's start")
        if c.get("vs_native"):
            notes.append(f"x{c['vs_native']:.2f} of the native client's time")
        if c.get("lead") is not None:
            notes.append(f"{c['lead']:.2f} s to its first connection, {c['tail']:.2f} s after its last byte")
        if c.get("costs_us"):
            notes.append("; ".join(f"{k} {v:.1f} us" for k, v in c["costs_us"].items()))
        if c.get("ideal"):
            fetch = f", fetch x{c['fetch_vs_ideal']:.2f}" if c.get("fetch_vs_ideal") else ""
            notes.append(f"ideal {c['ideal']:.2f} s: x{c['vs_ideal']:.2f}{fetch} "
                         f"({c['wire'] / 1e6:.1f} MB, {c['requests']} requests)")
        if c.get("extra_cpu"):
            notes.append(f"wineserver {c['extra_cpu']:.2f} s")
        if c.get("server_cpu"):
            notes.append(f"fileserver {c['server_cpu']:.2f} s")
        if not c["ok"]:
            notes.append("FAILED")
        mbps = f"{c['mbps']:8.1f}" if c["mbps"] else "       -"
        cpu = f"{c['cpu']:7.2f}" if c["cpu"] is not None else "      -"
        peak = f"{c['peak'] / MIB:9.1f}" if c["peak"] else "        -"
        log(f"{c['name'][:46]:46} {c['wall']:8.2f} {mbps} {cpu} {peak}  {'; '.join(notes)}")
    log("-" * 118)
    log(f"Tovimar.exe ({res['arch']}): {res['program_bytes']} bytes. Trees: " +
        ", ".join(f"{k} {v['files']} files {v['bytes'] / MIB:.1f} MiB" for k, v in res["trees"].items()))
    log(f"Medians of {res['reps']} runs; MB = 10^6 bytes of installed content; floors of the mirror path: "
        f"a WinInet stream in 32 KiB and in 8 KiB reads, x min(workers, {CORES} cores). "
        f"Benchmark wall time {total:.0f} s.")
    if res.get("wan"):
        log(f"WAN: {res['wan']['rtt_ms']:g} ms round trip, {res['wan']['mbit']:g} Mbit/s each way; ideal = rtt + "
            "max(bytes / bw, ceil(requests / N) * rtt + bytes / (N * bw)), bytes as the shaper carried them; "
            f"x = wall / ideal; single-connection cases: medians of {res['wan'].get('single_connection_reps')} runs.")
    core = res.get("core")
    if core:
        log(f"The core natively (build/host/bin/core_bench, {core['files']} files): the list parsed in "
            f"{core['parse_us_per_file']:.2f} us a file, the pick order and the URLs {core['pick_and_url_us_per_file']:.2f} "
            f"us a file, every mirror file inflated in {core['inflate_s']:.2f} s ({core['inflate_mbps']:.0f} MB/s); "
            f"a 256 KiB server chunk inflated at {core['chunk_inflate_mbps']:.0f} MB/s, scrambled at "
            f"{core['scramble_mbps']:.0f} MB/s.")
    if res.get("filecost"):
        filecost.report(res["filecost"], top=12)
        us = res.get("wine_costs_us")
        if us:
            log(f"At {us['request']:.1f} us a wineserver request, the requests alone are "
                f"{res['filecost']['requests_total'] * us['request'] / 1000:.2f} ms of each file.")
    (WORK / "results.json").write_text(json.dumps(res, indent=1))
    log(f"Results: {WORK / 'results.json'}")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        wan = res.get("wan")
        fig, axes = plt.subplots(1, 2 if wan else 1, figsize=(12 if wan else 7, 4.5), squeeze=False)
        ax = axes[0][0]
        tov = [bench.get(f"Tovimar mirror, {n} worker{'s' if n > 1 else ''}") for n in WORKERS]
        ari = [bench.get(f"aria2c -j {n}, then inflate") for n in WORKERS]
        ax.plot(WORKERS, [c["mbps"] if c else None for c in tov], "o-", label="Tovimar (Wine)")
        ax.plot(WORKERS, [c["mbps"] if c else None for c in ari], "s-", label="aria2c + Python inflate")
        ax.plot(WORKERS, [c["fetch_mbps"] if c else None for c in ari], "s--", label="aria2c fetch only")
        if tov[0] and tov[0].get("floor8_mbps"):
            ax.plot(WORKERS, [c.get("floor8_mbps") if c else None for c in tov], ":", color="gray",
                    label="WinInet in 8 KiB reads x min(workers, cores)")
        ax.set_title("Fresh install from one mirror on 127.0.0.1")
        if wan:
            ax = axes[0][1]
            tov = [bench.get(f"WAN: Tovimar mirror, {n} worker{'s' if n > 1 else ''}") for n in WORKERS]
            ari = [bench.get(f"WAN: aria2c -j {n}, then inflate") for n in WORKERS]
            ax.plot(WORKERS, [c["mbps"] if c else None for c in tov], "o-", label="Tovimar (Wine)")
            ax.plot(WORKERS, [c["fetch_mbps"] if c else None for c in ari], "s--", label="aria2c fetch only")
            native = [bench.get(f"WAN floor: native client, {n} connections") for n in WORKERS]
            ax.plot(WORKERS, [c["mbps"] if c else None for c in native], "^-.", label="native kept-alive client")
            ax.plot(WORKERS, [c["bytes"] / c["ideal"] / 1e6 if c and c.get("ideal") else None for c in tov], ":",
                    color="gray", label="ideal")
            ax.set_title(f"WAN: {wan['rtt_ms']:g} ms round trip, {wan['mbit']:g} Mbit/s")
        for ax in axes[0]:
            ax.set_xlabel("workers / connections")
            ax.set_ylabel("MB/s of installed content")
            ax.set_xticks(list(WORKERS))
            ax.set_ylim(bottom=0)
            ax.grid(alpha=0.3)
            ax.legend()
        fig.tight_layout()
        fig.savefig(WORK / "throughput.png", dpi=110)
        log(f"Plot: {WORK / 'throughput.png'}")
    except Exception as exc:  # noqa: BLE001
        log(f"Plot not written: {exc}")


if __name__ == "__main__":
    sys.exit(main())
