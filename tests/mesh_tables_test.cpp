// Whole-mesh and meshlet tables: first-use renumbering, dual-graph rules, meshlet extraction.
#include "encoding/mesh_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    tables.neighbours.assign(triangles.size(), {});
    vmq::buildAdjacency(tables);
    return tables;
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
            EXPECT_EQ(tables.neighbours[t], c.neighbours[t]) << "triangle " << t;
    }
}

// A fan of 40 triangles gives vertex 0 a run of 80 edge entries, more than the short runs that
// are ordered in place; repeated corners give equal entries of one triangle.
TEST(MeshTables, EdgeListOrderedByKeyThenTriangleInLongRuns)
{
    std::vector<TriangleIndices> triangles;
    for (uint32_t i = 1; i <= 40; ++i)
        triangles.push_back({0, i, i + 1});
    triangles.push_back({0, 0, 50});
    triangles.push_back({3, 9, 3});
    const MeshTables tables = tablesOf(triangles, 64);

    std::vector<std::pair<uint64_t, uint32_t>> expected;
    for (uint32_t t = 0; t < tables.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            expected.push_back({vmq::pairKey(tables.triangles[t][k], tables.triangles[t][(k + 1) % 3]), t});
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(tables.edgeList.size(), expected.size());
    for (size_t e = 0; e < expected.size(); ++e) {
        EXPECT_EQ(tables.edgeList[e].edgeKey, expected[e].first) << "entry " << e;
        EXPECT_EQ(tables.edgeList[e].triangle, expected[e].second) << "entry " << e;
    }
    EXPECT_EQ(tables.neighbours[0], (std::vector<uint32_t>{1}));
    for (uint32_t i = 1; i < 39; ++i)
        EXPECT_EQ(tables.neighbours[i], (std::vector<uint32_t>{i - 1, i + 1})) << "triangle " << i;
    EXPECT_EQ(tables.neighbours[39], (std::vector<uint32_t>{38}));
    EXPECT_EQ(tables.dualEdges.size(), 39u);
}

TEST(MeshTables, DualEdgeRecordsSharedEdge)
{
    MeshTables tables = tablesOf({{5, 9, 7}, {5, 7, 3}});
    // Renumbered: 5 -> 0, 9 -> 1, 7 -> 2, 3 -> 3; the shared edge is {0, 2}.
    const vmq::DualEdge& edge = tables.dualEdges.at(vmq::pairKey(1, 0));
    EXPECT_EQ(edge.lowerTriangle, 0u);
    EXPECT_EQ(edge.higherTriangle, 1u);
    EXPECT_EQ(edge.lowerVertex, 0u);
    EXPECT_EQ(edge.higherVertex, 2u);
    EXPECT_EQ(edge.selected, 0);
    EXPECT_EQ(tables.dualEdges.size(), 1u);
    EXPECT_THROW(tables.dualEdges.at(vmq::pairKey(0, 5)), std::runtime_error);
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
