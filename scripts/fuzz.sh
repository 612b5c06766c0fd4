#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one for a bounded time, starting
# from its seed corpus. Fails when any target reports a finding; the inputs
# that caused one are kept under <build dir>/fuzz-findings/.
#
#   scripts/fuzz.sh [SECONDS]     seconds per target: SECONDS, else
#                                 $FUZZ_SECONDS, else 30
# Also read: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_CXX (clang++-14),
# FUZZ_JOBS (targets run at once; default: the number of processors).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-30}}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds per target]" >&2
  exit 2
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}

scripts/install-deps.sh

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" \
  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF -DVELMORA_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc)"

if [[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/fuzz-findings"

# Each target is one process of one thread: as many run at once as there
# are processors (FUZZ_JOBS), each for its full time. A target's output and
# its exit status go to files of its own, reported in order at the end.
run_target() {
  local target=$1 status=0
  mkdir -p "$work/$target/corpus"
  local args=(-max_total_time="$seconds" -timeout=60 -print_final_stats=1
    -artifact_prefix="$work/$target/")
  [[ -f fuzz/$target.dict ]] && args+=(-dict="fuzz/$target.dict")
  # New inputs go to the scratch corpus; the seeds in the tree stay as they are.
  "$build/fuzz/$target" "${args[@]}" "$work/$target/corpus" "fuzz/corpus/$target" \
    >"$work/$target.log" 2>&1 || status=$?
  echo "$status" >"$work/$target.status"
}
parallel=${FUZZ_JOBS:-$(nproc)}
targets=()
running=0
for source in fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  if ((running >= parallel)); then
    wait -n
    running=$((running - 1))
  fi
  echo "== $target: $seconds s" >&2
  run_target "$target" &
  running=$((running + 1))
  targets+=("$target")
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
  if [[ $(cat "$work/$target.status") == 0 ]]; then
    passed=$((passed + 1))
    echo "$target:" >&2
    grep -E '^stat::number_of_executed_units|^#[0-9]+ +DONE' "$work/$target.log" >&2 || true
  else
    failed=$((failed + 1))
    echo "$target failed:" >&2
    tail -n 60 "$work/$target.log" >&2
    mkdir -p "$findings"
    for artifact in "$work/$target"/crash-* "$work/$target"/leak-* "$work/$target"/timeout-* \
      "$work/$target"/oom-*; do
      [[ -e $artifact ]] || continue
      cp "$artifact" "$findings/$target-$(basename "$artifact")"
      echo "kept $findings/$target-$(basename "$artifact")" >&2
    done
  fi
done

echo "fuzz: $passed passed, $failed failed"
((failed == 0))
