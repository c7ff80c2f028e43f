#!/usr/bin/env bash
# Builds what a Windows user downloads, on this Linux host with mingw-w64 and
# NSIS, into dist/windows/:
#   USB_TorvikLoader.exe              the window program
#   torvik-loader.exe                 the command-line program
#   TorvikLoader-<version>-setup.exe  installer (Program Files, Start menu,
#                                     uninstaller; /S for a silent install)
#   TorvikLoader-<version>-portable.zip   both programs and README.txt
# Both programs are single static executables that import only Windows system
# DLLs; the script checks that (objdump -p) and their size (at most 4 MB).
#
# Environment: TORVIK_PACKAGE_BUILD_DIR (default build/mingw-release),
# TORVIK_DIST_DIR (default dist/windows), JOBS (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${TORVIK_PACKAGE_BUILD_DIR:-build/mingw-release}
dist=${TORVIK_DIST_DIR:-dist/windows}
jobs=${JOBS:-2}
version=$(sed -n 's/^project(TorvikLoader VERSION \([0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)

tools/install-deps.sh tools/packages-windows.txt

echo "== Release build for 64-bit Windows in $build"
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTORVIK_BUILD_TESTS=OFF -DTORVIK_BUILD_BENCH=OFF -DTORVIK_WERROR=ON \
  $(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
cmake --build "$build" -j"$jobs" --target USB_TorvikLoader torvik-loader

rm -rf "$dist"
stage="$dist/TorvikLoader-$version"
mkdir -p "$stage"
strip=x86_64-w64-mingw32-strip
objdump=x86_64-w64-mingw32-objdump
"$strip" -o "$stage/USB_TorvikLoader.exe" "$build/app/win32/USB_TorvikLoader.exe"
"$strip" -o "$stage/torvik-loader.exe" "$build/cli/torvik-loader.exe"

# Only DLLs that every Windows has.
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|shell32|advapi32|ws2_32|msvcrt|ole32|shlwapi|setupapi|winmm)\.dll$'
for exe in "$stage"/*.exe; do
  size=$(stat -c %s "$exe")
  if [ "$size" -gt $((4 * 1024 * 1024)) ]; then
    echo "$exe is $size bytes, more than 4 MB" >&2
    exit 1
  fi
  imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  for dll in $imports; do
    if ! [[ $dll =~ $system_dlls ]]; then
      echo "$exe imports $dll, which is not a Windows system DLL" >&2
      exit 1
    fi
  done
  echo "$(basename "$exe"): $size bytes, imports $(echo $imports | tr ' ' ',')"
done

cat >"$stage/README.txt" <<TXT
Torvik Card Loader $version for Norvale USB SM/Phoenix readers

USB_TorvikLoader.exe   the window: pick the reader's port, Load File, Program.
torvik-loader.exe      the same from a command prompt (torvik-loader --help).

The settings (port, window position, last file) are kept in the registry under
HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader, or under
HKEY_CURRENT_USER with the same path when Windows does not allow the former.
TXT
sed -i 's/$/\r/' "$stage/README.txt"

(cd "$dist" && zip -q -r "TorvikLoader-$version-portable.zip" "TorvikLoader-$version")
# makensis wants absolute paths; TORVIK_DIST_DIR may be either.
absolute_dist=$(cd "$dist" && pwd)
makensis -V2 -DVERSION="$version" -DSOURCE="$absolute_dist/TorvikLoader-$version" \
  -DICON="$root/app/icons/USB_TorvikLoader.ico" \
  -DOUTFILE="$absolute_dist/TorvikLoader-$version-setup.exe" packaging/windows/TorvikLoader.nsi
cp "$stage/USB_TorvikLoader.exe" "$stage/torvik-loader.exe" "$dist/"
echo "== In $dist:"
ls -l "$dist"
