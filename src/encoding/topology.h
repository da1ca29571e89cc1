#pragma once
// Meshlet topology encoding: strips become edge, restart and first-use bits plus index data; the
// channel values are predicted along the strips into zigzag residuals; cone and box are computed.
#include "encoding/mesh_tables.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <memory>
#include <vector>

struct MeshletPartition;

namespace vmq {

struct CompressionContext;

struct MeshletTopology {
    std::vector<uint32_t> isFirstBits;
    std::vector<uint32_t> restartBits;
    std::vector<uint32_t> edgeBits;
    std::vector<uint32_t> indexData;
    std::vector<std::vector<uint32_t>> channelValues;
    std::vector<std::vector<uint32_t>> residuals;
    std::vector<uint32_t> vertexFirstTriangle;
    std::vector<TriangleIndices> encodedTriangles;
    std::vector<QuantParams> quantParams;
    std::vector<int32_t> vertexRemap;
    uint32_t numberedVertices = 0;
    uint32_t isFirstCount = 0;
    uint32_t triangleCount = 0;
    uint32_t vertexCount = 0;
    uint32_t channelCount = 0;
    uint32_t isFirstCapacity = 0;
    uint32_t indexCount = 0;
    uint32_t groupId = 0;
    uint8_t deltaOnly = 0;
};

struct EncodedMeshlet {
    MeshletTopology topology;
    std::vector<uint32_t> residualTable; // channel-major: c * residualStride + k
    int32_t residualChannels = 0;
    uint32_t residualStride = 0;
    float coneAxis[3] = {0, 0, 0};
    float coneSpread = 0;
    float boxMin[3] = {3.4028235e38f, 3.4028235e38f, 3.4028235e38f};
    float boxMax[3] = {-3.4028235e38f, -3.4028235e38f, -3.4028235e38f};
};

inline uint32_t zigzag(int32_t x)
{
    return x < 0 ? (uint32_t(~x) << 1) | 1u : uint32_t(x) << 1;
}

// Encodes every meshlet of the partition, in partition order; with reuseTopology, re-encodes
// each meshlet with its stored topology (entry n for meshlet n).
std::vector<std::unique_ptr<EncodedMeshlet>> encodeMeshlets(const CompressionContext& context, const MeshletPartition& partition,
                                                            const MeshTables& mesh, const CompressionSettings& settings,
                                                            const std::vector<MeshletTopology>* reuseTopology);

} // namespace vmq

// The topology list as it crosses the boundary (CompressedMesh.topology, reuseTopology).
struct MeshletTopologyList {
    std::vector<vmq::MeshletTopology> meshlets;
};
