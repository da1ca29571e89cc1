#pragma once
// The order of one meshlet's symbols, written once for every writer and reader of the record.
// A meshlet's global symbols follow its recorded bit offset in the global bitstream; channel
// c's residuals follow its offset in channel c's bitstream.
//
// The functions take an Io that either pushes symbols (a writer) or reads them (a reader, with
// `static constexpr bool kReading = true`). A writer's lists are only read; a reader's are
// filled. The Io provides:
//   void marker(uint32_t stream);                  a marker symbol: no bits, position recorded
//   bool symbol(uint32_t stream, uint32_t& value); push value, or read the next symbol into it
//   bool valueTooWide(uint32_t value, uint32_t vertex);  writer: a residual of 2^22 or more
//   bool malformed(const char* what);              reader: the symbols contradict each other
// and a false result from any of them ends the walk with false. A reader may also provide
//   uint32_t narrowRun(Residuals residuals, uint32_t v, uint32_t vertexCount);
// which reads a narrow channel's symbols from vertex v on, in order and whole, as channelSymbols
// would, stops anywhere before the last vertex, and returns the first vertex it did not read:
// a reader that takes several symbols at once.
#include "format/format.h"

#include <cstdint>

namespace vmq {

// The counts and offsets a meshlet's global symbols carry.
struct MeshletCounts {
    uint32_t isFirstCount = 0;
    uint32_t indexCount = 0;
    uint32_t triangleCount = 0;
    uint32_t vertexCount = 0;
    uint32_t triangleOffset = 0;  // triangles of the meshlets before it
    uint32_t vertexOffset = 0;    // vertices of the meshlets before it
    uint32_t indexWordOffset = 0; // index words of the meshlets before it
    uint32_t groupId = 0;
};

// A meshlet's bit lists (edge and restart bits for triangles 1 .. T - 1, first-use bits) and
// index entries. A reader's lists need room for kMaxFlagBytes bytes each and kMaxMeshletElements
// index entries; every meshlet fits, since its counts are single symbols.
template <typename Word>
struct MeshletLists {
    Word* edgeBits = nullptr;
    uint32_t edgeWords = 0;
    Word* restartBits = nullptr;
    uint32_t restartWords = 0;
    Word* isFirstBits = nullptr;
    uint32_t isFirstWords = 0;
    Word* indexData = nullptr; // counts.indexCount entries
};

// Words a reader's bit list needs for any meshlet.
constexpr uint32_t kMaxBitListWords = (kMaxFlagBytes + 3) / 4;

// A value in three symbols of 11, 11 and 10 bits, low part first.
template <typename Io>
VMQ_HOST_DEVICE VMQ_INLINE bool value32Symbols(Io& io, uint32_t stream, uint32_t& value)
{
    uint32_t low = value & kSymbolMask, middle = (value >> kSymbolBits) & kSymbolMask, high = value >> (2 * kSymbolBits);
    if (!io.symbol(stream, low) || !io.symbol(stream, middle) || !io.symbol(stream, high))
        return false;
    value = low | (middle << kSymbolBits) | (high << (2 * kSymbolBits));
    return true;
}

// A residual below 2^22 in two symbols, low 11 bits first.
template <typename Io, typename Word>
VMQ_HOST_DEVICE VMQ_INLINE bool value22Symbols(Io& io, uint32_t stream, Word& residual, uint32_t vertex)
{
    uint32_t low = 0, high = 0;
    if constexpr (!Io::kReading) {
        if (residual >= kValue22Limit)
            return io.valueTooWide(residual, vertex);
        low = residual & kSymbolMask;
        high = residual >> kSymbolBits;
    }
    if (!io.symbol(stream, low) || !io.symbol(stream, high))
        return false;
    if constexpr (Io::kReading)
        residual = low | (high << kSymbolBits);
    return true;
}

// The first byteCount bytes of a bit list, a symbol each.
template <typename Io, typename Word>
VMQ_HOST_DEVICE VMQ_INLINE bool bitListSymbols(Io& io, uint32_t stream, Word* words, uint32_t wordCount, uint32_t byteCount)
{
    for (uint32_t i = 0; i < byteCount; ++i) {
        uint32_t byte = 0;
        if constexpr (!Io::kReading)
            byte = bitListByte(words, wordCount, i);
        if (!io.symbol(stream, byte))
            return false;
        if constexpr (Io::kReading)
            setBitListByte(words, i, byte);
    }
    return true;
}

// Index entries as zigzag deltas, each from the entry before it (the first from 0).
template <typename Io, typename Word>
VMQ_HOST_DEVICE VMQ_INLINE bool indexSymbols(Io& io, uint32_t stream, Word* entries, uint32_t count)
{
    uint32_t previous = 0;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t delta = 0;
        if constexpr (!Io::kReading)
            delta = zigzag(int32_t(entries[k] - previous));
        if (!io.symbol(stream, delta))
            return false;
        previous += uint32_t(unzigzag(delta));
        if constexpr (Io::kReading)
            entries[k] = previous;
    }
    return true;
}

// The head of a meshlet's global symbols: the marker, the four counts, the three offsets and
// the group id.
template <typename Io>
VMQ_HOST_DEVICE bool meshletCountSymbols(Io& io, MeshletCounts& counts)
{
    io.marker(BLOCK_OFFSET_SYMBOL);
    return io.symbol(ELEM_COUNTS, counts.isFirstCount) && io.symbol(ELEM_COUNTS, counts.indexCount) &&
           io.symbol(ELEM_COUNTS, counts.triangleCount) && io.symbol(ELEM_COUNTS, counts.vertexCount) &&
           value32Symbols(io, OTHER_DATA, counts.triangleOffset) && value32Symbols(io, OTHER_DATA, counts.vertexOffset) &&
           value32Symbols(io, OTHER_DATA, counts.indexWordOffset) && io.symbol(OTHER_DATA, counts.groupId);
}

// The rest of them, after the head: the flag bytes, then the index deltas.
template <typename Io, typename Word>
VMQ_HOST_DEVICE bool meshletListSymbols(Io& io, const MeshletCounts& counts, const MeshletLists<Word>& lists)
{
    const uint32_t flagBytes = flagByteCount(counts.triangleCount);
    return bitListSymbols(io, EDGE_FLAGS, lists.edgeBits, lists.edgeWords, flagBytes) &&
           bitListSymbols(io, RESTART_FLAGS, lists.restartBits, lists.restartWords, flagBytes) &&
           bitListSymbols(io, IS_FIRST, lists.isFirstBits, lists.isFirstWords, isFirstByteCount(counts.isFirstCount)) &&
           indexSymbols(io, INDEX_DATA, lists.indexData, counts.indexCount);
}

// All of a meshlet's global symbols, in order.
template <typename Io, typename Word>
VMQ_HOST_DEVICE bool meshletGlobalSymbols(Io& io, MeshletCounts& counts, const MeshletLists<Word>& lists)
{
    return meshletCountSymbols(io, counts) && meshletListSymbols(io, counts, lists);
}

// One channel's residuals of a meshlet's vertices: the marker, vertex 0 in two symbols, then
// vertices 1 .. V - 1 two symbols each when the channel is wide, else a pair symbol for one or
// two of them. `residuals[v]` names vertex v's residual: a pointer, or any view that indexes so
// (a reader may keep a channel's residuals strided among the other channels'). A reader may
// also walk the head (marker and vertex 0) and the rest (from a vertex on) apart, to read
// several channels side by side.
template <typename Io, typename Residuals>
VMQ_HOST_DEVICE VMQ_INLINE bool channelHeadSymbols(Io& io, Residuals residuals, uint32_t vertexCount)
{
    io.marker(ATTRIB_BLOCK_OFFSET);
    return vertexCount == 0 || value22Symbols(io, ATTRIB_DATA, residuals[0], 0);
}

template <typename Io, typename Residuals>
VMQ_HOST_DEVICE VMQ_INLINE bool channelRestSymbols(Io& io, Residuals residuals, uint32_t v, uint32_t vertexCount, bool wide)
{
    while (v < vertexCount) {
        if constexpr (requires { io.narrowRun(residuals, v, vertexCount); }) {
            if (!wide && (v = io.narrowRun(residuals, v, vertexCount)) >= vertexCount)
                break;
        }
        if (wide) {
            if (!value22Symbols(io, ATTRIB_DATA, residuals[v], v))
                return false;
            ++v;
            continue;
        }
        const uint32_t left = vertexCount - v >= 2 ? 2 : 1;
        uint32_t symbol = 0;
        if constexpr (!Io::kReading)
            symbol = pairSymbol(residuals[v], left == 2 ? residuals[v + 1] : 0, left);
        if (!io.symbol(ATTRIB_DATA, symbol))
            return false;
        if (!isPairSymbol(symbol)) {
            if constexpr (Io::kReading)
                residuals[v] = singleResidual(symbol);
            ++v;
            continue;
        }
        if (left < 2)
            return io.malformed("pairs residuals past its last vertex");
        if constexpr (Io::kReading) {
            residuals[v] = pairFirst(symbol);
            residuals[v + 1] = pairSecond(symbol);
        }
        v += 2;
    }
    return true;
}

template <typename Io, typename Residuals>
VMQ_HOST_DEVICE VMQ_INLINE bool channelSymbols(Io& io, Residuals residuals, uint32_t vertexCount, bool wide)
{
    return channelHeadSymbols(io, residuals, vertexCount) && channelRestSymbols(io, residuals, 1, vertexCount, wide);
}

} // namespace vmq
