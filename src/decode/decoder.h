#pragma once
// Decoding of a compressed mesh on the host: a prepared decoder checks the record once (spans,
// decode tables, every meshlet's counts tiling the totals) and builds the lookups, so that each
// meshlet can then be decoded on its own by the shared per-meshlet routine (meshlet_decode.h),
// here or on a device.
#include "decode/meshlet_decode.h"
#include "pelku_vmq_decode.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct MeshDecoder {
    const CompressedMesh* mesh = nullptr;
    vmq::MeshView view; // points into the record and the lists below
    std::unique_ptr<uint32_t[]> headLookups;      // the lookups of the streams read only here, for the meshlets' counts
    size_t headLookupEntries = 0;
    std::unique_ptr<uint32_t[]> lookups;          // every other stream's lookup, back to back
    size_t lookupEntries = 0;
    std::vector<vmq::ChannelStream> channels;
    std::vector<vmq::PreparedMeshlet> meshlets;   // every meshlet's counts, checked to tile the totals
    std::vector<float> dequantisation;            // the channels' scales, then ranges, then mins
    vmq::MeshletCounts largest;                   // the largest of each count over the meshlets
    uint32_t triangleCount = 0;                   // the meshlets' totals
    uint32_t vertexCount = 0;

    MeshDecoder() = default;
    MeshDecoder(const MeshDecoder&) = delete; // the view points into the decoder itself
    MeshDecoder& operator=(const MeshDecoder&) = delete;
};

namespace vmq {

// Checks the record and prepares the decoder; false with a message on failure.
bool prepareDecoder(const CompressedMesh& mesh, int32_t predictionMode, MeshDecoder& decoder, std::string& error);

// The message for a meshlet that failed to decode.
std::string decodeFailureMessage(uint32_t meshlet, uint32_t channel, DecodeStatus status);

// What a prepared meshlet's symbols say about it.
DecodedMeshletInfo meshletInfo(const PreparedMeshlet& meshlet);

// Decodes every meshlet into a new record (see Pelku_Vmq_Compression_DecodeMesh) on up to
// threadCount threads (0: the hardware concurrency); null with the reason in `error` on failure.
DecodedMesh* decodeMesh(const CompressedMesh& mesh, int32_t predictionMode, uint32_t threadCount, std::string& error);

// The arrays of a new decoded mesh, for the decode to write.
struct DecodedBuffers {
    uint32_t* triangles = nullptr;
    uint32_t* grid = nullptr;
    float* values = nullptr;
};

// A decoded mesh sized for a prepared decoder's meshlets, with their counts and offsets filled in
// and the arrays in `buffers` left for the decode to write.
DecodedMesh* newDecodedMesh(const MeshDecoder& decoder, DecodedBuffers& buffers);

// Frees a decoded mesh; null is ignored.
void releaseDecodedMesh(DecodedMesh* decoded);

// Decodes one meshlet into the given buffers (see Pelku_Vmq_Compression_DecodeMeshlet).
bool decodeMeshlet(const MeshDecoder& decoder, uint32_t meshlet, uint32_t* triangles, size_t triangleCapacity, uint32_t* gridValues,
                   float* values, size_t vertexCapacity, DecodedMeshletInfo& info, std::string& error);

} // namespace vmq
