// The mesh optimization pass and tangent generation on the real meshes, beside a whole
// compression of the same mesh (optimization pass included), so that each can be read as a
// share of it. Rates are triangles per second; time per million triangles is 1e6 / rate.
#include "mesh/mesh_optimize.h"
#include "mesh/tangent_frame.h"
#include "mesh_io.h"

#include "pelku_vmq_compression.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct BenchMesh {
    vmq_support::LoadedMesh loaded;
    std::vector<vmq::TriangleIndices> triangles;
    std::vector<vmq::VertexAttribute> attributes;
    std::vector<uint32_t> materials;
    std::string error;
};

const BenchMesh& benchMesh(const std::string& name)
{
    static std::map<std::string, BenchMesh> cache;
    auto [it, inserted] = cache.try_emplace(name);
    BenchMesh& mesh = it->second;
    if (inserted && vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), mesh.loaded, mesh.error)) {
        const vmq_support::LoadedMesh& l = mesh.loaded;
        mesh.triangles.resize(l.triangleCount());
        for (size_t t = 0; t < mesh.triangles.size(); ++t)
            mesh.triangles[t] = {l.indices[3 * t], l.indices[3 * t + 1], l.indices[3 * t + 2]};
        mesh.attributes.push_back({POSITION, 3, l.positions});
        if (!l.normals.empty())
            mesh.attributes.push_back({NORMAL, 3, l.normals});
        if (!l.texcoords.empty())
            mesh.attributes.push_back({TEXCOORD, 2, l.texcoords});
        mesh.materials = l.groups;
        mesh.materials.resize(mesh.triangles.size(), 0);
    }
    return mesh;
}

void optimizeMesh(benchmark::State& state, const std::string& name)
{
    const BenchMesh& mesh = benchMesh(name);
    if (!mesh.error.empty())
        return state.SkipWithError(mesh.error.c_str());
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<vmq::TriangleIndices> triangles = mesh.triangles;
        std::vector<vmq::VertexAttribute> attributes = mesh.attributes;
        std::vector<uint32_t> materials = mesh.materials;
        state.ResumeTiming();
        vmq::optimizeMeshBuffers(triangles, attributes, materials, true, nullptr);
        benchmark::DoNotOptimize(triangles.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(mesh.triangles.size()));
}

void generateTangents(benchmark::State& state, const std::string& name)
{
    const BenchMesh& mesh = benchMesh(name);
    if (!mesh.error.empty())
        return state.SkipWithError(mesh.error.c_str());
    if (mesh.attributes.size() < 3)
        return state.SkipWithError("the mesh has no normals or texture coordinates");
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<vmq::VertexAttribute> attributes = mesh.attributes;
        state.ResumeTiming();
        vmq::generateTangentFrame(mesh.triangles, attributes);
        benchmark::DoNotOptimize(attributes.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(mesh.triangles.size()));
}

void compressWholeMesh(benchmark::State& state, const std::string& name)
{
    const BenchMesh& mesh = benchMesh(name);
    if (!mesh.error.empty())
        return state.SkipWithError(mesh.error.c_str());
    std::vector<Triangle> triangles(mesh.triangles.size());
    for (size_t t = 0; t < triangles.size(); ++t)
        triangles[t] = {{mesh.triangles[t][0], mesh.triangles[t][1], mesh.triangles[t][2]}};
    std::vector<MeshAttribute> attributes;
    for (const vmq::VertexAttribute& a : mesh.attributes)
        attributes.push_back({a.kind, a.values.data(), a.values.data() + a.values.size(), a.componentCount});
    std::vector<uint32_t> groups(mesh.materials.size());
    for (size_t t = 0; t < groups.size(); ++t)
        groups[t] = mesh.materials[t] > 2047 ? 2047 : mesh.materials[t];
    MeshDescriptor descriptor{};
    descriptor.trianglesBegin = triangles.data();
    descriptor.trianglesEnd = triangles.data() + triangles.size();
    descriptor.attributesBegin = attributes.data();
    descriptor.attributesEnd = attributes.data() + attributes.size();
    descriptor.triangleGroupsBegin = groups.data();
    descriptor.triangleGroupsEnd = groups.data() + groups.size();
    const CompressionSettings settings{};
    for (auto _ : state) {
        CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
        if (!result)
            return state.SkipWithError(Pelku_Vmq_Compression_GetCompressionErrorString());
        Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(triangles.size()));
}

const char* const kMeshes[] = {"spot.obj", "bob_tri.obj", "pirate.obj", "bun_zipper.ply", "armadillo.obj", "dragon.obj"};

int registerAll()
{
    for (const char* name : kMeshes) {
        benchmark::RegisterBenchmark((std::string("OptimizeMeshBuffers/") + name).c_str(), optimizeMesh, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("GenerateTangentFrame/") + name).c_str(), generateTangents, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("CompressMesh/") + name).c_str(), compressWholeMesh, std::string(name))
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}

const int kRegistered = registerAll();

} // namespace

BENCHMARK_MAIN();
