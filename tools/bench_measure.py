"""The benchmark's measuring (tools/bench.py): one run of a command with its
wall time, CPU and peak memory, and the cases, each kept under a short id
and printed under its display text."""
import os
import resource
import statistics
import subprocess
import threading
import time
from pathlib import Path

import winenv

ROOT = Path(__file__).resolve().parents[1]

WORK = ROOT / "build" / "bench"
KIB, MIB = 1024, 1024 * 1024
WORKERS = (1, 4, 8, 15)
CORES = os.cpu_count() or 1
CLK = os.sysconf("SC_CLK_TCK")
BASE_TIME = 1623745800  # 2021-06-15 08:30:00 UTC, an even second
RUN_TIMEOUT = 600


def log(text):
    print(text, flush=True)


def workers(n):
    """"1 worker", "4 workers": as the mirror cases name their worker count."""
    return f"{n} worker{'s' if n > 1 else ''}"


# --- one process ---------------------------------------------------------

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


class Watch:
    """Peak memory and CPU of a run's processes whose command line holds
    `needle`, sampled while it runs."""

    def __init__(self, needle, session):
        self.needle, self.session = needle, session
        self.hwm, self.cpu, self.pids, self.last_scan = {}, {}, set(), 0.0

    def sample(self, now):
        if now - self.last_scan > 0.3 or not self.pids:
            self.pids.update(find_pids(self.needle, self.session))
            self.last_scan = now
        for p in list(self.pids):
            h = proc_hwm(p)
            if h:
                self.hwm[p] = max(self.hwm.get(p, 0), h)
                self.cpu[p] = max(self.cpu.get(p, 0.0), proc_cpu(p))


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
    watched = Watch(watch, proc.pid) if watch else None
    timed_out = False
    while proc.poll() is None:
        now = time.monotonic()
        if now - t0 > timeout:
            timed_out = True
            winenv.kill(proc)
            break
        if watched:
            watched.sample(now)
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
    hwm, cpu_seen = (watched.hwm, watched.cpu) if watched else ({}, {})
    return {"wall": wall, "started": t0, "cpu": max(rus, sum(cpu_seen.values())), "peak": max(hwm.values(), default=0),
            "extra_cpu": sum(proc_cpu(p) - extra0[p] for p in extra_cpu_pids),
            "code": None if timed_out else proc.returncode, "timed_out": timed_out,
            "stdout": (out_chunks[0] if out_chunks else b"").decode("latin-1")}


# --- the cases -------------------------------------------------------------

def inner_rate(samples, size):
    """MB/s by the program's own clock (median), None when no run printed it."""
    times = [x["inner"] for x in samples if x.get("inner")]
    return size / statistics.median(times) / 1e6 if times else None


def med(samples, key):
    vals = [s[key] for s in samples if s.get(key) is not None]
    return statistics.median(vals) if vals else None


class Bench:
    """The results: every case under its id ("mirror-8", "wan-aria2-15"),
    printed and written under its display text."""

    def __init__(self, args):
        self.args = args
        self.reps = args.reps
        self.results = {"cases": [], "scale": args.scale, "server_scale": args.server_scale,
                        "cores": CORES, "reps": args.reps}
        self.by_id = {}

    def reps_for(self, connections, shaped):
        """One connection over the WAN link takes 20 s a run: two runs of those."""
        return min(self.reps, 2) if shaped and connections == 1 else self.reps

    def repeat(self, run, times=None):
        return [run() for _ in range(times or self.reps)]

    def case(self, case_id, name, samples, content_bytes, group, **extra):
        assert case_id not in self.by_id, case_id
        wall = med(samples, "wall")
        row = {"id": case_id, "name": name, "group": group, "samples": samples, "bytes": content_bytes,
               "wall": wall, "cpu": med(samples, "cpu"), "peak": med(samples, "peak") or None,
               "extra_cpu": med(samples, "extra_cpu"),
               "mbps": (content_bytes / wall / 1e6) if wall and content_bytes else None,
               "ok": all(s.get("ok", True) for s in samples)}
        row.update(extra)
        self.results["cases"].append(row)
        self.by_id[case_id] = row
        peak = f"{row['peak'] / MIB:7.1f}" if row["peak"] else "      -"
        mbps = f"{row['mbps']:8.1f}" if row["mbps"] else "       -"
        log(f"  {name:44} {wall:8.2f} s {mbps} MB/s  cpu {row['cpu'] or 0:6.2f} s  peak {peak} MiB"
            f"{'' if row['ok'] else '  (FAILED)'}")
        return row

    def inner_case(self, case_id, name, samples, size, group):
        """A case whose runs print their own time: its MB/s by that clock too."""
        row = self.case(case_id, name, samples, size, group)
        row["inner_mbps"] = inner_rate(samples, size)
        return row

    def get(self, case_id):
        return self.by_id.get(case_id)
