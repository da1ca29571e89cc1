#pragma once
// The working record of one compression call; every stage reads from it or writes into it.
#include "encoding/topology.h"
#include "format/format.h"
#include "partition/partition.h"
#include "pipeline/stream_coder.h"

#include <cstdint>
#include <vector>

namespace vmq {

StreamCoder makeGlobalCoder();
StreamCoder makeChannelCoder();

struct CompressionContext {
    StreamCoder globalCoder = makeGlobalCoder();
    std::vector<StreamCoder> channelCoders;
    std::vector<uint32_t> globalBlockOffsets;
    std::vector<std::vector<uint32_t>> channelBlockOffsets;
    std::vector<uint32_t> meshletValueOffsets;
    std::vector<uint32_t> meshletTriangleOffsets;
    std::vector<QuantParams> quantParams;
    std::vector<int32_t> channelKinds;
    uint32_t meshletCount = 0;
    uint32_t triangleCount = 0;
    uint32_t vertexCount = 0;
    uint32_t indexWordCount = 0;
    uint32_t channelCount = 0;
    uint32_t valueCount = 0;
    float boundsMin[3] = {3.4028235e38f, 3.4028235e38f, 3.4028235e38f};
    float boundsMax[3] = {-3.4028235e38f, -3.4028235e38f, -3.4028235e38f};
    std::vector<uint32_t> meshletHeaders;
    MeshletPartition builtPartition;
    MeshletTopologyList storedTopology; // per meshlet in partition order, for a partition built here
};

} // namespace vmq
