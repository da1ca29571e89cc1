// Frame meshes from archives built in memory: concatenation and padding, derived velocities,
// smoothing groups, frame read errors, and frames read on several threads at once.
#include "alembic/frame_mesh.h"
#include "importer_test_support.h"

#include <atomic>
#include <cmath>
#include <thread>

using namespace vmq::abc;
using importer_test::archiveOf;
using importer_test::element;
using importer_test::expectNear;
using importer_test::grid;
using importer_test::openContents;
using importer_test::stream;

using importer_test::corners;
using importer_test::values;
namespace {

TEST(FrameMesh, MeshesAreConcatenatedWithPaddedLists)
{
    // A quad with colours and a triangle without; the triangle's colours read (0, 0, 0).
    MeshFrames tri;
    tri.positions = {{2, 0, 0, 2, 1, 0, 3, 0, 0}};
    tri.faceIndices = {{0, 1, 2}};
    tri.faceCounts = {{3}};
    WriteObject quad = polyMeshObject(
        "quad", grid(1, 1),
        {compoundProperty(".arbGeomParams", {floatGeomParam("Cd", TypedParam::Color4f, GeomScope::Uniform, {{0.5f, 0.25f, 1, 0.5f}})}),
         floatGeomParam("uv", TypedParam::Vector2f, GeomScope::Vertex, {{0, 0, 1, 0, 0, 1, 1, 1}})});
    importer_test::Opened o = openContents(archiveOf({quad, polyMeshObject("tri", tri)}));
    const vmq::Mesh m = vmq::readFrame(*o.importer, 0);
    EXPECT_EQ(m.sourceVertex, (std::vector<uint32_t>{0, 2, 3, 0, 3, 1, 4, 5, 6}));
    EXPECT_EQ(corners(m), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(m.triangleGroups, (std::vector<uint32_t>{0, 0, 0}));
    const std::vector<float> colours = stream(m, COLOR), uv = stream(m, TEXCOORD);
    for (size_t j = 0; j < 9; ++j)
        expectNear(element(colours, j, 3), j < 6 ? std::vector<float>{0.5f, 0.25f, 1} : std::vector<float>{0, 0, 0});
    expectNear(std::vector<float>(uv.begin() + 12, uv.end()), std::vector<float>(6, 0.0f));
    EXPECT_EQ(m.attributes.size(), 4u); // POSITION, NORMAL, TEXCOORD, COLOR
    EXPECT_EQ(o.takeLines().size(), 1u);

    // A single mesh whose lists do not match its corners and vertices: normals as read from an
    // empty index sample (two values for three corners), velocities for one of three vertices.
    tri.velocities = {{1, 2, 3}};
    const importer_test::Opened single = openContents(archiveOf({polyMeshObject(
        "tri", tri, {floatGeomParam("N", TypedParam::Normal3f, GeomScope::FaceVarying, {{0, 1, 0, 1, 0, 0}}, {{}})})}));
    const vmq::Mesh s = vmq::readFrame(*single.importer, 0);
    expectNear(stream(s, NORMAL), {0, 1, 0, 1, 0, 0, 0, 0, 0});
    expectNear(stream(s, VELOCITY), {1, 2, 3, 0, 0, 0, 0, 0, 0});
}

TEST(FrameMesh, DerivedVelocitiesUseTheNeighbouringSample)
{
    MeshFrames mover;
    for (int f = 0; f < 3; ++f) {
        const float x = float(f);
        mover.positions.push_back({x, 0, 0, x, 1, 0, x + 1, 0, 0});
        mover.faceIndices.push_back({0, 1, 2});
        mover.faceCounts.push_back({3});
    }
    mover.timeSampling = 1;
    ArchiveContents contents = archiveOf({polyMeshObject("mover", mover)});
    contents.timeSamplings.push_back({TimeSamplingKind::Uniform, 0.5, 1, {0.0}, 0});
    SequenceSettings settings{};
    settings.compression.velocityMode = 2;
    importer_test::Opened o = openContents(contents, settings);
    ASSERT_EQ(o.importer->staticTopology, 1);
    for (uint32_t f = 0; f < 4; ++f) {
        const std::vector<float> v = stream(vmq::readFrame(*o.importer, f), VELOCITY);
        // Past the last sample the positions repeat, so the difference is zero.
        const float expected = f < 3 ? -2.0f : 0.0f;
        expectNear(v, {expected, 0, 0, expected, 0, 0, expected, 0, 0});
    }
}

// A closed cube of 8 shared vertices, faces as fanned quads, wound outward.
vmq::MeshFrameData cube()
{
    vmq::MeshFrameData data;
    for (int k = 0; k < 8; ++k)
        data.positions.insert(data.positions.end(), {float(k & 1), float((k >> 1) & 1), float((k >> 2) & 1)});
    const uint32_t quads[6][4] = {{1, 5, 7, 3}, {0, 2, 6, 4}, {2, 3, 7, 6}, {0, 4, 5, 1}, {4, 6, 7, 5}, {0, 1, 3, 2}};
    for (const auto& q : quads)
        data.corners.insert(data.corners.end(), {q[0], q[1], q[2], q[0], q[2], q[3]});
    return data;
}

TEST(FrameMesh, SmoothingGroupsJoinNeighboursAboveTheThreshold)
{
    const struct {
        float threshold;
        uint32_t groups;
    } cases[] = {{0.9f, 6}, {0.0f, 1}, {-0.5f, 1}, {1.0f, 12}};
    for (const auto& c : cases) {
        vmq::MeshFrameData data = cube();
        vmq::computeSmoothingGroups(data, c.threshold);
        EXPECT_EQ(data.smoothingGroupCount, c.groups) << c.threshold;
    }
    // At 0.9 each face is one group, and its corners get the face's normal.
    vmq::MeshFrameData data = cube();
    vmq::computeSmoothingGroups(data, 0.9f);
    EXPECT_EQ(data.smoothingGroup, (std::vector<uint32_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
    vmq::smoothNormalsByGroup(data);
    expectNear(element(data.normals, 0, 3), {1, 0, 0});
    expectNear(element(data.normals, 35, 3), {0, 0, -1});

    // A triangle with a NaN corner never joins its neighbour, even at threshold 0.
    vmq::MeshFrameData pair;
    pair.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, std::nanf(""), 1, 0};
    pair.corners = {0, 1, 2, 2, 1, 3};
    vmq::computeSmoothingGroups(pair, 0.0f);
    EXPECT_EQ(pair.smoothingGroup, (std::vector<uint32_t>{0, 1}));
}

TEST(FrameMesh, RecomputedNormalsOverTheWholeFrame)
{
    // Two coplanar quads of separate meshes sharing no vertex stay apart; smoothAll gives
    // every corner of a flat grid the same normal.
    SequenceSettings settings{};
    settings.compression.recomputeNormals = 1;
    settings.normalSmoothingThreshold = 0.5f;
    importer_test::Opened o = openContents(archiveOf({polyMeshObject("a", grid(2, 1))}), settings);
    vmq::Mesh m = vmq::readFrame(*o.importer, 0);
    for (size_t j = 0; j < 3 * m.triangles.size(); ++j)
        expectNear(element(stream(m, NORMAL), j, 3), {0, 0, 1});
    settings.compression.smoothAllNormals = 1;
    importer_test::Opened s = openContents(archiveOf({polyMeshObject("a", grid(2, 1))}), settings);
    m = vmq::readFrame(*s.importer, 0);
    for (size_t j = 0; j < 3 * m.triangles.size(); ++j)
        expectNear(element(stream(m, NORMAL), j, 3), {0, 0, 1});
}

TEST(FrameMesh, ABadMeshEmptiesTheWholeFrame)
{
    // Frame 1 of "bad" indexes past its vertices; frame 2 has no samples of its own but clamps.
    MeshFrames bad = grid(1, 1, 5, 0, 2);
    bad.faceIndices[1] = {0, 2, 4, 1};
    importer_test::Opened o = openContents(archiveOf({polyMeshObject("good", grid(1, 1, 0, 0, 3)), polyMeshObject("bad", bad)}));
    o.takeLines();
    EXPECT_EQ(vmq::readFrame(*o.importer, 0).triangleGroups.size(), 4u);
    EXPECT_TRUE(vmq::readFrame(*o.importer, 1).triangles.empty());
    EXPECT_EQ(o.takeLines(), (std::vector<std::string>{"Error: Index 4 out of bounds (max 4).", "Error: Failed to read frame 1"}));
    EXPECT_TRUE(vmq::readFrame(*o.importer, 2).triangles.empty());

    // An archive-layer error while reading (a mesh without samples) is a frame read failure too.
    importer_test::Opened empty = openContents(archiveOf({polyMeshObject("good", grid(1, 1)), polyMeshObject("none", grid(1, 1, 0, 0, 0))}));
    empty.takeLines();
    EXPECT_TRUE(vmq::readFrame(*empty.importer, 0).triangles.empty());
    EXPECT_EQ(empty.takeLines(), std::vector<std::string>{"Error: Failed to read frame 0"});
}

// Frames read on several threads match the frames read one by one, and every material name gets
// one global index whichever frame meets it first.
TEST(FrameMesh, FramesReadConcurrently)
{
    constexpr uint32_t kFrames = 16;
    std::vector<WriteObject> objects;
    for (int m = 0; m < 4; ++m) {
        MeshFrames frames = grid(2, 2, float(3 * m), 0, kFrames);
        for (uint32_t f = 0; f < kFrames; ++f)
            for (size_t i = 2; i < frames.positions[f].size(); i += 3)
                frames.positions[f][i] = 0.1f * float(f * (m + 1));
        std::vector<std::vector<std::string>> names;
        for (uint32_t f = 0; f < kFrames; ++f)
            names.push_back({"/mat/" + std::to_string(m), "/mat/shared", "/mat/f" + std::to_string(f % 5), "/mat/shared"});
        objects.push_back(polyMeshObject(
            "m" + std::to_string(m), frames,
            {compoundProperty(".arbGeomParams", {stringGeomParam("shop_materialpath", GeomScope::Uniform, names)})}));
    }
    const ArchiveContents contents = archiveOf(std::move(objects));
    importer_test::Opened serial = openContents(contents);
    std::vector<vmq::Mesh> expected;
    for (uint32_t f = 0; f < kFrames; ++f)
        expected.push_back(vmq::readFrame(*serial.importer, f));

    importer_test::Opened parallel = openContents(contents);
    std::vector<vmq::Mesh> frames(kFrames);
    std::atomic<uint32_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (uint32_t f; (f = next.fetch_add(1)) < kFrames;)
                frames[f] = vmq::readFrame(*parallel.importer, f);
        });
    for (std::thread& t : threads)
        t.join();
    const std::vector<std::string>& names = parallel.importer->materialNames;
    EXPECT_EQ(names.size(), serial.importer->materialNames.size());
    for (uint32_t f = 0; f < kFrames; ++f) {
        EXPECT_EQ(stream(frames[f], POSITION), stream(expected[f], POSITION));
        ASSERT_EQ(frames[f].triangleGroups.size(), expected[f].triangleGroups.size());
        // Same names per triangle, whatever numbers the names got.
        for (size_t t = 0; t < frames[f].triangleGroups.size(); ++t)
            EXPECT_EQ(names[frames[f].triangleGroups[t]],
                      serial.importer->materialNames[expected[f].triangleGroups[t]]);
    }
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(parallel.importer->materialIndex.at(names[i]), i);
}

} // namespace
