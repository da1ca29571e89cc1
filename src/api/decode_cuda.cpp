// The exported CUDA decode functions. In a build without a CUDA toolkit they report so.
#include "api/last_error.h"
#include "pelku_vmq_cuda.h"

#if defined(PELKU_VMQ_HAS_CUDA)
#include "gpu/cuda_decoder.h"
#endif

#include <string>

namespace {

// Runs `work` (which returns its result and sets `error` when it fails) for an argument that must
// not be null, with the last-error text cleared first and set on failure; nothing escapes.
template <typename Result, typename Argument, typename Work>
Result reportingCall(const Argument* argument, const char* argumentName, Work&& work)
{
    try {
        vmq::clearLastError();
        if (!argument) {
            vmq::setLastError(std::string("Cannot decode: the ") + argumentName + " is null.");
            return Result{};
        }
#if defined(PELKU_VMQ_HAS_CUDA)
        std::string error;
        const Result result = work(error);
        if (!result)
            vmq::setLastError(std::move(error));
        return result;
#else
        (void)work;
        vmq::setLastError("Cannot decode on the GPU: the library was built without CUDA.");
        return Result{};
#endif
    } catch (...) {
        vmq::setLastError("Cannot decode: out of memory.");
        return Result{};
    }
}

} // namespace

extern "C" PELKU_VMQ_API CudaMeshDecoder* Pelku_Vmq_Compression_CudaCreateMeshDecoder(const CompressedMesh* mesh, int32_t predictionMode)
{
    return reportingCall<CudaMeshDecoder*>(mesh, "compressed mesh", [&](std::string& error) {
#if defined(PELKU_VMQ_HAS_CUDA)
        return vmq::createCudaDecoder(*mesh, predictionMode, error);
#else
        (void)predictionMode, (void)error;
        return static_cast<CudaMeshDecoder*>(nullptr);
#endif
    });
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
    return reportingCall<int32_t>(decoder, "decoder", [&](std::string& error) {
#if defined(PELKU_VMQ_HAS_CUDA)
        CudaDecodedBuffers local{};
        if (!vmq::cudaDecodeMesh(*decoder, local, error))
            return int32_t(0);
        if (buffers)
            *buffers = local;
        return int32_t(1);
#else
        (void)buffers, (void)error;
        return int32_t(0);
#endif
    });
}

extern "C" PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_CudaDownloadDecodedMesh(const CudaMeshDecoder* decoder)
{
    return reportingCall<DecodedMesh*>(decoder, "decoder", [&](std::string& error) {
#if defined(PELKU_VMQ_HAS_CUDA)
        return vmq::downloadDecodedMesh(*decoder, error);
#else
        (void)error;
        return static_cast<DecodedMesh*>(nullptr);
#endif
    });
}
