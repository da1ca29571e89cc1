// Decode speed on the shared meshes, in one run: the library's whole-mesh decoder (on one thread
// and on all), its per-meshlet random access and its CUDA decoder beside Draco's mesh decoder and
// meshoptimizer's index and vertex decoders, all on the same mesh at 12-bit positions, 6-bit
// normals and 13-bit texture coordinates. Ratios are the library's Mtri/s divided by the peer's
// (above 1: the library is faster).
//
//   decode_bench [mesh ...]                     the table (default: spot, bob_tri, bun_zipper,
//                                               dragon, igea)
//   decode_bench --digest [mesh ...]            one hash of the decoded output per mesh and
//                                               setting (default: every shared mesh)
//   decode_bench --digest-archives [archive ...]  one hash of every decoded frame per archive
//                                               (default: every shared fixture archive)
//   decode_bench --profile [mesh ...]           one whole-mesh decode and one pass of per-meshlet
//                                               decodes per mesh, for a profiler
//   decode_bench --library [mesh ...]           the library's columns alone, to compare builds
//   decode_bench --gpu-check [mesh ...]         every mesh (default: all) decoded on the CUDA device
//                                               at the digest settings and compared with the host's
//                                               decode bit for bit, with the device's rate
#include "pelku_vmq_compression.h"
#include "pelku_vmq_cuda.h"
#include "pelku_vmq_decode.h"

#include "mesh_io.h"
#include "peer_harness.h"
#include "record_digest.h"

#include <draco/compression/decode.h>
#include <draco/compression/encode.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Single-threaded figures are the thread's processor time (the same as the wall time on a
// quiet machine; steadier on a busy one).
double secondsPerCall(const std::function<void()>& call)
{
    return peer_harness::secondsPerCall(call, 0.2, peer_harness::Clock::ThreadCpu);
}

const std::vector<std::string> kTableMeshes = {"spot.obj", "bob_tri.obj", "bun_zipper.ply", "dragon.obj", "igea.ply"};

bool load(const std::string& name, vmq_support::LoadedMesh& mesh)
{
    std::string error;
    if (vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), mesh, error))
        return true;
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
}

CompressedMesh* compress(const vmq_support::LoadedMesh& mesh, const CompressionSettings& settings, const std::string& name)
{
    vmq_support::LibraryInput input;
    vmq_support::describe(mesh, input);
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
    if (!compressed)
        std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
    return compressed;
}

int32_t modeOf(const CompressionSettings& settings)
{
    return settings.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
}

// Every meshlet through the random-access path, in a shuffled order, into one set of buffers.
struct MeshletPass {
    MeshDecoder* decoder = nullptr;
    std::vector<uint32_t> order, triangles, grid;
    std::vector<float> values;

    MeshletPass(const CompressedMesh& mesh, int32_t mode)
        : decoder(Pelku_Vmq_Compression_CreateMeshDecoder(&mesh, mode)), order(mesh.meshletCount),
          triangles(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(size_t(mesh.channelCount) * PELKU_VMQ_MAX_MESHLET_ELEMENTS),
          values(grid.size())
    {
        for (uint32_t m = 0; m < order.size(); ++m)
            order[m] = m;
        std::shuffle(order.begin(), order.end(), std::mt19937(5));
    }
    ~MeshletPass() { Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder); }

    // Decodes meshlet m; calls place(info, triangles, grid, values) with what it wrote.
    template <typename Place>
    bool decode(uint32_t m, Place&& place)
    {
        DecodedMeshletInfo info{};
        if (!Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, triangles.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(), values.data(),
                                                 PELKU_VMQ_MAX_MESHLET_ELEMENTS, &info))
            return false;
        place(info, triangles.data(), grid.data(), values.data());
        return true;
    }
    bool run()
    {
        bool ok = decoder != nullptr;
        for (uint32_t m : order)
            ok = decode(m, [](const DecodedMeshletInfo&, const uint32_t*, const uint32_t*, const float*) {}) && ok;
        return ok;
    }
};

// The decoded output, whole-mesh and meshlet by meshlet, as one hash; "differs" when the two
// paths disagree, "failed" when either refuses the record.
std::string decodeDigest(const CompressedMesh& mesh, int32_t mode)
{
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&mesh, mode);
    if (!decoded)
        return "failed";
    vmq_support::Digest d;
    const uint32_t counts[4] = {decoded->meshletCount, decoded->triangleCount, decoded->vertexCount, decoded->channelCount};
    d.add(counts, sizeof counts);
    d.add(decoded->trianglesBegin, decoded->trianglesEnd);
    d.add(decoded->gridValuesBegin, decoded->gridValuesEnd);
    d.add(decoded->valuesBegin, decoded->valuesEnd);
    d.add(decoded->meshletsBegin, decoded->meshletsEnd);

    // Meshlet by meshlet, placed at its offsets, must give the same bytes.
    std::vector<uint32_t> triangles(decoded->trianglesBegin, decoded->trianglesEnd), grid(decoded->gridValuesBegin, decoded->gridValuesEnd);
    std::vector<float> values(decoded->valuesBegin, decoded->valuesEnd);
    std::fill(triangles.begin(), triangles.end(), ~0u);
    std::fill(grid.begin(), grid.end(), ~0u);
    std::fill(values.begin(), values.end(), -1.0f);
    const size_t c = mesh.channelCount;
    MeshletPass pass(mesh, mode);
    bool same = pass.decoder != nullptr;
    for (uint32_t m = 0; same && m < mesh.meshletCount; ++m)
        same = pass.decode(m, [&](const DecodedMeshletInfo& info, const uint32_t* t, const uint32_t* g, const float* v) {
            same = std::equal(t, t + 3 * size_t(info.triangleCount), decoded->trianglesBegin + 3 * size_t(info.triangleOffset)) &&
                   std::equal(g, g + c * info.vertexCount, decoded->gridValuesBegin + c * info.vertexOffset) &&
                   std::equal(v, v + c * info.vertexCount, decoded->valuesBegin + c * info.vertexOffset,
                              [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; });
        }) && same;
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    if (!same)
        return "differs";
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(d.value));
    return text;
}

int printDigests(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        std::printf("%-18s", name.c_str());
        for (const CompressionSettings& s : vmq_support::digestMeshSettings()) {
            CompressedMesh* record = compress(mesh, s, name);
            if (!record)
                return 1;
            std::printf(" %16s", decodeDigest(*record, modeOf(s)).c_str());
            Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}

// One hash over the decoded frames of each archive, default sequence settings.
int printArchiveDigests(std::vector<std::string> paths)
{
    if (paths.empty())
        paths = vmq_support::fixtureArchives();
    for (const std::string& path : paths) {
        std::printf("%-28s", std::filesystem::path(path).filename().string().c_str());
        SequenceSettings settings{};
        CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 2, nullptr, nullptr);
        if (!sequence) {
            std::printf(" %16s\n", "no sequence");
            continue;
        }
        vmq_support::Digest d;
        for (uint32_t f = 0; f < sequence->frameCount; ++f) {
            const std::string frame = sequence->frames[f] ? decodeDigest(*sequence->frames[f], modeOf(settings.compression)) : "none";
            d.add(frame.data(), frame.size());
        }
        std::printf(" %016llx\n", static_cast<unsigned long long>(d.value));
        std::fflush(stdout);
        Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
    }
    return 0;
}

int profile(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        CompressedMesh* record = compress(mesh, CompressionSettings{}, name);
        if (!record)
            return 1;
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(record, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        MeshletPass pass(*record, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        const bool ok = decoded && pass.run();
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
            return 1;
        }
    }
    return 0;
}

struct Interleaved {
    std::vector<float> vertices; // position, normal, texcoord as present
    size_t stride = 0;
};

Interleaved interleave(const vmq_support::LoadedMesh& mesh)
{
    Interleaved out;
    const size_t floats = 3 + (mesh.normals.empty() ? 0 : 3) + (mesh.texcoords.empty() ? 0 : 2);
    out.stride = floats * sizeof(float);
    for (size_t v = 0; v < mesh.vertexCount(); ++v) {
        out.vertices.insert(out.vertices.end(), mesh.positions.begin() + 3 * v, mesh.positions.begin() + 3 * v + 3);
        if (!mesh.normals.empty())
            out.vertices.insert(out.vertices.end(), mesh.normals.begin() + 3 * v, mesh.normals.begin() + 3 * v + 3);
        if (!mesh.texcoords.empty())
            out.vertices.insert(out.vertices.end(), mesh.texcoords.begin() + 2 * v, mesh.texcoords.begin() + 2 * v + 2);
    }
    return out;
}

double dracoSecondsPerDecode(const vmq_support::LoadedMesh& mesh)
{
    auto dracoMesh = peer_harness::toDraco(mesh);
    draco::Encoder encoder;
    encoder.SetAttributeQuantization(draco::GeometryAttribute::POSITION, 12);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::NORMAL, 6);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::TEX_COORD, 13);
    draco::EncoderBuffer buffer;
    if (!encoder.EncodeMeshToBuffer(*dracoMesh, &buffer).ok())
        return 0;
    return secondsPerCall([&] {
        draco::DecoderBuffer input;
        input.Init(buffer.data(), buffer.size());
        draco::Decoder decoder;
        auto result = decoder.DecodeMeshFromBuffer(&input);
        (void)result;
    });
}

double meshoptSecondsPerDecode(const vmq_support::LoadedMesh& mesh)
{
    Interleaved vertices = interleave(mesh);
    const size_t vertexCount = mesh.vertexCount();
    std::vector<unsigned char> indexCode(meshopt_encodeIndexBufferBound(mesh.indices.size(), vertexCount));
    indexCode.resize(meshopt_encodeIndexBuffer(indexCode.data(), indexCode.size(), mesh.indices.data(), mesh.indices.size()));
    std::vector<unsigned char> vertexCode(meshopt_encodeVertexBufferBound(vertexCount, vertices.stride));
    vertexCode.resize(meshopt_encodeVertexBuffer(vertexCode.data(), vertexCode.size(), vertices.vertices.data(), vertexCount, vertices.stride));
    std::vector<uint32_t> indices(mesh.indices.size());
    std::vector<float> decodedVertices(vertices.vertices.size());
    return secondsPerCall([&] {
        meshopt_decodeIndexBuffer(indices.data(), indices.size(), indexCode.data(), indexCode.size());
        meshopt_decodeVertexBuffer(decodedVertices.data(), vertexCount, vertices.stride, vertexCode.data(), vertexCode.size());
    });
}

// Seconds per decode on the device, upload left out; 0 with the reason in `why` when the device
// cannot be used.
double gpuSecondsPerDecode(const CompressedMesh& compressed, std::string& why)
{
    CudaMeshDecoder* decoder = Pelku_Vmq_Compression_CudaCreateMeshDecoder(&compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    if (!decoder) {
        why = Pelku_Vmq_Compression_GetCompressionErrorString();
        return 0;
    }
    bool ok = true;
    const double seconds =
        peer_harness::secondsPerCall([&] { ok = Pelku_Vmq_Compression_CudaDecodeMesh(decoder, nullptr) == 1 && ok; }, 0.2);
    if (!ok)
        why = Pelku_Vmq_Compression_GetCompressionErrorString();
    Pelku_Vmq_Compression_CudaReleaseMeshDecoder(decoder);
    return ok ? seconds : 0;
}

int printTable(const std::vector<std::string>& names, bool peers)
{
    const uint32_t threads = std::max(1u, std::thread::hardware_concurrency());
    std::printf("| mesh | triangles | bits/tri | whole Mtri/s | %u threads Mtri/s | per-meshlet Mtri/s | per-meshlet time / whole "
                "| draco Mtri/s | ÷ draco | meshopt Mtri/s | ÷ meshopt | GPU Gtri/s |\n",
                threads);
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double logWhole = 0, logThreads = 0, logMeshlet = 0, logDraco = 0, logMeshopt = 0, logGpu = 0;
    size_t gpuRates = 0;
    std::string gpuWhy;
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        const double triangles = double(mesh.triangleCount());
        CompressedMesh* compressed = compress(mesh, CompressionSettings{}, name);
        if (!compressed)
            return 1;
        const double bitsPerTriangle = 32.0 * double(peer_harness::streamWords(*compressed)) / triangles;
        bool ok = true;
        const double wholeSeconds = secondsPerCall([&] {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
            ok = ok && decoded;
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        });
        const double threadsSeconds = peer_harness::secondsPerCall([&] {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMeshWithThreads(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM, 0);
            ok = ok && decoded;
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        });
        MeshletPass pass(*compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        const double meshletSeconds = secondsPerCall([&] { ok = pass.run() && ok; });
        const double gpuSeconds = gpuSecondsPerDecode(*compressed, gpuWhy);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
            return 1;
        }
        const double dracoSeconds = peers ? dracoSecondsPerDecode(mesh) : 1, meshoptSeconds = peers ? meshoptSecondsPerDecode(mesh) : 1;
        const double whole = triangles / wholeSeconds / 1e6, threaded = triangles / threadsSeconds / 1e6;
        const double meshlet = triangles / meshletSeconds / 1e6;
        const double draco = triangles / dracoSeconds / 1e6, meshopt = triangles / meshoptSeconds / 1e6;
        const double gpu = gpuSeconds > 0 ? triangles / gpuSeconds / 1e9 : 0;
        char gpuText[32] = "n/a", peerText[96] = "| | | |";
        if (gpu > 0)
            std::snprintf(gpuText, sizeof gpuText, "%.3f", gpu);
        if (peers)
            std::snprintf(peerText, sizeof peerText, "%.2f | %.2f | %.2f | %.2f", draco, whole / draco, meshopt, whole / meshopt);
        std::printf("| %s | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f | %s | %s |\n", name.c_str(), triangles, bitsPerTriangle, whole, threaded,
                    meshlet, meshletSeconds / wholeSeconds, peerText, gpuText);
        std::fflush(stdout);
        logWhole += std::log(whole), logThreads += std::log(threaded), logMeshlet += std::log(meshlet);
        logDraco += std::log(draco), logMeshopt += std::log(meshopt);
        if (gpu > 0)
            logGpu += std::log(gpu), ++gpuRates;
    }
    const double n = double(names.size());
    const double whole = std::exp(logWhole / n), threaded = std::exp(logThreads / n), meshlet = std::exp(logMeshlet / n);
    const double draco = std::exp(logDraco / n), meshopt = std::exp(logMeshopt / n);
    char gpuText[32] = "n/a", peerText[96] = "| | | |";
    if (gpuRates == names.size())
        std::snprintf(gpuText, sizeof gpuText, "%.3f", std::exp(logGpu / n));
    if (peers)
        std::snprintf(peerText, sizeof peerText, "%.2f | %.2f | %.2f | %.2f", draco, whole / draco, meshopt, whole / meshopt);
    std::printf("| geometric mean | | | %.2f | %.2f | %.2f | %.2f | %s | %s |\n", whole, threaded, meshlet, whole / meshlet,
                peerText, gpuText);
    std::printf("single-threaded columns: thread processor time; threads and GPU: wall clock, best of three rounds%s%s\n",
                gpuWhy.empty() ? "" : "; GPU: ", gpuWhy.c_str());
    return 0;
}

// Every mesh decoded on the device at the digest settings and compared with the host's decode bit
// for bit; the device's rate in G triangles/s. Exit status 1 on any difference or failure.
int gpuCheck(const std::vector<std::string>& names)
{
    bool allSame = true;
    double logRate = 0;
    int rates = 0;
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        if (!load(name, mesh))
            return 1;
        const std::vector<CompressionSettings> settings = vmq_support::digestMeshSettings();
        for (size_t k = 0; k < settings.size(); ++k) {
            CompressedMesh* compressed = compress(mesh, settings[k], name);
            if (!compressed)
                return 1;
            const int32_t mode = modeOf(settings[k]);
            DecodedMesh* host = Pelku_Vmq_Compression_DecodeMesh(compressed, mode);
            CudaMeshDecoder* decoder = Pelku_Vmq_Compression_CudaCreateMeshDecoder(compressed, mode);
            DecodedMesh* device = decoder && Pelku_Vmq_Compression_CudaDecodeMesh(decoder, nullptr) == 1
                                      ? Pelku_Vmq_Compression_CudaDownloadDecodedMesh(decoder)
                                      : nullptr;
            std::string verdict;
            if (!host || !device) {
                verdict = std::string("failed: ") + Pelku_Vmq_Compression_GetCompressionErrorString();
            } else {
                const bool same = std::equal(host->trianglesBegin, host->trianglesEnd, device->trianglesBegin, device->trianglesEnd) &&
                                  std::equal(host->gridValuesBegin, host->gridValuesEnd, device->gridValuesBegin, device->gridValuesEnd) &&
                                  std::memcmp(host->valuesBegin, device->valuesBegin, size_t(host->valuesEnd - host->valuesBegin) * 4) == 0;
                verdict = same ? "identical" : "DIFFERS";
                if (same && k == 0) {
                    const double seconds =
                        peer_harness::secondsPerCall([&] { Pelku_Vmq_Compression_CudaDecodeMesh(decoder, nullptr); }, 0.2);
                    const double rate = double(compressed->triangleCount) / seconds / 1e9;
                    logRate += std::log(rate), ++rates;
                    char text[64];
                    std::snprintf(text, sizeof text, ", %.3f Gtri/s", rate);
                    verdict += text;
                }
            }
            allSame = allSame && verdict.rfind("identical", 0) == 0;
            std::printf("%-18s setting %zu: %s\n", name.c_str(), k, verdict.c_str());
            std::fflush(stdout);
            Pelku_Vmq_Compression_ReleaseDecodedMesh(device);
            Pelku_Vmq_Compression_ReleaseDecodedMesh(host);
            Pelku_Vmq_Compression_CudaReleaseMeshDecoder(decoder);
            Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
        }
    }
    if (rates > 0)
        std::printf("GPU decode, geometric mean over the default-setting meshes: %.3f Gtri/s (wall clock per decode, upload left out)\n",
                    std::exp(logRate / rates));
    std::printf("%s\n", allSame ? "every decode identical to the host's" : "SOME DECODES DIFFER OR FAILED");
    return allSame ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode;
    std::vector<std::string> names;
    peer_harness::splitArguments(argc, argv, mode, names);
    if (mode == "--digest-archives")
        return printArchiveDigests(names);
    if (mode == "--digest")
        return printDigests(names.empty() ? vmq_support::digestMeshes() : names);
    if (mode == "--gpu-check")
        return gpuCheck(names.empty() ? vmq_support::digestMeshes() : names);
    if (names.empty())
        names = kTableMeshes;
    if (mode.empty() || mode == "--library")
        return printTable(names, mode.empty());
    if (mode == "--profile")
        return profile(names);
    std::fprintf(stderr, "unknown option %s\n", mode.c_str());
    return 2;
}
