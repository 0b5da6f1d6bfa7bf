#!/usr/bin/env bash
# The main job: build the deliverables (release) and run the live demo,
# vx-host streaming a test pattern to vx-phone over loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
mkdir -p build
cmake --preset linux-release >build/linux-release.log 2>&1 || { cat build/linux-release.log; exit 1; }
cmake --build --preset linux-release
bin=build/linux-release/bin
for f in vx-host vx-phone Veltrix.so; do
  [ -e "$bin/$f" ] || { echo "demo: $bin/$f was not built" >&2; exit 1; }
done
# Extra arguments go to run-demo.sh: [SECONDS [-- VX-PHONE ARGS...]]
exec bash scripts/run-demo.sh "$bin/vx-host" "$bin/vx-phone" "$@"
