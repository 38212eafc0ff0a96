#!/usr/bin/env bash
# End-to-end benchmarks of the real program (pointer latency, throughput and
# batch sizes, typing, X round trips, idle cost) on private Xvfb servers
# against the scripted HTTPS server on loopback, beside xdotool and a bare
# XTest loop. Builds the program and the probe (RelWithDebInfo, as shipped by
# tools/test.sh's normal build) in build-e2e-bench, then prints the table of
# bench/README.md.
#   bench/run-e2e.sh                            everything
#   bench/run-e2e.sh --only pointer typing      some (pointer typing roundtrips
#                                               idle memory handshakes)
#   bench/run-e2e.sh --wayland [--rounds N]     input through the RemoteDesktop
#                                               portal on a headless GNOME
#                                               compositor, beside bare portal
#                                               clients (bench/wayland_bench.py)
#   MV_BENCH_BASELINE=/path/to/other/checkout   build that checkout too (in its
#                                               build-e2e-bench) and run it beside
#                                               this one, round by round
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${MV_BENCH_E2E_BUILD_DIR:-build-e2e-bench}

build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$2" -j"$(nproc)" --target morrowvane-helper x11_probe wayland_probe >/dev/null
}
build . "$dir"
baseline=()
if [ -n "${MV_BENCH_BASELINE:-}" ]; then
  build "$MV_BENCH_BASELINE" "$MV_BENCH_BASELINE/build-e2e-bench"
  baseline=(--baseline "$MV_BENCH_BASELINE/build-e2e-bench/morrowvane-helper")
fi
if [ "${1:-}" = "--wayland" ]; then
  shift
  # Debian's own python3, which has python3-gi.
  exec /usr/bin/python3 bench/wayland_bench.py --helper "$dir/morrowvane-helper" \
    --probe "$dir/wayland_probe" "${baseline[@]}" "$@"
fi
c++ -O2 -Wall -Wextra -Werror -o "$dir/xtest_loop" bench/xtest_loop.cpp -lX11 -lXtst
cc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$dir/xreply_count.so" bench/xreply_count.c -ldl

exec python3 bench/e2e_bench.py --helper "$dir/morrowvane-helper" --probe "$dir/x11_probe" \
  --xtest-loop "$dir/xtest_loop" --xreply-count "$(realpath "$dir/xreply_count.so")" \
  "${baseline[@]}" "$@"
