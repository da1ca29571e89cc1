// Importer throughput on the animated benchmark archives: frames per second of readFrame, beside
// the archive layer alone reading (and copying once) the samples that a frame read touches.
#include "alembic/alembic_importer.h"
#include "alembic/archive/geometry_schemas.h"
#include "alembic/frame_mesh.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kArchives[] = {"wave_anim.abc", "wave_topo.abc"};

std::string benchArchive(int64_t which)
{
    return std::string(PELKU_VMQ_SHARED_DIR) + "/fixtures/bench/" + kArchives[which];
}

std::unique_ptr<vmq::AlembicImporter> openQuietly(const std::string& path, std::ostringstream& log)
{
    return vmq::openArchive(path, SequenceSettings{}, &log);
}

void BM_ImporterReadFrame(benchmark::State& state)
{
    std::ostringstream log;
    auto importer = openQuietly(benchArchive(state.range(0)), log);
    if (importer->frameCount == 0) {
        state.SkipWithError("benchmark archive missing or unreadable");
        return;
    }
    uint32_t frame = 0;
    int64_t triangles = 0;
    for (auto _ : state) {
        const vmq::Mesh mesh = vmq::readFrame(*importer, frame);
        triangles += int64_t(mesh.triangles.size());
        benchmark::DoNotOptimize(mesh.triangles.data());
        frame = (frame + 1) % importer->frameCount;
    }
    state.SetLabel(kArchives[state.range(0)]);
    state.counters["frames_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["triangles_per_frame"] = double(triangles) / double(state.iterations());
}
BENCHMARK(BM_ImporterReadFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The samples readFrame reads for one frame of each mesh, copied once into reused buffers.
void BM_ArchiveReadFrameSamples(benchmark::State& state)
{
    std::ostringstream log;
    auto importer = openQuietly(benchArchive(state.range(0)), log);
    if (importer->frameCount == 0) {
        state.SkipWithError("benchmark archive missing or unreadable");
        return;
    }
    const vmq::abc::Archive& archive = *importer->archive;
    std::vector<uint32_t> properties;
    for (const vmq::MeshEntry& mesh : importer->meshes) {
        const vmq::abc::PolyMeshSchema& s = mesh.schema;
        for (uint32_t p : {s.positions, s.faceIndices, s.faceCounts, s.velocities, s.uvs.values, s.uvs.indices,
                           s.normals.values, s.normals.indices})
            if (p != vmq::abc::kNoIndex && archive.header(p).sampleCount > 0)
                properties.push_back(p);
    }
    std::vector<uint8_t> buffer;
    uint32_t frame = 0;
    for (auto _ : state) {
        for (uint32_t p : properties) {
            vmq::abc::copyValues(archive.readSample(p, frame), buffer);
            benchmark::DoNotOptimize(buffer.data());
        }
        frame = (frame + 1) % importer->frameCount;
    }
    state.SetLabel(kArchives[state.range(0)]);
    state.counters["frames_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ArchiveReadFrameSamples)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
