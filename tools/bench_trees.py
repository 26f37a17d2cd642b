"""The benchmark's test installations (tools/bench.py): generated under
build/bench/trees/, published with a mirror tree under build/bench/www/, and
reused while their stamp matches."""
import json
import os
import random
import shutil
from pathlib import Path

from bench_measure import BASE_TIME, KIB, MIB, WORK
from servers import publish, publisher

TREE_VERSION = 2  # 2: file lines carry their SHA-256
# Every installation a run uses, in the order they are made and reported.
KINDS = ("main", "server", "one1m", "one64m", "wan")


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


def small_files(rng, count, folder):
    """`count` files of 1-64 KiB, every other one random bytes; folder(i)
    names the folder of the i-th."""
    files = []
    for i in range(count):
        size = rng.randint(1, 64) * KIB - rng.randint(0, 1023)
        files.append((f"{folder(i)}f{i:04d}.{'bin' if i % 2 else 'txt'}", size, "random" if i % 2 else "text"))
    return files


def big_name(i):
    return f"Pak/big{i}.{'pak' if i % 2 == 0 else 'txt'}", "random" if i % 2 == 0 else "text"


def tree_layout(kind, scale, rng):
    """[(relative posix path, size, 'random'|'text')]."""
    files = []
    if kind == "main":
        files += small_files(rng, max(20, int(2000 * scale)), lambda i: f"Data/S{i // 200:02d}/")
        for i, mib in enumerate([64, 64, 48, 32, 16, 8]):
            size = max(256 * KIB, int(mib * MIB * scale))
            if mib == 64 and i == 0 and scale < 1:
                size = int(64 * MIB * max(scale, 0.25))  # keep one large file
            rel, style = big_name(i)
            files.append((rel, size, style))
    elif kind == "server":
        files += small_files(rng, max(10, int(200 * scale)), lambda i: "Data/")
        for i, mib in enumerate([12, 8, 4]):
            rel, style = big_name(i)
            files.append((rel, max(128 * KIB, int(mib * MIB * scale)), style))
    elif kind == "wan":
        files += small_files(rng, 400, lambda i: f"Data/S{i // 200:02d}/")
        files += [("Pak/big0.pak", 4 * MIB, "random"), ("Pak/big1.txt", 4 * MIB, "text")]
    elif kind == "one1m":
        files.append(("one.pak", 1 * MIB, "random"))
    elif kind == "one64m":
        files.append(("one.pak", 64 * MIB, "random"))
    return files


def write_files(src, layout, rng, pool):
    """Writes the layout under src, stamped two seconds apart; returns its
    entries with their mirror names."""
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
    return entries


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
    entries = write_files(src, tree_layout(kind, scale, rng), rng, pool)
    publish(src, pub, mirror)
    info = {"kind": kind, "files": entries, "bytes": sum(e["size"] for e in entries),
            "count": len(entries), "src": str(src), "published": str(pub), "mirror": str(mirror)}
    (base / "tree.json").write_text(json.dumps(info))
    stamp.write_text(json.dumps(want))
    return info


def build_trees(args):
    """{kind: installation} of every kind, the mirror's and the server's at
    the run's scales."""
    scales = {"main": args.scale, "server": args.server_scale}
    return {kind: build_tree(kind, scales.get(kind, 1)) for kind in KINDS}


def check_install(folder, tree):
    """Every file of the tree is there with its size."""
    for e in tree["files"]:
        p = Path(folder) / e["rel"]
        if not p.is_file() or p.stat().st_size != e["size"]:
            return False
    return True
