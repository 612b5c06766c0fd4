#!/usr/bin/env bash
# The benchmark table of the host: each figure of bench/host_bench as the
# ratio to its floor, measured beside it in the same run, for an older host
# ("before") and this tree's host ("after"), both driven by the same
# host_bench in each run; and the memory figures of host_bench --peak-memory
# for both. Run it on a quiet machine: the ratios hold up under some load, the
# times do not.
#
#   scripts/bench-table.sh [--before HOST | --before-commit REV] [--runs N]
#                          [-- HOST_BENCH_FLAGS...]
#
# HOST is a built host program. Without it, REV (4427523 unless given) is
# exported into build-bench-before/ and its host built there in Release. Each
# of the N runs (5 unless given) is a process of its own, the two hosts taking
# turns at going first. The flags after "--" go to every timing run, e.g.
# --benchmark_min_time=0.1 for a quick try. The runs' output is kept in
# build-release/bench-table/.
set -euo pipefail
cd "$(dirname "$0")/.."

before=
before_commit=4427523
runs=5
while [[ $# -gt 0 ]]; do
  case $1 in
    --before) before=$(realpath "$2"); shift 2 ;;
    --before-commit) before_commit=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--before HOST | --before-commit REV] [--runs N] [-- HOST_BENCH_FLAGS...]" >&2; exit 2 ;;
  esac
done
jobs=${VELMORA_JOBS:-2}

# Without -Werror: GCC 12 at -O3 warns of overlapping copies in std::string
# that cannot happen.
echo "== Release build of the host and host_bench" >&2
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=OFF >/dev/null
cmake --build build-release -j "$jobs" --target velmora-extension host_bench >&2
after=$PWD/build-release/src/velmora-extension
bench=$PWD/build-release/bench/host_bench

if [[ -z $before ]]; then
  echo "== Release build of the host at $before_commit" >&2
  src=build-bench-before/src
  if [[ ! -f build-bench-before/commit || $(cat build-bench-before/commit) != "$(git rev-parse "$before_commit")" ]]; then
    rm -rf build-bench-before
    mkdir -p "$src"
    git archive "$before_commit" | tar -x -C "$src"
    git rev-parse "$before_commit" >build-bench-before/commit
  fi
  cmake -S "$src" -B build-bench-before/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_WERROR=OFF -DVELMORA_TESTS=OFF -DVELMORA_BENCHMARKS=OFF >/dev/null
  cmake --build build-bench-before/build -j "$jobs" --target velmora-extension >&2
  before=$PWD/build-bench-before/build/src/velmora-extension
fi

out=build-release/bench-table
rm -rf "$out"
mkdir -p "$out"
figures='^(OneShotRoundTrip|LongLivedConnection|WritingSave|UnchangedSave|OneOffUnchangedSave)/(host|baseline)/'
for ((run = 1; run <= runs; run++)); do
  # host_bench names its --host figures "host" and its --baseline ones
  # "baseline"; which of the two is "before" alternates from run to run.
  if ((run % 2)); then first=after second=before; else first=before second=after; fi
  echo "== run $run of $runs: $first first" >&2
  echo "$first" >"$out/run$run.first"
  first_host=$after second_host=$before
  [[ $first == before ]] && first_host=$before second_host=$after
  "$bench" --host "$first_host" --baseline "$second_host" --benchmark_filter="$figures" \
    --benchmark_out="$out/run$run.json" --benchmark_out_format=json "$@" \
    >"$out/run$run.txt" 2>&1 || { cat "$out/run$run.txt" >&2; exit 1; }
  "$bench" --peak-memory "$after" >"$out/memory-after$run.txt" 2>&1
  "$bench" --peak-memory "$before" >"$out/memory-before$run.txt" 2>&1
done

echo "before: $before" >&2
echo "after:  $after" >&2
python3 - "$out" "$runs" <<'EOF'
import json
import re
import statistics
import sys

out, runs = sys.argv[1], int(sys.argv[2])

# figure -> side -> lists of each run's ratio median and floor median (ms)
ratios = {}
floors = {}
for run in range(1, runs + 1):
    first = open(f"{out}/run{run}.first").read().strip()
    role = {"host": first, "baseline": "after" if first == "before" else "before"}
    for b in json.load(open(f"{out}/run{run}.json"))["benchmarks"]:
        if b.get("run_type") != "iteration" or "ratio_median" not in b:
            continue
        figure, who = b["name"].split("/")[:2]
        side = role[who]
        ratios.setdefault(figure, {}).setdefault(side, []).append(b["ratio_median"])
        floors.setdefault(figure, {}).setdefault(side, []).append(b["floor_median_ms"])

# side -> lists over runs of the first section of --peak-memory: a fresh
# host's writing save of 10,000 tabs
memory = {"before": {"growth": [], "idle": [], "idle_after": [], "document": []},
          "after": {"growth": [], "idle": [], "idle_after": [], "document": []}}
for run in range(1, runs + 1):
    for side in ("before", "after"):
        text = open(f"{out}/memory-{side}{run}.txt").read().split("\n\n")[0]
        m = memory[side]
        m["growth"].append(float(re.search(r"= ([0-9.]+) x the document", text).group(1)))
        idle, _, again = re.search(
            r"idle host: (\d+) KiB, peak: (\d+) KiB, idle again: (\d+) KiB", text).groups()
        m["idle"].append(int(idle) / 1024)
        m["idle_after"].append(int(again) / 1024)
        m["document"].append(float(re.search(r"document: ([0-9.]+) MiB", text).group(1)))

def duration(ms):
    return f"{ms * 1000:.0f} µs" if ms < 1 else f"{ms:.1f} ms"

def spread(values, fmt):
    return f"{fmt(min(values))}–{fmt(max(values))}" if values else "-"

def med(values, fmt):
    return fmt(statistics.median(values)) if values else "-"

ratio = lambda v: f"{v:.2f}x"
mib = lambda v: f"{v:.1f} MiB"

rows = [
    ("One-off unchanged save / cat one-shot + pre-faulted read", "≤ 3x", "OneOffUnchangedSave"),
    ("Writing save / its I/O floor", "≤ 2.5x", "WritingSave"),
    ("Long-lived unchanged save / long-lived cat echo", "≤ 2.5x", "UnchangedSave"),
    ("20-tab long-lived save / cat echo", "≤ 2.5x", "LongLivedConnection"),
    ("One-shot 20-tab round trip / /bin/cat", "≤ 1.5x", "OneShotRoundTrip"),
]
table = [("Figure", "Target", "Before", "After", "Floor (after's runs)",
          "Spread before", "Spread after")]
for title, target, figure in rows:
    r = ratios.get(figure, {})
    f = floors.get(figure, {})
    table.append((title, target, med(r.get("before", []), ratio), med(r.get("after", []), ratio),
                  med(f.get("after", []), duration),
                  spread(r.get("before", []), ratio), spread(r.get("after", []), ratio)))
b, a = memory["before"], memory["after"]
table.append(("Peak memory, fresh host's writing save, above idle / document", "< 3x",
              med(b["growth"], ratio), med(a["growth"], ratio),
              "document " + med(a["document"], mib),
              spread(b["growth"], ratio), spread(a["growth"], ratio)))
table.append(("Idle host, fresh", "< 16 MiB", med(b["idle"], mib), med(a["idle"], mib), "-",
              spread(b["idle"], mib), spread(a["idle"], mib)))
table.append(("Idle host after that save", "< 16 MiB", med(b["idle_after"], mib),
              med(a["idle_after"], mib), "-",
              spread(b["idle_after"], mib), spread(a["idle_after"], mib)))

print(f"{runs} runs; ratios are the medians over the runs of each run's median ratio, "
      "spreads their least and greatest")
print()
for i, row in enumerate(table):
    print("| " + " | ".join(row) + " |")
    if i == 0:
        print("|" + "---|" * len(row))
EOF
