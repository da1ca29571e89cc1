// Compression of real meshes with a simple given partition (consecutive runs of up to 64
// triangles of one group): million triangles per second and the peak heap bytes per triangle
// that one compression allocates on top of its inputs.
#include "mesh_io.h"
#include "partition/partition.h"
#include "pelku_vmq_compression.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

// Live and peak heap bytes, counted by the replaced global allocation functions below.
std::atomic<size_t> g_liveBytes{0};
std::atomic<size_t> g_peakBytes{0};

void* countedAlloc(size_t size)
{
    void* block = std::malloc(size + 16);
    if (!block)
        throw std::bad_alloc();
    *static_cast<size_t*>(block) = size;
    const size_t live = g_liveBytes.fetch_add(size) + size;
    size_t peak = g_peakBytes.load();
    while (live > peak && !g_peakBytes.compare_exchange_weak(peak, live)) {
    }
    return static_cast<char*>(block) + 16;
}

void countedFree(void* p)
{
    if (!p)
        return;
    char* block = static_cast<char*>(p) - 16;
    g_liveBytes.fetch_sub(*reinterpret_cast<size_t*>(block));
    std::free(block);
}

struct BenchMesh {
    vmq_support::LoadedMesh mesh;
    std::vector<Triangle> triangles;
    std::vector<MeshAttribute> attributes;
    MeshletPartition partition;
    MeshDescriptor descriptor{};
};

bool loadBenchMesh(const std::string& name, BenchMesh& out)
{
    std::string error;
    if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), out.mesh, error)) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
        return false;
    }
    const vmq_support::LoadedMesh& m = out.mesh;
    for (size_t t = 0; t < m.triangleCount(); ++t)
        out.triangles.push_back({{m.indices[3 * t], m.indices[3 * t + 1], m.indices[3 * t + 2]}});
    out.attributes.push_back({POSITION, m.positions.data(), m.positions.data() + m.positions.size(), 3});
    if (!m.normals.empty())
        out.attributes.push_back({NORMAL, m.normals.data(), m.normals.data() + m.normals.size(), 3});
    if (!m.texcoords.empty())
        out.attributes.push_back({TEXCOORD, m.texcoords.data(), m.texcoords.data() + m.texcoords.size(), 2});
    for (uint32_t t = 0; t < m.groups.size(); ++t) {
        auto& meshlets = out.partition.meshlets;
        if (meshlets.empty() || meshlets.back().size() >= 64 || m.groups[meshlets.back().back()] != m.groups[t])
            meshlets.emplace_back();
        meshlets.back().push_back(t);
    }
    out.descriptor = {out.triangles.data(), out.triangles.data() + out.triangles.size(), out.attributes.data(),
                      out.attributes.data() + out.attributes.size(), m.groups.data(), m.groups.data() + m.groups.size(),
                      &out.partition, nullptr};
    return true;
}

void compressMesh(benchmark::State& state, const std::string& name)
{
    static BenchMesh mesh; // one mesh alive at a time
    static std::string loaded;
    if (loaded != name) {
        mesh = BenchMesh{};
        loaded = name;
        if (!loadBenchMesh(name, mesh)) {
            state.SkipWithError("mesh not available");
            return;
        }
    }
    const CompressionSettings settings{};
    size_t peak = 0;
    for (auto _ : state) {
        const size_t before = g_liveBytes.load();
        g_peakBytes.store(before);
        CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&mesh.descriptor, &settings);
        if (!record) {
            state.SkipWithError(Pelku_Vmq_Compression_GetCompressionErrorString());
            return;
        }
        peak = std::max(peak, g_peakBytes.load() - before);
        benchmark::DoNotOptimize(record->streamWordsBegin);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
    }
    const double triangles = double(mesh.triangles.size());
    state.counters["Mtri/s"] = benchmark::Counter(triangles * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peakB/tri"] = double(peak) / triangles;
    state.counters["triangles"] = triangles;
}

const char* const kMeshes[] = {"pirate.obj", "spot.obj", "armadillo.obj", "bun_zipper.ply", "dragon.obj", "igea.ply"};

const bool registered = [] {
    for (const char* name : kMeshes)
        benchmark::RegisterBenchmark((std::string("Compress/") + name).c_str(), compressMesh, std::string(name))
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    return true;
}();

} // namespace

void* operator new(size_t size) { return countedAlloc(size); }
void* operator new[](size_t size) { return countedAlloc(size); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }

BENCHMARK_MAIN();
