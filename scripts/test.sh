#!/usr/bin/env bash
# The whole test suite: Linux under ASan+UBSan, Linux under ThreadSanitizer,
# and the Windows cross build with its tests under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
# Before any build: every program the suite runs must come from deps.sh's packages.
bash scripts/check-programs.sh || { echo "suite: stopped before building: a program the suite runs is missing or not installed by scripts/deps.sh"; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Uninstrumented libraries report inside themselves (libdbus under Avahi, Mesa under SDL): tests/discovery/tsan.supp.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/discovery/tsan.supp}

total_pass=0
total_fail=0
total_skip=0
status=0
preset_failed() {  # a preset that could not run its tests counts as one failure
  echo "=== $1: FAILED: $2"
  total_fail=$((total_fail + 1))
  status=1
}
build_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset.log" 2>&1 || ! cmake --build --preset "$preset" >>"build/$preset.log" 2>&1; then
    tail -n 60 "build/$preset.log"
    preset_failed "$preset" "the build failed (build/$preset.log)"
    return 1
  fi
}
test_preset() {
  local preset=$1
  echo "=== $preset: tests"
  local out
  out=$(ctest --preset "$preset" 2>&1)
  local rc=$?
  echo "$out" | grep -v -E '^\s+(Start|[0-9]+/[0-9]+ Test).*Passed' || true
  local line pass fail all
  line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -n 1)
  if [ -z "$line" ]; then
    preset_failed "$preset" "ctest ran no test (exit status $rc)"
    return
  fi
  fail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  all=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  if [ "$all" -eq 0 ]; then
    preset_failed "$preset" "ctest ran no test"
    return
  fi
  pass=$((all - fail))
  # Cases skipped inside passing binaries (one CTest entry each): named here, counted below.
  local skips
  skips=$(bash scripts/count-skips.sh "build/$preset/Testing/Temporary/LastTest.log")
  echo "$skips" | grep '^skipped: ' | sed "s/^/=== $preset: /" || true
  total_skip=$((total_skip + $(echo "$skips" | tail -n 1 | sed -E 's/^skipped ([0-9]+)$/\1/')))
  total_pass=$((total_pass + pass))
  total_fail=$((total_fail + fail))
  [ $rc -ne 0 ] && status=1
}

mkdir -p build
# The mDNS tests need a system bus and an avahi-daemon on loopback only; here they must run.
bash scripts/avahi-loopback.sh start || preset_failed avahi "the loopback avahi-daemon did not start"
trap 'bash scripts/avahi-loopback.sh stop' EXIT
export VX_AVAHI_REQUIRED=1
build_preset linux-asan && test_preset linux-asan
build_preset linux-tsan && test_preset linux-tsan
bash scripts/avahi-loopback.sh stop
prefix=$(pwd)/build/windows-cross/wineprefix
if build_preset windows-cross; then
  if bash scripts/wine-prefix.sh "$prefix" start; then
    test_preset windows-cross
  else
    preset_failed windows-cross "the Wine prefix $prefix did not start"
  fi
  bash scripts/wine-prefix.sh "$prefix" stop
fi

echo
if [ "$total_skip" -gt 0 ]; then
  echo "suite: ${total_pass} passed, ${total_fail} failed, ${total_skip} skipped"
else
  echo "suite: ${total_pass} passed, ${total_fail} failed"
fi
exit $status
