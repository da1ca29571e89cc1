#include "serialize/table_shape.h"

#include "format/format.h"
#include "pipeline/compressed_record.h"

#include <algorithm>
#include <memory>

namespace vmq {

namespace {

// A blob holds the header word of every stream, then the tables; each table's shape form is its
// leaf count and symbol width, then its bits.
struct TableShape {
    uint32_t leafCount = 0;
    uint32_t symbolWidth = 0;
};

// Walks one table in the coder's order. `visit(isLeaf, symbol)` sees every entry; false when an
// inner node's children are not at the next free entries or some entry is never reached.
template <typename Visit>
bool walkTable(const uint32_t* table, uint32_t size, std::vector<uint32_t>& stack, Visit&& visit)
{
    if (size == 0)
        return true;
    stack.assign(1, 0);
    uint32_t next = 1;
    while (!stack.empty()) {
        const uint32_t index = stack.back();
        stack.pop_back();
        const uint32_t entry = table[index];
        if (isLeafEntry(entry)) {
            visit(true, leafSymbol(entry));
            continue;
        }
        if (firstChild(entry) != next || next + 1 >= size)
            return false;
        visit(false, 0);
        stack.push_back(next);
        stack.push_back(next + 1);
        next += 2;
    }
    return next == size;
}

} // namespace

bool writeTableShapes(const uint32_t* blob, size_t length, std::vector<uint8_t>& out, std::vector<uint32_t>& stack)
{
    if (length == 0 || blob[0] == 0 || blob[0] > length || length > 0xFFFFFFFFu)
        return false;
    const uint32_t streamCount = blob[0];
    std::vector<TableShape> shapes(streamCount);
    uint64_t expectedStart = streamCount;
    for (uint32_t k = 0; k < streamCount; ++k) {
        const uint64_t start = blob[k], end = k + 1 < streamCount ? blob[k + 1] : length;
        if (start != expectedStart || end < start || end > length)
            return false;
        uint32_t maxSymbol = 0;
        const bool laidOut = walkTable(blob + start, uint32_t(end - start), stack, [&](bool isLeaf, uint32_t symbol) {
            if (isLeaf) {
                ++shapes[k].leafCount;
                maxSymbol = std::max(maxSymbol, symbol);
            }
        });
        if (!laidOut)
            return false;
        shapes[k].symbolWidth = bitWidth32(maxSymbol);
        expectedStart = end;
    }

    ByteWriter bytes{out};
    bytes.varint(streamCount);
    for (const TableShape& shape : shapes) {
        bytes.varint(shape.leafCount);
        if (shape.leafCount)
            bytes.u8(uint8_t(shape.symbolWidth));
    }
    BitWriter bits{out};
    for (uint32_t k = 0; k < streamCount; ++k) {
        const uint32_t start = blob[k], end = k + 1 < streamCount ? blob[k + 1] : uint32_t(length);
        walkTable(blob + start, end - start, stack, [&](bool isLeaf, uint32_t symbol) {
            bits.put(isLeaf, 1);
            if (isLeaf)
                bits.put(symbol, shapes[k].symbolWidth);
        });
    }
    bits.finish();
    return true;
}

bool readTableShapes(ByteReader& in, const uint32_t*& begin, const uint32_t*& end, std::vector<uint32_t>& stack, std::string& error)
{
    const uint32_t streamCount = in.varint32("a decode-table blob's stream count");
    if (!in.failed() && (streamCount == 0 || streamCount > in.left()))
        in.fail("a decode-table blob's stream count");
    std::vector<TableShape> shapes(in.failed() ? 0 : streamCount);
    uint64_t words = streamCount, bitCount = 0;
    for (TableShape& shape : shapes) {
        shape.leafCount = in.varint32("a decode table's leaf count");
        if (shape.leafCount)
            shape.symbolWidth = in.u8("a decode table's symbol width");
        if (shape.leafCount > (1u << 30) || shape.symbolWidth > 31)
            in.fail("a decode table's leaf count or symbol width");
        if (shape.leafCount) {
            words += 2 * uint64_t(shape.leafCount) - 1;
            bitCount += 2 * uint64_t(shape.leafCount) - 1 + uint64_t(shape.leafCount) * shape.symbolWidth;
        }
    }
    if (in.failed()) {
        error = std::string("the decode tables are malformed: ") + in.failure;
        return false;
    }
    BitReader bits(in);
    if (bitCount > bits.bitsLeft() || words > 0xFFFFFFFFu) {
        error = "the decode tables are cut short";
        return false;
    }

    uint32_t* blob = allocateSpan(size_t(words), begin, end);
    uint32_t start = streamCount;
    for (uint32_t k = 0; k < streamCount; ++k) {
        blob[k] = start;
        const uint32_t leafCount = shapes[k].leafCount, width = shapes[k].symbolWidth;
        if (leafCount == 0)
            continue;
        uint32_t* table = blob + start;
        const uint32_t size = 2 * leafCount - 1;
        stack.assign(1, 0);
        uint32_t next = 1, leaves = 0;
        while (!stack.empty()) {
            const uint32_t index = stack.back();
            stack.pop_back();
            if (bits.get(1)) {
                table[index] = leafEntry(bits.get(width));
                if (++leaves > leafCount)
                    break;
                continue;
            }
            if (next + 1 >= size)
                break;
            table[index] = innerEntry(next);
            stack.push_back(next);
            stack.push_back(next + 1);
            next += 2;
        }
        if (leaves != leafCount || next != size || !stack.empty()) {
            error = "the decode tables are malformed: a tree's shape does not match its leaf count";
            return false;
        }
        start += size;
    }
    in.at = bits.alignedEnd();
    return true;
}

} // namespace vmq
