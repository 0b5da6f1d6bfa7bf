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
# The phone finds the plug-in by mDNS: a loopback-only avahi-daemon is started
# when none runs (and stopped again at the end); without one, a fixed address.
started_avahi=0
if bash scripts/avahi-loopback.sh status; then
  export VX_DEMO_DISCOVER=1
elif bash scripts/avahi-loopback.sh start; then
  export VX_DEMO_DISCOVER=1
  started_avahi=1
else
  echo "demo: no avahi-daemon; the phone connects to 127.0.0.1 without discovery" >&2
fi
# Extra arguments go to run-demo.sh: [SECONDS [-- VX-PHONE ARGS...]]
rc=0
bash scripts/run-demo.sh "$bin/vx-host" "$bin/vx-phone" "$@" || rc=$?
[ "$started_avahi" = 1 ] && bash scripts/avahi-loopback.sh stop
exit "$rc"
