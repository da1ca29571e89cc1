#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a bounded time, seeded from the shared archive fixtures and from seeds the
# targets write themselves.
#   fuzz/run.sh [seconds] [target ...]   seconds per target (default 60; 0 only builds); targets
#                                        default to all: archive compress decode container sequence
# Exits non-zero on the first finding (crash, wrong answer, hang, leak, out-of-memory); the input
# lands in build-fuzz/findings/<target>/. Environment: PELKU_VMQ_SHARED_DIR (default ../shared
# beside the repository), FUZZ_JOBS (parallel fuzzing processes per target, default 1),
# FUZZ_BUILD (build folder, default build-fuzz).
set -euo pipefail

seconds="${1:-60}"
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(archive compress decode container sequence)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
shared="${PELKU_VMQ_SHARED_DIR:-$root/../shared}"
build="${FUZZ_BUILD:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-1}"

# -O1: most of the speed of -O2 for the fuzzing, in much less building time.
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DPELKU_VMQ_FUZZ=ON -DPELKU_VMQ_TESTS=OFF -DPELKU_VMQ_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
[[ "$seconds" -eq 0 ]] && exit 0

# Archive targets start from the shared fixtures, the others from seeds they write.
archive_seeds=()
for dir in fixtures/abc fixtures/abc-format fixtures/abc-malformed fixtures/abc-hdf5; do
    [[ -d "$shared/$dir" ]] && archive_seeds+=("$shared/$dir")
done
if [[ ${#archive_seeds[@]} -eq 0 ]]; then
    echo "warning: no archive fixtures under $shared; the archive targets start from an empty corpus" >&2
fi

parallel=()
[[ "$jobs" -gt 1 ]] && parallel=(-jobs="$jobs" -workers="$jobs")
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target" findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    seeds=()
    case "$target" in
        archive|sequence) seeds=("${archive_seeds[@]}") ;;
    esac
    echo "fuzzing $target for ${seconds}s"
    # New inputs go to the corpus folder; the fixture folders are only read. Several jobs write
    # their logs (fuzz-N.log) into the build folder.
    (cd "$build" && PELKU_VMQ_FUZZ_SEEDS="$corpus" "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2560 -max_len=262144 "${parallel[@]}" -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "${seeds[@]}")
done
