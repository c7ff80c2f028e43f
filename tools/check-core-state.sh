#!/usr/bin/env bash
# Lists the mutable objects of the core that live for the whole process:
# namespace-scope variables, static data members and function-local statics
# of serial/, reader/, programming/, platform/, devices/, network/ and
# simulator/. A run's state belongs to the run's objects (one link per reader),
# so the list must be empty; constants are fine.
#
#   bash tools/check-core-state.sh BUILD_DIR
#
# Reads the folders' libraries (libtorvik_<folder>.a), or without them the
# object files the build made for those folders, and lists every symbol in a
# writable data section (.bss, .data, thread-local .tbss/.tdata;
# not .data.rel.ro, which the loader makes read-only, nor .rodata). A
# namespace-scope `const std::string` counts too: it is built at start-up in
# writable memory; write such constants as character arrays. The compiler's
# own entries (exception personality references) are left out.
#
# Environment: NM (default nm; x86_64-w64-mingw32-nm reads a Windows cross
# build's objects).
# Exit status: 0 when nothing is found, 1 when something is (listed on
# stdout), 2 when the build holds no object files of the core.
set -u -o pipefail

build=${1:?usage: check-core-state.sh BUILD_DIR}
nm=${NM:-nm}
folders='platform|network|simulator|devices|serial|reader|programming'

# The core's libraries, one per folder; they hold exactly what the last build
# put in them, where an object file of a source since removed may linger.
mapfile -t objects < <(find "$build" -name 'libtorvik_*.a' 2>/dev/null |
  grep -E "/libtorvik_($folders)\.a$" | sort)
# Without them, the object files: in a library of one folder
# (torvik_<folder>.dir), or in a library of several under the folder's path.
if [ ${#objects[@]} -eq 0 ]; then
  mapfile -t objects < <(find "$build" \( -name '*.o' -o -name '*.obj' \) -path '*/CMakeFiles/*' 2>/dev/null |
    grep -E "/CMakeFiles/torvik_($folders)\.dir/|/CMakeFiles/torvik_core\.dir/($folders)/" | sort)
fi
if [ ${#objects[@]} -eq 0 ]; then
  echo "check-core-state: no libraries or object files of the core under $build" >&2
  exit 2
fi

found=0
for object in "${objects[@]}"; do
  # nm's System V form names each symbol's section: NAME|VALUE|CLASS|TYPE|SIZE|LINE|SECTION;
  # in a library each member's symbols follow a line "Symbols from LIB[MEMBER]:".
  hits=$("$nm" -C --defined-only --format=sysv "$object" 2>/dev/null |
    awk -F'|' '/^Symbols from .*\[.*\]:$/ { member = $0; sub(/^.*\[/, "", member); sub(/\]:$/, "", member); next }
         NF >= 7 {
           name = $1; sub(/[ \t]+$/, "", name); section = $NF; gsub(/[ \t]/, "", section)
           if (section !~ /^\.(bss|data|tbss|tdata)/ || section ~ /^\.data\.rel\.ro/) next
           if (name ~ /^DW\.ref\.|^guard variable for |^\./) next
           print (member == "" ? "" : member ": ") section "  " name }')
  [ -z "$hits" ] && continue
  found=1
  name=${object#"$build"/}
  while IFS= read -r line; do echo "$name: $line"; done <<<"$hits"
done

if [ $found -ne 0 ]; then
  echo "check-core-state: the core holds process-wide mutable objects (listed above);" \
       "give them to the run's objects instead" >&2
  exit 1
fi
echo "check-core-state: no process-wide mutable objects in ${#objects[@]} libraries or object files of the core"
