#include "partition/meshlet_merge.h"

#include "partition_test_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

using vmq::MeshletList;

namespace {

// Meshlets given as the x coordinates of their triangles' centres (y = z = 0); triangles are
// numbered consecutively over the meshlets.
struct MergeCase {
    const char* name;
    std::vector<std::vector<int32_t>> meshletXs;
    uint32_t keepMin;
    uint32_t triangleCap;
    float boxScale;
    MeshletList expected;
};

MeshletList runMerge(const MergeCase& c)
{
    std::vector<vmq_test::GridPoint> points;
    MeshletList meshlets;
    for (const auto& xs : c.meshletXs) {
        meshlets.emplace_back();
        for (int32_t x : xs) {
            meshlets.back().push_back(uint32_t(points.size()));
            points.push_back({x, 0, 0});
        }
    }
    const vmq::MeshTables tables = vmq_test::pointTables(points);
    return vmq::mergeSmallMeshlets(meshlets, tables, c.keepMin, c.triangleCap, c.boxScale);
}

const MergeCase kMergeCases[] = {
    {"no small meshlet comes back unchanged", {{0, 10}, {0, 10, 20}}, 2, 100, 4.0f, {{0, 1}, {2, 3, 4}}},
    {"a single small meshlet comes back unchanged", {{0, 10}, {0, 10, 20}}, 3, 100, 4.0f, {{0, 1}, {2, 3, 4}}},
    {"small meshlets that overlap nothing come back unchanged", {{0, 10}, {100, 110}}, 3, 100, 1.0f, {{0, 1}, {2, 3}}},
    {"totals of exactly the cap merge", {{-5, 5}, {5, 15, 25}}, 4, 5, 4.0f, {{0, 1, 2, 3, 4}}},
    {"one triangle over the cap does not merge", {{-5, 5}, {5, 15, 25}}, 4, 4, 4.0f, {{0, 1}, {2, 3, 4}}},
    {"chain: the nearer pair joins first, the third stays out of the cap", {{-5, 5}, {5, 15}, {20, 30}}, 3, 4, 4.0f,
     {{0, 1, 2, 3}, {4, 5}}},
    {"chain: the third joins when all three fit", {{-5, 5}, {5, 15}, {20, 30}}, 3, 6, 4.0f, {{0, 1, 2, 3, 4, 5}}},
    {"chain in reverse positions: the pair sits at its lowest member", {{20, 30}, {5, 15}, {-5, 5}}, 3, 4, 4.0f,
     {{0, 1}, {2, 3, 4, 5}}},
    {"a one-triangle meshlet pairs with a box that holds its point", {{0, 10}, {7}}, 3, 100, 1.0f, {{0, 1, 2}}},
    {"a one-triangle meshlet has no size whatever the scale", {{7}, {20}}, 3, 100, 1000.0f, {{0}, {1}}},
    {"box scale 0 pairs exactly equal centres", {{-5, 5}, {-1, 1}, {-4, 6}}, 3, 100, 0.0f, {{0, 1, 2, 3}, {4, 5}}},
    {"box scale 1 gives exact bounds; touching boxes pair", {{0, 10}, {10, 20}}, 3, 100, 1.0f, {{0, 1, 2, 3}}},
    {"box scale 1 gives exact bounds; a gap of one does not pair", {{0, 10}, {11, 21}}, 3, 100, 1.0f, {{0, 1}, {2, 3}}},
    {"a large meshlet between two small ones keeps its place", {{0, 10}, {0, 5, 10}, {5, 15}}, 3, 100, 4.0f,
     {{0, 1, 5, 6}, {2, 3, 4}}},
};

class MergeCases : public testing::TestWithParam<MergeCase> {};

TEST_P(MergeCases, GiveTheExpectedMeshlets)
{
    EXPECT_EQ(runMerge(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(SmallMeshletMerge, MergeCases, testing::ValuesIn(kMergeCases),
                         [](const testing::TestParamInfo<MergeCase>& info) { return "case" + std::to_string(info.index); });

TEST(SmallMeshletMerge, MergedMeshletsListTheirMembersOneAfterTheOther)
{
    // Meshlet positions 0 and 1 hold triangles {0, 3} and {1, 2}: the merge is not re-sorted.
    const vmq::MeshTables tables = vmq_test::pointTables({{0, 0, 0}, {4, 0, 0}, {6, 0, 0}, {10, 0, 0}});
    const MeshletList merged = vmq::mergeSmallMeshlets({{0, 3}, {1, 2}}, tables, 3, 10, 1.0f);
    EXPECT_EQ(merged, (MeshletList{{0, 3, 1, 2}}));
}

TEST(SmallMeshletMerge, DistanceUsesAllThreeAxes)
{
    // From A at the origin, B is nearer on x alone but C is nearer in space; A and C join.
    const vmq::MeshTables tables =
        vmq_test::pointTables({{-5, -5, -5}, {5, 5, 5}, {-3, 4, -5}, {7, 14, 5}, {-1, -5, 2}, {9, 5, 12}});
    const MeshletList merged = vmq::mergeSmallMeshlets({{0, 1}, {2, 3}, {4, 5}}, tables, 3, 4, 100.0f);
    EXPECT_EQ(merged, (MeshletList{{0, 1, 4, 5}, {2, 3}}));
}

TEST(SmallMeshletMerge, NonFiniteBoxScalesKeepEveryTriangleOnce)
{
    const vmq::MeshTables tables = vmq_test::pointTables({{0, 0, 0}, {10, 0, 0}, {5, 0, 0}, {20, 0, 0}, {7, 0, 0}});
    for (float scale : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN(), 1e38f, -1.0f}) {
        const MeshletList merged = vmq::mergeSmallMeshlets({{0, 1}, {2, 3}, {4}}, tables, 3, 100, scale);
        std::multiset<uint32_t> seen;
        for (const auto& meshlet : merged)
            seen.insert(meshlet.begin(), meshlet.end());
        EXPECT_EQ(seen, (std::multiset<uint32_t>{0, 1, 2, 3, 4})) << "scale " << scale;
    }
}

TEST(BoxTree, ReportsExactlyTheOverlappingPairs)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(-50, 50), extent(0, 12), kind(0, 9);
    for (int round = 0; round < 20; ++round) {
        const size_t M = 1 + size_t(round) * 7;
        vmq::BoxTree tree;
        for (size_t p = 0; p < M; ++p) {
            vmq::MergeBox box{};
            const int k = kind(random);
            for (int a = 0; a < 3; ++a) {
                const float lo = float(coordinate(random));
                box.min[a] = lo;
                box.max[a] = lo + float(extent(random));
            }
            if (k == 0) // empty box of a meshlet that is not small
                box = {{3.4028235e38f, 3.4028235e38f, 3.4028235e38f}, {-3.4028235e38f, -3.4028235e38f, -3.4028235e38f}};
            if (k == 1)
                box.min[1] = box.max[1] = std::numeric_limits<float>::quiet_NaN();
            tree.boxes.push_back(box);
            for (int a = 0; a < 3; ++a)
                tree.centres.push_back((box.min[a] + box.max[a]) * 0.5f);
        }
        std::set<std::pair<int32_t, int32_t>> expected;
        for (size_t i = 0; i < M; ++i)
            for (size_t j = i + 1; j < M; ++j)
                if (vmq::boxesOverlap(tree.boxes[i], tree.boxes[j]))
                    expected.insert({int32_t(i), int32_t(j)});

        tree.nodes.reserve(2 * M);
        std::vector<int32_t> indices(M);
        for (size_t p = 0; p < M; ++p)
            indices[p] = int32_t(p);
        const int32_t root = vmq::buildBoxTree(tree, indices, 0, int32_t(M));
        std::vector<std::pair<int32_t, int32_t>> pairs;
        vmq::listOverlappingPairs(tree, root, root, pairs);
        const std::set<std::pair<int32_t, int32_t>> found(pairs.begin(), pairs.end());
        EXPECT_EQ(found.size(), pairs.size()) << "a pair was reported twice";
        EXPECT_EQ(found, expected) << M << " boxes";
    }
}

} // namespace
