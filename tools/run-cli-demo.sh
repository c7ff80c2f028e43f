#!/usr/bin/env bash
# Builds the command-line program and programs the simulated card with
# samples/demo.tvk on this terminal; no display needed.
#
#   bash tools/run-cli-demo.sh [--network] [torvik-loader options...]
#
# Com1 is the simulated reader (TORVIK_COM1, unless already set): a card sits
# in the slot, is taken out 1.5 s after the program first looks at the slot
# and put back 4 s after it has been seen empty, so the "remove" and "insert"
# prompts show before the card is programmed (about 20 s in all).
# --network serves that simulated reader with rfc2217-sim-server on 127.0.0.1
# and programs it through rfc2217://127.0.0.1:PORT, the way a reader on
# another machine is reached. Further options go to "torvik-loader program"
# (for example --no-verify).
#
# Environment: TORVIK_BUILD_DIR (default build/cli), TORVIK_JOBS (parallel
# build jobs, default all cores), TORVIK_COM1 (another reader).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TORVIK_BUILD_DIR:-$root/build/cli}
jobs=${TORVIK_JOBS:-$(nproc 2>/dev/null || echo 2)}
sim_options="card=in,remove=1500,insert=4000"

network=0
if [ "${1:-}" = "--network" ]; then
  network=1
  shift
fi

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVIK_BUILD_APP=OFF \
  -DTORVIK_BUILD_TESTS=OFF -DTORVIK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target torvik-loader rfc2217-sim-server >/dev/null

if [ "$network" = 1 ]; then
  log=$(mktemp)
  "$build/tools/rfc2217-sim-server/rfc2217-sim-server" --sim "$sim_options" >"$log" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null; rm -f "$log"' EXIT
  for _ in $(seq 100); do
    grep -q 'rfc2217://' "$log" && break
    sleep 0.05
  done
  address=$(grep -o 'rfc2217://[^ ]*' "$log" | head -n1)
  [ -n "$address" ] || { cat "$log" >&2; exit 1; }
  echo "Simulated reader served on $address"
  export TORVIK_COM1="$address"
else
  export TORVIK_COM1="${TORVIK_COM1:-sim:$sim_options}"
fi

echo "Programming $root/samples/demo.tvk through Com1 = $TORVIK_COM1"
status=0
"$build/cli/torvik-loader" program --port 1 "$@" "$root/samples/demo.tvk" || status=$?
exit "$status"
