#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [plain|asan|tsan|fuzz]   (default: plain)
# Build folders: build/, build-asan/, build-tsan/, build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
case "$flavour" in
  plain) dir=build; args=() ;;
  asan)  dir=build-asan; args=(-DPXE_SANITIZE=address,undefined) ;;
  tsan)  dir=build-tsan; args=(-DPXE_SANITIZE=thread) ;;
  fuzz)  dir=build-fuzz; args=(-DPXE_FUZZ=ON -DPXE_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
