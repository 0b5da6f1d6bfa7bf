#!/usr/bin/env bash
# Prepares (once) and warms the Wine prefix of a cross build, so CTest runs
# the .exe tests quickly and crashing tests report their real exit codes.
#   scripts/wine-prefix.sh <prefix> start|stop
set -euo pipefail
prefix=$(realpath -m "$1")
action=${2:-start}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
case "$action" in
  start)
    if [ ! -f "$prefix/.vx-ready" ]; then
      mkdir -p "$prefix"
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      # No crash debugger: a crashing test must exit with its own status.
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
      wine winecfg /v win10 >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$prefix/.vx-ready"
    fi
    # A persistent wineserver with its services already up: without it every
    # test pays seconds of start-up, or CTest waits on pipes Wine keeps open.
    wineserver -p
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
esac
