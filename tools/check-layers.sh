#!/usr/bin/env bash
# Checks that each folder of the program includes only from itself and the
# folders below it. The order, low to high, is the one the top CMakeLists.txt
# builds the libraries in (TORVIK_LAYERS); cli/ and app/ stand on all of
# them and not on each other. tests/, bench/ and tools/ may use anything.
#
#   bash tools/check-layers.sh
#
# Exit status: 0 when every include goes down or sideways within a folder,
# 1 when one goes up (each listed as FILE:LINE: the include).
set -u -o pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The layers as the top CMakeLists.txt lists them.
layers=$(sed -n -E 's/^set\(TORVIK_LAYERS ([a-z ]+)\).*/\1/p' CMakeLists.txt)
if [ -z "$layers" ]; then
  echo "check-layers: no set(TORVIK_LAYERS ...) line in CMakeLists.txt" >&2
  exit 1
fi
read -r -a order <<<"$layers"
top=${#order[@]}
rank_of() {
  local i
  for i in "${!order[@]}"; do [ "${order[$i]}" = "$1" ] && { echo "$i"; return; }; done
  case "$1" in cli | app) echo "$top" ;; *) echo "" ;; esac
}

bad=0
for folder in "${order[@]}" cli app; do
  [ -d "$folder" ] || continue
  mine=$(rank_of "$folder")
  while IFS=: read -r file line text; do
    used=$(sed -E 's/.*#include "([a-z0-9_]+)\/.*/\1/' <<<"$text")
    rank=$(rank_of "$used")
    [ -z "$rank" ] && continue             # not a folder of the program
    [ "$used" = "$folder" ] && continue
    if [ "$rank" -ge "$mine" ]; then
      echo "$file:$line: $folder/ includes from $used/: $(sed -E 's/^[[:space:]]+//' <<<"$text")"
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include "[a-z0-9_]+/' "$folder" --include='*.h' --include='*.cpp')
done

if [ $bad -ne 0 ]; then
  echo "check-layers: includes that go up a layer (above); order: ${order[*]} < cli, app" >&2
  exit 1
fi
echo "check-layers: every include goes down (${order[*]} < cli, app)"
