#!/usr/bin/env bash
# Which build of the program the Wine tiers run on this machine, and how Wine
# is started for it.
#
#   tools/arch.sh             win32 where this machine runs 32-bit code, else win64
#   tools/arch.sh --env [A]   the Wine settings of build A (default: the one above),
#                             one NAME=value a line
#   tools/arch.sh --report    a line or two on which program the Windows tiers ran
#
# win32 is the product: the i686 program under 32-bit Wine. win64 is the same
# sources built for x86-64 under 64-bit Wine, for kernels that refuse i386 code
# (the i386 loader then fails with "Exec format error"). TOVIMAR_ARCH=win32 or
# win64 forces the choice.
set -u
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

runs_32bit() {
  # The i386 loader comes with the 32-bit Wine packages; it runs only where the
  # kernel takes i386 programs.
  [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

chosen() {
  case "${TOVIMAR_ARCH:-}" in
    win32|win64) echo "$TOVIMAR_ARCH" ;;
    "") if runs_32bit; then echo win32; else echo win64; fi ;;
    *) echo "arch.sh: TOVIMAR_ARCH must be win32 or win64, not '$TOVIMAR_ARCH'" >&2; exit 2 ;;
  esac
}

wine_env() {
  local arch=$1
  echo "TOVIMAR_ARCH=$arch"
  echo "TOVIMAR_BIN=$top/build/$arch/bin"
  if [ "$arch" = win32 ]; then
    echo "WINEPREFIX=${TOVIMAR_WINEPREFIX:-$top/build/wineprefix}"
    echo "WINEARCH=win32"
    echo "TOVIMAR_WINE=wine"
    echo "TOVIMAR_WINESERVER=wineserver"
  else
    # Debian's `wine` script prefers the 32-bit loader whenever it is installed,
    # even where it cannot run: name the 64-bit loader and server.
    local lib=/usr/lib/wine
    echo "WINEPREFIX=${TOVIMAR_WINEPREFIX:-$top/build/wineprefix64}"
    echo "WINEARCH=win64"
    echo "WINELOADER=$lib/wine64"
    echo "WINESERVER=$lib/wineserver64"
    echo "TOVIMAR_WINE=$lib/wine64"
    echo "TOVIMAR_WINESERVER=$lib/wineserver64"
  fi
}

case "${1:-}" in
  --env)
    arch=${2:-$(chosen)} || exit 2
    case "$arch" in win32|win64) ;; *) echo "arch.sh: unknown build '$arch'" >&2; exit 2 ;; esac
    wine_env "$arch"
    ;;
  --report)
    arch=$(chosen) || exit 2
    if [ "$arch" = win32 ]; then
      echo "Windows tiers ran the 32-bit program (build/win32/bin) under 32-bit Wine."
    else
      if runs_32bit; then why="TOVIMAR_ARCH=$arch chose it"; else why="this machine runs no 32-bit code"; fi
      echo "Windows tiers ran the 64-bit build of the same sources (build/$arch/bin) under 64-bit Wine: $why."
      echo "The 32-bit program build/win32/bin/Tovimar.exe was built and inspected (machine, subsystem, imports, manifest) but not run."
    fi
    ;;
  "") chosen ;;
  *) echo "usage: tools/arch.sh [--env [win32|win64] | --report]" >&2; exit 2 ;;
esac
