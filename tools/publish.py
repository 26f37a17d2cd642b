#!/usr/bin/python3
"""Publisher for Tovimar installations.

From a folder of the client's files it writes:
  * the published folder (--out): the files at their relative paths plus the
    manifest files.ver, ready for fileserver.py --root;
  * optionally a mirror tree (--mirror): every file as one zlib stream under
    the name the downloader asks a mirror site for, ready for any static web
    server.

Manifest lines end in CR LF. Sections open with a header such as [CLIENT];
a file line reads  rel\\path=SIZE,DOSTIME,sha256=HEX  where DOSTIME is the
file's modification time in UTC as a 32-bit DOS date (high 16 bits) and time
(low 16 bits), in decimal, and HEX the SHA-256 of its content (older
programs read nothing after DOSTIME). Mirror sites go into a [SITES] section
as URL or URL=N. With --key the list is signed (see signing.py).

The functions dos_time, month_folder, mirror_name and manifest_text are
importable for tests and other tools.
"""

import argparse
import dataclasses
import fnmatch
import hashlib
import math
import os
import shutil
import sys
import time
import zlib
from dataclasses import dataclass, field

TEXT_ENCODING = "cp1252"        # the client reads 8-bit ANSI text
DEFAULT_SECTION = "CLIENT"
SITES_SECTION = "SITES"
MAX_NAME = 63                   # longest name the client keeps
MAX_SIZE = 0x7FFFFFFF           # sizes are signed 32-bit on the client
MAX_MANIFEST = 256 * 1024 - 1   # the longest list every source gives the client whole
MIRROR_LEVEL = 6
LINE_ENDS = {"crlf": "\r\n", "lf": "\n"}


class PublishError(Exception):
    pass


# --- names and time stamps ------------------------------------------------

def dos_time(mtime: float) -> int:
    """32-bit DOS date-time of a POSIX time stamp, taken in UTC. Times outside
    1980..2107 are clamped to the nearest representable one; seconds are
    stored in two-second steps, rounded down."""
    t = time.gmtime(math.floor(mtime))
    if t.tm_year < 1980:
        return (1 << 21) | (1 << 16)                       # 1980-01-01 00:00:00
    if t.tm_year > 2107:
        return (127 << 25) | (12 << 21) | (31 << 16) | (23 << 11) | (59 << 5) | 29
    date = ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (min(t.tm_sec, 59) // 2)
    return (date << 16) | clock


def month_folder(dostime: int) -> str:
    """YYMM folder of a DOS date-time: years since 2000 and the month; every
    file dated before 2009 shares the folder 0800."""
    years = (dostime >> 25) - 20
    if years >= 9:
        month = (dostime >> 21) & 15
    else:
        years, month = 8, 0
    return f"{years:02d}{month:02d}"


def mirror_name(relpath: str, size: int, dostime: int, month_folders: bool = True) -> str:
    """Path of a file inside the mirror tree, '/'-separated:
    [YYMM/]DOSTIME_SIZE_name-with-every-backslash-as-underscore."""
    flat = relpath.replace("/", "\\").replace("\\", "_")
    name = f"{dostime}_{size}_{flat}"
    return f"{month_folder(dostime)}/{name}" if month_folders else name


@dataclass(frozen=True)
class ManifestFile:
    name: str          # relative path with backslashes
    size: int
    dostime: int
    section: str = DEFAULT_SECTION
    path: str = ""     # where the file is on disk
    sha256: str = ""   # hex digest of the content; empty: the line gives none
    patches: tuple = ()  # Patch records: from earlier versions to this one


@dataclass(frozen=True)
class Patch:
    base: str    # SHA-256 (hex) of the earlier version it applies to
    size: int
    sha256: str  # of the patch itself
    data: bytes = field(repr=False, compare=False)


PATCH_FROM = 64 * 1024  # smaller earlier versions get no patch
PATCH_MARGIN = 0.8      # a patch is kept only below this share of the compressed file


def patch_name(name: str, base: str) -> str:
    """The patch from the version of SHA-256 `base` to a file, beside it:
    its name (or mirror name), '.', the base's first 16 hex digits, '.tvp'."""
    return f"{name}.{base[:16]}.tvp"


def make_patches(files, previous) -> list:
    """The files, each with the patches from its earlier versions in the
    published folders `previous` that differ, are at least PATCH_FROM bytes
    and give a patch worth it."""
    import patch as patching
    out = []
    for f in files:
        found = {}
        if f.sha256:
            with open(f.path, "rb") as fh:
                new = fh.read()
            whole = len(zlib.compress(new, MIRROR_LEVEL))
            for folder in previous:
                old_path = os.path.join(folder, *f.name.split("\\"))
                if not os.path.isfile(old_path) or os.path.getsize(old_path) < PATCH_FROM:
                    continue
                base = sha256_of(old_path)
                if base == f.sha256 or base in found:
                    continue
                with open(old_path, "rb") as fh:
                    data = patching.make_patch(fh.read(), new)
                if len(data) <= PATCH_MARGIN * whole:
                    found[base] = Patch(base, len(data), hashlib.sha256(data).hexdigest(), data)
        out.append(dataclasses.replace(f, patches=tuple(found.values())) if found else f)
    return out


def manifest_text(files, sites=(), line_end="\r\n", sections=None, version=None) -> str:
    """The manifest for `files` (ManifestFile records, written in the order
    given) and the mirror `sites` (texts URL or URL=N). Sections come in the
    order of `sections`, then any others in order of first use; a section
    without files is left out, except the first of `sections`. A `version`
    goes into [SITES] as a "version=" line, which programs that do not know
    it skip as a site they cannot use."""
    order = list(sections or [])
    for f in files:
        if f.section not in order:
            order.append(f.section)
    lines = []
    for i, section in enumerate(order):
        members = [f for f in files if f.section == section]
        if members or (sections and i == 0):
            lines.append(f"[{section}]")
            lines.extend(file_line(f) for f in members)
    if sites or version:
        lines.append(f"[{SITES_SECTION}]")
        lines.extend(sites)
    if version:
        lines.append(f"version={version}")
    return "".join(line + line_end for line in lines)


def file_line(f: ManifestFile) -> str:
    line = f"{f.name}={f.size},{f.dostime}"
    if not f.sha256:
        return line
    # Patch fields after the hash, which programs that do not know them skip.
    return f"{line},sha256={f.sha256}" + "".join(f",patch={p.base}:{p.size}:{p.sha256}" for p in f.patches)


def sha256_of(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# --- collecting -----------------------------------------------------------

def section_for(name: str, section_map, default: str) -> str:
    """First 'glob=SECTION' rule whose glob matches the name (in backslash
    or slash form) decides; otherwise the default section."""
    slashed = name.replace("\\", "/")
    for pattern, section in section_map:
        if fnmatch.fnmatchcase(slashed, pattern) or fnmatch.fnmatchcase(name, pattern):
            return section
    return default


def check_name(name: str) -> None:
    try:
        name.encode(TEXT_ENCODING)
    except UnicodeEncodeError:
        raise PublishError(f"{name!r}: not representable in {TEXT_ENCODING}") from None
    if any(c in name for c in "=\r\n"):
        raise PublishError(f"{name!r}: '=' or a line break cannot appear in a manifest name")
    if len(name.encode(TEXT_ENCODING)) > MAX_NAME:
        warn(f"{name}: longer than {MAX_NAME} characters, the client cannot keep it")


def collect(src: str, section_map=(), default_section=DEFAULT_SECTION,
            skip_names=(), hashes=True) -> list[ManifestFile]:
    """Regular files under `src`, sorted by their manifest name."""
    found = []
    for folder, dirs, names in os.walk(src):
        dirs.sort()
        for n in names:
            path = os.path.join(folder, n)
            if not os.path.isfile(path):
                continue
            rel = os.path.relpath(path, src)
            name = rel.replace(os.sep, "\\")
            if name in skip_names:
                warn(f"{name}: skipped, the manifest is written under that name")
                continue
            check_name(name)
            st = os.stat(path)
            if st.st_size > MAX_SIZE:
                raise PublishError(f"{name}: {st.st_size} bytes, more than the client supports")
            found.append(ManifestFile(name, st.st_size, dos_time(st.st_mtime),
                                      section_for(name, section_map, default_section), path,
                                      sha256_of(path) if hashes else ""))
    found.sort(key=lambda f: f.name)
    return found


# --- writing --------------------------------------------------------------

def write_published(files, out: str, manifest: bytes, manifest_name: str) -> None:
    for f in files:
        target = os.path.join(out, *f.name.split("\\"))
        if os.path.exists(target) and os.path.samefile(f.path, target):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(f.path, target)
    for f in files:
        for p in f.patches:
            with open(os.path.join(out, *patch_name(f.name, p.base).split("\\")), "wb") as fh:
                fh.write(p.data)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, manifest_name), "wb") as fh:
        fh.write(manifest)


def write_mirror(files, mirror: str, month_folders: bool) -> None:
    for f in files:
        target = os.path.join(mirror, *mirror_name(f.name, f.size, f.dostime,
                                                   month_folders).split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(f.path, "rb") as fh:
            data = fh.read()
        with open(target, "wb") as fh:
            fh.write(zlib.compress(data, MIRROR_LEVEL))
        # A patch is compressed within: served as it is.
        for p in f.patches:
            with open(patch_name(target, p.base), "wb") as fh:
                fh.write(p.data)


def warn(text: str) -> None:
    print(f"publish: warning: {text}", file=sys.stderr)


# --- command line ---------------------------------------------------------

def parse_section_rule(text: str):
    pattern, sep, section = text.rpartition("=")
    if not sep or not pattern or not section:
        raise argparse.ArgumentTypeError(f"expected GLOB=SECTION, got {text!r}")
    return pattern, section


def parse_site(text: str) -> str:
    if not text.lower().startswith("http://"):
        warn(f"{text}: the client only uses http:// sites")
    return text


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description="Write files.ver and a mirror tree from a folder of client files.")
    p.add_argument("--src", required=True, help="folder of the client's files")
    p.add_argument("--out", required=True,
                   help="published folder: the files plus the manifest (serve it with "
                        "fileserver.py --root)")
    p.add_argument("--mirror", help="also write a mirror tree here")
    p.add_argument("--section", default=DEFAULT_SECTION,
                   help="section of files no --section-map rule claims (default %(default)s)")
    p.add_argument("--section-map", metavar="GLOB=SECTION", action="append", default=[],
                   type=parse_section_rule,
                   help="put files whose relative path matches GLOB (e.g. 'server/*') into "
                        "SECTION, e.g. SERVERONLY or ONDEMAND; repeatable, first match wins")
    p.add_argument("--site", metavar="URL[=N]", action="append", default=[], type=parse_site,
                   help="add a mirror site line (N workers) to the [SITES] section; repeatable")
    p.add_argument("--previous", metavar="FOLDER", action="append", default=[],
                   help="an earlier published folder: each file that changed since, of at least 64 KiB there, "
                        "gets a patch from that version where it is below 80%% of the compressed file; "
                        "repeatable, one per earlier version kept")
    p.add_argument("--version", type=parse_version,
                   help="the version the installed apps list shows (printable ASCII, up to 31 characters)")
    p.add_argument("--no-month-folders", dest="month_folders", action="store_false",
                   help="put mirror files straight into the mirror folder (cloud mode)")
    p.add_argument("--line-end", choices=sorted(LINE_ENDS), default="crlf",
                   help="manifest line end (default %(default)s)")
    p.add_argument("--manifest-name", default="files.ver",
                   help="manifest file name in --out (default %(default)s)")
    p.add_argument("--no-hashes", dest="hashes", action="store_false",
                   help="leave the SHA-256 out of the file lines (the old format)")
    p.add_argument("--key", help="sign the list with this private key (signing.py new-key)")
    p.add_argument("--key-id", default="main", help="the key's id (default %(default)s)")
    p.add_argument("--serial", type=int,
                   help="the signed list's serial, never lower than the last (default: the time in seconds)")
    return p


def parse_version(text: str) -> str:
    if not 0 < len(text) < 32 or not all(" " <= c <= "~" for c in text):
        raise argparse.ArgumentTypeError("a version is 1 to 31 printable ASCII characters")
    return text


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if not os.path.isdir(args.src):
        print(f"publish: error: no such folder: {args.src}", file=sys.stderr)
        return 2
    try:
        files = collect(args.src, args.section_map, args.section, (args.manifest_name,), args.hashes)
        if args.previous:
            if not args.hashes:
                raise PublishError("patches need the hashes of the files")
            files = make_patches(files, args.previous)
        sections = [args.section] + [s for _, s in args.section_map]
        text = manifest_text(files, args.site, LINE_ENDS[args.line_end], sections, args.version)
        manifest = text.encode(TEXT_ENCODING)
        if args.key:
            import signing
            # The program ends lines at CR only, and reads a list whole or not at all.
            if args.line_end != "crlf":
                raise PublishError("a signed list needs CR LF line ends")
            if len(manifest) > MAX_MANIFEST - 200:
                raise PublishError(f"a signed list must stay below {MAX_MANIFEST} bytes with its signature")
            manifest = signing.sign_text(manifest, signing.load_key(args.key), args.key_id, args.serial,
                                         LINE_ENDS[args.line_end].encode())
        if len(manifest) > MAX_MANIFEST:
            warn(f"manifest of {len(manifest)} bytes: the client reads only {MAX_MANIFEST}")
        write_published(files, args.out, manifest, args.manifest_name)
        if args.mirror:
            write_mirror(files, args.mirror, args.month_folders)
    except (PublishError, OSError, ValueError) as e:
        print(f"publish: error: {e}", file=sys.stderr)
        return 1
    total = sum(f.size for f in files)
    print(f"published {len(files)} files, {total} bytes, manifest {len(manifest)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
