#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the desktop integration:
# program, desktop entry (valid, registered for the scheme, naming the
# installed program), icon, manual page and package documents.
# Usage: install_test.sh BUILD_DIR [deb]   ("deb": build and inspect the package too)
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
entry=$scratch/prefix/share/applications/com.morrowvane.Helper.desktop
desktop-file-validate "$entry" || fail "installed desktop entry missing or not valid"
grep -qx "Exec=$scratch/prefix/bin/morrowvane-helper %u" "$entry" ||
  fail "desktop entry does not start the installed program: $(grep ^Exec= "$entry")"
# The windows' WM_CLASS, so that docks group them under the entry.
grep -qx 'StartupWMClass=morrowvane-helper' "$entry" || fail "desktop entry lacks StartupWMClass"
for doc in man/man1/morrowvane-helper.1.gz doc/morrowvane-helper/copyright \
           doc/morrowvane-helper/changelog.gz icons/hicolor/scalable/apps/com.morrowvane.Helper.svg; do
  [[ -f $scratch/prefix/share/$doc ]] || fail "$doc not installed"
done
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
  grep -q "Exec=/usr/bin/morrowvane-helper %u" <(dpkg-deb --fsys-tarfile "$deb" |
    tar -xO ./usr/share/applications/com.morrowvane.Helper.desktop) ||
    fail "packaged desktop entry does not start /usr/bin/morrowvane-helper"
  # Clean at lintian's default level: no error and no warning.
  findings=$(lintian --no-cfg --fail-on none "$deb" | grep -E '^[EW]: ' || true)
  [[ -z $findings ]] || fail "lintian: $findings"
  echo "package: $(basename "$deb"); Depends: $depends"
fi
echo "install layout ok"
