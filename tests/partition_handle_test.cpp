#include "partition/partition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One quad: two triangles of group 0.
struct QuadMesh {
    std::vector<float> positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    std::vector<Triangle> triangles = {{{0, 1, 2}}, {{0, 2, 3}}};
    std::vector<uint32_t> groups = {0, 0};
    MeshAttribute position{POSITION, nullptr, nullptr, 3};

    MeshDescriptor descriptor(const MeshletPartition* partition = nullptr)
    {
        position.dataBegin = positions.data();
        position.dataEnd = positions.data() + positions.size();
        return {triangles.data(), triangles.data() + triangles.size(), &position, &position + 1, groups.data(),
                groups.data() + groups.size(), partition, nullptr};
    }
};

std::string lastError()
{
    return Pelku_Vmq_Compression_GetCompressionErrorString();
}

TEST(PartitionHandle, NullArgumentsAreAnswered)
{
    EXPECT_EQ(Pelku_Vmq_Compression_GetMeshletPartition(nullptr), nullptr);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(nullptr);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(new MeshletPartitionHandle{nullptr});

    CompressedMesh record{};
    EXPECT_EQ(Pelku_Vmq_Compression_GetMeshletPartition(&record), nullptr);
}

TEST(PartitionHandle, CopiesAreDeepAndIndependent)
{
    MeshletPartition built{{{4, 1, 7}, {0}, {2, 3, 5, 6}}};
    const MeshletPartition original = built;
    CompressedMesh record{};
    record.partition = &built;

    MeshletPartitionHandle* first = Pelku_Vmq_Compression_GetMeshletPartition(&record);
    MeshletPartitionHandle* second = Pelku_Vmq_Compression_GetMeshletPartition(&record);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(first->partition, nullptr);
    EXPECT_NE(first->partition, second->partition);
    EXPECT_NE(first->partition, &built);
    EXPECT_EQ(first->partition->meshlets, original.meshlets);

    // Neither the record's partition nor the other handle shares storage with a copy.
    built.meshlets.clear();
    Pelku_Vmq_Compression_ReleaseMeshletPartition(first);
    EXPECT_EQ(second->partition->meshlets, original.meshlets);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(second);
}

TEST(PartitionHandle, AnEmptyGivenPartitionGivesNoMeshletsAndNoRecordPartition)
{
    QuadMesh quad;
    const MeshDescriptor mesh = quad.descriptor();
    CompressionSettings settings{};
    MeshletPartition empty;
    MeshletPartitionHandle handle{&empty};
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&mesh, &settings, &handle);
    ASSERT_NE(result, nullptr) << lastError();
    EXPECT_EQ(result->meshletCount, 0u);
    EXPECT_EQ(result->partition, nullptr);
    EXPECT_EQ(Pelku_Vmq_Compression_GetMeshletPartition(result), nullptr);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
}

TEST(PartitionHandle, WithoutAHandleTheDescriptorsPartitionIsIgnored)
{
    // The descriptor's partition is invalid (an empty meshlet): Pelku_Vmq_Compression_CompressMesh
    // refuses it, Pelku_Vmq_Compression_CompressMeshWithMeshlets never looks at it.
    QuadMesh quad;
    MeshletPartition invalid{{{}}};
    const MeshDescriptor mesh = quad.descriptor(&invalid);
    CompressionSettings settings{};
    settings.optimizeMesh = 0;

    EXPECT_EQ(Pelku_Vmq_Compression_CompressMesh(&mesh, &settings), nullptr);
    EXPECT_NE(lastError().find("given partition"), std::string::npos) << lastError();

    const MeshletPartitionHandle nullHandle{nullptr};
    for (const MeshletPartitionHandle* handle : {static_cast<const MeshletPartitionHandle*>(nullptr), &nullHandle}) {
        CompressedMesh* result = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&mesh, &settings, handle);
        EXPECT_EQ(lastError().find("given partition"), std::string::npos) << lastError();
        if (result) {
            EXPECT_NE(result->partition, nullptr) << "the library builds the partition";
            Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
        }
    }
}

} // namespace
