#pragma once
// Multi-stream Huffman coder over an 11-bit alphabet: symbols are counted while meshlets are
// packed, then every stream gets its own code and all symbols are written, in push order, into
// one MSB-first bitstream with a compact decode table per stream. Marker streams cost no bits;
// the coder records the bit position of each of their symbols.
#include "format/format.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vmq {

// Index of the highest set bit of v; 0 for v = 0.
uint32_t highestBit(uint32_t v);

// ORs the low `length` bits of code into zeroed words at bit position p, most significant bit
// first; a code that does not fit the rest of a word continues at the top of the next one.
// Writes nothing when length is 0. length is at most 32.
void writeBits(uint32_t* words, uint32_t position, uint32_t code, uint32_t length);

struct CodeEntry {
    uint32_t code;   // the code's bits are the low `length` bits, first written bit highest
    uint32_t length;
};

// Working storage of Huffman code construction, reused from stream to stream and from coder to
// coder. After StreamCoder::encodeStreams, `codes` holds that coder's codes and `histogram` its
// symbol counts: entry stream * 2048 + symbol.
struct HuffmanScratch {
    struct Node {
        uint64_t count;
        uint32_t symbol; // leaves
        uint32_t left;   // inner nodes: children in the node list; kLeaf for a leaf
        uint32_t right;
    };
    struct HeapEntry {
        uint64_t count;
        uint32_t node;
    };
    static constexpr uint32_t kLeaf = UINT32_MAX;
    std::vector<Node> nodes;
    std::vector<HeapEntry> heap;
    std::vector<std::array<uint32_t, 3>> stack; // node, then code and depth or table index
    std::vector<uint32_t> table;                // one stream's decode table
    std::vector<uint32_t> histogram;
    std::vector<CodeEntry> codes;
};

// Builds one stream's Huffman code from its 2048 symbol counts: fills codes[0..2047] and lays the
// decode table into table (resized to 4096 entries); returns the number of table entries used
// (0 for a stream without symbols). Raises the internal error for a code longer than 32 bits.
uint32_t buildStreamCode(const uint32_t* counts, CodeEntry* codes, std::vector<uint32_t>& table, const char* streamName);
uint32_t buildStreamCode(const uint32_t* counts, CodeEntry* codes, uint32_t* table, const char* streamName, HuffmanScratch& scratch);

class StreamCoder {
public:
    // names: one per stream, in stream order (at most 32); they must outlive the coder (string
    // literals).
    StreamCoder(std::initializer_list<const char*> names, std::initializer_list<uint32_t> markerStreams);
    StreamCoder(const char* const* names, uint32_t streamCount, std::initializer_list<uint32_t> markerStreams);

    // Records one symbol; a symbol of 2048 or more raises the internal error. The symbols are
    // counted when the codes are built, so that a coder holds no histogram while it collects.
    void pushSymbol(uint32_t stream, uint32_t symbol)
    {
        if (symbol >= kSymbolCount)
            symbolTooLarge(stream, symbol);
        symbols_.push_back(uint16_t((stream << kSymbolBits) | symbol));
    }

    // Builds every stream's code and decode table, writes the bitstream and the marker
    // positions, then resets the counting state. Raises the internal error for a code longer
    // than 32 bits or a bitstream of 2^32 bits or more.
    void encodeStreams(HuffmanScratch& scratch);
    void encodeStreams();

    uint32_t streamCount() const { return uint32_t(names_.size()); }
    const char* streamName(uint32_t stream) const { return names_[stream]; }
    bool isMarkerStream(uint32_t stream) const;
    // How often the symbol was pushed into the stream since the last encodeStreams.
    uint32_t histogramCount(uint32_t stream, uint32_t symbol) const;
    size_t pushedSymbolCount() const { return symbols_.size(); }

    const std::vector<uint32_t>& streamWords() const { return streamWords_; }
    const std::vector<uint32_t>& tableBlob() const { return tableBlob_; }
    const std::vector<uint32_t>& tableSizes() const { return tableSizes_; }
    // Recorded bit positions of a marker stream after encodeStreams (empty otherwise).
    const std::vector<uint32_t>& blockOffsets(uint32_t markerStream) const;

private:
    [[noreturn]] void symbolTooLarge(uint32_t stream, uint32_t symbol) const;

    std::vector<const char*> names_;
    std::vector<uint32_t> markerStreams_;
    std::vector<uint16_t> symbols_;   // in push order: stream << 11 | symbol
    std::vector<uint32_t> streamWords_;
    std::vector<uint32_t> tableBlob_;
    std::vector<uint32_t> tableSizes_;
    std::vector<std::vector<uint32_t>> blockOffsets_; // per stream; filled for marker streams
};

} // namespace vmq
