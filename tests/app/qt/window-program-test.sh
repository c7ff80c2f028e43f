#!/bin/sh
# USB_TorvikLoader as a user starts it. Without a display (none named, or one
# that cannot be reached) it says so, naming the command-line program, and
# exits with status 1 instead of the toolkit's abort. On a platform named
# explicitly (offscreen) it starts without a display, and SIGTERM, as a
# desktop session ends its programs, stops it with status 0 and its settings
# stored.
set -u
exe=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*"
  cat "$scratch/err" 2>/dev/null
  exit 1
}

env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$exe" >"$scratch/out" 2>"$scratch/err"
status=$?
[ "$status" -eq 1 ] || fail "no display: exit status $status"
[ ! -s "$scratch/out" ] || fail "no display: something on standard output"
[ "$(wc -l <"$scratch/err")" -eq 1 ] || fail "no display: not one line"
grep -q 'DISPLAY nor WAYLAND_DISPLAY is set.*torvik-loader' "$scratch/err" || fail "no display: the line"

env -u WAYLAND_DISPLAY DISPLAY=:1999 QT_QPA_PLATFORM= "$exe" >"$scratch/out" 2>"$scratch/err"
status=$?
[ "$status" -eq 1 ] || fail "unreachable display: exit status $status"
tail -n 1 "$scratch/err" | grep -q 'no display could be opened (DISPLAY=:1999.*torvik-loader' ||
  fail "unreachable display: the last line"

mkdir -m 700 "$scratch/runtime"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch/config" \
  XDG_RUNTIME_DIR="$scratch/runtime" "$exe" >"$scratch/out" 2>"$scratch/err" &
pid=$!
sleep 1
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "SIGTERM: exit status $status"
grep -q '^"Xpos"=dword:' "$scratch/config/Velmar_Software/USB_TorvikLoader.reg" || fail "SIGTERM: settings not stored"
echo "window program: no display, unreachable display and SIGTERM as expected"
