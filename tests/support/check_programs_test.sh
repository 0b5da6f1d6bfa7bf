#!/usr/bin/env bash
# The program check names a program that is absent and one that no package owns.
set -u
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\n' >"$work/vx-by-hand" && chmod +x "$work/vx-by-hand"
printf '# comment\nvx-no-such-program  vx-some-package\nvx-by-hand  vx-other\ncmake cmake\n' >"$work/list"
out=$(PATH="$work:$PATH" bash "$check" "$work/list" 2>&1)
rc=$?
echo "$out"
fail=0
[ $rc -eq 1 ] || { echo "expected exit status 1, got $rc"; fail=1; }
grep -q '^check-programs: MISSING vx-no-such-program: not on PATH (package vx-some-package' <<<"$out" || { echo "absent program not named"; fail=1; }
grep -q "^check-programs: UNPACKAGED vx-by-hand: $work/vx-by-hand belongs to no Debian package" <<<"$out" || { echo "hand-installed program not named"; fail=1; }
grep -q 'cmake' <<<"$out" && { echo "a packaged program was reported"; fail=1; }
exit $fail
