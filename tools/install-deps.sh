#!/usr/bin/env bash
# Installs everything the helper needs to build, test and run on Debian 12.
# Idempotent: packages already present are not fetched again. Needs root or
# sudo (apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-svg-dev libx11-dev libxtst-dev libxrandr-dev libxext-dev libxi-dev libxkbcommon-dev
  rapidjson-dev liburiparser-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xserver-xephyr xauth x11-xkb-utils xdotool x11-utils x11-xserver-utils xclip imagemagick
  openssl ca-certificates python3 iproute2 util-linux dbus-daemon dbus-x11
  desktop-file-utils xdg-utils fonts-dejavu-core man-db lintian
  python3-dbus python3-gi chromium
  mutter xwayland xdg-desktop-portal xdg-desktop-portal-gnome pipewire wireplumber
  qt6-wayland kwin-wayland xdg-desktop-portal-kde qtwayland5 mmdebstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
