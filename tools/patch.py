#!/usr/bin/env python3
"""Makes and applies the program's patches: the bytes that turn one version
of a file into the next.

    patch.py make  <old> <new> <patch>
    patch.py apply <old> <patch> <new>

The format (transfer/Patch.h holds the reader; all numbers little-endian):
a 48-byte header, "TVPATCH1", the old and the new size (u64 each), the flags
(u32, 0), the lengths of the four sections (u32 each: control, zeros, values,
extra) and 4 bytes of 0; then the four sections, each one zlib stream.
Control holds triples of LEB128 numbers (add, insert, seek zigzag-coded); for
each, `add` bytes of the new file are the old file's bytes from the old
position plus the next `add` differences (mod 256), then `insert` bytes come
from the extra section as they are; the old position moves on by add, then by
seek. The differences of all triples are one sequence, written as runs of
zeros (LEB128 numbers in zeros) between the values that are not (bytes in
values), a run first and a run last. Where code moved, the old and the new
bytes match but for the addresses in them: most differences are zeros.

Matches are found through an index of the old file's 16-byte windows at every
8th position, each extended both ways while at least half of the bytes agree
(so that a changed address inside a moved function does not end a match).
Python standard library only."""
import argparse
import struct
import sys
import zlib

MAGIC = b"TVPATCH1"
HEADER = struct.Struct("<8sQQIIIII4s")
KEY = 16       # bytes of a window in the index
STEP = 8       # the old file's windows indexed: every STEP-th
MIN_MATCH = 24  # a shorter exact match is not worth a triple


def _number(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def _zigzag(value: int) -> int:
    return value << 1 if value >= 0 else ((-value) << 1) - 1


def _extend(old: bytes, new: bytes, o: int, n: int, forward: bool, limit: int) -> int:
    """How far a match at old[o], new[n] goes on (forward, or back from
    before them), up to `limit`: the length where agreeing bytes outnumber
    the others by most."""
    best = score = best_score = 0
    for length in range(1, limit + 1):
        i, j = (o + length - 1, n + length - 1) if forward else (o - length, n - length)
        if not (0 <= i < len(old) and 0 <= j < len(new)):
            break
        score += 1 if old[i] == new[j] else -1
        if score > best_score:
            best_score, best = score, length
        elif score < best_score - 32:
            break
    return best


def _exact(old: bytes, new: bytes, o: int, n: int, at_least: int) -> bool:
    return 0 <= o and old[o:o + at_least] == new[n:n + at_least] and o + at_least <= len(old)


def _matches(old: bytes, new: bytes) -> list:
    """(new start, old start, length) of each match, in the new file's order."""
    index = {}
    for p in range(0, len(old) - KEY + 1, STEP):
        index.setdefault(old[p:p + KEY], p)
    found = []
    n = pending = 0  # pending: the first new byte no match covers
    offset = 0       # old - new of the last match, tried first: code moved as a block
    while n + KEY <= len(new):
        o = n + offset if _exact(old, new, n + offset, n, MIN_MATCH) else index.get(new[n:n + KEY])
        if o is None or not _exact(old, new, o, n, KEY):
            n += 1
            continue
        back = _extend(old, new, o, n, False, min(n - pending, o))
        length = back + _extend(old, new, o, n, True, len(new) - n)
        if length < MIN_MATCH:
            n += 1
            continue
        found.append((n - back, o - back, length))
        offset = o - n
        n = pending = n - back + length
    return found


def make_patch(old: bytes, new: bytes) -> bytes:
    control, difference, extra = bytearray(), bytearray(), bytearray()

    def triple(add, insert, seek):
        control.extend(_number(add) + _number(insert) + _number(_zigzag(seek)))

    matches = _matches(old, new)
    if not matches:
        if new:
            triple(0, len(new), 0)
            extra += new
        return _assemble(len(old), len(new), bytes(control), b"", bytes(extra))
    first_new, first_old, first_length = matches[0]
    if first_new == 0 and first_old != 0:
        # The old position moves only after a triple that writes: one byte
        # of the match is inserted to get there.
        matches[0] = (1, first_old + 1, first_length - 1)
        first_new = 1
    if first_new:
        triple(0, first_new, matches[0][1])
        extra += new[:first_new]
    for k, (at_new, at_old, length) in enumerate(matches):
        following = matches[k + 1] if k + 1 < len(matches) else (len(new), at_old + length, 0)
        end = at_new + length
        difference += bytes((new[end - length + i] - old[at_old + i]) & 0xFF for i in range(length))
        extra += new[end:following[0]]
        triple(length, following[0] - end, following[1] - (at_old + length))
    return _assemble(len(old), len(new), bytes(control), bytes(difference), bytes(extra))


def _assemble(old_size, new_size, control, difference, extra) -> bytes:
    zeros, values, run = bytearray(), bytearray(), 0
    for byte in difference:
        if byte:
            zeros += _number(run)
            values.append(byte)
            run = 0
        else:
            run += 1
    zeros += _number(run)
    sections = [zlib.compress(s, 9) for s in (control, bytes(zeros), bytes(values), extra)]
    header = HEADER.pack(MAGIC, old_size, new_size, 0, *(len(s) for s in sections), bytes(4))
    return header + b"".join(sections)


def apply_patch(old: bytes, patch: bytes) -> bytes:
    """The new file; ValueError for a patch that breaks the format's rules."""
    if len(patch) < HEADER.size:
        raise ValueError("shorter than a header")
    magic, old_size, new_size, flags, *lengths, reserved = HEADER.unpack_from(patch)
    if magic != MAGIC or flags or any(reserved) or HEADER.size + sum(lengths) != len(patch):
        raise ValueError("not a patch")
    if old_size != len(old):
        raise ValueError("a patch for another version")
    sections, at = [], HEADER.size
    for length in lengths:
        d = zlib.decompressobj()
        sections.append(d.decompress(patch[at:at + length]))
        if not d.eof or d.unused_data:
            raise ValueError("a section is not one whole zlib stream")
        at += length
    control, zeros, values, extra = sections
    cursors = {"control": 0, "zeros": 0}

    def number(name, data):
        value = shift = 0
        while True:
            if cursors[name] >= len(data) or shift > 63:
                raise ValueError(f"{name} cut short")
            byte = data[cursors[name]]
            cursors[name] += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return value

    # The differences as one sequence again.
    def run():
        length = number("zeros", zeros)
        if length > new_size:
            raise ValueError("a run of zeros longer than the new file")
        return b"\0" * length

    difference = bytearray(run())
    for v in values:
        difference.append(v)
        difference += run()
        if len(difference) > new_size:
            raise ValueError("more differences than the new file has bytes")
    if cursors["zeros"] != len(zeros):
        raise ValueError("zeros left over")
    out = bytearray()
    dpos = epos = old_pos = 0

    while len(out) < new_size:
        add, insert, seek = (number("control", control) for _ in range(3))
        if add + insert == 0 or len(out) + add + insert > new_size or old_pos + add > old_size:
            raise ValueError("a triple breaks the rules")
        if dpos + add > len(difference) or epos + insert > len(extra):
            raise ValueError("a section cut short")
        out += bytes((old[old_pos + k] + difference[dpos + k]) & 0xFF for k in range(add))
        dpos += add
        out += extra[epos:epos + insert]
        epos += insert
        old_pos += add
        old_pos += -((seek + 1) >> 1) if seek & 1 else seek >> 1
        if not 0 <= old_pos <= old_size:
            raise ValueError("a seek out of the old file")
    if cursors["control"] != len(control) or dpos != len(difference) or epos != len(extra):
        raise ValueError("sections left over")
    return bytes(out)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make", help="write the patch from old to new")
    m.add_argument("old"), m.add_argument("new"), m.add_argument("patch")
    a = sub.add_parser("apply", help="write the new file from old and the patch")
    a.add_argument("old"), a.add_argument("patch"), a.add_argument("new")
    args = p.parse_args(argv)
    with open(args.old, "rb") as f:
        old = f.read()
    if args.command == "make":
        with open(args.new, "rb") as f:
            new = f.read()
        patch = make_patch(old, new)
        with open(args.patch, "wb") as f:
            f.write(patch)
        print(f"{len(patch)} bytes of patch for {len(new)} bytes")
        return 0
    with open(args.patch, "rb") as f:
        try:
            new = apply_patch(old, f.read())
        except ValueError as e:
            print(f"patch: {e}", file=sys.stderr)
            return 1
    with open(args.new, "wb") as f:
        f.write(new)
    return 0


if __name__ == "__main__":
    sys.exit(main())
