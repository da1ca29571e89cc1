// Compression of the shared meshes beside the two libraries users would pick instead, in one run:
// the library at default settings with the partition it builds (and once more without the
// optimization pass), Draco at encoder speeds 0 and 5, and meshoptimizer's meshlet builder and
// index and vertex codecs, all at 12-bit positions, 6-bit normals and 13-bit texture
// coordinates. Prints two markdown tables: the library's own figures, then the peers' figures
// with the ratios to the library's; then the sequence figures of the animated benchmark archive.
// Times are thread CPU time, the contestants of one mesh interleaved round by round.
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
//   compress_peers_bench --memory [mesh ...]   only the library's peak heap bytes per triangle
//   compress_peers_bench --sequence [archive]  only the sequence figures (default: wave_anim.abc)
//   compress_peers_bench --profile [mesh ...]  one library compression per mesh, for a profiler
//   compress_peers_bench --profile-unoptimized [mesh ...]  the same without the optimization pass
//   compress_peers_bench --profile-decode [mesh ...]  one whole-mesh decode per mesh
//   compress_peers_bench --profile-frames [archive]  the archive's frames on one thread as the
//                                              sequence compresses them; every frame after the
//                                              first runs inside compressLaterFrame
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "alembic/frame_mesh.h"
#include "alembic/sequence_driver.h"
#include "mesh/compress_mesh.h"
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
#include <cstring>
#include <filesystem>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

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

// A shared mesh and the library's view of it.
bool load(const std::string& name, vmq_support::LoadedMesh& mesh, vmq_support::LibraryInput& input)
{
    if (!load(name, mesh))
        return false;
    vmq_support::describe(mesh, input);
    return true;
}

// ---- The library ----

struct LibraryFigures {
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

// Peak heap and sizes of one compression.
LibraryFigures measureLibrary(const vmq_support::LibraryInput& input, const CompressionSettings& settings, const std::string& name)
{
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
    return figures;
}

CompressionSettings unoptimizedSettings()
{
    CompressionSettings settings{};
    settings.optimizeMesh = 0;
    return settings;
}

// ---- Draco ----

struct PeerFigures {
    size_t peakBytes = 0;
    size_t bytes = 0;
};

void encodeWithDraco(const draco::Mesh& mesh, int speed, const std::string& name, size_t* bytes)
{
    draco::EncoderBuffer buffer;
    if (!peer_harness::dracoEncode(mesh, speed, buffer)) {
        std::fprintf(stderr, "%s: Draco encoding at speed %d failed\n", name.c_str(), speed);
        std::exit(1);
    }
    if (bytes)
        *bytes = buffer.size();
}

PeerFigures measureDraco(const draco::Mesh& mesh, int speed, const std::string& name)
{
    PeerFigures figures;
    figures.peakBytes = peakBytesOf([&] { encodeWithDraco(mesh, speed, name, &figures.bytes); });
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

void encodeWithMeshopt(const vmq_support::LoadedMesh& mesh, size_t* bytes)
{
    const size_t indexCount = mesh.indices.size(), vertexCount = mesh.vertexCount();
    QuantisedVertices quantised;
    quantiseForMeshopt(mesh, quantised);
    const size_t stride = quantised.components * sizeof(uint16_t);
    std::vector<uint32_t> indices(indexCount);
    meshopt_optimizeVertexCache(indices.data(), mesh.indices.data(), indexCount, vertexCount);
    std::vector<uint16_t> vertices(quantised.values.size());
    const size_t used =
        meshopt_optimizeVertexFetch(vertices.data(), indices.data(), indexCount, quantised.values.data(), vertexCount, stride);
    std::vector<unsigned char> indexCode(meshopt_encodeIndexBufferBound(indexCount, used));
    indexCode.resize(meshopt_encodeIndexBuffer(indexCode.data(), indexCode.size(), indices.data(), indexCount));
    std::vector<unsigned char> vertexCode(meshopt_encodeVertexBufferBound(used, stride));
    vertexCode.resize(meshopt_encodeVertexBuffer(vertexCode.data(), vertexCode.size(), vertices.data(), used, stride));
    if (bytes)
        *bytes = indexCode.size() + vertexCode.size();
}

PeerFigures measureMeshoptCodecs(const vmq_support::LoadedMesh& mesh)
{
    PeerFigures figures;
    figures.peakBytes = peakBytesOf([&] { encodeWithMeshopt(mesh, &figures.bytes); });
    return figures;
}

struct MeshletFigures {
    size_t meshlets = 0, triangles = 0, vertices = 0;
};

constexpr size_t kMeshoptMaxVertices = 64, kMeshoptMaxTriangles = 124;

void buildMeshoptMeshlets(const vmq_support::LoadedMesh& mesh, MeshletFigures* figures)
{
    const size_t indexCount = mesh.indices.size();
    const size_t bound = meshopt_buildMeshletsBound(indexCount, kMeshoptMaxVertices, kMeshoptMaxTriangles);
    std::vector<meshopt_Meshlet> meshlets(bound);
    std::vector<unsigned int> vertices(bound * kMeshoptMaxVertices);
    std::vector<unsigned char> triangles(bound * kMeshoptMaxTriangles * 3);
    const size_t built = meshopt_buildMeshlets(meshlets.data(), vertices.data(), triangles.data(), mesh.indices.data(), indexCount,
                                               mesh.positions.data(), mesh.vertexCount(), 3 * sizeof(float), kMeshoptMaxVertices,
                                               kMeshoptMaxTriangles, 0.0f);
    if (!figures)
        return;
    figures->meshlets = built;
    for (size_t m = 0; m < built; ++m) {
        figures->triangles += meshlets[m].triangle_count;
        figures->vertices += meshlets[m].vertex_count;
    }
}

// ---- Sequences ----

const char* const kSequenceArchive = "wave_anim.abc";

std::string benchArchivePath(const std::string& name)
{
    return std::string(PELKU_VMQ_SHARED_DIR) + "/fixtures/bench/" + name;
}

// The archive's frames on one thread, as the sequence compresses them: frame 0 welds, cuts and
// strips; every later frame of a constant topology reuses them. Thread CPU seconds per stage.
struct FrameTimes {
    double frame0 = 0;     // reading, processing and compressing frame 0
    double reading = 0;    // reading the later frames
    double compressing = 0; // processing and compressing the later frames
    uint64_t pageFaults = 0; // while processing and compressing the later frames
    uint64_t readFaults = 0; // while reading them
    uint32_t laterFrames = 0;
    uint64_t laterTriangles = 0;
};

// Page faults of the calling thread so far (first touches of memory the system had to supply).
uint64_t threadPageFaults()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return uint64_t(usage.ru_minflt) + uint64_t(usage.ru_majflt);
}

// Processing and compression of one frame after the first, for a profiler's toggle.
[[gnu::noinline]] CompressedMesh* compressLaterFrame(vmq::Mesh& mesh, uint32_t frame, const SequenceSettings& settings,
                                                    vmq::AlembicImporter& importer, vmq::FrameSharing& sharing,
                                                    const CompressedMesh* first, vmq::FrameReadBuffers& buffers)
{
    const vmq::PreparedFrame prepared = vmq::prepareFrame(mesh, frame, settings, importer, sharing, &buffers.spareValues);
    if (prepared == vmq::PreparedFrame::Empty)
        return nullptr;
    const bool shared = prepared == vmq::PreparedFrame::Shared && first;
    std::string error;
    return vmq::compressOwnedMesh(std::move(mesh), settings.compression, shared ? first->partition : nullptr, shared ? first->topology : nullptr,
                                  error, shared ? vmq::ReuseCheck::SameTriangles : vmq::ReuseCheck::Full);
}

bool timeFrames(const std::string& path, FrameTimes& times)
{
    const SequenceSettings settings{};
    std::ostringstream log;
    auto importer = vmq::openArchive(path, settings, &log);
    if (importer->frameCount == 0) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return false;
    }
    vmq::FrameSharing sharing;
    vmq::beginFrameSharing(sharing, importer->staticTopology && importer->frameCount > 1, importer->frameCount);
    times = FrameTimes{};
    double start = peer_harness::threadSeconds();
    vmq::Mesh mesh = vmq::readFrame(*importer, 0);
    std::string error;
    CompressedMesh* first = nullptr;
    if (vmq::prepareFrame(mesh, 0, settings, *importer, sharing) != vmq::PreparedFrame::Empty)
        first = vmq::compressOwnedMesh(std::move(mesh), settings.compression, nullptr, nullptr, error);
    times.frame0 = peer_harness::threadSeconds() - start;
    vmq::FrameReadBuffers buffers; // one worker's, kept from frame to frame as the sequence keeps them
    for (uint32_t f = 1; f < importer->frameCount; ++f) {
        start = peer_harness::threadSeconds();
        const uint64_t faultsBefore = threadPageFaults();
        mesh = vmq::readFrame(*importer, f, buffers);
        const double read = peer_harness::threadSeconds();
        const uint64_t faults = threadPageFaults();
        times.readFaults += faults - faultsBefore;
        CompressedMesh* result = compressLaterFrame(mesh, f, settings, *importer, sharing, first, buffers);
        times.pageFaults += threadPageFaults() - faults;
        times.compressing += peer_harness::threadSeconds() - read;
        times.reading += read - start;
        if (result) {
            times.laterTriangles += result->triangleCount;
            ++times.laterFrames;
        }
        Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
    }
    Pelku_Vmq_Compression_ReleaseCompressedMesh(first);
    return first != nullptr;
}

// Wall seconds of one whole-archive call.
double compressArchiveSeconds(const std::string& path, uint32_t workers)
{
    const SequenceSettings settings{};
    const auto start = std::chrono::steady_clock::now();
    CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, workers, nullptr, nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!sequence) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
        std::exit(1);
    }
    Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
    return seconds;
}

// What the machine gives a second thread right now: wall seconds of a fixed amount of
// arithmetic on one thread divided by those of twice that amount on two.
double machineProbe()
{
    auto spin = [](uint64_t steps) {
        volatile uint64_t sink = 0;
        uint64_t x = 88172645463325252ull;
        for (uint64_t k = 0; k < steps; ++k) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        sink = x;
        (void)sink;
    };
    constexpr uint64_t kSteps = 200'000'000;
    auto wall = [&](int threads) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back(spin, kSteps);
        for (std::thread& thread : pool)
            thread.join();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / threads;
    };
    double one = 1e30, two = 1e30;
    for (int round = 0; round < 3; ++round) {
        one = std::min(one, wall(1));
        two = std::min(two, wall(2));
    }
    return one / two;
}

int printSequenceFigures(const std::string& name)
{
    const std::string path = benchArchivePath(name);
    FrameTimes best;
    for (int round = 0; round < 3; ++round) {
        FrameTimes times;
        if (!timeFrames(path, times))
            return 1;
        if (round == 0 || times.compressing < best.compressing)
            best = times;
    }
    // Whole archive, 1 and 2 workers interleaved, best of three each.
    double one = 1e30, two = 1e30;
    for (int round = 0; round < 3; ++round) {
        one = std::min(one, compressArchiveSeconds(path, 1));
        two = std::min(two, compressArchiveSeconds(path, 2));
    }
    const double probe = machineProbe();
    const double perFrame = best.compressing / best.laterFrames;
    std::printf("\n| sequence (%s) | figure |\n|---|---:|\n", name.c_str());
    std::printf("| triangles per later frame | %.0f |\n", double(best.laterTriangles) / best.laterFrames);
    std::printf("| frame 0 (read, weld, cut, strips, compress), ms CPU | %.2f |\n", 1e3 * best.frame0);
    std::printf("| later frame, reading, ms CPU | %.2f |\n", 1e3 * best.reading / best.laterFrames);
    std::printf("| later frame, processing and compression, ms CPU | %.2f |\n", 1e3 * perFrame);
    std::printf("| later frame, Mtri/s per core (processing and compression) | %.2f |\n",
                double(best.laterTriangles) / best.compressing * 1e-6);
    std::printf("| later frame, page faults in reading | %.0f |\n", double(best.readFaults) / best.laterFrames);
    std::printf("| later frame, page faults in processing and compression | %.0f |\n", double(best.pageFaults) / best.laterFrames);
    std::printf("| later frame, Mtri/s per core (with reading) | %.2f |\n",
                double(best.laterTriangles) / (best.compressing + best.reading) * 1e-6);
    std::printf("| whole archive, 1 worker, s wall | %.3f |\n", one);
    std::printf("| whole archive, 2 workers, s wall | %.3f |\n", two);
    std::printf("| 2 workers / 1 worker (speed) | %.2f |\n", one / two);
    std::printf("| machine probe, 2 threads / 1 thread | %.2f |\n", probe);
    return 0;
}

// Prints the number of triangles of the later frames, for per-triangle figures.
int profileFrames(const std::string& name)
{
    FrameTimes times;
    if (!timeFrames(benchArchivePath(name), times))
        return 1;
    std::printf("profiled triangles %llu\n", static_cast<unsigned long long>(times.laterTriangles));
    return 0;
}

// ---- Modes ----

int printTables(const std::vector<std::string>& names)
{
    std::printf("| mesh | triangles | vertices | Mtri/s | unoptimized Mtri/s | peak B/tri | unoptimized peak B/tri | meshlets | "
                "tri/meshlet | vert/meshlet | stream bits/tri | bits/tri | bits/vertex |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::string peers =
        "| mesh | draco 0 Mtri/s | draco 0 bits/tri | draco 0 peak B/tri | draco 5 Mtri/s | draco 5 bits/tri | draco 5 peak B/tri | "
        "meshopt Mtri/s | meshopt bits/tri | meshopt peak B/tri | meshlets Mtri/s | meshlets | tri/meshlet | vert/meshlet | "
        "speed / draco 0 | unoptimized speed / draco 0 | size / draco 0 | speed / draco 5 | size / draco 5 | speed / meshopt | "
        "size / meshopt | speed / meshopt+meshlets |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const CompressionSettings defaults{}, unoptimized = unoptimizedSettings();
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        vmq_support::LibraryInput input;
        if (!load(name, mesh, input))
            return 1;
        const double triangles = double(mesh.triangleCount()), vertices = double(mesh.vertexCount());
        const auto dracoMesh = peer_harness::toDraco(mesh);

        const LibraryFigures ours = measureLibrary(input, defaults, name);
        const LibraryFigures oursUnoptimized = measureLibrary(input, unoptimized, name);
        const PeerFigures draco0 = measureDraco(*dracoMesh, 0, name);
        const PeerFigures draco5 = measureDraco(*dracoMesh, 5, name);
        const PeerFigures codecs = measureMeshoptCodecs(mesh);
        MeshletFigures meshlets;
        buildMeshoptMeshlets(mesh, &meshlets);

        // All contestants of this mesh, interleaved round by round.
        const std::vector<double> seconds = peer_harness::interleavedSecondsPerCall({
            [&] { Pelku_Vmq_Compression_ReleaseCompressedMesh(compressWithLibrary(input, defaults, name)); },
            [&] { Pelku_Vmq_Compression_ReleaseCompressedMesh(compressWithLibrary(input, unoptimized, name)); },
            [&] { encodeWithDraco(*dracoMesh, 0, name, nullptr); },
            [&] { encodeWithDraco(*dracoMesh, 5, name, nullptr); },
            [&] { encodeWithMeshopt(mesh, nullptr); },
            [&] { buildMeshoptMeshlets(mesh, nullptr); },
        });
        const double oursSeconds = seconds[0], unoptimizedSeconds = seconds[1], draco0Seconds = seconds[2], draco5Seconds = seconds[3],
                     codecsSeconds = seconds[4], meshletsSeconds = seconds[5];

        auto rate = [&](double s) { return triangles / s * 1e-6; };
        auto bitsPerTriangle = [&](size_t bytes) { return 8.0 * double(bytes) / triangles; };
        const double ourBits = 32.0 * double(ours.decodableWords) / triangles;
        std::printf("| %s | %.0f | %.0f | %.3f | %.3f | %.0f | %.0f | %u | %.1f | %.1f | %.2f | %.2f | %.2f |\n", name.c_str(), triangles,
                    vertices, rate(oursSeconds), rate(unoptimizedSeconds), double(ours.peakBytes) / triangles,
                    double(oursUnoptimized.peakBytes) / triangles, ours.meshlets, double(ours.triangles) / ours.meshlets,
                    double(ours.vertices) / ours.meshlets, 32.0 * double(ours.streamWords) / triangles, ourBits,
                    32.0 * double(ours.decodableWords) / vertices);
        char row[1024];
        std::snprintf(row, sizeof row,
                      "| %s | %.3f | %.2f | %.0f | %.3f | %.2f | %.0f | %.3f | %.2f | %.0f | %.3f | %zu | %.1f | %.1f | %.2f | %.2f | %.2f | "
                      "%.2f | %.2f | %.2f | %.2f | %.2f |\n",
                      name.c_str(), rate(draco0Seconds), bitsPerTriangle(draco0.bytes), double(draco0.peakBytes) / triangles,
                      rate(draco5Seconds), bitsPerTriangle(draco5.bytes), double(draco5.peakBytes) / triangles, rate(codecsSeconds),
                      bitsPerTriangle(codecs.bytes), double(codecs.peakBytes) / triangles, rate(meshletsSeconds), meshlets.meshlets,
                      double(meshlets.triangles) / double(meshlets.meshlets), double(meshlets.vertices) / double(meshlets.meshlets),
                      draco0Seconds / oursSeconds, draco0Seconds / unoptimizedSeconds, ourBits / bitsPerTriangle(draco0.bytes),
                      draco5Seconds / oursSeconds, ourBits / bitsPerTriangle(draco5.bytes), codecsSeconds / oursSeconds,
                      ourBits / bitsPerTriangle(codecs.bytes), (codecsSeconds + meshletsSeconds) / oursSeconds);
        peers += row;
        std::fflush(stdout);
    }
    std::printf("\n%s", peers.c_str());
    return 0;
}

int printMemory(const std::vector<std::string>& names)
{
    std::printf("| mesh | triangles | peak B/tri | unoptimized peak B/tri |\n|---|---:|---:|---:|\n");
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        vmq_support::LibraryInput input;
        if (!load(name, mesh, input))
            return 1;
        const double triangles = double(mesh.triangleCount());
        const LibraryFigures ours = measureLibrary(input, CompressionSettings{}, name);
        const LibraryFigures unoptimized = measureLibrary(input, unoptimizedSettings(), name);
        std::printf("| %s | %.0f | %.0f | %.0f |\n", name.c_str(), triangles, double(ours.peakBytes) / triangles,
                    double(unoptimized.peakBytes) / triangles);
    }
    return 0;
}

// Prints the number of triangles compressed, for per-triangle figures.
int profile(const std::vector<std::string>& names, const CompressionSettings& settings, bool decode)
{
    size_t triangles = 0;
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        vmq_support::LibraryInput input;
        if (!load(name, mesh, input))
            return 1;
        CompressedMesh* record = compressWithLibrary(input, settings, name);
        if (decode) {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(record, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
            if (!decoded) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
                return 1;
            }
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        }
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
        triangles += mesh.triangleCount();
    }
    std::printf("profiled triangles %zu\n", triangles);
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
    if (mode == "--sequence" || mode == "--profile-frames") {
        const std::string archive = names.empty() ? kSequenceArchive : names.front();
        return mode == "--sequence" ? printSequenceFigures(archive) : profileFrames(archive);
    }
    const bool allMeshes = names.empty();
    if (names.empty())
        names = vmq_support::digestMeshes();
    if (mode.empty()) {
        if (const int status = printTables(names))
            return status;
        return allMeshes ? printSequenceFigures(kSequenceArchive) : 0;
    }
    if (mode == "--digest")
        return vmq_support::printMeshDigests(names) ? 0 : 1;
    if (mode == "--memory")
        return printMemory(names);
    if (mode == "--profile" || mode == "--profile-decode")
        return profile(names, CompressionSettings{}, mode == "--profile-decode");
    if (mode == "--profile-unoptimized")
        return profile(names, unoptimizedSettings(), false);
    std::fprintf(stderr, "unknown option %s\n", mode.c_str());
    return 2;
}
