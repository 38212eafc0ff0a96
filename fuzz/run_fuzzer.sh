#!/bin/sh
# Runs one fuzz target: first every saved regression input (any crash or
# failed check fails the test), then fuzzing from the seeds for a bounded
# time. New corpus entries and crash inputs go to WORK_DIR, never into the
# source tree; a crash input found there belongs in regressions/ once fixed.
#   run_fuzzer.sh FUZZER FUZZ_SOURCE_DIR TARGET WORK_DIR SECONDS [DICT]
set -eu
fuzzer=$1 src=$2 target=$3 work=$4 seconds=$5 dict=${6:-}
if [ -d "$src/regressions/$target" ]; then "$fuzzer" "$src/regressions/$target"/*; fi
mkdir -p "$work/corpus" "$work/artifacts"
exec "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" ${dict:+-dict="$dict"} "$work/corpus" "$src/seeds/$target"
