#!/usr/bin/env bash
# End-to-end benchmarks of the real program (pointer latency and throughput,
# typing, idle cost) on a private Xvfb against the scripted HTTPS server on
# loopback, beside xdotool and a bare XTest loop. Builds the program and the
# probe (RelWithDebInfo, as shipped by tools/test.sh's normal build) in
# build-e2e-bench, then prints the table of bench/README.md. Takes about four
# minutes, most of it the 60 s idle run and the 100,000-command run.
#   bench/run-e2e.sh                        everything
#   bench/run-e2e.sh --only latency typing  some (latency throughput typing
#                                           idle memory handshakes)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${MV_BENCH_E2E_BUILD_DIR:-build-e2e-bench}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" --target morrowvane-helper x11_probe >/dev/null
c++ -O2 -Wall -Wextra -Werror -o "$dir/xtest_loop" bench/xtest_loop.cpp -lX11 -lXtst

exec python3 bench/e2e_bench.py --helper "$dir/morrowvane-helper" --probe "$dir/x11_probe" \
  --xtest-loop "$dir/xtest_loop" "$@"
