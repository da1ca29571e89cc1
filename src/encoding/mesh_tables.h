#pragma once
// Working tables of a whole mesh or of one meshlet: compact vertex numbering, quantised channel
// values in that numbering, per-triangle groups and the dual graph (edge-neighbour triangles).
#include "core/mesh.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

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

// Map from a triangle pair key to its DualEdge: open addressing over a power-of-two slot table,
// entries stored densely in insertion order. Inserting never allocates once reserved, clearing
// is constant time (slots carry the generation they were filled in), and storage is kept across
// clears, so one map serves every meshlet of a call.
class DualEdgeMap {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // Makes room for `count` entries without further allocation.
    void reserve(size_t count);
    // Empties the map, keeping its storage.
    void clear();

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Inserts key -> value unless the key is present; returns whether it was inserted.
    bool tryEmplace(uint64_t key, const DualEdge& value);
    // The entry number of key (insertion order), or kNone.
    uint32_t findIndex(uint64_t key) const;
    // The edge of key, or null.
    DualEdge* find(uint64_t key);
    const DualEdge* find(uint64_t key) const;
    // The edge of a pair that must exist; raises the internal error otherwise.
    DualEdge& at(uint64_t key);
    const DualEdge& at(uint64_t key) const;

    // Entries by number, 0 .. size() - 1, in insertion order.
    DualEdge& entry(uint32_t index) { return entries_[index].edge; }
    const DualEdge& entry(uint32_t index) const { return entries_[index].edge; }
    uint64_t entryKey(uint32_t index) const { return entries_[index].key; }

private:
    struct Entry {
        uint64_t key;
        DualEdge edge;
    };
    struct Slot {
        uint32_t generation; // slot is filled when equal to generation_
        uint32_t entry;
    };
    void rehash(size_t slotCount);

    std::vector<Entry> entries_;
    std::vector<Slot> slots_; // size is a power of two, at least twice the entry count
    uint32_t generation_ = 1;
};

// The message for a pair of triangles that has no dual edge.
std::string missingDualEdge(uint64_t key);

struct MeshTables {
    std::vector<TriangleIndices> triangles;
    std::vector<uint32_t> triangleGroups;
    DualEdgeMap dualEdges;
    std::vector<EdgeEntry> edgeList;
    // One list per triangle. Meshlet tables may hold more lists than triangleCount (spare
    // storage kept for later meshlets); those are empty and never read.
    std::vector<std::vector<uint32_t>> neighbours;
    std::vector<std::vector<uint32_t>> channelValues;
    std::vector<uint32_t> edgeBuckets; // scratch of buildAdjacency, kept for the next meshlet
    uint64_t triangleCount = 0;
    uint64_t vertexCount = 0;
};

// Whole-mesh vertex number -> meshlet-local vertex number, reused for every meshlet. A stamp per
// whole-mesh vertex marks the entries of the current meshlet, so emptying it costs nothing.
struct VertexMap {
    std::vector<uint32_t> localNumber;   // per whole-mesh vertex; valid where stamp == currentStamp
    std::vector<uint32_t> stamp;         // per whole-mesh vertex
    std::vector<uint32_t> wholeVertices; // per local vertex: its whole-mesh number
    uint32_t currentStamp = 0;

    // Sizes the map for whole-mesh vertex numbers below vertexCount and `localCount` local ones.
    void reserve(size_t vertexCount, size_t localCount);
    // Empties the map, keeping its storage.
    void clear();
    size_t size() const { return wholeVertices.size(); }
    // The local number of whole-mesh vertex w, numbering it next when it is new.
    uint32_t insert(uint32_t w)
    {
        if (stamp[w] != currentStamp) {
            stamp[w] = currentStamp;
            localNumber[w] = uint32_t(wholeVertices.size());
            wholeVertices.push_back(w);
        }
        return localNumber[w];
    }
};

// Renumbers the input's vertices by first use (dropping unreferenced ones) into tables.triangles
// and copies the channel values into that numbering.
void buildMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles,
                     const std::vector<std::vector<uint32_t>>& channels);

// The whole-mesh tables of a compression. With `adjacency` (a partition is to be built):
// buildMeshTables, the group ids, the counts and buildAdjacency. Without, the tables keep the
// input's vertex numbers and hold no adjacency, which is all that meshlets of a given partition
// need (their local numbering follows first use either way). The channel lists are consumed.
void buildWholeMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles, std::vector<std::vector<uint32_t>> channels,
                          const std::vector<uint32_t>& triangleGroups, bool adjacency = true);

// Frees the adjacency of whole-mesh tables once the partition is built.
void releaseAdjacency(MeshTables& tables);

// Builds edgeList, dualEdges and neighbours from triangles; neighbours must hold at least
// triangleCount empty lists.
void buildAdjacency(MeshTables& tables);

// Numbers the vertices of one meshlet of `mesh` by first use in `map` (map.wholeVertices lists
// them in that order), as extractMeshlet does, without building the meshlet's tables.
void mapMeshletVertices(VertexMap& map, const MeshTables& mesh, const std::vector<uint32_t>& triangleList);

// Fills `meshlet` with the triangles of one meshlet of `mesh`, renumbered locally by first use.
// Keeps the storage of `meshlet` and `map` between calls; the map grows to the whole mesh's
// vertex count on first use. Does not build adjacency.
void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map);

} // namespace vmq
