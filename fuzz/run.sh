#!/usr/bin/env bash
# Builds the archive reader's libFuzzer target with clang (address and undefined-behaviour
# sanitizers) and runs it for a bounded time, seeded from the shared archive fixtures.
#   fuzz/run.sh [seconds]     default 60; exits non-zero on any finding (crash, hang, leak)
# Environment: CXX (default clang++), PELKU_VMQ_SHARED_DIR (default ../shared beside the
# repository), FUZZ_JOBS (parallel fuzzing processes, default 1), FUZZ_BUILD (build folder).
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
shared="${PELKU_VMQ_SHARED_DIR:-$root/../shared}"
build="${FUZZ_BUILD:-$root/build-fuzz}"
cxx="${CXX:-clang++}"
jobs="${FUZZ_JOBS:-1}"

mkdir -p "$build/corpus" "$build/findings"
imath_flags="$(pkg-config --cflags --libs Imath 2>/dev/null || echo "-I/usr/include/Imath -lImath-3_1")"

sources=("$root"/src/alembic/archive/*.cpp "$root/tools/archive_dump.cpp" "$root/fuzz/archive_fuzz.cpp")
binary="$build/archive_fuzz"
if [[ ! -x "$binary" ]] || [[ -n "$(find "${sources[@]}" "$root"/src/alembic/archive/*.h "$root/tools/archive_dump.h" -newer "$binary" 2>/dev/null)" ]]; then
    echo "building $binary"
    "$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=undefined -I"$root/src" -I"$root/include" -I"$root/tools" "${sources[@]}" \
        $imath_flags -o "$binary"
fi

seeds=()
for dir in fixtures/abc fixtures/abc-format fixtures/abc-malformed fixtures/abc-hdf5; do
    [[ -d "$shared/$dir" ]] && seeds+=("$shared/$dir")
done
if [[ ${#seeds[@]} -eq 0 ]]; then
    echo "warning: no seed fixtures under $shared; fuzzing from an empty corpus" >&2
fi

# New inputs go to the first corpus folder; the fixture folders are only read. Several jobs
# write their logs (fuzz-N.log) into the build folder.
parallel=()
if [[ "$jobs" -gt 1 ]]; then
    parallel=(-jobs="$jobs" -workers="$jobs")
fi
cd "$build"
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=262144 \
    "${parallel[@]}" -print_final_stats=1 \
    -artifact_prefix="$build/findings/" "$build/corpus" "${seeds[@]}"
