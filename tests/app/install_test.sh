#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the desktop integration:
# program, desktop entry (valid, registered for the scheme) and icon.
# Usage: install_test.sh BUILD_DIR [deb]   ("deb": build and inspect the package too)
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
entry=$scratch/prefix/share/applications/com.morrowvane.Helper.desktop
[[ -f $entry ]] || fail "desktop entry not installed"
desktop-file-validate "$entry" || fail "installed desktop entry does not validate"
[[ -x $scratch/prefix/bin/morrowvane-helper ]] || fail "program not installed in bin/"
[[ -f $scratch/prefix/share/icons/hicolor/scalable/apps/com.morrowvane.Helper.svg ]] ||
  fail "icon not installed"
"$scratch/prefix/bin/morrowvane-helper" --version | grep -qx 'morrowvane-helper 1.0.0' ||
  fail "installed program does not report its version"

# What the desktop database makes of the entry: the scheme's handler.
update-desktop-database "$scratch/prefix/share/applications"
grep -qx 'x-scheme-handler/morrowvanenativehost=com.morrowvane.Helper.desktop;' \
  "$scratch/prefix/share/applications/mimeinfo.cache" ||
  fail "scheme handler not registered by the desktop database"

if [[ ${2:-} == deb ]]; then
  (cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
  deb=$(ls "$scratch"/deb/*.deb)
  contents=$(dpkg-deb -c "$deb")
  for path in ./usr/bin/morrowvane-helper ./usr/share/applications/com.morrowvane.Helper.desktop \
              ./usr/share/icons/hicolor/scalable/apps/com.morrowvane.Helper.svg; do
    grep -q " $path\$" <<<"$contents" || fail "package lacks $path"
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  # Computed from the program's libraries, not written by hand.
  for lib in libc6 libqt6widgets6 libcurl4 libx11-6 libxtst6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
  done
  echo "package: $(basename "$deb"); Depends: $depends"
fi
echo "install layout ok"
