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

} // namespace

std::vector<std::unique_ptr<EncodedMeshlet>> encodeMeshlets(const std::vector<QuantParams>& quantParams, const MeshletPartition& partition,
                                                            const MeshTables& mesh, const CompressionSettings& settings,
                                                            const std::vector<MeshletTopology>* reuseTopology)
{
    const size_t meshletCount = partition.meshlets.size();
    std::vector<std::unique_ptr<EncodedMeshlet>> result(meshletCount);
    if (reuseTopology && reuseTopology->size() < meshletCount)
        raiseError("reuseTopology holds " + std::to_string(reuseTopology->size()) + " meshlet topologies for a partition of " +
                   std::to_string(meshletCount) + " meshlets");

    MeshletScratch scratch;
    scratch.vertexMap.reserve(size_t(mesh.vertexCount),
                              size_t(std::min<uint64_t>(3 * uint64_t(settings.maxMeshletVertices), mesh.vertexCount)));
    for (size_t n = 0; n < meshletCount; ++n) {
        const std::vector<uint32_t>& triangleList = partition.meshlets[n];
        if (triangleList.empty())
            raiseError("meshlet " + std::to_string(n) + " of the partition is empty");
        if (reuseTopology) {
            try {
                result[n] = reencodeMeshlet(quantParams, mesh, triangleList, (*reuseTopology)[n],
                                            settings.disableParallelogramPrediction != 0, scratch);
            } catch (const CompressionError& e) {
                raiseError("meshlet " + std::to_string(n) + ": " + e.what());
            }
        } else
            result[n] = encodeMeshlet(quantParams, mesh, triangleList, settings.disableParallelogramPrediction != 0, scratch);
    }
    return result;
}

void runCompression(CompressionContext& context, const std::vector<TriangleIndices>& triangles,
                    const std::vector<MeshAttribute>& attributes, const std::vector<uint32_t>& triangleGroups,
                    const CompressionSettings& settings, const MeshletPartition* partition,
                    const std::vector<MeshletTopology>* reuseTopology)
{
    QuantisedAttributes quantised = quantiseAttributes(attributes, settings);
    context.quantParams = std::move(quantised.quantParams);
    context.channelKinds = std::move(quantised.channelKinds);
    context.channelCount = uint32_t(context.quantParams.size());
    std::vector<std::vector<uint32_t>> channels = std::move(quantised.channels);

    // One two-stream coder per channel.
    context.channelCoders.clear();
    context.channelCoders.reserve(context.channelCount);
    for (uint32_t c = 0; c < context.channelCount; ++c)
        context.channelCoders.push_back(makeChannelCoder());
    context.channelBlockOffsets.assign(context.channelCount, {});

    // Whole-mesh tables and adjacency.
    if (triangles.empty())
        raiseError("the mesh has no triangles");
    if (channels.empty())
        raiseError("the mesh has no attribute channels");
    MeshTables tables;
    buildWholeMeshTables(tables, triangles, std::move(channels), triangleGroups);

    // Partition.
    MeshletPartition workingPartition;
    if (partition)
        workingPartition = *partition;
    else
        // The limits as u32, one below the settings (wrapping, as the builder reads them).
        workingPartition = buildMeshletPartition(tables, uint32_t(settings.firstPassMeshletTriangles) - 1u,
                                                 uint32_t(settings.minMeshletTriangles) - 1u, settings.maxMeshletVertices - 1,
                                                 settings.maxMeshletVertices,
                                                 settings.meshletMergeBoxScale);

    // Meshlet encoding, in partition order.
    std::vector<std::unique_ptr<EncodedMeshlet>> encoded =
        encodeMeshlets(context.quantParams, workingPartition, tables, settings, reuseTopology);

    // Stream order: ascending group id; equal ids keep partition order so the bytes never
    // depend on the standard library's sort.
    std::vector<uint32_t> streamOrder(encoded.size());
    for (size_t n = 0; n < streamOrder.size(); ++n)
        streamOrder[n] = uint32_t(n);
    std::stable_sort(streamOrder.begin(), streamOrder.end(),
                     [&](uint32_t a, uint32_t b) { return encoded[a]->topology.groupId < encoded[b]->topology.groupId; });

    // Packing, offsets and bounds. The topology of a built partition is kept for reuse in
    // partition order, without its per-call values, once its meshlet is packed.
    if (!partition)
        context.storedTopology.resize(encoded.size());
    context.meshletCount = uint32_t(encoded.size());
    context.meshletHeaders.reserve(size_t(8) * context.meshletCount);
    context.meshletTriangleOffsets.reserve(encoded.size());
    context.meshletValueOffsets.reserve(encoded.size());
    uint32_t vertexSum = 0, triangleSum = 0, indexWordSum = 0;
    uint32_t trianglesBefore = 0;
    for (const uint32_t n : streamOrder) {
        std::unique_ptr<EncodedMeshlet>& meshlet = encoded[n];
        packMeshlet(context, *meshlet, vertexSum, triangleSum, indexWordSum);
        context.meshletTriangleOffsets.push_back(trianglesBefore);
        trianglesBefore += meshlet->topology.triangleCount;
        context.meshletValueOffsets.push_back(context.valueCount);
        context.valueCount += meshlet->topology.vertexCount * context.channelCount;
        for (int k = 0; k < 3; ++k) {
            const QuantParams& params = context.quantParams[k];
            const float lo = dequantiseBoxValue(meshlet->boxMin[k], params);
            const float hi = dequantiseBoxValue(meshlet->boxMax[k], params);
            context.boundsMin[k] = std::min(context.boundsMin[k], lo);
            context.boundsMax[k] = std::max(context.boundsMax[k], hi);
        }
        if (!partition) {
            MeshletTopology& stored = context.storedTopology[n];
            stored = std::move(meshlet->topology);
            stored.channelValues.clear();
            stored.channelValues.shrink_to_fit();
            stored.residuals.clear();
            stored.residuals.shrink_to_fit();
            stored.quantParams.clear();
            stored.quantParams.shrink_to_fit();
        }
        meshlet.reset();
    }

    // Totals.
    context.triangleCount = triangleSum;
    context.vertexCount = vertexSum;
    context.indexWordCount = indexWordSum;

    // Entropy coding, once every symbol is pushed.
    context.globalCoder.encodeStreams();
    context.globalBlockOffsets = context.globalCoder.blockOffsets(BLOCK_OFFSET_SYMBOL);
    for (uint32_t c = 0; c < context.channelCount; ++c) {
        context.channelCoders[c].encodeStreams();
        context.channelBlockOffsets[c] = context.channelCoders[c].blockOffsets(ATTRIB_BLOCK_OFFSET);
    }

    // A built partition goes to the record.
    if (!partition)
        context.builtPartition = std::move(workingPartition);
}

} // namespace vmq
