// Archive reading throughput: every sample of every property of the animated benchmark archive,
// beside a plain sequential read of the same file.
#include "alembic/archive/archive_reader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string benchArchive() { return std::string(PELKU_VMQ_SHARED_DIR) + "/fixtures/bench/wave_anim.abc"; }

void BM_ArchiveOpen(benchmark::State& state)
{
    for (auto _ : state) {
        auto archive = vmq::abc::Archive::open(benchArchive());
        benchmark::DoNotOptimize(archive->properties().size());
    }
}
BENCHMARK(BM_ArchiveOpen)->Unit(benchmark::kMillisecond);

// Copies each sample into one reused buffer, as a reader of frames would.
void BM_ArchiveReadAllSamples(benchmark::State& state)
{
    auto archive = vmq::abc::Archive::open(benchArchive());
    std::vector<uint8_t> buffer;
    int64_t bytes = 0;
    for (auto _ : state) {
        for (uint32_t p = 0; p < archive->properties().size(); ++p) {
            const vmq::abc::PropertyHeader& h = archive->header(p);
            if (h.kind == vmq::abc::PropertyKind::Compound)
                continue;
            for (uint32_t i = 0; i < h.sampleCount; ++i) {
                const vmq::abc::Sample sample = archive->readSample(p, i);
                vmq::abc::copyValues(sample, buffer);
                benchmark::DoNotOptimize(buffer.data());
                bytes += int64_t(sample.values.size);
            }
        }
    }
    state.SetBytesProcessed(bytes);
    state.counters["sample_MB"] = double(bytes) / double(state.iterations()) / 1e6;
}
BENCHMARK(BM_ArchiveReadAllSamples)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SequentialFileRead(benchmark::State& state)
{
    std::vector<uint8_t> buffer(1 << 20);
    int64_t bytes = 0;
    for (auto _ : state) {
        FILE* f = std::fopen(benchArchive().c_str(), "rb");
        if (!f) {
            state.SkipWithError("benchmark archive missing");
            return;
        }
        for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;) {
            benchmark::DoNotOptimize(buffer.data());
            bytes += int64_t(n);
        }
        std::fclose(f);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_SequentialFileRead)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
