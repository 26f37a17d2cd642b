#!/usr/bin/python3
"""Signing keys and signed file lists for Tovimar.

  signing.py new-key --out KEY.pem [--id ID]   a new P-256 key pair; prints the
                                               TOVIMAR_SIGNING_KEYS entry ID=base64
  signing.py entry KEY.pem [--id ID]           that entry for an existing key
  signing.py sign KEY.pem FILES.VER [--id ID] [--serial N]
                                               signs a manifest in place

A signed manifest ends with a signature block: a [SITES] line, "serial=N"
(at most 18 digits; by default the time in seconds) and, as its last line,
"signature=ID:" and the base64 of the 64-byte ECDSA P-256 signature (r then
s, big-endian) over the SHA-256 of every byte before that line. Programs
built with the key's entry in TOVIMAR_SIGNING_KEYS take only such lists, and
never one with a lower serial than the last they took. Keep the private key
off the build machines that anyone else can reach: whoever holds it can make
every installed copy install and start anything.

The functions public_entry, sign_text and unsigned_part are importable.
"""

import argparse
import base64
import os
import re
import sys
import time

KEY_ID = re.compile(r"^[A-Za-z0-9_-]{1,16}$")
MAX_SERIAL = 10**18 - 1


def load_key(path):
    from cryptography.hazmat.primitives import serialization
    with open(path, "rb") as fh:
        return serialization.load_pem_private_key(fh.read(), password=None)


def new_key(path):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as fh:
        fh.write(pem)
    return key


def public_entry(key, key_id):
    """keyid=base64 of X then Y, as TOVIMAR_SIGNING_KEYS takes it."""
    check_id(key_id)
    numbers = key.public_key().public_numbers()
    point = numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    return f"{key_id}={base64.b64encode(point).decode()}"


def check_id(key_id):
    if not KEY_ID.match(key_id):
        raise ValueError(f"{key_id!r}: a key id is 1 to 16 of A-Z a-z 0-9 _ -")


def signature_line(key, key_id, signed: bytes, line_end: bytes = b"\r\n") -> bytes:
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
    check_id(key_id)
    r, s = decode_dss_signature(key.sign(signed, ec.ECDSA(hashes.SHA256())))
    raw = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    return f"signature={key_id}:{base64.b64encode(raw).decode()}".encode() + line_end


AHEAD_LIMIT = 86400  # seconds


def sign_text(text: bytes, key, key_id, serial=None, line_end: bytes = b"\r\n") -> bytes:
    """The manifest text with a signature block appended."""
    serial = int(time.time()) if serial is None else int(serial)
    if not 0 <= serial <= MAX_SERIAL:
        raise ValueError("a serial has at most 18 digits")
    # An installation never takes a lower serial again: one far ahead would
    # lock out every list signed until then.
    if serial > time.time() + AHEAD_LIMIT:
        raise ValueError(f"serial {serial} is more than a day ahead of now ({int(time.time())})")
    if text and not text.endswith(line_end):
        text += line_end
    signed = text + b"[SITES]" + line_end + f"serial={serial}".encode() + line_end
    return signed + signature_line(key, key_id, signed, line_end)


def unsigned_part(text: bytes) -> bytes:
    """A signed manifest without its signature block (the text as published
    before signing)."""
    marker = text.rfind(b"[SITES]")
    if marker >= 0 and re.match(rb"\[SITES\]\r?\nserial=\d+\r?\nsignature=[^\r\n]*(\r?\n)?$", text[marker:]):
        return text[:marker]
    return text


def main(argv=None):
    p = argparse.ArgumentParser(description="Signing keys and signed file lists for Tovimar.")
    sub = p.add_subparsers(dest="command", required=True)
    a = sub.add_parser("new-key", help="make a key pair and print its TOVIMAR_SIGNING_KEYS entry")
    a.add_argument("--out", required=True, help="where the private key goes (made new, mode 600)")
    a.add_argument("--id", default="main", help="the key id (default %(default)s)")
    a = sub.add_parser("entry", help="print the TOVIMAR_SIGNING_KEYS entry of a key")
    a.add_argument("key")
    a.add_argument("--id", default="main")
    a = sub.add_parser("sign", help="sign a manifest in place (an old signature block is replaced)")
    a.add_argument("key")
    a.add_argument("manifest")
    a.add_argument("--id", default="main")
    a.add_argument("--serial", type=int, help="default: the time in seconds")
    args = p.parse_args(argv)
    try:
        if args.command == "new-key":
            print(public_entry(new_key(args.out), args.id))
        elif args.command == "entry":
            print(public_entry(load_key(args.key), args.id))
        else:
            with open(args.manifest, "rb") as fh:
                text = unsigned_part(fh.read())
            line_end = b"\r\n" if b"\r\n" in text or not text else b"\n"
            signed = sign_text(text, load_key(args.key), args.id, args.serial, line_end)
            with open(args.manifest, "wb") as fh:
                fh.write(signed)
    except (OSError, ValueError) as e:
        print(f"signing: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
