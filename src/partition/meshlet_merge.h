#pragma once
// Small-meshlet merging: small meshlets of one group whose boxes (around their triangles' centres
// in position space) overlap are joined, nearest box centres first, within a triangle cap.
//
// Meshlets whose boxes share one centre are all at distance 0 from each other and join in
// position order, so they are joined directly instead of pair by pair; and of the many pairs
// between two sets joined that way, only the first in order can join them. This keeps the work
// near-linear however many meshlets coincide.
#include "encoding/mesh_tables.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vmq {

using MeshletList = std::vector<std::vector<uint32_t>>;

// Centre of triangle t in one channel: the values are read as signed integers and summed in
// single precision from 0 in corner order, then divided by 3.
inline float triangleCentre(const std::vector<uint32_t>& values, const TriangleIndices& triangle)
{
    return (((0.0f + float(int32_t(values[triangle[0]]))) + float(int32_t(values[triangle[1]]))) + float(int32_t(values[triangle[2]]))) /
           3.0f;
}

// Axis-aligned box: min x, y, z, then max x, y, z.
struct MergeBox {
    float min[3];
    float max[3];
};

// Closed-interval overlap on all three axes; any comparison with a NaN counts as no overlap.
bool boxesOverlap(const MergeBox& a, const MergeBox& b);

struct BoxTreeNode {
    MergeBox box;
    int32_t left = -1;  // child node indices, -1 for a leaf
    int32_t right = -1;
    int32_t item = -1;  // meshlet position held by a leaf, -1 for an inner node
};

struct BoxTree {
    std::vector<BoxTreeNode> nodes;  // reserved for 2M nodes
    std::vector<MergeBox> boxes;     // one per meshlet position
    std::vector<float> centres;      // 3 per meshlet position: the box centres the splits select on
};

// Appends the node over indices[lo, hi) (and its subtree) and returns its index.
int32_t buildBoxTree(BoxTree& tree, std::vector<int32_t>& indices, int32_t lo, int32_t hi);

// Appends every pair (i, j), i < j, of overlapping leaf boxes below nodes a and b. Returns false,
// having stopped early, when that would make the list longer than `limit`.
bool listOverlappingPairs(const BoxTree& tree, int32_t a, int32_t b, std::vector<std::pair<int32_t, int32_t>>& pairs,
                          size_t limit = SIZE_MAX);

// Bounds of the merge's work on densely overlapping boxes (see mergeSmallMeshlets).
constexpr size_t kMergePairsPerMeshlet = 32;
constexpr size_t kMergeWindow = 16;

// Returns the meshlets of one group after merging. A meshlet with fewer than keepMin triangles is
// small; a merged meshlet holds at most triangleCap triangles and sits at the place of its lowest
// member, listing its members' triangles member by member. The vertex count is not limited.
// Where the boxes of distinct centres overlap so densely that the pairs to weigh would outgrow
// kMergePairsPerMeshlet per small meshlet, each meshlet weighs only its nearest neighbours in
// centre order (kMergeWindow of them), which keeps time and memory linear on such input.
MeshletList mergeSmallMeshlets(MeshletList meshlets, const MeshTables& mesh, uint32_t keepMin, uint32_t triangleCap, float boxScale);

} // namespace vmq
