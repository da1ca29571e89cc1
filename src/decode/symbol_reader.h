#pragma once
// Reading a coder's symbols at speed, on the host and on a device: a 64-bit bit buffer refilled a
// word at a time, and per stream a lookup over its next few code bits that yields one or two whole
// codes, or the tree node from which a longer code goes on bit by bit. The lookups are built once
// per record (buildSymbolLookup) from sound decode tables, so reading needs no checks but one:
// bits read past the end of the stream come as zeros, and overran() tells afterwards.
#include "format/decode_table.h"
#include "format/format.h"

#include <cstddef>
#include <cstdint>

namespace vmq {

// Code bits a lookup covers at most.
constexpr uint32_t kMaxLookupBits = 12;

// A lookup entry. Bit 0 set: the bits begin with a whole code, bits 1-4 its length and bits 10-20
// its symbol; with bit 9 set a second whole code follows, bits 5-8 the two lengths together and
// bits 21-31 its symbol. Bit 0 clear: a longer code, bits 5.. the inner tree node reached after
// the lookup's bits.
constexpr uint32_t kLookupCodes = 1u;
constexpr uint32_t kLookupSecondCode = 1u << 9;

// One stream's decode table with its lookup.
struct StreamLookup {
    const uint32_t* tree = nullptr;   // the record's decode table
    const uint32_t* lookup = nullptr; // 1 << bits entries
    uint32_t treeSize = 0;            // 0: the stream holds no symbols, and reading one fails
    uint32_t bits = 1;
};

// Builds a sound table's lookup into `lookup`, which has room for 1 << kMaxLookupBits entries, and
// returns its bits, chosen for a stream from which about `symbols` symbols will be read: more
// symbols, a larger lookup.
uint32_t buildSymbolLookup(const StreamTable& table, uint64_t symbols, uint32_t* lookup);

// The bits of one coder's stream from a start position, most significant first.
struct BitReader {
    const uint32_t* next = nullptr; // the next word to load
    const uint32_t* end = nullptr;
    uint64_t buffer = 0;  // unread bits, the next one at the top
    uint32_t count = 0;   // valid bits in buffer
    uint32_t padding = 0; // zero bits loaded past the end of the stream

    // position must not lie past the stream's last bit.
    VMQ_HOST_DEVICE VMQ_INLINE void start(const uint32_t* words, size_t wordCount, uint64_t position)
    {
        next = words + (position >> 5);
        end = words + wordCount;
        buffer = 0;
        count = 0;
        padding = 0;
        refill();
        consume(uint32_t(position & 31));
    }
    // Leaves at least 33 bits in the buffer. Whether a word is due varies symbol by symbol, so
    // that choice is made without a branch.
    VMQ_HOST_DEVICE VMQ_INLINE void refill()
    {
        const uint32_t take = count <= 32 ? 1u : 0u;
        const bool inside = next < end;
        const uint64_t word = inside ? *next : 0;
        buffer |= (word & (0 - uint64_t(take))) << ((32 - count) & 63);
        next += inside ? take : 0;
        padding += inside ? 0 : 32 * take;
        count += 32 * take;
    }
    VMQ_HOST_DEVICE VMQ_INLINE uint32_t peek(uint32_t bits) const { return uint32_t(buffer >> (64 - bits)); }
    VMQ_HOST_DEVICE VMQ_INLINE void consume(uint32_t bits)
    {
        buffer <<= bits;
        count -= bits;
    }
    // Whether any bit read lay past the end of the stream.
    VMQ_HOST_DEVICE bool overran() const { return padding > count; }
    // The position of the next unread bit, in bits from `words`.
    VMQ_HOST_DEVICE uint64_t position(const uint32_t* words) const { return uint64_t(next - words) * 32 + padding - count; }
};

// Symbols of the streams of one coder. A lookup that yields two codes keeps the second for the
// next read from the same stream; a read from another stream drops it unconsumed.
struct SymbolReader {
    BitReader bits;
    const StreamLookup* keptFrom = nullptr;
    uint32_t keptSymbol = 0;
    uint32_t keptLength = 0;
    bool readEmptyStream = false; // a symbol was read from a stream that holds none

    VMQ_HOST_DEVICE VMQ_INLINE uint32_t read(const StreamLookup& stream)
    {
        if (keptFrom == &stream) {
            keptFrom = nullptr;
            bits.consume(keptLength);
            return keptSymbol;
        }
        keptFrom = nullptr;
        bits.refill();
        const uint32_t entry = stream.lookup[bits.peek(stream.bits)];
        if (!(entry & kLookupCodes))
            return readLongCode(stream, entry);
        const uint32_t length = (entry >> 1) & 15;
        if (entry & kLookupSecondCode) {
            keptFrom = &stream;
            keptSymbol = entry >> 21;
            keptLength = ((entry >> 5) & 15) - length;
        }
        bits.consume(length);
        return (entry >> 10) & kSymbolMask;
    }

    VMQ_HOST_DEVICE bool failed() const { return readEmptyStream || bits.overran(); }

private:
    // A code longer than the lookup, walked bit by bit from the node the lookup reached.
    VMQ_HOST_DEVICE VMQ_NOINLINE uint32_t readLongCode(const StreamLookup& stream, uint32_t entry)
    {
        if (stream.treeSize == 0) {
            readEmptyStream = true;
            return 0;
        }
        bits.consume(stream.bits);
        uint32_t node = entry >> 5;
        for (;;) {
            const uint32_t next = stream.tree[node];
            if (isLeafEntry(next))
                return leafSymbol(next);
            bits.refill();
            node = firstChild(next) + uint32_t(bits.buffer >> 63);
            bits.consume(1);
        }
    }
};

} // namespace vmq
