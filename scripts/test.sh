#!/usr/bin/env bash
# Builds everything and runs every test: a plain build (with the real-browser
# round trip), the same tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests with ThreadSanitizer, and
# every fuzz target for a bounded time (FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

# The tests make their temporary files in a folder of this run's own, which
# must be empty again after each test run.
test_tmp=$(mktemp -d)
trap 'rm -rf "$test_tmp"' EXIT
run_tests() {
  TMPDIR=$test_tmp ctest "$@"
  local left
  left=$(ls -A "$test_tmp")
  if [[ -n $left ]]; then
    echo "The tests left in the temporary folder: $left" >&2
    return 1
  fi
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVELMORA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build" >&2
# Callers configured, so that the package tests see the system-wide manifests.
configure_and_build build -DVELMORA_ALLOWED_CALLERS="chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/;velmora@example.org"
run_tests --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build" >&2
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure_and_build build-asan -DVELMORA_SANITIZE=ON -DVELMORA_BENCHMARKS=OFF
run_tests --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer build (the tests that run threads)" >&2
cmake -S . -B build-tsan -G Ninja -DVELMORA_WERROR=ON -DVELMORA_TSAN=ON -DVELMORA_BENCHMARKS=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target storage_tests platform_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/src/storage_tests --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 build-tsan/src/platform_tests --gtest_brief=1

echo "== fuzzing" >&2
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
