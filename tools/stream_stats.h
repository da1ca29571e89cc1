#pragma once
// Where the bits of a compressed mesh go: every meshlet's symbols are walked through the decode
// tables and their code lengths summed per stream, per channel and per meshlet.
#include "format/format.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq_tool {

struct RecordStats {
    uint64_t globalStreamBits[vmq::kGlobalStreamCount] = {};
    uint64_t globalStreamSymbols[vmq::kGlobalStreamCount] = {};
    std::vector<uint64_t> channelBits;    // per channel: its ATTRIB_DATA symbols
    std::vector<uint64_t> meshletBits;    // per meshlet, stream order: global and channel symbols
    std::vector<uint32_t> meshletTriangles;
    uint64_t tableBits = 0;    // all decode-table blobs
    uint64_t headerBits = 0;   // meshlet headers
    uint64_t offsetBits = 0;   // per-meshlet bit, value and triangle offsets
    uint64_t paddingBits = 0;  // unused low bits of the last word of each bitstream

    uint64_t symbolBits() const;
};

// False with a message when a meshlet's symbols cannot be walked (a malformed record).
bool computeRecordStats(const CompressedMesh& mesh, RecordStats& stats, std::string& error);

} // namespace vmq_tool
