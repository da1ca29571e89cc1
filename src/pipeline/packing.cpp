#include "pipeline/packing.h"

#include "encoding/quantise.h"
#include "format/meshlet_symbols.h"
#include "pipeline/context.h"
#include "core/error.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace vmq {

namespace {

[[noreturn]] void indexDeltaTooLarge(uint32_t value)
{
    raiseError("the index delta " + std::to_string(value) + " does not fit one symbol");
}

[[noreturn]] void residualTooWide(uint32_t value, uint32_t channel, uint32_t vertex)
{
    raiseError("the residual " + std::to_string(value) + " of channel " + std::to_string(channel) + " at vertex " +
               std::to_string(vertex) + " does not fit 22 bits");
}

// Pushes a meshlet's symbols into one coder; raises an error naming the value that does not fit.
struct SymbolWriter {
    static constexpr bool kReading = false;
    StreamCoder& coder;
    bool global;
    uint32_t channel; // for messages about residuals

    void marker(uint32_t stream) { coder.pushSymbol(stream, 0); }
    bool symbol(uint32_t stream, uint32_t& value)
    {
        if (global && stream == INDEX_DATA && value >= kSymbolCount)
            indexDeltaTooLarge(value);
        coder.pushSymbol(stream, value);
        return true;
    }
    // A narrow channel's symbols from vertex v to its end, as the generic loop makes them, in
    // one tight loop: past vertex 0 every residual is below kWideResidual, so every single or
    // pair symbol fits the alphabet.
    uint32_t narrowRun(const uint32_t* residuals, uint32_t v, uint32_t vertexCount)
    {
        while (v + 1 < vertexCount) {
            const uint32_t symbol = pairSymbol(residuals[v], residuals[v + 1], 2);
            coder.pushSymbol(ATTRIB_DATA, symbol);
            v += isPairSymbol(symbol) ? 2 : 1;
        }
        if (v < vertexCount)
            coder.pushSymbol(ATTRIB_DATA, pairSymbol(residuals[v], 0, 1));
        return vertexCount;
    }
    bool valueTooWide(uint32_t value, uint32_t vertex) { residualTooWide(value, channel, vertex); }
    bool malformed(const char* what) { raiseError(std::string("a meshlet ") + what); }
};

void checkElement(const char* what, uint32_t value)
{
    if (value > kMaxMeshletElements)
        raiseError(std::string("a meshlet's ") + what + " is " + std::to_string(value) + "; at most " +
                   std::to_string(kMaxMeshletElements) + " fit a meshlet header");
}

// f32 truncated toward zero to a 32-bit signed integer, as the header word holds it.
uint32_t truncatedWord(float v)
{
    return uint32_t(int32_t(v));
}

} // namespace

uint32_t wideChannelMask(const EncodedMeshlet& meshlet)
{
    uint32_t mask = 0;
    const uint32_t vertexCount = meshlet.topology.vertexCount;
    for (int32_t c = 0; c < meshlet.residualChannels; ++c) {
        const uint32_t* residuals = meshlet.residualTable.data() + size_t(c) * meshlet.residualStride;
        uint32_t largest = 0;
        for (uint32_t v = 1; v < vertexCount; ++v)
            largest = std::max(largest, residuals[v]);
        if (largest >= kWideResidual)
            mask |= wideChannelBit(uint32_t(c));
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

    // Header: box origin and extent on the position grids, cone, wide-channel mask.
    const auto quantiseCone = [](float v) { return quantiseToBits(v, 8, -1.0f, 1.0f); };
    uint32_t header[kMeshletHeaderWords];
    for (uint32_t k = 0; k < 3; ++k) {
        header[HEADER_BOX_MIN_X + k] = truncatedWord(meshlet.boxMin[k]);
        header[HEADER_BOX_EXTENT_X + k] = truncatedWord(meshlet.boxMax[k] - meshlet.boxMin[k]);
    }
    header[HEADER_CONE] = quantiseCone(meshlet.coneAxis[0]) | (quantiseCone(meshlet.coneAxis[1]) << 8) |
                          (quantiseCone(meshlet.coneAxis[2]) << 16) | (quantiseCone(meshlet.coneSpread) << 24);
    header[HEADER_WIDE_CHANNEL_MASK] = mask;
    context.meshletHeaders.insert(context.meshletHeaders.end(), header, header + kMeshletHeaderWords);

    MeshletCounts counts;
    counts.isFirstCount = topology.isFirstCount;
    counts.indexCount = indexCount;
    counts.triangleCount = triangleCount;
    counts.vertexCount = vertexCount;
    counts.triangleOffset = triangleSum;
    counts.vertexOffset = vertexSum;
    counts.indexWordOffset = indexWordSum;
    counts.groupId = topology.groupId;
    MeshletLists<const uint32_t> lists;
    lists.edgeBits = topology.edgeBits.data();
    lists.edgeWords = uint32_t(topology.edgeBits.size());
    lists.restartBits = topology.restartBits.data();
    lists.restartWords = uint32_t(topology.restartBits.size());
    lists.isFirstBits = topology.isFirstBits.data();
    lists.isFirstWords = uint32_t(topology.isFirstBits.size());
    lists.indexData = topology.indexData.data();
    SymbolWriter global{context.globalCoder, true, 0};
    meshletGlobalSymbols(global, counts, lists);

    for (uint32_t c = 0; c < context.channelCount; ++c) {
        SymbolWriter writer{context.channelCoders[c], false, c};
        channelSymbols(writer, meshlet.residualTable.data() + size_t(c) * meshlet.residualStride, vertexCount,
                       (mask & wideChannelBit(c)) != 0);
    }

    vertexSum += vertexCount;
    triangleSum += triangleCount;
    indexWordSum += indexWordCount(indexCount);
}

} // namespace vmq
