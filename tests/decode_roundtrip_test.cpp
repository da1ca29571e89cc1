// Decoding what the encoder wrote and comparing with the input: topology as a multiset of
// triangles of grid-value tuples, every grid value, the dequantised floats, and the record's
// offsets; random access per meshlet; corrupted records refused without out-of-bounds reads.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "encoding/quantise.h"
#include "mesh_io.h"
#include "partition/partition.h"
#include "pipeline/context.h"
#include "test_meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using Tuple = std::vector<uint32_t>;
using CornerTriangle = std::vector<Tuple>; // three grid tuples, rotated to a canonical start

struct TestMesh {
    std::vector<float> positions, normals, texcoords;
    std::vector<Triangle> triangles;
    std::vector<uint32_t> groups;
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};

    void finish()
    {
        attributes.clear();
        attributes.push_back({POSITION, positions.data(), positions.data() + positions.size(), 3});
        if (!normals.empty())
            attributes.push_back({NORMAL, normals.data(), normals.data() + normals.size(), 3});
        if (!texcoords.empty())
            attributes.push_back({TEXCOORD, texcoords.data(), texcoords.data() + texcoords.size(), 2});
        descriptor = {};
        descriptor.trianglesBegin = triangles.data();
        descriptor.trianglesEnd = triangles.data() + triangles.size();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = groups.data();
        descriptor.triangleGroupsEnd = groups.data() + groups.size();
    }
};

// A bumpy grid of n x n quads with `groupCount` groups in vertical bands.
TestMesh makeGrid(uint32_t n, uint32_t groupCount)
{
    TestMesh mesh;
    for (uint32_t y = 0; y <= n; ++y)
        for (uint32_t x = 0; x <= n; ++x) {
            const float u = float(x) / float(n), v = float(y) / float(n);
            mesh.positions.insert(mesh.positions.end(), {u, v, 0.2f * std::sin(7.0f * u) * std::cos(5.0f * v)});
            mesh.normals.insert(mesh.normals.end(), {std::sin(u), std::cos(v), 0.5f});
            mesh.texcoords.insert(mesh.texcoords.end(), {u, 1.0f - v});
        }
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
            const uint32_t group = x * groupCount / n;
            mesh.triangles.push_back({{a, b, d}});
            mesh.triangles.push_back({{a, d, c}});
            mesh.groups.insert(mesh.groups.end(), {group, group});
        }
    mesh.finish();
    return mesh;
}

TestMesh fromLoaded(const vmq_support::LoadedMesh& loaded)
{
    TestMesh mesh;
    mesh.positions = loaded.positions;
    mesh.normals = loaded.normals;
    mesh.texcoords = loaded.texcoords;
    for (size_t t = 0; t < loaded.triangleCount(); ++t)
        mesh.triangles.push_back({{loaded.indices[3 * t], loaded.indices[3 * t + 1], loaded.indices[3 * t + 2]}});
    mesh.groups = loaded.groups;
    mesh.finish();
    return mesh;
}

using vmq_test::runPartition;

CornerTriangle canonical(const Tuple& a, const Tuple& b, const Tuple& c)
{
    // The smallest of the three rotations: the winding is kept, the start made canonical.
    return std::min({CornerTriangle{a, b, c}, CornerTriangle{b, c, a}, CornerTriangle{c, a, b}});
}

// The input's triangles as grid tuples, quantised exactly as the library does.
std::vector<CornerTriangle> expectedTriangles(const TestMesh& mesh, const CompressionSettings& settings,
                                              std::vector<std::vector<uint32_t>>& channels)
{
    channels = vmq::quantiseAttributes(mesh.attributes, settings).channels;
    auto tuple = [&](uint32_t v) {
        Tuple t;
        for (const auto& channel : channels)
            t.push_back(channel[v]);
        return t;
    };
    std::vector<CornerTriangle> result;
    for (const Triangle& t : mesh.triangles)
        result.push_back(canonical(tuple(t.indices[0]), tuple(t.indices[1]), tuple(t.indices[2])));
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<CornerTriangle> decodedTriangles(const DecodedMesh& decoded)
{
    const uint32_t c = decoded.channelCount;
    auto tuple = [&](uint32_t v) { return Tuple(decoded.gridValuesBegin + size_t(v) * c, decoded.gridValuesBegin + size_t(v + 1) * c); };
    std::vector<CornerTriangle> result;
    for (uint32_t t = 0; t < decoded.triangleCount; ++t) {
        const uint32_t* corners = decoded.trianglesBegin + 3 * size_t(t);
        result.push_back(canonical(tuple(corners[0]), tuple(corners[1]), tuple(corners[2])));
    }
    std::sort(result.begin(), result.end());
    return result;
}

// Compresses, decodes and checks everything the record says against the decoded data.
void checkRoundTrip(const TestMesh& mesh, const CompressionSettings& settings, const MeshletPartition* partition)
{
    MeshDescriptor descriptor = mesh.descriptor;
    descriptor.partition = partition;
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
    ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    const int32_t mode = settings.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(compressed, mode);
    ASSERT_NE(decoded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();

    std::vector<std::vector<uint32_t>> channels;
    if (partition || !settings.optimizeMesh) {
        EXPECT_EQ(decodedTriangles(*decoded), expectedTriangles(mesh, settings, channels));
    }
    EXPECT_EQ(decoded->triangleCount, compressed->triangleCount);
    EXPECT_EQ(decoded->vertexCount, compressed->vertexCount);

    // Dequantised values lie within one grid step of the grid value's formula.
    for (uint32_t v = 0; v < decoded->vertexCount; ++v)
        for (uint32_t c = 0; c < decoded->channelCount; ++c) {
            const QuantParams& q = compressed->quantParamsBegin[c];
            const uint32_t grid = decoded->gridValuesBegin[size_t(v) * decoded->channelCount + c];
            ASSERT_LE(grid, (uint32_t(1) << uint32_t(q.bits)) - 1);
            const float expected = float(int32_t(grid)) * exp2f(-q.bits) * (q.max - q.min) + q.min;
            ASSERT_EQ(decoded->valuesBegin[size_t(v) * decoded->channelCount + c], expected);
        }

    // Per-meshlet offsets agree with the record.
    uint32_t triangles = 0, vertices = 0, indexWords = 0;
    for (uint32_t m = 0; m < decoded->meshletCount; ++m) {
        const DecodedMeshletInfo& info = decoded->meshletsBegin[m];
        EXPECT_EQ(info.triangleOffset, triangles);
        EXPECT_EQ(info.triangleOffset, compressed->meshletTriangleOffsetsBegin[m]);
        EXPECT_EQ(info.vertexOffset, vertices);
        EXPECT_EQ(compressed->meshletValueOffsetsBegin[m], info.vertexOffset * compressed->channelCount);
        EXPECT_EQ(info.indexWordOffset, indexWords);
        if (m > 0) {
            EXPECT_LE(decoded->meshletsBegin[m - 1].groupId, info.groupId);
        }
        triangles += info.triangleCount;
        vertices += info.vertexCount;
        indexWords += info.indexWordCount;
        // The header box holds the meshlet's position grid range.
        const uint32_t* header = compressed->meshletHeadersBegin + 8 * size_t(m);
        for (uint32_t k = 0; k < 3; ++k) {
            uint32_t lo = UINT32_MAX, hi = 0;
            for (uint32_t t = info.triangleOffset; t < info.triangleOffset + info.triangleCount; ++t)
                for (int corner = 0; corner < 3; ++corner) {
                    const uint32_t g = decoded->gridValuesBegin[size_t(decoded->trianglesBegin[3 * size_t(t) + corner]) * decoded->channelCount + k];
                    lo = std::min(lo, g);
                    hi = std::max(hi, g);
                }
            EXPECT_EQ(header[k], lo);
            EXPECT_EQ(header[3 + k], hi - lo);
        }
    }
    EXPECT_EQ(triangles, compressed->triangleCount);
    EXPECT_EQ(vertices, compressed->vertexCount);
    EXPECT_EQ(indexWords, compressed->indexWordCount);

    // Random access: every meshlet on its own, in random order, equals the whole decode.
    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(compressed, mode);
    ASSERT_NE(decoder, nullptr);
    std::vector<uint32_t> order(decoded->meshletCount);
    for (uint32_t m = 0; m < order.size(); ++m)
        order[m] = m;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    const uint32_t c = compressed->channelCount;
    std::vector<uint32_t> tri(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(size_t(c) * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    std::vector<float> values(grid.size());
    for (uint32_t m : order) {
        DecodedMeshletInfo info{};
        ASSERT_EQ(Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, tri.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(), values.data(),
                                                      PELKU_VMQ_MAX_MESHLET_ELEMENTS, &info),
                  1);
        ASSERT_TRUE(std::equal(tri.begin(), tri.begin() + 3 * info.triangleCount, decoded->trianglesBegin + 3 * size_t(info.triangleOffset)));
        ASSERT_TRUE(std::equal(grid.begin(), grid.begin() + size_t(c) * info.vertexCount,
                               decoded->gridValuesBegin + size_t(c) * info.vertexOffset));
    }
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
}

struct SettingsCase {
    const char* name;
    void (*change)(CompressionSettings&);
};

void PrintTo(const SettingsCase& c, std::ostream* out)
{
    *out << c.name;
}

class DecodeRoundTrip : public testing::TestWithParam<SettingsCase> {};

TEST_P(DecodeRoundTrip, GridWithGivenPartition)
{
    CompressionSettings settings{};
    GetParam().change(settings);
    TestMesh grid = makeGrid(24, 3);
    for (size_t size : {1u, 7u, 64u, 300u}) {
        MeshletPartition partition = runPartition(grid.groups, size);
        SCOPED_TRACE("meshlet size " + std::to_string(size));
        checkRoundTrip(grid, settings, &partition);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Decode, DecodeRoundTrip,
    testing::Values(SettingsCase{"defaults", [](CompressionSettings&) {}},
                    SettingsCase{"quality_0",
                                 [](CompressionSettings& s) { s.positionQuality = s.normalQuality = s.texcoordQuality = 0.0f; }},
                    SettingsCase{"quality_1",
                                 [](CompressionSettings& s) { s.positionQuality = s.normalQuality = s.texcoordQuality = 1.0f; }},
                    SettingsCase{"delta_prediction", [](CompressionSettings& s) { s.disableParallelogramPrediction = 1; }}),
    [](const testing::TestParamInfo<SettingsCase>& info) { return std::string(info.param.name); });

TEST(Decode, BuiltPartitions)
{
    TestMesh grid = makeGrid(20, 4);
    struct Case {
        uint32_t maxVertices;
        uint8_t optimize;
        int32_t minTriangles;
    };
    for (const Case& c : {Case{64, 1, 32}, Case{64, 0, 32}, Case{3, 0, 1}, Case{16, 1, 8}, Case{255, 0, 32}, Case{2047, 1, 0}}) {
        SCOPED_TRACE("maxMeshletVertices " + std::to_string(c.maxVertices) + ", optimizeMesh " + std::to_string(c.optimize));
        CompressionSettings settings{};
        settings.maxMeshletVertices = c.maxVertices;
        settings.optimizeMesh = c.optimize;
        settings.minMeshletTriangles = c.minTriangles;
        // The grid has no degenerate or repeated triangles, so the optimization pass keeps the
        // multiset of grid-value triangles: compare in both cases.
        MeshDescriptor descriptor = grid.descriptor;
        CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
        ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        ASSERT_NE(compressed->partition, nullptr);
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        ASSERT_NE(decoded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        std::vector<std::vector<uint32_t>> channels;
        EXPECT_EQ(decodedTriangles(*decoded), expectedTriangles(grid, settings, channels));
        // The kept partition lists the decoded meshlets: same count, same triangle counts (the
        // record's meshlets are in group order, the partition in build order).
        MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(compressed);
        std::vector<uint32_t> fromPartition, fromDecode;
        for (uint32_t m = 0; m < Pelku_Vmq_Compression_GetPartitionMeshletCount(handle); ++m)
            fromPartition.push_back(Pelku_Vmq_Compression_GetPartitionMeshletTriangles(handle, m, nullptr, 0));
        for (uint32_t m = 0; m < decoded->meshletCount; ++m)
            fromDecode.push_back(decoded->meshletsBegin[m].triangleCount);
        std::sort(fromPartition.begin(), fromPartition.end());
        std::sort(fromDecode.begin(), fromDecode.end());
        EXPECT_EQ(fromPartition, fromDecode);
        for (uint32_t m = 0; m < decoded->meshletCount && c.optimize == 0 && c.minTriangles == 1; ++m)
            EXPECT_LE(decoded->meshletsBegin[m].vertexCount, c.maxVertices);
        Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
    }
}

TEST(Decode, ReusedTopologyDecodesTheNewValues)
{
    TestMesh first = makeGrid(16, 2);
    CompressionSettings settings{};
    settings.optimizeMesh = 0;
    CompressedMesh* base = Pelku_Vmq_Compression_CompressMesh(&first.descriptor, &settings);
    ASSERT_NE(base, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(base);

    // A later frame: same triangles, moved and bent positions.
    TestMesh later = makeGrid(16, 2);
    for (size_t v = 0; v < later.positions.size(); v += 3) {
        later.positions[v] += 0.3f * later.positions[v + 1];
        later.positions[v + 2] += 0.5f * later.positions[v] * later.positions[v];
    }
    later.finish();
    later.descriptor.reuseTopology = base->topology;
    CompressedMesh* reused = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&later.descriptor, &settings, handle);
    ASSERT_NE(reused, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    // Same strips: the global streams are identical, the values are the new ones.
    EXPECT_TRUE(std::equal(base->streamWordsBegin, base->streamWordsEnd, reused->streamWordsBegin, reused->streamWordsEnd));
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(reused, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    ASSERT_NE(decoded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    std::vector<std::vector<uint32_t>> channels;
    EXPECT_EQ(decodedTriangles(*decoded), expectedTriangles(later, settings, channels));
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(reused);

    // The stored strips serve the other prediction too: it follows the settings of the call.
    CompressionSettings delta = settings;
    delta.disableParallelogramPrediction = 1;
    reused = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&later.descriptor, &delta, handle);
    ASSERT_NE(reused, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    decoded = Pelku_Vmq_Compression_DecodeMesh(reused, PELKU_VMQ_PREDICTION_DELTA);
    ASSERT_NE(decoded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(decodedTriangles(*decoded), expectedTriangles(later, delta, channels));
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(reused);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(base);
}

TEST(Decode, RealMeshesWithGivenPartition)
{
    for (const char* name : {"spot.obj", "pirate.obj", "bun_zipper.ply"}) {
        SCOPED_TRACE(name);
        vmq_support::LoadedMesh loaded;
        VMQ_LOAD_SHARED_MESH(name, loaded);
        const TestMesh mesh = fromLoaded(loaded);
        CompressionSettings settings{};
        MeshletPartition partition = runPartition(mesh.groups, 64);
        checkRoundTrip(mesh, settings, &partition);
    }
}

TEST(Decode, NonManifoldDegenerateAndRepeatedCorners)
{
    // Three triangles on one edge; degenerate triangles; a first triangle with a repeated corner.
    const std::vector<std::vector<Triangle>> cases = {
        {{{0, 1, 2}}, {{2, 1, 3}}, {{1, 2, 4}}},
        {{{0, 1, 2}}, {{0, 0, 2}}, {{1, 0, 3}}},
        {{{0, 0, 1}}, {{0, 1, 2}}, {{2, 1, 3}}},
        {{{0, 0, 0}}},
        {{{1, 1, 2}}, {{2, 1, 1}}, {{3, 4, 4}}, {{4, 3, 0}}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE("case " + std::to_string(k));
        TestMesh mesh;
        for (uint32_t v = 0; v < 5; ++v)
            mesh.positions.insert(mesh.positions.end(), {float(v), float(v * v % 3), float(v % 2)});
        mesh.triangles = cases[k];
        mesh.groups.assign(mesh.triangles.size(), 0);
        mesh.finish();
        MeshletPartition partition = runPartition(mesh.groups, 64);
        CompressionSettings settings{};
        checkRoundTrip(mesh, settings, &partition);
        settings.optimizeMesh = 0;
        checkRoundTrip(mesh, settings, nullptr); // the library's own partition
    }
}

TEST(Decode, CorruptedRecordsAreRefused)
{
    TestMesh grid = makeGrid(12, 2);
    MeshletPartition partition = runPartition(grid.groups, 40);
    grid.descriptor.partition = &partition;
    CompressionSettings settings{};
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&grid.descriptor, &settings);
    ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();

    // Work on copies of the arrays so that every change stays inside the test.
    std::vector<uint32_t> words(compressed->streamWordsBegin, compressed->streamWordsEnd);
    std::vector<uint32_t> blob(compressed->tableBlobBegin, compressed->tableBlobEnd);
    std::vector<uint32_t> offsets(compressed->meshletBitOffsetsBegin, compressed->meshletBitOffsetsEnd);
    CompressedMesh copy = *compressed;
    auto point = [&] {
        copy.streamWordsBegin = words.data();
        copy.streamWordsEnd = words.data() + words.size();
        copy.tableBlobBegin = blob.data();
        copy.tableBlobEnd = blob.data() + blob.size();
        copy.meshletBitOffsetsBegin = offsets.data();
        copy.meshletBitOffsetsEnd = offsets.data() + offsets.size();
    };
    auto decodeFails = [&](const char* what) {
        point();
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        const std::string text = Pelku_Vmq_Compression_GetCompressionErrorString();
        if (decoded)
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        EXPECT_EQ(decoded, nullptr) << what;
        EXPECT_NE(text.find("Cannot decode"), std::string::npos) << what << ": " << text;
    };

    const std::vector<uint32_t> goodOffsets = offsets, goodBlob = blob, goodWords = words;
    offsets.back() = uint32_t(words.size() * 32 + 1);
    decodeFails("bit offset past the stream");
    offsets = goodOffsets;
    words.resize(words.size() / 2);
    decodeFails("truncated stream");
    words = goodWords;
    blob[1] = uint32_t(blob.size() + 5);
    decodeFails("table header outside the blob");
    blob = goodBlob;
    blob[blob[0]] = 0xFFFFu << 1; // root of stream 0 points far outside its table
    decodeFails("table entry outside its table");
    blob = goodBlob;

    // Totals and offsets that the meshlets do not tile: nothing is written that no meshlet holds,
    // and no meshlet overwrites another.
    ASSERT_GE(offsets.size(), 2u);
    const uint32_t triangleCount = copy.triangleCount, vertexCount = copy.vertexCount, valueCount = copy.valueCount;
    copy.triangleCount = triangleCount + 5;
    decodeFails("more triangles than the meshlets hold");
    copy.triangleCount = 33554482;
    decodeFails("a huge triangle count");
    copy.triangleCount = triangleCount;
    copy.vertexCount = vertexCount - 1;
    copy.valueCount = copy.vertexCount * copy.channelCount;
    decodeFails("fewer vertices than the meshlets hold");
    copy.vertexCount = vertexCount;
    copy.valueCount = valueCount;
    offsets[1] = offsets[0];
    decodeFails("two meshlets at one offset");
    offsets = goodOffsets;
    std::swap(offsets[0], offsets[1]);
    decodeFails("meshlets out of order");
    offsets = goodOffsets;
    CompressedMesh empty = copy;
    empty.meshletCount = 0;
    empty.meshletBitOffsetsEnd = empty.meshletBitOffsetsBegin;
    empty.meshletHeadersEnd = empty.meshletHeadersBegin;
    empty.meshletTriangleOffsetsEnd = empty.meshletTriangleOffsetsBegin;
    empty.meshletValueOffsetsEnd = empty.meshletValueOffsetsBegin;
    std::vector<ChannelStreams> noOffsets(copy.channels, copy.channels + copy.channelCount);
    for (ChannelStreams& channel : noOffsets)
        channel.meshletBitOffsetsEnd = channel.meshletBitOffsetsBegin;
    empty.channels = noOffsets.data();
    empty.triangleCount = 5;
    empty.vertexCount = empty.valueCount = empty.indexWordCount = 0;
    DecodedMesh* none = Pelku_Vmq_Compression_DecodeMesh(&empty, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    EXPECT_EQ(none, nullptr) << "triangles without meshlets";
    Pelku_Vmq_Compression_ReleaseDecodedMesh(none);
    EXPECT_EQ(Pelku_Vmq_Compression_CreateMeshDecoder(&empty, PELKU_VMQ_PREDICTION_PARALLELOGRAM), nullptr);

    // Random bit flips never crash and never read outside the record.
    std::mt19937 random(11);
    for (int trial = 0; trial < 200; ++trial) {
        words = goodWords;
        blob = goodBlob;
        for (int flips = 0; flips < 3; ++flips) {
            if (random() % 2)
                words[random() % words.size()] ^= 1u << (random() % 32);
            else
                blob[random() % blob.size()] ^= 1u << (random() % 12);
        }
        point();
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    }
    Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
}

} // namespace
