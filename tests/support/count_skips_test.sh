#!/usr/bin/env bash
# The skip count reads GoogleTest's per-case lines (CR LF from Wine too), not its summary.
set -u
count=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[ RUN      ] A.One\r\n[  SKIPPED ] A.One (0 ms)\r\n[       OK ] A.Two (3 ms)\n' >"$work/log"
printf '[  SKIPPED ] P/B.Three/1 (12 ms)\n[  SKIPPED ] 2 tests, listed below:\n[  SKIPPED ] A.One\n' >>"$work/log"
out=$(bash "$count" "$work/log")
expected=$'skipped: A.One\nskipped: P/B.Three/1\nskipped 2'
[ "$out" = "$expected" ] || { echo "got:"; echo "$out"; exit 1; }
[ "$(bash "$count" "$work/missing")" = "skipped 0" ] || { echo "a missing log is not zero skips"; exit 1; }
