#!/usr/bin/env bash
# Builds the window program and starts it on the built-in simulated reader.
#
# Com1 is the simulator (TORVIK_COM1, unless already set): a card sits in the
# slot, is taken out 1.5 s after the program first looks at the slot and put
# back 4 s after it has been seen empty, so the "remove" and "insert" prompts
# blink briefly before the card is programmed. The program starts in samples/,
# where the Load File dialog finds demo.tvk.
#
# Without a display it says so and programs the simulated card with the
# command-line program on this terminal instead (tools/run-cli-demo.sh).
#
# Environment: TORVIK_BUILD_DIR (default build/run), TORVIK_JOBS (parallel
# build jobs, default all cores), TORVIK_COM1 (another reader).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TORVIK_BUILD_DIR:-$root/build/run}
jobs=${TORVIK_JOBS:-$(nproc 2>/dev/null || echo 2)}

"$root/tools/install-deps.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
No display: neither DISPLAY nor WAYLAND_DISPLAY is set, so the window cannot be
shown. Programming the simulated card with the command-line program instead.

To see the window on a virtual display (nobody can click in it there, so a
separate tool loads samples/demo.tvk, programs the simulated card on Com1 and
saves a picture of the window by itself):

    cmake -S $root -B $build && cmake --build $build --target torvik_window_screenshot
    xvfb-run -a $build/app/torvik_window_screenshot /tmp/torvik-window.png \\
        $root/samples/demo.tvk

MSG
  exec "$root/tools/run-cli-demo.sh"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVIK_BUILD_TESTS=OFF -DTORVIK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target USB_TorvikLoader

export TORVIK_COM1="${TORVIK_COM1:-sim:card=in,remove=1500,insert=4000}"
cat <<MSG
Starting the Torvik Card Loader with Com1 = $TORVIK_COM1
  1. Pick "Com1" in the Com port list.
  2. Load File: choose demo.tvk (the dialog opens in samples/).
  3. Program: the status field asks for the card to be removed and inserted
     (the simulator does both), then shows the speed search and the progress,
     and "Card successfully programmed." on green.
MSG
cd "$root/samples"
exec "$build/app/USB_TorvikLoader"
