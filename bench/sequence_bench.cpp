// Whole-archive compression on the animated benchmark archives: frames per second of the
// exported call with 1 and 2 workers, and, frame by frame on one thread, the time spent reading,
// processing and compressing, with the reuse of frame 0's partition and strips beside a full
// compression of every frame.
#include "alembic/frame_mesh.h"
#include "alembic/sequence_driver.h"
#include "mesh/compress_mesh.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kArchives[] = {"wave_anim.abc", "wave_topo.abc"};

std::string benchArchive(int64_t which)
{
    return std::string(PELKU_VMQ_SHARED_DIR) + "/fixtures/bench/" + kArchives[which];
}

void BM_SequenceCompress(benchmark::State& state)
{
    const std::string path = benchArchive(state.range(0));
    const uint32_t threads = uint32_t(state.range(1));
    const SequenceSettings settings{};
    uint32_t frames = 0;
    for (auto _ : state) {
        CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, threads, nullptr, nullptr);
        if (!sequence) {
            state.SkipWithError("benchmark archive missing or unreadable");
            return;
        }
        frames = sequence->frameCount;
        Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
    }
    state.SetLabel(std::string(kArchives[state.range(0)]) + ", " + std::to_string(threads) + " worker(s)");
    state.counters["frames_per_s"] = benchmark::Counter(double(frames) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SequenceCompress)->ArgsProduct({{0, 1}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// The frame procedure on one thread with its three stages timed. Range 1: 0 as the sequence
// does it, 1 every frame welded, optimized and compressed from scratch.
void BM_SequenceStages(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    std::ostringstream log;
    const SequenceSettings settings{};
    auto importer = vmq::openArchive(benchArchive(state.range(0)), settings, &log);
    if (importer->frameCount == 0) {
        state.SkipWithError("benchmark archive missing or unreadable");
        return;
    }
    const bool full = state.range(1) == 1;
    double reading = 0, processing = 0, compressing = 0, laterCompressing = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        vmq::FrameSharing sharing;
        vmq::beginFrameSharing(sharing, !full && importer->staticTopology && importer->frameCount > 1, importer->frameCount);
        CompressedMesh* first = nullptr;
        for (uint32_t f = 0; f < importer->frameCount; ++f) {
            const auto t0 = Clock::now();
            vmq::Mesh mesh = vmq::readFrame(*importer, f);
            const auto t1 = Clock::now();
            vmq::PreparedFrame prepared;
            if (full) {
                vmq::applyFrameTransform(mesh, settings.transform);
                vmq::processFrameMesh(mesh, settings, false, nullptr);
                prepared = vmq::PreparedFrame::Alone;
            } else {
                prepared = vmq::prepareFrame(mesh, f, settings, *importer, sharing);
            }
            const auto t2 = Clock::now();
            const bool shared = prepared == vmq::PreparedFrame::Shared && f > 0 && first;
            std::string error;
            CompressedMesh* result = vmq::compressOwnedMesh(std::move(mesh), settings.compression, shared ? first->partition : nullptr,
                                                            shared ? first->topology : nullptr, error);
            const auto t3 = Clock::now();
            reading += std::chrono::duration<double>(t1 - t0).count();
            processing += std::chrono::duration<double>(t2 - t1).count();
            compressing += std::chrono::duration<double>(t3 - t2).count();
            if (f > 0)
                laterCompressing += std::chrono::duration<double>(t3 - t1).count();
            if (f == 0)
                first = result;
            else
                Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
            ++frames;
        }
        Pelku_Vmq_Compression_ReleaseCompressedMesh(first);
    }
    const double total = reading + processing + compressing;
    state.SetLabel(std::string(kArchives[state.range(0)]) + (full ? ", full per frame" : ", as the sequence"));
    state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["read_share"] = reading / total;
    state.counters["process_share"] = processing / total;
    state.counters["compress_share"] = compressing / total;
    // Processing and compression of the frames after the first, per frame.
    const double later = double(frames) - double(state.iterations());
    state.counters["ms_per_later_frame"] = later > 0 ? 1e3 * laterCompressing / later : 0;
}
BENCHMARK(BM_SequenceStages)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
