#!/usr/bin/env bash
# Runs one libFuzzer target of build/linux-fuzz for a while over its committed corpus.
# New inputs go to build/fuzz-runs/TARGET/corpus, findings to build/fuzz-runs/TARGET/
# (crash-*, leak-*, timeout-*, oom-*); the committed corpus is only read. Prints the
# executions and the findings.
#   scripts/fuzz.sh TARGET SECONDS [JOBS]   (VX_FUZZ_RUNS=N: stop after N executions in all)
# (cmake --preset linux-fuzz && cmake --build --preset linux-fuzz --target TARGET_fuzzer first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { sed -n '2,7s/^# \{0,1\}//p' "$0" >&2; exit 2; }
target=$1 seconds=$2 jobs=${3:-1}
runs=()
[ -n "${VX_FUZZ_RUNS:-}" ] && runs=(-runs="$(( (VX_FUZZ_RUNS + jobs - 1) / jobs ))")
corpus=$(awk -v t="$target" '$1 == t { print $2 }' "$root/fuzz/targets.list")
[ -n "$corpus" ] || { echo "fuzz: no target $target in fuzz/targets.list" >&2; exit 2; }
bin=$(find "$root/build/linux-fuzz" -type f -name "${target}_fuzzer" -perm -u+x 2>/dev/null | head -n1)
[ -n "$bin" ] || { echo "fuzz: build/linux-fuzz has no ${target}_fuzzer (build it first)" >&2; exit 2; }
run=$root/build/fuzz-runs/$target
mkdir -p "$run/corpus"
rm -f "$run"/fuzz-*.log "$run/fuzz.log"
# Leaks are findings too; -jobs writes one log a job, in the working folder.
began=$SECONDS
(cd "$run" && "$bin" -max_total_time="$seconds" -jobs="$jobs" -workers="$jobs" -print_final_stats=1 "${runs[@]}" \
   -artifact_prefix="$run/" "$run/corpus" "$root/fuzz/$corpus" >"$run/fuzz.log" 2>&1) || true
# With -jobs the workers' own logs hold the counts (fuzz.log repeats them).
logs=("$run"/fuzz-*.log)
[ -e "${logs[0]}" ] || logs=("$run/fuzz.log")
execs=$(cat "${logs[@]}" | awk '/stat::number_of_executed_units/ { n += $2 } END { print n + 0 }')
findings=$(find "$run" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
echo "$target: $execs executions in $((SECONDS - began))s, $(ls "$run/corpus" | wc -l) new inputs in $run/corpus"
if [ -n "$findings" ]; then
  echo "$target: findings (logs in $run):"; echo "$findings"; exit 1
fi
echo "$target: no findings"
