#!/bin/sh
# Builds the Debian package the way it is shipped, from a Release build: the
# build tree $1 itself when it is one, else a Release tree of the programs
# alone in $1/deb-release, configured from the sources in $2. Then checks it:
# lintian finds no errors, its listing (dpkg -c) holds rfc2217-sim-server, the
# command-line guide, the JSON Schema and the udev example, the programs are
# stripped, the manual pages are compressed, the copyright and changelog are
# there, and torvik-loader runs from the unpacked package.
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ "$type" != Release ]; then
  echo "$build is a '$type' tree: building the programs in $build/deb-release"
  release=$build/deb-release
  launcher=
  if command -v ccache >/dev/null 2>&1; then launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
  cmake -S "$source" -B "$release" -DCMAKE_BUILD_TYPE=Release -DTORVIK_BUILD_TESTS=OFF \
        -DTORVIK_BUILD_BENCH=OFF $launcher >"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; exit 1; }
  cmake --build "$release" -j2 >"$scratch/build.log" 2>&1 || { tail -50 "$scratch/build.log"; exit 1; }
  build=$release
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
ls -l "$deb"

command -v lintian >/dev/null 2>&1 || { echo "lintian is missing (tools/packages.txt lists it)"; exit 1; }
lintian --tag-display-limit 0 --fail-on error "$deb" || { echo "lintian found errors"; exit 1; }

dpkg -c "$deb" >"$scratch/listing"
guide=./usr/share/doc/torvik-loader
for f in ./usr/bin/rfc2217-sim-server ./usr/share/man/man1/rfc2217-sim-server.1.gz \
         $guide/command-line-and-network-readers.md $guide/torvik-loader-json.schema.json $guide/reliability.md \
         $guide/examples/60-torvik-reader.rules; do
  grep -q " $f\$" "$scratch/listing" || { echo "dpkg -c does not list $f"; exit 1; }
done

dpkg -x "$deb" "$scratch/root"
doc=usr/share/doc/usb-torvikloader
for f in usr/bin/torvik-loader usr/bin/USB_TorvikLoader usr/share/man/man1/torvik-loader.1.gz \
         usr/share/man/man1/USB_TorvikLoader.1.gz usr/share/applications/usb-torvikloader.desktop \
         usr/share/icons/hicolor/48x48/apps/usb-torvikloader.png $doc/copyright $doc/changelog.gz; do
  [ -e "$scratch/root/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
for f in usr/share/man/man1/torvik-loader.1 usr/share/man/man1/USB_TorvikLoader.1; do
  [ ! -e "$scratch/root/$f" ] || { echo "not compressed: $f"; exit 1; }
done
for f in usr/bin/torvik-loader usr/bin/USB_TorvikLoader usr/bin/rfc2217-sim-server; do
  if readelf -S "$scratch/root/$f" | grep -q -e '\.symtab' -e '\.debug_'; then echo "not stripped: $f"; exit 1; fi
done
zcat "$scratch/root/$doc/changelog.gz" | head -1 | grep -q "^usb-torvikloader (" || {
  echo "the changelog does not start with the package's entry"; exit 1; }

version=$("$scratch/root/usr/bin/torvik-loader" --version)
echo "$version"
case $version in "torvik-loader "[0-9]*) ;; *) echo "unexpected --version: $version"; exit 1 ;; esac
"$scratch/root/usr/bin/rfc2217-sim-server" --version | grep -q "^rfc2217-sim-server [0-9]" || {
  echo "rfc2217-sim-server does not run from the package"; exit 1; }
echo "installed size: $(dpkg-deb -f "$deb" Installed-Size) KiB"
dpkg-deb -f "$deb" Depends
