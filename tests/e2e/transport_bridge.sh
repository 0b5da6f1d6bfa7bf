#!/usr/bin/env bash
# The phone drives vx-host's timeline through the control surface's bridge:
# vx-host starts paused with in/out points, vx-phone sends every transport
# command, and the host's transport lines show each one moving the timeline.
# With --no-ctrl the plug-in falls back to keys, which it does not send here.
#   transport_bridge.sh HOST PHONE bridge|no-ctrl
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
host=$1 phone=$2 mode=$3
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vx-bridge.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "e2e: $*"; exit 1; }

if [ "$mode" = bridge ]; then
  host_args="--paused --in 1 --out 2"
  sends=(step-forward step-back step-forward-5 step-back-5 goto-out goto-in
         play-reverse stop play-forward stop play-pause)
else
  host_args="--paused --no-ctrl"
  sends=(step-forward)
fi
phone_args=(--min-decoded 0)
for s in "${sends[@]}"; do phone_args+=(--send "$s"); done
# A control port of its own, so a host left on the usual port by someone else does not stop it.
port=${VX_BRIDGE_PORT:-47193}
[ "$mode" = bridge ] || port=$((port + 1))
out=$(TMPDIR="$tmp" VX_DEMO_KEEP=1 VX_DEMO_PORT=$port VX_CONTROL_PORT=$port VX_DEMO_HOST_ARGS="$host_args" \
      bash "$here/../../scripts/run-demo.sh" "$host" "$phone" 3 -- "${phone_args[@]}" 2>&1)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || fail "run-demo failed ($rc)"
work=$(ls -d "$tmp"/vx-demo.* | head -n 1)
hostlog="$work/host.log"
pluginlog=$(ls "$work"/state/Veltrix/plugin*.log 2>/dev/null | head -n 1)
[ -f "$hostlog" ] && [ -n "$pluginlog" ] || fail "no host or plug-in log"
echo "--- vx-host"; cat "$hostlog"
expect() { grep -Fq -- "$2" "$1" || fail "missing in $(basename "$1"): $2"; }
refuse() { ! grep -Fq -- "$2" "$1" || fail "unexpected in $(basename "$1"): $2"; }

if [ "$mode" = bridge ]; then
  # The new-phone nudge: one frame forward and back through the bridge, no keys.
  expect "$hostlog" "transport jog +1: frame 0 -> 1 "
  expect "$hostlog" "transport jog -1: frame 1 -> 0 "
  expect "$hostlog" "transport cmd.transport.step.forward: frame 0 -> 1 "
  expect "$hostlog" "transport cmd.transport.step.back: frame 1 -> 0 "
  expect "$hostlog" "transport cmd.transport.step.forward.five: frame 0 -> 5 "
  expect "$hostlog" "transport cmd.transport.step.back.five: frame 5 -> 0 "
  expect "$hostlog" "transport cmd.goto.out: frame 0 -> 60 (00:00:02:00), paused"
  expect "$hostlog" "transport cmd.goto.in: frame 60 -> 30 (00:00:01:00), paused"
  expect "$hostlog" "transport reverse play: frame 30 -> 30 (00:00:01:00), reverse"
  grep -Eq "transport stop: frame [0-9]+ -> [0-9]+ .*, paused" "$hostlog" || fail "no stop"
  grep -Eq "transport forward play: frame [0-9]+ -> [0-9]+ .*, playing" "$hostlog" || fail "no forward play"
  # Play/pause of a paused host without a window plays to the out point, where it stops.
  grep -Eq "transport cmd.transport.play.ctitoout: frame [0-9]+ -> [0-9]+ .*, playing" "$hostlog" || fail "no play to out"
  expect "$hostlog" "vx-host: playback stopped at frame 60, paused"
  expect "$pluginlog" "ctrl: bridge dispatch installed"
  refuse "$pluginlog" "Ctrl bridge unavailable"
  refuse "$pluginlog" "key events not sent"
  printf '%s\n' "$out" | grep -q "host playing" || fail "the phone never saw the host play"
else
  refuse "$hostlog" "vx-host: transport "
  expect "$pluginlog" "Ctrl bridge unavailable — fallback to keyboard nudge"
  expect "$pluginlog" "no keyboard available (VX_KEYBOARD_NUDGE is not 1)"
fi
echo "e2e: ok"
