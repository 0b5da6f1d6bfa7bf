#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program; each prints its own results table.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
mkdir -p build
cmake --preset linux-release >build/linux-release.log 2>&1 || { cat build/linux-release.log; exit 1; }
cmake --build --preset linux-release >>build/linux-release.log 2>&1 || { tail -n 60 build/linux-release.log; exit 1; }
for b in $(find build/linux-release/bench -type f -perm -u+x -name 'bench_*' | sort); do
  echo "=== $(basename "$b")"
  "$b" "$@"
done
