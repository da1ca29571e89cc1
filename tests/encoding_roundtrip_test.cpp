// Whole meshes with a given partition through the exported functions, every meshlet read back
// from the record's bitstreams and compared with the input's quantised values; topology reuse;
// the input checks of the encoding stages.
#include "meshlet_decoder.h"
#include "pipeline/driver.h"
#include "pelku_vmq_compression.h"
#include "test_meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Corner = std::vector<uint32_t>; // all channel values of one corner
using CornerTriangle = std::array<Corner, 3>;

struct RecordPtr {
    CompressedMesh* mesh = nullptr;
    ~RecordPtr()
    {
        if (mesh)
            Pelku_Vmq_Compression_ReleaseCompressedMesh(mesh);
    }
};

template <typename T>
std::vector<T> spanOf(const T* begin, const T* end)
{
    return std::vector<T>(begin, end);
}

// Reads every meshlet of the record back and compares it with the partition's triangles, in
// the stream order (ascending group id, ties in partition order).
void expectRecordDecodes(const CompressedMesh& record, const vmq::MeshTables& mesh, const MeshletPartition& partition)
{
    const uint32_t channels = record.channelCount;
    ASSERT_EQ(record.meshletCount, partition.meshlets.size());
    std::vector<size_t> order(partition.meshlets.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return mesh.triangleGroups[partition.meshlets[a][0]] < mesh.triangleGroups[partition.meshlets[b][0]];
    });
    uint32_t triangles = 0, vertices = 0;
    for (uint32_t m = 0; m < record.meshletCount; ++m) {
        SCOPED_TRACE("meshlet " + std::to_string(m));
        const std::vector<uint32_t>& list = partition.meshlets[order[m]];
        const vmq_test::MeshletSymbols symbols = vmq_test::readMeshletSymbols(record, m);
        EXPECT_EQ(symbols.triangleOffset, record.meshletTriangleOffsetsBegin[m]);
        EXPECT_EQ(symbols.vertexOffset * channels, record.meshletValueOffsetsBegin[m]);
        EXPECT_EQ(symbols.triangleOffset, triangles);
        EXPECT_EQ(symbols.vertexOffset, vertices);
        EXPECT_EQ(symbols.groupId, mesh.triangleGroups[list[0]]);
        triangles += symbols.triangleCount;
        vertices += symbols.vertexCount;
        const vmq_test::DecodedMeshlet decoded = vmq_test::decodeMeshlet(symbols, false);

        std::vector<CornerTriangle> got, want;
        for (const auto& t : decoded.triangles) {
            CornerTriangle corners;
            for (int k = 0; k < 3; ++k)
                for (uint32_t c = 0; c < channels; ++c)
                    corners[k].push_back(decoded.values[c][t[k]]);
            got.push_back(vmq_test::canonicalRotation(corners));
        }
        uint32_t boxMin[3] = {UINT32_MAX, UINT32_MAX, UINT32_MAX}, boxMax[3] = {0, 0, 0};
        for (uint32_t g : list) {
            CornerTriangle corners;
            for (int k = 0; k < 3; ++k) {
                for (uint32_t c = 0; c < channels; ++c)
                    corners[k].push_back(mesh.channelValues[c][mesh.triangles[g][k]]);
                for (int axis = 0; axis < 3; ++axis) {
                    boxMin[axis] = std::min(boxMin[axis], corners[k][axis]);
                    boxMax[axis] = std::max(boxMax[axis], corners[k][axis]);
                }
            }
            want.push_back(vmq_test::canonicalRotation(corners));
        }
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        ASSERT_EQ(got, want);
        const uint32_t* header = record.meshletHeadersBegin + size_t(m) * 8;
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(header[axis], boxMin[axis]);
            EXPECT_EQ(header[3 + axis], boxMax[axis] - boxMin[axis]);
        }
    }
    EXPECT_EQ(record.triangleCount, triangles);
    EXPECT_EQ(record.vertexCount, vertices);
    EXPECT_EQ(record.valueCount, vertices * channels);
}

TEST(EncodingRoundTrip, RealMeshesWithGivenPartition)
{
    for (const char* name : {"spot.obj", "pirate.obj"}) {
        SCOPED_TRACE(name);
        vmq_support::LoadedMesh loaded;
        VMQ_LOAD_SHARED_MESH(name, loaded);
        vmq_test::MeshInput input(loaded);
        CompressionSettings settings{};
        vmq::CompressionContext context;
        const vmq::MeshTables mesh = vmq_test::wholeMeshTables(input, settings, context);
        const MeshletPartition partition = vmq_test::runPartition(mesh.triangleGroups, 64);
        input.descriptor.partition = &partition;
        RecordPtr record{Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings)};
        ASSERT_NE(record.mesh, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        EXPECT_EQ(record.mesh->partition, nullptr);
        EXPECT_EQ(record.mesh->topology, nullptr);
        expectRecordDecodes(*record.mesh, mesh, partition);
    }
}

TEST(EncodingRoundTrip, IrregularMeshletsThroughTheRecord)
{
    // Non-manifold edges, degenerate triangles and a meshlet that starts with a repeated corner.
    const std::vector<Triangle> triangles = {{{0, 1, 2}}, {{2, 1, 3}}, {{1, 2, 4}}, {{0, 1, 2}}, {{0, 0, 2}},
                                             {{1, 0, 3}}, {{5, 5, 6}}, {{5, 6, 7}}, {{7, 6, 8}}};
    std::vector<float> positions;
    for (uint32_t v = 0; v < 9; ++v)
        positions.insert(positions.end(), {float(v % 3), float(v / 3), float(v * v % 5)});
    const std::vector<uint32_t> groups(triangles.size(), 0);
    const MeshAttribute attribute{POSITION, positions.data(), positions.data() + positions.size(), 3};
    MeshletPartition partition;
    partition.meshlets = {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}};
    MeshDescriptor descriptor{triangles.data(), triangles.data() + triangles.size(), &attribute, &attribute + 1,
                              groups.data(), groups.data() + groups.size(), &partition, nullptr};
    CompressionSettings settings{};
    RecordPtr record{Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings)};
    ASSERT_NE(record.mesh, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();

    vmq_test::MeshInput input(vmq_support::LoadedMesh{});
    input.triangles = triangles;
    input.attributes = {attribute};
    input.descriptor = descriptor;
    vmq::CompressionContext context;
    expectRecordDecodes(*record.mesh, vmq_test::wholeMeshTables(input, settings, context), partition);
}

// The topology list a compression with this partition uses, kept as a built partition keeps it.
MeshletTopologyList keptTopology(const vmq_test::MeshInput& input, const CompressionSettings& settings, const MeshletPartition& partition)
{
    vmq::CompressionContext context;
    const vmq::MeshTables mesh = vmq_test::wholeMeshTables(input, settings, context);
    MeshletTopologyList list;
    vmq::MeshletScratch scratch;
    vmq::EncodedMeshlet meshlet;
    for (const std::vector<uint32_t>& triangles : partition.meshlets) {
        vmq::encodeMeshlet(meshlet, context.quantParams, mesh, triangles, settings.disableParallelogramPrediction != 0, scratch);
        list.append(meshlet.topology);
    }
    return list;
}

TEST(EncodingRoundTrip, ReuseTopologyForAMovedCopy)
{
    vmq_support::LoadedMesh loaded;
    VMQ_LOAD_SHARED_MESH("spot.obj", loaded);
    vmq_test::MeshInput input(loaded);
    CompressionSettings settings{};
    const MeshletPartition partition = vmq_test::runPartition(loaded.groups, 64);
    const MeshletTopologyList kept = keptTopology(input, settings, partition);

    input.descriptor.partition = &partition;
    RecordPtr original{Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings)};
    ASSERT_NE(original.mesh, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();

    // The moved copy: rotated about z, stretched and shifted.
    vmq_support::LoadedMesh moved = loaded;
    for (size_t v = 0; v < moved.vertexCount(); ++v) {
        float* p = &moved.positions[3 * v];
        const float x = p[0], y = p[1];
        p[0] = 0.8f * x - 0.6f * y + 3.0f;
        p[1] = 0.6f * x + 0.8f * y;
        p[2] = 1.5f * p[2] - 1.0f + 0.1f * std::sin(7.0f * x);
    }
    vmq_test::MeshInput movedInput(moved);
    movedInput.descriptor.partition = &partition;
    movedInput.descriptor.reuseTopology = &kept;
    RecordPtr reused{Pelku_Vmq_Compression_CompressMesh(&movedInput.descriptor, &settings)};
    ASSERT_NE(reused.mesh, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();

    // The global streams hold only topology, counts and offsets: they match bit for bit.
    EXPECT_EQ(spanOf(original.mesh->streamWordsBegin, original.mesh->streamWordsEnd),
              spanOf(reused.mesh->streamWordsBegin, reused.mesh->streamWordsEnd));
    EXPECT_EQ(spanOf(original.mesh->tableBlobBegin, original.mesh->tableBlobEnd),
              spanOf(reused.mesh->tableBlobBegin, reused.mesh->tableBlobEnd));
    EXPECT_EQ(spanOf(original.mesh->meshletBitOffsetsBegin, original.mesh->meshletBitOffsetsEnd),
              spanOf(reused.mesh->meshletBitOffsetsBegin, reused.mesh->meshletBitOffsetsEnd));
    EXPECT_NE(spanOf(original.mesh->channels[0].streamWordsBegin, original.mesh->channels[0].streamWordsEnd),
              spanOf(reused.mesh->channels[0].streamWordsBegin, reused.mesh->channels[0].streamWordsEnd));

    vmq::CompressionContext context;
    expectRecordDecodes(*reused.mesh, vmq_test::wholeMeshTables(movedInput, settings, context), partition);
}

TEST(EncodingRoundTrip, InputChecksNameTheProblem)
{
    // Two fans of four triangles; the second meshlet repeats the first's triangles.
    std::vector<Triangle> triangles;
    std::vector<float> positions;
    for (uint32_t i = 0; i < 4; ++i)
        triangles.push_back({{0, i + 1, i + 2}});
    for (uint32_t v = 0; v < 6; ++v)
        positions.insert(positions.end(), {float(v), float(v * v), 0.5f});
    std::vector<uint32_t> groups(triangles.size(), 0);
    const MeshAttribute attribute{POSITION, positions.data(), positions.data() + positions.size(), 3};
    MeshletPartition partition;
    partition.meshlets = {{0, 1}, {2, 3}};
    MeshDescriptor descriptor{triangles.data(), triangles.data() + triangles.size(), &attribute, &attribute + 1,
                              groups.data(), groups.data() + groups.size(), &partition, nullptr};
    CompressionSettings settings{};
    const std::vector<Triangle> trianglesBefore = triangles;
    const std::vector<float> positionsBefore = positions;

    vmq_test::MeshInput input(vmq_support::LoadedMesh{});
    input.triangles = triangles;
    input.attributes = {attribute};
    input.descriptor = descriptor;
    MeshletTopologyList kept = keptTopology(input, settings, partition);
    MeshletTopologyList one;
    one.append(kept.load(0));
    MeshletTopologyList swapped;
    swapped.append(kept.load(0));
    swapped.append(kept.load(0));
    swapped.meshlets[1].vertexCount = 5;

    MeshletPartition wide;
    std::vector<Triangle> many;
    for (uint32_t t = 0; t < 700; ++t) {
        many.push_back({{3 * t, 3 * t + 1, 3 * t + 2}});
        wide.meshlets.resize(1);
        wide.meshlets[0].push_back(t);
    }
    std::vector<float> manyPositions(3 * 2100, 1.0f);
    std::vector<uint32_t> manyGroups(many.size(), 0);
    const MeshAttribute manyAttribute{POSITION, manyPositions.data(), manyPositions.data() + manyPositions.size(), 3};

    struct Case {
        const char* name;
        MeshDescriptor descriptor;
        CompressionSettings settings;
        const char* message;
    };
    CompressionSettings bigMeshlets{};
    bigMeshlets.maxMeshletVertices = 4096;
    MeshDescriptor fewer = descriptor, mismatch = descriptor, unpartitioned = descriptor, noPartition = descriptor;
    fewer.reuseTopology = &one;
    mismatch.reuseTopology = &swapped;
    unpartitioned.partition = nullptr;
    noPartition.partition = nullptr;
    noPartition.reuseTopology = &kept;
    // The same counts per meshlet, but triangle 3 is (3, 4, 5) instead of (0, 4, 5); and a group
    // id other than the one the topology was made for.
    std::vector<Triangle> changedTriangles = triangles;
    changedTriangles[3] = {{3, 4, 5}};
    MeshDescriptor changed = descriptor;
    changed.trianglesBegin = changedTriangles.data();
    changed.trianglesEnd = changedTriangles.data() + changedTriangles.size();
    changed.reuseTopology = &kept;
    std::vector<uint32_t> otherGroups = groups;
    otherGroups[2] = otherGroups[3] = 1;
    MeshDescriptor regrouped = descriptor;
    regrouped.triangleGroupsBegin = otherGroups.data();
    regrouped.triangleGroupsEnd = otherGroups.data() + otherGroups.size();
    regrouped.reuseTopology = &kept;
    const MeshDescriptor tooMany{many.data(), many.data() + many.size(), &manyAttribute, &manyAttribute + 1,
                                 manyGroups.data(), manyGroups.data() + manyGroups.size(), &wide, nullptr};
    const Case cases[] = {
        {"reuse list too short", fewer, settings, "reuseTopology holds 1 meshlet topologies, but the given partition has 2 meshlets"},
        {"reuse counts differ", mismatch, settings, "Meshlet 1 of the given partition has 2 triangles and 4 vertices, but its entry in reuseTopology was made for 2 triangles and 5 vertices"},
        {"reuse of other triangles", changed, settings, "Meshlet 1 of the given partition has other triangles than its entry in reuseTopology was made for"},
        {"reuse of another group", regrouped, settings, "Meshlet 1 of the given partition has group id 1, but its entry in reuseTopology was made for group id 0"},
        {"reuse without the partition", noPartition, settings, "reuseTopology needs the partition it was made with"},
        {"meshlet over 2047 vertices", tooMany, settings, "Meshlet 0 of the given partition uses 2100 vertices; a meshlet holds at most 2047"},
        {"vertex limit over 2047", unpartitioned, bigMeshlets, "maxMeshletVertices is 4096; a meshlet holds at most 2047 vertices"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&k.descriptor, &k.settings), nullptr);
        EXPECT_NE(std::string(Pelku_Vmq_Compression_GetCompressionErrorString()).find(k.message), std::string::npos)
            << Pelku_Vmq_Compression_GetCompressionErrorString();
    }
    EXPECT_EQ(triangles.size(), trianglesBefore.size());
    EXPECT_TRUE(std::equal(triangles.begin(), triangles.end(), trianglesBefore.begin(),
                           [](const Triangle& a, const Triangle& b) { return std::equal(a.indices, a.indices + 3, b.indices); }));
    EXPECT_EQ(positions, positionsBefore);

    // The matching list is accepted.
    descriptor.reuseTopology = &kept;
    RecordPtr record{Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings)};
    EXPECT_NE(record.mesh, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
}

} // namespace
