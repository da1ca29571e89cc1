// The exported single-mesh compress functions and the release of their result.
#include "api/last_error.h"
#include "mesh/compress_mesh.h"
#include "pipeline/compressed_record.h"

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
        vmq::setLastErrorLiteral("Compression failed: out of memory.");
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

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseCompressedMesh(CompressedMesh* record)
{
    vmq::releaseCompressedMesh(record);
}
