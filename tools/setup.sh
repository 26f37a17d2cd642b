#!/usr/bin/env bash
# Brings a Debian 12 machine to everything the build, the tests and the tools need.
# Idempotent: when every package is already there it only checks and returns.
set -euo pipefail

# Both builds: the 32-bit program (wine32) and the 64-bit one for machines whose
# kernel runs no 32-bit code (wine64); tools/arch.sh picks the one to run.
PACKAGES=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 libz-mingw-w64-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 xvfb xauth x11-utils
  cmake ninja-build make g++ clang libclang-rt-14-dev clang-format
  python3 python3-pytest python3-pefile liblnk-utils imagemagick
  doctest-dev nginx-light zlib1g-dev curl aria2 python3-matplotlib python3-cryptography osslsigncode openssl
  bsdiff xdelta3 time
)

SUDO=""
if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ] && [ -z "${need_update:-}" ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
# nginx-light starts a system service on install; the tests run their own.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
$SUDO service nginx stop >/dev/null 2>&1 || true
