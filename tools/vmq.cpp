// vmq: the command-line tool. `vmq sample` compresses a procedurally generated mesh and prints
// the record's totals and array sizes; `vmq tangents` prints generated tangents of a text mesh.
#include "pelku_vmq_compression.h"
#include "partition/partition.h"
#include "frames_command.h"
#include "tangents_command.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct SampleMesh {
    std::vector<float> positions;
    std::vector<float> normals;
    std::vector<float> texcoords;
    std::vector<Triangle> triangles;
    std::vector<uint32_t> groups;
};

// A wavy grid of (n + 1)^2 vertices with two material groups (left and right half).
SampleMesh makeSampleMesh(uint32_t n)
{
    SampleMesh mesh;
    for (uint32_t y = 0; y <= n; ++y) {
        for (uint32_t x = 0; x <= n; ++x) {
            const float u = float(x) / float(n), v = float(y) / float(n);
            const float h = 0.1f * std::sin(6.0f * u) * std::cos(4.0f * v);
            mesh.positions.insert(mesh.positions.end(), {u, v, h});
            mesh.normals.insert(mesh.normals.end(), {0.0f, 0.0f, 1.0f});
            mesh.texcoords.insert(mesh.texcoords.end(), {u, v});
        }
    }
    for (uint32_t y = 0; y < n; ++y) {
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
            const uint32_t group = x < n / 2 ? 0 : 1;
            mesh.triangles.push_back({{a, b, d}});
            mesh.triangles.push_back({{a, d, c}});
            mesh.groups.insert(mesh.groups.end(), {group, group});
        }
    }
    return mesh;
}

// Consecutive runs of up to `size` triangles of one group.
MeshletPartition runPartition(const std::vector<uint32_t>& groups, size_t size)
{
    MeshletPartition partition;
    for (uint32_t t = 0; t < groups.size(); ++t) {
        if (partition.meshlets.empty() || partition.meshlets.back().size() >= size || groups[partition.meshlets.back().back()] != groups[t])
            partition.meshlets.emplace_back();
        partition.meshlets.back().push_back(t);
    }
    return partition;
}

template <typename T>
size_t count(const T* begin, const T* end)
{
    return size_t(end - begin);
}

int runSample()
{
    SampleMesh sample = makeSampleMesh(48);
    MeshAttribute attributes[3] = {
        {POSITION, sample.positions.data(), sample.positions.data() + sample.positions.size(), 3},
        {NORMAL, sample.normals.data(), sample.normals.data() + sample.normals.size(), 3},
        {TEXCOORD, sample.texcoords.data(), sample.texcoords.data() + sample.texcoords.size(), 2},
    };
    MeshletPartition partition = runPartition(sample.groups, 64);
    MeshDescriptor mesh{};
    mesh.trianglesBegin = sample.triangles.data();
    mesh.trianglesEnd = sample.triangles.data() + sample.triangles.size();
    mesh.attributesBegin = attributes;
    mesh.attributesEnd = attributes + 3;
    mesh.triangleGroupsBegin = sample.groups.data();
    mesh.triangleGroupsEnd = sample.groups.data() + sample.groups.size();
    mesh.partition = &partition;
    CompressionSettings settings{};

    std::printf("sample: wavy grid, %zu triangles, %zu vertices, %zu meshlets given\n", sample.triangles.size(),
                sample.positions.size() / 3, partition.meshlets.size());
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
    if (!result) {
        std::fprintf(stderr, "error: %s\n", Pelku_Vmq_Compression_GetCompressionErrorString());
        return 1;
    }
    size_t channelWords = 0, channelTables = 0;
    for (uint32_t c = 0; c < result->channelCount; ++c) {
        channelWords += count(result->channels[c].streamWordsBegin, result->channels[c].streamWordsEnd);
        channelTables += count(result->channels[c].tableBlobBegin, result->channels[c].tableBlobEnd);
    }
    const size_t globalWords = count(result->streamWordsBegin, result->streamWordsEnd);
    std::printf("%-28s %12s\n", "field", "value");
    std::printf("%-28s %12u\n", "meshletCount", result->meshletCount);
    std::printf("%-28s %12u\n", "triangleCount", result->triangleCount);
    std::printf("%-28s %12u\n", "vertexCount", result->vertexCount);
    std::printf("%-28s %12u\n", "indexWordCount", result->indexWordCount);
    std::printf("%-28s %12u\n", "channelCount", result->channelCount);
    std::printf("%-28s %12u\n", "valueCount", result->valueCount);
    std::printf("%-28s %12zu\n", "streamWords", globalWords);
    std::printf("%-28s %12zu\n", "tableBlob", count(result->tableBlobBegin, result->tableBlobEnd));
    std::printf("%-28s %12zu\n", "meshletBitOffsets", count(result->meshletBitOffsetsBegin, result->meshletBitOffsetsEnd));
    std::printf("%-28s %12zu\n", "channel streamWords (sum)", channelWords);
    std::printf("%-28s %12zu\n", "channel tableBlob (sum)", channelTables);
    std::printf("%-28s %12zu\n", "meshletHeaders", count(result->meshletHeadersBegin, result->meshletHeadersEnd));
    std::printf("%-28s %12.2f\n", "bits per triangle",
                result->triangleCount ? double(32 * (globalWords + channelWords)) / result->triangleCount : 0.0);
    std::printf("%-28s (%g, %g, %g)\n", "boundsMin", result->boundsMin[0], result->boundsMin[1], result->boundsMin[2]);
    std::printf("%-28s (%g, %g, %g)\n", "boundsMax", result->boundsMax[0], result->boundsMax[1], result->boundsMax[2]);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
    return 0;
}

void printUsage()
{
    std::printf("usage: vmq <command> [arguments]\n\ncommands:\n  sample    compress a built-in generated mesh and print the record\n"
                "  dump      print the object tree, property headers and samples of an archive\n"
                "  tangents  [INPUT] print generated tangents of a text mesh (standard input without INPUT)\n"
                "  frames    ARCHIVE [options] print the importer's frame count, static flags and frame hashes\n");
}

} // namespace

int runDump(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        printUsage();
        return argc < 2 ? 1 : 0;
    }
    const std::string command = argv[1];
    if (command == "sample")
        return runSample();
    if (command == "dump")
        return runDump(argc, argv);
    if (command == "frames")
        return runFramesCommand(argc, argv);
    if (command == "tangents")
        return runTangentsCommand(argc, argv);
    std::fprintf(stderr, "error: unknown command '%s'\n", argv[1]);
    printUsage();
    return 1;
}
