#include "pipeline/stream_coder.h"

#include "core/error.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

namespace vmq {

namespace {

struct HuffmanNode {
    bool leaf;
    uint32_t symbol;
    uint64_t count;
    HuffmanNode* left;
    HuffmanNode* right;
};

// Binary min-heap of node pointers ordered by count. The exact sift rules fix which of two
// equal counts is taken first, and so the codes.
class NodeHeap {
public:
    explicit NodeHeap(size_t capacity) { nodes_.reserve(capacity); }

    size_t size() const { return nodes_.size(); }

    void push(HuffmanNode* node)
    {
        nodes_.push_back(node);
        siftUp(nodes_.size() - 1);
    }

    HuffmanNode* pop()
    {
        HuffmanNode* top = nodes_[0];
        if (nodes_.size() == 1) {
            nodes_.pop_back();
            return top;
        }
        HuffmanNode* last = nodes_.back();
        nodes_.pop_back();
        const size_t n = nodes_.size();
        size_t hole = 0;
        while (hole < ((n - 1) >> 1)) {
            const size_t left = 2 * hole + 1;
            const size_t right = left + 1;
            const size_t child = nodes_[left]->count < nodes_[right]->count ? left : right;
            nodes_[hole] = nodes_[child];
            hole = child;
        }
        if (hole == ((n - 1) >> 1) && n % 2 == 0) {
            nodes_[hole] = nodes_[n - 1];
            hole = n - 1;
        }
        nodes_[hole] = last;
        siftUp(hole);
        return top;
    }

private:
    void siftUp(size_t index)
    {
        while (index > 0) {
            const size_t parent = (index - 1) >> 1;
            if (!(nodes_[parent]->count > nodes_[index]->count))
                break;
            std::swap(nodes_[parent], nodes_[index]);
            index = parent;
        }
    }

    std::vector<HuffmanNode*> nodes_;
};

// Builds the tree of one stream's nonzero counts (in ascending symbol order) into `pool`;
// returns the root, or null when the stream received no symbols.
HuffmanNode* buildHuffmanTree(const uint32_t* counts, std::vector<HuffmanNode>& pool)
{
    // Nodes are linked by address: the pool holds all 2n - 1 of n leaves without moving.
    uint32_t leaves = 0;
    for (uint32_t symbol = 0; symbol < kSymbolCount; ++symbol)
        leaves += counts[symbol] != 0 ? 1u : 0u;
    pool.clear();
    pool.reserve(2 * size_t(leaves));
    NodeHeap heap(leaves);
    for (uint32_t symbol = 0; symbol < kSymbolCount; ++symbol) {
        if (counts[symbol] == 0)
            continue;
        pool.push_back({true, symbol, counts[symbol], nullptr, nullptr});
        heap.push(&pool.back());
    }
    if (heap.size() == 0)
        return nullptr;
    while (heap.size() > 1) {
        HuffmanNode* a = heap.pop();
        HuffmanNode* b = heap.pop();
        pool.push_back({false, 0, a->count + b->count, a, b});
        heap.push(&pool.back());
    }
    return heap.pop();
}

void assignCodes(const HuffmanNode* node, uint64_t code, uint32_t depth, CodeEntry* table, const char* streamName)
{
    if (node->leaf) {
        if (depth > 32)
            raiseError(std::string("Huffman code of ") + std::to_string(depth) + " bits in stream " + streamName +
                       " exceeds the 32-bit code limit (symbol counts too skewed)");
        table[node->symbol] = {uint32_t(code), depth};
        return;
    }
    assignCodes(node->left, code * 2, depth + 1, table, streamName);
    assignCodes(node->right, code * 2 + 1, depth + 1, table, streamName);
}

// Lays the tree out as a decode table; the right subtree is placed first because it is pushed
// last. Returns the number of entries used.
uint32_t buildDecodeTable(const HuffmanNode* root, std::vector<uint32_t>& table)
{
    if (!root)
        return 0;
    std::vector<std::pair<const HuffmanNode*, uint32_t>> stack;
    stack.reserve(kSymbolCount);
    stack.push_back({root, 0});
    uint32_t next = 1;
    while (!stack.empty()) {
        auto [node, index] = stack.back();
        stack.pop_back();
        if (index >= kMaxDecodeTableEntries)
            raiseError("Huffman decode table exceeds 4096 entries");
        if (node->leaf) {
            table[index] = node->symbol * 2 + 1;
        } else {
            table[index] = next * 2;
            stack.push_back({node->left, next});
            stack.push_back({node->right, next + 1});
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
    : names_(names, names + streamCount), markerStreams_(markerStreams), histogram_(size_t(streamCount) * kSymbolCount, 0),
      codes_(size_t(streamCount) * kSymbolCount, CodeEntry{0, 0}), blockOffsets_(streamCount)
{
}

bool StreamCoder::isMarkerStream(uint32_t stream) const
{
    return std::find(markerStreams_.begin(), markerStreams_.end(), stream) != markerStreams_.end();
}

void StreamCoder::pushSymbol(uint32_t stream, uint32_t symbol)
{
    if (symbol >= kSymbolCount)
        raiseError(std::string("symbol ") + std::to_string(symbol) + " of stream " + names_[stream] +
                   " does not fit the 11-bit alphabet (at most 2047)");
    ++histogram_[stream * kSymbolCount + symbol];
    symbols_.push_back({stream, symbol});
}

const std::vector<uint32_t>& StreamCoder::blockOffsets(uint32_t markerStream) const
{
    return blockOffsets_[markerStream];
}

uint32_t buildStreamCode(const uint32_t* counts, CodeEntry* codes, std::vector<uint32_t>& table, const char* streamName)
{
    std::vector<HuffmanNode> pool;
    const HuffmanNode* root = buildHuffmanTree(counts, pool);
    if (root)
        assignCodes(root, 0, 0, codes, streamName);
    table.assign(kMaxDecodeTableEntries, 0);
    return buildDecodeTable(root, table);
}

void StreamCoder::encodeStreams()
{
    const uint32_t n = streamCount();
    std::fill(codes_.begin(), codes_.end(), CodeEntry{0, 0});
    tableSizes_.clear();

    std::vector<std::vector<uint32_t>> tables(n);
    for (uint32_t s = 0; s < n; ++s)
        tableSizes_.push_back(buildStreamCode(&histogram_[s * kSymbolCount], &codes_[s * kSymbolCount], tables[s], names_[s]));

    uint32_t total = n;
    for (uint32_t size : tableSizes_)
        total += size;
    tableBlob_.assign(total, 0);
    uint32_t at = n;
    for (uint32_t s = 0; s < n; ++s) {
        tableBlob_[s] = at;
        std::copy_n(tables[s].begin(), tableSizes_[s], tableBlob_.begin() + at);
        at += tableSizes_[s];
    }

    std::vector<char> marker(n, 0);
    for (uint32_t s = 0; s < n; ++s) {
        blockOffsets_[s].clear();
        marker[s] = isMarkerStream(s) ? 1 : 0;
    }

    uint64_t bits = 0;
    for (const SymbolRef& ref : symbols_)
        if (!marker[ref.stream])
            bits += codes_[ref.stream * kSymbolCount + ref.symbol].length;
    if (bits >= (uint64_t(1) << 32))
        raiseError("bitstream of " + std::to_string(bits) + " bits exceeds the 2^32-bit limit of one coder");
    streamWords_.assign((bits + 31) >> 5, 0);

    uint32_t position = 0;
    for (const SymbolRef& ref : symbols_) {
        if (marker[ref.stream])
            blockOffsets_[ref.stream].push_back(position);
        const CodeEntry entry = codes_[ref.stream * kSymbolCount + ref.symbol];
        writeBits(streamWords_.data(), position, entry.code, entry.length);
        position += entry.length;
    }

    symbols_.clear();
    symbols_.shrink_to_fit();
    std::fill(histogram_.begin(), histogram_.end(), 0u);
}

} // namespace vmq
