#!/usr/bin/env bash
# Builds the libFuzzer target of the DHCP packet codec with clang, ASan and
# UBSan, and runs it for about SECONDS seconds from the seed corpus in
# tests/fuzz/corpus/. Exits non-zero when the fuzzer finds a fault; the
# input that shows it is left in build-fuzz/ (crash-*, leak-*, timeout-*).
#   scripts/fuzz.sh [SECONDS]   (default: 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build-fuzz
cmake -S . -B "$dir" -DPXE_FUZZ=ON -DPXE_TESTS=OFF -DPXE_SANITIZE=address,undefined \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j"$(nproc)" --target dhcppacket_fuzz

# New inputs go to a scratch copy: the seeds in the repository stay as they are.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/* "$work/"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$dir/tests/fuzz/dhcppacket_fuzz" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$dir/" -print_final_stats=1 "$work"
echo "dhcppacket_fuzz: no finding in ${seconds} s"
