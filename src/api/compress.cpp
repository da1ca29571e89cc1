// The exported single-mesh compress functions and their shared body.
#include "api/compress.h"

#include "alembic/mesh_optimise.h"
#include "api/compressed_mesh.h"
#include "api/last_error.h"
#include "api/validate.h"
#include "pipeline/driver.h"
#include "core/error.h"

#include <new>
#include <vector>

namespace vmq {

MeshCopies copyMeshForCompression(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition)
{
    MeshCopies copies;
    copies.triangles.resize(size_t(mesh.trianglesEnd - mesh.trianglesBegin));
    for (size_t t = 0; t < copies.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            copies.triangles[t][k] = mesh.trianglesBegin[t].indices[k];
    copies.attributes.assign(mesh.attributesBegin, mesh.attributesEnd);
    copies.triangleGroups.assign(mesh.triangleGroupsBegin, mesh.triangleGroupsEnd);
    if (!settings.optimizeMesh || partition)
        return copies;

    // The pass may weld and reorder vertices: it works on copies of the values, and the owned
    // attribute records then point at its result.
    copies.values.resize(copies.attributes.size());
    for (size_t a = 0; a < copies.attributes.size(); ++a) {
        const MeshAttribute& attribute = copies.attributes[a];
        copies.values[a].kind = attribute.kind;
        copies.values[a].componentCount = attribute.componentCount;
        copies.values[a].values.assign(attribute.dataBegin, attribute.dataEnd);
    }
    optimizeMeshBuffers(copies.triangles, copies.values, copies.triangleGroups, true, nullptr);
    for (size_t a = 0; a < copies.attributes.size(); ++a) {
        const std::vector<float>& values = copies.values[a].values;
        copies.attributes[a].dataBegin = values.data();
        copies.attributes[a].dataEnd = values.data() + values.size();
    }
    return copies;
}

CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error)
{
    error.clear();
    try {
        error = validateCompressInput(mesh, settings, partition);
        if (!error.empty())
            return nullptr;

        const MeshCopies copies = copyMeshForCompression(mesh, settings, partition);
        const std::vector<MeshletTopology>* reuse = mesh.reuseTopology ? &mesh.reuseTopology->meshlets : nullptr;

        CompressionContext context;
        runCompression(context, copies.triangles, copies.attributes, copies.triangleGroups, settings, partition, reuse);
        return buildCompressedMesh(context);
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

} // namespace vmq

namespace {

CompressedMesh* compressAndReport(const MeshDescriptor* mesh, const CompressionSettings* settings, const MeshletPartition* partition)
{
    try {
        vmq::clearLastError();
        if (!mesh || !settings) {
            vmq::setLastError(!mesh ? "The mesh descriptor is null." : "The compression settings are null.");
            return nullptr;
        }
        std::string error;
        CompressedMesh* result = vmq::compressMeshCore(*mesh, *settings, partition, error);
        if (!result)
            vmq::setLastError(std::move(error));
        return result;
    } catch (...) {
        return nullptr;
    }
}

} // namespace

extern "C" PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_CompressMesh(const MeshDescriptor* mesh, const CompressionSettings* settings)
{
    return compressAndReport(mesh, settings, mesh ? mesh->partition : nullptr);
}

extern "C" PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_CompressMeshWithMeshlets(const MeshDescriptor* mesh,
                                                                                       const CompressionSettings* settings,
                                                                                       const MeshletPartitionHandle* handle)
{
    return compressAndReport(mesh, settings, handle ? handle->partition : nullptr);
}
