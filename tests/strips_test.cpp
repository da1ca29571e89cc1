// Strip formation: greedy edge choice, alternating-path improvement, the walk and rotation.
#include "encoding/strips.h"

#include "test_meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <vector>

namespace {

using vmq::MeshTables;
using vmq::TriangleIndices;

MeshTables meshletOf(const std::vector<TriangleIndices>& triangles, std::vector<uint32_t> values = {})
{
    uint32_t vertexCount = 0;
    for (const TriangleIndices& t : triangles)
        vertexCount = std::max({vertexCount, t[0] + 1, t[1] + 1, t[2] + 1});
    values.resize(vertexCount, 0);
    MeshTables tables;
    tables.triangles = triangles;
    tables.channelValues = {values};
    tables.triangleGroups.assign(triangles.size(), 0);
    tables.triangleCount = triangles.size();
    tables.vertexCount = vertexCount;
    vmq::buildAdjacency(tables);
    return tables;
}

// The dual edge of neighbours a and b.
vmq::DualEdge& edgeOf(MeshTables& tables, uint32_t a, uint32_t b)
{
    const uint32_t e = vmq::findDualEdge(tables, a, b);
    EXPECT_NE(e, vmq::kNoDualEdge) << a << " and " << b << " are no neighbours";
    static vmq::DualEdge none{};
    return e == vmq::kNoDualEdge ? none : tables.dualEdges[e];
}

// A hand-made dual graph: the neighbour lists in their order, the dual edges in theirs.
void setDualGraph(MeshTables& tables, const std::vector<std::vector<uint32_t>>& lists, const std::vector<vmq::DualEdge>& edges)
{
    tables.dualEdges = edges;
    vmq::NeighbourLists& n = tables.neighbours;
    n.reset(lists.size());
    for (uint32_t t = 0; t < lists.size(); ++t) {
        for (uint32_t d : lists[t]) {
            uint32_t e = 0;
            while (e < edges.size() && !(edges[e].lowerTriangle == std::min(t, d) && edges[e].higherTriangle == std::max(t, d)))
                ++e;
            ASSERT_LT(e, edges.size()) << "no dual edge for " << t << " and " << d;
            n.triangles.push_back(d);
            n.edges.push_back(e);
        }
        n.begin[t + 1] = uint32_t(n.triangles.size());
    }
}

using Strips = std::vector<std::vector<TriangleIndices>>;

TEST(Strips, WorkedCases)
{
    const uint32_t a = 0, b = 1, c = 2, d = 3;
    struct Case {
        const char* name;
        std::vector<TriangleIndices> triangles;
        Strips strips;
    };
    const Case cases[] = {
        {"single triangle keeps its corner order", {{2, 0, 1}}, {{{2, 0, 1}}}},
        {"quad", {{a, b, c}, {b, d, c}}, {{{d, c, b}, {b, c, a}}}},
        {"no neighbours", {{0, 1, 2}, {3, 4, 5}, {0, 6, 7}}, {{{0, 1, 2}}, {{3, 4, 5}}, {{0, 6, 7}}}},
        // Fan around vertex 0: T0-T1-T2, T0 and T2 not adjacent.
        {"fan of three", {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}}, {{{4, 0, 3}, {3, 0, 2}, {2, 0, 1}}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        MeshTables tables = meshletOf(k.triangles);
        EXPECT_EQ(vmq::formStrips(tables, 8), k.strips);
    }
}

TEST(Strips, GreedySelectsBothBestNeighboursAtOnce)
{
    // T0 between T1 and T2: with degree 0 on all three, T0 takes both edges.
    MeshTables tables = meshletOf({{0, 1, 2}, {1, 0, 3}, {2, 1, 4}});
    vmq::StripScratch scratch;
    vmq::prepareStripScratch(tables, scratch);
    vmq::selectStripEdges(tables, scratch);
    EXPECT_EQ(edgeOf(tables, 0, 1).selected, 1);
    EXPECT_EQ(edgeOf(tables, 0, 2).selected, 1);
    EXPECT_EQ(scratch.degree, (std::vector<uint32_t>{2, 1, 1}));
}

TEST(Strips, GreedyPrefersAlikeValues)
{
    // T0 has three neighbours; the two whose corner values are closest to T0's win.
    std::vector<uint32_t> values = {10, 10, 10, 500, 11, 12};
    MeshTables tables = meshletOf({{0, 1, 2}, {1, 0, 3}, {2, 1, 4}, {0, 2, 5}}, values);
    vmq::StripScratch scratch;
    vmq::prepareStripScratch(tables, scratch);
    vmq::selectStripEdges(tables, scratch);
    EXPECT_EQ(edgeOf(tables, 0, 1).selected, 0);
    EXPECT_EQ(edgeOf(tables, 0, 2).selected, 1);
    EXPECT_EQ(edgeOf(tables, 0, 3).selected, 1);
}

TEST(Strips, ClosedRingIsCutWhereTheWalkReturned)
{
    // Six triangles around vertex 0, every dual edge selected.
    std::vector<TriangleIndices> ring;
    for (uint32_t i = 0; i < 6; ++i)
        ring.push_back({0, 1 + i, 1 + (i + 1) % 6});
    MeshTables tables = meshletOf(ring);
    vmq::StripScratch scratch;
    vmq::StripList strips;
    vmq::prepareStripScratch(tables, scratch);
    for (uint32_t e = 0; e < tables.dualEdges.size(); ++e)
        tables.dualEdges[e].selected = 1;
    vmq::extractStrips(tables, scratch, strips);
    ASSERT_EQ(strips.strips.size(), 1u);
    EXPECT_EQ(strips.sourceTriangles, (std::vector<uint32_t>{1, 0, 5, 4, 3, 2}));
}

TEST(Strips, AlternatingPathThroughSelectedEdges)
{
    // Dual graph a-b, b-c, c-d, b-e, c-f with b-c, b-e, c-f selected: the path a, b, c, d
    // adds one edge and keeps the inner degrees.
    MeshTables tables;
    tables.triangleCount = 6;
    tables.triangles.assign(6, {0, 1, 2});
    tables.channelValues = {{0, 0, 0}};
    const std::pair<uint32_t, uint32_t> pairs[] = {{0, 1}, {1, 2}, {2, 3}, {1, 4}, {2, 5}};
    std::vector<vmq::DualEdge> edges;
    for (auto [x, y] : pairs)
        edges.push_back({x, y, 0, 1, (x == 1 && y == 2) || (x == 1 && y == 4) || (x == 2 && y == 5)});
    setDualGraph(tables, {{1}, {0, 4, 2}, {1, 5, 3}, {2}, {1}, {2}}, edges);
    vmq::StripScratch scratch;
    vmq::prepareStripScratch(tables, scratch);
    vmq::improveStripEdges(tables, 8, scratch);
    EXPECT_EQ(edgeOf(tables, 0, 1).selected, 1);
    EXPECT_EQ(edgeOf(tables, 1, 2).selected, 0);
    EXPECT_EQ(edgeOf(tables, 2, 3).selected, 1);
    EXPECT_EQ(scratch.degree, (std::vector<uint32_t>{1, 2, 2, 1, 1, 1}));
}

// The stages written down literally: a full stable sort of the candidates, a recursive search
// over a std::set with its call budget, and every pass restarted from scratch.
void referenceSelect(MeshTables& tables, std::vector<uint32_t>& degree)
{
    const size_t channels = tables.channelValues.size();
    auto mean = [&](uint32_t t, size_t c) {
        const auto& v = tables.channelValues[c];
        const auto& p = tables.triangles[t];
        return ((0.0f + float(int32_t(v[p[0]]))) + float(int32_t(v[p[1]])) + float(int32_t(v[p[2]]))) / 3.0f;
    };
    degree.assign(size_t(tables.triangleCount), 0);
    for (uint32_t e = 0; e < tables.dualEdges.size(); ++e)
        tables.dualEdges[e].selected = 0;
    for (uint32_t c = 0; c < tables.triangleCount; ++c) {
        if (degree[c] >= 2)
            continue;
        std::vector<std::pair<float, uint32_t>> candidates;
        for (uint32_t d : tables.neighbours[c]) {
            if (degree[d] >= 2)
                continue;
            float s = 0.0f;
            for (size_t ch = 0; ch < channels; ++ch) {
                const float diff = mean(c, ch) - mean(d, ch);
                s += diff * diff;
            }
            candidates.push_back({1.0f / (s + 1e-6f), d});
        }
        std::stable_sort(candidates.begin(), candidates.end(), [](auto& x, auto& y) { return x.first > y.first; });
        const uint32_t k = 2 - degree[c];
        for (uint32_t i = 0; i < k && i < candidates.size(); ++i) {
            vmq::DualEdge& edge = edgeOf(tables, c, candidates[i].second);
            if (!edge.selected) {
                edge.selected = 1;
                ++degree[c];
                ++degree[candidates[i].second];
            }
        }
    }
}

void referenceImprove(MeshTables& tables, std::vector<uint32_t>& degree)
{
    for (int pass = 0; pass < 8; ++pass) {
        std::vector<uint32_t> path;
        for (uint32_t t = 0; t < tables.triangleCount && path.empty(); ++t) {
            if (degree[t] > 1)
                continue;
            std::set<uint32_t> onPath;
            int calls = 0;
            std::function<bool(uint32_t, int)> search = [&](uint32_t x, int arrival) {
                ++calls;
                if (onPath.count(x) || calls > 1024)
                    return false;
                path.push_back(x);
                onPath.insert(x);
                if (degree[x] <= 1 && arrival == 0 && path.size() >= 2)
                    return true;
                for (uint32_t y : tables.neighbours[x]) {
                    const int s = edgeOf(tables, x, y).selected;
                    if (s != arrival && search(y, s))
                        return true;
                }
                path.pop_back();
                onPath.erase(x);
                return false;
            };
            if (!search(t, 1))
                path.clear();
        }
        if (path.empty())
            return;
        for (size_t k = 0; k + 1 < path.size(); ++k) {
            vmq::DualEdge& edge = edgeOf(tables, path[k], path[k + 1]);
            edge.selected ^= 1;
            const uint32_t delta = edge.selected ? 1u : uint32_t(-1);
            degree[path[k]] += delta;
            degree[path[k + 1]] += delta;
        }
    }
}

std::vector<int32_t> selectedFlags(const MeshTables& tables)
{
    std::vector<int32_t> flags;
    for (uint32_t e = 0; e < tables.dualEdges.size(); ++e)
        flags.push_back(tables.dualEdges[e].selected);
    return flags;
}

TEST(Strips, MatchesLiteralStagesOnRealMeshlets)
{
    vmq_support::LoadedMesh loaded;
    VMQ_LOAD_SHARED_MESH("spot.obj", loaded);
    vmq_test::MeshInput input(loaded);
    CompressionSettings settings{};
    vmq::CompressionContext context;
    const MeshTables mesh = vmq_test::wholeMeshTables(input, settings, context);

    // Large meshlets give the path search many starts and spend its budget.
    size_t improvedMeshlets = 0;
    for (size_t size : {64, 700}) {
        const MeshletPartition partition = vmq_test::runPartition(mesh.triangleGroups, size);
        MeshTables meshlet;
        vmq::VertexMap map;
        vmq::StripScratch scratch;
        for (const auto& list : partition.meshlets) {
            vmq::extractMeshlet(meshlet, mesh, list, map);
            vmq::buildAdjacency(meshlet);
            vmq::prepareStripScratch(meshlet, scratch);
            vmq::selectStripEdges(meshlet, scratch);
            const std::vector<int32_t> greedy = selectedFlags(meshlet);
            vmq::improveStripEdges(meshlet, 8, scratch);
            const std::vector<int32_t> improved = selectedFlags(meshlet);
            improvedMeshlets += improved != greedy;

            std::vector<uint32_t> degree;
            referenceSelect(meshlet, degree);
            ASSERT_EQ(selectedFlags(meshlet), greedy);
            referenceImprove(meshlet, degree);
            ASSERT_EQ(selectedFlags(meshlet), improved);
        }
    }
    EXPECT_GT(improvedMeshlets, 0u);
}

TEST(Strips, PathSearchMatchesLiteralSearchOnRandomGraphs)
{
    // Random dual graphs of up to four neighbours per triangle with a greedy selection; many
    // failed searches are skipped in later passes.
    uint64_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t((seed >> 33) % n);
    };
    for (int round = 0; round < 6; ++round) {
        const uint32_t n = 300;
        MeshTables tables;
        tables.triangleCount = n;
        tables.triangles.assign(n, {0, 1, 2});
        tables.channelValues = {{0, 0, 0}};
        std::vector<std::vector<uint32_t>> lists(n);
        std::vector<vmq::DualEdge> edges;
        std::set<std::pair<uint32_t, uint32_t>> joined;
        for (int k = 0; k < 4 * int(n); ++k) {
            const uint32_t x = next(n), y = next(n);
            if (x == y || lists[x].size() >= 4 || lists[y].size() >= 4 || !joined.insert({std::min(x, y), std::max(x, y)}).second)
                continue;
            edges.push_back({std::min(x, y), std::max(x, y), 0, 1, 0});
            lists[x].push_back(y);
            lists[y].push_back(x);
        }
        setDualGraph(tables, lists, edges);
        std::vector<uint32_t> degree(n, 0);
        for (uint32_t e = 0; e < tables.dualEdges.size(); ++e) {
            vmq::DualEdge& edge = tables.dualEdges[e];
            if (degree[edge.lowerTriangle] < 2 && degree[edge.higherTriangle] < 2) {
                edge.selected = 1;
                ++degree[edge.lowerTriangle];
                ++degree[edge.higherTriangle];
            }
        }
        const std::vector<int32_t> start = selectedFlags(tables);
        vmq::StripScratch scratch;
        vmq::prepareStripScratch(tables, scratch);
        vmq::improveStripEdges(tables, 8, scratch);
        const std::vector<int32_t> improved = selectedFlags(tables);
        EXPECT_NE(improved, start);

        for (uint32_t e = 0; e < tables.dualEdges.size(); ++e)
            tables.dualEdges[e].selected = start[e];
        referenceImprove(tables, degree);
        EXPECT_EQ(selectedFlags(tables), improved) << "round " << round;
        EXPECT_EQ(degree, scratch.degree) << "round " << round;
    }
}

TEST(Strips, PathSearchBudget)
{
    // A chain c0 -u- c1 -s- c2 -u- ... -u- cL (u unselected, s selected), every inner ci also
    // holding a selected pendant listed first. The only path joins c0 and cL, and each search
    // makes 2 + 1.5 (L - 1) calls: L = 681 needs 1022 calls, L = 683 would need 1025.
    for (uint32_t length : {681u, 683u}) {
        SCOPED_TRACE(length);
        const uint32_t n = length + 1 + (length - 1);
        MeshTables tables;
        tables.triangleCount = n;
        tables.triangles.assign(n, {0, 1, 2});
        tables.channelValues = {{0, 0, 0}};
        std::vector<std::vector<uint32_t>> lists(n);
        std::vector<vmq::DualEdge> edges;
        auto link = [&](uint32_t x, uint32_t y, int32_t selected) { edges.push_back({std::min(x, y), std::max(x, y), 0, 1, selected}); };
        for (uint32_t k = 0; k <= length; ++k) {
            const uint32_t pendant = length + k;
            if (k >= 1 && k < length) {
                lists[k].push_back(pendant);
                lists[pendant].push_back(k);
                link(k, pendant, 1);
            }
            if (k >= 1)
                lists[k].push_back(k - 1);
            if (k < length) {
                lists[k].push_back(k + 1);
                link(k, k + 1, int32_t(k % 2));
            }
        }
        setDualGraph(tables, lists, edges);
        const std::vector<int32_t> start = selectedFlags(tables);
        vmq::StripScratch scratch;
        vmq::prepareStripScratch(tables, scratch);
        vmq::improveStripEdges(tables, 8, scratch);
        const std::vector<int32_t> improved = selectedFlags(tables);
        EXPECT_EQ(improved != start, length == 681);

        std::vector<uint32_t> degree(n, 0);
        for (uint32_t e = 0; e < tables.dualEdges.size(); ++e) {
            vmq::DualEdge& edge = tables.dualEdges[e];
            edge.selected = start[e];
            degree[edge.lowerTriangle] += uint32_t(edge.selected);
            degree[edge.higherTriangle] += uint32_t(edge.selected);
        }
        referenceImprove(tables, degree);
        EXPECT_EQ(selectedFlags(tables), improved);
    }
}

} // namespace
