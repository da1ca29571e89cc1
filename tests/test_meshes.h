#pragma once
// Shared test meshes, read in place from the shared data folder, and the helpers that turn them
// into compress inputs with a simple given partition.
#include "encoding/mesh_tables.h"
#include "encoding/quantise.h"
#include "mesh_io.h"
#include "partition/partition.h"
#include "pelku_vmq_compression.h"
#include "pipeline/context.h"
#include "shared_mesh.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vmq_test {


inline bool loadSharedMesh(const std::string& name, vmq_support::LoadedMesh& mesh, std::string& why)
{
    const vmq_support::LoadedMesh* shared = sharedMesh(name);
    if (shared) {
        mesh = *shared;
        return true;
    }
    why = "shared mesh " + name + " is not available";
    return false;
}

// Loads a shared mesh; fails under CI=true when it is missing, skips otherwise.
#define VMQ_LOAD_SHARED_MESH(name, mesh)                                 \
    do {                                                                 \
        std::string why_;                                                \
        if (!vmq_test::loadSharedMesh(name, mesh, why_)) {               \
            if (vmq_test::sharedDataRequired())                                        \
                FAIL() << why_;                                          \
            GTEST_SKIP() << why_;                                        \
        }                                                                \
    } while (0)

// Consecutive runs of up to `size` triangles of one group.
inline MeshletPartition runPartition(const std::vector<uint32_t>& groups, size_t size)
{
    MeshletPartition partition;
    for (uint32_t t = 0; t < groups.size(); ++t) {
        if (partition.meshlets.empty() || partition.meshlets.back().size() >= size ||
            groups[partition.meshlets.back().back()] != groups[t])
            partition.meshlets.emplace_back();
        partition.meshlets.back().push_back(t);
    }
    return partition;
}

// The compress inputs of a loaded mesh; the arrays point into it.
struct MeshInput {
    std::vector<Triangle> triangles;
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};

    explicit MeshInput(const vmq_support::LoadedMesh& mesh)
    {
        for (size_t t = 0; t < mesh.triangleCount(); ++t)
            triangles.push_back({{mesh.indices[3 * t], mesh.indices[3 * t + 1], mesh.indices[3 * t + 2]}});
        attributes.push_back({POSITION, mesh.positions.data(), mesh.positions.data() + mesh.positions.size(), 3});
        if (!mesh.normals.empty())
            attributes.push_back({NORMAL, mesh.normals.data(), mesh.normals.data() + mesh.normals.size(), 3});
        if (!mesh.texcoords.empty())
            attributes.push_back({TEXCOORD, mesh.texcoords.data(), mesh.texcoords.data() + mesh.texcoords.size(), 2});
        descriptor.trianglesBegin = triangles.data();
        descriptor.trianglesEnd = triangles.data() + triangles.size();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = mesh.groups.data();
        descriptor.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
    }
};

// The whole-mesh tables the driver builds for these inputs, and its quantisation records.
inline vmq::MeshTables wholeMeshTables(const MeshInput& input, const CompressionSettings& settings, vmq::CompressionContext& context)
{
    vmq::QuantisedAttributes quantised = vmq::quantiseAttributes(input.attributes, settings);
    context.quantParams = quantised.quantParams;
    context.channelKinds = quantised.channelKinds;
    context.channelCount = uint32_t(quantised.quantParams.size());
    std::vector<std::vector<uint32_t>> channels = std::move(quantised.channels);
    std::vector<vmq::TriangleIndices> triangles;
    for (const Triangle& t : input.triangles)
        triangles.push_back({t.indices[0], t.indices[1], t.indices[2]});
    vmq::MeshTables tables;
    vmq::buildWholeMeshTables(tables, triangles, std::move(channels),
                              std::vector<uint32_t>(input.descriptor.triangleGroupsBegin, input.descriptor.triangleGroupsEnd));
    return tables;
}

} // namespace vmq_test
