/*
 * pelku_vmq decoding on a CUDA device: a CompressedMesh is checked and prepared on the host as
 * Pelku_Vmq_Compression_CreateMeshDecoder does, copied once to the current CUDA device with its
 * lookup tables, and then decoded there, every meshlet on its own, into device buffers laid out
 * as DecodedMesh's: triangles of global vertex numbers, grid values and dequantised values,
 * vertex-major. The results are bit for bit those of Pelku_Vmq_Compression_DecodeMesh.
 *
 * The functions exist in every build of the library. When the library was built without a CUDA
 * toolkit, or no device can be used, they fail with a message in
 * Pelku_Vmq_Compression_GetCompressionErrorString. A decoder belongs to the device that was
 * current when it was made; use it from one thread at a time.
 */
#ifndef PELKU_VMQ_CUDA_H
#define PELKU_VMQ_CUDA_H

#include "pelku_vmq_decode.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CudaMeshDecoder CudaMeshDecoder;

/* The decoded mesh in device memory. The pointers are device pointers owned by the decoder: they
 * stay valid until the decoder is released, and each decode overwrites what they hold. */
typedef struct CudaDecodedBuffers {
    uint32_t triangleCount;
    uint32_t vertexCount; /* a vertex shared by k meshlets appears k times */
    uint32_t channelCount;
    uint32_t* triangles;  /* 3 * triangleCount global vertex numbers */
    uint32_t* gridValues; /* vertexCount * channelCount, vertex-major: v * C + c */
    float* values;        /* the same values dequantised */
} CudaDecodedBuffers;

/* Checks mesh, copies it to the current device and allocates the device buffers for its decoded
 * form. The decoder keeps its own copy: mesh may be released once this call returns.
 * predictionMode as for Pelku_Vmq_Compression_DecodeMesh. Returns a new decoder to free with
 * Pelku_Vmq_Compression_CudaReleaseMeshDecoder, or null with a message. */
PELKU_VMQ_API CudaMeshDecoder* Pelku_Vmq_Compression_CudaCreateMeshDecoder(const CompressedMesh* mesh, int32_t predictionMode);

/* Frees a decoder and its device memory; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_CudaReleaseMeshDecoder(CudaMeshDecoder* decoder);

/* Decodes every meshlet on the device and waits for the end. buffers, if not null, receives the
 * device buffers. Returns 1 on success, 0 with a message when a meshlet's data is malformed or
 * the device fails. */
PELKU_VMQ_API int32_t Pelku_Vmq_Compression_CudaDecodeMesh(CudaMeshDecoder* decoder, CudaDecodedBuffers* buffers);

/* Copies the last decode's buffers to the host as a new DecodedMesh, to free with
 * Pelku_Vmq_Compression_ReleaseDecodedMesh; null with a message when nothing was decoded yet or
 * the copy fails. */
PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_CudaDownloadDecodedMesh(const CudaMeshDecoder* decoder);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PELKU_VMQ_CUDA_H */
