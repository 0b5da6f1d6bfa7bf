#!/usr/bin/env bash
# The GoogleTest cases one ctest run skipped, from its log (LastTest.log): one
# line "skipped: Suite.Name" each, then "skipped N". Each test binary is one
# CTest entry, so a binary whose cases skipped (under Wine, say) still reads
# as passed; this is what makes those skips visible.
set -u
log=${1:-}
if [ -z "$log" ] || [ ! -f "$log" ]; then
  echo "skipped 0"
  exit 0
fi
# Each skipped case ends with its time; the summary's repeat of the name does not.
names=$(tr -d '\r' <"$log" | grep -E '^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)$' | sed -E 's/^\[  SKIPPED \] ([^ ]+) .*/\1/')
n=0
if [ -n "$names" ]; then
  while IFS= read -r name; do
    echo "skipped: $name"
    n=$((n + 1))
  done <<<"$names"
fi
echo "skipped $n"
