#!/usr/bin/env python3
"""Signs a setup program with the maker's code-signing certificate (an
Authenticode signature, SHA-256), using osslsigncode.

The maker's last step before a setup program goes on the web: a program
without a signature is one Windows warns about and scanners distrust. Stamp
first (stamp.exe writes INSTDATA, and refuses a signed copy, since a resource
written into it voids its signature), then sign the stamped copy:

    stamp.exe acme-setup.exe @acme.txt
    sign.py --cert maker.pem --key maker.key --timestamp http://ts.example/ acme-setup.exe

The certificate comes as PEM (with its chain) and a PEM key, or as one
PKCS#12 file; a password is read from a file, never from the command line.
With --timestamp the signature carries a time stamp (RFC 3161), so that it
stays valid after the certificate expires. The result is verified before it
replaces anything: --ca names the roots to verify against (default: the
system's)."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

DESCRIPTION = "Velorin Downloader"


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("program", help="the (stamped) setup program to sign")
    p.add_argument("--out", help="write the signed copy here (default: replace the program)")
    p.add_argument("--cert", help="the certificate and its chain, PEM")
    p.add_argument("--key", help="the certificate's private key, PEM")
    p.add_argument("--pkcs12", help="certificate, chain and key in one PKCS#12 file, instead of --cert and --key")
    p.add_argument("--pass-file", help="a file holding the key's password")
    p.add_argument("--timestamp", metavar="URL", action="append", default=[],
                   help="an RFC 3161 time stamp server; repeatable, tried in order")
    p.add_argument("--name", default=DESCRIPTION, help="the description shown (default %(default)s)")
    p.add_argument("--url", help="the maker's web address shown with the signature")
    p.add_argument("--ca", help="roots to verify the signature against (default: the system's)")
    p.add_argument("--osslsigncode", default="osslsigncode", help=argparse.SUPPRESS)
    return p


def sign_command(args, source, target) -> list:
    cmd = [args.osslsigncode, "sign", "-h", "sha256", "-n", args.name]
    if args.pkcs12:
        cmd += ["-pkcs12", args.pkcs12]
    else:
        cmd += ["-certs", args.cert, "-key", args.key]
    if args.pass_file:
        cmd += ["-readpass", args.pass_file]
    if args.url:
        cmd += ["-i", args.url]
    for url in args.timestamp:
        cmd += ["-ts", url]
    return cmd + ["-in", source, "-out", target]


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if not args.pkcs12 and not (args.cert and args.key):
        print("sign: error: give --cert and --key, or --pkcs12", file=sys.stderr)
        return 2
    if not os.path.isfile(args.program):
        print(f"sign: error: no such file: {args.program}", file=sys.stderr)
        return 2
    if shutil.which(args.osslsigncode) is None:
        print("sign: error: osslsigncode is missing (Debian package osslsigncode)", file=sys.stderr)
        return 2
    target = args.out or args.program
    # Signed in a folder of our own (made for us alone), beside the target:
    # nobody else can put a file or a link where the signed copy goes.
    work = tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(target)))
    signed = os.path.join(work, "signed.exe")
    try:
        done = subprocess.run(sign_command(args, args.program, signed), capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            print(f"sign: osslsigncode could not sign {args.program}:\n{done.stdout}{done.stderr}", file=sys.stderr)
            return 1
        verify = [args.osslsigncode, "verify", "-in", signed] + (["-CAfile", args.ca] if args.ca else [])
        done = subprocess.run(verify, capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            print(f"sign: the signature does not verify:\n{done.stdout}{done.stderr}", file=sys.stderr)
            return 1
        os.replace(signed, target)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"signed {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
