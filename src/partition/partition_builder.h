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
struct PartitionWork {
    const MeshTables* mesh = nullptr;
    uint32_t channelCount = 0;
    std::vector<float> centres;         // channelCount per triangle
    std::vector<uint32_t> neighbourBegin; // T + 1 offsets into neighbourList
    std::vector<uint32_t> neighbourList;  // the mesh's neighbour lists, one after the other
    std::vector<int32_t> assignment;    // meshlet index per triangle, -1 while unassigned
    std::vector<int32_t> ownerStamp;    // per triangle
    std::vector<int32_t> vertexStamp;   // per vertex
    int32_t nextStamp = 1;
    struct Candidate {
        uint32_t triangle;
        float score;
        uint32_t order; // position in the frontier; keeps equal scores in frontier order
    };
    std::vector<Candidate> candidates;  // scratch of one sweep
    std::vector<uint32_t> nextFrontier; // scratch of one sweep
};

// Sets up the working arrays for `mesh` (centres precomputed, no triangle assigned).
void preparePartitionWork(PartitionWork& work, const MeshTables& mesh);

// The working record of one meshlet while it grows.
struct MeshletBuilder {
    std::vector<uint32_t> frontier; // candidate triangles, duplicates allowed
    std::vector<uint32_t> members;  // in order of addition
    int32_t stamp = 0;
    uint32_t usedVertices = 0;
    std::vector<float> mean;        // running mean of the members' centres, per channel
    uint32_t meshletIndex = 0;
    uint32_t groupId = 0;
};

// Score of frontier entry t for the growing meshlet: 0 when t is taken, already in the meshlet
// or of another group; otherwise s / (sqrt(d2) + 0.0001), where s is 0.01 plus 1 per neighbour
// already in the meshlet and d2 the squared distance of t's centre from the meshlet's mean.
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
