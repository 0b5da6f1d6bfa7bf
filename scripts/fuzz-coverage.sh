#!/usr/bin/env bash
# Line coverage of the parser files that each fuzz target aims at, over the
# committed corpora. Builds every fuzz target's corpus replay (fuzz/replay_main.cpp,
# the same driver the tests use, so no libFuzzer is needed) with clang's
# source-based coverage in build/fuzz-coverage, replays each corpus, and prints
# one line per target and file: lines covered / total and percent, and for a file
# that several targets aim at, a "(together)" line of what they reach between them.
#   scripts/fuzz-coverage.sh [TARGET...]    (default: every target in fuzz/targets.list)
#   VX_COV_SHOW=1 scripts/fuzz-coverage.sh store_reader   also prints the uncovered lines
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz-coverage
mapfile -t targets < <(grep -v '^#' "$root/fuzz/targets.list" | grep .)
wanted=("$@")
selected=()
for t in "${targets[@]}"; do
  read -r name _ _ <<<"$t"
  if [ ${#wanted[@]} -eq 0 ] || printf '%s\n' "${wanted[@]}" | grep -qx "$name"; then selected+=("$t"); fi
done
[ ${#selected[@]} -gt 0 ] || { echo "fuzz-coverage: no such target: ${wanted[*]}" >&2; exit 2; }

flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fprofile-instr-generate" -DVX_BUILD_TESTS=ON -DVX_BUILD_BENCH=OFF >/dev/null
names=()
for t in "${selected[@]}"; do read -r name _ _ <<<"$t"; names+=("${name}_replay"); done
cmake --build "$build" -j 2 --target "${names[@]}" >/dev/null

prof=$build/profiles
rm -rf "$prof" && mkdir -p "$prof"
printf '%-18s %-40s %12s %7s\n' target file lines percent
declare -A by_file  # file -> "target:binary ..." of every target aimed at it
for t in "${selected[@]}"; do
  read -r name corpus files <<<"$t"
  bin=$(find "$build" -type f -name "${name}_replay" -perm -u+x | head -n1)
  [ -n "$bin" ] || { echo "fuzz-coverage: ${name}_replay was not built" >&2; exit 1; }
  LLVM_PROFILE_FILE="$prof/$name.profraw" "$bin" "$root/fuzz/$corpus" >/dev/null
  llvm-profdata-14 merge -sparse "$prof/$name.profraw" -o "$prof/$name.profdata"
  IFS=, read -r -a paths <<<"$files"
  for f in "${paths[@]}"; do
    by_file[$f]+="$name:$bin "
    # A row per file (named below the files' common folder, the root): name, regions, missed,
    # %, functions, missed, %, lines, missed, %.
    llvm-cov-14 report "$bin" -instr-profile="$prof/$name.profdata" |
      awk -v t="$name" -v f="$f" '$1 == f {
        printf "%-18s %-40s %5d / %-5d %6.1f%%\n", t, f, $8 - $9, $8, $10 }'
    if [ "${VX_COV_SHOW:-}" = 1 ]; then
      # The whole listing, cut to this file: a file filter misses names that ccache made relative.
      llvm-cov-14 show "$bin" -instr-profile="$prof/$name.profdata" |
        awk -v want="$root/$f:" '/^\/.*:$/ { in_file = ($0 == want) } in_file && /^ *[0-9]+\| *0\|/'
    fi
  done
done
# A file that several targets aim at: what they reach together.
for f in "${!by_file[@]}"; do
  read -r -a runs <<<"${by_file[$f]}"
  [ ${#runs[@]} -gt 1 ] || continue
  objects=() profiles=()
  for r in "${runs[@]}"; do objects+=(-object "${r#*:}"); profiles+=("$prof/${r%%:*}.profdata"); done
  llvm-profdata-14 merge -sparse "${profiles[@]}" -o "$prof/together.profdata"
  llvm-cov-14 report "${objects[@]}" -instr-profile="$prof/together.profdata" |
    awk -v f="$f" '$1 == f { printf "%-18s %-40s %5d / %-5d %6.1f%%\n", "(together)", f, $8 - $9, $8, $10 }'
done
