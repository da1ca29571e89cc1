#pragma once
// Working tables of a whole mesh or of one meshlet: compact vertex numbering, quantised channel
// values in that numbering, per-triangle groups and the dual graph (edge-neighbour triangles).
#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vmq {

using TriangleIndices = std::array<uint32_t, 3>;

struct EdgeEntry {
    uint64_t edgeKey; // (min(a, b) << 32) | max(a, b)
    uint32_t triangle;
};

struct DualEdge {
    uint32_t lowerTriangle;
    uint32_t higherTriangle;
    uint32_t lowerVertex;
    uint32_t higherVertex;
    int32_t selected; // set only by strip formation
};

// splitmix64 finaliser over (lower << 32) | higher.
struct PairHash {
    std::size_t operator()(uint64_t key) const
    {
        key ^= key >> 30;
        key *= 0xbf58476d1ce4e5b9ull;
        key ^= key >> 27;
        key *= 0x94d049bb133111ebull;
        key ^= key >> 31;
        return std::size_t(key);
    }
};

inline uint64_t pairKey(uint32_t a, uint32_t b)
{
    return a < b ? (uint64_t(a) << 32) | b : (uint64_t(b) << 32) | a;
}

using DualEdgeMap = std::unordered_map<uint64_t, DualEdge, PairHash>;

struct MeshTables {
    std::vector<TriangleIndices> triangles;
    std::vector<uint32_t> triangleGroups;
    DualEdgeMap dualEdges;
    std::vector<EdgeEntry> edgeList;
    std::vector<std::vector<uint32_t>> neighbours;
    std::vector<std::vector<uint32_t>> channelValues;
    uint64_t triangleCount = 0;
    uint64_t vertexCount = 0;
};

// Whole-mesh vertex number -> meshlet-local vertex number; reused for every meshlet.
using VertexMap = std::unordered_map<uint32_t, uint32_t>;

// Renumbers the input's vertices by first use (dropping unreferenced ones) into tables.triangles
// and copies the channel values into that numbering.
void buildMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles,
                     const std::vector<std::vector<uint32_t>>& channels);

// Builds edgeList, dualEdges and neighbours from triangles; neighbours must be sized to
// triangleCount with empty lists.
void buildAdjacency(MeshTables& tables);

// Fills `meshlet` with the triangles of one meshlet of `mesh`, renumbered locally by first use.
// Keeps the storage of `meshlet` and `map` between calls. Does not build adjacency.
void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map);

} // namespace vmq
