#!/usr/bin/env bash
# Builds what is shipped, into dist/ (created; files of the same names are
# replaced):
#   usb-torvikloader_<version>_<arch>.deb  the Debian package: a Release build
#                                          in build/package, made with cpack
#                                          and checked with lintian (no
#                                          errors allowed)
#   TorvikLoader-<version>-setup.exe       the Windows installer and the
#   TorvikLoader-<version>-portable.zip    portable zip, cross-built with
#                                          mingw-w64 by tools/package-windows.sh
#                                          (in build/mingw-release; about a
#                                          quarter of an hour on two cores)
# It installs the Debian packages it lacks first (tools/packages.txt, and
# tools/packages-windows.txt for the Windows part).
#
# Environment: TORVIK_SKIP_WINDOWS=1 leaves the Windows part out; JOBS
# (parallel build jobs, default all cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
dist=$root/dist
build=$root/build/package
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

tools/install-deps.sh
mkdir -p "$dist"

echo "== Debian package (Release build in $build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTORVIK_BUILD_TESTS=OFF -DTORVIK_BUILD_BENCH=OFF \
  -DTORVIK_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$jobs"
rm -rf "$build/cpack"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/cpack" >"$build/cpack.log" 2>&1 || {
  cat "$build/cpack.log"
  exit 1
}
deb=$(ls "$build"/cpack/*.deb)
cp "$deb" "$dist/"
lintian --tag-display-limit 0 --fail-on error "$dist/$(basename "$deb")"

if [ "${TORVIK_SKIP_WINDOWS:-}" != 1 ]; then
  echo "== Windows installer and zip"
  windows=$root/build/package-windows
  TORVIK_DIST_DIR="$windows" JOBS="$jobs" tools/package-windows.sh
  cp "$windows"/TorvikLoader-*-setup.exe "$windows"/TorvikLoader-*-portable.zip "$dist/"
fi

echo "== In $dist:"
ls -l "$dist"
