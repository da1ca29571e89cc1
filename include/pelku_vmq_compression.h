/*
 * pelku_vmq - meshlet geometry compression with a plain C interface.
 *
 * A triangle mesh is cut into meshlets, each meshlet into triangle strips; attributes are
 * quantised, predicted along the strips and Huffman-coded into word-aligned bitstreams, so that
 * a decoder can decode every meshlet on its own from its recorded offsets.
 *
 * Conventions:
 * - Spans are pairs of pointers named <name>Begin / <name>End (one past the last element);
 *   a span is empty when both are equal.
 * - Every record returned by the library belongs to the caller until it is passed to the
 *   matching release function. The library never keeps a pointer into the caller's inputs.
 * - No function lets an exception or a crash escape: a failed call returns null (or 0) and
 *   leaves a message for Pelku_Vmq_Compression_GetCompressionErrorString.
 *
 * Thread safety: every function keeps its working state in the call, so a host may run several
 * at once on any threads. See Pelku_Vmq_Compression_GetCompressionErrorString for how the error
 * text behaves under overlapping calls.
 */
#ifndef PELKU_VMQ_COMPRESSION_H
#define PELKU_VMQ_COMPRESSION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "pelku_vmq_export.h"

/* In C++ a value-initialised CompressionSettings holds the defaults; C uses the initializer. */
#ifdef __cplusplus
#define PELKU_VMQ_DEFAULT(value) = value
#else
#define PELKU_VMQ_DEFAULT(value)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Attribute kinds. Each kind's quality field sets the grid bits of its channels; kinds 4, 7
 * and any unlisted value are carried with 0 bits (every value quantises to 0). */
typedef enum AttributeKind {
    POSITION = 0,  /* positionQuality: round(q * 10) + 8 bits; 3 components, first attribute */
    NORMAL = 1,    /* normalQuality: round(q * 5) + 3 bits */
    TANGENT = 2,   /* normalQuality: round(q * 5) + 3 bits */
    TEXCOORD = 3,  /* texcoordQuality: round(q * 10) + 8 bits */
    COLOR = 5,     /* colorQuality: round(q * 5) + 3 bits; range clamped into [0, 1] */
    VELOCITY = 6,  /* velocityQuality: round(q * 10) + 8 bits */
    TEXCOORD1 = 8, /* texcoordQuality */
    TEXCOORD2 = 9  /* texcoordQuality */
} AttributeKind;

/* Three vertex numbers in winding order; each indexes the vertices of every attribute. */
typedef struct Triangle {
    uint32_t indices[3];
} Triangle;

/* One per-vertex attribute: componentCount floats per vertex, interleaved by vertex, so
 * component c of vertex v is dataBegin[v * componentCount + c]. The vertex count is
 * (dataEnd - dataBegin) / componentCount, rounded down. */
typedef struct MeshAttribute {
    int32_t kind;            /* an AttributeKind value */
    const float* dataBegin;
    const float* dataEnd;
    uint32_t componentCount; /* at least 1 */
} MeshAttribute;

/* A meshlet partition: an ordered list of meshlets, each an ordered list of triangle numbers.
 * Opaque to callers: it is received inside a MeshletPartitionHandle and passed back. */
typedef struct MeshletPartition MeshletPartition;

/* The per-meshlet topology kept by a compressed mesh whose partition the library built
 * (CompressedMesh.topology). Opaque; passed back through MeshDescriptor.reuseTopology. */
typedef struct MeshletTopologyList MeshletTopologyList;

/* A caller-held copy of a partition; created by Pelku_Vmq_Compression_GetMeshletPartition and
 * freed by Pelku_Vmq_Compression_ReleaseMeshletPartition. */
typedef struct MeshletPartitionHandle {
    MeshletPartition* partition;
} MeshletPartitionHandle;

/* The mesh to compress. Requirements, checked before any work (a violation fails the call
 * with a message naming the problem):
 * - the first attribute is POSITION with 3 components;
 * - every vertex number is below the vertex count of every attribute;
 * - triangleGroups holds one group id (0..2047) per triangle;
 * - a given partition lists only existing triangles and no empty meshlet, and a given
 *   reuseTopology belongs to the same triangles and partition. */
typedef struct MeshDescriptor {
    const Triangle* trianglesBegin;
    const Triangle* trianglesEnd;
    const MeshAttribute* attributesBegin;
    const MeshAttribute* attributesEnd;
    const uint32_t* triangleGroupsBegin;
    const uint32_t* triangleGroupsEnd;
    /* Meshlets to use, or null to let the library build them. Read only by
     * Pelku_Vmq_Compression_CompressMesh. */
    const MeshletPartition* partition;
    /* The topology list of an earlier compressed mesh with the same triangles and partition, or
     * null. When set, every meshlet is re-encoded with its stored strips; that record must stay
     * alive until this call returns. */
    const MeshletTopologyList* reuseTopology;
} MeshDescriptor;

/* Compression settings. Quality values are meant to lie in 0..1; a value that gives a channel
 * more than 20 grid bits (or fewer than 0) is refused.
 *
 * The meshlet limits apply only when the library builds the partition (no partition given):
 * - maxMeshletVertices (3 .. 2047) caps the vertices of a meshlet at V and its triangles at
 *   V - 1;
 * - the first pass grows meshlets up to firstPassMeshletTriangles - 1 triangles (0: no cap of
 *   its own; 1 is refused) and keeps those that reach minMeshletTriangles - 1; later passes grow
 *   the kept ones up to the full caps and cover the rest;
 * - a meshlet with fewer than minMeshletTriangles - 1 triangles is small, and small meshlets are
 *   merged with nearby small ones of the same group (boxes scaled by meshletMergeBoxScale) while
 *   the result stays within the triangle cap. minMeshletTriangles 1 makes no meshlet small; 0
 *   makes every meshlet small and keeps none in the first pass.
 * velocityMode, recomputeNormals and smoothAllNormals are read only by the archive functions
 * (Pelku_Vmq_Compression_CompressAlembicFile), which build each frame's attributes:
 * - velocityMode 0 keeps the archive's velocities; 1 drops them; 2 keeps them and, for a mesh
 *   without velocities in an archive of constant topology and moving positions, derives them
 *   from the neighbouring frame's positions (per second of frameDuration). Other values act as 0.
 * - recomputeNormals 0 keeps the archive's normals (a mesh without normals gets smooth normals,
 *   averaged over the faces around each vertex); 1 replaces them: smoothAllNormals 1 gives
 *   smooth normals everywhere, 0 gives normals smoothed only across edges whose faces meet at a
 *   cosine above SequenceSettings.normalSmoothingThreshold (hard edges stay hard). */
typedef struct CompressionSettings {
    float positionQuality PELKU_VMQ_DEFAULT(0.4f);  /* POSITION: roundf(q * 10) + 8 bits */
    float normalQuality PELKU_VMQ_DEFAULT(0.6f);    /* NORMAL, TANGENT: roundf(q * 5) + 3 bits */
    float texcoordQuality PELKU_VMQ_DEFAULT(0.5f);  /* TEXCOORD*: roundf(q * 10) + 8 bits */
    float colorQuality PELKU_VMQ_DEFAULT(0.4f);     /* COLOR: roundf(q * 5) + 3 bits */
    float velocityQuality PELKU_VMQ_DEFAULT(0.4f);  /* VELOCITY: roundf(q * 10) + 8 bits */
    int32_t velocityMode PELKU_VMQ_DEFAULT(0);      /* archives only: 0 keep, 1 drop, 2 keep or derive */
    uint32_t maxMeshletVertices PELKU_VMQ_DEFAULT(64u);       /* vertex cap V (3..2047); triangle cap V - 1 */
    int32_t minMeshletTriangles PELKU_VMQ_DEFAULT(32);        /* small-meshlet threshold (see above) */
    int32_t firstPassMeshletTriangles PELKU_VMQ_DEFAULT(64);  /* first-pass cap + 1; 0 unlimited, never 1 */
    uint32_t reserved PELKU_VMQ_DEFAULT(4u);                  /* not read */
    float meshletMergeBoxScale PELKU_VMQ_DEFAULT(4.0f);       /* small-meshlet merge box scale */
    uint8_t optimizeMesh PELKU_VMQ_DEFAULT(1);    /* nonzero: weld and reorder when no partition */
    uint8_t disableParallelogramPrediction PELKU_VMQ_DEFAULT(0); /* nonzero: delta prediction */
    uint8_t recomputeNormals PELKU_VMQ_DEFAULT(0); /* archives only: nonzero replaces the file's normals */
    uint8_t smoothAllNormals PELKU_VMQ_DEFAULT(0); /* archives only, with recomputeNormals: no hard edges */
} CompressionSettings;

/* The default settings, for C:  CompressionSettings s = PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT;
 * (also valid in C++, where CompressionSettings s{}; gives the same values). */
#define PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT \
    { 0.4f, 0.6f, 0.5f, 0.4f, 0.4f, 0, 64u, 32, 64, 4u, 4.0f, 1, 0, 0, 0 }

/* Dequantisation record of one channel: value = q * 2^-bits * (max - min) + min. */
typedef struct QuantParams {
    float min;
    float max;
    float bits; /* the channel's grid bits, as a float */
} QuantParams;

/* The bitstream of one attribute channel. */
typedef struct ChannelStreams {
    const uint32_t* streamWordsBegin;       /* the channel's bitstream */
    const uint32_t* streamWordsEnd;
    const uint32_t* tableBlobBegin;         /* decode tables of its two streams */
    const uint32_t* tableBlobEnd;
    const uint32_t* meshletBitOffsetsBegin; /* per meshlet: bit where its values begin */
    const uint32_t* meshletBitOffsetsEnd;
} ChannelStreams;

/* The result of one compression. Per-meshlet arrays and the bitstreams follow the stream order
 * (meshlets sorted by ascending group id, ties in partition order); the partition and topology
 * attachments keep the partition order. Spans are never null. */
typedef struct CompressedMesh {
    uint32_t meshletCount;   /* M */
    uint32_t triangleCount;  /* sum of the meshlets' triangle counts */
    uint32_t vertexCount;    /* sum of the meshlets' vertex counts */
    uint32_t indexWordCount; /* sum over meshlets of ceil(index entries / 4) */
    uint32_t channelCount;   /* C, the sum of componentCount over the attributes */
    uint32_t valueCount;     /* vertexCount * C */
    const uint32_t* streamWordsBegin;       /* global bitstream */
    const uint32_t* streamWordsEnd;
    const uint32_t* tableBlobBegin;         /* decode tables of the seven global streams */
    const uint32_t* tableBlobEnd;
    const uint32_t* meshletBitOffsetsBegin; /* M entries: bit of meshlet m's first symbol */
    const uint32_t* meshletBitOffsetsEnd;
    const ChannelStreams* channels;         /* C entries, in channel order */
    const uint32_t* meshletValueOffsetsBegin;    /* M entries: vertex offset * C */
    const uint32_t* meshletValueOffsetsEnd;
    const uint32_t* meshletTriangleOffsetsBegin; /* M entries: triangles before meshlet m */
    const uint32_t* meshletTriangleOffsetsEnd;
    const QuantParams* quantParamsBegin;    /* C entries */
    const QuantParams* quantParamsEnd;
    const int32_t* channelKindsBegin;       /* C entries: AttributeKind of each channel */
    const int32_t* channelKindsEnd;
    float boundsMin[3]; /* smallest x, y, z of the dequantised meshlet boxes */
    float boundsMax[3]; /* largest x, y, z; both stay +-3.4028235e38 without meshlets */
    const uint32_t* meshletHeadersBegin;    /* 8 words per meshlet */
    const uint32_t* meshletHeadersEnd;
    MeshletPartition* partition;   /* the partition the library built, or null */
    MeshletTopologyList* topology; /* per meshlet, the topology kept for reuse, or null */
} CompressedMesh;

/* Compresses a mesh. The partition is mesh->partition (null: the library builds one, after the
 * optimization pass when settings->optimizeMesh is set). The caller's arrays are only read.
 * Returns a new record to free with Pelku_Vmq_Compression_ReleaseCompressedMesh, or null on
 * failure with the reason in Pelku_Vmq_Compression_GetCompressionErrorString. */
PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_CompressMesh(const MeshDescriptor* mesh,
                                                                 const CompressionSettings* settings);

/* As Pelku_Vmq_Compression_CompressMesh, with the partition held by handle (none when handle is
 * null or holds null); mesh->partition is ignored. */
PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_CompressMeshWithMeshlets(
    const MeshDescriptor* mesh, const CompressionSettings* settings, const MeshletPartitionHandle* handle);

/* The message of the last failed call, NUL-terminated; never null.
 *
 * Every function that can fail reports here: the compress functions, the archive functions, the
 * decode functions and the partition functions. The compress, archive, decode
 * (Pelku_Vmq_Compression_DecodeMesh, Pelku_Vmq_Compression_CreateMeshDecoder) and
 * Pelku_Vmq_Compression_CreateMeshletPartition functions empty the text at their start, so after
 * a successful one it is empty; Pelku_Vmq_Compression_DecodeMeshlet and
 * Pelku_Vmq_Compression_GetPartitionMeshletTriangles only set it when they fail.
 *
 * The text is one process-wide value guarded by a lock, so overlapping calls never race; the
 * text read after a call has returned (on any thread) is that call's text as long as no other
 * call overlapped it. The returned characters are a copy owned by the calling thread: they stay
 * valid until the same thread calls this function again, whatever other threads do. */
PELKU_VMQ_API const char* Pelku_Vmq_Compression_GetCompressionErrorString(void);

/* Frees a record returned by a compress call and everything it owns, attachments included.
 * Must not be called twice; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseCompressedMesh(CompressedMesh* mesh);

/* Copies the partition that the library built for mesh into a new handle, to pass to
 * Pelku_Vmq_Compression_CompressMeshWithMeshlets. Returns null when mesh is null or has no
 * built partition (the error text is left as it is), or with a message when memory runs out.
 * The copy stays valid after the mesh is released. */
PELKU_VMQ_API MeshletPartitionHandle* Pelku_Vmq_Compression_GetMeshletPartition(const CompressedMesh* mesh);

/* Frees a handle and its partition; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseMeshletPartition(MeshletPartitionHandle* handle);

/* Makes a partition from a host's own meshlets, for Pelku_Vmq_Compression_CompressMeshWithMeshlets:
 * meshlet m lists the triangle numbers triangles[meshletOffsets[m]] .. triangles[meshletOffsets[m + 1] - 1],
 * so meshletOffsets holds meshletCount + 1 entries, starts at 0, never decreases and ends at
 * triangleCount. Every meshlet needs 1 to 2047 triangles; triangle numbers are checked against the
 * mesh when it is compressed. Returns a new handle to free with
 * Pelku_Vmq_Compression_ReleaseMeshletPartition, or null with the reason in the error text. */
PELKU_VMQ_API MeshletPartitionHandle* Pelku_Vmq_Compression_CreateMeshletPartition(const uint32_t* triangles, size_t triangleCount,
                                                                                   const uint32_t* meshletOffsets, size_t meshletCount);

/* The number of meshlets a handle holds; 0 for null. */
PELKU_VMQ_API uint32_t Pelku_Vmq_Compression_GetPartitionMeshletCount(const MeshletPartitionHandle* handle);

/* Meshlet m's triangle count; when destination is not null, also copies its triangle numbers
 * there, in order, provided capacity (in entries) is large enough. Returns 0 and sets the error
 * text for a null handle, a meshlet out of range or a destination that is too small. */
PELKU_VMQ_API uint32_t Pelku_Vmq_Compression_GetPartitionMeshletTriangles(const MeshletPartitionHandle* handle, uint32_t meshlet,
                                                                          uint32_t* destination, size_t capacity);

/* ---- Whole animated archives ---------------------------------------------------------- */

#define PELKU_VMQ_IDENTITY_4X4 { 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f }

/* Settings of an archive compression: the per-frame CompressionSettings first, then the fields
 * only the archive path reads. Read only. In C++ a value-initialised record holds the defaults;
 * C uses PELKU_VMQ_SEQUENCE_SETTINGS_DEFAULT. */
typedef struct SequenceSettings {
    CompressionSettings compression;  /* per-frame compression; velocityMode, recomputeNormals and
                                         smoothAllNormals steer the archive reading, optimizeMesh
                                         the per-frame weld and reordering */
    float normalSmoothingThreshold PELKU_VMQ_DEFAULT(0.9f); /* cosine above which neighbours share a smoothing group */
    uint8_t negateTexcoordU PELKU_VMQ_DEFAULT(0);  /* nonzero: flip the sign of every u */
    uint8_t negateTexcoordV PELKU_VMQ_DEFAULT(0);  /* nonzero: flip the sign of every v */
    uint8_t removeDuplicateTriangles PELKU_VMQ_DEFAULT(0); /* nonzero: drop repeated triangles */
    /* Column-major 4x4 applied to every frame: element (row r, column c) at 4c + r, translation in
     * 12, 13, 14; the bottom row is not read. Positions get M * (x, y, z, 1), normals the 3x3 block
     * (then unit length), velocities the 3x3 block; a negative determinant flips the winding. */
    float transform[16] PELKU_VMQ_DEFAULT(PELKU_VMQ_IDENTITY_4X4);
    uint8_t generateTangents PELKU_VMQ_DEFAULT(0); /* nonzero: add a TANGENT attribute where possible */
    uint8_t trimEmptyFrames PELKU_VMQ_DEFAULT(0);  /* nonzero: drop leading and trailing empty frames */
} SequenceSettings;

#define PELKU_VMQ_SEQUENCE_SETTINGS_DEFAULT \
    { PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT, 0.9f, 0, 0, 0, PELKU_VMQ_IDENTITY_4X4, 0, 0 }

/* The result of an archive compression: one compressed mesh per frame. Frame records carry no
 * partition and no topology attachment. */
typedef struct CompressedSequence {
    uint32_t frameCount;          /* entries of frames */
    uint8_t staticTopology;       /* 1: every frame has the same triangle topology */
    uint32_t staticAttributeMask; /* bit k: attribute kind k is the same in every frame; 0 when not analysed */
    float frameDuration;          /* seconds per frame; 0 when the archive gives none */
    CompressedMesh** frames;      /* frameCount entries; null for a frame without geometry */
    /* Material names by index (the group ids the frames carry), NUL-terminated, in order of first
     * appearance; both null when the archive names no material. Names first seen in frame 0 get
     * the same indices on every run and for every thread count; names first seen in later frames
     * are numbered in the order the workers read those frames: with one worker in frame order,
     * with several in an order that may differ between runs (the group ids of those frames and
     * the order of their meshlets follow the numbers, so their records may differ too). */
    const char* const* materialNamesBegin;
    const char* const* materialNamesEnd;
} CompressedSequence;

/* Called after every frame with framesDone / frameCount; frameCount is the archive's frame
 * count. Calls never overlap but may come from any thread, and two reports may arrive out of
 * numeric order. Return false to stop the compression. */
typedef bool (*ProgressCallback)(float fraction, uint32_t framesDone, uint32_t frameCount, void* userData);

/* Compresses every frame of the archive at path, a NUL-terminated narrow string: on Windows
 * UTF-8, or, when it is not valid UTF-8, the ANSI code page (so any file name can be reached
 * through UTF-8); elsewhere the bytes the file system takes (UTF-8 on the usual systems).
 * threadCount worker threads compress the frames after the first (0: the hardware
 * concurrency, at least 1); the frames are the same for every thread count, except for the
 * numbers of materials first seen after frame 0 (see CompressedSequence). progress may be null;
 * userData is passed back to it untouched. Returns a new record to free with
 * Pelku_Vmq_Compression_ReleaseCompressedSequence, or null on failure (reason in
 * Pelku_Vmq_Compression_GetCompressionErrorString) or when progress asked to stop. */
PELKU_VMQ_API CompressedSequence* Pelku_Vmq_Compression_CompressAlembicFile(const char* path, const SequenceSettings* settings,
                                                                             uint32_t threadCount, ProgressCallback progress,
                                                                             void* userData);

/* Frees a sequence, every frame record and every material name; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseCompressedSequence(CompressedSequence* sequence);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PELKU_VMQ_COMPRESSION_H */
