#include "pipeline/packing.h"

#include "encoding/quantise.h"
#include "pipeline/context.h"
#include "pipeline/internal_error.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace vmq {

namespace {

constexpr uint32_t kElementLimit = 2048; // counts, group ids and index deltas are one symbol

// Byte i of a bit list, bits 8i .. 8i + 7 (0 past its words).
uint32_t bitListByte(const std::vector<uint32_t>& bits, size_t i)
{
    return i / 4 < bits.size() ? (bits[i / 4] >> (8 * (i % 4))) & 0xFFu : 0u;
}

void pushBytes(StreamCoder& coder, uint32_t stream, const std::vector<uint32_t>& bits, size_t byteCount)
{
    for (size_t i = 0; i < byteCount; ++i)
        coder.pushSymbol(stream, bitListByte(bits, i));
}

void pushValue32(StreamCoder& coder, uint32_t stream, uint32_t v)
{
    coder.pushSymbol(stream, v & 0x7FFu);
    coder.pushSymbol(stream, (v >> 11) & 0x7FFu);
    coder.pushSymbol(stream, v >> 22);
}

void pushValue22(StreamCoder& coder, uint32_t stream, uint32_t v, uint32_t channel, uint32_t vertex)
{
    if (highestBit(v) > 21)
        raiseError("the residual " + std::to_string(v) + " of channel " + std::to_string(channel) + " at vertex " +
                   std::to_string(vertex) + " does not fit 22 bits");
    coder.pushSymbol(stream, v & 0x7FFu);
    coder.pushSymbol(stream, (v >> 11) & 0x7FFu);
}

void checkElement(const char* what, uint32_t value)
{
    if (value >= kElementLimit)
        raiseError(std::string("a meshlet's ") + what + " is " + std::to_string(value) + "; at most 2047 fit a meshlet header");
}

// f32 truncated toward zero to a 32-bit signed integer, as the header word holds it.
uint32_t truncatedWord(float v)
{
    return uint32_t(int32_t(v));
}

} // namespace

uint32_t pairSymbol(uint32_t a, uint32_t b, uint32_t n)
{
    return (a < 32 && b < 32 && n == 2) ? (a | (b << 5)) * 2 + 1 : a * 2;
}

uint32_t wideChannelMask(const EncodedMeshlet& meshlet)
{
    uint32_t mask = 0;
    const uint32_t vertexCount = meshlet.topology.vertexCount;
    for (int32_t c = 0; c < meshlet.residualChannels; ++c) {
        const uint32_t* residuals = meshlet.residualTable.data() + size_t(c) * meshlet.residualStride;
        uint32_t largest = 0;
        for (uint32_t v = 1; v < vertexCount; ++v)
            largest = std::max(largest, residuals[v]);
        if (largest >= 1024)
            mask |= 1u << (uint32_t(c) % 32);
    }
    return mask;
}

void packMeshlet(CompressionContext& context, const EncodedMeshlet& meshlet, uint32_t& vertexSum, uint32_t& triangleSum,
                 uint32_t& indexWordSum)
{
    const MeshletTopology& topology = meshlet.topology;
    const uint32_t triangleCount = topology.triangleCount;
    const uint32_t vertexCount = topology.vertexCount;
    const uint32_t indexCount = uint32_t(topology.indexData.size());
    checkElement("IS_FIRST bit count", topology.isFirstCount);
    checkElement("index entry count", indexCount);
    checkElement("triangle count", triangleCount);
    checkElement("vertex count", vertexCount);
    checkElement("group id", topology.groupId);
    if (meshlet.residualStride != vertexCount || meshlet.residualChannels < 0 ||
        uint32_t(meshlet.residualChannels) > context.channelCount || context.channelCoders.size() < context.channelCount ||
        meshlet.residualTable.size() < size_t(context.channelCount) * vertexCount)
        raiseError("the meshlet's residual table does not match its vertex and channel counts");

    const uint32_t mask = wideChannelMask(meshlet);
    StreamCoder& global = context.globalCoder;
    global.pushSymbol(BLOCK_OFFSET_SYMBOL, 0);

    // Header: box origin and extent on the position grids, cone, wide-channel mask.
    const auto quantiseCone = [](float v) { return quantiseToBits(v, 8, -1.0f, 1.0f); };
    const uint32_t coneWord = quantiseCone(meshlet.coneAxis[0]) | (quantiseCone(meshlet.coneAxis[1]) << 8) |
                              (quantiseCone(meshlet.coneAxis[2]) << 16) | (quantiseCone(meshlet.coneSpread) << 24);
    context.meshletHeaders.insert(context.meshletHeaders.end(),
                                  {truncatedWord(meshlet.boxMin[0]), truncatedWord(meshlet.boxMin[1]), truncatedWord(meshlet.boxMin[2]),
                                   truncatedWord(meshlet.boxMax[0] - meshlet.boxMin[0]), truncatedWord(meshlet.boxMax[1] - meshlet.boxMin[1]),
                                   truncatedWord(meshlet.boxMax[2] - meshlet.boxMin[2]), coneWord, mask});

    global.pushSymbol(ELEM_COUNTS, topology.isFirstCount);
    global.pushSymbol(ELEM_COUNTS, indexCount);
    global.pushSymbol(ELEM_COUNTS, triangleCount);
    global.pushSymbol(ELEM_COUNTS, vertexCount);

    pushValue32(global, OTHER_DATA, triangleSum);
    pushValue32(global, OTHER_DATA, vertexSum);
    pushValue32(global, OTHER_DATA, indexWordSum);
    global.pushSymbol(OTHER_DATA, topology.groupId);

    const size_t flagBytes = triangleCount > 1 ? (size_t(triangleCount) - 1 + 7) / 8 : 0;
    pushBytes(global, EDGE_FLAGS, topology.edgeBits, flagBytes);
    pushBytes(global, RESTART_FLAGS, topology.restartBits, flagBytes);
    pushBytes(global, IS_FIRST, topology.isFirstBits, (size_t(topology.isFirstCount) + 7) / 8);

    uint32_t prev = 0;
    for (uint32_t entry : topology.indexData) {
        const uint32_t delta = zigzag(int32_t(entry - prev));
        if (delta >= kElementLimit)
            raiseError("the index delta " + std::to_string(delta) + " does not fit one symbol");
        global.pushSymbol(INDEX_DATA, delta);
        prev = entry;
    }

    for (uint32_t c = 0; c < context.channelCount; ++c) {
        StreamCoder& coder = context.channelCoders[c];
        const uint32_t* residuals = meshlet.residualTable.data() + size_t(c) * meshlet.residualStride;
        const bool wide = (mask >> (c % 32)) & 1u;
        coder.pushSymbol(ATTRIB_BLOCK_OFFSET, 0);
        if (vertexCount == 0)
            continue;
        pushValue22(coder, ATTRIB_DATA, residuals[0], c, 0);
        for (uint32_t v = 1; v < vertexCount;) {
            if (wide) {
                pushValue22(coder, ATTRIB_DATA, residuals[v], c, v);
                ++v;
                continue;
            }
            const uint32_t a = residuals[v];
            const uint32_t b = v + 1 < vertexCount ? residuals[v + 1] : 0;
            const uint32_t n = std::min(vertexCount - v, 2u);
            const uint32_t symbol = pairSymbol(a, b, n);
            coder.pushSymbol(ATTRIB_DATA, symbol);
            v += (symbol & 1u) ? 2 : 1;
        }
    }

    vertexSum += vertexCount;
    triangleSum += triangleCount;
    indexWordSum += (indexCount + 3) >> 2;
}

} // namespace vmq
