#include "mesh/compress_mesh.h"

#include "core/error.h"
#include "encoding/topology.h"
#include "mesh/mesh_optimize.h"
#include "mesh/validate.h"
#include "pipeline/compressed_record.h"
#include "pipeline/driver.h"

#include <new>
#include <utility>

namespace vmq {

namespace {

// Runs one compression, turning whatever it throws into the reason in `error`.
template <typename Compress>
CompressedMesh* reportFailures(std::string& error, Compress&& compress)
{
    error.clear();
    try {
        return compress();
    } catch (const CompressionError& e) {
        error = std::string("Compression failed: ") + e.what() + ".";
    } catch (const std::bad_alloc&) {
        error = "Compression failed: out of memory.";
    } catch (const std::exception& e) {
        error = std::string("Compression failed with an internal error: ") + e.what() + ".";
    } catch (...) {
        error = "Compression failed with an unknown internal error.";
    }
    if (error.empty())
        error = "Compression failed.";
    return nullptr;
}

CompressedMesh* runPipeline(Mesh&& mesh, const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings,
                            const MeshletPartition* partition, const MeshletTopologyList* reuseTopology)
{
    CompressionContext context;
    runCompression(context, std::move(mesh), attributes, settings, partition, reuseTopology);
    return buildCompressedMesh(context);
}

} // namespace

std::vector<MeshAttribute> attributeViews(const Mesh& mesh)
{
    std::vector<MeshAttribute> views;
    views.reserve(mesh.attributes.size());
    for (const VertexAttribute& attribute : mesh.attributes)
        views.push_back({attribute.kind, attribute.values.data(), attribute.values.data() + attribute.values.size(),
                         attribute.componentCount});
    return views;
}

HostMeshCopy copyHostMesh(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition)
{
    HostMeshCopy copy;
    copy.mesh.triangles.resize(size_t(mesh.trianglesEnd - mesh.trianglesBegin));
    for (size_t t = 0; t < copy.mesh.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            copy.mesh.triangles[t][k] = mesh.trianglesBegin[t].indices[k];
    copy.mesh.triangleGroups.assign(mesh.triangleGroupsBegin, mesh.triangleGroupsEnd);
    if (!settings.optimizeMesh || partition) {
        copy.attributes.assign(mesh.attributesBegin, mesh.attributesEnd);
        return copy;
    }

    // The pass may weld and reorder vertices: it works on copies of the values.
    copy.mesh.attributes.resize(size_t(mesh.attributesEnd - mesh.attributesBegin));
    for (size_t a = 0; a < copy.mesh.attributes.size(); ++a) {
        const MeshAttribute& attribute = mesh.attributesBegin[a];
        copy.mesh.attributes[a].kind = attribute.kind;
        copy.mesh.attributes[a].componentCount = attribute.componentCount;
        copy.mesh.attributes[a].values.assign(attribute.dataBegin, attribute.dataEnd);
    }
    optimizeMeshBuffers(copy.mesh.triangles, copy.mesh.attributes, copy.mesh.triangleGroups, true, nullptr);
    copy.attributes = attributeViews(copy.mesh);
    return copy;
}

CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error)
{
    return reportFailures(error, [&]() -> CompressedMesh* {
        error = validateCompressInput(mesh, settings, partition);
        if (!error.empty())
            return nullptr;
        HostMeshCopy copy = copyHostMesh(mesh, settings, partition);
        return runPipeline(std::move(copy.mesh), copy.attributes, settings, partition, mesh.reuseTopology);
    });
}

CompressedMesh* compressOwnedMesh(Mesh&& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                  const MeshletTopologyList* reuseTopology, std::string& error, ReuseCheck check)
{
    return reportFailures(error, [&]() -> CompressedMesh* {
        const std::vector<MeshAttribute> attributes = attributeViews(mesh);
        // The same triangles as the mesh the partition was built for pass every check of a
        // partition and topology; the settings checks of a built partition stand in for them.
        const bool proven = check == ReuseCheck::SameTriangles;
        error = validateCompressInput(mesh, attributes, settings, proven ? nullptr : partition, proven ? nullptr : reuseTopology);
        if (!error.empty())
            return nullptr;
        return runPipeline(std::move(mesh), attributes, settings, partition, reuseTopology);
    });
}

} // namespace vmq
