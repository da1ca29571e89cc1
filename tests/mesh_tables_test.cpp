// Whole-mesh and meshlet tables: first-use renumbering, dual-graph rules, meshlet extraction.
#include "encoding/mesh_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace {

using vmq::MeshTables;
using vmq::TriangleIndices;

MeshTables tablesOf(const std::vector<TriangleIndices>& triangles, uint32_t vertexCount = 16)
{
    std::vector<uint32_t> channel(vertexCount);
    for (uint32_t v = 0; v < vertexCount; ++v)
        channel[v] = 100 + v;
    MeshTables tables;
    vmq::buildMeshTables(tables, triangles, {channel});
    tables.triangleGroups.assign(triangles.size(), 0);
    tables.triangleCount = tables.triangles.size();
    tables.vertexCount = tables.channelValues[0].size();
    vmq::buildAdjacency(tables);
    return tables;
}

std::vector<uint32_t> neighboursOf(const MeshTables& tables, uint32_t t)
{
    return std::vector<uint32_t>(tables.neighbours[t].begin(), tables.neighbours[t].end());
}

// The dual graph as the rules read, literally: every edge entry sorted by (key, triangle), every
// pair of a run's entries visited, a map refusing pairs seen before.
struct LiteralAdjacency {
    std::vector<vmq::DualEdge> edges; // in insertion order
    std::vector<std::vector<uint32_t>> neighbours;
};

LiteralAdjacency literalAdjacency(const std::vector<TriangleIndices>& triangles)
{
    auto forward = [](const TriangleIndices& t, uint32_t lo, uint32_t hi) {
        return (t[0] == lo && t[1] == hi) || (t[1] == lo && t[2] == hi) || (t[2] == lo && t[0] == hi);
    };
    std::vector<std::pair<uint64_t, uint32_t>> entries;
    for (uint32_t t = 0; t < triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            entries.push_back({vmq::pairKey(triangles[t][k], triangles[t][(k + 1) % 3]), t});
    std::sort(entries.begin(), entries.end());
    LiteralAdjacency out;
    out.neighbours.resize(triangles.size());
    std::map<std::pair<uint32_t, uint32_t>, size_t> seen;
    for (size_t begin = 0; begin < entries.size();) {
        size_t end = begin;
        while (end < entries.size() && entries[end].first == entries[begin].first)
            ++end;
        const uint32_t lo = uint32_t(entries[begin].first >> 32), hi = uint32_t(entries[begin].first);
        for (size_t x = begin; x < end; ++x) {
            for (size_t y = x + 1; y < end; ++y) {
                const uint32_t b = entries[x].second, c = entries[y].second;
                const TriangleIndices &tb = triangles[b], &tc = triangles[c];
                if (forward(tb, lo, hi) == forward(tc, lo, hi))
                    continue;
                int shared = 0;
                for (int k = 0; k < 3; ++k)
                    shared += std::count(tc.begin(), tc.end(), tb[k]) > 0;
                if (shared == 3 || !seen.insert({{std::min(b, c), std::max(b, c)}, out.edges.size()}).second)
                    continue;
                out.edges.push_back({std::min(b, c), std::max(b, c), lo, hi, 0});
                out.neighbours[b].push_back(c);
                out.neighbours[c].push_back(b);
            }
        }
        begin = end;
    }
    return out;
}

void expectLiteralAdjacency(const std::vector<TriangleIndices>& triangles, uint32_t vertexCount)
{
    const MeshTables tables = tablesOf(triangles, vertexCount);
    const LiteralAdjacency literal = literalAdjacency(tables.triangles);
    ASSERT_EQ(tables.dualEdges.size(), literal.edges.size());
    for (size_t e = 0; e < literal.edges.size(); ++e) {
        const vmq::DualEdge &got = tables.dualEdges[e], &want = literal.edges[e];
        EXPECT_EQ(std::vector<uint32_t>({got.lowerTriangle, got.higherTriangle, got.lowerVertex, got.higherVertex}),
                  std::vector<uint32_t>({want.lowerTriangle, want.higherTriangle, want.lowerVertex, want.higherVertex}))
            << "dual edge " << e;
    }
    for (uint32_t t = 0; t < triangles.size(); ++t) {
        EXPECT_EQ(neighboursOf(tables, t), literal.neighbours[t]) << "triangle " << t;
        for (uint32_t d : tables.neighbours[t]) {
            const uint32_t e = vmq::findDualEdge(tables, t, d);
            ASSERT_LT(e, tables.dualEdges.size());
            EXPECT_EQ(std::min(t, d), tables.dualEdges[e].lowerTriangle);
            EXPECT_EQ(std::max(t, d), tables.dualEdges[e].higherTriangle);
        }
    }
}

TEST(MeshTables, RenumbersByFirstUseAndDropsUnusedVertices)
{
    MeshTables tables = tablesOf({{7, 8, 9}});
    EXPECT_EQ(tables.triangles[0], (TriangleIndices{0, 1, 2}));
    EXPECT_EQ(tables.channelValues[0], (std::vector<uint32_t>{107, 108, 109}));

    tables = tablesOf({{5, 2, 9}, {2, 5, 1}});
    EXPECT_EQ(tables.triangles[1], (TriangleIndices{1, 0, 3}));
    EXPECT_EQ(tables.channelValues[0], (std::vector<uint32_t>{105, 102, 109, 101}));
}

TEST(MeshTables, NeighbourRules)
{
    struct Case {
        const char* name;
        std::vector<TriangleIndices> triangles;
        std::vector<std::vector<uint32_t>> neighbours;
    };
    const Case cases[] = {
        {"opposite traversal", {{0, 1, 2}, {0, 2, 3}}, {{1}, {0}}},
        {"same direction", {{0, 1, 2}, {0, 1, 3}}, {{}, {}}},
        {"same vertex set", {{0, 1, 2}, {0, 2, 1}}, {{}, {}}},
        // T0 traverses 0->1, T1 and T2 traverse 1->0.
        {"three on one edge", {{0, 1, 2}, {1, 0, 3}, {1, 0, 4}}, {{1, 2}, {0}, {0}}},
        {"degenerate", {{0, 0, 1}}, {{}}},
        // B's corners counted among C's, B the earlier triangle: (0,0,2) has all its corners
        // in (0,1,2), so the pair is skipped; in the other order only two of three are found.
        {"repeated corner, earlier", {{0, 0, 2}, {0, 1, 2}}, {{}, {}}},
        {"repeated corner, later", {{0, 1, 2}, {0, 0, 2}}, {{1}, {0}}},
        // Lists follow the shared edge's key: {0,1} < {0,2} < {1,2}.
        {"edge-key order", {{0, 1, 2}, {2, 1, 3}, {1, 0, 4}, {0, 2, 5}}, {{2, 3, 1}, {0}, {0}, {0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MeshTables tables = tablesOf(c.triangles);
        for (size_t t = 0; t < c.triangles.size(); ++t)
            EXPECT_EQ(neighboursOf(tables, t), c.neighbours[t]) << "triangle " << t;
    }
}

// A fan of 40 triangles gives vertex 0 a run of 80 edge entries, more than the short runs that
// are ordered in place; repeated corners give equal entries of one triangle.
TEST(MeshTables, AdjacencyFollowsTheLiteralRules)
{
    std::vector<TriangleIndices> fan;
    for (uint32_t i = 1; i <= 40; ++i)
        fan.push_back({0, i, i + 1});
    fan.push_back({0, 0, 50});
    fan.push_back({3, 9, 3});
    {
        SCOPED_TRACE("fan");
        expectLiteralAdjacency(fan, 64);
        const MeshTables tables = tablesOf(fan, 64);
        EXPECT_EQ(neighboursOf(tables, 0), (std::vector<uint32_t>{1}));
        EXPECT_EQ(neighboursOf(tables, 39), (std::vector<uint32_t>{38}));
        EXPECT_EQ(tables.dualEdges.size(), 39u);
    }
    // Few vertices for many triangles: edges of many triangles, both windings, repeated corners
    // (a triangle listing one edge twice, (a, b, a)) and repeated triangles.
    uint64_t seed = 99;
    auto next = [&](uint32_t n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t((seed >> 33) % n);
    };
    for (uint32_t vertices : {4u, 6u, 12u}) {
        SCOPED_TRACE(vertices);
        std::vector<TriangleIndices> triangles;
        for (int t = 0; t < 120; ++t)
            triangles.push_back({next(vertices), next(vertices), next(vertices)});
        expectLiteralAdjacency(triangles, vertices);
    }
}

TEST(MeshTables, DualEdgeRecordsSharedEdge)
{
    MeshTables tables = tablesOf({{5, 9, 7}, {5, 7, 3}});
    // Renumbered: 5 -> 0, 9 -> 1, 7 -> 2, 3 -> 3; the shared edge is {0, 2}.
    ASSERT_EQ(vmq::findDualEdge(tables, 1, 0), 0u);
    ASSERT_EQ(vmq::findDualEdge(tables, 0, 1), 0u);
    const vmq::DualEdge& edge = tables.dualEdges[0];
    EXPECT_EQ(edge.lowerTriangle, 0u);
    EXPECT_EQ(edge.higherTriangle, 1u);
    EXPECT_EQ(edge.lowerVertex, 0u);
    EXPECT_EQ(edge.higherVertex, 2u);
    EXPECT_EQ(edge.selected, 0);
    EXPECT_EQ(tables.dualEdges.size(), 1u);
    EXPECT_EQ(vmq::findDualEdge(tables, 0, 0), vmq::kNoDualEdge);
}

TEST(MeshTables, MeshletsNumberSharedVerticesOnTheirOwn)
{
    MeshTables mesh = tablesOf({{0, 1, 2}, {2, 1, 3}, {3, 1, 4}, {4, 5, 3}});
    MeshTables meshlet;
    vmq::VertexMap map;
    const std::vector<std::pair<std::vector<uint32_t>, std::vector<TriangleIndices>>> cases = {
        {{0, 1, 2}, {{0, 1, 2}, {2, 1, 3}, {3, 1, 4}}},
        {{3, 2}, {{0, 1, 2}, {2, 3, 0}}},
        {{1}, {{0, 1, 2}}},
    };
    for (const auto& [list, triangles] : cases) {
        vmq::extractMeshlet(meshlet, mesh, list, map);
        vmq::buildAdjacency(meshlet);
        EXPECT_EQ(meshlet.triangles, triangles);
        EXPECT_EQ(meshlet.triangleCount, list.size());
        for (uint32_t l = 0; l < meshlet.vertexCount; ++l)
            EXPECT_EQ(meshlet.channelValues[0][l], mesh.channelValues[0][map.wholeVertices[l]]);
        for (size_t t = list.size(); t < meshlet.neighbours.size(); ++t)
            EXPECT_TRUE(meshlet.neighbours[t].empty());
    }
    // The last meshlet, one triangle, has no neighbours left over from the earlier ones.
    EXPECT_TRUE(meshlet.neighbours[0].empty());
    EXPECT_EQ(meshlet.dualEdges.size(), 0u);
}

} // namespace
