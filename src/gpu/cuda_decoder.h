#pragma once
// Decoding on a CUDA device: a record checked and prepared on the host (decode/decoder.h), copied
// to the device once with its lookups, and decoded there by the shared per-meshlet routine, one
// meshlet per warp, into device buffers.
#include "pelku_vmq_cuda.h"

#include <string>

namespace vmq {

// Null with the reason in `error` on failure.
CudaMeshDecoder* createCudaDecoder(const CompressedMesh& mesh, int32_t predictionMode, std::string& error);

// Frees a decoder and its device memory; null is ignored.
void releaseCudaDecoder(CudaMeshDecoder* decoder);

// Decodes every meshlet and waits; false with the reason in `error`.
bool cudaDecodeMesh(CudaMeshDecoder& decoder, CudaDecodedBuffers& buffers, std::string& error);

// The last decode, copied to the host; null with the reason in `error`.
DecodedMesh* downloadDecodedMesh(const CudaMeshDecoder& decoder, std::string& error);

} // namespace vmq
