// The partition builder and the small-meshlet merge against the algorithms as first written
// (kept below as the reference: a frontier with every repeat, neighbour counts recounted per
// sweep from the dual graph, and every overlapping pair of boxes as an edge). The meshlets are
// part of the compressed record, so on every generated mesh, dense, repeated, degenerate or
// coincident, both must give the same partition.
#include "partition/meshlet_merge.h"
#include "partition/partition_builder.h"

#include "partition_test_tables.h"
#include "core/error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace reference {

using namespace vmq;

struct PartitionWork {
    const MeshTables* mesh = nullptr;
    uint32_t channelCount = 0;
    std::vector<float> centres;
    std::vector<uint32_t> neighbourBegin;
    std::vector<uint32_t> neighbourList;
    std::vector<int32_t> assignment;
    std::vector<int32_t> ownerStamp;
    std::vector<int32_t> vertexStamp;
    int32_t nextStamp = 1;
    struct Candidate {
        uint32_t triangle;
        float score;
        uint32_t order;
    };
    std::vector<Candidate> candidates;
    std::vector<uint32_t> nextFrontier;
};

struct MeshletBuilder {
    std::vector<uint32_t> frontier;
    std::vector<uint32_t> members;
    int32_t stamp = 0;
    uint32_t usedVertices = 0;
    std::vector<float> mean;
    uint32_t meshletIndex = 0;
    uint32_t groupId = 0;
};

struct BoxTreeNode {
    MergeBox box;
    int32_t left = -1;
    int32_t right = -1;
    int32_t item = -1;
};

struct BoxTree {
    std::vector<BoxTreeNode> nodes;
    std::vector<MergeBox> boxes;
    std::vector<float> centres;
};

size_t pairsListed = 0; // overlapping pairs of the last merge

MeshletList mergeSmallMeshlets(MeshletList meshlets, const MeshTables& mesh, uint32_t keepMin, uint32_t triangleCap, float boxScale);

namespace {

constexpr uint32_t kMaxSweepAdditions = 6;

int32_t takeStamp(PartitionWork& work)
{
    if (work.nextStamp == std::numeric_limits<int32_t>::max())
        raiseError("the mesh has too many triangles for the meshlet partition builder");
    return work.nextStamp++;
}

// A fresh meshlet seeded with one triangle; the storage of `builder` is kept.
void startMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t seed, uint32_t meshletIndex)
{
    builder.frontier.clear();
    builder.frontier.push_back(seed);
    builder.members.clear();
    builder.stamp = takeStamp(work);
    builder.usedVertices = 0;
    builder.mean.assign(work.channelCount, 0.0f);
    builder.meshletIndex = meshletIndex;
    builder.groupId = work.mesh->triangleGroups[seed];
}

void addTriangle(PartitionWork& work, MeshletBuilder& builder, uint32_t t)
{
    const MeshTables& mesh = *work.mesh;
    const float before = float(builder.members.size());
    const float* centre = &work.centres[size_t(t) * work.channelCount];
    for (uint32_t c = 0; c < work.channelCount; ++c)
        builder.mean[c] = (before * builder.mean[c] + centre[c]) / (before + 1.0f);
    builder.members.push_back(t);
    work.ownerStamp[t] = builder.stamp;
    for (uint32_t x : mesh.triangles[t]) {
        if (work.vertexStamp[x] != builder.stamp) {
            work.vertexStamp[x] = builder.stamp;
            ++builder.usedVertices;
        }
    }
    for (uint32_t k = work.neighbourBegin[t]; k < work.neighbourBegin[t + 1]; ++k) {
        const uint32_t n = work.neighbourList[k];
        if (work.assignment[n] == -1 && work.ownerStamp[n] != builder.stamp)
            builder.frontier.push_back(n);
    }
}

} // namespace

void preparePartitionWork(PartitionWork& work, const MeshTables& mesh)
{
    const size_t T = mesh.triangles.size();
    work.mesh = &mesh;
    work.channelCount = uint32_t(mesh.channelValues.size());
    work.centres.resize(T * work.channelCount);
    for (size_t t = 0; t < T; ++t)
        for (uint32_t c = 0; c < work.channelCount; ++c)
            work.centres[t * work.channelCount + c] = triangleCentre(mesh.channelValues[c], mesh.triangles[t]);
    // Neighbour lists in one flat array: the sweeps walk them for every frontier entry.
    work.neighbourBegin.resize(T + 1);
    work.neighbourBegin[0] = 0;
    for (size_t t = 0; t < T; ++t)
        work.neighbourBegin[t + 1] = work.neighbourBegin[t] + uint32_t(mesh.neighbours[t].size());
    work.neighbourList.resize(work.neighbourBegin[T]);
    for (size_t t = 0; t < T; ++t)
        std::copy(mesh.neighbours[t].begin(), mesh.neighbours[t].end(), work.neighbourList.begin() + work.neighbourBegin[t]);
    work.assignment.assign(T, -1);
    work.ownerStamp.assign(T, 0);
    work.vertexStamp.assign(size_t(mesh.vertexCount), 0);
    work.nextStamp = 1;
    work.candidates.clear();
    work.nextFrontier.clear();
}

float scoreCandidate(const PartitionWork& work, const MeshletBuilder& builder, uint32_t t)
{
    const MeshTables& mesh = *work.mesh;
    if (work.assignment[t] != -1 || work.ownerStamp[t] == builder.stamp || mesh.triangleGroups[t] != builder.groupId)
        return 0.0f;
    float s = 0.01f;
    for (uint32_t k = work.neighbourBegin[t]; k < work.neighbourBegin[t + 1]; ++k)
        if (work.ownerStamp[work.neighbourList[k]] == builder.stamp)
            s += 1.0f;
    const float* centre = &work.centres[size_t(t) * work.channelCount];
    float d2 = 0.0f;
    for (uint32_t c = 0; c < work.channelCount; ++c) {
        const float d = centre[c] - builder.mean[c];
        d2 += d * d;
    }
    return s / (std::sqrt(d2) + 0.0001f);
}

bool growMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t triangleCap, uint32_t vertexCap)
{
    if (builder.frontier.empty())
        return true;
    const MeshTables& mesh = *work.mesh;
    while (builder.members.size() < triangleCap) {
        // Score the whole frontier once; entries scoring 0 leave it.
        work.candidates.clear();
        work.nextFrontier.clear();
        for (size_t k = 0; k < builder.frontier.size(); ++k) {
            const uint32_t t = builder.frontier[k];
            const float score = scoreCandidate(work, builder, t);
            if (score > 0.0f) {
                work.candidates.push_back({t, score, uint32_t(k)});
                work.nextFrontier.push_back(t);
            }
        }
        std::swap(builder.frontier, work.nextFrontier);
        if (work.candidates.empty())
            return true;

        // Descending score, equal scores in frontier order (a total order, so any sort gives it).
        std::sort(work.candidates.begin(), work.candidates.end(), [](const PartitionWork::Candidate& a, const PartitionWork::Candidate& b) {
            return a.score != b.score ? a.score > b.score : a.order < b.order;
        });

        // Add the best candidates with the scores of this sweep; one refused for the vertex cap
        // stays in the frontier for the next sweep.
        uint32_t added = 0;
        for (const PartitionWork::Candidate& candidate : work.candidates) {
            if (builder.members.size() >= triangleCap || added >= kMaxSweepAdditions)
                break;
            const uint32_t t = candidate.triangle;
            if (work.ownerStamp[t] == builder.stamp)
                continue;
            uint32_t newVertices = 0;
            for (uint32_t x : mesh.triangles[t])
                newVertices += work.vertexStamp[x] != builder.stamp ? 1u : 0u;
            if (uint64_t(builder.usedVertices) + newVertices > vertexCap)
                continue;
            addTriangle(work, builder, t);
            ++added;
        }
        if (added == 0)
            return true;
    }
    return false;
}

MeshletPartition buildMeshletPartition(const MeshTables& mesh, uint32_t firstPassCap, uint32_t keepMin, uint32_t triangleCap,
                                       uint32_t vertexCap, float boxScale)
{
    const size_t T = mesh.triangles.size();
    if (T == 0 || T > size_t(std::numeric_limits<int32_t>::max()))
        raiseError("the meshlet partition builder needs between 1 and 2147483647 triangles");
    if (mesh.triangleGroups.size() != T || mesh.neighbours.size() != T)
        raiseError("the mesh tables need one group id and one neighbour list per triangle");
    if (mesh.channelValues.size() < 3)
        raiseError("the meshlet partition builder needs the three position channels");
    // Either limit would make a seed take nothing, so the first pass would never advance.
    if (vertexCap < 3 || firstPassCap == 0)
        raiseError("meshlets need a vertex limit of at least 3 and a first-pass triangle limit of at least 1");

    PartitionWork work;
    preparePartitionWork(work, mesh);
    std::vector<uint8_t> seeded(T, 0);
    std::vector<uint8_t> covered(T, 0);
    uint32_t meshletCount = 0;
    int64_t remaining = int64_t(T);
    std::vector<MeshletBuilder> accepted;
    accepted.reserve(T / 16 + 1);
    MeshletBuilder scratch;

    // First pass: seeds in index order, skipping every triangle some first-pass meshlet took in.
    for (size_t i = 0; i < T;) {
        startMeshlet(work, scratch, uint32_t(i), meshletCount);
        growMeshlet(work, scratch, firstPassCap, vertexCap);
        if (scratch.members.empty())
            raiseError("a meshlet seeded in the first partition pass took no triangle");
        for (uint32_t t : scratch.members)
            seeded[t] = 1;
        if (scratch.members.size() >= keepMin) {
            for (uint32_t t : scratch.members)
                work.assignment[t] = int32_t(scratch.meshletIndex);
            accepted.push_back(scratch);
            ++meshletCount;
        }
        while (i < T && seeded[i])
            ++i;
    }

    // Second pass: the kept meshlets resume from their frontier and mean under a fresh stamp.
    for (MeshletBuilder& builder : accepted) {
        builder.stamp = takeStamp(work);
        builder.usedVertices = 0;
        for (uint32_t t : builder.members) {
            work.ownerStamp[t] = builder.stamp;
            for (uint32_t x : mesh.triangles[t]) {
                if (work.vertexStamp[x] != builder.stamp) {
                    work.vertexStamp[x] = builder.stamp;
                    ++builder.usedVertices;
                }
            }
        }
        growMeshlet(work, builder, triangleCap, vertexCap);
        for (uint32_t t : builder.members) {
            work.assignment[t] = int32_t(builder.meshletIndex);
            covered[t] = 1;
        }
        remaining -= int64_t(builder.members.size());
    }
    accepted.clear();
    accepted.shrink_to_fit();

    // Third pass: every triangle still outside a meshlet seeds one.
    for (size_t j = 0; remaining > 0;) {
        while (j < T && covered[j])
            ++j;
        if (j == T)
            break;
        startMeshlet(work, scratch, uint32_t(j), meshletCount);
        growMeshlet(work, scratch, triangleCap, vertexCap);
        if (scratch.members.empty())
            raiseError("a meshlet seeded in the third partition pass took no triangle");
        for (uint32_t t : scratch.members) {
            work.assignment[t] = int32_t(scratch.meshletIndex);
            covered[t] = 1;
        }
        ++meshletCount;
        remaining -= int64_t(scratch.members.size());
    }

    // Collection: meshlets listed in order of their lowest triangle, each with ascending triangles.
    std::vector<uint32_t> meshletSizes(meshletCount, 0);
    for (size_t t = 0; t < T; ++t) {
        if (work.assignment[t] < 0)
            raiseError("triangle " + std::to_string(t) + " was left without a meshlet");
        ++meshletSizes[size_t(work.assignment[t])];
    }
    std::vector<int32_t> listPosition(meshletCount, -1);
    MeshletList lists;
    lists.reserve(meshletCount);
    std::vector<uint32_t> listGroups;
    listGroups.reserve(meshletCount);
    for (size_t t = 0; t < T; ++t) {
        const size_t m = size_t(work.assignment[t]);
        if (listPosition[m] < 0) {
            listPosition[m] = int32_t(lists.size());
            lists.emplace_back();
            lists.back().reserve(meshletSizes[m]);
            listGroups.push_back(mesh.triangleGroups[t]);
        }
        lists[size_t(listPosition[m])].push_back(uint32_t(t));
    }
    work = PartitionWork();

    // Groups in ascending group id; within a group the lists keep their order. Small meshlets
    // are merged per group.
    std::vector<uint32_t> listOrder(lists.size());
    for (size_t k = 0; k < listOrder.size(); ++k)
        listOrder[k] = uint32_t(k);
    std::sort(listOrder.begin(), listOrder.end(),
              [&](uint32_t a, uint32_t b) { return listGroups[a] != listGroups[b] ? listGroups[a] < listGroups[b] : a < b; });

    MeshletPartition result;
    result.meshlets.reserve(lists.size());
    for (size_t begin = 0; begin < listOrder.size();) {
        size_t end = begin;
        MeshletList group;
        while (end < listOrder.size() && listGroups[listOrder[end]] == listGroups[listOrder[begin]])
            group.push_back(std::move(lists[listOrder[end++]]));
        MeshletList merged = reference::mergeSmallMeshlets(std::move(group), mesh, keepMin, triangleCap, boxScale);
        for (auto& meshlet : merged)
            result.meshlets.push_back(std::move(meshlet));
        begin = end;
    }

    // First-pass meshlets reach firstPassCap, merged ones triangleCap; nothing can be larger.
    const double sizeLimit = 1.5 * double(std::max(triangleCap, firstPassCap));
    for (const auto& meshlet : result.meshlets)
        if (double(meshlet.size()) > sizeLimit)
            raiseError("a meshlet of " + std::to_string(meshlet.size()) + " triangles exceeds the meshlet size limit");
    return result;
}


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
    pairsListed = std::max(pairsListed, pairs.size());

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


} // namespace reference

namespace {

using vmq::MeshletList;
using vmq::MeshTables;
using vmq::TriangleIndices;
using vmq_test::GridPoint;

struct GeneratedMesh {
    std::vector<GridPoint> vertices;
    std::vector<TriangleIndices> triangles;
    std::vector<uint32_t> groups;
};

// Meshes of the kinds that stress the builder and the merge, from one seed: a jittered grid,
// a fan whose triangles repeat (in runs or interleaved, some wound the other way), a few
// vertices shared by many triangles (some with a repeated corner), single triangles at a few
// coincident points, and a grid with repeats and strays mixed in.
GeneratedMesh generateMesh(std::mt19937& random, int kind)
{
    auto pick = [&](uint32_t n) { return uint32_t(random() % n); };
    GeneratedMesh mesh;
    auto addVertex = [&](int32_t x, int32_t y, int32_t z) {
        mesh.vertices.push_back({x, y, z});
        return uint32_t(mesh.vertices.size() - 1);
    };
    auto addGrid = [&](uint32_t width, uint32_t height, int32_t jitter) {
        const uint32_t first = uint32_t(mesh.vertices.size());
        for (uint32_t y = 0; y <= height; ++y)
            for (uint32_t x = 0; x <= width; ++x)
                addVertex(int32_t(x) * 16 + int32_t(pick(2 * jitter + 1)) - jitter, int32_t(y) * 16 + int32_t(pick(2 * jitter + 1)) - jitter,
                          int32_t(pick(jitter + 1)));
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t a = first + y * (width + 1) + x, b = a + 1, c = b + width + 1, d = a + width + 1;
                mesh.triangles.push_back({a, b, c});
                mesh.triangles.push_back({a, c, d});
            }
    };
    switch (kind) {
    case 0:
        addGrid(4 + pick(16), 4 + pick(16), int32_t(pick(8)));
        break;
    case 1: {
        const uint32_t spokes = 3 + pick(20), copies = 2 + pick(24);
        const uint32_t centre = addVertex(0, 0, 0);
        for (uint32_t i = 0; i <= spokes; ++i)
            addVertex(int32_t(100 * std::cos(0.2 * i)), int32_t(100 * std::sin(0.2 * i)), int32_t(pick(3)));
        const bool runs = pick(2) == 0;
        for (uint32_t n = 0; n < spokes * copies; ++n) {
            const uint32_t i = 1 + (runs ? n / copies : n % spokes);
            mesh.triangles.push_back(pick(8) == 0 ? TriangleIndices{centre, i + 1, i} : TriangleIndices{centre, i, i + 1});
        }
        break;
    }
    case 2: {
        const uint32_t vertexCount = 4 + pick(30), triangleCount = 20 + pick(300);
        for (uint32_t v = 0; v < vertexCount; ++v)
            addVertex(int32_t(pick(64)), int32_t(pick(64)), int32_t(pick(64)));
        for (uint32_t n = 0; n < triangleCount; ++n) {
            const uint32_t a = pick(vertexCount), b = pick(vertexCount);
            const uint32_t c = pick(6) == 0 ? a : pick(vertexCount);
            mesh.triangles.push_back({a, b, c});
        }
        break;
    }
    case 3: {
        const uint32_t points = 1 + pick(4), triangleCount = 10 + pick(400);
        std::vector<GridPoint> at;
        for (uint32_t p = 0; p < points; ++p)
            at.push_back({int32_t(pick(40)), int32_t(pick(40)), int32_t(pick(40))});
        for (uint32_t n = 0; n < triangleCount; ++n) {
            const GridPoint& p = at[pick(points)];
            // Mostly a triangle of no extent; some spread about the point, so their boxes hold it.
            const int32_t spread = pick(4) == 0 ? int32_t(pick(6)) : 0;
            const uint32_t a = addVertex(p[0] - spread, p[1], p[2]);
            const uint32_t b = addVertex(p[0] + spread, p[1], p[2]);
            const uint32_t c = addVertex(p[0], p[1], p[2]);
            mesh.triangles.push_back({a, b, c});
        }
        break;
    }
    default: {
        addGrid(3 + pick(12), 3 + pick(12), 2);
        const size_t base = mesh.triangles.size();
        for (uint32_t n = 0, extra = pick(uint32_t(base)); n < extra; ++n)
            mesh.triangles.push_back(mesh.triangles[pick(uint32_t(base))]);
        for (uint32_t n = 0, strays = pick(40); n < strays; ++n) {
            const uint32_t a = addVertex(int32_t(pick(100)), int32_t(pick(100)), 0);
            mesh.triangles.push_back({a, a, a});
        }
        std::shuffle(mesh.triangles.begin(), mesh.triangles.end(), random);
        break;
    }
    }
    const uint32_t groupCount = pick(3) == 0 ? 1 + pick(3) : 1;
    for (size_t t = 0; t < mesh.triangles.size(); ++t)
        mesh.groups.push_back(pick(groupCount));
    return mesh;
}

struct Limits {
    uint32_t firstPassCap, keepMin, triangleCap, vertexCap;
    float boxScale;
};

Limits generateLimits(std::mt19937& random)
{
    const uint32_t vertices[] = {3, 4, 8, 16, 32, 64, 64, 64, 128};
    const int32_t minTriangles[] = {0, 1, 2, 8, 32, 32, 40};
    const int32_t firstPass[] = {0, 2, 16, 64, 64, 100};
    const float scales[] = {4.0f, 4.0f, 0.0f, 1.0f, 0.5f, 100.0f, -1.0f, 1e38f, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()};
    const uint32_t v = vertices[random() % std::size(vertices)];
    return {uint32_t(firstPass[random() % std::size(firstPass)]) - 1u, uint32_t(minTriangles[random() % std::size(minTriangles)]) - 1u,
            v - 1, v, scales[random() % std::size(scales)]};
}

TEST(PartitionEquivalence, NeighboursFromTheEdgeListFollowTheDualGraph)
{
    std::mt19937 random(11);
    for (int round = 0; round < 40; ++round) {
        const GeneratedMesh generated = generateMesh(random, round % 5);
        const MeshTables tables = vmq_test::meshTables(generated.vertices, generated.triangles, generated.groups);
        vmq::PartitionWork work;
        vmq::preparePartitionWork(work, tables);
        for (uint32_t t = 0; t < tables.triangles.size(); ++t) {
            std::vector<uint32_t> walked;
            vmq::forEachNeighbour(work, t, [&](uint32_t n) { walked.push_back(n); });
            ASSERT_EQ(walked, std::vector<uint32_t>(tables.neighbours[t].begin(), tables.neighbours[t].end())) << "round " << round << ", triangle " << t;
        }
    }
}

TEST(PartitionEquivalence, GeneratedMeshesGiveTheReferencePartition)
{
    std::mt19937 random(5);
    int exactCases = 0;
    for (int round = 0; round < 200; ++round) {
        const GeneratedMesh generated = generateMesh(random, round % 5);
        const MeshTables tables = vmq_test::meshTables(generated.vertices, generated.triangles, generated.groups);
        const Limits l = generateLimits(random);
        const std::string which = "round " + std::to_string(round) + ": " + std::to_string(tables.triangles.size()) + " triangles, limits " +
                                  std::to_string(l.firstPassCap) + " " + std::to_string(l.keepMin) + " " + std::to_string(l.triangleCap) +
                                  " " + std::to_string(l.vertexCap) + " " + std::to_string(l.boxScale);
        reference::pairsListed = 0;
        const MeshletPartition expected = reference::buildMeshletPartition(tables, l.firstPassCap, l.keepMin, l.triangleCap, l.vertexCap, l.boxScale);
        const MeshletPartition built = vmq::buildMeshletPartition(tables, l.firstPassCap, l.keepMin, l.triangleCap, l.vertexCap, l.boxScale);
        // Beyond this many overlapping pairs in a group the merge may weigh fewer of them.
        if (reference::pairsListed <= 4096) {
            ++exactCases;
            ASSERT_EQ(built.meshlets, expected.meshlets) << which;
        } else {
            std::vector<uint32_t> uses(tables.triangles.size(), 0);
            for (const auto& meshlet : built.meshlets)
                for (uint32_t t : meshlet)
                    ++uses[t];
            ASSERT_EQ(std::count(uses.begin(), uses.end(), 1u), std::ptrdiff_t(uses.size())) << which;
        }
    }
    EXPECT_GT(exactCases, 160);
}

// The merge alone on meshlets at a few coincident points, with boxes of no extent, boxes about
// those points and strays, under every kind of box scale.
TEST(PartitionEquivalence, CoincidentBoxesMergeAsTheReference)
{
    std::mt19937 random(3);
    for (int round = 0; round < 300; ++round) {
        auto pick = [&](uint32_t n) { return uint32_t(random() % n); };
        const uint32_t pointCount = 1 + pick(3), meshletCount = 1 + pick(300);
        std::vector<GridPoint> points, at;
        for (uint32_t p = 0; p < pointCount; ++p)
            at.push_back({int32_t(pick(30)), int32_t(pick(30)), int32_t(pick(30))});
        MeshletList meshlets;
        for (uint32_t m = 0; m < meshletCount; ++m) {
            meshlets.emplace_back();
            const GridPoint& p = at[pick(pointCount)];
            const uint32_t size = pick(5) == 0 ? 1 + pick(12) : 1;
            const int32_t spread = int32_t(pick(4));
            for (uint32_t k = 0; k < size; ++k) {
                meshlets.back().push_back(uint32_t(points.size()));
                // Symmetric about the point, so the meshlet's box is centred on it.
                const int32_t offset = (k % 2 ? 1 : -1) * spread * int32_t(size > 1 && k + 1 < size + size % 2 ? 1 : 0);
                points.push_back(pick(10) == 0 ? GridPoint{int32_t(pick(60)), p[1], p[2]} : GridPoint{p[0] + offset, p[1], p[2]});
            }
        }
        const MeshTables tables = vmq_test::pointTables(points);
        const Limits l = generateLimits(random);
        const uint32_t keepMin = pick(3) == 0 ? 4 + pick(10) : l.keepMin;
        reference::pairsListed = 0;
        const MeshletList expected = reference::mergeSmallMeshlets(meshlets, tables, keepMin, l.triangleCap, l.boxScale);
        if (reference::pairsListed > 4096)
            continue;
        EXPECT_EQ(vmq::mergeSmallMeshlets(meshlets, tables, keepMin, l.triangleCap, l.boxScale), expected)
            << "round " << round << ", keepMin " << keepMin << ", cap " << l.triangleCap << ", scale " << l.boxScale;
    }
}

} // namespace
