#!/usr/bin/env bash
# Builds and runs every test: a bounded fuzzing run of every fuzz target (FUZZ_SECONDS per
# target, default 25; 0 skips it), the tests in a plain build, then the tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer (with LeakSanitizer) in a build directory of
# their own. The ThreadSanitizer run of the load test is scripts/tsan.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"

fuzz_seconds="${FUZZ_SECONDS:-25}"
if [ "$fuzz_seconds" -gt 0 ]; then
  fuzz/run.sh "$fuzz_seconds"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPELKU_VMQ_SANITIZE=ON -DPELKU_VMQ_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")
