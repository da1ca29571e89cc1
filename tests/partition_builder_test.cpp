#include "partition/partition_builder.h"

#include "mesh_io.h"
#include "mesh_tables_input.h"
#include "partition_test_tables.h"
#include "shared_mesh.h"
#include "core/error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

using vmq::MeshletBuilder;
using vmq::MeshTables;
using vmq::PartitionWork;

namespace {

// The limits as the driver derives them from the settings.
MeshletPartition buildWithSettings(const MeshTables& tables, const CompressionSettings& s)
{
    return vmq::buildMeshletPartition(tables, uint32_t(s.firstPassMeshletTriangles) - 1u, uint32_t(s.minMeshletTriangles) - 1u,
                                      s.maxMeshletVertices - 1u, s.maxMeshletVertices, s.meshletMergeBoxScale);
}

CompressionSettings settingsWith(uint32_t maxVertices, int32_t minTriangles, int32_t firstPass, float boxScale = 4.0f)
{
    CompressionSettings s{};
    s.maxMeshletVertices = maxVertices;
    s.minMeshletTriangles = minTriangles;
    s.firstPassMeshletTriangles = firstPass;
    s.meshletMergeBoxScale = boxScale;
    return s;
}

uint32_t distinctVertices(const MeshTables& tables, const std::vector<uint32_t>& meshlet)
{
    std::vector<uint32_t> vertices;
    for (uint32_t t : meshlet)
        vertices.insert(vertices.end(), tables.triangles[t].begin(), tables.triangles[t].end());
    std::sort(vertices.begin(), vertices.end());
    return uint32_t(std::unique(vertices.begin(), vertices.end()) - vertices.begin());
}

// Every triangle in exactly one meshlet, one group per meshlet, groups in ascending order,
// at most maxTriangles triangles per meshlet and, when vertexCap is not 0, at most vertexCap
// vertices.
void expectValidPartition(const MeshTables& tables, const MeshletPartition& partition, size_t maxTriangles, uint32_t vertexCap)
{
    std::vector<uint32_t> uses(tables.triangles.size(), 0);
    uint32_t previousGroup = 0;
    for (size_t m = 0; m < partition.meshlets.size(); ++m) {
        const std::vector<uint32_t>& meshlet = partition.meshlets[m];
        ASSERT_FALSE(meshlet.empty()) << "meshlet " << m;
        const uint32_t group = tables.triangleGroups[meshlet[0]];
        EXPECT_GE(group, previousGroup) << "meshlet " << m << ": groups out of order";
        previousGroup = group;
        EXPECT_LE(meshlet.size(), maxTriangles) << "meshlet " << m;
        for (uint32_t t : meshlet) {
            ASSERT_LT(t, uses.size());
            ++uses[t];
            EXPECT_EQ(tables.triangleGroups[t], group) << "meshlet " << m << " mixes groups";
        }
        if (vertexCap) {
            EXPECT_LE(distinctVertices(tables, meshlet), vertexCap) << "meshlet " << m;
        }
    }
    EXPECT_EQ(std::count(uses.begin(), uses.end(), 1u), std::ptrdiff_t(uses.size())) << "a triangle is missing or repeated";
}

// Meshlets that no merge touched: ascending triangles, and within a group in order of their
// lowest triangle.
void expectCollectionOrder(const MeshTables& tables, const MeshletPartition& partition)
{
    std::map<uint32_t, uint32_t> lowestOfGroup;
    for (const auto& meshlet : partition.meshlets) {
        EXPECT_TRUE(std::is_sorted(meshlet.begin(), meshlet.end()));
        const uint32_t group = tables.triangleGroups[meshlet[0]];
        auto [it, first] = lowestOfGroup.emplace(group, meshlet[0]);
        if (!first) {
            EXPECT_GT(meshlet[0], it->second);
            it->second = meshlet[0];
        }
    }
}

// A fresh meshlet seeded with `seed`, as the passes create it.
MeshletBuilder seededBuilder(PartitionWork& work, uint32_t seed)
{
    MeshletBuilder builder;
    vmq::startMeshlet(work, builder, seed, 0);
    return builder;
}

// ---------------------------------------------------------------------------------------------
// Scores

// A strip of three triangles: the middle one (1) has neighbours 0 and 2.
MeshTables stripOfThree()
{
    return vmq_test::meshTables({{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {3, 3, 0}, {0, 6, 0}}, {{0, 1, 2}, {2, 1, 3}, {2, 3, 4}}, {0, 0, 0});
}

struct ScoreCase {
    std::vector<uint32_t> inMeshlet; // triangles added to the meshlet
    float distance;                  // of triangle 1's centre from the mean, along x
    double expected;
    double tolerance;
};

TEST(CandidateScore, FollowsNeighboursAndDistance)
{
    const MeshTables tables = stripOfThree();
    ASSERT_EQ(std::vector<uint32_t>(tables.neighbours[1].begin(), tables.neighbours[1].end()), (std::vector<uint32_t>{0, 2}));
    const ScoreCase cases[] = {
        {{0, 2}, 1.0f, 2.0098, 1e-4},  // 2.01 / 1.0001
        {{}, 0.0f, 100.0, 1e-3},       // 0.01 / 0.0001
        {{0}, 100.0f, 0.0101, 1e-6},   // 1.01 / 100.0001
        {{}, 100.0f, 0.0001, 1e-7},    // 0.01 / 100.0001
    };
    for (const ScoreCase& c : cases) {
        PartitionWork work;
        vmq::preparePartitionWork(work, tables);
        MeshletBuilder builder = seededBuilder(work, 0);
        for (uint32_t t : c.inMeshlet)
            vmq::addTriangle(work, builder, t);
        for (uint32_t ch = 0; ch < 3; ++ch)
            builder.mean[ch] = work.centres[3 + ch];
        builder.mean[0] += c.distance;
        EXPECT_NEAR(vmq::scoreCandidate(work, builder, 1), c.expected, c.tolerance) << c.distance;
    }
}

TEST(CandidateScore, IsZeroForTakenOwnOrForeignTriangles)
{
    MeshTables tables = stripOfThree();
    PartitionWork work;
    vmq::preparePartitionWork(work, tables);
    MeshletBuilder builder = seededBuilder(work, 0);
    EXPECT_GT(vmq::scoreCandidate(work, builder, 1), 0.0f);

    work.assignment[1] = 0;
    EXPECT_EQ(vmq::scoreCandidate(work, builder, 1), 0.0f);
    work.assignment[1] = -1;
    work.ownerStamp[1] = builder.stamp;
    EXPECT_EQ(vmq::scoreCandidate(work, builder, 1), 0.0f);
    work.ownerStamp[1] = 0;
    tables.triangleGroups[1] = 7;
    EXPECT_EQ(vmq::scoreCandidate(work, builder, 1), 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Growth

// Triangle 0 shares its edge {0, 1} with ten triangles 1..10 (not with each other), whose
// centres lie at x = 1, 2, 3, 4, 5, 6, -7, -8, -9, 7 from triangle 0's centre.
MeshTables fanOnOneEdge()
{
    std::vector<vmq_test::GridPoint> vertices = {{0, 0, 0}, {0, 3, 0}, {0, 0, 0}};
    std::vector<vmq::TriangleIndices> triangles = {{0, 1, 2}};
    for (int32_t x : {3, 6, 9, 12, 15, 18, -21, -24, -27, 21}) {
        triangles.push_back({1, 0, uint32_t(vertices.size())});
        vertices.push_back({x, 0, 0});
    }
    return vmq_test::meshTables(vertices, triangles);
}

TEST(GrowMeshlet, AddsAtMostSixPerSweepWithTheSweepsScores)
{
    const MeshTables tables = fanOnOneEdge();
    ASSERT_EQ(tables.neighbours[0].size(), 10u);
    PartitionWork work;
    vmq::preparePartitionWork(work, tables);
    MeshletBuilder builder = seededBuilder(work, 0);
    EXPECT_TRUE(vmq::growMeshlet(work, builder, 100, 100));
    // Sweep 2 takes the six nearest; 6 and 9 tie at distance 7 (frontier order would put 6
    // first), but sweep 3 rescores from the moved mean (x = 3), where 9 is nearest.
    EXPECT_EQ(builder.members, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 10, 7, 8, 9}));
    EXPECT_EQ(builder.usedVertices, 13u);
}

TEST(GrowMeshlet, StopsAtTheTriangleCap)
{
    const MeshTables tables = fanOnOneEdge();
    PartitionWork work;
    vmq::preparePartitionWork(work, tables);
    MeshletBuilder builder = seededBuilder(work, 0);
    EXPECT_FALSE(vmq::growMeshlet(work, builder, 4, 100));
    EXPECT_EQ(builder.members, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(GrowMeshlet, ACandidateRefusedForTheVertexCapStaysInTheFrontier)
{
    // Triangle 0 has neighbours 1 (near) and 2 (far), each bringing one new vertex.
    const MeshTables tables = vmq_test::meshTables({{0, 0, 0}, {0, 30, 0}, {30, 0, 0}, {-3, 15, 0}, {60, 60, 0}},
                                                   {{0, 1, 2}, {1, 0, 3}, {2, 1, 4}});
    PartitionWork work;
    vmq::preparePartitionWork(work, tables);
    MeshletBuilder builder = seededBuilder(work, 0);
    EXPECT_TRUE(vmq::growMeshlet(work, builder, 10, 4));
    EXPECT_EQ(builder.members, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(builder.usedVertices, 4u);
    EXPECT_NE(std::find(builder.frontier.begin(), builder.frontier.end(), 2u), builder.frontier.end());

    EXPECT_TRUE(vmq::growMeshlet(work, builder, 10, 5));
    EXPECT_EQ(builder.members, (std::vector<uint32_t>{0, 1, 2}));
}

TEST(GrowMeshlet, RepeatedCornersAreTestedPerCornerButCountedOnce)
{
    const MeshTables tables = vmq_test::meshTables({{0, 0, 0}, {3, 0, 0}}, {{0, 0, 1}});
    for (uint32_t vertexCap : {2u, 3u}) {
        PartitionWork work;
        vmq::preparePartitionWork(work, tables);
        MeshletBuilder builder = seededBuilder(work, 0);
        vmq::growMeshlet(work, builder, 10, vertexCap);
        EXPECT_EQ(builder.members.size(), vertexCap == 3 ? 1u : 0u);
        EXPECT_EQ(builder.usedVertices, vertexCap == 3 ? 2u : 0u);
    }
}

// ---------------------------------------------------------------------------------------------
// Whole builder on small meshes

TEST(PartitionBuilder, OneTriangleIsOneMeshletWhateverTheLimits)
{
    const MeshTables tables = vmq_test::pointTables({{5, 5, 5}});
    for (const CompressionSettings& s : {CompressionSettings{}, settingsWith(3, 0, 0, 0.0f), settingsWith(3, 1, 2, 1.0f),
                                         settingsWith(200, 2, 200, 4.0f)})
        EXPECT_EQ(buildWithSettings(tables, s).meshlets, (std::vector<std::vector<uint32_t>>{{0}}));
}

TEST(PartitionBuilder, GroupsFollowInAscendingGroupId)
{
    const MeshTables tables = vmq_test::pointTables({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {5, 2, 9, 2});
    EXPECT_EQ(buildWithSettings(tables, CompressionSettings{}).meshlets, (std::vector<std::vector<uint32_t>>{{1, 3}, {0}, {2}}));
}

TEST(PartitionBuilder, TrianglesWithoutNeighboursStayAloneWithoutMerging)
{
    const MeshTables tables = vmq_test::pointTables({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}});
    EXPECT_EQ(buildWithSettings(tables, settingsWith(64, 1, 64)).meshlets, (std::vector<std::vector<uint32_t>>{{0}, {1}, {2}}));
}

TEST(PartitionBuilder, InterleavedGroupsAreNeverMixed)
{
    // Alternate triangles belong to groups 0 and 1, so every neighbour of a triangle belongs to
    // the other group: the passes leave one triangle per meshlet.
    const uint32_t width = 8, height = 8;
    std::vector<uint32_t> groups(2 * width * height);
    for (size_t t = 0; t < groups.size(); ++t)
        groups[t] = uint32_t(t % 2);
    const MeshTables tables = vmq_test::gridTables(width, height, groups);

    const MeshletPartition unmerged = buildWithSettings(tables, settingsWith(64, 1, 64));
    std::vector<std::vector<uint32_t>> expected;
    for (uint32_t t = 0; t < groups.size(); t += 2)
        expected.push_back({t});
    for (uint32_t t = 1; t < groups.size(); t += 2)
        expected.push_back({t});
    EXPECT_EQ(unmerged.meshlets, expected);

    // Single triangles have boxes of no size, so they stay apart even when merging.
    EXPECT_EQ(buildWithSettings(tables, CompressionSettings{}).meshlets, expected);
}

TEST(PartitionBuilder, MergingJoinsSmallMeshletsOfOneGroupOnly)
{
    // Quads in a checkerboard of two groups: the passes leave one meshlet per quad, and the
    // merge joins diagonal quads of the same group.
    const uint32_t width = 8, height = 8;
    std::vector<uint32_t> groups;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            groups.insert(groups.end(), 2, (x + y) % 2);
    const MeshTables tables = vmq_test::gridTables(width, height, groups);
    EXPECT_EQ(buildWithSettings(tables, settingsWith(64, 1, 64)).meshlets.size(), width * height);
    const MeshletPartition merged = buildWithSettings(tables, CompressionSettings{});
    expectValidPartition(tables, merged, 63, 0);
    EXPECT_LT(merged.meshlets.size(), width * height / 2);
}

TEST(PartitionBuilder, FirstPassCapZeroIsBoundedByTheVertexCapAlone)
{
    const MeshTables tables = vmq_test::gridTables(12, 12);
    const MeshletPartition partition = buildWithSettings(tables, settingsWith(16, 1, 0));
    expectValidPartition(tables, partition, tables.triangles.size(), 16);
    size_t largest = 0;
    for (const auto& meshlet : partition.meshlets)
        largest = std::max(largest, meshlet.size());
    EXPECT_GT(largest, 15u) << "first-pass meshlets grow beyond the final triangle cap";
}

TEST(PartitionBuilder, LimitsThatCannotPartitionAreRefused)
{
    const MeshTables tables = vmq_test::gridTables(2, 2);
    EXPECT_THROW(vmq::buildMeshletPartition(tables, 63, 31, 1, 2, 4.0f), vmq::CompressionError);
    EXPECT_THROW(vmq::buildMeshletPartition(tables, 0, 31, 63, 64, 4.0f), vmq::CompressionError);
    MeshTables noTriangles;
    noTriangles.channelValues.assign(3, {});
    EXPECT_THROW(vmq::buildMeshletPartition(noTriangles, 63, 31, 63, 64, 4.0f), vmq::CompressionError);
}

// ---------------------------------------------------------------------------------------------
// Real meshes

// Whole-mesh tables of a shared mesh under the default settings, built once per test run.
const MeshTables& sharedMeshTables(const std::string& file, const vmq_support::LoadedMesh& mesh)
{
    static std::map<std::string, std::unique_ptr<MeshTables>> cache;
    std::unique_ptr<MeshTables>& tables = cache[file];
    if (!tables) {
        tables = std::make_unique<MeshTables>();
        vmq_support::buildWholeMeshTables(mesh, CompressionSettings{}, *tables);
    }
    return *tables;
}

#define LOAD_SHARED_MESH(tables, file) \
    VMQ_SHARED_MESH(loaded, file);     \
    const MeshTables* tables = &sharedMeshTables(file, *loaded);

struct RealMeshCase {
    const char* file;
    CompressionSettings settings;
};

class RealMeshPartitions : public testing::TestWithParam<RealMeshCase> {};

TEST_P(RealMeshPartitions, CoverEveryTriangleOnceWithinTheLimits)
{
    LOAD_SHARED_MESH(tables, GetParam().file);
    const CompressionSettings& s = GetParam().settings;
    const MeshletPartition partition = buildWithSettings(*tables, s);
    const uint32_t triangleCap = s.maxMeshletVertices - 1;
    const uint32_t firstPassCap = uint32_t(s.firstPassMeshletTriangles) - 1u;
    const bool merging = s.minMeshletTriangles != 1;
    // Without merging the passes' own limits hold for every meshlet.
    expectValidPartition(*tables, partition, std::max(triangleCap, firstPassCap), merging ? 0 : s.maxMeshletVertices);
    if (!merging)
        expectCollectionOrder(*tables, partition);
}

INSTANTIATE_TEST_SUITE_P(
    SharedMeshes, RealMeshPartitions,
    testing::Values(RealMeshCase{"pirate.obj", CompressionSettings{}}, RealMeshCase{"pirate.obj", settingsWith(64, 1, 64)},
                    RealMeshCase{"spot.obj", CompressionSettings{}}, RealMeshCase{"spot.obj", settingsWith(64, 1, 64)},
                    RealMeshCase{"spot.obj", settingsWith(64, 0, 64)}, RealMeshCase{"spot.obj", settingsWith(64, 1, 0)},
                    RealMeshCase{"spot.obj", settingsWith(128, 32, 16, 1.0f)}, RealMeshCase{"spot.obj", settingsWith(64, 32, 64, 0.0f)},
                    RealMeshCase{"bob_tri.obj", CompressionSettings{}}, RealMeshCase{"bob_tri.obj", settingsWith(32, 1, 64)}),
    [](const testing::TestParamInfo<RealMeshCase>& info) { return "case" + std::to_string(info.index); });

TEST(PartitionBuilder, FirstPassMeshletsAboveOneAndAHalfTriangleCapsAreAccepted)
{
    // maxMeshletVertices 32 with the default first pass of 64: first-pass meshlets outgrow
    // 1.5 x the final cap of 31 triangles; the size check allows for the first-pass cap.
    LOAD_SHARED_MESH(tables, "armadillo.obj");
    const MeshletPartition partition = buildWithSettings(*tables, settingsWith(32, 32, 64));
    size_t largest = 0;
    for (const auto& meshlet : partition.meshlets)
        largest = std::max(largest, meshlet.size());
    EXPECT_GT(double(largest), 1.5 * 31);
    expectValidPartition(*tables, partition, 63, 0);
}

TEST(PartitionBuilder, IsRepeatable)
{
    LOAD_SHARED_MESH(tables, "pirate.obj");
    EXPECT_EQ(buildWithSettings(*tables, CompressionSettings{}).meshlets, buildWithSettings(*tables, CompressionSettings{}).meshlets);
}

} // namespace
