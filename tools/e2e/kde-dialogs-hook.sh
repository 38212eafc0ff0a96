#!/bin/sh
# mmdebstrap hook: KWin's dialogs (QML of plasma-workspace) into the root
# filesystem $1, without the whole desktop that plasma-workspace pulls in.
set -e
R=$1
chroot "$R" sh -c 'cd /tmp && apt-get download -q plasma-workspace plasma-workspace-data'
mkdir "$R/tmp/pw"
for deb in "$R"/tmp/plasma-workspace*.deb; do dpkg-deb -x "$deb" "$R/tmp/pw"; done
cd "$R/tmp/pw"
cp -a --parents usr/lib/*/qt6/qml/org/kde/plasma/workspace/dialogs \
  usr/lib/*/qt6/qml/org/kde/plasma/lookandfeel \
  usr/lib/*/qt6/plugins/kf6/packagestructure/plasma_lookandfeel.so usr/share/plasma/look-and-feel "$R"
cd /
rm -rf "$R/tmp/pw" "$R"/tmp/plasma-workspace*.deb
