#include "pipeline/stream_coder.h"

#include "core/error.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

namespace vmq {

namespace {

using Node = HuffmanScratch::Node;
using HeapEntry = HuffmanScratch::HeapEntry;

// Binary min-heap ordered by count. The exact sift rules fix which of two equal counts is taken
// first, and so the codes.
void heapSiftUp(std::vector<HeapEntry>& heap, size_t index)
{
    while (index > 0) {
        const size_t parent = (index - 1) >> 1;
        if (!(heap[parent].count > heap[index].count))
            break;
        std::swap(heap[parent], heap[index]);
        index = parent;
    }
}

void heapPush(std::vector<HeapEntry>& heap, HeapEntry entry)
{
    heap.push_back(entry);
    heapSiftUp(heap, heap.size() - 1);
}

HeapEntry heapPop(std::vector<HeapEntry>& heap)
{
    const HeapEntry top = heap[0];
    if (heap.size() == 1) {
        heap.pop_back();
        return top;
    }
    const HeapEntry last = heap.back();
    heap.pop_back();
    const size_t n = heap.size();
    size_t hole = 0;
    while (hole < ((n - 1) >> 1)) {
        const size_t left = 2 * hole + 1;
        const size_t right = left + 1;
        const size_t child = heap[left].count < heap[right].count ? left : right;
        heap[hole] = heap[child];
        hole = child;
    }
    if (hole == ((n - 1) >> 1) && n % 2 == 0) {
        heap[hole] = heap[n - 1];
        hole = n - 1;
    }
    heap[hole] = last;
    heapSiftUp(heap, hole);
    return top;
}

// Builds the tree of one stream's nonzero counts (leaves in ascending symbol order) into
// scratch.nodes; returns the root, or kLeaf when the stream received no symbols.
uint32_t buildHuffmanTree(const uint32_t* counts, HuffmanScratch& scratch)
{
    std::vector<Node>& nodes = scratch.nodes;
    std::vector<HeapEntry>& heap = scratch.heap;
    nodes.clear();
    heap.clear();
    for (uint32_t symbol = 0; symbol < kSymbolCount; ++symbol) {
        if (counts[symbol] == 0)
            continue;
        const uint32_t node = uint32_t(nodes.size());
        nodes.push_back({counts[symbol], symbol, HuffmanScratch::kLeaf, HuffmanScratch::kLeaf});
        heapPush(heap, {counts[symbol], node});
    }
    if (heap.empty())
        return HuffmanScratch::kLeaf;
    while (heap.size() > 1) {
        const HeapEntry a = heapPop(heap);
        const HeapEntry b = heapPop(heap);
        const uint32_t node = uint32_t(nodes.size());
        nodes.push_back({a.count + b.count, 0, a.node, b.node});
        heapPush(heap, {a.count + b.count, node});
    }
    return heapPop(heap).node;
}

// Codes by a depth-first walk, left (bit 0) before right (bit 1).
void assignCodes(uint32_t root, CodeEntry* codes, const char* streamName, HuffmanScratch& scratch)
{
    std::vector<std::array<uint32_t, 3>>& stack = scratch.stack; // node, code, depth
    stack.clear();
    stack.push_back({root, 0, 0});
    while (!stack.empty()) {
        const auto [node, code, depth] = stack.back();
        stack.pop_back();
        const Node& n = scratch.nodes[node];
        if (n.left == HuffmanScratch::kLeaf) {
            if (depth > 32)
                raiseError(std::string("Huffman code of ") + std::to_string(depth) + " bits in stream " + streamName +
                           " exceeds the 32-bit code limit (symbol counts too skewed)");
            codes[n.symbol] = {code, depth};
            continue;
        }
        stack.push_back({n.right, code * 2 + 1, depth + 1});
        stack.push_back({n.left, code * 2, depth + 1});
    }
}

// Lays the tree out as a decode table; the right subtree is placed first because it is pushed
// last. Returns the number of entries used.
uint32_t buildDecodeTable(uint32_t root, uint32_t* table, HuffmanScratch& scratch)
{
    if (root == HuffmanScratch::kLeaf)
        return 0;
    std::vector<std::array<uint32_t, 3>>& stack = scratch.stack; // node, table index
    stack.clear();
    stack.push_back({root, 0, 0});
    uint32_t next = 1;
    while (!stack.empty()) {
        const auto [node, index, unused] = stack.back();
        stack.pop_back();
        if (index >= kMaxDecodeTableEntries)
            raiseError("Huffman decode table exceeds 4096 entries");
        const Node& n = scratch.nodes[node];
        if (n.left == HuffmanScratch::kLeaf) {
            table[index] = n.symbol * 2 + 1;
        } else {
            table[index] = next * 2;
            stack.push_back({n.left, next, 0});
            stack.push_back({n.right, next + 1, 0});
            next += 2;
        }
    }
    return next;
}

} // namespace

uint32_t highestBit(uint32_t v)
{
    uint32_t bit = 0;
    while (v >>= 1)
        ++bit;
    return bit;
}

void writeBits(uint32_t* words, uint32_t position, uint32_t code, uint32_t length)
{
    if (length == 0)
        return;
    const uint32_t word = position / 32;
    const int s = 32 - int(position % 32) - int(length);
    if (s >= 0) {
        words[word] |= code << s;
    } else {
        words[word] |= code >> uint32_t(-s);
        words[word + 1] |= code << uint32_t(32 + s);
    }
}

StreamCoder::StreamCoder(std::initializer_list<const char*> names, std::initializer_list<uint32_t> markerStreams)
    : StreamCoder(names.begin(), uint32_t(names.size()), markerStreams)
{
}

StreamCoder::StreamCoder(const char* const* names, uint32_t streamCount, std::initializer_list<uint32_t> markerStreams)
    : names_(names, names + streamCount), markerStreams_(markerStreams), blockOffsets_(streamCount)
{
    // A recorded symbol holds its stream in the five bits above the symbol's eleven.
    if (streamCount > 32)
        raiseError("a coder holds at most 32 streams, not " + std::to_string(streamCount));
}

bool StreamCoder::isMarkerStream(uint32_t stream) const
{
    return std::find(markerStreams_.begin(), markerStreams_.end(), stream) != markerStreams_.end();
}

uint32_t StreamCoder::histogramCount(uint32_t stream, uint32_t symbol) const
{
    const uint16_t pushed = uint16_t((stream << kSymbolBits) | symbol);
    return uint32_t(std::count(symbols_.begin(), symbols_.end(), pushed));
}

void StreamCoder::symbolTooLarge(uint32_t stream, uint32_t symbol) const
{
    raiseError(std::string("symbol ") + std::to_string(symbol) + " of stream " + names_[stream] +
               " does not fit the 11-bit alphabet (at most 2047)");
}

const std::vector<uint32_t>& StreamCoder::blockOffsets(uint32_t markerStream) const
{
    return blockOffsets_[markerStream];
}

uint32_t buildStreamCode(const uint32_t* counts, CodeEntry* codes, uint32_t* table, const char* streamName, HuffmanScratch& scratch)
{
    const uint32_t root = buildHuffmanTree(counts, scratch);
    if (root != HuffmanScratch::kLeaf)
        assignCodes(root, codes, streamName, scratch);
    return buildDecodeTable(root, table, scratch);
}

uint32_t buildStreamCode(const uint32_t* counts, CodeEntry* codes, std::vector<uint32_t>& table, const char* streamName)
{
    HuffmanScratch scratch;
    table.assign(kMaxDecodeTableEntries, 0);
    return buildStreamCode(counts, codes, table.data(), streamName, scratch);
}

void StreamCoder::encodeStreams()
{
    HuffmanScratch scratch;
    encodeStreams(scratch);
}

void StreamCoder::encodeStreams(HuffmanScratch& scratch)
{
    const uint32_t n = streamCount();
    std::vector<uint32_t>& histogram = scratch.histogram;
    histogram.assign(size_t(n) * kSymbolCount, 0);
    for (const uint16_t pushed : symbols_)
        ++histogram[pushed]; // stream * 2048 + symbol
    std::vector<CodeEntry>& codes_ = scratch.codes;
    codes_.assign(size_t(n) * kSymbolCount, CodeEntry{0, 0});
    tableSizes_.clear();

    // Codes and decode tables, each table laid into the blob behind the ones before it.
    std::vector<uint32_t>& table = scratch.table;
    table.resize(kMaxDecodeTableEntries);
    tableBlob_.assign(n, 0);
    uint64_t bits = 0;
    for (uint32_t s = 0; s < n; ++s) {
        const uint32_t* counts = &histogram[size_t(s) * kSymbolCount];
        CodeEntry* codes = &codes_[size_t(s) * kSymbolCount];
        const uint32_t used = buildStreamCode(counts, codes, table.data(), names_[s], scratch);
        tableSizes_.push_back(used);
        tableBlob_[s] = uint32_t(tableBlob_.size());
        tableBlob_.insert(tableBlob_.end(), table.begin(), table.begin() + used);
        if (isMarkerStream(s)) {
            uint64_t markers = 0;
            for (uint32_t symbol = 0; symbol < kSymbolCount; ++symbol)
                markers += counts[symbol];
            blockOffsets_[s].clear();
            blockOffsets_[s].reserve(size_t(markers));
        } else {
            blockOffsets_[s].clear();
            for (uint32_t symbol = 0; symbol < kSymbolCount; ++symbol)
                bits += uint64_t(counts[symbol]) * codes[symbol].length;
        }
    }
    if (bits >= (uint64_t(1) << 32))
        raiseError("bitstream of " + std::to_string(bits) + " bits exceeds the 2^32-bit limit of one coder");

    // The bits, most significant first: whole words leave the accumulator as they fill.
    uint32_t markerMask = 0;
    for (uint32_t s = 0; s < n; ++s)
        markerMask |= isMarkerStream(s) ? 1u << s : 0u;
    streamWords_.assign(size_t((bits + 31) >> 5), 0);
    uint32_t* out = streamWords_.data();
    uint64_t pending = 0;  // the low `filled` bits are not yet written
    uint32_t filled = 0;
    uint32_t position = 0;
    for (const uint16_t pushed : symbols_) {
        const uint32_t stream = uint32_t(pushed) >> kSymbolBits;
        if ((markerMask >> stream) & 1u)
            blockOffsets_[stream].push_back(position);
        const CodeEntry entry = codes_[pushed]; // stream * 2048 + symbol
        position += entry.length;
        pending = (pending << entry.length) | entry.code;
        filled += entry.length;
        if (filled >= 32) {
            filled -= 32;
            *out++ = uint32_t(pending >> filled);
        }
    }
    if (filled > 0)
        *out = uint32_t(pending << (32 - filled));

    symbols_.clear();
    symbols_.shrink_to_fit();
}

} // namespace vmq
