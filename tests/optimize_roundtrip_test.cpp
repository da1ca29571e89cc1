// Compression with the optimization pass on. Disabled until meshes without a given partition
// compress end to end (partition builder and meshlet encoder); then every optimized triangle
// must appear in exactly one meshlet of the built partition, with the optimized mesh's counts.
// Comparing decoded triangles with the optimized input follows once the decoder exists.
#include "mesh/mesh_optimize.h"
#include "mesh/compress_mesh.h"
#include "mesh_io.h"
#include "partition/partition.h"

#include "pelku_vmq_compression.h"

#include "test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

TEST(OptimizeRoundTrip, BuiltPartitionCoversTheOptimizedTriangles)
{
    vmq_support::LoadedMesh loaded;
    std::string error;
    if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/spot.obj"), loaded, error)) {
        if (vmq_test::sharedDataRequired())
            FAIL() << "test mesh missing: " << error;
        GTEST_SKIP() << "test mesh missing: " << error;
    }
    std::vector<Triangle> triangles(loaded.triangleCount());
    for (size_t t = 0; t < triangles.size(); ++t)
        triangles[t] = {{loaded.indices[3 * t], loaded.indices[3 * t + 1], loaded.indices[3 * t + 2]}};
    std::vector<uint32_t> groups(triangles.size());
    for (size_t t = 0; t < groups.size(); ++t)
        groups[t] = uint32_t(t % 3);
    const MeshAttribute attributes[3] = {
        {POSITION, loaded.positions.data(), loaded.positions.data() + loaded.positions.size(), 3},
        {NORMAL, loaded.normals.data(), loaded.normals.data() + loaded.normals.size(), 3},
        {TEXCOORD, loaded.texcoords.data(), loaded.texcoords.data() + loaded.texcoords.size(), 2},
    };
    MeshDescriptor mesh{};
    mesh.trianglesBegin = triangles.data();
    mesh.trianglesEnd = triangles.data() + triangles.size();
    mesh.attributesBegin = attributes;
    mesh.attributesEnd = attributes + 3;
    mesh.triangleGroupsBegin = groups.data();
    mesh.triangleGroupsEnd = groups.data() + groups.size();
    const CompressionSettings settings{};

    const vmq::HostMeshCopy optimized = vmq::copyHostMesh(mesh, settings, nullptr);
    CompressedMesh* result = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
    ASSERT_NE(result, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(result->triangleCount, optimized.mesh.triangles.size());
    EXPECT_EQ(result->channelCount, 8u);

    MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(result);
    ASSERT_NE(handle, nullptr);
    std::vector<int> seen(optimized.mesh.triangles.size(), 0);
    for (const std::vector<uint32_t>& meshlet : handle->partition->meshlets) {
        ASSERT_FALSE(meshlet.empty());
        for (uint32_t t : meshlet) {
            ASSERT_LT(t, seen.size());
            ++seen[t];
            EXPECT_EQ(optimized.mesh.triangleGroups[t], optimized.mesh.triangleGroups[meshlet.front()]);
        }
    }
    for (size_t t = 0; t < seen.size(); ++t)
        ASSERT_EQ(seen[t], 1) << "triangle " << t;
    Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
}

} // namespace
