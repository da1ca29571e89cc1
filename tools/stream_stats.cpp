#include "stream_stats.h"

#include "format/decode_table.h"
#include "format/meshlet_symbols.h"

#include <numeric>

namespace vmq_tool {

namespace {

// Walks one coder's symbols bit by bit through its decode tables for the format's meshlet walk,
// summing the bits and counting the symbols of each stream. The first failure sticks.
struct CountingReader {
    static constexpr bool kReading = true;
    const uint32_t* words;
    uint64_t bitCount;
    const uint32_t* blob;
    size_t blobLength;
    uint32_t streamCount;
    uint64_t* streamBits;    // per stream
    uint64_t* streamSymbols; // per stream, or null
    uint64_t position = 0;
    bool failed = false;

    void marker(uint32_t stream)
    {
        if (streamSymbols)
            ++streamSymbols[stream];
    }
    bool symbol(uint32_t stream, uint32_t& value)
    {
        vmq::StreamTable table;
        const uint64_t start = position;
        if (failed || !vmq::findStreamTable(blob, blobLength, streamCount, stream, table) ||
            !vmq::readSymbolBitwise(table, words, bitCount, position, value))
            return failed = true, false;
        streamBits[stream] += position - start;
        if (streamSymbols)
            ++streamSymbols[stream];
        return true;
    }
    bool valueTooWide(uint32_t, uint32_t) { return true; }
    bool malformed(const char*) { return failed = true, false; }
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
        size_t(mesh.meshletHeadersEnd - mesh.meshletHeadersBegin) != size_t(vmq::kMeshletHeaderWords) * m || (c && !mesh.channels)) {
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

    CountingReader global{mesh.streamWordsBegin, wordsBits(mesh.streamWordsBegin, mesh.streamWordsEnd), mesh.tableBlobBegin,
                          size_t(mesh.tableBlobEnd - mesh.tableBlobBegin), vmq::kGlobalStreamCount, stats.globalStreamBits,
                          stats.globalStreamSymbols};
    std::vector<uint32_t> vertexCounts(m, 0);
    uint32_t edgeBits[vmq::kMaxBitListWords], restartBits[vmq::kMaxBitListWords], isFirstBits[vmq::kMaxBitListWords];
    uint32_t indexData[vmq::kMaxMeshletElements];
    const vmq::MeshletLists<uint32_t> lists{edgeBits,    vmq::kMaxBitListWords, restartBits, vmq::kMaxBitListWords,
                                            isFirstBits, vmq::kMaxBitListWords, indexData};
    for (uint32_t n = 0; n < m; ++n) {
        global.position = mesh.meshletBitOffsetsBegin[n];
        const uint64_t before = std::accumulate(std::begin(stats.globalStreamBits), std::end(stats.globalStreamBits), uint64_t(0));
        vmq::MeshletCounts counts;
        if (!vmq::meshletGlobalSymbols(global, counts, lists)) {
            error = "meshlet " + std::to_string(n) + "'s global symbols cannot be read";
            return false;
        }
        const uint64_t after = std::accumulate(std::begin(stats.globalStreamBits), std::end(stats.globalStreamBits), uint64_t(0));
        stats.meshletBits[n] = after - before;
        stats.meshletTriangles[n] = counts.triangleCount;
        vertexCounts[n] = counts.vertexCount;
    }
    const uint64_t globalBits = std::accumulate(std::begin(stats.globalStreamBits), std::end(stats.globalStreamBits), uint64_t(0));
    stats.paddingBits = global.bitCount > globalBits ? global.bitCount - globalBits : 0;

    uint32_t residuals[vmq::kMaxMeshletElements];
    for (uint32_t k = 0; k < c; ++k) {
        const ChannelStreams& s = mesh.channels[k];
        uint64_t channelStreamBits[vmq::kAttributeStreamCount] = {};
        CountingReader walker{s.streamWordsBegin, wordsBits(s.streamWordsBegin, s.streamWordsEnd), s.tableBlobBegin,
                              size_t(s.tableBlobEnd - s.tableBlobBegin), vmq::kAttributeStreamCount, channelStreamBits, nullptr};
        for (uint32_t n = 0; n < m; ++n) {
            walker.position = s.meshletBitOffsetsBegin[n];
            const uint32_t mask = mesh.meshletHeadersBegin[size_t(n) * vmq::kMeshletHeaderWords + vmq::HEADER_WIDE_CHANNEL_MASK];
            const uint64_t before = channelStreamBits[vmq::ATTRIB_DATA];
            if (!vmq::channelSymbols(walker, residuals, vertexCounts[n], (mask & vmq::wideChannelBit(k)) != 0)) {
                error = "meshlet " + std::to_string(n) + "'s values of channel " + std::to_string(k) + " cannot be read";
                return false;
            }
            const uint64_t bits = channelStreamBits[vmq::ATTRIB_DATA] - before;
            stats.channelBits[k] += bits;
            stats.meshletBits[n] += bits;
        }
        stats.paddingBits += walker.bitCount > stats.channelBits[k] ? walker.bitCount - stats.channelBits[k] : 0;
    }
    return true;
}

} // namespace vmq_tool
