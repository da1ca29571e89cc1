#!/usr/bin/env bash
# Builds the library and the vmq tool, then compresses the built-in sample mesh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vmq
build/vmq sample
