"""What the benchmark runs (tools/bench.py), on loopback and over the WAN
link alike: the Wine session, Tovimar.exe, the floor programs, the native
client, and aria2c and curl with an inflate in Python; and what a run over
a shaped link is set against."""
import contextlib
import os
import resource
import shutil
import socket
import subprocess
import sys
import time
import zlib
from dataclasses import dataclass
from pathlib import Path

import winenv
from bench_measure import BASE_TIME, MIB, WORK, WORKERS, med, run_measured
from bench_trees import check_install
from servers import Nginx, Shaper

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


# --- the Wine session ------------------------------------------------------

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


@dataclass
class Session:
    """Wine on a display of its own, its wineserver, and nginx serving
    build/bench/www; the program installs into .inst."""

    wine: winenv.Wine
    wineserver: subprocess.Popen
    web: Nginx
    inst: Path = WORK / "inst"

    @property
    def base(self):
        return self.web.url

    def run(self, app, args, tree, fresh=True):
        """One run of the program with its args, into .inst (emptied first
        when fresh); ok when it ends with 0 and every file is there."""
        if fresh:
            shutil.rmtree(self.inst, ignore_errors=True)
            clear_url_cache(self.wine.env["WINEPREFIX"])
        argv = [winenv.WINE, str(app), *args, "dir=" + winenv.winpath(self.inst)]
        r = run_measured(argv, env=self.wine.env, watch=b"Tovimar.exe", extra_cpu_pids=[self.wineserver.pid])
        r["ok"] = r["code"] == 0 and check_install(self.inst, tree)
        return r


@contextlib.contextmanager
def wine_session():
    winenv.ensure_prefix()
    display_proc, display = winenv.start_display()
    wine = winenv.Wine(display)
    # A private copy of the prefix: other sessions stop the shared one's
    # wineserver (killing runs under it), and WinInet's URL cache lives there.
    wine.env["WINEPREFIX"] = str(private_prefix())
    wineserver = winenv.start_wineserver(wine.env)
    web = None
    try:
        web = Nginx(WORK / "www", WORK / "nginx")
        yield Session(wine, wineserver, web)
    finally:
        if web:
            web.stop()
        wine.stop_all()
        winenv.stop_wineserver(wine.env)
        winenv.kill(wineserver)
        winenv.kill(display_proc)
        shutil.rmtree(WORK / "dl", ignore_errors=True)
        shutil.rmtree(WORK / "inst-alt", ignore_errors=True)


def mirror_app(name, tree):
    """The program with the published manifest beside it as Tovimar.ver."""
    folder = WORK / "apps" / name
    app = winenv.copy_program(folder)
    shutil.copyfile(Path(tree["published"]) / "files.ver", folder / "Tovimar.ver")
    return app


# --- the floors --------------------------------------------------------------

def sender(n):
    proc = subprocess.Popen([sys.executable, "-c", SENDER, str(n)], stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    port = int(proc.stdout.readline())
    return proc, port


def python_client(n):
    proc, port = sender(n)
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


def floor_recv(wine, n, piece, profile=None):
    """A bare recv loop under Wine; through a Shaper of (rtt_ms, mbit) when given."""
    proc, port = sender(n)
    link = Shaper(port, *profile) if profile else None
    try:
        r = run_measured([winenv.WINE, str(winenv.TEST_BIN / "floor_recv.exe"), str(link.port if link else port), str(n),
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
    r = run_measured([winenv.WINE, str(winenv.TEST_BIN / "floor_inet.exe"), url, winenv.winpath(out), str(piece)],
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
    r = run_measured([winenv.WINE, str(winenv.TEST_BIN / "wine_costs.exe"), winenv.winpath(folder)], env=wine.env,
                     watch=b"wine_costs", timeout=120)
    shutil.rmtree(folder, ignore_errors=True)
    parts = r["stdout"].split()
    if len(parts) >= 6 and parts[0] == "costs":
        r["costs_us"] = dict(zip(COST_STEPS, (float(x) for x in parts[2:6])))
    r["ok"] = r["code"] == 0 and "costs_us" in r
    return r


def floor_sha256(wine, path):
    r = run_measured([winenv.WINE, str(winenv.TEST_BIN / "floor_sha256.exe"), winenv.winpath(path)], env=wine.env,
                     watch=b"floor_sha256", timeout=300)
    parts = r["stdout"].split()
    inner = float(parts[2]) if len(parts) >= 3 and parts[0] == "sha256" else None
    r.update(ok=r["code"] == 0 and inner is not None, inner=inner)
    return r


# --- over the shaped link ----------------------------------------------------

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


# --- the alternatives ----------------------------------------------------------

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


def alternative_tools(tree, url, shaped):
    """[(id, display text, command for a download folder, connections, kind)]:
    aria2c at each worker count and, on loopback, curl one file after
    another (over the WAN link that is aria2c -j 1 again)."""
    lst = WORK / "aria2.list"
    lst.write_text("".join(f"{url}{e['mirror']}\n  out={e['mirror']}\n" for e in tree["files"]))
    cfg = WORK / "curl.cfg"

    def curl_cmd(dl):
        cfg.write_text("".join(f'url = "{url}{e["mirror"]}"\noutput = "{dl / e["mirror"]}"\n'
                               for e in tree["files"]))
        return ["curl", "-s", "-f", "--create-dirs", "-K", str(cfg)]

    def aria2_cmd(n):
        return lambda dl: ["aria2c", "--no-conf=true", "-q", "-i", str(lst), "-j", str(n), "-x", "1", "-d", str(dl),
                           "--file-allocation=none", "--allow-overwrite=true", "--auto-file-renaming=false",
                           "--summary-interval=0", "--max-tries=1", "--disable-ipv6=true"]

    tools = [(f"aria2-{n}", f"aria2c -j {n}, then inflate", aria2_cmd(n), n, "aria2") for n in WORKERS]
    if not shaped:
        tools.append(("curl", "curl one after another, then inflate", curl_cmd, 1, "curl"))
    return tools


def alternatives(bench, tree, url, link=None):
    """Each alternative tool fetching the mirror files, then inflating them
    in Python; through `link` (a Shaper) on the WAN profile, where its ids
    and display texts are those of loopback with "wan-" and "WAN: " before."""
    id_prefix, name_prefix, group = ("wan-", "WAN: ", "wan-") if link else ("", "", "")
    for case_id, name, cmd, n, kind in alternative_tools(tree, url, bool(link)):
        s = bench.repeat(lambda: on_link(link, lambda: fetch_then_inflate(cmd, tree, kind)),
                         bench.reps_for(n, bool(link)))
        row = bench.case(id_prefix + case_id, name_prefix + name, s, tree["bytes"], group + kind, workers=n)
        row["fetch_wall"] = med(s, "fetch_wall")
        row["inflate_wall"] = med(s, "inflate_wall")
        row["fetch_mbps"] = tree["bytes"] / row["fetch_wall"] / 1e6
        if link:
            set_ideal(row, s, len(tree["files"]), n, link)
