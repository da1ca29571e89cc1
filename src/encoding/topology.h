#pragma once
// Meshlet topology encoding: strips become edge, restart and first-use bits plus index data; the
// channel values are predicted along the strips into zigzag residuals; cone and box are computed.
#include "encoding/mesh_tables.h"
#include "encoding/strips.h"
#include "format/format.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

// The counts of one meshlet's topology.
struct MeshletTopologyCounts {
    uint32_t numberedVertices = 0;
    uint32_t isFirstCount = 0;
    uint32_t triangleCount = 0;
    uint32_t vertexCount = 0;
    uint32_t isFirstCapacity = 0;
    uint32_t indexCount = 0;
    uint32_t groupId = 0;
    uint8_t deltaOnly = 0;
};

// The strip symbols of one meshlet and the vertex order they imply.
struct MeshletTopology : MeshletTopologyCounts {
    std::vector<uint32_t> isFirstBits;
    std::vector<uint32_t> restartBits;
    std::vector<uint32_t> edgeBits;
    std::vector<uint32_t> indexData;
    std::vector<uint32_t> vertexFirstTriangle;
    std::vector<TriangleIndices> encodedTriangles;
    std::vector<int32_t> vertexRemap; // per meshlet-local vertex: its encoder number
};

// One encoded meshlet. The driver keeps one and encodes every meshlet into it in turn, so its
// lists keep their storage from meshlet to meshlet.
struct EncodedMeshlet {
    MeshletTopology topology;
    std::vector<uint32_t> values;        // grid values, channel-major in encoder order: c * residualStride + k
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
    std::vector<uint32_t> encoderVertices;     // per encoder vertex: its whole-mesh vertex
    std::vector<TriangleIndices> predictors;   // per encoder vertex: value[p0] + value[p1] - value[p2]
    std::vector<float> positions;              // per encoder vertex: dequantised x, y, z
    std::vector<float> normals;                // per collected triangle normal: x, y, z
};

// One meshlet of `mesh` into `out`: strips are formed and encoded, values predicted, cone and box
// computed.
void encodeMeshlet(EncodedMeshlet& out, const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                   const std::vector<uint32_t>& triangleList, bool deltaOnly, MeshletScratch& scratch);

// The meshlet whose stored topology `out.topology` holds: only prediction (delta or
// parallelogram, as this call asks), cone and box are redone. `mesh` needs triangles, groups and
// channel values, no adjacency. Raises an error when the stored topology was made for a meshlet
// of other counts.
void reencodeMeshlet(EncodedMeshlet& out, const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                     const std::vector<uint32_t>& triangleList, bool deltaOnly, MeshletScratch& scratch);

// Turns the strips of meshlet tables into the topology symbols; the topology's lists keep their
// storage.
void encodeTopology(MeshletTopology& topology, const MeshTables& meshlet, const StripList& strips, bool deltaOnly);

// Zigzag residuals of every channel along the strips: `values` and `residuals` are channel-major
// with the topology's vertex count per channel.
void predictChannels(const MeshletTopology& topology, const uint32_t* values, uint32_t channelCount, uint32_t* residuals,
                     std::vector<TriangleIndices>& predictors);

// The error of a bit index past a bit list's words.
[[noreturn]] void bitIndexOutOfRange();

// Sets bit k of a bit list (bit k mod 32 of word k / 32); raises "Bit index out of range" past
// the list's words.
inline void setBit(std::vector<uint32_t>& bits, uint32_t k, bool value)
{
    if ((k >> 5) >= bits.size())
        bitIndexOutOfRange();
    const uint32_t mask = 1u << (k & 31);
    bits[k >> 5] = value ? bits[k >> 5] | mask : bits[k >> 5] & ~mask;
}
inline bool readBit(const std::vector<uint32_t>& bits, uint32_t k)
{
    return (bits[k >> 5] >> (k & 31)) & 1u;
}

} // namespace vmq

// The topology list as it crosses the boundary (CompressedMesh.topology, reuseTopology): one
// entry per meshlet, in partition order, with every meshlet's lists in one block of words.
struct MeshletTopologyList {
    struct Entry : vmq::MeshletTopologyCounts {
        // Lengths of the lists, which lie one after the other from firstWord in the order of
        // MeshletTopology's fields (a triangle takes three words).
        uint32_t isFirstWords = 0, restartWords = 0, edgeWords = 0, indexEntries = 0, firstTriangleEntries = 0,
                 encodedTriangleCount = 0, remapEntries = 0;
        size_t firstWord = 0;
    };
    std::vector<Entry> meshlets;
    std::vector<uint32_t> words;

    size_t size() const { return meshlets.size(); }
    // Stores `topology` as the entry of meshlet n (the list must hold more than n entries).
    void store(size_t n, const vmq::MeshletTopology& topology);
    // Appends `topology` as a new last entry.
    void append(const vmq::MeshletTopology& topology);
    // The topology of meshlet n, into `out` (its lists keep their storage).
    void load(size_t n, vmq::MeshletTopology& out) const;
    vmq::MeshletTopology load(size_t n) const;
};
