#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix (created once,
# then reused). CTest uses this as its cross-compiling emulator.
#   tools/wine-run.sh [--arch win32|win64] [--prefix-only | program args...]
# Without --arch, the build tools/arch.sh chooses for this machine.
set -u
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch=""
if [ "${1:-}" = "--arch" ]; then arch=$2; shift 2; fi
settings=$("$top/tools/arch.sh" --env $arch) || exit 2
while IFS='=' read -r name value; do export "$name=$value"; done <<<"$settings"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/.tovimar-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tovimar-ready" ]; then
      timeout 180 "$TOVIMAR_WINE" wineboot -i >/dev/null 2>&1
      timeout 60 "$TOVIMAR_WINESERVER" -w
      touch "$WINEPREFIX/.tovimar-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
if [ "${1:-}" = "--prefix-only" ]; then exit 0; fi
exec timeout "${TOVIMAR_WINE_TIMEOUT:-300}" "$TOVIMAR_WINE" "$@"
