#!/usr/bin/env bash
# Mutation check of the protocol code: applies each single-point change listed
# in tools/mutants.txt to a scratch copy of the tree, rebuilds the core's test
# programs there (the core_tests target: tests/<folder> of each layer) and runs
# them. A change that no test catches "survives".
#
#   bash tools/mutants.sh [LIST]
#
# Each line of LIST (default tools/mutants.txt) is
#   FILE @@ LINE PATTERN @@ SED EXPRESSION @@ DESCRIPTION
# The pattern is a fixed string that must match exactly one line of FILE; the
# sed expression (for example s/500/300/) is applied to that line only and must
# change it. A pattern that matches no line or several, an expression that
# changes nothing, or a change that does not compile is an error of the list,
# reported as such: re-anchor the line rather than drop it.
#
# Environment: MUTANTS_DIR (scratch copy and build, default build/mutants),
# MUTANTS_TIMEOUT (seconds per test program, default 120; a run that times out
# counts as caught), MUTANTS_JOBS (build jobs, default 2), MUTANTS_ONLY (an
# extended regular expression: only lines matching it are tried).
#
# Exit status: 0 when every change was caught, 1 when any survived or the list
# has errors, 2 when the unchanged tree does not build or pass.
set -u -o pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=${1:-$root/tools/mutants.txt}
work=${MUTANTS_DIR:-$root/build/mutants}
limit=${MUTANTS_TIMEOUT:-120}
jobs=${MUTANTS_JOBS:-2}
only=${MUTANTS_ONLY:-}
src=$work/src
bld=$work/build
log=$work/log
saved=$work/saved

[ -r "$list" ] || { echo "mutants: cannot read $list" >&2; exit 2; }
case "$list" in /*) ;; *) list=$PWD/$list ;; esac
mkdir -p "$src" "$log"

# The scratch copy: every file of the tree that git tracks or would track,
# and nothing else (a file since removed or renamed must not linger there).
# tar keeps the files' times, so the build there redoes only what changed.
rm -rf "$src" && mkdir -p "$src"
(cd "$root" && git ls-files -z -co --exclude-standard) |
    (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$src" ||
    { echo "mutants: cannot copy the tree to $src" >&2; exit 2; }

# Files named in the list get a fresh time, so that an object left over from
# an interrupted run is rebuilt from the unchanged source.
grep -v '^[[:space:]]*\(#\|$\)' "$list" | sed 's/ @@ .*//' | sort -u | while read -r f; do
    [ -f "$src/$f" ] && touch "$src/$f"
done

build() { cmake --build "$bld" --target core_tests -j"$jobs" >"$1" 2>&1; }
# Each program in a subshell of its own, so that a crash is reported to the
# log only; the first that fails ends the run. The build lists the programs.
run_tests() {
    local program
    : >"$1"
    while IFS= read -r program; do
        (timeout "$limit" "$program" --gtest_brief=1 >>"$1" 2>&1; exit $?) 2>/dev/null || return 1
    done <"$bld/tests/core_tests.txt"
}

# ccache speeds up the rebuilds when it is there; a machine without it builds
# without.
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$bld/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$bld" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVIK_WERROR=OFF \
        -DTORVIK_BUILD_APP=OFF -DTORVIK_BUILD_BENCH=OFF "${launcher[@]}" \
        >"$log/configure.txt" 2>&1 || { echo "mutants: configure failed, see $log/configure.txt" >&2; exit 2; }
fi
echo "mutants: building and running the unchanged tests"
build "$log/baseline-build.txt" || { echo "mutants: the unchanged tree does not build ($log/baseline-build.txt)" >&2; exit 2; }
run_tests "$log/baseline-run.txt" || { echo "mutants: the unchanged tests fail ($log/baseline-run.txt)" >&2; exit 2; }

current=""
restore() {
    # A new time stamp, so that the next build recompiles the restored file.
    if [ -n "$current" ]; then cat "$saved" >"$src/$current"; current=""; fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

total=0 caught=0
survivors=() errors=()
n=0
while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    [ -n "$only" ] && ! [[ "$line" =~ $only ]] && continue
    rest=$line
    file=${rest%% @@ *}; rest=${rest#* @@ }
    pattern=${rest%% @@ *}; rest=${rest#* @@ }
    expr=${rest%% @@ *}; what=${rest#* @@ }
    if [ "$what" = "$rest" ] || [ -z "$file" ] || [ -z "$pattern" ] || [ -z "$expr" ]; then
        errors+=("line $n: not FILE @@ PATTERN @@ SED @@ DESCRIPTION")
        continue
    fi
    total=$((total + 1))
    label="#$n $file: $what"
    if [ ! -f "$src/$file" ]; then
        errors+=("$label: no such file")
        continue
    fi
    matches=$(grep -nF -- "$pattern" "$src/$file" | cut -d: -f1)
    count=$(printf '%s' "$matches" | grep -c .)
    if [ "$count" -ne 1 ]; then
        errors+=("$label: the pattern matches $count lines: $pattern")
        continue
    fi

    cp "$src/$file" "$saved"
    current=$file
    if ! sed -i "${matches}${expr}" "$src/$file" 2>"$log/sed.txt"; then
        errors+=("$label: sed failed: $(cat "$log/sed.txt")")
        restore
        continue
    fi
    if cmp -s "$saved" "$src/$file"; then
        errors+=("$label: the expression changes nothing: $expr")
        restore
        continue
    fi
    printf 'mutants: %-75s ' "$label"
    if ! build "$log/build.txt"; then
        echo "DOES NOT COMPILE"
        cp "$log/build.txt" "$log/mutant-$n-build.txt"
        errors+=("$label: does not compile ($log/mutant-$n-build.txt)")
        restore
        continue
    fi
    if run_tests "$log/run.txt"; then
        echo "SURVIVED"
        survivors+=("$label ($expr on: $pattern)")
    else
        echo "caught"
        caught=$((caught + 1))
    fi
    restore
done <"$list"

# Leave the scratch build matching the unchanged tree.
build "$log/final-build.txt" >/dev/null 2>&1

echo
echo "mutants: $total changes, $caught caught, ${#survivors[@]} survived, ${#errors[@]} list errors"
for s in "${survivors[@]}"; do echo "  survived: $s"; done
for e in "${errors[@]}"; do echo "  error: $e"; done
[ ${#survivors[@]} -eq 0 ] && [ ${#errors[@]} -eq 0 ]
