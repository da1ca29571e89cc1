/*
 * pelku_vmq serialized records: a compressed mesh or a compressed sequence as one compact byte
 * buffer, to write to a file, put in a package or send elsewhere, and back.
 *
 * Reading a buffer back gives a record equal to the one serialized, field for field and every
 * array byte for byte; only the partition and topology attachments are not kept (they serve a
 * later compression in the same process), so they come back null. The buffer is smaller than
 * the record's arrays: decode tables are stored as tree shapes, per-meshlet offsets as
 * differences, meshlet headers packed to their fields' widths, the parts compressed with zstd,
 * and in a sequence an array that an earlier frame holds already is stored as a reference to it.
 *
 * A buffer carries a version and checksums: a cut-short, altered or foreign buffer is refused
 * with a message in Pelku_Vmq_Compression_GetCompressionErrorString, and nothing is left
 * allocated. The library writes no files: the caller stores the bytes where it likes.
 * docs/container.md describes the bytes.
 */
#ifndef PELKU_VMQ_SERIALIZE_H
#define PELKU_VMQ_SERIALIZE_H

#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a buffer holds. */
typedef enum SerializedKind {
    PELKU_VMQ_SERIALIZED_MESH = 0,    /* one CompressedMesh */
    PELKU_VMQ_SERIALIZED_SEQUENCE = 1 /* one CompressedSequence */
} SerializedKind;

/* The parts a buffer is stored in, each compressed on its own. */
typedef enum SerializedPart {
    PELKU_VMQ_PART_FIELDS = 0,  /* totals, bounds, dequantisation records, channel kinds, array sizes and references;
                                   for a sequence its fields, frame list and material names */
    PELKU_VMQ_PART_STREAMS = 1, /* the bitstreams, global and per channel */
    PELKU_VMQ_PART_TABLES = 2,  /* the decode-table blobs */
    PELKU_VMQ_PART_OFFSETS = 3, /* per-meshlet bit offsets (global and per channel), value and triangle offsets */
    PELKU_VMQ_PART_HEADERS = 4  /* meshlet headers */
} SerializedPart;
#define PELKU_VMQ_SERIALIZED_PART_COUNT 5

/* Bytes made by the library; free with Pelku_Vmq_Compression_ReleaseSerializedBytes. */
typedef struct SerializedBytes {
    const uint8_t* bytesBegin;
    const uint8_t* bytesEnd;
} SerializedBytes;

/* What a buffer's header says, for Pelku_Vmq_Compression_GetSerializedInfo. Sizes are in bytes,
 * per SerializedPart. */
typedef struct SerializedInfo {
    uint32_t versionMajor;
    uint32_t versionMinor;
    int32_t kind;                  /* a SerializedKind value */
    int32_t predictionMode;        /* the PredictionMode that decodes the record(s) */
    const uint8_t* metadataBegin;  /* the caller's metadata, inside the buffer that was read */
    const uint8_t* metadataEnd;
    uint64_t recordBytes[PELKU_VMQ_SERIALIZED_PART_COUNT];  /* what the records hold in memory: 4 bytes a word of
                                                                each array, a repeated array every time */
    uint64_t compactBytes[PELKU_VMQ_SERIALIZED_PART_COUNT]; /* after the compact encodings and references */
    uint64_t storedBytes[PELKU_VMQ_SERIALIZED_PART_COUNT];  /* as stored, after zstd */
} SerializedInfo;

/* Serializes a compressed mesh with the prediction mode it needs to be decoded
 * (PELKU_VMQ_PREDICTION_PARALLELOGRAM or PELKU_VMQ_PREDICTION_DELTA) and metadataSize bytes of the
 * caller's own metadata (metadata may be null when metadataSize is 0), which are stored as they
 * are and handed back by Pelku_Vmq_Compression_GetSerializedInfo. The record must be well formed
 * (every span in order, the per-meshlet arrays meshletCount entries long, the headers 8 words a
 * meshlet, channelCount channels, dequantisation records and kinds); the same record always
 * gives the same bytes. Returns new bytes to free with Pelku_Vmq_Compression_ReleaseSerializedBytes,
 * or null with the reason in Pelku_Vmq_Compression_GetCompressionErrorString. */
PELKU_VMQ_API SerializedBytes* Pelku_Vmq_Compression_SerializeMesh(const CompressedMesh* mesh, int32_t predictionMode,
                                                                   const void* metadata, size_t metadataSize);

/* As Pelku_Vmq_Compression_SerializeMesh, for a sequence and every frame it holds (frames that
 * are null stay null). The frames share the prediction mode. */
PELKU_VMQ_API SerializedBytes* Pelku_Vmq_Compression_SerializeSequence(const CompressedSequence* sequence, int32_t predictionMode,
                                                                       const void* metadata, size_t metadataSize);

/* Frees bytes made by a serialize function; null is ignored. */
PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseSerializedBytes(SerializedBytes* bytes);

/* Checks a buffer's header and checksums and fills info (which must not be null) without
 * rebuilding any record. Returns false with the reason in the error text when the buffer is not
 * a serialized record, is of an unknown version, cut short or corrupted. info->metadataBegin and
 * metadataEnd point into bytes. */
PELKU_VMQ_API bool Pelku_Vmq_Compression_GetSerializedInfo(const void* bytes, size_t size, SerializedInfo* info);

/* Rebuilds the mesh a buffer of kind PELKU_VMQ_SERIALIZED_MESH holds. When predictionMode is not
 * null it receives the stored prediction mode. Returns a new record to free with
 * Pelku_Vmq_Compression_ReleaseCompressedMesh (its partition and topology are null), or null with
 * the reason in the error text. */
PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_DeserializeMesh(const void* bytes, size_t size, int32_t* predictionMode);

/* Rebuilds the sequence a buffer of kind PELKU_VMQ_SERIALIZED_SEQUENCE holds, every frame its own
 * record. Returns a new record to free with Pelku_Vmq_Compression_ReleaseCompressedSequence, or
 * null with the reason in the error text. */
PELKU_VMQ_API CompressedSequence* Pelku_Vmq_Compression_DeserializeSequence(const void* bytes, size_t size, int32_t* predictionMode);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PELKU_VMQ_SERIALIZE_H */
