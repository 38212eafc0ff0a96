#!/usr/bin/env bash
# A demonstration session of the helper: installs what is missing, builds,
# and runs the real program against the bundled scripted sharing server on
# loopback inside a private namespace. On your own X display (DISPLAY set and
# reachable) you answer the consent dialog; otherwise a private Xvfb is used
# and screenshots land in build-demo/demo/. It builds in build-demo/, apart
# from the build/ of the README's install. Ends by itself; status 0 on success.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-demo -j"$(nproc)" --target morrowvane-helper x11_probe
exec python3 tools/demo.py build-demo
