// The exported CUDA decode functions. In a build without a CUDA toolkit they report so.
#include "api/last_error.h"
#include "pelku_vmq_cuda.h"

#if defined(PELKU_VMQ_HAS_CUDA)
#include "gpu/cuda_decoder.h"
#endif

#include <string>

namespace {

#if !defined(PELKU_VMQ_HAS_CUDA)
constexpr const char* kNoCuda = "Cannot decode on the GPU: the library was built without CUDA.";
#endif

} // namespace

extern "C" PELKU_VMQ_API CudaMeshDecoder* Pelku_Vmq_Compression_CudaCreateMeshDecoder(const CompressedMesh* mesh, int32_t predictionMode)
{
    try {
        vmq::clearLastError();
        if (!mesh) {
            vmq::setLastError("Cannot decode: the compressed mesh is null.");
            return nullptr;
        }
#if defined(PELKU_VMQ_HAS_CUDA)
        std::string error;
        CudaMeshDecoder* decoder = vmq::createCudaDecoder(*mesh, predictionMode, error);
        if (!decoder)
            vmq::setLastError(std::move(error));
        return decoder;
#else
        (void)predictionMode;
        vmq::setLastError(kNoCuda);
        return nullptr;
#endif
    } catch (...) {
        vmq::setLastError("Cannot decode: out of memory.");
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_CudaReleaseMeshDecoder(CudaMeshDecoder* decoder)
{
#if defined(PELKU_VMQ_HAS_CUDA)
    vmq::releaseCudaDecoder(decoder);
#else
    (void)decoder;
#endif
}

extern "C" PELKU_VMQ_API int32_t Pelku_Vmq_Compression_CudaDecodeMesh(CudaMeshDecoder* decoder, CudaDecodedBuffers* buffers)
{
    try {
        vmq::clearLastError();
        if (!decoder) {
            vmq::setLastError("Cannot decode: the decoder is null.");
            return 0;
        }
#if defined(PELKU_VMQ_HAS_CUDA)
        std::string error;
        CudaDecodedBuffers local{};
        if (!vmq::cudaDecodeMesh(*decoder, local, error)) {
            vmq::setLastError(std::move(error));
            return 0;
        }
        if (buffers)
            *buffers = local;
        return 1;
#else
        (void)buffers;
        vmq::setLastError(kNoCuda);
        return 0;
#endif
    } catch (...) {
        vmq::setLastError("Cannot decode: out of memory.");
        return 0;
    }
}

extern "C" PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_CudaDownloadDecodedMesh(const CudaMeshDecoder* decoder)
{
    try {
        vmq::clearLastError();
        if (!decoder) {
            vmq::setLastError("Cannot decode: the decoder is null.");
            return nullptr;
        }
#if defined(PELKU_VMQ_HAS_CUDA)
        std::string error;
        DecodedMesh* decoded = vmq::downloadDecodedMesh(*decoder, error);
        if (!decoded)
            vmq::setLastError(std::move(error));
        return decoded;
#else
        vmq::setLastError(kNoCuda);
        return nullptr;
#endif
    } catch (...) {
        vmq::setLastError("Cannot decode: out of memory.");
        return nullptr;
    }
}
