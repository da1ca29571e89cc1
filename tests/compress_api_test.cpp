// The exported single-mesh functions: validation, the error text, the record of an empty
// partition and its release.
#include "pelku_vmq_compression.h"
#include "partition/partition.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// A unit quad as two triangles, with positions and texture coordinates.
struct QuadMesh {
    std::vector<float> positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    std::vector<float> texcoords = {0, 0, 1, 0, 1, 1, 0, 1};
    std::vector<Triangle> triangles = {{{0, 1, 2}}, {{0, 2, 3}}};
    std::vector<uint32_t> groups = {0, 0};
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};

    QuadMesh()
    {
        attributes = {{POSITION, positions.data(), positions.data() + positions.size(), 3},
                      {TEXCOORD, texcoords.data(), texcoords.data() + texcoords.size(), 2}};
        refresh();
    }

    // Points the descriptor at the current lists.
    void refresh()
    {
        descriptor.trianglesBegin = triangles.data();
        descriptor.trianglesEnd = triangles.data() + triangles.size();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = groups.data();
        descriptor.triangleGroupsEnd = groups.data() + groups.size();
    }
};

std::string lastError()
{
    return Pelku_Vmq_Compression_GetCompressionErrorString();
}

TEST(CompressApi, PositionChecksUseTheExactMessages)
{
    CompressionSettings settings{};
    QuadMesh quad;
    MeshletPartition empty;
    quad.descriptor.partition = &empty;

    quad.attributes.clear();
    quad.refresh();
    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings), nullptr);
    EXPECT_EQ(lastError(), "Input geometry lacks position attribute.");

    quad.attributes = {{NORMAL, quad.positions.data(), quad.positions.data() + 12, 3}};
    quad.refresh();
    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings), nullptr);
    EXPECT_EQ(lastError(), "Input geometry lacks position attribute.");

    for (uint32_t components : {2u, 4u}) {
        quad.attributes = {{POSITION, quad.positions.data(), quad.positions.data() + 12, components}};
        quad.refresh();
        EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings), nullptr);
        EXPECT_EQ(lastError(), "Position attribute must have 3 components.");
    }

    // Only the first POSITION attribute is examined.
    quad.attributes = {{POSITION, quad.positions.data(), quad.positions.data() + 12, 3},
                       {POSITION, quad.positions.data(), quad.positions.data() + 12, 2}};
    quad.refresh();
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings);
    ASSERT_NE(result, nullptr) << lastError();
    EXPECT_EQ(lastError(), ""); // a successful call leaves the text empty
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
}

struct InvalidCase {
    const char* name;
    std::function<void(QuadMesh&, CompressionSettings&, MeshletPartition&)> change;
    const char* messagePart;
};

void PrintTo(const InvalidCase& c, std::ostream* out)
{
    *out << c.name;
}

class CompressApiInvalidInput : public testing::TestWithParam<InvalidCase> {};

TEST_P(CompressApiInvalidInput, IsRefusedWithAClearMessage)
{
    QuadMesh quad;
    CompressionSettings settings{};
    MeshletPartition partition{{{0, 1}}};
    quad.descriptor.partition = &partition;
    GetParam().change(quad, settings, partition);
    quad.refresh();
    const std::vector<float> positionsBefore = quad.positions;
    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings), nullptr);
    EXPECT_NE(lastError().find(GetParam().messagePart), std::string::npos) << lastError();
    EXPECT_EQ(quad.positions, positionsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    CompressApi, CompressApiInvalidInput,
    testing::Values(
        InvalidCase{"position_not_first",
                    [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { std::swap(q.attributes[0], q.attributes[1]); },
                    "must come first"},
        InvalidCase{"zero_components",
                    [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.attributes[1].componentCount = 0; },
                    "componentCount of 0"},
        InvalidCase{"vertex_out_of_range",
                    [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.triangles[1].indices[2] = 4; },
                    "Triangle 1 uses vertex 4"},
        InvalidCase{"short_attribute",
                    [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.attributes[1].dataEnd -= 2; },
                    "has only 3 vertices"},
        InvalidCase{"group_count", [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.groups.pop_back(); },
                    "triangleGroups holds 1 group ids for 2 triangles"},
        InvalidCase{"group_id_limit", [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.groups[1] = 2048; },
                    "group id 2048"},
        InvalidCase{"no_triangles", [](QuadMesh& q, CompressionSettings&, MeshletPartition&) { q.triangles.clear(); q.groups.clear(); },
                    "no triangles"},
        InvalidCase{"partition_triangle_range",
                    [](QuadMesh&, CompressionSettings&, MeshletPartition& p) { p.meshlets[0].push_back(2); },
                    "names triangle 2"},
        InvalidCase{"partition_empty_meshlet",
                    [](QuadMesh&, CompressionSettings&, MeshletPartition& p) { p.meshlets.emplace_back(); },
                    "Meshlet 1 of the given partition is empty"},
        InvalidCase{"position_bits_above_20",
                    [](QuadMesh&, CompressionSettings& s, MeshletPartition&) { s.positionQuality = 1.3f; },
                    "positionQuality setting gives attribute 0 (POSITION, kind 0) 21 grid bits"},
        InvalidCase{"texcoord_bits_negative",
                    [](QuadMesh&, CompressionSettings& s, MeshletPartition&) { s.texcoordQuality = -1.0f; },
                    "-2 grid bits"},
        InvalidCase{"vertex_cap_below_3",
                    [](QuadMesh& q, CompressionSettings& s, MeshletPartition&) {
                        q.descriptor.partition = nullptr;
                        s.maxMeshletVertices = 2;
                    },
                    "maxMeshletVertices is 2"},
        InvalidCase{"first_pass_cap_1",
                    [](QuadMesh& q, CompressionSettings& s, MeshletPartition&) {
                        q.descriptor.partition = nullptr;
                        s.firstPassMeshletTriangles = 1;
                    },
                    "firstPassMeshletTriangles of 1"}),
    [](const testing::TestParamInfo<InvalidCase>& info) { return std::string(info.param.name); });

TEST(CompressApi, EmptyPartitionGivesTheCompleteEmptyRecord)
{
    QuadMesh quad;
    CompressionSettings settings{};
    MeshletPartition empty;
    quad.descriptor.partition = &empty;
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings);
    ASSERT_NE(result, nullptr) << lastError();

    EXPECT_EQ(result->meshletCount, 0u);
    EXPECT_EQ(result->triangleCount, 0u);
    EXPECT_EQ(result->vertexCount, 0u);
    EXPECT_EQ(result->channelCount, 5u);
    EXPECT_EQ(result->valueCount, 0u);
    ASSERT_NE(result->streamWordsBegin, nullptr);
    EXPECT_EQ(result->streamWordsBegin, result->streamWordsEnd);
    EXPECT_EQ(std::vector<uint32_t>(result->tableBlobBegin, result->tableBlobEnd), std::vector<uint32_t>(7, 7));
    EXPECT_EQ(result->meshletBitOffsetsBegin, result->meshletBitOffsetsEnd);
    EXPECT_EQ(result->meshletHeadersBegin, result->meshletHeadersEnd);
    ASSERT_NE(result->meshletHeadersBegin, nullptr);
    for (uint32_t c = 0; c < result->channelCount; ++c) {
        const ChannelStreams& channel = result->channels[c];
        EXPECT_EQ(std::vector<uint32_t>(channel.tableBlobBegin, channel.tableBlobEnd), (std::vector<uint32_t>{2, 2}));
        EXPECT_EQ(channel.streamWordsBegin, channel.streamWordsEnd);
        EXPECT_EQ(channel.meshletBitOffsetsBegin, channel.meshletBitOffsetsEnd);
    }
    EXPECT_EQ(std::vector<int32_t>(result->channelKindsBegin, result->channelKindsEnd), (std::vector<int32_t>{0, 0, 0, 3, 3}));
    ASSERT_EQ(result->quantParamsEnd - result->quantParamsBegin, 5);
    EXPECT_EQ(result->quantParamsBegin[0].min, 0.0f);
    EXPECT_EQ(result->quantParamsBegin[0].max, 1.0f);
    EXPECT_EQ(result->quantParamsBegin[0].bits, 12.0f);
    EXPECT_EQ(result->quantParamsBegin[3].bits, 13.0f);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(result->boundsMin[k], FLT_MAX);
        EXPECT_EQ(result->boundsMax[k], -FLT_MAX);
    }
    EXPECT_EQ(result->partition, nullptr);
    EXPECT_EQ(result->topology, nullptr);
    EXPECT_EQ(Pelku_Vmq_Compression_GetMeshletPartition(result), nullptr);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
}

TEST(CompressApi, HandleChoosesThePartition)
{
    QuadMesh quad;
    CompressionSettings settings{};
    MeshletPartition bad{{{0, 7}}}; // would be refused if it were read
    MeshletPartition empty;
    quad.descriptor.partition = &bad;
    MeshletPartitionHandle handle{&empty};
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&quad.descriptor, &settings, &handle);
    ASSERT_NE(result, nullptr) << lastError();
    EXPECT_EQ(result->meshletCount, 0u);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);

    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings), nullptr);
    EXPECT_NE(lastError().find("names triangle 7"), std::string::npos);
}

TEST(CompressApi, NullArgumentsAreRefused)
{
    CompressionSettings settings{};
    QuadMesh quad;
    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(nullptr, &settings), nullptr);
    EXPECT_EQ(lastError(), "The mesh descriptor is null.");
    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, nullptr), nullptr);
    EXPECT_EQ(lastError(), "The compression settings are null.");
    Pelku_Vmq_Compression_ReleaseCompressedMesh(nullptr);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(nullptr);
    MeshletPartitionHandle* emptyHandle = new MeshletPartitionHandle{nullptr};
    Pelku_Vmq_Compression_ReleaseMeshletPartition(emptyHandle); // frees a handle holding null
}

TEST(CompressApi, DefaultSettings)
{
    const CompressionSettings cxx{};
    const CompressionSettings c = PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT;
    for (const CompressionSettings& s : {cxx, c}) {
        EXPECT_EQ(s.positionQuality, 0.4f);
        EXPECT_EQ(s.normalQuality, 0.6f);
        EXPECT_EQ(s.texcoordQuality, 0.5f);
        EXPECT_EQ(s.colorQuality, 0.4f);
        EXPECT_EQ(s.velocityQuality, 0.4f);
        EXPECT_EQ(s.velocityMode, 0);
        EXPECT_EQ(s.maxMeshletVertices, 64u);
        EXPECT_EQ(s.minMeshletTriangles, 32);
        EXPECT_EQ(s.firstPassMeshletTriangles, 64);
        EXPECT_EQ(s.reserved, 4u);
        EXPECT_EQ(s.meshletMergeBoxScale, 4.0f);
        EXPECT_EQ(s.optimizeMesh, 1);
        EXPECT_EQ(s.disableParallelogramPrediction, 0);
        EXPECT_EQ(s.recomputeNormals, 0);
        EXPECT_EQ(s.smoothAllNormals, 0);
    }
}

TEST(CompressApi, ErrorTextAcrossThreads)
{
    // A call made on another thread leaves its text for this one to read.
    CompressionSettings settings{};
    std::thread([&] {
        QuadMesh quad;
        quad.attributes.clear();
        quad.refresh();
        Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings);
    }).join();
    EXPECT_EQ(lastError(), "Input geometry lacks position attribute.");

    // Overlapping calls that fail and succeed: no races, and every text read is one of the
    // messages or empty.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &settings] {
            QuadMesh quad;
            MeshletPartition empty;
            quad.descriptor.partition = &empty;
            if (t % 2)
                quad.attributes.clear();
            quad.refresh();
            for (int k = 0; k < 20; ++k) {
                CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&quad.descriptor, &settings);
                const std::string text = Pelku_Vmq_Compression_GetCompressionErrorString();
                EXPECT_TRUE(text.empty() || text == "Input geometry lacks position attribute.") << text;
                if (result)
                    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace
