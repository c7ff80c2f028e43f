#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   1. a Release build with warnings as errors, all tests (the Debian package
#      among them, made from this tree) and a short benchmark;
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. further suites that exist (Windows cross build under Wine, fuzzing).
# Build trees live in build/ at the top of the checkout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

tools/install-deps.sh

export QT_QPA_PLATFORM=offscreen

echo "== Release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTORVIK_WERROR=ON
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs" --timeout 600

if [ -x build/release/bench/torvik_bench ]; then
  echo "== Benchmark (figures only; targets are read by people, not asserted)"
  build/release/bench/torvik_bench --benchmark_filter=-BM_LineOfReaders
  # A line of 1, 4 and 16 simulated readers in real time: about 2.5 minutes.
  build/release/bench/torvik_bench --benchmark_filter=BM_LineOfReaders
fi

echo "== Sanitizer build (ASan + UBSan)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTORVIK_SANITIZE=ON -DTORVIK_BUILD_BENCH=OFF -DTORVIK_WERROR=ON
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 900

for extra in tools/test-windows.sh tools/test-fuzz.sh; do
  if [ -x "$extra" ]; then
    echo "== $extra"
    "$extra"
  fi
done

echo "== All tests passed"
