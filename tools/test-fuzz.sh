#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# short while on its corpus. A crash, a sanitizer report or a hang fails.
# FUZZ_SECONDS sets the time per target (default 15: about a minute in all);
# FUZZ_BUILD_DIR the build tree (default build/fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-15}
build=${FUZZ_BUILD_DIR:-build/fuzz}
# Undefined behaviour ends the run like a crash, with its stack.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "clang and libclang-rt-14-dev are needed for fuzzing (tools/packages.txt lists them)" >&2
  exit 1
fi
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVIK_FUZZ=ON \
  -DTORVIK_BUILD_APP=OFF -DTORVIK_BUILD_TESTS=OFF -DTORVIK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
total=0
for target in "$build"/tests/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  corpus=tests/fuzz/corpus/$name
  work=$(mktemp -d)
  mkdir "$work/corpus"
  cp -r "$corpus"/. "$work/corpus"/ 2>/dev/null || true
  echo "== fuzzing $name for ${seconds}s"
  log=$work/log
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/" "$work/corpus" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz target $name failed; the input is in $work" >&2
    exit 1
  fi
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  echo "   $name: ${runs:-0} executions"
  total=$((total + ${runs:-0}))
  rm -rf "$work"
done
echo "fuzz: $total executions in all"
