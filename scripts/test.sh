#!/usr/bin/env bash
# The whole test suite: Linux under ASan+UBSan, Linux under ThreadSanitizer,
# and the Windows cross build with its tests under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

total_pass=0
total_fail=0
status=0
run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset.log" 2>&1 || ! cmake --build --preset "$preset" >>"build/$preset.log" 2>&1; then
    tail -n 60 "build/$preset.log"
    echo "=== $preset: BUILD FAILED"
    total_fail=$((total_fail + 1))
    status=1
    return
  fi
  echo "=== $preset: tests"
  local out
  out=$(ctest --preset "$preset" 2>&1)
  local rc=$?
  echo "$out" | grep -v -E '^\s+(Start|[0-9]+/[0-9]+ Test).*Passed' || true
  local line pass fail
  line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -n 1)
  if [ -n "$line" ]; then
    fail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    all=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
    pass=$((all - fail))
    total_pass=$((total_pass + pass))
    total_fail=$((total_fail + fail))
  fi
  [ $rc -ne 0 ] && status=1
}

mkdir -p build
run_preset linux-asan
run_preset linux-tsan
prefix=$(pwd)/build/windows-cross/wineprefix
cmake --preset windows-cross >/dev/null 2>&1 && bash scripts/wine-prefix.sh "$prefix" start
run_preset windows-cross
bash scripts/wine-prefix.sh "$prefix" stop

echo
echo "suite: ${total_pass} passed, ${total_fail} failed"
exit $status
