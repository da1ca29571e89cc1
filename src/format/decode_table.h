#pragma once
// Decode tables as the record stores them: a blob of N header words (word k is where stream k's
// table starts, counted in words from the blob's start; the last table runs to the blob's end)
// followed by the tables. A checked reader follows a table bit by bit; fast readers build their
// own lookups from the same tables.
#include "format/format.h"

#include <cstddef>
#include <cstdint>

namespace vmq {

struct StreamTable {
    const uint32_t* entries = nullptr;
    uint32_t entryCount = 0; // 0: the stream received no symbols
};

// Stream `stream`'s table in a blob of `streamCount` streams. False when the blob is shorter than
// its header, or its header word points outside the blob or before the previous table.
inline bool findStreamTable(const uint32_t* blob, size_t blobLength, uint32_t streamCount, uint32_t stream, StreamTable& table)
{
    if (stream >= streamCount || blobLength < streamCount)
        return false;
    const uint64_t start = blob[stream];
    const uint64_t end = stream + 1 < streamCount ? blob[stream + 1] : blobLength;
    if (start < streamCount || end < start || end > blobLength)
        return false;
    table.entries = blob + start;
    table.entryCount = uint32_t(end - start);
    return true;
}

// Whether a table is sound: a tree laid out as the writer lays it out, no more entries than a
// tree over the alphabet has, every leaf's symbol in the alphabet, and every entry but the root
// the child of exactly one inner node before it. A reader may then follow any code without checks,
// and the codes of the leaves cover every bit string once.
inline bool isSoundDecodeTable(const StreamTable& table)
{
    if (table.entryCount >= kMaxDecodeTableEntries)
        return false;
    bool hasParent[kMaxDecodeTableEntries];
    for (uint32_t node = 0; node < table.entryCount; ++node)
        hasParent[node] = false;
    uint32_t children = 0;
    for (uint32_t node = 0; node < table.entryCount; ++node) {
        const uint32_t entry = table.entries[node];
        if (isLeafEntry(entry)) {
            if (leafSymbol(entry) >= kSymbolCount)
                return false;
            continue;
        }
        const uint32_t child = firstChild(entry);
        if (child <= node || uint64_t(child) + 1 >= table.entryCount || hasParent[child] || hasParent[child + 1])
            return false;
        hasParent[child] = hasParent[child + 1] = true;
        children += 2;
    }
    return table.entryCount == 0 || children + 1 == table.entryCount;
}

// Reads one symbol from bit `position` of a bitstream of `bitCount` bits, one bit per tree
// level, and advances the position. False for an empty table, a child outside the table or
// not after its parent, a symbol beyond the alphabet, or the end of the bitstream.
inline bool readSymbolBitwise(const StreamTable& table, const uint32_t* words, uint64_t bitCount, uint64_t& position,
                              uint32_t& symbol)
{
    if (table.entryCount == 0)
        return false;
    uint32_t node = 0;
    for (;;) {
        const uint32_t entry = table.entries[node];
        if (isLeafEntry(entry)) {
            symbol = leafSymbol(entry);
            return symbol < kSymbolCount;
        }
        if (position >= bitCount)
            return false;
        const uint64_t child = uint64_t(firstChild(entry)) + bitstreamBit(words, position);
        if (child <= node || child >= table.entryCount)
            return false;
        ++position;
        node = uint32_t(child);
    }
}

} // namespace vmq
