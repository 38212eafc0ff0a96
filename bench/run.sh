#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and prints the core-path
# table as it appears in bench/README.md. Arguments go to the benchmark, e.g.
#   bench/run.sh --benchmark_repetitions=3
# Figures are medians over the repetitions, in CPU time of the benchmark
# thread; the repetitions of all benchmarks run interleaved in random order.
# Both keep other load on the machine from skewing one side of a ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${MV_BENCH_BUILD_DIR:-build-bench}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)" --target core_bench >/dev/null

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$dir/core_bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json "$@" >&2

python3 - "$out" <<'PY'
import json, sys

runs = {}
with open(sys.argv[1]) as f:
    for b in json.load(f)["benchmarks"]:
        if b.get("aggregate_name", "median") == "median":
            runs[b["run_name"]] = b

def us(name):  # CPU microseconds per batch of 100 commands
    b = runs[name]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
    return b["cpu_time"] * scale

def rate(name):
    return 100 / us(name) * 1e6

whole, quiet = "BM_ParseAndDispatch/session", "BM_ParseAndDispatch/quiet"
bare_it, bare_def = "BM_BareParseIterative/session", "BM_BareParseDefault/session"
ratio = us(whole) / us(bare_it)
quiet_ratio = us(quiet) / us("BM_BareParseIterative/quiet")
logged_each = (us("BM_ParseAndDispatch/logged") - us("BM_BareParseIterative/logged")) / 100

def ok(met):
    return "met" if met else "missed"

rows = [
    ("Whole path, session mix (parse + dispatch)", f"{rate(whole):,.0f} commands/s ({us(whole):.1f} µs per batch)",
     "≥ 300,000 commands/s", ok(rate(whole) >= 300000)),
    ("Whole path ÷ bare parse (iterative flag, as the program parses)", f"{ratio:.2f} ×", "≤ 3 ×", ok(ratio <= 3)),
    ("Whole path ÷ bare parse (default flags)", f"{us(whole) / us(bare_def):.2f} ×", "—", ""),
    ("Bare parse, iterative flag", f"{rate(bare_it):,.0f} commands/s ({us(bare_it):.1f} µs per batch)", "—", ""),
    ("Bare parse, default flags", f"{rate(bare_def):,.0f} commands/s ({us(bare_def):.1f} µs per batch)", "—", ""),
    ("Quiet mix (no logged command): whole path", f"{rate(quiet):,.0f} commands/s, {quiet_ratio:.2f} × its bare parse", "—", ""),
    ("One logged command (\"version\": log line + reply)", f"{logged_each:.2f} µs", "—", ""),
    ("The two logged commands of a session batch (twice the above)",
     f"{2 * logged_each:.1f} µs of {us(whole):.1f} µs ({200 * logged_each / us(whole):.0f} %)", "—", ""),
]
print("| Measure | Result | Goal | |")
print("|---|---|---|---|")
for row in rows:
    print("| " + " | ".join(row) + " |")
PY
