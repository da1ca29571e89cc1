#pragma once
// Working tables of a whole mesh or of one meshlet: compact vertex numbering, quantised channel
// values in that numbering, per-triangle groups and the dual graph (edge-neighbour triangles).
#include "core/mesh.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vmq {

struct DualEdge {
    uint32_t lowerTriangle;
    uint32_t higherTriangle;
    uint32_t lowerVertex;
    uint32_t higherVertex;
    int32_t selected; // set only by strip formation
};

// splitmix64 finaliser.
inline uint64_t pairHash(uint64_t key)
{
    key ^= key >> 30;
    key *= 0xbf58476d1ce4e5b9ull;
    key ^= key >> 27;
    key *= 0x94d049bb133111ebull;
    key ^= key >> 31;
    return key;
}

inline uint64_t pairKey(uint32_t a, uint32_t b)
{
    return a < b ? (uint64_t(a) << 32) | b : (uint64_t(b) << 32) | a;
}

// The dual graph's neighbour lists, flat: triangle t's neighbours are triangles[begin[t] ..
// begin[t + 1]), ordered by the edge key of the shared edge, then by triangle number. In
// meshlet tables edges[k] is the entry of dualEdges that joins triangle t to triangles[k];
// whole-mesh tables keep no dual edges.
struct NeighbourLists {
    std::vector<uint32_t> begin;     // triangleCount + 1 offsets
    std::vector<uint32_t> triangles;
    std::vector<uint32_t> edges;

    size_t size() const { return begin.empty() ? 0 : begin.size() - 1; }
    uint32_t count(size_t t) const { return begin[t + 1] - begin[t]; }
    std::span<const uint32_t> operator[](size_t t) const { return {triangles.data() + begin[t], count(t)}; }
    // `triangleCount` triangles without neighbours.
    void reset(size_t triangleCount)
    {
        begin.assign(triangleCount + 1, 0);
        triangles.clear();
        edges.clear();
    }
};

// Storage of buildAdjacency between calls, so that meshlets after the first allocate nothing.
struct AdjacencyScratch {
    struct Edge {
        uint32_t higherVertex;
        uint32_t triangle;
    };
    std::vector<uint32_t> lowerBegin; // per vertex: first entry of the edges whose lower vertex it is
    std::vector<Edge> edges;          // three per triangle, by lower vertex, then higher vertex, then triangle
    std::vector<std::array<uint32_t, 2>> pairs; // neighbour pairs of whole-mesh tables, in order found
    std::vector<uint32_t> fill;       // per triangle: next free place in its neighbour list
};

struct MeshTables {
    std::vector<TriangleIndices> triangles;
    std::vector<uint32_t> triangleGroups;
    std::vector<DualEdge> dualEdges; // meshlet tables: one per neighbour pair, in the order found
    NeighbourLists neighbours;
    std::vector<std::vector<uint32_t>> channelValues;
    AdjacencyScratch adjacencyScratch;
    uint64_t triangleCount = 0;
    uint64_t vertexCount = 0;
};

// Whole-mesh vertex number -> meshlet-local vertex number, reused for every meshlet. A stamp per
// whole-mesh vertex marks the entries of the current meshlet, so emptying it costs nothing.
struct VertexMap {
    std::vector<uint32_t> localNumber;   // per whole-mesh vertex; valid where stamp == currentStamp
    std::vector<uint32_t> stamp;         // per whole-mesh vertex
    std::vector<uint32_t> wholeVertices; // per local vertex (the first size() entries): its whole-mesh number
    uint32_t currentStamp = 0;
    uint32_t count = 0;                  // local vertices numbered

    // Sizes the map for whole-mesh vertex numbers below vertexCount and `localCount` local ones.
    void reserve(size_t vertexCount, size_t localCount);
    // Empties the map, keeping its storage.
    void clear();
    size_t size() const { return count; }
    // The local number of whole-mesh vertex w, numbering it next when it is new.
    uint32_t insert(uint32_t w)
    {
        if (stamp[w] != currentStamp) {
            stamp[w] = currentStamp;
            if (count == wholeVertices.size())
                grow();
            localNumber[w] = count;
            wholeVertices[count++] = w;
        }
        return localNumber[w];
    }

private:
    void grow();
};

// Whether triangle t runs from lo to hi along one of its edges.
inline bool traversesForward(const TriangleIndices& t, uint32_t lo, uint32_t hi)
{
    return (t[0] == lo && t[1] == hi) || (t[1] == lo && t[2] == hi) || (t[2] == lo && t[0] == hi);
}

// Whether each corner of the lower-numbered triangle of a pair is a corner of the other: such a
// pair (the same vertex set) is never a dual edge, even across an edge run both ways.
inline bool cornersAllShared(const TriangleIndices& lower, const TriangleIndices& higher)
{
    int shared = 0;
    for (int k = 0; k < 3; ++k)
        shared += (lower[k] == higher[0] || lower[k] == higher[1] || lower[k] == higher[2]) ? 1 : 0;
    return shared == 3;
}

// Renumbers the input's vertices by first use (dropping unreferenced ones) into tables.triangles
// and copies the channel values into that numbering.
void buildMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles,
                     const std::vector<std::vector<uint32_t>>& channels);

// The whole-mesh tables of a compression: the group ids, the counts and, with `renumber` (a
// partition is to be built), buildMeshTables; without, the input's vertex numbers, which is all
// that meshlets of a given partition need (their local numbering follows first use either way).
// No adjacency is built: the partition builder sorts the edges itself, so the whole mesh's dual
// graph, which grows with the square of the triangles on one edge, never exists. The lists given
// are consumed.
void buildWholeMeshTables(MeshTables& tables, std::vector<TriangleIndices> triangles, std::vector<std::vector<uint32_t>> channels,
                          std::vector<uint32_t> triangleGroups, bool renumber = true);

// Fills scratch.edges with three entries per triangle in ascending (edge key, triangle) order,
// each run of one lower vertex v from scratch.lowerBegin[v] to scratch.lowerBegin[v + 1].
void sortEdges(std::span<const TriangleIndices> triangles, AdjacencyScratch& scratch);

// Builds the neighbour lists of `triangleCount` triangles (any earlier lists are replaced) and,
// with `dualEdges`, one DualEdge per neighbour pair. Triangles b and c are neighbours when they
// share an edge key, run it in opposite directions and are not one vertex set
// (cornersAllShared of the lower-numbered one); a triangle's neighbours come by ascending edge
// key, then ascending triangle.
void buildAdjacency(MeshTables& tables, bool dualEdges = true);

// The entry of dualEdges joining neighbours a and b, looked up among a's neighbours;
// kNoDualEdge when they are not neighbours.
constexpr uint32_t kNoDualEdge = UINT32_MAX;
uint32_t findDualEdge(const MeshTables& tables, uint32_t a, uint32_t b);

// Numbers the vertices of one meshlet of `mesh` by first use in `map` (map.wholeVertices lists
// them in that order), as extractMeshlet does, without building the meshlet's tables.
void mapMeshletVertices(VertexMap& map, const MeshTables& mesh, const std::vector<uint32_t>& triangleList);

// Fills `meshlet` with the triangles of one meshlet of `mesh`, renumbered locally by first use.
// Keeps the storage of `meshlet` and `map` between calls; the map grows to the whole mesh's
// vertex count on first use. Does not build adjacency (the meshlet has no neighbours until then).
void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map);

} // namespace vmq
