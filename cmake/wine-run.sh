#!/usr/bin/env bash
# Runs a Windows executable under Wine in the given prefix:
#   wine-run.sh <prefix> program.exe [args...]
# The prefix is prepared by scripts/wine-prefix.sh (crash debugger off, Windows 10).
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64
exec wine "$@"
