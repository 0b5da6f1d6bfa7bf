#!/usr/bin/env bash
# The main job: build the deliverables (release) and run the live demo,
# vx-host streaming a test pattern to vx-phone over loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
mkdir -p build
cmake --preset linux-release >build/linux-release.log 2>&1 || { cat build/linux-release.log; exit 1; }
cmake --build --preset linux-release
bin=build/linux-release
host=$(find "$bin" -name vx-host -type f -perm -u+x 2>/dev/null | head -n 1)
phone=$(find "$bin" -name vx-phone -type f -perm -u+x 2>/dev/null | head -n 1)
if [ -n "$host" ] && [ -n "$phone" ]; then
  exec bash scripts/run-demo.sh "$host" "$phone" "$@"
fi
echo
echo "Built (no live demo yet: it needs the Veltrix plug-in and vx-phone, which are not part of this tree yet):"
find "$bin" -maxdepth 3 \( -name '*.so' -o -name '*.a' -o -name 'vx-*' \) -type f | sort | sed 's/^/  /'
