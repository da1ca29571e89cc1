/*
 * pelku_vmq decoding: turns a CompressedMesh back into triangles and vertex values, either the
 * whole mesh at once or one meshlet at a time from the record's per-meshlet offsets.
 *
 * The decoder reads only the record: every symbol comes from the bitstreams through the decode
 * tables. It checks everything it reads, so a corrupted or truncated record gives a null result
 * (or 0) and a message in Pelku_Vmq_Compression_GetCompressionErrorString, never an
 * out-of-bounds read.
 *
 * The record does not say which prediction produced the residuals: pass the prediction mode
 * that matches the settings of the compression (CompressionSettings.disableParallelogramPrediction
 * set: PELKU_VMQ_PREDICTION_DELTA, else PELKU_VMQ_PREDICTION_PARALLELOGRAM). A wrong mode
 * decodes the right triangles with wrong vertex values.
 */
#ifndef PELKU_VMQ_DECODE_H
#define PELKU_VMQ_DECODE_H

#include "pelku_vmq_compression.h"
#include "pelku_vmq_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum PredictionMode {
    PELKU_VMQ_PREDICTION_PARALLELOGRAM = 0, /* the default: parallelogram rule along the strips */
    PELKU_VMQ_PREDICTION_DELTA = 1          /* disableParallelogramPrediction: previous vertex */
} PredictionMode;

/* The most triangles, vertices or index entries one meshlet can hold; buffers of this size fit
 * any meshlet. */
#define PELKU_VMQ_MAX_MESHLET_ELEMENTS 2047u

/* What one meshlet's symbols say about it. Offsets are the meshlet's first triangle, vertex and
 * index word in the whole decoded mesh; the ranges are [offset, offset + count). */
typedef struct DecodedMeshletInfo {
    uint32_t groupId;
    uint32_t triangleOffset;
    uint32_t triangleCount;
    uint32_t vertexOffset;
    uint32_t vertexCount;
    uint32_t indexWordOffset;
    uint32_t indexWordCount; /* ceil(index entries / 4) */
} DecodedMeshletInfo;

/* A whole decoded mesh in flat, GPU-style buffers, meshlets in stream order. */
typedef struct DecodedMesh {
    uint32_t meshletCount;
    uint32_t triangleCount;
    uint32_t vertexCount; /* a vertex shared by k meshlets appears k times */
    uint32_t channelCount;
    const uint32_t* trianglesBegin;  /* 3 per triangle: global vertex numbers, winding order */
    const uint32_t* trianglesEnd;
    const uint32_t* gridValuesBegin; /* vertexCount * channelCount, vertex-major: v * C + c */
    const uint32_t* gridValuesEnd;
    const float* valuesBegin;        /* the same values dequantised */
    const float* valuesEnd;
    const DecodedMeshletInfo* meshletsBegin; /* meshletCount entries */
    const DecodedMeshletInfo* meshletsEnd;
} DecodedMesh;

/* Decodes every meshlet of mesh. Returns a new record to free with
 * Pelku_Vmq_Compression_ReleaseDecodedMesh, or null with a message. */
PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_DecodeMesh(const CompressedMesh* mesh, int32_t predictionMode);

/* The same as Pelku_Vmq_Compression_DecodeMesh, with the meshlets shared among threadCount threads
 * (0: the hardware concurrency, at least 1); the result is the same for every thread count. */
PELKU_VMQ_API DecodedMesh* Pelku_Vmq_Compression_DecodeMeshWithThreads(const CompressedMesh* mesh, int32_t predictionMode,
                                                                      uint32_t threadCount);

/* Frees a decoded mesh; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseDecodedMesh(DecodedMesh* decoded);

/* Prepared decoding state for random access to the meshlets of one record: checks the record's
 * spans and decode tables once and builds fast lookup tables. The record must outlive it. A
 * decoder is read-only once made: several threads may decode meshlets through it at once.
 * Returns null with a message when the record is malformed. */
typedef struct MeshDecoder MeshDecoder;
PELKU_VMQ_API MeshDecoder* Pelku_Vmq_Compression_CreateMeshDecoder(const CompressedMesh* mesh, int32_t predictionMode);

/* Frees a decoder; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseMeshDecoder(MeshDecoder* decoder);

/* Decodes meshlet m (in stream order) on its own, from its recorded offsets alone.
 * triangles receives 3 * triangleCount global vertex numbers (vertexOffset + the meshlet's own
 * vertex number); gridValues and values receive vertexCount * channelCount values, vertex-major;
 * any of the three may be null to skip it (with all three null only the counts and offsets are
 * read, into info). triangleCapacity and vertexCapacity are the sizes of
 * the buffers in triangles and vertices (PELKU_VMQ_MAX_MESHLET_ELEMENTS always suffices); info,
 * if not null, receives the meshlet's counts and offsets. Returns 1 on success, 0 with a message
 * when the meshlet's data is malformed or a buffer is too small. Does not allocate. */
PELKU_VMQ_API int32_t Pelku_Vmq_Compression_DecodeMeshlet(const MeshDecoder* decoder, uint32_t meshlet, uint32_t* triangles,
                                                          size_t triangleCapacity, uint32_t* gridValues, float* values,
                                                          size_t vertexCapacity, DecodedMeshletInfo* info);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PELKU_VMQ_DECODE_H */
