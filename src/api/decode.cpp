// The exported decode functions: whole meshes, prepared decoders and single meshlets.
#include "api/last_error.h"
#include "decode/decoder.h"

#include <memory>
#include <string>

extern "C" PELKU_VMQ_API MeshDecoder* Pelku_Vmq_Compression_CreateMeshDecoder(const CompressedMesh* mesh, int32_t predictionMode)
{
    try {
        vmq::clearLastError();
        if (!mesh) {
            vmq::setLastError("Cannot decode: the compressed mesh is null.");
            return nullptr;
        }
        auto decoder = std::make_unique<MeshDecoder>();
        std::string error;
        if (!vmq::prepareDecoder(*mesh, predictionMode, *decoder, error)) {
            vmq::setLastError(error);
            return nullptr;
        }
        return decoder.release();
    } catch (...) {
        vmq::setLastErrorLiteral("Cannot decode: out of memory.");
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseMeshDecoder(MeshDecoder* decoder)
{
    delete decoder;
}

extern "C" PELKU_VMQ_API int32_t Pelku_Vmq_Compression_DecodeMeshlet(const MeshDecoder* decoder, uint32_t meshlet, uint32_t* triangles,
                                                                     size_t triangleCapacity, uint32_t* gridValues, float* values,
                                                                     size_t vertexCapacity, DecodedMeshletInfo* info)
{
    try {
        if (!decoder) {
            vmq::setLastError("Cannot decode: the decoder is null.");
            return 0;
        }
        DecodedMeshletInfo local{};
        std::string error;
        if (!vmq::decodeMeshlet(*decoder, meshlet, triangles, triangleCapacity, gridValues, values, vertexCapacity, local, error)) {
            vmq::setLastError(error);
            return 0;
        }
        if (info)
            *info = local;
        return 1;
    } catch (...) {
        vmq::setLastErrorLiteral("Cannot decode: out of memory.");
        return 0;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseDecodedMesh(DecodedMesh* decoded)
{
    vmq::releaseDecodedMesh(decoded);
}

namespace {

DecodedMesh* decodeWholeMesh(const CompressedMesh* mesh, int32_t predictionMode, uint32_t threadCount)
{
    try {
        vmq::clearLastError();
        if (!mesh) {
            vmq::setLastError("Cannot decode: the compressed mesh is null.");
            return nullptr;
        }
        std::string error;
        DecodedMesh* decoded = vmq::decodeMesh(*mesh, predictionMode, threadCount, error);
        if (!decoded)
            vmq::setLastError(std::move(error));
        return decoded;
    } catch (...) {
        vmq::setLastErrorLiteral("Cannot decode: out of memory.");
        return nullptr;
    }
}

} // namespace

extern "C" PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_DecodeMesh(const CompressedMesh* mesh, int32_t predictionMode)
{
    return decodeWholeMesh(mesh, predictionMode, 1);
}

extern "C" PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_DecodeMeshWithThreads(const CompressedMesh* mesh, int32_t predictionMode,
                                                                                  uint32_t threadCount)
{
    return decodeWholeMesh(mesh, predictionMode, threadCount);
}
