#!/usr/bin/env bash
# The Windows build, checked on a Linux host: cross-builds the Qt-free core
# (port, registry and shell layers, simulator, serial channel, reader control,
# card programming) and its tests for 64-bit Windows with mingw-w64, and runs
# the tests under Wine:
#   - core_tests: the whole core test suite, on the simulator;
#   - win32_tests: the registry layer against Wine's registry, the shell
#     layer, the device-name rule, and the Win32 port layer on COM5 and COM12,
#     which Wine maps onto a pseudo-terminal whose far end echoes every byte.
#
# Installs what it needs from tools/packages-windows.txt (root or sudo), works
# in a throw-away Wine prefix, and leaves nothing running. Non-interactive and
# idempotent; needs no display.
#
# Environment:
#   TORVIK_MINGW_BUILD_DIR   build tree (default: build/mingw)
#   TORVIK_SKIP_WINDOWS=1    do nothing (for machines without Wine)
#   JOBS                     parallel build jobs (default: 2)
set -euo pipefail

if [ "${TORVIK_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "Windows cross build skipped (TORVIK_SKIP_WINDOWS=1)"
  exit 0
fi

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${TORVIK_MINGW_BUILD_DIR:-build/mingw}
jobs=${JOBS:-2}

# --- Packages -----------------------------------------------------------------
tools/install-deps.sh tools/packages-windows.txt

# --- Cross build ----------------------------------------------------------------
echo "== Windows cross build (mingw-w64) in $build"
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVIK_BUILD_APP=OFF -DTORVIK_BUILD_BENCH=OFF -DTORVIK_WERROR=ON
cmake --build "$build" -j"$jobs"

# The far end of the test COM ports runs on this host.
peer_bin="$build/host/pty_echo_peer"
mkdir -p "$build/host"
g++ -std=c++17 -O1 -Wall -Wextra -Wpedantic -o "$peer_bin" tests/win32/host/pty_echo_peer.cpp

# --- Wine -------------------------------------------------------------------------
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/torvik-wine.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers at prefix creation, no display needed.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine_log="$build/wine.log"
: >"$wine_log"

wine_bin=$(command -v wine64 || command -v wine || true)
wineserver_bin=$(command -v wineserver || true)
[ -n "$wine_bin" ] && [ -n "$wineserver_bin" ] || { echo "Wine is not installed"; exit 1; }

peer_pid=
cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  WINEPREFIX="$WINEPREFIX" "$wineserver_bin" -k >>"$wine_log" 2>&1 || true
  WINEPREFIX="$WINEPREFIX" "$wineserver_bin" -w >>"$wine_log" 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== Preparing a Wine prefix in $WINEPREFIX"
# One server for the whole run keeps every test program's start short; its
# own diagnostics go to the log, not the test output.
"$wineserver_bin" -p 600 >>"$wine_log" 2>&1 </dev/null
timeout 300 "$wine_bin" wineboot -i >>"$wine_log" 2>&1 </dev/null || { echo "wineboot failed; see $wine_log"; exit 1; }

# COM5 and COM12 (the two device-name forms) lead to one pseudo-terminal.
echo_ports=
"$peer_bin" 900 "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com12" >"$build/host/peer.out" 2>&1 &
peer_pid=$!
for _ in $(seq 50); do
  grep -q '^ready' "$build/host/peer.out" 2>/dev/null && break
  sleep 0.1
done
if grep -q '^ready' "$build/host/peer.out"; then
  echo_ports="5 12"
  echo "COM5 and COM12 -> $(sed -n 's/^ready //p' "$build/host/peer.out") (echoing)"
else
  echo "No pseudo-terminal for the COM port tests; they will be skipped:"
  cat "$build/host/peer.out"
fi
export TORVIK_TEST_ECHO_PORTS="$echo_ports"

echo "== Tests under Wine"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
