#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/*_fuzz.cpp) with clang, ASan and
# UBSan, and runs each one in turn from its seed corpus in
# tests/fuzz/corpus/<target>/ (none: an empty one), the SECONDS shared out
# evenly among them (at least 5 s each). Exits non-zero when a fuzzer finds a
# fault; the input that shows it is left in build-fuzz/ (crash-*, leak-*,
# timeout-*).
#   scripts/fuzz.sh [SECONDS]   (default: 150)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-150}
dir=build-fuzz
cmake -S . -B "$dir" -DPXE_FUZZ=ON -DPXE_TESTS=OFF -DPXE_SANITIZE=address,undefined \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
targets=()
for src in tests/fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$src" .cpp)")
done
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

each=$((seconds / ${#targets[@]}))
[ "$each" -ge 5 ] || each=5
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# New inputs go to scratch copies: the seeds in the repository stay as they are.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
  mkdir "$work/$target"
  if [ -d "tests/fuzz/corpus/$target" ]; then
    cp "tests/fuzz/corpus/$target"/* "$work/$target/"
  fi
  echo "=== $target for ${each} s"
  if "$dir/tests/fuzz/$target" -max_total_time="$each" -max_len=2048 -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$dir/$target-" -print_final_stats=1 "$work/$target" 2>"$work/$target.log"; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec):' "$work/$target.log" | tr '\n' ' '
    echo "-> no finding"
  else
    tail -n 40 "$work/$target.log"
    echo "$target: FINDING (input in $dir/$target-*)"
    status=1
  fi
done
exit $status
