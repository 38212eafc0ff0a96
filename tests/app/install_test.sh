#!/usr/bin/env bash
# Builds the package and checks what the desktop makes of it: the program, a
# desktop entry that starts it, groups its windows (StartupWMClass) and is
# registered for the scheme, the icon, dependencies computed from the
# program's libraries, and no lintian error or warning (which covers the
# entry's validity, the manual page and the package documents).
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$1" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/*.deb)
dpkg-deb -x "$deb" "$scratch/root"
share=$scratch/root/usr/share
"$scratch/root/usr/bin/morrowvane-helper" --version | grep -qx 'morrowvane-helper 1.0.0' ||
  fail "packaged program does not report its version"
[[ -f $share/icons/hicolor/scalable/apps/com.morrowvane.Helper.svg ]] || fail "package lacks the icon"
for line in "Exec=/usr/bin/morrowvane-helper %u" StartupWMClass=morrowvane-helper; do
  grep -qx "$line" "$share/applications/com.morrowvane.Helper.desktop" || fail "entry lacks $line"
done
update-desktop-database "$share/applications"
grep -qx 'x-scheme-handler/morrowvanenativehost=com.morrowvane.Helper.desktop;' \
  "$share/applications/mimeinfo.cache" || fail "scheme handler not registered by the desktop database"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libcurl4 libx11-6 libxtst6; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
findings=$(lintian --no-cfg --fail-on none "$deb" | grep -E '^[EW]: ' || true)
[[ -z $findings ]] || fail "lintian: $findings"
echo "package $(basename "$deb") ok; Depends: $depends"
