#include "stream_stats.h"

#include <numeric>

namespace vmq_tool {

const char* const kGlobalStreamNames[kGlobalStreamCount] = {"ELEM_COUNTS", "OTHER_DATA", "EDGE_FLAGS", "RESTART_FLAGS",
                                                            "IS_FIRST",    "INDEX_DATA", "BLOCK_OFFSET_SYMBOL"};

namespace {

// Reads symbols of one coder's bitstream bit by bit through its decode tables, counting the
// bits each symbol takes. Every step is bounds-checked; the first failure sticks.
struct BitWalker {
    const uint32_t* words;
    uint64_t bitCount;
    const uint32_t* blob;
    size_t blobLength;
    uint32_t streamCount;
    uint64_t position = 0;
    bool failed = false;

    uint32_t read(uint32_t stream, uint64_t& bits)
    {
        if (failed || stream >= streamCount || blobLength < streamCount)
            return fail();
        const uint64_t start = blob[stream];
        const uint64_t end = stream + 1 < streamCount ? blob[stream + 1] : blobLength;
        if (start >= end || end > blobLength)
            return fail();
        uint64_t node = 0;
        for (uint32_t depth = 0; depth <= 64; ++depth) {
            const uint32_t entry = blob[start + node];
            if (entry & 1)
                return entry >> 1;
            if (position >= bitCount)
                return fail();
            const uint32_t bit = (words[position >> 5] >> (31 - (position & 31))) & 1;
            ++position, ++bits;
            node = uint64_t(entry >> 1) + bit;
            if (start + node >= end)
                return fail();
        }
        return fail();
    }
    uint32_t fail()
    {
        failed = true;
        return 0;
    }
};

uint64_t wordsBits(const uint32_t* begin, const uint32_t* end)
{
    return uint64_t(end - begin) * 32;
}

} // namespace

uint64_t RecordStats::symbolBits() const
{
    return std::accumulate(std::begin(globalStreamBits), std::end(globalStreamBits), uint64_t(0)) +
           std::accumulate(channelBits.begin(), channelBits.end(), uint64_t(0));
}

bool computeRecordStats(const CompressedMesh& mesh, RecordStats& stats, std::string& error)
{
    stats = RecordStats{};
    const uint32_t m = mesh.meshletCount, c = mesh.channelCount;
    if (size_t(mesh.meshletBitOffsetsEnd - mesh.meshletBitOffsetsBegin) != m ||
        size_t(mesh.meshletHeadersEnd - mesh.meshletHeadersBegin) != size_t(8) * m || (c && !mesh.channels)) {
        error = "the record's per-meshlet arrays do not match its meshlet count";
        return false;
    }
    stats.channelBits.assign(c, 0);
    stats.meshletBits.assign(m, 0);
    stats.meshletTriangles.assign(m, 0);
    stats.tableBits = wordsBits(mesh.tableBlobBegin, mesh.tableBlobEnd);
    stats.headerBits = wordsBits(mesh.meshletHeadersBegin, mesh.meshletHeadersEnd);
    stats.offsetBits = wordsBits(mesh.meshletBitOffsetsBegin, mesh.meshletBitOffsetsEnd) +
                       wordsBits(mesh.meshletValueOffsetsBegin, mesh.meshletValueOffsetsEnd) +
                       wordsBits(mesh.meshletTriangleOffsetsBegin, mesh.meshletTriangleOffsetsEnd);
    for (uint32_t k = 0; k < c; ++k) {
        const ChannelStreams& s = mesh.channels[k];
        stats.tableBits += wordsBits(s.tableBlobBegin, s.tableBlobEnd);
        stats.offsetBits += wordsBits(s.meshletBitOffsetsBegin, s.meshletBitOffsetsEnd);
        if (size_t(s.meshletBitOffsetsEnd - s.meshletBitOffsetsBegin) != m) {
            error = "channel " + std::to_string(k) + " has the wrong number of meshlet bit offsets";
            return false;
        }
    }

    BitWalker global{mesh.streamWordsBegin, wordsBits(mesh.streamWordsBegin, mesh.streamWordsEnd), mesh.tableBlobBegin,
                     size_t(mesh.tableBlobEnd - mesh.tableBlobBegin), kGlobalStreamCount};
    std::vector<uint32_t> vertexCounts(m, 0);
    for (uint32_t n = 0; n < m; ++n) {
        global.position = mesh.meshletBitOffsetsBegin[n];
        uint64_t* bits = stats.globalStreamBits;
        uint64_t before = 0;
        for (uint64_t b : stats.globalStreamBits)
            before += b;
        auto read = [&](uint32_t stream) {
            ++stats.globalStreamSymbols[stream];
            return global.read(stream, bits[stream]);
        };
        ++stats.globalStreamSymbols[6]; // the meshlet's marker, no bits
        const uint32_t isFirstCount = read(0), indexCount = read(0), t = read(0), v = read(0);
        for (int k = 0; k < 10; ++k)
            read(1);
        const uint32_t flagBytes = t ? (t + 6) / 8 : 0;
        for (uint32_t k = 0; k < flagBytes; ++k)
            read(2);
        for (uint32_t k = 0; k < flagBytes; ++k)
            read(3);
        for (uint32_t k = 0; k < (isFirstCount + 7) / 8; ++k)
            read(4);
        for (uint32_t k = 0; k < indexCount && !global.failed; ++k)
            read(5);
        if (global.failed) {
            error = "meshlet " + std::to_string(n) + "'s global symbols cannot be read";
            return false;
        }
        uint64_t after = 0;
        for (uint64_t b : stats.globalStreamBits)
            after += b;
        stats.meshletBits[n] = after - before;
        stats.meshletTriangles[n] = t;
        vertexCounts[n] = v;
    }
    const uint64_t globalBits = std::accumulate(std::begin(stats.globalStreamBits), std::end(stats.globalStreamBits), uint64_t(0));
    stats.paddingBits = global.bitCount > globalBits ? global.bitCount - globalBits : 0;

    for (uint32_t k = 0; k < c; ++k) {
        const ChannelStreams& s = mesh.channels[k];
        BitWalker walker{s.streamWordsBegin, wordsBits(s.streamWordsBegin, s.streamWordsEnd), s.tableBlobBegin,
                         size_t(s.tableBlobEnd - s.tableBlobBegin), 2};
        for (uint32_t n = 0; n < m; ++n) {
            walker.position = s.meshletBitOffsetsBegin[n];
            const bool wide = (mesh.meshletHeadersBegin[size_t(n) * 8 + 7] >> (k % 32)) & 1;
            uint64_t bits = 0;
            walker.read(0, bits);
            walker.read(0, bits);
            for (uint32_t v = 1; v < vertexCounts[n] && !walker.failed;) {
                const uint32_t symbol = walker.read(0, bits);
                if (wide) {
                    walker.read(0, bits);
                    ++v;
                } else {
                    v += (symbol & 1) ? 2 : 1;
                }
            }
            if (walker.failed) {
                error = "meshlet " + std::to_string(n) + "'s values of channel " + std::to_string(k) + " cannot be read";
                return false;
            }
            stats.channelBits[k] += bits;
            stats.meshletBits[n] += bits;
        }
        stats.paddingBits += walker.bitCount > stats.channelBits[k] ? walker.bitCount - stats.channelBits[k] : 0;
    }
    return true;
}

} // namespace vmq_tool
