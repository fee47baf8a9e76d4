#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite:
# the plain build, the Debian package (built, installed, run and purged), the
# ASan+UBSan build, the TSan build, and a bounded fuzzer run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Tests create network namespaces and bind ports 67, 69 and 4011: they need root.
[ "$(id -u)" -eq 0 ] || { echo "the test suite must run as root" >&2; exit 1; }

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
run() { echo "=== $*"; "$@" || status=1; }

run bash scripts/build.sh plain
run ctest --test-dir build --output-on-failure -j2
run bash scripts/package-test.sh build
run bash scripts/build.sh asan
run ctest --test-dir build-asan --output-on-failure -j2
run bash scripts/build.sh tsan
run ctest --test-dir build-tsan --output-on-failure -j2 -L 'boot|tftp|http|console|core|service|platform'
if [ -x scripts/fuzz.sh ]; then
  run bash scripts/fuzz.sh 120
fi
exit $status
