#include "record_digest.h"

#include "mesh_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace vmq_support {

namespace {

// Defaults; normals recomputed and smoothed, tangents, duplicate triangles dropped, small meshlets.
std::vector<SequenceSettings> sequenceSettings()
{
    std::vector<SequenceSettings> settings(2);
    settings[1].compression.recomputeNormals = 1;
    settings[1].compression.smoothAllNormals = 1;
    settings[1].generateTangents = 1;
    settings[1].removeDuplicateTriangles = 1;
    settings[1].compression.maxMeshletVertices = 32;
    return settings;
}

} // namespace

std::vector<CompressionSettings> digestMeshSettings()
{
    std::vector<CompressionSettings> settings(3);
    settings[1].optimizeMesh = 0;
    settings[1].maxMeshletVertices = 32;
    settings[2].disableParallelogramPrediction = 1;
    settings[2].positionQuality = 1.0f;
    settings[2].minMeshletTriangles = 8;
    return settings;
}

uint64_t recordDigest(const CompressedMesh& r)
{
    Digest d;
    const uint32_t counts[6] = {r.meshletCount, r.triangleCount, r.vertexCount, r.indexWordCount, r.channelCount, r.valueCount};
    d.add(counts, sizeof counts);
    d.add(r.streamWordsBegin, r.streamWordsEnd);
    d.add(r.tableBlobBegin, r.tableBlobEnd);
    d.add(r.meshletBitOffsetsBegin, r.meshletBitOffsetsEnd);
    for (uint32_t c = 0; c < r.channelCount; ++c) {
        d.add(r.channels[c].streamWordsBegin, r.channels[c].streamWordsEnd);
        d.add(r.channels[c].tableBlobBegin, r.channels[c].tableBlobEnd);
        d.add(r.channels[c].meshletBitOffsetsBegin, r.channels[c].meshletBitOffsetsEnd);
    }
    d.add(r.meshletValueOffsetsBegin, r.meshletValueOffsetsEnd);
    d.add(r.meshletTriangleOffsetsBegin, r.meshletTriangleOffsetsEnd);
    d.add(r.quantParamsBegin, r.quantParamsEnd);
    d.add(r.channelKindsBegin, r.channelKindsEnd);
    d.add(r.boundsMin, sizeof r.boundsMin);
    d.add(r.boundsMax, sizeof r.boundsMax);
    d.add(r.meshletHeadersBegin, r.meshletHeadersEnd);
    if (MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(&r)) {
        std::vector<uint32_t> triangles;
        for (uint32_t m = 0; m < Pelku_Vmq_Compression_GetPartitionMeshletCount(handle); ++m) {
            triangles.resize(Pelku_Vmq_Compression_GetPartitionMeshletTriangles(handle, m, nullptr, 0));
            Pelku_Vmq_Compression_GetPartitionMeshletTriangles(handle, m, triangles.data(), triangles.size());
            const uint32_t size = uint32_t(triangles.size());
            d.add(&size, sizeof size);
            d.add(triangles.data(), triangles.data() + triangles.size());
        }
        Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
    }
    return d.value;
}

uint64_t sequenceDigest(const CompressedSequence& sequence)
{
    Digest d;
    const uint32_t head[3] = {sequence.frameCount, sequence.staticTopology, sequence.staticAttributeMask};
    d.add(head, sizeof head);
    d.add(&sequence.frameDuration, sizeof sequence.frameDuration);
    for (uint32_t f = 0; f < sequence.frameCount; ++f) {
        const uint64_t frame = sequence.frames[f] ? recordDigest(*sequence.frames[f]) : 0;
        d.add(&frame, sizeof frame);
    }
    for (const char* const* name = sequence.materialNamesBegin; name != sequence.materialNamesEnd; ++name)
        d.add(*name, std::strlen(*name) + 1);
    return d.value;
}

const std::vector<std::string>& digestMeshes()
{
    static const std::vector<std::string> meshes = {"pirate.obj",    "spot.obj",       "bob_tri.obj", "human_neutral.obj",
                                                    "armadillo.obj", "bun_zipper.ply", "horse.ply",   "dragon.obj",
                                                    "happy_buddha.obj", "igea.ply"};
    return meshes;
}

std::vector<std::string> fixtureArchives()
{
    std::vector<std::string> paths;
    for (const char* folder : {"abc", "abc-format", "bench"}) {
        const std::filesystem::path dir = std::filesystem::path(sharedPath("fixtures")) / folder;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir, error))
            if (entry.path().extension() == ".abc")
                paths.push_back(entry.path().generic_string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool printMeshDigests(const std::vector<std::string>& meshes)
{
    const std::vector<CompressionSettings> settings = digestMeshSettings();
    for (const std::string& name : meshes) {
        LoadedMesh mesh;
        std::string error;
        if (!loadMesh(sharedPath("data/meshes/" + name), mesh, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        LibraryInput input;
        describe(mesh, input);
        std::printf("%-18s", name.c_str());
        for (const CompressionSettings& s : settings) {
            CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &s);
            if (!record) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
                return false;
            }
            std::printf(" %016llx", static_cast<unsigned long long>(recordDigest(*record)));
            Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
        }
        std::printf("\n");
    }
    return true;
}

void printArchiveDigests(const std::vector<std::string>& archives)
{
    const std::vector<SequenceSettings> settings = sequenceSettings();
    for (const std::string& path : archives) {
        std::printf("%-28s", std::filesystem::path(path).filename().string().c_str());
        for (const SequenceSettings& s : settings) {
            CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &s, 2, nullptr, nullptr);
            if (!sequence) {
                std::printf(" %16s", "failed");
                continue;
            }
            std::printf(" %016llx", static_cast<unsigned long long>(sequenceDigest(*sequence)));
            Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
        }
        std::printf("\n");
    }
}

} // namespace vmq_support
