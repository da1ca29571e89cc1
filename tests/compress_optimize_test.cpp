// The optimization pass inside a compress call: it runs on the library's copies, only with
// optimizeMesh set and no partition, and never touches the caller's arrays.
#include "mesh/compress_mesh.h"
#include "partition/partition.h"

#include "pelku_vmq_compression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Two triangles of group 1 and 0 sharing an edge, as a soup of one vertex per corner.
struct CallerMesh {
    std::vector<Triangle> triangles = {{{0, 1, 2}}, {{3, 4, 5}}};
    std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0};
    std::vector<float> texcoords = {0, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 1};
    std::vector<uint32_t> groups = {1, 0};
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};

    CallerMesh()
    {
        attributes = {{POSITION, positions.data(), positions.data() + positions.size(), 3},
                      {TEXCOORD, texcoords.data(), texcoords.data() + texcoords.size(), 2}};
        descriptor.trianglesBegin = triangles.data();
        descriptor.trianglesEnd = triangles.data() + triangles.size();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = groups.data();
        descriptor.triangleGroupsEnd = groups.data() + groups.size();
    }
};

TEST(CopyHostMesh, PassRunsOnCopiesWithOptimizeMeshAndNoPartition)
{
    CallerMesh mesh;
    const CompressionSettings settings{};
    const vmq::HostMeshCopy copies = vmq::copyHostMesh(mesh.descriptor, settings, nullptr);
    ASSERT_EQ(copies.mesh.attributes.size(), 2u);
    ASSERT_EQ(copies.attributes.size(), 2u);
    for (size_t a = 0; a < 2; ++a) {
        EXPECT_EQ(copies.attributes[a].kind, mesh.attributes[a].kind);
        EXPECT_EQ(copies.attributes[a].componentCount, mesh.attributes[a].componentCount);
        EXPECT_EQ(copies.attributes[a].dataBegin, copies.mesh.attributes[a].values.data());
        EXPECT_EQ(copies.attributes[a].dataEnd, copies.mesh.attributes[a].values.data() + copies.mesh.attributes[a].values.size());
    }
    // Welded to 4 vertices, groups ascending.
    EXPECT_EQ(copies.mesh.attributes[0].values.size(), 12u);
    EXPECT_EQ(copies.mesh.attributes[1].values.size(), 8u);
    EXPECT_EQ(copies.mesh.triangleGroups, (std::vector<uint32_t>{0, 1}));
    ASSERT_EQ(copies.mesh.triangles.size(), 2u);
}

TEST(CopyHostMesh, NoPassWithAPartitionOrWithoutOptimizeMesh)
{
    CallerMesh mesh;
    MeshletPartition partition;
    partition.meshlets = {{0, 1}};
    CompressionSettings optimizing{};
    CompressionSettings plain{};
    plain.optimizeMesh = 0;
    for (const auto& [settings, given] : {std::pair{&optimizing, &partition}, std::pair{&plain, (MeshletPartition*)nullptr}}) {
        const vmq::HostMeshCopy copies = vmq::copyHostMesh(mesh.descriptor, *settings, given);
        EXPECT_TRUE(copies.mesh.attributes.empty());
        ASSERT_EQ(copies.attributes.size(), 2u);
        EXPECT_EQ(copies.attributes[0].dataBegin, mesh.positions.data());
        EXPECT_EQ(copies.attributes[1].dataEnd, mesh.texcoords.data() + mesh.texcoords.size());
        EXPECT_EQ(copies.mesh.triangles, (std::vector<vmq::TriangleIndices>{{0, 1, 2}, {3, 4, 5}}));
        EXPECT_EQ(copies.mesh.triangleGroups, mesh.groups);
    }
}

// Whatever the call's outcome, the caller's arrays keep every byte.
TEST(CompressMeshOptimize, CallerArraysUnchanged)
{
    CallerMesh mesh;
    const CallerMesh snapshot;
    const CompressionSettings settings{};
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&mesh.descriptor, &settings);
    if (result)
        Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
    EXPECT_EQ(std::memcmp(mesh.triangles.data(), snapshot.triangles.data(), mesh.triangles.size() * sizeof(Triangle)), 0);
    EXPECT_EQ(std::memcmp(mesh.positions.data(), snapshot.positions.data(), mesh.positions.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(mesh.texcoords.data(), snapshot.texcoords.data(), mesh.texcoords.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(mesh.groups.data(), snapshot.groups.data(), mesh.groups.size() * sizeof(uint32_t)), 0);
    EXPECT_EQ(mesh.attributes[0].dataBegin, mesh.positions.data());
}

} // namespace
