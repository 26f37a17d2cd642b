"""The benchmark's report (tools/bench.py): each case set against its
yardsticks, the table, build/bench/results.json and the plot."""
import json

import filecost
from bench_measure import CORES, MIB, WORK, WORKERS, log


def report(bench, total):
    res = bench.results
    compare(bench)
    res["wall_total"] = total
    table(res)
    footer(res, total)
    (WORK / "results.json").write_text(json.dumps(res, indent=1))
    log(f"Results: {WORK / 'results.json'}")
    try:
        plot(bench)
        log(f"Plot: {WORK / 'throughput.png'}")
    except Exception as exc:  # noqa: BLE001
        log(f"Plot not written: {exc}")


# --- against the yardsticks ----------------------------------------------------

def yardstick(bench, case_id):
    """A floor, when its runs printed a time of their own; else no yardstick."""
    c = bench.get(case_id)
    return c if c and c.get("inner_mbps") else None


def against_aria2(bench, c, aria2_id):
    a = bench.get(aria2_id)
    if a and a["mbps"]:
        c["vs_aria2"] = c["mbps"] / a["mbps"]
        c["vs_aria2_fetch"] = c["mbps"] / a["fetch_mbps"]


def server_ratios(c, fr, start_wall):
    c["vs_floor"] = c["mbps"] / fr["inner_mbps"]
    # The file server's own time lies between request and reply.
    own = c["wall"] - (c.get("server_cpu") or 0) - start_wall
    if own > 0:
        c["own_vs_floor"] = c["bytes"] / own / 1e6 / fr["inner_mbps"]


def wan_mirror_ratios(bench, c):
    native = bench.get(f"wan-native-{c['workers']}")
    if native and native["wall"]:
        c["vs_native"] = c["wall"] / native["wall"]
    against_aria2(bench, c, f"wan-aria2-{c['workers']}")


def mirror_ratios(bench, c, fi, f8):
    """Against the WinInet floors times min(workers, cores), and aria2c."""
    n = c["workers"]
    if fi:
        c["floor_mbps"] = fi["inner_mbps"] * min(n, CORES)
        c["vs_floor"] = c["mbps"] / c["floor_mbps"]
    if f8:
        c["floor8_mbps"] = f8["inner_mbps"] * min(n, CORES)
        c["vs_floor8"] = c["mbps"] / c["floor8_mbps"]
    against_aria2(bench, c, f"aria2-{n}")
    return {k: c.get(k) for k in ("vs_floor", "vs_floor8", "vs_aria2", "vs_aria2_fetch")}


def compare(bench):
    res = bench.results
    fr, fw = yardstick(bench, "floor-recv-1024"), yardstick(bench, "wan-floor-recv-1024")
    fi, f8 = yardstick(bench, "floor-inet-32k"), yardstick(bench, "floor-inet-8k")
    ratios = {}
    for c in res["cases"]:
        if c["group"] == "server" and fr and c["mbps"]:
            server_ratios(c, fr, res.get("start_wall", 0))
        if c["group"] == "wan-server" and fw and c["mbps"]:
            c["vs_floor"] = c["mbps"] / fw["inner_mbps"]
        if c["group"] == "wan-mirror" and c["mbps"]:
            wan_mirror_ratios(bench, c)
        if c["group"] == "mirror" and c["mbps"]:
            ratios[c["workers"]] = mirror_ratios(bench, c, fi, f8)
        if c.get("ideal") and c["group"] in ("wan-mirror", "wan-server") and res.get("start_wall"):
            c["vs_ideal_started"] = (c["wall"] - res["start_wall"]) / c["ideal"]
    res["ratios_mirror"] = ratios


# --- the table -------------------------------------------------------------------

def notes(c):
    out = []
    if c.get("inner_mbps"):
        out.append(f"in-program {c['inner_mbps']:.1f} MB/s")
    if c.get("vs_floor") is not None:
        out.append(f"x{c['vs_floor']:.2f} of floor")
    if c.get("vs_floor8") is not None:
        out.append(f"x{c['vs_floor8']:.2f} of the 8 KiB-read floor")
    if c.get("vs_aria2") is not None:
        out.append(f"x{c['vs_aria2']:.2f} of aria2c (x{c['vs_aria2_fetch']:.2f} fetch only)")
    if c.get("fetch_mbps"):
        out.append(f"fetch {c['fetch_wall']:.2f} s = {c['fetch_mbps']:.1f} MB/s")
    if c.get("own_vs_floor"):
        out.append(f"x{c['own_vs_floor']:.2f} without the server's time and the start")
    if c.get("vs_ideal_started") is not None:
        out.append(f"x{c['vs_ideal_started']:.2f} without the program's start")
    if c.get("vs_native"):
        out.append(f"x{c['vs_native']:.2f} of the native client's time")
    if c.get("lead") is not None:
        out.append(f"{c['lead']:.2f} s to its first connection, {c['tail']:.2f} s after its last byte")
    if c.get("costs_us"):
        out.append("; ".join(f"{k} {v:.1f} us" for k, v in c["costs_us"].items()))
    if c.get("ideal"):
        fetch = f", fetch x{c['fetch_vs_ideal']:.2f}" if c.get("fetch_vs_ideal") else ""
        out.append(f"ideal {c['ideal']:.2f} s: x{c['vs_ideal']:.2f}{fetch} "
                   f"({c['wire'] / 1e6:.1f} MB, {c['requests']} requests)")
    if c.get("compressed"):
        out.append(f"{c['dropped']:.0f} files dropped once: {c['wire'] / MIB:.2f} MiB carried for "
                   f"{c['compressed'] / MIB:.2f} MiB compressed (x{c['wire'] / c['compressed']:.3f})")
    if c.get("extra_cpu"):
        out.append(f"wineserver {c['extra_cpu']:.2f} s")
    if c.get("server_cpu"):
        out.append(f"fileserver {c['server_cpu']:.2f} s")
    if not c["ok"]:
        out.append("FAILED")
    return out


def table(res):
    log("\n" + "=" * 118)
    log(f"{'case':46} {'wall s':>8} {'MB/s':>8} {'CPU s':>7} {'peak MiB':>9}  notes")
    log("-" * 118)
    for c in res["cases"]:
        mbps = f"{c['mbps']:8.1f}" if c["mbps"] else "       -"
        cpu = f"{c['cpu']:7.2f}" if c["cpu"] is not None else "      -"
        peak = f"{c['peak'] / MIB:9.1f}" if c["peak"] else "        -"
        log(f"{c['name'][:46]:46} {c['wall']:8.2f} {mbps} {cpu} {peak}  {'; '.join(notes(c))}")
    log("-" * 118)


def footer(res, total):
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
            f"{core['parse_us_per_file']:.2f} us a file, the pick order and the URLs "
            f"{core['pick_and_url_us_per_file']:.2f} us a file, every mirror file inflated in "
            f"{core['inflate_s']:.2f} s ({core['inflate_mbps']:.0f} MB/s); a 256 KiB server chunk inflated at "
            f"{core['chunk_inflate_mbps']:.0f} MB/s, scrambled at {core['scramble_mbps']:.0f} MB/s.")
    if res.get("filecost"):
        filecost.report(res["filecost"], top=12)
        us = res.get("wine_costs_us")
        if us:
            log(f"At {us['request']:.1f} us a wineserver request, the requests alone are "
                f"{res['filecost']['requests_total'] * us['request'] / 1000:.2f} ms of each file.")


# --- the plot --------------------------------------------------------------------

def column(cases, key):
    return [c.get(key) if c else None for c in cases]


def plot_loopback(bench, ax):
    tov = [bench.get(f"mirror-{n}") for n in WORKERS]
    ari = [bench.get(f"aria2-{n}") for n in WORKERS]
    ax.plot(WORKERS, column(tov, "mbps"), "o-", label="Tovimar (Wine)")
    ax.plot(WORKERS, column(ari, "mbps"), "s-", label="aria2c + Python inflate")
    ax.plot(WORKERS, column(ari, "fetch_mbps"), "s--", label="aria2c fetch only")
    if tov[0] and tov[0].get("floor8_mbps"):
        ax.plot(WORKERS, column(tov, "floor8_mbps"), ":", color="gray",
                label="WinInet in 8 KiB reads x min(workers, cores)")
    ax.set_title("Fresh install from one mirror on 127.0.0.1")


def plot_wan(bench, ax, wan):
    tov = [bench.get(f"wan-mirror-{n}") for n in WORKERS]
    ari = [bench.get(f"wan-aria2-{n}") for n in WORKERS]
    ax.plot(WORKERS, column(tov, "mbps"), "o-", label="Tovimar (Wine)")
    ax.plot(WORKERS, column(ari, "fetch_mbps"), "s--", label="aria2c fetch only")
    native = [bench.get(f"wan-native-{n}") for n in WORKERS]
    ax.plot(WORKERS, column(native, "mbps"), "^-.", label="native kept-alive client")
    ax.plot(WORKERS, [c["bytes"] / c["ideal"] / 1e6 if c and c.get("ideal") else None for c in tov], ":",
            color="gray", label="ideal")
    ax.set_title(f"WAN: {wan['rtt_ms']:g} ms round trip, {wan['mbit']:g} Mbit/s")


def plot(bench):
    """build/bench/throughput.png: MB/s against workers, loopback and WAN."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    wan = bench.results.get("wan")
    fig, axes = plt.subplots(1, 2 if wan else 1, figsize=(12 if wan else 7, 4.5), squeeze=False)
    plot_loopback(bench, axes[0][0])
    if wan:
        plot_wan(bench, axes[0][1], wan)
    for ax in axes[0]:
        ax.set_xlabel("workers / connections")
        ax.set_ylabel("MB/s of installed content")
        ax.set_xticks(list(WORKERS))
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(WORK / "throughput.png", dpi=110)
