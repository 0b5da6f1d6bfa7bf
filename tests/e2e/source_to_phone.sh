#!/usr/bin/env bash
# vx-host --source with a clip written by make_test_clip, into the real
# plug-in, received and decoded by vx-phone.
#   source_to_phone.sh MAKE_CLIP HOST PHONE SECONDS EXPECT_REGEX [vx-phone args...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
make_clip=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/vx-source.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$make_clip" "$work/clip.mkv" 640x360 30 45 || { echo "e2e: could not write the clip"; exit 1; }
export VX_DEMO_HOST_ARGS="--source $work/clip.mkv ${VX_DEMO_HOST_ARGS:-}"
bash "$here/host_to_phone.sh" "$@"
