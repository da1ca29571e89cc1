// The exported single-mesh compress functions and their shared body.
#include "api/compress.h"

#include "api/compressed_mesh.h"
#include "api/last_error.h"
#include "api/validate.h"
#include "pipeline/driver.h"
#include "pipeline/internal_error.h"

#include <new>
#include <vector>

namespace vmq {

CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error)
{
    error.clear();
    try {
        error = validateCompressInput(mesh, settings, partition);
        if (!error.empty())
            return nullptr;

        // Owned copies: the caller's arrays are only read.
        std::vector<TriangleIndices> triangles(size_t(mesh.trianglesEnd - mesh.trianglesBegin));
        for (size_t t = 0; t < triangles.size(); ++t)
            for (int k = 0; k < 3; ++k)
                triangles[t][k] = mesh.trianglesBegin[t].indices[k];
        std::vector<MeshAttribute> attributes(mesh.attributesBegin, mesh.attributesEnd);
        std::vector<uint32_t> triangleGroups(mesh.triangleGroupsBegin, mesh.triangleGroupsEnd);

        const std::vector<MeshletTopology>* reuse = mesh.reuseTopology ? &mesh.reuseTopology->meshlets : nullptr;

        CompressionContext context;
        runCompression(context, triangles, attributes, triangleGroups, settings, partition, reuse);
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
