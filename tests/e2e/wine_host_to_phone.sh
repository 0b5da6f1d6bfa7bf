#!/usr/bin/env bash
# The Windows plug-in under Wine encodes through our test encoder transform and
# streams to the Linux vx-phone over loopback.
#   wine_host_to_phone.sh VX_HOST_EXE TEST_MFT_DLL VX_PHONE|auto PREFIX CASE
# CASE: sync    the synchronous software transform; decoded pictures must
#               equal the NV12 the plug-in handed the transform
#       async   the asynchronous hardware transform (NVIDIA vendor id), the same check
#       commands the phone's commands reach the encoder (async transform)
#       faults  the synchronous transform refuses a type once, fails an input
#               once and changes its output type; the stream survives
#       faults-async the asynchronous one changes its output type and never
#               finishes a drain; the stream survives, teardown still ends
#       stall   the asynchronous one stops asking for input after its 10th
#               picture; the plug-in notices the stall, rebuilds the session on
#               a fresh transform, and the stream goes on
# PREFIX is a Wine prefix of this test alone: it is made (and the transform
# registered) inside this test's Xvfb, and its wineserver ends with the test.
# Wine's Direct3D 11 needs a display, and every process of a prefix must see
# the same one, so the whole run happens inside one xvfb-run.
set -uo pipefail
if [ -z "${VX_E2E_IN_XVFB:-}" ]; then
  VX_E2E_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" "$@"
fi
# VX_PHONE "auto": the first Linux build of this tree that has one (the suite builds linux-asan).
if [ "$3" = auto ]; then
  root=$(cd "$(dirname "$0")/../.." && pwd)
  for p in linux-debug linux-release linux-asan; do
    [ -x "$root/build/$p/bin/vx-phone" ] && { set -- "$1" "$2" "$root/build/$p/bin/vx-phone" "$4" "$5"; break; }
  done
fi
[ -x "$3" ] || { echo "wine-e2e: skipped: no Linux vx-phone at $3 (build linux-debug, or set VX_LINUX_PHONE)"; exit 77; }
host_exe=$(readlink -f "$1") mft_dll=$(readlink -f "$2") phone=$(readlink -f "$3") prefix=$(realpath -m "$4") case_=$5
seconds=${VX_E2E_SECONDS:-12}
# Each command rebuilds the encoder, and each rebuild opens a Direct3D device:
# seconds under Wine.
[ "$case_" = commands ] && seconds=${VX_E2E_SECONDS:-30}
case "$case_" in faults|faults-async|stall) seconds=${VX_E2E_SECONDS:-20} ;; esac
port=47130
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
work=$(mktemp -d "${TMPDIR:-/tmp}/vx-wine-e2e.XXXXXX")
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -z "${VX_E2E_KEEP:-}" ] && rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "wine-e2e($case_): FAILED: $*"; exit 1; }

if [ ! -f "$prefix/.vx-ready" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
  wine winecfg /v win10 >/dev/null 2>&1
  wineserver -w
  touch "$prefix/.vx-ready"
fi
# Registered on every run: the build folder may have moved.
wine regsvr32 /s "$(winepath -w "$mft_dll")" >/dev/null 2>&1 || fail "regsvr32 of the test transform failed"

users=$(ls -d "$prefix"/drive_c/users/*/ | grep -v '/Public/$' | head -n 1)
roaming="$users/AppData/Roaming/Veltrix"
local_dir="$users/AppData/Local/Veltrix"
rm -rf "$roaming" "$local_dir"
mkdir -p "$roaming"

# A trusted phone on both sides, as scripts/run-demo.sh prepares it.
phone_id="vx-phone-wine"
token=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
printf '[{"id":"%s","name":"vx-phone wine","token":"%s","firstPaired":"%s"}]\n' \
  "$phone_id" "$token" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$roaming/trusted-x.json"
async=false
case "$case_" in async|commands|faults-async|stall) async=true ;; esac
# Wine lists the synchronous transform for the hardware queries too, ahead of
# the asynchronous one: the asynchronous cases take the synchronous one away.
export VX_TEST_MFT_DISABLE=""
[ "$async" = true ] && VX_TEST_MFT_DISABLE=sync
printf '{"id":"%s","name":"Veltrix wine","discoverable":"false","enableAsyncHwEncoders":"%s"}\n' \
  "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" "$async" >"$roaming/install.json"
printf 'id %s\ntoken 127.0.0.1:%s %s %s\n' "$phone_id" "$port" "$phone_id" "$token" >"$work/phone-tokens"
chmod 600 "$work/phone-tokens"

record="$work/mft-record.txt"
: >"$record"
export VX_TEST_MFT_RECORD
VX_TEST_MFT_RECORD=$(winepath -w "$record")
export VX_TEST_MFT_DUMP=""
# The plug-in starts in HEVC; the transform speaks H.264 only.
phone_args=(--send "codec h264")
size=${VX_E2E_SIZE:-160x90}
case "$case_" in
  sync|async)
    VX_TEST_MFT_DUMP=$(winepath -w "$work/source.nv12")
    phone_args+=(--save-annexb "$work/stream.h264") ;;
  commands)
    size=320x180
    phone_args+=(--send "gop short" --send "mode vbr" --send "engine nvidia"
                 --send "maxres 90" --send "idr") ;;
  faults)
    export VX_TEST_MFT_FAULTS=refuse-type,fail-input-once,stream-change ;;
  faults-async)
    export VX_TEST_MFT_FAULTS=no-drain-complete,stream-change ;;
  stall)
    export VX_TEST_MFT_FAULTS=withhold-need-input ;;
  *) fail "unknown case" ;;
esac

# vx-host with the plug-in beside it; --seconds bounds it even if the phone never comes.
cd "$(dirname "$host_exe")" || exit 1
setsid wine "$host_exe" --quiet --size "$size" --fps "${VX_E2E_FPS:-5}" --seconds $((seconds + 25)) \
  >"$work/host.log" 2>&1 </dev/null &
host_pid=$!
listening=0
for _ in $(seq 1 600); do
  kill -0 "$host_pid" 2>/dev/null || break
  if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then listening=1; break; fi
  sleep 0.1
done
[ "$listening" = 1 ] || { sed 's/^/  host| /' "$work/host.log"; fail "the plug-in did not listen on $port"; }

timeout $((seconds + 60)) "$phone" --host 127.0.0.1 --port "$port" --id "$phone_id" --name "vx-phone wine" \
  --token-file "$work/phone-tokens" --seconds "$seconds" --quiet --pair-timeout 40 "${phone_args[@]}" \
  </dev/null >"$work/phone.log" 2>&1
phone_rc=$?
# The host stops on its own once its timeline ends; a hang there is a failure.
kill -INT "$host_pid" 2>/dev/null
ended=0
for _ in $(seq 1 600); do
  kill -0 "$host_pid" 2>/dev/null || { ended=1; break; }
  sleep 0.1
done
wait "$host_pid" 2>/dev/null
host_rc=$?
host_pid=""
sed -i 's/\r$//' "$record"  # written by a Windows process: CR LF
log=$(find "$local_dir" "$roaming" -name 'plugin*.log' 2>/dev/null | sort | xargs cat 2>/dev/null)
printf '%s\n' "$log" >"$work/plugin.log"

cat "$work/phone.log"
echo "--- transform record (last lines)"
tail -n 12 "$record"
echo "--- plug-in log (encoder lines)"
grep -E 'trying|-> using|Configure OK|async: (event|DRAIN)|shut down|engine|SetMaxResolution|stall|ERROR' "$work/plugin.log" | head -n 40
[ "$ended" = 1 ] || fail "vx-host did not end within 60 s of the phone leaving"
[ "$phone_rc" = 0 ] || fail "vx-phone exit status $phone_rc"
grep -q 'crashed\|unhandled exception' "$work/host.log" && fail "vx-host crashed"

summary=$(grep -E '^  video: ' "$work/phone.log")
frames=$(sed -E 's/^  video: +([0-9]+) frames.*/\1/' <<<"$summary")
decoded=$(sed -E 's/.* ([0-9]+) decoded.*/\1/' <<<"$summary")
lost=$(grep -E '^  repair:' "$work/phone.log" | sed -E 's/.* ([0-9]+) frames lost.*/\1/')
sent=$((frames + lost))
echo "wine-e2e($case_): frames sent $sent, decoded $decoded"
[ "$sent" -ge 20 ] || fail "only $sent frames reached the phone"
# 95 % on the plain paths; where the encoder is rebuilt or misbehaves on
# purpose, frames go missing around each change and the stream must go on.
share=95
case "$case_" in commands|faults|faults-async|stall) share=50 ;; esac
[ $((decoded * 100)) -ge $((sent * share)) ] || fail "decoded $decoded of $sent (< $share %)"

# Wine's MFTEnumEx does not filter on MFT_ENUM_FLAG_HARDWARE (every transform is
# listed for the hardware queries too) and its activation objects carry no
# friendly name: the label is the first category that lists the transform, the
# record says which of ours it was.
expect_path() {
  grep -qE -- "-> using ($1) \"(<unknown MFT>|Veltrix Test[^\"]*)\" \(hw-gpu=[01] async=$2\)" "$work/plugin.log" ||
    fail "the log does not show '-> using $1 ... async=$2'"
  grep -q "^create $3" "$record" || fail "the $3 transform was not created"
}
case "$case_" in
  sync|faults)
    expect_path 'SW|HW-sync' 0 sync ;;
  async|commands|faults-async|stall)
    expect_path 'HW-async|HW-sync' 1 async
    grep -q '^shutdown$' "$record" || fail "the asynchronous transform was never shut down"
    grep -q 'never shut down' "$record" && fail "an asynchronous transform was released without Shutdown"
    ;;
esac

if [ "$case_" = sync ] || [ "$case_" = async ]; then
  # The frame-size cap (340,000 bytes) bounds the rate control at the host's frame rate:
  # 80 % of the cap per frame on average, the cap per frame at most, a buffer of 90 % of it.
  fps=${VX_E2E_FPS:-5}
  for want in "MeanBitRate=$((340000 * 8 * fps * 8 / 10))" "MaxBitRate=$((340000 * 8 * fps))" "BufferSize=2448000"; do
    grep -qx "set $want" "$record" || fail "the frame-size cap did not reach the transform (no 'set $want')"
  done
  # Lossless: every decoded picture is one of the pictures the transform got.
  [ -s "$work/stream.h264" ] || fail "no Annex-B stream saved"
  [ -s "$work/source.nv12" ] || fail "the transform dumped no source pictures"
  ffmpeg -v error -f rawvideo -pix_fmt nv12 -s "$size" -i "$work/source.nv12" -pix_fmt yuv420p -f framemd5 - \
    | awk -F, '!/^#/ {print $NF}' | tr -d ' ' | sort -u >"$work/source.md5"
  ffmpeg -v error -f h264 -i "$work/stream.h264" -pix_fmt yuv420p -f framemd5 - \
    | awk -F, '!/^#/ {print $NF}' | tr -d ' ' >"$work/decoded.md5"
  total=$(wc -l <"$work/decoded.md5")
  equal=$(grep -cxFf "$work/source.md5" "$work/decoded.md5")
  echo "wine-e2e($case_): pictures decoded from the saved stream $total, equal to a source picture $equal"
  [ "$total" -ge $((decoded * 95 / 100)) ] || fail "ffmpeg decoded $total pictures of the saved stream"
  [ "$equal" = "$total" ] || fail "$((total - equal)) decoded pictures differ from every source picture"
fi

if [ "$case_" = commands ]; then
  # gop short = 5, mode vbr = peak-constrained VBR (1), as the last values set.
  [ "$(grep '^set GopSize=' "$record" | tail -n 1)" = "set GopSize=5" ] || fail "gop short did not reach the transform"
  [ "$(grep '^set RateControlMode=' "$record" | tail -n 1)" = "set RateControlMode=1" ] ||
    fail "mode vbr did not reach the transform"
  grep -q 'output-type H264 160x90' "$record" || fail "maxres 90 did not reach the transform (no 160x90 type)"
  grep -q 'decoded (H\.264 160x90)' "$work/phone.log" || fail "the phone did not decode 160x90 pictures"
  # Wine's activation objects carry no vendor id, so the filter finds nothing and relaxes.
  grep -qE "engine-filtered|engine 'nvidia' produced no usable MFT" "$work/plugin.log" ||
    fail "engine nvidia did not reach the transform search"
  # With a GOP of 5 the key frames are the forced ones and one in five of the rest.
  keys=$(grep -c '^key ' "$record")
  pictures=$(grep '^key ' "$record" | tail -n 1 | awk '{print $2}')
  echo "wine-e2e(commands): $keys key frames in $pictures pictures"
  [ "$keys" -lt "$pictures" ] || fail "every picture was a key frame after gop short"
fi
if [ "$case_" = faults ]; then
  grep -q '^refused output-type$' "$record" || fail "the transform refused no type"
  grep -q '^failed input$' "$record" || fail "the transform did not fail an input"
fi
if [ "$case_" = faults ] || [ "$case_" = faults-async ]; then
  grep -q '^stream-change$' "$record" || fail "the transform changed no output type"
fi
if [ "$case_" = faults-async ]; then
  grep -q 'DRAIN wait timed out' "$work/plugin.log" || fail "teardown did not give up on the drain"
fi
if [ "$case_" = stall ]; then
  grep -q '^withholding input$' "$record" || fail "the transform never stopped asking for input"
  grep -q 'encoder stall: no output for' "$work/plugin.log" || fail "the plug-in did not notice the stall"
  # The wedged transform and its replacement: both created, both shut down.
  [ "$(grep -c '^create async' "$record")" -ge 2 ] || fail "no fresh transform after the stall"
  [ "$(grep -c '^shutdown$' "$record")" -ge 2 ] || fail "the wedged transform was not shut down"
  after=$(awk '/^withholding input$/ { w = 1 } w && /^key / { n++ } END { print n + 0 }' "$record")
  [ "$after" -ge 1 ] || fail "no picture was encoded after the stall"
fi
echo "wine-e2e($case_): ok"
