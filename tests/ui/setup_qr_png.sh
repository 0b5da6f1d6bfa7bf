#!/usr/bin/env bash
# vx-host setup --qr-png writes the pairing address's code, and zbarimg reads it back.
set -euo pipefail
vxhost=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_STATE_HOME="$tmp/state"
address=$("$vxhost" setup --qr-png "$tmp/pair.png")
case "$address" in
  "veltrix://pair?v=3&id="*"&name="*) ;;
  *) echo "unexpected address: $address" >&2; exit 1 ;;
esac
decoded=$(zbarimg -q --raw "$tmp/pair.png")
[ "$decoded" = "$address" ] || { echo "zbarimg read '$decoded', not '$address'" >&2; exit 1; }
# A bad option and a file that cannot be written fail.
if "$vxhost" setup --qr-png 2>/dev/null; then echo "--qr-png without a file succeeded" >&2; exit 1; fi
if "$vxhost" setup --qr-png "$tmp/missing/pair.png" 2>/dev/null; then echo "an unwritable file succeeded" >&2; exit 1; fi
echo "ok: $address"
