#include "pipeline/driver.h"

#include "encoding/quantise.h"
#include "partition/partition_builder.h"
#include "core/error.h"
#include "pipeline/packing.h"

#include <algorithm>
#include <cmath>
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

void runCompression(CompressionContext& context, const std::vector<TriangleIndices>& triangles,
                    const std::vector<MeshAttribute>& attributes, const std::vector<uint32_t>& triangleGroups,
                    const CompressionSettings& settings, const MeshletPartition* partition,
                    const std::vector<MeshletTopology>* reuseTopology)
{
    // 2. Quantisation.
    std::vector<std::vector<uint32_t>> channels = quantiseAttributes(context, attributes, settings);

    // 3. One two-stream coder per channel.
    context.channelCoders.clear();
    context.channelCoders.reserve(context.channelCount);
    for (uint32_t c = 0; c < context.channelCount; ++c)
        context.channelCoders.push_back(makeChannelCoder());
    context.channelBlockOffsets.assign(context.channelCount, {});

    // 4. Whole-mesh tables and adjacency.
    if (triangles.empty())
        raiseError("the mesh has no triangles");
    if (channels.empty())
        raiseError("the mesh has no attribute channels");
    MeshTables tables;
    buildWholeMeshTables(tables, triangles, std::move(channels), triangleGroups);

    // 5. Partition.
    MeshletPartition workingPartition;
    if (partition)
        workingPartition = *partition;
    else
        // The limits as u32, one below the settings (wrapping, as the builder reads them).
        workingPartition = buildMeshletPartition(tables, uint32_t(settings.firstPassMeshletTriangles) - 1u,
                                                 uint32_t(settings.minMeshletTriangles) - 1u, settings.maxMeshletVertices - 1,
                                                 settings.maxMeshletVertices,
                                                 settings.meshletMergeBoxScale);

    // 6. Meshlet encoding, in partition order.
    std::vector<std::unique_ptr<EncodedMeshlet>> encoded = encodeMeshlets(context, workingPartition, tables, settings, reuseTopology);

    // 8. Stream order: ascending group id; equal ids keep partition order so the bytes never
    // depend on the standard library's sort.
    std::vector<uint32_t> streamOrder(encoded.size());
    for (size_t n = 0; n < streamOrder.size(); ++n)
        streamOrder[n] = uint32_t(n);
    std::stable_sort(streamOrder.begin(), streamOrder.end(),
                     [&](uint32_t a, uint32_t b) { return encoded[a]->topology.groupId < encoded[b]->topology.groupId; });

    // 9-10. Packing, offsets and bounds. 7. The topology of a built partition is kept for reuse
    // in partition order, without its per-call values, once its meshlet is packed.
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

    // 11. Totals.
    context.triangleCount = triangleSum;
    context.vertexCount = vertexSum;
    context.indexWordCount = indexWordSum;

    // 12-13. Entropy coding.
    context.globalCoder.encodeStreams();
    context.globalBlockOffsets = context.globalCoder.blockOffsets(BLOCK_OFFSET_SYMBOL);
    for (uint32_t c = 0; c < context.channelCount; ++c) {
        context.channelCoders[c].encodeStreams();
        context.channelBlockOffsets[c] = context.channelCoders[c].blockOffsets(ATTRIB_BLOCK_OFFSET);
    }

    // 14. A built partition goes to the record.
    if (!partition)
        context.builtPartition = std::move(workingPartition);
}

} // namespace vmq
