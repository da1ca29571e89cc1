// Compression of meshes that once took time or memory far beyond their size (a fan of repeated
// triangles, triangles over few vertices, triangles at one point), each beside an ordinary grid
// of the same triangle count measured in the same run: the ratio of their times shows whether
// the work still grows faster than the mesh.
#include "adversarial_meshes.h"
#include "mesh_io.h"
#include "pelku_vmq_compression.h"

#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <string>

namespace {

void compress(benchmark::State& state, const vmq_support::LoadedMesh& mesh)
{
    vmq_support::LibraryInput input;
    vmq_support::describe(mesh, input);
    const MeshDescriptor& descriptor = input.descriptor;
    const CompressionSettings settings{};
    uint32_t meshlets = 0;
    for (auto _ : state) {
        CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
        if (!record) {
            state.SkipWithError(Pelku_Vmq_Compression_GetCompressionErrorString());
            return;
        }
        meshlets = record->meshletCount;
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(mesh.triangleCount()));
    state.counters["triangles"] = double(mesh.triangleCount());
    state.counters["meshlets"] = double(meshlets);
}

void registerAll()
{
    const std::pair<const char*, std::function<vmq_support::LoadedMesh(uint32_t)>> kinds[] = {
        {"grid", vmq_support::gridMesh},
        {"repeatedFan", vmq_support::repeatedFan},
        {"denseTriangles", vmq_support::denseTriangles},
        {"coincidentTriangles", vmq_support::coincidentTriangles},
    };
    for (uint32_t triangles : {4000u, 16000u, 32000u, 64000u})
        for (const auto& [name, make] : kinds) {
            auto mesh = std::make_shared<vmq_support::LoadedMesh>(make(triangles));
            benchmark::RegisterBenchmark((std::string("Adversarial/") + name + "/" + std::to_string(triangles)).c_str(),
                                         [mesh](benchmark::State& state) { compress(state, *mesh); })
                ->Unit(benchmark::kMillisecond);
        }
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
