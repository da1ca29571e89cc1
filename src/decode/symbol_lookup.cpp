// Lookups over a stream's next code bits, built from its decode table: first every whole code
// within the lookup's bits, then, where the bits after a code hold a second whole code, both.
#include "decode/symbol_reader.h"

#include <cstring>

namespace vmq {

namespace {

constexpr uint32_t kDeepestCounted = 40; // code lengths beyond count as this long

// Every node's code length and code bits, in one pass in table order: a sound table puts
// children after their parent. Lengths here are one more than the code's (the root's is 1); 0
// marks a node not reached yet.
struct TreeCodes {
    uint8_t length[kMaxDecodeTableEntries];
    uint16_t prefix[kMaxDecodeTableEntries]; // the code's first kMaxLookupBits bits
    uint32_t leavesOfLength[kDeepestCounted + 1] = {};

    explicit TreeCodes(const StreamTable& table)
    {
        if (table.entryCount == 0)
            return;
        std::memset(length, 0, table.entryCount);
        length[0] = 1;
        prefix[0] = 0;
        for (uint32_t node = 0; node < table.entryCount; ++node) {
            const uint32_t depth = length[node];
            if (depth == 0)
                continue;
            const uint32_t entry = table.entries[node];
            if (isLeafEntry(entry)) {
                ++leavesOfLength[depth - 1];
                continue;
            }
            const uint32_t child = firstChild(entry);
            const uint8_t childLength = uint8_t(depth <= kDeepestCounted ? depth + 1 : depth);
            const uint32_t childPrefix = (uint32_t(prefix[node]) << 1) & ((1u << kMaxLookupBits) - 1);
            length[child] = length[child + 1] = childLength;
            prefix[child] = uint16_t(childPrefix);
            prefix[child + 1] = uint16_t(childPrefix | 1);
        }
    }
};

// The lookup bits that make building the lookup and reading `symbols` symbols cheapest together.
// A Huffman code of length d stands for about 2^-d of the symbols; one past the lookup's bits is
// read in a walk that costs a call, a mispredicted branch and a step per further bit. The costs
// are in instructions, the branch counted as a few dozen.
uint32_t cheapestLookupBits(const TreeCodes& codes, uint64_t symbols)
{
    constexpr double kPerEntry = 30, kPerLongCode = 50, kPerStep = 8;
    double share[kDeepestCounted + 1]; // of the symbols, coded in d bits
    double weight = 1;
    for (uint32_t d = 0; d <= kDeepestCounted; ++d, weight *= 0.5)
        share[d] = double(codes.leavesOfLength[d]) * weight;
    uint32_t best = 1;
    double bestCost = 0;
    for (uint32_t bits = 1; bits <= kMaxLookupBits; ++bits) {
        double walked = 0; // expected walk cost per symbol
        for (uint32_t d = bits + 1; d <= kDeepestCounted; ++d)
            walked += share[d] * (kPerLongCode + kPerStep * double(d - bits));
        const double cost = kPerEntry * double(1u << bits) + double(symbols) * walked;
        if (bits == 1 || cost < bestCost)
            best = bits, bestCost = cost;
    }
    return best;
}

} // namespace

uint32_t buildSymbolLookup(const StreamTable& table, uint64_t symbols, uint32_t* lookup)
{
    const TreeCodes codes(table);
    const uint32_t bits = table.entryCount > 1 ? cheapestLookupBits(codes, symbols) : 1;
    const uint32_t size = 1u << bits;
    // Every code within the lookup's bits fills its entries, every longer one the entry of the
    // node it has reached after them: in a tree, together every entry once. An empty table's
    // entries walk from its missing root, where reading fails.
    if (table.entryCount == 0) {
        for (uint32_t k = 0; k < size; ++k)
            lookup[k] = 0;
        return bits;
    }
    for (uint32_t node = 0; node < table.entryCount; ++node) {
        const uint32_t depth = codes.length[node] - 1u;
        if (codes.length[node] == 0 || depth > bits)
            continue;
        const uint32_t entry = table.entries[node];
        if (isLeafEntry(entry)) {
            const uint32_t first = uint32_t(codes.prefix[node]) << (bits - depth), count = 1u << (bits - depth);
            const uint32_t code = kLookupCodes | (depth << 1) | (depth << 5) | (leafSymbol(entry) << 10);
            for (uint32_t k = 0; k < count; ++k)
                lookup[first + k] = code;
        } else if (depth == bits) {
            lookup[codes.prefix[node]] = node << 5; // a longer code goes on from here
        }
    }
    // A second whole code in the bits after a first one of length d: the entry k << d holds the
    // code that those bits begin with. Extending an entry leaves its first code as it was, so the
    // entries can be read for their first code while they are being extended.
    uint32_t shortest = 0;
    while (shortest < kDeepestCounted && codes.leavesOfLength[shortest] == 0)
        ++shortest;
    for (uint32_t node = 0; node < table.entryCount; ++node) {
        const uint32_t depth = codes.length[node] - 1u;
        if (codes.length[node] == 0 || depth + shortest > bits || !isLeafEntry(table.entries[node]))
            continue;
        const uint32_t room = bits - depth, first = uint32_t(codes.prefix[node]) << room;
        const uint32_t code = kLookupCodes | kLookupSecondCode | (depth << 1) | (leafSymbol(table.entries[node]) << 10);
        for (uint32_t k = 0; k < 1u << room; ++k) {
            const uint32_t next = lookup[k << depth];
            const uint32_t nextLength = (next >> 1) & 15;
            if ((next & kLookupCodes) && nextLength <= room)
                lookup[first + k] = code | ((depth + nextLength) << 5) | (((next >> 10) & kSymbolMask) << 21);
        }
    }
    return bits;
}

} // namespace vmq
