#pragma once
// Meshlet partition builder: grows meshlets of one group over shared edges within a vertex limit,
// keeping each meshlet's triangles close together in the space of the quantised attributes.
#include "encoding/mesh_tables.h"
#include "partition/partition.h"

#include <cstdint>
#include <vector>

namespace vmq {

// Working arrays of one partition call, shared by all meshlets. Stamps are never reused, so no
// array is cleared between meshlets: a triangle belongs to the growing meshlet when its
// ownerStamp equals the meshlet's stamp, a vertex is counted for it when its vertexStamp does.
//
// Growth stays linear in the number of neighbouring triangle pairs, and the memory linear in the
// triangles, however densely triangles share edges: neighbours are read from the sorted edges rather
// than a dual graph, each triangle stands in a frontier once (see MeshletBuilder), and the number
// of its neighbours already in the meshlet is counted as they are added, not recounted per sweep.
struct PartitionWork {
    const MeshTables* mesh = nullptr;
    uint32_t channelCount = 0;
    std::vector<float> centres;           // channelCount per triangle
    // Neighbours are found through the mesh's edges sorted by (edge key, triangle): the triangles
    // of one key, a run, are each other's candidates.
    struct EdgeSide {
        uint32_t triangleAndWay; // triangle << 1, | 1 when it runs the edge from its lower vertex to its higher
        uint32_t run;            // the first entry of its run; kNoRun in the closing entry
    };
    static constexpr uint32_t kNoRun = UINT32_MAX;
    std::vector<EdgeSide> edgeSides;      // three per triangle in edge order, then one closing entry
    std::vector<uint32_t> triangleEdges;  // per triangle: its three entries in edgeSides, ascending
    std::vector<int32_t> assignment;      // meshlet index per triangle, -1 while unassigned
    std::vector<int32_t> ownerStamp;      // per triangle
    std::vector<int32_t> vertexStamp;     // per vertex
    std::vector<int32_t> frontierStamp;   // per triangle: the stamp of the meshlet whose frontier holds it
    std::vector<int32_t> countStamp;      // per triangle: the stamp under which inMeshletCount counts
    std::vector<uint32_t> inMeshletCount; // per triangle: its neighbours in the meshlet of countStamp
    std::vector<uint8_t> repeatsCorner;   // per triangle: 1 when two of its corners are one vertex
    std::vector<float> neighbourScore;    // by neighbours in the meshlet: 0.01 plus 1.0 that often, summed in float
    int32_t nextStamp = 1;
    struct Candidate {
        uint32_t triangle;
        float score;
        uint32_t order; // position in the frontier; keeps equal scores in frontier order
    };
    std::vector<Candidate> candidates;  // scratch of one sweep
    std::vector<uint32_t> nextFrontier; // scratch of one sweep
};

// Sets up the working arrays for `mesh` (edges sorted, centres precomputed, no triangle
// assigned). Reads the mesh's triangles, groups and channel values.
void preparePartitionWork(PartitionWork& work, const MeshTables& mesh);

// Calls visit(n) for every neighbour n of triangle t, in the order of t's list in the dual graph
// that buildAdjacency would build (ascending edge key, then ascending triangle).
template <typename Visit>
void forEachNeighbour(const PartitionWork& work, uint32_t t, Visit&& visit)
{
    const std::vector<TriangleIndices>& triangles = work.mesh->triangles;
    const TriangleIndices& mine = triangles[t];
    const bool mineRepeats = work.repeatsCorner[t] != 0;
    const uint32_t mineCorners = mine[0] ^ mine[1] ^ mine[2];
    uint32_t previousRun = PartitionWork::kNoRun;
    for (uint32_t k = 0; k < 3; ++k) {
        const PartitionWork::EdgeSide& own = work.edgeSides[work.triangleEdges[3 * size_t(t) + k]];
        if (own.run == previousRun) // a corner repeated: the same edge twice
            continue;
        previousRun = own.run;
        const uint32_t way = own.triangleAndWay & 1u;
        for (uint32_t x = own.run; work.edgeSides[x].run == own.run; ++x) {
            const uint32_t side = work.edgeSides[x].triangleAndWay;
            const uint32_t n = side >> 1;
            if (n == t || (side & 1u) == way || (x > own.run && work.edgeSides[x - 1].triangleAndWay >> 1 == n))
                continue;
            // One vertex set is no pair; two triangles of three corners each sharing an edge are
            // one set when their corners off it agree, that is when all their corners XOR alike.
            const TriangleIndices& other = triangles[n];
            const bool oneSet = !mineRepeats && !work.repeatsCorner[n] ? mineCorners == (other[0] ^ other[1] ^ other[2])
                                                                      : (t < n ? cornersAllShared(mine, other) : cornersAllShared(other, mine));
            if (!oneSet)
                visit(n);
        }
    }
}

// The working record of one meshlet while it grows.
//
// The frontier lists the candidate triangles in the order they were first reached. A triangle
// reached again is not listed again: its later entries would score the same in the same sweep
// and come later in it, so they could only be refused again or find it already taken. The
// exception is a triangle that repeats a corner: one more of its vertices in the meshlet may
// save it two new corners, so a later entry of it can fit where an earlier one did not, and it
// is listed every time it is reached.
struct MeshletBuilder {
    std::vector<uint32_t> frontier; // candidate triangles in the order they were reached
    std::vector<uint32_t> members;  // in order of addition
    int32_t stamp = 0;
    uint32_t usedVertices = 0;
    std::vector<float> mean;        // running mean of the members' centres, per channel
    uint32_t meshletIndex = 0;
    uint32_t groupId = 0;
};

// A fresh meshlet seeded with one triangle; the storage of `builder` is kept.
void startMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t seed, uint32_t meshletIndex);

// Adds triangle t to the growing meshlet: its centre moves the mean, its vertices are counted,
// and its neighbours count it and join the frontier.
void addTriangle(PartitionWork& work, MeshletBuilder& builder, uint32_t t);

// Score of frontier entry t for the growing meshlet: 0 when t is taken, already in the meshlet
// or of another group; otherwise s / (sqrt(d2) + 0.0001), where s is 0.01 plus 1 per neighbour
// already in the meshlet and d2 the squared distance of t's centre from the meshlet's mean.
// Reads the neighbours' count that addTriangle keeps.
float scoreCandidate(const PartitionWork& work, const MeshletBuilder& builder, uint32_t t);

// Grows the meshlet in sweeps: each sweep scores the whole frontier once, then adds up to six
// of the best candidates that keep the vertex count within vertexCap. Returns false when the
// meshlet reached triangleCap, true when growth stopped for any other reason.
bool growMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t triangleCap, uint32_t vertexCap);

// Cuts the mesh into meshlets: a first pass grown to firstPassCap from seeds in index order
// (kept when at least keepMin triangles), a second pass growing the kept ones to triangleCap, a
// third seeding the rest, then per group (ascending group id) small meshlets are merged.
// Requires vertexCap >= 3 and firstPassCap >= 1; a limit of 4294967295 lifts it.
// The driver passes firstPassMeshletTriangles - 1, minMeshletTriangles - 1,
// maxMeshletVertices - 1, maxMeshletVertices and meshletMergeBoxScale.
MeshletPartition buildMeshletPartition(const MeshTables& mesh, uint32_t firstPassCap, uint32_t keepMin, uint32_t triangleCap,
                                       uint32_t vertexCap, float boxScale);

} // namespace vmq
