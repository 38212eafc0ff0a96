#!/bin/sh
# Runs one fuzz target: first every saved regression input (any crash or
# failed check fails the test), then fuzzing from the seeds for a bounded
# time. New corpus entries and crash inputs go to WORK_DIR, never into the
# source tree; a crash input found there belongs in regressions/ once fixed.
#   run_fuzzer.sh FUZZER FUZZ_SOURCE_DIR TARGET WORK_DIR SECONDS [DICT]
set -eu
fuzzer=$1 src=$2 target=$3 work=$4 seconds=$5 dict=${6:-}

regressions=$src/regressions/$target
if [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
  echo "== regression inputs of $target"
  "$fuzzer" "$regressions"/*
fi

echo "== fuzzing $target for ${seconds}s"
mkdir -p "$work/corpus" "$work/artifacts"
set -- -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/"
[ -n "$dict" ] && set -- "$@" -dict="$dict"
exec "$fuzzer" "$@" "$work/corpus" "$src/seeds/$target"
