#!/usr/bin/env bash
# vx-host plays into the real plug-in, vx-phone receives over loopback; the
# check is on vx-phone's summary: enough pictures of the expected codec decoded.
#   host_to_phone.sh HOST PHONE SECONDS EXPECT_REGEX [vx-phone args...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
host=$1 phone=$2 seconds=$3 expect=$4
shift 4
out=$(bash "$here/../../scripts/run-demo.sh" "$host" "$phone" "$seconds" -- "$@" 2>&1)
rc=$?
printf '%s\n' "$out"
# No avahi-daemon for a discovery run: a skip, except in the suite, which starts one.
if [ "$rc" -eq 77 ] && [ "${VX_AVAHI_REQUIRED:-}" != 1 ]; then echo "e2e: skipped: no avahi-daemon"; exit 77; fi
[ "$rc" -eq 0 ] || { echo "e2e: run-demo failed ($rc)"; exit 1; }
printf "%s\n" "$out" | tr "\n" " " | grep -Eq "$expect" || { echo "e2e: summary does not match: $expect"; exit 1; }
echo "e2e: ok"
