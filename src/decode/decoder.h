#pragma once
// Decoding of a compressed mesh: Huffman lookup tables over the record's decode tables, then per
// meshlet the global symbols (counts, offsets, strip bits, index data) and the channel residuals,
// with the strip and prediction rules run backwards.
#include "pelku_vmq_decode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

// One stream's decode table with a lookup over its first kLookupBits code bits.
struct StreamDecodeTable {
    const uint32_t* entries = nullptr;
    uint32_t entryCount = 0;
    std::vector<uint32_t> lookup; // 1 << kLookupBits entries; empty when entryCount < 2
};

// The bits and tables of one coder (the global one or a channel's).
struct CoderDecodeTables {
    const uint32_t* words = nullptr;
    uint64_t bitCount = 0;
    const uint32_t* meshletBitOffsets = nullptr;
    std::vector<StreamDecodeTable> streams;
};

} // namespace vmq

struct MeshDecoder {
    const CompressedMesh* mesh = nullptr;
    int32_t predictionMode = 0;
    vmq::CoderDecodeTables global;
    std::vector<vmq::CoderDecodeTables> channels;
    std::vector<DecodedMeshletInfo> meshlets; // every meshlet's counts and offsets, checked to tile the totals
};

namespace vmq {

// Checks the record's spans and prepares every coder's tables; false with a message on failure.
bool prepareDecoder(const CompressedMesh& mesh, int32_t predictionMode, MeshDecoder& decoder, std::string& error);

// Decodes every meshlet into a new record (see Pelku_Vmq_Compression_DecodeMesh); null with the
// reason in `error` on failure.
DecodedMesh* decodeMesh(const CompressedMesh& mesh, int32_t predictionMode, std::string& error);

// Frees a decoded mesh; null is ignored.
void releaseDecodedMesh(DecodedMesh* decoded);

// Decodes one meshlet into the given buffers (see Pelku_Vmq_Compression_DecodeMeshlet).
bool decodeMeshlet(const MeshDecoder& decoder, uint32_t meshlet, uint32_t* triangles, size_t triangleCapacity, uint32_t* gridValues,
                   float* values, size_t vertexCapacity, DecodedMeshletInfo& info, std::string& error);

} // namespace vmq
