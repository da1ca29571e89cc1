#include "partition/meshlet_merge.h"

#include <algorithm>
#include <bit>
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

bool listOverlappingPairs(const BoxTree& tree, int32_t a, int32_t b, std::vector<std::pair<int32_t, int32_t>>& pairs, size_t limit)
{
    const BoxTreeNode& A = tree.nodes[size_t(a)];
    const BoxTreeNode& B = tree.nodes[size_t(b)];
    if (!boxesOverlap(A.box, B.box))
        return true;
    const bool aLeaf = A.item >= 0, bLeaf = B.item >= 0;
    if (!aLeaf && !bLeaf)
        return listOverlappingPairs(tree, A.left, B.left, pairs, limit) && listOverlappingPairs(tree, A.left, B.right, pairs, limit) &&
               listOverlappingPairs(tree, A.right, B.left, pairs, limit) && listOverlappingPairs(tree, A.right, B.right, pairs, limit);
    if (!aLeaf)
        return listOverlappingPairs(tree, A.left, b, pairs, limit) && listOverlappingPairs(tree, A.right, b, pairs, limit);
    if (!bLeaf)
        return listOverlappingPairs(tree, a, B.left, pairs, limit) && listOverlappingPairs(tree, a, B.right, pairs, limit);
    if (A.item < B.item) {
        if (pairs.size() >= limit)
            return false;
        pairs.emplace_back(A.item, B.item);
    }
    return true;
}

namespace {

// Meshlets with one box form a shape (those that are not small share the empty box); the small
// ones' shapes with one finite centre form a cluster. In a cluster whose boxes are all proper
// (min <= max on every axis) every box holds the common centre, so every two members overlap at
// distance 0: those pairs come before all others, in position order, and join the cluster
// first-fit.
struct Shape {
    MergeBox box;
    float centre[3];
    uint32_t memberBegin, memberEnd; // into MergeWork::members, ascending positions
    uint32_t unitBegin, unitEnd;     // into MergeWork::units
    int32_t cluster;                 // -1 for a centre that is not finite, and the empty box
};

// A set as it enters the pairwise joins (a first-fit set of a cluster, or one meshlet), seen
// from one shape: the set's lowest member in the shape stands for all its members there, since
// of the pairs between two sets only the first in order can join them.
struct Unit {
    int32_t position;
    uint32_t total;
};

struct MergeWork {
    std::vector<uint32_t> sizes;      // triangles per position
    std::vector<MergeBox> boxes;      // per position
    std::vector<int32_t> members;     // positions grouped by shape
    std::vector<Shape> shapes;
    std::vector<uint8_t> joinsFirstFit; // per cluster
    std::vector<Unit> units;
    std::vector<uint32_t> freeSize;   // first-fit: per tree node, the smallest size not yet taken
};

uint32_t floatKey(float x)
{
    // -0 and 0 give one box; a NaN never equals anything, whatever its bits.
    return x == 0.0f ? 0u : std::bit_cast<uint32_t>(x);
}

bool sameBox(const MergeBox& a, const MergeBox& b)
{
    for (int k = 0; k < 3; ++k)
        if (floatKey(a.min[k]) != floatKey(b.min[k]) || floatKey(a.max[k]) != floatKey(b.max[k]))
            return false;
    return true;
}

bool boxBefore(const MergeBox& a, const MergeBox& b)
{
    for (int k = 0; k < 3; ++k) {
        if (floatKey(a.min[k]) != floatKey(b.min[k]))
            return floatKey(a.min[k]) < floatKey(b.min[k]);
        if (floatKey(a.max[k]) != floatKey(b.max[k]))
            return floatKey(a.max[k]) < floatKey(b.max[k]);
    }
    return false;
}

bool finiteCentre(const float* c)
{
    return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
}

bool sameCentre(const float* a, const float* b)
{
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

bool properBox(const MergeBox& box)
{
    return box.min[0] <= box.max[0] && box.min[1] <= box.max[1] && box.min[2] <= box.max[2];
}

float centreDistance(const float* a, const float* b)
{
    const float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

constexpr uint32_t kTaken = UINT32_MAX; // a free size no meshlet has: sizes stay below keepMin

// The first index at or after `from` whose free size is at most `limit`, or `count` when none.
size_t firstFitting(const std::vector<uint32_t>& freeSize, size_t node, size_t lo, size_t hi, size_t from, uint32_t limit, size_t count)
{
    if (hi <= from || freeSize[node] == kTaken || freeSize[node] > limit)
        return count;
    if (hi - lo == 1)
        return lo;
    const size_t mid = (lo + hi) / 2;
    const size_t left = firstFitting(freeSize, 2 * node, lo, mid, from, limit, count);
    return left != count ? left : firstFitting(freeSize, 2 * node + 1, mid, hi, from, limit, count);
}

void takeFitting(std::vector<uint32_t>& freeSize, size_t leaves, size_t index)
{
    size_t node = leaves + index;
    freeSize[node] = kTaken;
    for (node /= 2; node >= 1; node /= 2)
        freeSize[node] = std::min(freeSize[2 * node], freeSize[2 * node + 1]);
}

// The joins of one cluster's distance-0 pairs (i, j) in position order: the lowest member not
// yet joined opens a set, which takes every later free member that still fits, in order. (A
// member refused by a set is refused by it for good, since totals only grow.)
void joinFirstFit(MergeWork& work, const std::vector<int32_t>& cluster, uint32_t triangleCap, DisjointSets& sets)
{
    const size_t count = cluster.size();
    size_t leaves = 1;
    while (leaves < count)
        leaves *= 2;
    std::vector<uint32_t>& freeSize = work.freeSize;
    freeSize.assign(2 * leaves, kTaken);
    for (size_t k = 0; k < count; ++k)
        freeSize[leaves + k] = work.sizes[size_t(cluster[k])];
    for (size_t node = leaves - 1; node >= 1; --node)
        freeSize[node] = std::min(freeSize[2 * node], freeSize[2 * node + 1]);
    for (size_t seed = 0; seed < count; ++seed) {
        if (freeSize[leaves + seed] == kTaken)
            continue;
        const int32_t root = cluster[seed];
        uint32_t total = freeSize[leaves + seed];
        takeFitting(freeSize, leaves, seed);
        for (size_t at = seed + 1; total < triangleCap;) {
            at = firstFitting(freeSize, 1, 0, leaves, at, triangleCap - total, count);
            if (at >= count)
                break;
            total += freeSize[leaves + at];
            sets.parent[size_t(cluster[at])] = root;
            takeFitting(freeSize, leaves, at);
        }
        sets.total[size_t(root)] = total;
        if (total != work.sizes[size_t(root)])
            sets.rank[size_t(root)] = 1;
    }
}

// Pairs between the units of shapes u and v (u == v: among the units of u) whose sets still fit
// together, as edges; false once `limit` edges would be exceeded.
bool addUnitEdges(const MergeWork& work, size_t u, size_t v, uint32_t triangleCap, std::vector<MergeEdge>& edges, size_t limit)
{
    const Shape& a = work.shapes[u];
    const Shape& b = work.shapes[v];
    if (a.cluster >= 0 && a.cluster == b.cluster && work.joinsFirstFit[size_t(a.cluster)])
        return true; // joined first-fit
    const float dist = centreDistance(a.centre, b.centre);
    // Units come in ascending totals, so the loops stop at the first pair that cannot fit.
    for (uint32_t x = a.unitBegin; x < a.unitEnd; ++x) {
        const Unit& first = work.units[x];
        if (first.total > triangleCap)
            break;
        for (uint32_t y = (u == v ? x + 1 : b.unitBegin); y < b.unitEnd; ++y) {
            const Unit& second = work.units[y];
            if (second.total > triangleCap - first.total)
                break;
            if (edges.size() >= limit)
                return false;
            edges.push_back({std::min(first.position, second.position), std::max(first.position, second.position), dist});
        }
    }
    return true;
}

// Where the exact pairs are too many: every unit weighs the next kMergeWindow units in centre
// order whose shapes overlap its own.
void addWindowEdges(const MergeWork& work, uint32_t triangleCap, std::vector<MergeEdge>& edges)
{
    std::vector<std::pair<uint32_t, uint32_t>> order; // (shape, unit)
    order.reserve(work.units.size());
    for (uint32_t s = 0; s < work.shapes.size(); ++s)
        for (uint32_t x = work.shapes[s].unitBegin; x < work.shapes[s].unitEnd; ++x)
            order.emplace_back(s, x);
    auto key = [](float c) { return std::isnan(c) ? kInfinity : c; };
    std::sort(order.begin(), order.end(), [&](const auto& p, const auto& q) {
        const float* a = work.shapes[p.first].centre;
        const float* b = work.shapes[q.first].centre;
        for (int k = 0; k < 3; ++k)
            if (key(a[k]) != key(b[k]))
                return key(a[k]) < key(b[k]);
        return work.units[p.second].position < work.units[q.second].position;
    });
    edges.clear();
    for (size_t p = 0; p < order.size(); ++p) {
        const Shape& a = work.shapes[order[p].first];
        const Unit& first = work.units[order[p].second];
        for (size_t q = p + 1; q < order.size() && q <= p + kMergeWindow; ++q) {
            const Shape& b = work.shapes[order[q].first];
            const Unit& second = work.units[order[q].second];
            if (a.cluster >= 0 && a.cluster == b.cluster && work.joinsFirstFit[size_t(a.cluster)])
                continue;
            if (uint64_t(first.total) + second.total > triangleCap || !boxesOverlap(a.box, b.box))
                continue;
            edges.push_back({std::min(first.position, second.position), std::max(first.position, second.position),
                             centreDistance(a.centre, b.centre)});
        }
    }
}

} // namespace

MeshletList mergeSmallMeshlets(MeshletList meshlets, const MeshTables& mesh, uint32_t keepMin, uint32_t triangleCap, float boxScale)
{
    const size_t M = meshlets.size();
    if (M == 0)
        return meshlets;

    // Boxes around the triangle points of small meshlets; the others keep the empty box, which
    // overlaps only boxes that reach infinity.
    MergeWork work;
    bool anySmall = false;
    work.sizes.resize(M);
    work.boxes.assign(M, emptyBox(kLargestFloat));
    const std::vector<uint32_t>* position[3] = {&mesh.channelValues[0], &mesh.channelValues[1], &mesh.channelValues[2]};
    for (size_t p = 0; p < M; ++p) {
        work.sizes[p] = uint32_t(meshlets[p].size());
        work.members.push_back(int32_t(p));
        if (meshlets[p].size() >= keepMin)
            continue;
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
        MergeBox& box = work.boxes[p];
        for (int k = 0; k < 3; ++k) {
            const float centre = (bounds.max[k] + bounds.min[k]) * 0.5f;
            const float half = (bounds.max[k] - bounds.min[k]) * 0.5f * boxScale;
            box.min[k] = centre - half;
            box.max[k] = centre + half;
        }
    }
    if (!anySmall)
        return meshlets;

    // Shapes: meshlets with the same box, members in ascending position.
    std::sort(work.members.begin(), work.members.end(), [&](int32_t a, int32_t b) {
        const MergeBox &x = work.boxes[size_t(a)], &y = work.boxes[size_t(b)];
        return boxBefore(x, y) || (!boxBefore(y, x) && a < b);
    });
    for (uint32_t k = 0; k < work.members.size();) {
        uint32_t end = k + 1;
        const MergeBox& box = work.boxes[size_t(work.members[k])];
        while (end < work.members.size() && sameBox(box, work.boxes[size_t(work.members[end])]))
            ++end;
        Shape shape{box, {}, k, end, 0, 0, -1};
        for (int a = 0; a < 3; ++a)
            shape.centre[a] = (box.min[a] + box.max[a]) * 0.5f;
        work.shapes.push_back(shape);
        k = end;
    }

    // Clusters: shapes with one finite centre. (Centres come from integers, so distinct ones
    // never lie close enough for their distance to round to 0.) The empty box stays out: it has
    // centre 0 but overlaps no box that a cluster could join first-fit, which is checked below.
    const MergeBox empty = emptyBox(kLargestFloat);
    std::vector<uint32_t> byCentre;
    for (uint32_t s = 0; s < work.shapes.size(); ++s)
        if (finiteCentre(work.shapes[s].centre) && !sameBox(work.shapes[s].box, empty))
            byCentre.push_back(s);
    std::sort(byCentre.begin(), byCentre.end(), [&](uint32_t a, uint32_t b) {
        const float *x = work.shapes[a].centre, *y = work.shapes[b].centre;
        return x[0] != y[0] ? x[0] < y[0] : x[1] != y[1] ? x[1] < y[1] : x[2] != y[2] ? x[2] < y[2] : a < b;
    });
    DisjointSets sets;
    sets.parent.resize(M);
    sets.rank.assign(M, 0);
    sets.total = work.sizes;
    for (size_t p = 0; p < M; ++p)
        sets.parent[p] = int32_t(p);
    std::vector<int32_t> cluster;
    for (size_t k = 0; k < byCentre.size();) {
        size_t end = k + 1;
        const float* centre = work.shapes[byCentre[k]].centre;
        while (end < byCentre.size() && sameCentre(centre, work.shapes[byCentre[end]].centre))
            ++end;
        const int32_t id = int32_t(work.joinsFirstFit.size());
        bool proper = true;
        cluster.clear();
        for (size_t q = k; q < end; ++q) {
            Shape& shape = work.shapes[byCentre[q]];
            shape.cluster = id;
            proper = proper && properBox(shape.box) && !boxesOverlap(shape.box, empty);
            cluster.insert(cluster.end(), work.members.begin() + shape.memberBegin, work.members.begin() + shape.memberEnd);
        }
        work.joinsFirstFit.push_back(proper ? 1 : 0);
        if (proper && cluster.size() > 1) {
            std::sort(cluster.begin(), cluster.end());
            joinFirstFit(work, cluster, triangleCap, sets);
        }
        k = end;
    }

    // Units: per shape, each set it meets, by its lowest member there, in ascending totals.
    std::vector<uint32_t> unitOfShape(M, UINT32_MAX); // per set root: the last shape it got a unit in
    for (uint32_t s = 0; s < work.shapes.size(); ++s) {
        Shape& shape = work.shapes[s];
        shape.unitBegin = uint32_t(work.units.size());
        for (uint32_t k = shape.memberBegin; k < shape.memberEnd; ++k) {
            const size_t root = size_t(sets.find(work.members[k]));
            if (unitOfShape[root] != s) {
                unitOfShape[root] = s;
                work.units.push_back({work.members[k], sets.total[root]});
            }
        }
        shape.unitEnd = uint32_t(work.units.size());
        std::sort(work.units.begin() + shape.unitBegin, work.units.end(),
                  [](const Unit& a, const Unit& b) { return a.total != b.total ? a.total < b.total : a.position < b.position; });
    }

    // Pairs of overlapping shapes through the box tree, then the pairs of their units as edges
    // weighted by the distance of box centres; too many of them and the window stands in.
    const size_t limit = kMergePairsPerMeshlet * work.units.size() + 4096;
    BoxTree tree;
    const size_t S = work.shapes.size();
    tree.boxes.resize(S);
    tree.centres.resize(3 * S);
    for (size_t s = 0; s < S; ++s) {
        tree.boxes[s] = work.shapes[s].box;
        std::copy(work.shapes[s].centre, work.shapes[s].centre + 3, &tree.centres[3 * s]);
    }
    tree.nodes.reserve(2 * S);
    std::vector<int32_t> indices(S);
    for (size_t s = 0; s < S; ++s)
        indices[s] = int32_t(s);
    const int32_t root = buildBoxTree(tree, indices, 0, int32_t(S));
    std::vector<std::pair<int32_t, int32_t>> pairs;
    std::vector<MergeEdge> edges;
    bool exact = listOverlappingPairs(tree, root, root, pairs, limit);
    for (size_t s = 0; exact && s < S; ++s)
        if (boxesOverlap(work.shapes[s].box, work.shapes[s].box))
            exact = addUnitEdges(work, s, s, triangleCap, edges, limit);
    for (size_t k = 0; exact && k < pairs.size(); ++k)
        exact = addUnitEdges(work, size_t(pairs[k].first), size_t(pairs[k].second), triangleCap, edges, limit);
    pairs = {};
    if (!exact)
        addWindowEdges(work, triangleCap, edges);
    std::sort(edges.begin(), edges.end(), edgeBefore);

    // Shortest edges first, while the joined triangle count stays within the cap.
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
