#!/usr/bin/env bash
# Builds everything and runs every test, once in a plain build and once with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
run_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== plain build" >&2
run_build build
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build" >&2
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan -DVELMORA_SANITIZE=ON -DVELMORA_BENCHMARKS=OFF
