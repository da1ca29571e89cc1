#include "partition/meshlet_merge.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vmq {

namespace {

constexpr float kLargestFloat = 3.4028235e38f;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

MergeBox emptyBox(float extreme)
{
    return {{extreme, extreme, extreme}, {-extreme, -extreme, -extreme}};
}

// Widens `box` by `other`. A NaN coordinate of `other` never wins a comparison, so it is left out.
void unite(MergeBox& box, const MergeBox& other)
{
    for (int k = 0; k < 3; ++k) {
        if (other.min[k] < box.min[k])
            box.min[k] = other.min[k];
        if (other.max[k] > box.max[k])
            box.max[k] = other.max[k];
    }
}

struct MergeEdge {
    int32_t i;
    int32_t j;
    float dist;
};

// Ascending dist, then i, then j. A distance that is not a number (a box grown to infinity has
// no centre) sorts after all others so that the order stays total.
bool edgeBefore(const MergeEdge& a, const MergeEdge& b)
{
    const bool aNaN = std::isnan(a.dist), bNaN = std::isnan(b.dist);
    if (aNaN != bNaN)
        return bNaN;
    if (!aNaN && a.dist != b.dist)
        return a.dist < b.dist;
    if (a.i != b.i)
        return a.i < b.i;
    return a.j < b.j;
}

struct DisjointSets {
    std::vector<int32_t> parent;
    std::vector<int32_t> rank;
    std::vector<uint32_t> total;

    int32_t find(int32_t p)
    {
        int32_t root = p;
        while (parent[size_t(root)] != root)
            root = parent[size_t(root)];
        while (parent[size_t(p)] != root) {
            const int32_t next = parent[size_t(p)];
            parent[size_t(p)] = root;
            p = next;
        }
        return root;
    }
};

} // namespace

bool boxesOverlap(const MergeBox& a, const MergeBox& b)
{
    for (int k = 0; k < 3; ++k)
        if (!(b.max[k] >= a.min[k] && a.max[k] >= b.min[k]))
            return false;
    return true;
}

int32_t buildBoxTree(BoxTree& tree, std::vector<int32_t>& indices, int32_t lo, int32_t hi)
{
    // An inner node's box is the union of its children's, set once they are built.
    const int32_t nodeIndex = int32_t(tree.nodes.size());
    BoxTreeNode node;
    node.box = emptyBox(kInfinity);
    if (hi - lo == 1) {
        unite(node.box, tree.boxes[size_t(indices[size_t(lo)])]);
        node.item = indices[size_t(lo)];
        tree.nodes.push_back(node);
        return nodeIndex;
    }
    tree.nodes.push_back(node);

    float lowest[3] = {kInfinity, kInfinity, kInfinity};
    float highest[3] = {-kInfinity, -kInfinity, -kInfinity};
    for (int32_t k = lo; k < hi; ++k) {
        const float* centre = &tree.centres[size_t(3) * size_t(indices[size_t(k)])];
        for (int a = 0; a < 3; ++a) {
            lowest[a] = std::min(lowest[a], centre[a]);
            highest[a] = std::max(highest[a], centre[a]);
        }
    }
    const float extent[3] = {highest[0] - lowest[0], highest[1] - lowest[1], highest[2] - lowest[2]};
    const int axis = (extent[0] > extent[1] && extent[0] > extent[2]) ? 0 : (extent[1] > extent[2] ? 1 : 2);

    // Selection on the centre along the split axis; NaN centres order after every number so the
    // comparison stays a strict weak order.
    const int32_t mid = (lo + hi) / 2;
    auto key = [&](int32_t item) {
        const float c = tree.centres[size_t(3) * size_t(item) + size_t(axis)];
        return std::isnan(c) ? kInfinity : c;
    };
    std::nth_element(indices.begin() + lo, indices.begin() + mid, indices.begin() + hi,
                     [&](int32_t a, int32_t b) { return key(a) < key(b); });

    const int32_t left = buildBoxTree(tree, indices, lo, mid);
    const int32_t right = buildBoxTree(tree, indices, mid, hi);
    BoxTreeNode& built = tree.nodes[size_t(nodeIndex)];
    built.left = left;
    built.right = right;
    built.box = tree.nodes[size_t(left)].box;
    unite(built.box, tree.nodes[size_t(right)].box);
    return nodeIndex;
}

void listOverlappingPairs(const BoxTree& tree, int32_t a, int32_t b, std::vector<std::pair<int32_t, int32_t>>& pairs)
{
    const BoxTreeNode& A = tree.nodes[size_t(a)];
    const BoxTreeNode& B = tree.nodes[size_t(b)];
    if (!boxesOverlap(A.box, B.box))
        return;
    const bool aLeaf = A.item >= 0, bLeaf = B.item >= 0;
    if (!aLeaf && !bLeaf) {
        listOverlappingPairs(tree, A.left, B.left, pairs);
        listOverlappingPairs(tree, A.left, B.right, pairs);
        listOverlappingPairs(tree, A.right, B.left, pairs);
        listOverlappingPairs(tree, A.right, B.right, pairs);
    } else if (!aLeaf) {
        listOverlappingPairs(tree, A.left, b, pairs);
        listOverlappingPairs(tree, A.right, b, pairs);
    } else if (!bLeaf) {
        listOverlappingPairs(tree, a, B.left, pairs);
        listOverlappingPairs(tree, a, B.right, pairs);
    } else if (A.item < B.item) {
        pairs.emplace_back(A.item, B.item);
    }
}

MeshletList mergeSmallMeshlets(MeshletList meshlets, const MeshTables& mesh, uint32_t keepMin, uint32_t triangleCap, float boxScale)
{
    const size_t M = meshlets.size();
    if (M == 0)
        return meshlets;

    // Boxes around the triangle points of small meshlets; the others carry the empty box.
    BoxTree tree;
    tree.boxes.assign(M, emptyBox(kLargestFloat));
    tree.centres.resize(3 * M);
    bool anySmall = false;
    const std::vector<uint32_t>* position[3] = {&mesh.channelValues[0], &mesh.channelValues[1], &mesh.channelValues[2]};
    for (size_t p = 0; p < M; ++p) {
        MergeBox& box = tree.boxes[p];
        if (meshlets[p].size() < keepMin) {
            anySmall = true;
            MergeBox bounds = emptyBox(kLargestFloat);
            for (uint32_t t : meshlets[p]) {
                const TriangleIndices& triangle = mesh.triangles[t];
                for (int k = 0; k < 3; ++k) {
                    const float point = triangleCentre(*position[k], triangle);
                    if (point < bounds.min[k])
                        bounds.min[k] = point;
                    if (point > bounds.max[k])
                        bounds.max[k] = point;
                }
            }
            for (int k = 0; k < 3; ++k) {
                const float centre = (bounds.max[k] + bounds.min[k]) * 0.5f;
                const float half = (bounds.max[k] - bounds.min[k]) * 0.5f * boxScale;
                box.min[k] = centre - half;
                box.max[k] = centre + half;
            }
        }
        for (int k = 0; k < 3; ++k)
            tree.centres[3 * p + size_t(k)] = (box.min[k] + box.max[k]) * 0.5f;
    }
    if (!anySmall)
        return meshlets;

    // Overlapping pairs through the box tree, as edges weighted by the distance of box centres.
    tree.nodes.reserve(2 * M);
    std::vector<int32_t> indices(M);
    for (size_t p = 0; p < M; ++p)
        indices[p] = int32_t(p);
    const int32_t root = buildBoxTree(tree, indices, 0, int32_t(M));
    std::vector<std::pair<int32_t, int32_t>> pairs;
    listOverlappingPairs(tree, root, root, pairs);

    std::vector<MergeEdge> edges;
    edges.reserve(pairs.size());
    for (const auto& [i, j] : pairs) {
        const float* a = &tree.centres[3 * size_t(i)];
        const float* b = &tree.centres[3 * size_t(j)];
        const float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
        edges.push_back({i, j, std::sqrt(dx * dx + dy * dy + dz * dz)});
    }
    std::sort(edges.begin(), edges.end(), edgeBefore);

    // Shortest edges first, while the joined triangle count stays within the cap.
    DisjointSets sets;
    sets.parent.resize(M);
    sets.rank.assign(M, 0);
    sets.total.resize(M);
    for (size_t p = 0; p < M; ++p) {
        sets.parent[p] = int32_t(p);
        sets.total[p] = uint32_t(meshlets[p].size());
    }
    for (const MergeEdge& edge : edges) {
        int32_t a = sets.find(edge.i), b = sets.find(edge.j);
        if (a == b || uint64_t(sets.total[size_t(a)]) + sets.total[size_t(b)] > triangleCap)
            continue;
        if (sets.rank[size_t(a)] < sets.rank[size_t(b)])
            std::swap(a, b);
        sets.parent[size_t(b)] = a;
        sets.total[size_t(a)] += sets.total[size_t(b)];
        if (sets.rank[size_t(a)] == sets.rank[size_t(b)])
            ++sets.rank[size_t(a)];
    }

    // One meshlet per set, at the place of its lowest member, members in ascending position.
    std::vector<int32_t> setOfRoot(M, -1);
    MeshletList merged;
    for (size_t p = 0; p < M; ++p) {
        const size_t root = size_t(sets.find(int32_t(p)));
        if (setOfRoot[root] >= 0) {
            std::vector<uint32_t>& target = merged[size_t(setOfRoot[root])];
            target.insert(target.end(), meshlets[p].begin(), meshlets[p].end());
            continue;
        }
        setOfRoot[root] = int32_t(merged.size());
        if (sets.total[root] == meshlets[p].size()) {
            merged.push_back(std::move(meshlets[p])); // not merged
        } else {
            merged.emplace_back();
            merged.back().reserve(sets.total[root]);
            merged.back().insert(merged.back().end(), meshlets[p].begin(), meshlets[p].end());
        }
    }
    return merged;
}

} // namespace vmq
