#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test
# in four builds: a normal build (all tests), an ASan+UBSan build (unit and
# desktop tests), a ThreadSanitizer build (unit and transport tests, and the
# real program under server faults and a soak) and a clang build that runs
# each libFuzzer target for a while (MV_FUZZ_SECONDS, 20 by default). Tests
# that need a display or a server start their own (Xvfb, HTTPS server,
# session bus). Extra arguments go to every ctest run, e.g. -L unit.
#   tools/test.sh            everything
#   tools/test.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  shift
fi

tools/install-deps.sh

# Debian 13 desktops for the Wayland tests (GNOME Shell 48, KWin 6.3), each
# built once into the build folder with mmdebstrap (each about 250 MB
# downloaded, about 4 minutes on two cores).
rootfs() {  # rootfs NAME PACKAGES [mmdebstrap options]
  local name=$1 dir=build/rootfs/$1 packages=$2
  shift 2
  [ -e "$dir/.complete" ] && return
  echo "== Debian 13 root filesystem for $name (once)"
  rm -rf "$dir"
  mkdir -p build/rootfs
  # Without it (no root, no network) only the tests that need it fail.
  if mmdebstrap --quiet --variant=minbase --aptopt='APT::Install-Recommends "false"' \
    --include="$packages" "$@" trixie "$dir" http://deb.debian.org/debian; then
    touch "$dir/.complete"
  fi
}
rootfs gnome48 gnome-shell,mutter,xdg-desktop-portal,xdg-desktop-portal-gnome,pipewire,wireplumber,\
dbus-daemon,dbus-bin,python3-dbus,python3-gi,gir1.2-gtk-3.0,gsettings-desktop-schemas,fonts-cantarell,\
fonts-dejavu-core,libgl1-mesa-dri,libegl-mesa0
rootfs kwin6 kwin-wayland,kwin-common,xdg-desktop-portal,xdg-desktop-portal-kde,pipewire,wireplumber,\
dbus-daemon,dbus-bin,qt6-wayland,xwayland,libgl1-mesa-dri,libegl-mesa0,qml6-module-qtquick,\
qml6-module-qtquick-controls,qml6-module-qtquick-layouts,qml6-module-qtquick-templates,\
qml6-module-qtquick-window,qml6-module-qtqml-workerscript,qml6-module-org-kde-kirigami \
  --customize-hook="sh $PWD/tools/e2e/kde-dialogs-hook.sh \"\$1\""

jobs=$(nproc)
stage() {  # stage NAME BUILD_DIR CMAKE_ARGS LABEL_REGEX TARGETS [ctest args]
  local name=$1 dir=$2 args=$3 labels=$4 targets=$5
  shift 5
  echo "== $name"
  # shellcheck disable=SC2086
  cmake -S . -B "$dir" -DMV_WERROR=ON $args >/dev/null
  local build=()
  # shellcheck disable=SC2206
  [ -n "$targets" ] && build=(--target $targets)
  cmake --build "$dir" -j"$jobs" "${build[@]}"
  local select=()
  [ -n "$labels" ] && select=(-L "$labels")
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${select[@]}" "$@"
}

stage "normal build" build "-DCMAKE_BUILD_TYPE=RelWithDebInfo" "" "" "$@"
if [ "$quick" -eq 0 ]; then
  stage "ASan+UBSan build" build-asan "-DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=address" "^(unit|platform)$" "" "$@"
  stage "ThreadSanitizer build" build-tsan "-DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=thread" "^(unit|transport|faults|soak)$" "" "$@"
  stage "libFuzzer build" build-fuzz \
    "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMV_FUZZ=ON -DMV_FUZZ_SECONDS=${MV_FUZZ_SECONDS:-20}" \
    "^fuzz$" "batch_fuzzer launch_url_fuzzer poll_body_fuzzer handshake_fuzzer" "$@"
fi
