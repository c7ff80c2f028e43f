#!/bin/sh
# Builds the Debian package from the build tree $1, unpacks it in a scratch
# root and runs torvik-loader from there.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
dpkg -x "$deb" "$scratch/root"
for f in usr/bin/torvik-loader usr/bin/USB_TorvikLoader usr/share/man/man1/torvik-loader.1 \
         usr/share/applications/usb-torvikloader.desktop usr/share/icons/hicolor/48x48/apps/usb-torvikloader.png; do
  [ -e "$scratch/root/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
version=$("$scratch/root/usr/bin/torvik-loader" --version)
echo "$version"
case $version in "torvik-loader "[0-9]*) ;; *) echo "unexpected --version: $version"; exit 1 ;; esac
dpkg-deb -f "$deb" Depends
