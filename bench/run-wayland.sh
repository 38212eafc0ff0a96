#!/usr/bin/env bash
# Input speed of the real program through the RemoteDesktop portal on a
# headless GNOME compositor, beside bare portal clients (bench/wayland_bench.py).
# Builds the program and the Wayland probe (RelWithDebInfo) in
# build-e2e-bench, then prints the table of bench/README.md.
#   bench/run-wayland.sh [--rounds N]
#   MV_BENCH_BASELINE=/path/to/other/checkout   build that checkout too and run
#                                               it beside this one, round by round
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${MV_BENCH_E2E_BUILD_DIR:-build-e2e-bench}

build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$2" -j"$(nproc)" --target morrowvane-helper wayland_probe >/dev/null
}
build . "$dir"
baseline=()
if [ -n "${MV_BENCH_BASELINE:-}" ]; then
  build "$MV_BENCH_BASELINE" "$MV_BENCH_BASELINE/build-e2e-bench"
  baseline=(--baseline "$MV_BENCH_BASELINE/build-e2e-bench/morrowvane-helper")
fi

# Debian's own python3, which has python3-gi.
exec /usr/bin/python3 bench/wayland_bench.py --helper "$dir/morrowvane-helper" \
  --probe "$dir/wayland_probe" "${baseline[@]}" "$@"
