#!/usr/bin/env bash
# Runs a Win32 window test under Wine as a person would see it: a private Xvfb,
# a Wine virtual desktop of 1280 x 1200 (the expanded setup window fits), and
# screenshots kept in a folder of the build.
#   wine-window-test.sh <prefix> <screenshot dir> [--qr NAME] test.exe [args...]
# With --qr NAME, every NAME-*.bmp the test saved must decode (zbarimg) to the
# text of NAME-address.txt. Wine's desktop does not pass exit codes on, so the
# result is read from the test's XML report.
set -u
prefix=$1
shots=$2
shift 2
qr=""
if [ "${1:-}" = "--qr" ]; then
  qr=$2
  shift 2
fi
exe=$1
mkdir -p "$shots"
name=$(basename "$exe" .exe)
xml="$shots/$name.xml"
rm -f "$xml"
[ -n "$qr" ] && rm -f "$shots/$qr"-*
export WINEPREFIX="$prefix" WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 VX_SCREENSHOT_DIR="Z:$shots"
xvfb-run -a -s "-screen 0 1280x1200x24 -nolisten tcp" \
  wine explorer "/desktop=vx$$,1280x1200" "$@" "--gtest_output=xml:Z:$xml"
if [ ! -f "$xml" ]; then
  echo "wine-window-test: $name wrote no report (did it start?)" >&2
  exit 1
fi
cat "$xml" | grep -E '<failure|<testcase' | sed 's/^ *//' | head -50
if ! grep -qE '<testsuites [^>]*failures="0"' "$xml" || ! grep -qE '<testsuites [^>]*errors="0"' "$xml"; then
  echo "wine-window-test: $name failed" >&2
  exit 1
fi
if [ -n "$qr" ]; then
  address=$(cat "$shots/$qr-address.txt" 2>/dev/null || true)
  shopt -s nullglob
  shots_found=("$shots/$qr"-*.bmp)
  if [ -z "$address" ] || [ ${#shots_found[@]} -eq 0 ]; then
    echo "wine-window-test: $name left no $qr screenshots" >&2
    exit 1
  fi
  for shot in "${shots_found[@]}"; do
    decoded=$(zbarimg -q --raw "$shot" 2>/dev/null)
    if [ "$decoded" != "$address" ]; then
      echo "wine-window-test: the QR code in $shot reads '$decoded', not '$address'" >&2
      exit 1
    fi
    echo "wine-window-test: $(basename "$shot"): QR reads $address"
  done
fi
exit 0
