#!/usr/bin/env bash
# Builds and runs every test: a bounded fuzzing run of the archive reader (FUZZ_SECONDS,
# default 60; 0 skips it), the tests in a plain build, then the tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer in a build directory of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"

fuzz_seconds="${FUZZ_SECONDS:-60}"
if [ "$fuzz_seconds" -gt 0 ]; then
  fuzz/run.sh "$fuzz_seconds"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPELKU_VMQ_SANITIZE=ON -DPELKU_VMQ_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")
