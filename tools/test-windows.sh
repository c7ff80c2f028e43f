#!/usr/bin/env bash
# The Windows build, checked on a Linux host: cross-builds the core, the
# Win32 window program and their tests for 64-bit Windows with mingw-w64, and
# runs them under Wine on a virtual X display (Xvfb):
#   - the core's libraries hold no process-wide mutable objects
#     (tools/check-core-state.sh with the cross build's nm);
#   - the core's test programs (core_tests: tests/<folder> of each layer),
#     on the simulator;
#   - app_tests: the window logic on an in-memory window;
#   - platform_win32_tests: the registry layer against Wine's registry, the
#     shell layer, the device-name rule and the Win32 port layer on COM5 and
#     COM12, which Wine maps onto a pseudo-terminal whose far end echoes every
#     byte;
#   - app_win32_tests: the Win32 window's wiring and the program's resources;
#   - one end-to-end run of USB_TorvikLoader.exe on the simulated reader,
#     driven from outside by torvik_window_driver.exe with real key presses
#     and clicks (SendInput): the window appears (within 3 s) with the focus
#     on Load File, Enter there opens the open dialog and a card image with a
#     non-ASCII name is loaded, the port is chosen with Up and Down, Program
#     ends in "Card successfully programmed." on green with the focus back on
#     Program, Tab and Space then work without a mouse click, closing stores
#     the five values in the registry and a restart shows them, an end of
#     session (logoff) stores a new port and position and ends the program;
#   - torvik-loader.exe programs the simulated card from an image named with
#     a non-ASCII character;
#   - the installer (tools/package-windows.sh) installed and uninstalled
#     silently: files, Start-menu shortcut and uninstall entry come and go.
#
# Installs what it needs from tools/packages-windows.txt (root or sudo), works
# in a throw-away Wine prefix on a display of its own, and leaves nothing
# running. Non-interactive and idempotent.
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
  -DTORVIK_BUILD_APP=ON -DTORVIK_BUILD_BENCH=OFF -DTORVIK_WERROR=ON
cmake --build "$build" -j"$jobs"

# The Windows build of the core holds no process-wide mutable objects either.
NM=x86_64-w64-mingw32-nm bash tools/check-core-state.sh "$build"

# The far end of the test COM ports runs on this host.
peer_bin="$build/host/pty_echo_peer"
mkdir -p "$build/host"
g++ -std=c++17 -O1 -Wall -Wextra -Wpedantic -o "$peer_bin" tests/platform/win32/host/pty_echo_peer.cpp

# --- Wine -------------------------------------------------------------------------
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/torvik-wine.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers at prefix creation.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset WAYLAND_DISPLAY
wine_log="$build/wine.log"
: >"$wine_log"

wine_bin=$(command -v wine64 || command -v wine || true)
wineserver_bin=$(command -v wineserver || true)
[ -n "$wine_bin" ] && [ -n "$wineserver_bin" ] || { echo "Wine is not installed"; exit 1; }

peer_pid=
xvfb_pid=
app_pid=
holder_pid=
cleanup() {
  for pid in $app_pid $holder_pid $peer_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  WINEPREFIX="$WINEPREFIX" "$wineserver_bin" -k >>"$wine_log" 2>&1 || true
  WINEPREFIX="$WINEPREFIX" "$wineserver_bin" -w >>"$wine_log" 2>&1 || true
  rm -rf "$WINEPREFIX"
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# A virtual display of its own for the windows (the first free number).
display_file="$build/host/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >>"$wine_log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
[ -s "$display_file" ] || { echo "Xvfb did not start; see $wine_log"; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"
echo "Virtual display $DISPLAY"

echo "== Preparing a Wine prefix in $WINEPREFIX"
# One server for the whole run keeps every test program's start short; its
# own diagnostics go to the log, not the test output.
"$wineserver_bin" -p 600 >>"$wine_log" 2>&1 </dev/null
timeout 300 "$wine_bin" wineboot -i >>"$wine_log" 2>&1 </dev/null || { echo "wineboot failed; see $wine_log"; exit 1; }

# Wine starts its desktop process for the first program that needs one, and
# ends it when the last window is gone; started from a test, it would hold
# the test's output open for ctest. One hidden window keeps it up throughout.
"$wine_bin" "$build/tests/torvik_window_driver.exe" hold 1800 >>"$wine_log" 2>&1 </dev/null &
holder_pid=$!

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

# --- The window program end to end --------------------------------------------
echo "== USB_TorvikLoader.exe under Wine, driven from outside"
app_exe="$build/app/win32/USB_TorvikLoader.exe"
driver() { "$wine_bin" "$build/tests/torvik_window_driver.exe" "$@" 2>>"$wine_log" | tr -d '\r'; }
fail() { echo "FAILED: $*"; exit 1; }
start_app() {
  TORVIK_COM1="sim:card=out,insert=300" "$wine_bin" "$app_exe" >>"$wine_log" 2>&1 &
  app_pid=$!
}
stop_app() {
  driver close 10000 >/dev/null || fail "the window did not close"
  wait "$app_pid" 2>/dev/null || true
  app_pid=
}
cards="$WINEPREFIX/drive_c/cards"
mkdir -p "$cards"
card_name=$'k\xc3\xa4rt.tvk'
head -c 3000 /dev/urandom >"$cards/$card_name"

# The window's state lines that must all be there (within 3 s: the window
# takes in the keys it was sent at its own pace).
expect_state() {
  local what=$1 state line missing
  shift
  for _ in $(seq 30); do
    state=$(driver state)
    missing=
    for line in "$@"; do
      grep -qxF "$line" <<<"$state" || missing=$line
    done
    [ -z "$missing" ] && return 0
    sleep 0.1
  done
  fail "$what: $missing expected: $state"
}
settings='HKLM\Software\Velmar_Software\USB_TorvikLoader'
stored_settings() {
  "$wine_bin" reg export "$settings" "C:\\settings.reg" /y >>"$wine_log" 2>&1 || fail "no settings stored"
  iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/drive_c/settings.reg" | tr -d '\r'
}

start_app
shown=$(driver wait 3000) || fail "window not shown within 3 s"
echo "  $shown"
expect_state "at start" 'caption=Torvik Card Loader for Norvale USB SM/Phoenix V1.1' focus=Load
loaded=$(driver load "C:\\cards\\$card_name") || fail "load: $loaded"
[ "$loaded" = "$card_name loaded." ] || fail "after loading: $loaded"
expect_state "after the open dialog" focus=Load
echo "  Enter on Load File: $loaded"
result=$(driver program 1 120000) || fail "program: $result"
[ "$result" = "Card successfully programmed." ] || fail "after Program: $result"
colour=$(driver pixel)
[ "$colour" = "00FF00" ] || fail "status background after success: $colour"
echo "  $result (background $colour)"
expect_state "after the run" focus=Program
driver keys tab tab tab space || fail "keys"
expect_state "Tab, Tab, Tab, Space after the run" focus=VerifyCheckBox verify=0
driver keys space || fail "keys"
expect_state "Space again" verify=1
echo "  after the run Tab and Space work without a mouse click"
driver move 123 77 >/dev/null || fail "move"
stop_app

stored=$(stored_settings)
for line in '"Version"=dword:0000000a' '"ComPort"=dword:00000000' '"Xpos"=dword:0000007b' \
            '"Ypos"=dword:0000004d' "\"LastFile\"=\"C:\\\\cards\\\\$card_name\""; do
  grep -qxF "$line" <<<"$stored" || fail "stored settings lack $line: $stored"
done
echo "  closing stored the five values"

start_app
driver wait 3000 >/dev/null || fail "window not shown after the restart"
expect_state "after the restart" port=0 portText=Com1 left=123 top=77
echo "  a restart shows them"

# The session ends (logoff) after the user chose Com5 and moved the window.
driver port 5 || fail "choosing Com5"
driver move 200 100 >/dev/null || fail "move"
answer=$(driver endsession)
[ "$answer" = "query=1" ] || fail "the end of the session was refused: $answer"
for _ in $(seq 100); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then fail "the program did not end with the session"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=
stored=$(stored_settings)
for line in '"ComPort"=dword:00000004' '"Xpos"=dword:000000c8' '"Ypos"=dword:00000064'; do
  grep -qxF "$line" <<<"$stored" || fail "the end of the session did not store $line: $stored"
done
echo "  an end of session stores the port and position and ends the program"

# torvik-loader.exe reads its arguments in UTF-16.
cli_out=$("$wine_bin" "$build/cli/torvik-loader.exe" program --device 'sim:card=out,insert=300' \
          "C:\\cards\\$card_name" 2>>"$wine_log" | tr -d '\r') || fail "torvik-loader with $card_name: $cli_out"
grep -qF "Image C:\\cards\\$card_name: 3000 bytes," <<<"$cli_out" || fail "torvik-loader's image: $cli_out"
grep -q '^Card successfully programmed\.' <<<"$cli_out" || fail "torvik-loader's run: $cli_out"
echo "  torvik-loader.exe programs C:\\cards\\$card_name"

# At 150 % (144 pixels per inch) the 96-DPI layout is scaled, not blurred.
"$wine_bin" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >>"$wine_log" 2>&1
start_app
driver wait 3000 >/dev/null || fail "window not shown at 144 DPI"
state=$(driver state)
grep -qx 'client=567x233' <<<"$state" || fail "client area at 144 DPI: $state"
stop_app
"$wine_bin" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >>"$wine_log" 2>&1
echo "  at 144 DPI the client area is 567 x 233 (378 x 155 scaled)"

# --- The installer ----------------------------------------------------------------
echo "== Installer: silent install and uninstall under Wine"
TORVIK_DIST_DIR="$build/dist" JOBS="$jobs" tools/package-windows.sh | grep -E 'bytes, imports|setup|portable'
installed="$WINEPREFIX/drive_c/Program Files/Torvik Card Loader"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Torvik Card Loader.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\USB_TorvikLoader'
"$wine_bin" "$build/dist/TorvikLoader-1.1-setup.exe" /S >>"$wine_log" 2>&1 || fail "installer"
for f in USB_TorvikLoader.exe torvik-loader.exe Uninstall.exe README.txt; do
  [ -f "$installed/$f" ] || fail "not installed: $f"
done
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
"$wine_bin" reg query "$uninstall_key" >>"$wine_log" 2>&1 || fail "no uninstall entry"
echo "  installed: files, shortcut and uninstall entry present"
# The uninstaller copies itself away and returns at once: wait for it.
"$wine_bin" "C:\\Program Files\\Torvik Card Loader\\Uninstall.exe" /S >>"$wine_log" 2>&1 || fail "uninstaller"
for _ in $(seq 100); do
  [ -e "$installed" ] || break
  sleep 0.2
done
[ ! -e "$installed" ] || fail "files left after uninstalling: $(ls "$installed")"
[ ! -e "$shortcut" ] || fail "shortcut left after uninstalling"
if "$wine_bin" reg query "$uninstall_key" >>"$wine_log" 2>&1; then fail "uninstall entry left"; fi
echo "  uninstalled: all three gone"
echo "== Windows checks passed"
