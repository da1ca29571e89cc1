#pragma once
// Meshlet topology encoding: strips become edge, restart and first-use bits plus index data; the
// channel values are predicted along the strips into zigzag residuals; cone and box are computed.
#include "encoding/mesh_tables.h"
#include "encoding/strips.h"
#include "format/format.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vmq {

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

// Working storage of the per-meshlet loop: one set serves every meshlet of a call.
struct MeshletScratch {
    MeshTables tables;
    VertexMap vertexMap;
    StripScratch stripScratch;
    StripList strips;
    std::vector<float> positions; // per encoder vertex: dequantised x, y, z
    std::vector<float> normals;   // per collected triangle normal: x, y, z
};

// One meshlet: strips are formed and encoded, values predicted, cone and box computed.
std::unique_ptr<EncodedMeshlet> encodeMeshlet(const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                                              const std::vector<uint32_t>& triangleList, bool deltaOnly, MeshletScratch& scratch);

// One meshlet with the strips of a stored topology: only prediction (delta or parallelogram, as
// this call asks), cone and box are redone. Raises an error when the stored topology was made
// for a meshlet of other counts.
std::unique_ptr<EncodedMeshlet> reencodeMeshlet(const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                                                const std::vector<uint32_t>& triangleList, const MeshletTopology& stored, bool deltaOnly,
                                                MeshletScratch& scratch);

// Turns the strips of meshlet tables into the topology symbols, then predicts the channels.
void encodeTopology(MeshletTopology& topology, const MeshTables& meshlet, const StripList& strips, bool deltaOnly);

// Reorders channelValues into encoder order and fills residuals.
void predictChannels(MeshletTopology& topology);

// Sets bit k of a bit list (bit k mod 32 of word k / 32); raises "Bit index out of range" past
// the list's words.
void setBit(std::vector<uint32_t>& bits, uint32_t k, bool value);
inline bool readBit(const std::vector<uint32_t>& bits, uint32_t k)
{
    return (bits[k >> 5] >> (k & 31)) & 1u;
}

} // namespace vmq

// The topology list as it crosses the boundary (CompressedMesh.topology, reuseTopology).
struct MeshletTopologyList {
    std::vector<vmq::MeshletTopology> meshlets;
};
