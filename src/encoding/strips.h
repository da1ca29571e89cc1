#pragma once
// Triangle strip formation on a meshlet's dual graph: a greedy choice of dual edges (at most two
// per triangle) that prefers triangles with alike attribute values, improvement passes along
// alternating paths, and a walk that turns the chosen chains into oriented strips.
#include "encoding/mesh_tables.h"

#include <cstdint>
#include <vector>

namespace vmq {

// One strip: a run of StripList::triangles.
struct Strip {
    uint32_t firstTriangle;
    uint32_t triangleCount;
};

// The strips of one meshlet. Triangles hold meshlet-local vertex numbers, rotated so that each
// shares its first two corners' edge with its predecessor as the topology encoder expects.
struct StripList {
    std::vector<TriangleIndices> triangles;
    std::vector<uint32_t> sourceTriangles; // per entry of triangles: the meshlet triangle number
    std::vector<Strip> strips;
};

// Working storage of strip formation, kept across meshlets so that no meshlet allocates.
struct StripScratch {
    std::vector<uint32_t> degree;
    std::vector<float> triangleMeans;      // triangle-major: channel means of its three corners
    // Alternating-path search.
    std::vector<uint32_t> path;
    std::vector<uint32_t> pathEdges;       // the dual edge from path[k] to path[k + 1]
    std::vector<uint8_t> onPath;
    struct Frame {
        uint32_t triangle;
        uint32_t nextNeighbour;
        int32_t arrival;
    };
    std::vector<Frame> frames;
    std::vector<uint32_t> touched;      // triangles the last search appended, each once
    std::vector<uint32_t> touchedStamp; // per triangle: search number that last appended it
    uint32_t searchNumber = 0;
    // Failed searches remembered across passes: a start whose search appended none of the
    // triangles of a path toggled since would fail again in exactly the same way.
    std::vector<uint32_t> failedPass;     // per triangle: pass + 1 of its remembered failure, 0 if none
    std::vector<uint32_t> failedBegin;    // per triangle: its touched triangles in failedTouched
    std::vector<uint32_t> failedCount;
    std::vector<uint32_t> failedTouched;
    std::vector<uint32_t> toggledPass;    // per triangle: pass + 1 in which a toggled path last held it
    std::vector<uint8_t> visited;
    std::vector<uint32_t> arrivingEdges; // per strip entry: dual edge with its predecessor
};

// Runs selectStripEdges, improveStripEdges (passCount passes) and extractStrips.
void formStrips(MeshTables& tables, uint32_t passCount, StripScratch& scratch, StripList& strips);
std::vector<std::vector<TriangleIndices>> formStrips(MeshTables& tables, uint32_t passCount);

// Building blocks, exposed for tests. prepareStripScratch must run first on the tables.
void prepareStripScratch(const MeshTables& tables, StripScratch& scratch);
void selectStripEdges(MeshTables& tables, StripScratch& scratch);
void improveStripEdges(MeshTables& tables, uint32_t passCount, StripScratch& scratch);
// Leaves the path from start in scratch.path (empty when none is found).
void findAlternatingPath(const MeshTables& tables, StripScratch& scratch, uint32_t start);
void extractStrips(const MeshTables& tables, StripScratch& scratch, StripList& strips);

} // namespace vmq
