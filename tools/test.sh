#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test.
# Tests that need a display or a server start their own (Xvfb, HTTPS server).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMV_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" "$@"
