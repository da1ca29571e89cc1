// Meshlet partition building on the shared meshes, at default settings: triangles per second
// and the resulting meshlet count.
#include "partition/partition_builder.h"

#include "mesh_io.h"
#include "mesh_tables_input.h"

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

namespace {

const vmq::MeshTables* meshTables(const std::string& file)
{
    static std::map<std::string, std::unique_ptr<vmq::MeshTables>> cache;
    std::unique_ptr<vmq::MeshTables>& tables = cache[file];
    if (!tables) {
        vmq_support::LoadedMesh mesh;
        std::string error;
        if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + file), mesh, error))
            return nullptr;
        tables = std::make_unique<vmq::MeshTables>();
        vmq_support::buildWholeMeshTables(mesh, CompressionSettings{}, *tables);
    }
    return tables.get();
}

void buildPartition(benchmark::State& state, const std::string& file, uint32_t maxVertices)
{
    const vmq::MeshTables* tables = meshTables(file);
    if (!tables) {
        state.SkipWithError(("cannot read shared mesh " + file).c_str());
        return;
    }
    const CompressionSettings s{};
    size_t meshlets = 0;
    for (auto _ : state) {
        MeshletPartition partition = vmq::buildMeshletPartition(*tables, uint32_t(s.firstPassMeshletTriangles) - 1u,
                                                                uint32_t(s.minMeshletTriangles) - 1u, maxVertices - 1u, maxVertices,
                                                                s.meshletMergeBoxScale);
        meshlets = partition.meshlets.size();
        benchmark::DoNotOptimize(partition);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(tables->triangles.size()));
    state.counters["triangles"] = double(tables->triangles.size());
    state.counters["channels"] = double(tables->channelValues.size());
    state.counters["meshlets"] = double(meshlets);
    state.counters["triangles/meshlet"] = double(tables->triangles.size()) / double(meshlets);
}

void registerAll()
{
    for (const char* file : {"pirate.obj", "spot.obj", "bob_tri.obj", "human_neutral.obj", "armadillo.obj", "bun_zipper.ply",
                             "horse.ply", "dragon.obj", "happy_buddha.obj", "igea.ply"}) {
        benchmark::RegisterBenchmark((std::string("Partition/") + file).c_str(),
                                     [file](benchmark::State& state) { buildPartition(state, file, 64); })
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("Partition/igea.ply/maxMeshletVertices:32",
                                 [](benchmark::State& state) { buildPartition(state, "igea.ply", 32); })
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
