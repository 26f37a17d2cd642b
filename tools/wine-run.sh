#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix (created once,
# then reused). CTest uses this as its cross-compiling emulator.
set -u
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${TOVIMAR_WINEPREFIX:-$top/build/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/.tovimar-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tovimar-ready" ]; then
      timeout 180 wineboot -i >/dev/null 2>&1
      timeout 60 wineserver -w
      touch "$WINEPREFIX/.tovimar-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
if [ "${1:-}" = "--prefix-only" ]; then exit 0; fi
exec timeout "${TOVIMAR_WINE_TIMEOUT:-300}" wine "$@"
