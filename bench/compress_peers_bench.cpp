// Compression of the shared meshes beside the two libraries users would pick instead, in one run:
// the library at default settings with the partition it builds, Draco at encoder speeds 0 and 5,
// and meshoptimizer's meshlet builder and index and vertex codecs, all at 12-bit positions,
// 6-bit normals and 13-bit texture coordinates. Prints two markdown tables: the library's own
// figures, then the peers' figures with the ratios to the library's.
//
// Peak memory is the largest number of heap bytes live at once during one call, above what was
// live before it, counted by the replaced global operator new/delete below (the output counts
// while it is alive; meshoptimizer's allocator and Draco allocate through operator new too).
//
//   compress_peers_bench [mesh ...]            the tables (default: every shared mesh)
//   compress_peers_bench --digest [mesh ...]   one hash of the whole record per mesh and setting
//   compress_peers_bench --digest-archives [archive ...]
//                                              one hash of every frame record per archive and
//                                              setting (default: every shared fixture archive)
//   compress_peers_bench --profile [mesh ...]  one library compression per mesh, for a profiler
//   compress_peers_bench --profile-decode [mesh ...]  one whole-mesh decode per mesh
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "mesh_io.h"
#include "peer_harness.h"
#include "record_digest.h"

#include <draco/compression/encode.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

// Live and peak heap bytes, counted by the replaced global allocation functions below.
std::atomic<size_t> g_liveBytes{0};
std::atomic<size_t> g_peakBytes{0};
constexpr size_t kHeader = 16; // keeps the blocks' 16-byte alignment

void* countedAlloc(size_t size, size_t alignment = kHeader)
{
    const size_t header = std::max(alignment, kHeader);
    void* block = alignment > kHeader ? std::aligned_alloc(alignment, (size + header + alignment - 1) / alignment * alignment)
                                      : std::malloc(size + header);
    if (!block)
        return nullptr;
    char* user = static_cast<char*>(block) + header;
    reinterpret_cast<size_t*>(user)[-1] = size;
    reinterpret_cast<size_t*>(user)[-2] = header;
    const size_t live = g_liveBytes.fetch_add(size) + size;
    size_t peak = g_peakBytes.load();
    while (live > peak && !g_peakBytes.compare_exchange_weak(peak, live)) {
    }
    return user;
}

void countedFree(void* p)
{
    if (!p)
        return;
    char* user = static_cast<char*>(p);
    g_liveBytes.fetch_sub(reinterpret_cast<size_t*>(user)[-1]);
    std::free(user - reinterpret_cast<size_t*>(user)[-2]);
}

// Runs `call` once and returns the peak heap bytes it held above the bytes live before it.
template <typename Call>
size_t peakBytesOf(Call&& call)
{
    const size_t before = g_liveBytes.load();
    g_peakBytes.store(before);
    call();
    return g_peakBytes.load() - before;
}

using peer_harness::kNormalBits;
using peer_harness::kPositionBits;
using peer_harness::kTexcoordBits;

bool load(const std::string& name, vmq_support::LoadedMesh& mesh)
{
    std::string error;
    if (vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), mesh, error))
        return true;
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return false;
}

// ---- The library ----

struct LibraryFigures {
    double seconds = 0;
    size_t peakBytes = 0;
    uint32_t meshlets = 0, triangles = 0, vertices = 0;
    size_t streamWords = 0, decodableWords = 0;
};

CompressedMesh* compressWithLibrary(const vmq_support::LibraryInput& input, const CompressionSettings& settings, const std::string& name)
{
    CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
    if (!record) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
        std::exit(1);
    }
    return record;
}

LibraryFigures measureLibrary(const vmq_support::LoadedMesh& mesh, const std::string& name)
{
    vmq_support::LibraryInput input;
    vmq_support::describe(mesh, input);
    const CompressionSettings settings{};
    LibraryFigures figures;
    figures.peakBytes = peakBytesOf([&] {
        CompressedMesh* record = compressWithLibrary(input, settings, name);
        figures.meshlets = record->meshletCount;
        figures.triangles = record->triangleCount;
        figures.vertices = record->vertexCount;
        figures.streamWords = peer_harness::streamWords(*record);
        figures.decodableWords = peer_harness::decodableWords(*record);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
    });
    figures.seconds = peer_harness::secondsPerCall([&] { Pelku_Vmq_Compression_ReleaseCompressedMesh(compressWithLibrary(input, settings, name)); });
    return figures;
}

// ---- Draco ----

struct PeerFigures {
    double seconds = 0;
    size_t peakBytes = 0;
    size_t bytes = 0;
};

PeerFigures measureDraco(const draco::Mesh& mesh, int speed, const std::string& name)
{
    auto encode = [&](size_t* bytes) {
        draco::EncoderBuffer buffer;
        if (!peer_harness::dracoEncode(mesh, speed, buffer)) {
            std::fprintf(stderr, "%s: Draco encoding at speed %d failed\n", name.c_str(), speed);
            std::exit(1);
        }
        if (bytes)
            *bytes = buffer.size();
    };
    PeerFigures figures;
    figures.peakBytes = peakBytesOf([&] { encode(&figures.bytes); });
    figures.seconds = peer_harness::secondsPerCall([&] { encode(nullptr); });
    return figures;
}

// ---- meshoptimizer ----

// Interleaved 16-bit vertices: each component on its own min/max grid of the matching bits,
// padded to whole 4-byte units as the vertex codec requires.
struct QuantisedVertices {
    std::vector<uint16_t> values;
    size_t components = 0; // per vertex, padding included
};

void quantiseComponents(const std::vector<float>& values, size_t componentCount, int bits, size_t firstComponent, QuantisedVertices& out)
{
    const size_t n = values.size() / componentCount;
    const float scale = float((1u << bits) - 1);
    for (size_t c = 0; c < componentCount; ++c) {
        float lo = values[c], hi = values[c];
        for (size_t v = 0; v < n; ++v) {
            lo = std::min(lo, values[v * componentCount + c]);
            hi = std::max(hi, values[v * componentCount + c]);
        }
        const float range = hi > lo ? hi - lo : 1.0f;
        for (size_t v = 0; v < n; ++v)
            out.values[v * out.components + firstComponent + c] =
                uint16_t(std::lround((values[v * componentCount + c] - lo) / range * scale));
    }
}

void quantiseForMeshopt(const vmq_support::LoadedMesh& mesh, QuantisedVertices& out)
{
    size_t components = 3 + (mesh.normals.empty() ? 0 : 3) + (mesh.texcoords.empty() ? 0 : 2);
    out.components = (components + 1) / 2 * 2;
    out.values.assign(mesh.vertexCount() * out.components, 0);
    quantiseComponents(mesh.positions, 3, kPositionBits, 0, out);
    size_t next = 3;
    if (!mesh.normals.empty()) {
        quantiseComponents(mesh.normals, 3, kNormalBits, next, out);
        next += 3;
    }
    if (!mesh.texcoords.empty())
        quantiseComponents(mesh.texcoords, 2, kTexcoordBits, next, out);
}

PeerFigures measureMeshoptCodecs(const vmq_support::LoadedMesh& mesh)
{
    const size_t indexCount = mesh.indices.size(), vertexCount = mesh.vertexCount();
    auto encode = [&](size_t* bytes) {
        QuantisedVertices quantised;
        quantiseForMeshopt(mesh, quantised);
        const size_t stride = quantised.components * sizeof(uint16_t);
        std::vector<uint32_t> indices(indexCount);
        meshopt_optimizeVertexCache(indices.data(), mesh.indices.data(), indexCount, vertexCount);
        std::vector<uint16_t> vertices(quantised.values.size());
        const size_t used = meshopt_optimizeVertexFetch(vertices.data(), indices.data(), indexCount, quantised.values.data(),
                                                        vertexCount, stride);
        std::vector<unsigned char> indexCode(meshopt_encodeIndexBufferBound(indexCount, used));
        indexCode.resize(meshopt_encodeIndexBuffer(indexCode.data(), indexCode.size(), indices.data(), indexCount));
        std::vector<unsigned char> vertexCode(meshopt_encodeVertexBufferBound(used, stride));
        vertexCode.resize(meshopt_encodeVertexBuffer(vertexCode.data(), vertexCode.size(), vertices.data(), used, stride));
        if (bytes)
            *bytes = indexCode.size() + vertexCode.size();
    };
    PeerFigures figures;
    figures.peakBytes = peakBytesOf([&] { encode(&figures.bytes); });
    figures.seconds = peer_harness::secondsPerCall([&] { encode(nullptr); });
    return figures;
}

struct MeshletFigures {
    double seconds = 0;
    size_t meshlets = 0, triangles = 0, vertices = 0;
};

constexpr size_t kMeshoptMaxVertices = 64, kMeshoptMaxTriangles = 124;

MeshletFigures measureMeshoptMeshlets(const vmq_support::LoadedMesh& mesh)
{
    MeshletFigures figures;
    auto build = [&](bool count) {
        const size_t indexCount = mesh.indices.size();
        const size_t bound = meshopt_buildMeshletsBound(indexCount, kMeshoptMaxVertices, kMeshoptMaxTriangles);
        std::vector<meshopt_Meshlet> meshlets(bound);
        std::vector<unsigned int> vertices(bound * kMeshoptMaxVertices);
        std::vector<unsigned char> triangles(bound * kMeshoptMaxTriangles * 3);
        const size_t built = meshopt_buildMeshlets(meshlets.data(), vertices.data(), triangles.data(), mesh.indices.data(), indexCount,
                                                   mesh.positions.data(), mesh.vertexCount(), 3 * sizeof(float), kMeshoptMaxVertices,
                                                   kMeshoptMaxTriangles, 0.0f);
        if (!count)
            return;
        figures.meshlets = built;
        for (size_t m = 0; m < built; ++m) {
            figures.triangles += meshlets[m].triangle_count;
            figures.vertices += meshlets[m].vertex_count;
        }
    };
    build(true);
    figures.seconds = peer_harness::secondsPerCall([&] { build(false); });
    return figures;
}

// ---- Modes ----

int printTables(const std::vector<std::string>& names)
{
    std::printf("| mesh | triangles | vertices | Mtri/s | peak B/tri | meshlets | tri/meshlet | vert/meshlet | stream bits/tri | "
                "bits/tri | bits/vertex |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::string peers =
        "| mesh | draco 0 Mtri/s | draco 0 bits/tri | draco 0 peak B/tri | draco 5 Mtri/s | draco 5 bits/tri | draco 5 peak B/tri | "
        "meshopt Mtri/s | meshopt bits/tri | meshopt peak B/tri | meshlets Mtri/s | meshlets | tri/meshlet | vert/meshlet | "
        "speed / draco 0 | size / draco 0 | speed / draco 5 | size / draco 5 | speed / meshopt | size / meshopt | "
        "speed / meshopt+meshlets |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        const double triangles = double(mesh.triangleCount()), vertices = double(mesh.vertexCount());
        const LibraryFigures ours = measureLibrary(mesh, name);
        const auto dracoMesh = peer_harness::toDraco(mesh);
        const PeerFigures draco0 = measureDraco(*dracoMesh, 0, name);
        const PeerFigures draco5 = measureDraco(*dracoMesh, 5, name);
        const PeerFigures codecs = measureMeshoptCodecs(mesh);
        const MeshletFigures meshlets = measureMeshoptMeshlets(mesh);

        auto rate = [&](double seconds) { return triangles / seconds * 1e-6; };
        auto bitsPerTriangle = [&](size_t bytes) { return 8.0 * double(bytes) / triangles; };
        const double ourBits = 32.0 * double(ours.decodableWords) / triangles;
        std::printf("| %s | %.0f | %.0f | %.3f | %.0f | %u | %.1f | %.1f | %.2f | %.2f | %.2f |\n", name.c_str(), triangles, vertices,
                    rate(ours.seconds), double(ours.peakBytes) / triangles, ours.meshlets, double(ours.triangles) / ours.meshlets,
                    double(ours.vertices) / ours.meshlets, 32.0 * double(ours.streamWords) / triangles, ourBits,
                    32.0 * double(ours.decodableWords) / vertices);
        char row[1024];
        std::snprintf(row, sizeof row,
                      "| %s | %.3f | %.2f | %.0f | %.3f | %.2f | %.0f | %.3f | %.2f | %.0f | %.3f | %zu | %.1f | %.1f | %.2f | %.2f | %.2f | "
                      "%.2f | %.2f | %.2f | %.2f |\n",
                      name.c_str(), rate(draco0.seconds), bitsPerTriangle(draco0.bytes), double(draco0.peakBytes) / triangles,
                      rate(draco5.seconds), bitsPerTriangle(draco5.bytes), double(draco5.peakBytes) / triangles, rate(codecs.seconds), bitsPerTriangle(codecs.bytes), double(codecs.peakBytes) / triangles, rate(meshlets.seconds),
                      meshlets.meshlets, double(meshlets.triangles) / double(meshlets.meshlets),
                      double(meshlets.vertices) / double(meshlets.meshlets), draco0.seconds / ours.seconds,
                      ourBits / bitsPerTriangle(draco0.bytes), draco5.seconds / ours.seconds, ourBits / bitsPerTriangle(draco5.bytes),
                      codecs.seconds / ours.seconds, ourBits / bitsPerTriangle(codecs.bytes),
                      (codecs.seconds + meshlets.seconds) / ours.seconds);
        peers += row;
        std::fflush(stdout);
    }
    std::printf("\n%s", peers.c_str());
    return 0;
}

int profile(const std::vector<std::string>& names, bool decode)
{
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        vmq_support::LibraryInput input;
        vmq_support::describe(mesh, input);
        CompressedMesh* record = compressWithLibrary(input, CompressionSettings{}, name);
        if (decode) {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(record, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
            if (!decoded) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
                return 1;
            }
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        }
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
    }
    return 0;
}

} // namespace

void* operator new(size_t size)
{
    if (void* p = countedAlloc(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return countedAlloc(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return countedAlloc(size); }
void* operator new(size_t size, std::align_val_t alignment)
{
    if (void* p = countedAlloc(size, size_t(alignment)))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { countedFree(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { countedFree(p); }

int main(int argc, char** argv)
{
    std::string mode;
    std::vector<std::string> names;
    peer_harness::splitArguments(argc, argv, mode, names);
    if (mode == "--digest-archives") {
        vmq_support::printArchiveDigests(names.empty() ? vmq_support::fixtureArchives() : names);
        return 0;
    }
    if (names.empty())
        names = vmq_support::digestMeshes();
    if (mode.empty())
        return printTables(names);
    if (mode == "--digest")
        return vmq_support::printMeshDigests(names) ? 0 : 1;
    if (mode == "--profile" || mode == "--profile-decode")
        return profile(names, mode == "--profile-decode");
    std::fprintf(stderr, "unknown option %s\n", mode.c_str());
    return 2;
}
