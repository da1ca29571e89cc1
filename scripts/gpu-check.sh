#!/usr/bin/env bash
# Builds the library with its CUDA decoder, runs the CUDA test, then decodes every shared mesh on
# the GPU at three settings, compares every triangle, grid value and float with the host's decode
# bit for bit, and prints the device's rate in G triangles/s. Needs nvcc and a CUDA device.
#   scripts/gpu-check.sh [mesh ...]        (BUILD_DIR, default build-gpu; CUDA_ARCHITECTURES, default 90)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
command -v nvcc >/dev/null || { echo "gpu-check: no nvcc on PATH or in /usr/local/cuda/bin" >&2; exit 1; }
command -v nvidia-smi >/dev/null && nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader

build="${BUILD_DIR:-build-gpu}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKU_VMQ_CUDA=ON \
      -DCMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHITECTURES:-90}" >/dev/null
grep -q '^CMAKE_CUDA_COMPILER:' "$build/CMakeCache.txt" || { echo "gpu-check: CMake found no CUDA toolkit" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target pelku_vmq_tests decode_bench

CI=true "$build/tests/pelku_vmq_tests" --gtest_filter='CudaDecode.*'
"$build/bench/decode_bench" --gpu-check "$@"
