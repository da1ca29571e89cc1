#!/usr/bin/env bash
# Builds the load test (many threads compressing and decoding at once, two archive compressions
# side by side) under ThreadSanitizer in build-tsan and runs it; exits non-zero on any race or
# wrong result. Not part of scripts/test.sh: the instrumented library takes several minutes to
# build on a small machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKU_VMQ_TSAN=ON -DPELKU_VMQ_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target pelku_vmq_load_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" build-tsan/tests/pelku_vmq_load_tests
