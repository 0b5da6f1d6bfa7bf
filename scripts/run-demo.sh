#!/usr/bin/env bash
# The live demo on loopback: vx-host plays the moving test pattern into the
# Veltrix plug-in, vx-phone pairs, receives, repairs, decodes and measures.
#
#   scripts/run-demo.sh HOST_BIN PHONE_BIN [SECONDS [-- VX-PHONE ARGS...]]
#
# Pairing: both sides get private state folders in a temporary directory, and
# the plug-in's trusted list there is seeded with the demo phone and a fresh
# token that vx-phone's token file also holds, so the phone reconnects trusted
# without a code. Should the plug-in challenge anyway, the code its terminal
# pairing view (or its log) shows is handed to vx-phone's stdin.
# Extra vx-phone arguments follow "--"; extra vx-host flags come from
# VX_DEMO_HOST_ARGS (split on spaces; e.g. VX_DEMO_HOST_ARGS="--pause-after 1").
# VX_DEMO_DISCOVER=1: the phone finds the plug-in by mDNS (vx-phone --discover),
# which needs a running avahi-daemon (scripts/avahi-loopback.sh); exit status 77
# when none answers.
# Exit status: vx-phone's (non-zero when no picture was decoded).
set -uo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 HOST_BIN PHONE_BIN [SECONDS]" >&2
  exit 2
fi
host_bin=$(readlink -f "$1")
phone_bin=$(readlink -f "$2")
seconds=${3:-10}
phone_args=()
if [ $# -gt 3 ]; then
  [ "$4" = "--" ] || { echo "run-demo: expected -- before the vx-phone arguments" >&2; exit 2; }
  phone_args=("${@:5}")
fi
port=${VX_DEMO_PORT:-47130}  # vx-host runs as "other host" unless told otherwise
for b in "$host_bin" "$phone_bin"; do
  [ -x "$b" ] || { echo "run-demo: $b is not an executable" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vx-demo.XXXXXX")
host_pid=""
watch_pid=""
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -INT "$host_pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$host_pid" 2>/dev/null
  fi
  exec 3>&- 2>/dev/null
  [ -z "${VX_DEMO_KEEP:-}" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
mkdir -p "$XDG_CONFIG_HOME/Veltrix" "$XDG_STATE_HOME"

# The trusted pairing, prepared on both sides.
phone_id="vx-phone-demo"
token=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
now=$(date -u +%Y-%m-%dT%H:%M:%SZ)
for f in trusted.json trusted-ae.json trusted-ame.json trusted-x.json; do
  printf '[{"id":"%s","name":"vx-phone demo","token":"%s","firstPaired":"%s"}]\n' \
    "$phone_id" "$token" "$now" >"$XDG_CONFIG_HOME/Veltrix/$f"
  chmod 600 "$XDG_CONFIG_HOME/Veltrix/$f"
done
# Discovery: the install gets a known name, so the phone picks this plug-in's service.
target=(--host 127.0.0.1 --port "$port")
if [ "${VX_DEMO_DISCOVER:-}" = 1 ]; then
  if ! bash "$(dirname "$0")/avahi-loopback.sh" status; then
    echo "run-demo: VX_DEMO_DISCOVER=1 but no avahi-daemon answers (scripts/avahi-loopback.sh start)" >&2
    exit 77
  fi
  case "$port" in
    47100) host_name="Premiere" ;; 47110) host_name="After Effects" ;;
    47120) host_name="Media Encoder" ;; *) host_name="Unknown Host" ;;
  esac
  printf '{"id":"%s","name":"Veltrix demo","discoverable":"true","enableAsyncHwEncoders":"false"}\n' \
    "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" >"$XDG_CONFIG_HOME/Veltrix/install.json"
  target=(--discover "Veltrix demo "$'\xe2\x80\x94'" $host_name")
fi
printf 'id %s\ntoken 127.0.0.1:%s %s %s\n' "$phone_id" "$port" "$phone_id" "$token" >"$work/phone-tokens"
chmod 600 "$work/phone-tokens"

port_busy() { command -v ss >/dev/null 2>&1 && ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; }
if port_busy; then
  echo "run-demo: something already listens on port $port (another vx-host?); stop it first" >&2
  exit 1
fi

# The host, without a controlling terminal so the pairing view writes to its stderr.
echo "run-demo: starting vx-host (${seconds}s of timeline + start-up margin)"
# shellcheck disable=SC2086
setsid "$host_bin" --quiet --seconds $((seconds + 8)) ${VX_DEMO_HOST_ARGS:-} >"$work/host.log" 2>&1 </dev/null &
host_pid=$!

# Wait for the plug-in's control port.
listening=0
for _ in $(seq 1 100); do
  if ! kill -0 "$host_pid" 2>/dev/null; then break; fi
  if command -v ss >/dev/null 2>&1; then
    port_busy && { listening=1; break; }
  else
    sleep 2; listening=1; break
  fi
  sleep 0.1
done
if [ "$listening" != 1 ]; then
  echo "run-demo: the plug-in did not listen on port $port; vx-host said:" >&2
  sed 's/^/  host| /' "$work/host.log" >&2
  exit 1
fi

# A code, if one is ever asked for, goes to vx-phone's stdin through this pipe.
mkfifo "$work/code"
exec 3<>"$work/code"
(
  for _ in $(seq 1 600); do
    code=$( { grep -ohE 'code: [0-9]{6}' "$work/host.log" 2>/dev/null | sed 's/code: //';
              grep -ohE 'challenge=[0-9]{6}' "$XDG_STATE_HOME"/Veltrix/*.log 2>/dev/null | sed 's/challenge=//'; } | tail -n 1)
    if [ -n "$code" ]; then echo "$code" >"$work/code"; exit 0; fi
    sleep 0.1
  done
) &
watch_pid=$!

echo "run-demo: starting vx-phone (${target[*]})"
"$phone_bin" "${target[@]}" --id "$phone_id" --name "vx-phone demo" \
  --token-file "$work/phone-tokens" --seconds "$seconds" --min-decoded 1 --quiet \
  --pair-timeout 30 "${phone_args[@]}" <"$work/code" &
phone_pid=$!
wait "$phone_pid"
rc=$?

# VX_DEMO_SECOND_PHONE=S: once the first phone has gone, a second one pairs for
# S seconds and must decode a picture (while the host is paused, the plug-in's
# cached key frame is the only picture it can get).
if [ "$rc" -eq 0 ] && [ -n "${VX_DEMO_SECOND_PHONE:-}" ]; then
  echo
  echo "run-demo: a second phone pairs for ${VX_DEMO_SECOND_PHONE}s"
  "$phone_bin" "${target[@]}" --id "$phone_id" --name "vx-phone demo" \
    --token-file "$work/phone-tokens" --seconds "$VX_DEMO_SECOND_PHONE" --min-decoded 1 --quiet \
    --pair-timeout 30 --no-auto-idr <"$work/code"
  rc=$?
fi

echo
echo "run-demo: vx-host output (last lines):"
tail -n 15 "$work/host.log" | sed 's/^/  host| /'
if [ "$rc" -eq 0 ]; then
  echo "run-demo: OK"
else
  echo "run-demo: FAILED (vx-phone exit status $rc)" >&2
fi
exit "$rc"
