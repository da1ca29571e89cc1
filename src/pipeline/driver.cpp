#include "pipeline/driver.h"

#include "encoding/quantise.h"
#include "partition/partition_builder.h"
#include "core/error.h"
#include "pipeline/packing.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace vmq {

StreamCoder makeGlobalCoder()
{
    return StreamCoder(kGlobalStreamNames, kGlobalStreamCount, {BLOCK_OFFSET_SYMBOL});
}

StreamCoder makeChannelCoder()
{
    return StreamCoder(kAttributeStreamNames, kAttributeStreamCount, {ATTRIB_BLOCK_OFFSET});
}

namespace {

// Dequantises a box coordinate on a position grid, in the driver's order of float operations.
float dequantiseBoxValue(float boxValue, const QuantParams& params)
{
    const float q = float(int32_t(boxValue));
    return (q * exp2f(-params.bits)) * (params.max - params.min) + params.min;
}

// Encodes and packs every meshlet in stream order through one reused record and scratch, takes
// its offsets and bounds, and keeps its topology when `keepTopology`; then sets the totals.
void encodeAndPackMeshlets(CompressionContext& context, const MeshTables& tables, const MeshletPartition& meshlets,
                           const std::vector<uint32_t>& order, const CompressionSettings& settings,
                           const MeshletTopologyList* reuseTopology, bool keepTopology)
{
    MeshletScratch scratch;
    scratch.vertexMap.reserve(size_t(tables.vertexCount),
                              size_t(std::min<uint64_t>(3 * uint64_t(settings.maxMeshletVertices), tables.vertexCount)));
    EncodedMeshlet meshlet;
    const bool deltaOnly = settings.disableParallelogramPrediction != 0;
    uint32_t vertexSum = 0, triangleSum = 0, indexWordSum = 0;
    uint32_t trianglesBefore = 0;
    for (const uint32_t n : order) {
        const std::vector<uint32_t>& triangleList = meshlets.meshlets[n];
        if (reuseTopology) {
            reuseTopology->load(n, meshlet.topology);
            try {
                reencodeMeshlet(meshlet, context.quantParams, tables, triangleList, deltaOnly, scratch);
            } catch (const CompressionError& e) {
                raiseError("meshlet " + std::to_string(n) + ": " + e.what());
            }
        } else {
            encodeMeshlet(meshlet, context.quantParams, tables, triangleList, deltaOnly, scratch);
        }

        packMeshlet(context, meshlet, vertexSum, triangleSum, indexWordSum);
        context.meshletTriangleOffsets.push_back(trianglesBefore);
        trianglesBefore += meshlet.topology.triangleCount;
        context.meshletValueOffsets.push_back(context.valueCount);
        context.valueCount += meshlet.topology.vertexCount * context.channelCount;
        for (int k = 0; k < 3; ++k) {
            const QuantParams& params = context.quantParams[k];
            const float lo = dequantiseBoxValue(meshlet.boxMin[k], params);
            const float hi = dequantiseBoxValue(meshlet.boxMax[k], params);
            context.boundsMin[k] = std::min(context.boundsMin[k], lo);
            context.boundsMax[k] = std::max(context.boundsMax[k], hi);
        }
        if (keepTopology)
            context.storedTopology.store(n, meshlet.topology);
    }
    context.triangleCount = triangleSum;
    context.vertexCount = vertexSum;
    context.indexWordCount = indexWordSum;
}

} // namespace

std::vector<uint32_t> streamOrder(const MeshletPartition& partition, const std::vector<uint32_t>& triangleGroups,
                                  const MeshletTopologyList* reuseTopology)
{
    const size_t meshletCount = partition.meshlets.size();
    std::vector<uint32_t> groups(meshletCount);
    for (size_t n = 0; n < meshletCount; ++n) {
        if (partition.meshlets[n].empty())
            raiseError("meshlet " + std::to_string(n) + " of the partition is empty");
        groups[n] = reuseTopology ? reuseTopology->meshlets[n].groupId : triangleGroups[partition.meshlets[n].front()];
    }
    // Equal ids keep partition order, so the bytes never depend on the standard library's sort.
    std::vector<uint32_t> order(meshletCount);
    for (size_t n = 0; n < meshletCount; ++n)
        order[n] = uint32_t(n);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return groups[a] < groups[b]; });
    return order;
}

void runCompression(CompressionContext& context, Mesh&& mesh, const std::vector<MeshAttribute>& attributes,
                    const CompressionSettings& settings, const MeshletPartition* partition, const MeshletTopologyList* reuseTopology)
{
    QuantisedAttributes quantised = quantiseAttributes(attributes, settings);
    mesh.attributes = {};
    context.quantParams = std::move(quantised.quantParams);
    context.channelKinds = std::move(quantised.channelKinds);
    context.channelCount = uint32_t(context.quantParams.size());

    // One two-stream coder per channel.
    context.channelCoders.clear();
    context.channelCoders.reserve(context.channelCount);
    for (uint32_t c = 0; c < context.channelCount; ++c)
        context.channelCoders.push_back(makeChannelCoder());
    context.channelBlockOffsets.assign(context.channelCount, {});

    // Whole-mesh tables, renumbered only for a partition built here.
    if (mesh.triangles.empty())
        raiseError("the mesh has no triangles");
    if (quantised.channels.empty())
        raiseError("the mesh has no attribute channels");
    MeshTables tables;
    buildWholeMeshTables(tables, std::move(mesh.triangles), std::move(quantised.channels), std::move(mesh.triangleGroups),
                         partition == nullptr);

    // Partition.
    if (!partition) {
        // The limits as u32, one below the settings (wrapping, as the builder reads them).
        context.builtPartition = buildMeshletPartition(tables, uint32_t(settings.firstPassMeshletTriangles) - 1u,
                                                       uint32_t(settings.minMeshletTriangles) - 1u, settings.maxMeshletVertices - 1,
                                                       settings.maxMeshletVertices, settings.meshletMergeBoxScale);
    }
    const MeshletPartition& meshlets = partition ? *partition : context.builtPartition;
    const size_t meshletCount = meshlets.meshlets.size();
    if (reuseTopology && reuseTopology->size() < meshletCount)
        raiseError("reuseTopology holds " + std::to_string(reuseTopology->size()) + " meshlet topologies for a partition of " +
                   std::to_string(meshletCount) + " meshlets");
    const std::vector<uint32_t> order = streamOrder(meshlets, tables.triangleGroups, reuseTopology);

    // Every meshlet in stream order; the topology of a built partition is kept for reuse, in
    // partition order.
    if (!partition)
        context.storedTopology.meshlets.resize(meshletCount);
    context.meshletCount = uint32_t(meshletCount);
    context.meshletHeaders.reserve(size_t(8) * meshletCount);
    context.meshletTriangleOffsets.reserve(meshletCount);
    context.meshletValueOffsets.reserve(meshletCount);
    encodeAndPackMeshlets(context, tables, meshlets, order, settings, reuseTopology, partition == nullptr);

    // Entropy coding, once every symbol is pushed; the tables are not needed any more.
    tables = MeshTables();
    HuffmanScratch huffman;
    context.globalCoder.encodeStreams(huffman);
    context.globalBlockOffsets = context.globalCoder.blockOffsets(BLOCK_OFFSET_SYMBOL);
    for (uint32_t c = 0; c < context.channelCount; ++c) {
        context.channelCoders[c].encodeStreams(huffman);
        context.channelBlockOffsets[c] = context.channelCoders[c].blockOffsets(ATTRIB_BLOCK_OFFSET);
    }
}

} // namespace vmq
