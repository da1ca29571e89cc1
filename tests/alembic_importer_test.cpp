// The importer over every archive of the shared fixture folder: frame count, meshes found,
// visibility, the static analysis report, warnings and errors, static flags and frame duration,
// and hand-computed frame meshes for the small archives.
#include "importer_test_support.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

using importer_test::element;
using importer_test::expectNear;
using importer_test::openFixture;
using importer_test::stream;

using importer_test::corners;
using importer_test::values;
namespace {

constexpr float kPerFrame24 = float(1.0 / 24.0);

std::vector<uint32_t> repeat(uint32_t value, uint32_t count) { return std::vector<uint32_t>(count, value); }

std::vector<std::string> report(uint32_t frames, const std::vector<std::string>& results)
{
    std::vector<std::string> lines{"Static attribute analysis (" + std::to_string(frames) + " frames):"};
    lines.insert(lines.end(), results.begin(), results.end());
    return lines;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct FixtureCase {
    const char* file;
    uint32_t frameCount;
    std::vector<std::string> openLines;  // everything openArchive writes
    uint8_t staticTopology;
    uint32_t staticAttributeMask;
    float frameDuration;
    std::vector<uint32_t> triangles;     // per frame; 0 for an empty frame
    std::vector<std::string> readLines;  // everything reading all frames in order writes
};

const std::vector<FixtureCase>& fixtureCases()
{
    static const std::string kTopologyConstant = "  Topology: CONSTANT", kTopologyVaries = "  Topology: VARIES";
    static const std::string kPosStatic = "  POSITION: STATIC", kPosDynamic = "  POSITION: DYNAMIC";
    static const std::string kUv2Warning = "[AlembicImporter] WARNING: flat-float UV 'uv2' has unrecognized size (5 floats); skipping";
    static const std::vector<FixtureCase> cases = {
        {"all_hidden.abc", 0, {"Error: All polygon meshes in the Alembic file are hidden."}, 0, 0, 0.0f, {}, {}},
        {"color_scalar.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {2}, {}},
        {"colors.abc", 2, concat({"Found 3 mesh(es), 2 frame(s)"}, report(2, {kTopologyConstant, kPosStatic, "  COLOR:    DYNAMIC"})),
         1, 1, kPerFrame24, {10, 10}, {}},
        {"colors_indexed.abc", 3,
         concat({"Found 1 mesh(es), 3 frame(s)"}, report(3, {kTopologyConstant, kPosStatic, "  COLOR:    STATIC"})), 1, 33,
         kPerFrame24, {2, 2, 2}, {}},
        {"cube_closed.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {12}, {}},
        {"deform_24.abc", 24,
         concat({"Found 1 mesh(es), 24 frame(s)"},
                report(24, {kTopologyConstant, kPosDynamic, "  NORMAL:   DYNAMIC", "  TEXCOORD: STATIC"})),
         1, 8, kPerFrame24, repeat(128, 24), {}},
        {"derived_velocity.abc", 3, concat({"Found 1 mesh(es), 3 frame(s)"}, report(3, {kTopologyConstant, kPosDynamic})), 1,
         0, 0.5f, {1, 1, 1}, {}},
        {"facesets.abc", 1, {"Found 2 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {10}, {}},
        {"index_negative.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {0},
         {"Error: Index 4294967295 out of bounds (max 3).", "Error: Failed to read frame 0"}},
        {"index_oob.abc", 3, concat({"Found 2 mesh(es), 3 frame(s)"}, report(3, {kTopologyVaries, kPosStatic})), 0, 1,
         kPerFrame24, {4, 0, 4}, {"Error: Index 4 out of bounds (max 4).", "Error: Failed to read frame 1"}},
        {"indexed_uvs.abc", 1, {"Found 2 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {9}, {}},
        {"materials.abc", 1, {"Found 5 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {16}, {}},
        {"mesh_no_samples.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {0}, {"Error: Failed to read frame 0"}},
        {"mixed_faces.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {7},
         {"Warning: Skipping 1 of 5 face(s) with fewer than 3 vertices."}},
        {"nan_normal.abc", 1, {"Found 2 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {5}, {}},
        {"nan_position.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {1}, {}},
        {"nan_position_only.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {0}, {}},
        {"nested_mesh.abc", 1, {"Found 2 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {3}, {}},
        {"no_polymesh.abc", 0, {"Error: No polygon meshes found in Alembic file."}, 0, 0, 0.0f, {}, {}},
        {"normals_scopes.abc", 1, {"Found 4 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {16}, {}},
        {"quad_fvr_uv_normals.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {4}, {}},
        {"texsets.abc", 2,
         concat({"Found 3 mesh(es), 2 frame(s)"},
                report(2, {kTopologyConstant, kPosStatic, "  TEXCOORD: STATIC", "  TEXCOORD1:STATIC"})),
         1, 265, kPerFrame24, {18, 18}, {}},
        {"topology_change.abc", 4,
         concat({"Found 1 mesh(es), 4 frame(s)"}, report(4, {kTopologyVaries, kPosDynamic, "  TEXCOORD: DYNAMIC"})), 0, 0,
         0.0f, {2, 4, 8, 6}, {}},
        {"tri_single.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {1}, {}},
        {"two_meshes_10_24.abc", 24, concat({"Found 2 mesh(es), 24 frame(s)"}, report(24, {kTopologyConstant, kPosDynamic})),
         1, 0, kPerFrame24, repeat(4, 24), {}},
        {"two_meshes_4_3.abc", 1, {"Found 2 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {3}, {}},
        {"uv1_stride3_anim.abc", 24,
         concat({"Found 1 mesh(es), 24 frame(s)"},
                report(24, {kTopologyConstant, kPosDynamic, "  TEXCOORD: STATIC", "  TEXCOORD1:STATIC"})),
         1, 264, kPerFrame24, repeat(32, 24), {}},
        {"uv2_bad_size.abc", 2,
         concat({"Found 1 mesh(es), 2 frame(s)"}, report(2, {kTopologyConstant, kPosStatic, "  TEXCOORD1:DYNAMIC"})), 1, 1,
         kPerFrame24, {1, 1}, {kUv2Warning, kUv2Warning}},
        {"velocities.abc", 3,
         concat({"Found 4 mesh(es), 3 frame(s)"}, report(3, {kTopologyConstant, kPosDynamic, "  VELOCITY: STATIC"})), 1, 64,
         kPerFrame24, {8, 8, 8}, {}},
        {"visibility_animated.abc", 12,
         {"Found 2 mesh(es), 12 frame(s)", "Animated visibility detected; hidden meshes will be excluded per frame."}, 0, 0,
         kPerFrame24, {4, 4, 4, 4, 4, 2, 2, 2, 2, 2, 4, 4}, {}},
        {"visibility_override.abc", 5, concat({"Found 1 mesh(es), 5 frame(s)"}, report(5, {kTopologyConstant, kPosStatic})),
         1, 1, kPerFrame24, repeat(2, 5), {}},
        {"xform_animated.abc", 24,
         concat({"Found 1 mesh(es), 24 frame(s)"},
                report(24, {kTopologyConstant, kPosDynamic, "  NORMAL:   DYNAMIC", "  TEXCOORD: STATIC"})),
         1, 8, kPerFrame24, repeat(12, 24), {}},
        {"xform_projective.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {2}, {}},
        {"xform_scale2.abc", 1, {"Found 1 mesh(es), 1 frame(s)"}, 0, 0, 1.0f, {2}, {}},
        {"xform_zero_scale.abc", 4, concat({"Found 1 mesh(es), 4 frame(s)"}, report(4, {kTopologyConstant, kPosDynamic})), 0,
         0, kPerFrame24, {2, 2, 2, 2}, {}},
    };
    return cases;
}

TEST(AlembicImporterFixtures, EveryArchiveMatchesTheManifest)
{
    const auto files = archive_test::fixtureFiles("fixtures/abc");
    REQUIRE_FIXTURES(files, "fixtures/abc");
    std::set<std::string> covered;
    for (const FixtureCase& c : fixtureCases()) {
        SCOPED_TRACE(c.file);
        covered.insert(c.file);
        importer_test::Opened o = openFixture(c.file);
        const vmq::AlembicImporter& importer = *o.importer;
        EXPECT_EQ(importer.frameCount, c.frameCount);
        EXPECT_EQ(o.takeLines(), c.openLines);
        EXPECT_EQ(importer.staticTopology, c.staticTopology);
        EXPECT_EQ(importer.staticAttributeMask, c.staticAttributeMask);
        if (c.frameCount > 0) {
            EXPECT_EQ(importer.frameDuration, c.frameDuration);
        }
        std::vector<uint32_t> triangles;
        for (uint32_t f = 0; f < importer.frameCount; ++f) {
            const vmq::Mesh mesh = vmq::readFrame(*o.importer, f);
            triangles.push_back(uint32_t(mesh.triangleGroups.size()));
            EXPECT_EQ(mesh.triangles.size(), mesh.triangleGroups.size());
            EXPECT_EQ(mesh.sourceVertex.size(), 3 * mesh.triangles.size());
            for (const vmq::VertexAttribute& a : mesh.attributes)
                EXPECT_EQ(a.values.size(), 3 * mesh.triangles.size() * a.componentCount) << "kind " << a.kind;
        }
        EXPECT_EQ(triangles, c.triangles);
        EXPECT_EQ(o.takeLines(), c.readLines);
    }
    for (const std::string& file : files)
        EXPECT_TRUE(covered.count(std::filesystem::path(file).filename().string())) << file << " has no expectations";
}

// One set of buffers carried through every frame of every archive, its spare value lists holding
// the previous frame's attributes as a worker's weld leaves them: each frame reads exactly as it
// reads with fresh buffers, whatever an earlier frame or archive left in them.
TEST(AlembicImporterFixtures, ReusedReadBuffersReadAsFreshOnes)
{
    const auto files = archive_test::fixtureFiles("fixtures/abc");
    REQUIRE_FIXTURES(files, "fixtures/abc");
    vmq::FrameReadBuffers buffers;
    auto sameBits = [](const std::vector<float>& a, const std::vector<float>& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
    };
    for (const FixtureCase& c : fixtureCases()) {
        SCOPED_TRACE(c.file);
        importer_test::Opened o = openFixture(c.file);
        for (uint32_t f = 0; f < o.importer->frameCount; ++f) {
            SCOPED_TRACE(f);
            const vmq::Mesh fresh = vmq::readFrame(*o.importer, f);
            vmq::Mesh reused = vmq::readFrame(*o.importer, f, buffers);
            EXPECT_EQ(reused.triangles, fresh.triangles);
            EXPECT_EQ(reused.triangleGroups, fresh.triangleGroups);
            EXPECT_EQ(reused.sourceVertex, fresh.sourceVertex);
            ASSERT_EQ(reused.attributes.size(), fresh.attributes.size());
            for (size_t a = 0; a < fresh.attributes.size(); ++a) {
                EXPECT_EQ(reused.attributes[a].kind, fresh.attributes[a].kind);
                EXPECT_EQ(reused.attributes[a].componentCount, fresh.attributes[a].componentCount);
                EXPECT_TRUE(sameBits(reused.attributes[a].values, fresh.attributes[a].values)) << "attribute " << a;
            }
            buffers.spareValues.clear();
            for (vmq::VertexAttribute& attribute : reused.attributes)
                buffers.spareValues.push_back(std::move(attribute.values));
        }
        o.takeLines();
    }
}

// The large benchmark archives: opened only (their frames are for the benchmark).
TEST(AlembicImporterFixtures, BenchmarkArchivesOpenAsDescribed)
{
    const auto files = archive_test::fixtureFiles("fixtures/bench");
    REQUIRE_FIXTURES(files, "fixtures/bench");
    for (const auto& [file, topology] : {std::pair<const char*, const char*>{"wave_anim.abc", "CONSTANT"}, {"wave_topo.abc", "VARIES"}}) {
        std::ostringstream log;
        const std::string path = archive_test::sharedDir() + "/fixtures/bench/" + file;
        auto importer = vmq::openArchive(path, SequenceSettings{}, &log);
        EXPECT_EQ(importer->frameCount, 60u);
        EXPECT_EQ(importer->staticTopology, std::string(topology) == "CONSTANT" ? 1 : 0);
        EXPECT_EQ(importer->staticAttributeMask, 8u);
        EXPECT_EQ(importer->frameDuration, kPerFrame24);
        EXPECT_EQ(archive_test::lines(log.str()),
                  concat({"Found 1 mesh(es), 60 frame(s)"}, report(60, {std::string("  Topology: ") + topology, "  POSITION: DYNAMIC",
                                                                         "  NORMAL:   DYNAMIC", "  TEXCOORD: STATIC"})));
    }
}

TEST(AlembicImporterFixtures, RefusedArchivesReportTheFailureToOpen)
{
    REQUIRE_IMPORTER_FIXTURES();
    for (const std::string& path : archive_test::fixtureFiles("fixtures/abc-hdf5")) {
        std::ostringstream log;
        auto importer = vmq::openArchive(path, SequenceSettings{}, &log);
        EXPECT_EQ(importer->frameCount, 0u);
        EXPECT_EQ(archive_test::lines(log.str()), std::vector<std::string>{"Error: Failed to open Alembic file: " + path});
    }
    std::ostringstream log;
    const std::string missing = archive_test::sharedDir() + "/fixtures/abc/no_such_file.abc";
    EXPECT_EQ(vmq::openArchive(missing, SequenceSettings{}, &log)->frameCount, 0u);
    EXPECT_EQ(archive_test::lines(log.str()), std::vector<std::string>{"Error: Failed to open Alembic file: " + missing});
}

// Malformed archives are refused or read without a crash; whatever opens reads every frame.
TEST(AlembicImporterFixtures, MalformedArchivesNeverCrash)
{
    REQUIRE_IMPORTER_FIXTURES();
    for (const std::string& path : archive_test::fixtureFiles("fixtures/abc-malformed")) {
        SCOPED_TRACE(path);
        std::ostringstream log;
        auto importer = vmq::openArchive(path, SequenceSettings{}, &log);
        for (uint32_t f = 0; f < std::min(importer->frameCount, 4u); ++f)
            vmq::readFrame(*importer, f);
        if (importer->frameCount == 0) {
            EXPECT_FALSE(log.str().empty());
        }
    }
}

vmq::Mesh frameOf(const char* file, uint32_t frame = 0, const SequenceSettings& settings = SequenceSettings{})
{
    importer_test::Opened o = openFixture(file, settings);
    return o.importer->frameCount ? vmq::readFrame(*o.importer, frame) : vmq::Mesh{};
}

std::vector<float> normalised(float x, float y, float z)
{
    const float l = std::sqrt(x * x + y * y + z * z);
    return {x / l, y / l, z / l};
}

TEST(AlembicImporterFixtures, TrianglesScopesAndTexcoords)
{
    REQUIRE_IMPORTER_FIXTURES();
    {
        const vmq::Mesh m = frameOf("tri_single.abc");
        EXPECT_EQ(corners(m), (std::vector<uint32_t>{0, 1, 2}));
        EXPECT_EQ(m.sourceVertex, (std::vector<uint32_t>{0, 1, 2}));
        EXPECT_EQ(m.triangleGroups, (std::vector<uint32_t>{0}));
        expectNear(stream(m, NORMAL), {0, 0, 1, 0, 0, 1, 0, 0, 1});
        EXPECT_EQ(m.attributes.size(), 2u);
    }
    {
        const vmq::Mesh m = frameOf("quad_fvr_uv_normals.abc");
        EXPECT_EQ(m.sourceVertex, (std::vector<uint32_t>{0, 3, 4, 0, 4, 1, 1, 4, 5, 1, 5, 2}));
        expectNear(stream(m, TEXCOORD), {0, 0, 0, 1, 0.5f, 1, 0, 0, 0.5f, 1, 0.5f, 0, 0.6f, 0, 0.6f, 1, 1.1f, 1, 0.6f, 0,
                                         1.1f, 1, 1.1f, 0});
        const uint32_t order[12] = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7};
        for (size_t j = 0; j < 12; ++j)
            expectNear(element(stream(m, NORMAL), j, 3), normalised(0.1f * order[j], -0.05f * order[j], 1.0f));
    }
    {
        const vmq::Mesh m = frameOf("mixed_faces.abc");
        EXPECT_EQ(m.sourceVertex,
                  (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 3, 5, 6, 7, 8, 9, 7, 9, 10, 7, 10, 11, 12, 13, 14}));
        const uint32_t positions[21] = {0, 1, 2, 3, 4, 5, 3, 5, 6, 7, 8, 9, 7, 9, 10, 7, 10, 11, 14, 15, 16};
        for (size_t j = 0; j < 21; ++j)
            expectNear(element(stream(m, TEXCOORD), j, 2), {0.05f * positions[j], 1.0f - 0.05f * positions[j]});
        EXPECT_EQ(m.triangleGroups, std::vector<uint32_t>(7, 0));
    }
    {
        // uvIndexed: every corner's UV is its vertex position halved; uvIndexedEmpty: zeros.
        const vmq::Mesh m = frameOf("indexed_uvs.abc");
        const std::vector<float> p = stream(m, POSITION), uv = stream(m, TEXCOORD);
        for (size_t j = 0; j < 24; ++j)
            expectNear(element(uv, j, 2), {p[3 * j] / 2, p[3 * j + 1] / 2});
        expectNear(std::vector<float>(uv.begin() + 48, uv.end()), std::vector<float>(6, 0.0f));
    }
    {
        const vmq::Mesh m = frameOf("normals_scopes.abc");
        const std::vector<float> n = stream(m, NORMAL);
        const uint32_t fan[12] = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7};
        for (size_t j = 0; j < 12; ++j) {
            const uint32_t v = m.sourceVertex[j];
            expectNear(element(n, j, 3), normalised(0.1f * v, 0, 1));                // nVertex
            expectNear(element(n, 12 + j, 3), normalised(0, 0.1f * fan[j], 1));      // nFaceVarying
            expectNear(element(n, 24 + j, 3), j < 6 ? std::vector<float>{0, 0, 1} : std::vector<float>{0, 0.6f, 0.8f});
        }
        const uint32_t indexed[12] = {0, 1, 0, 0, 0, 1, 1, 1, 0, 1, 0, 0}; // nIndexed, fanned indices
        for (size_t j = 0; j < 12; ++j)
            expectNear(element(n, 36 + j, 3), indexed[j] ? std::vector<float>{1, 0, 0} : std::vector<float>{0, 0, 1});
    }
}

TEST(AlembicImporterFixtures, TexcoordSetsColoursAndVelocities)
{
    REQUIRE_IMPORTER_FIXTURES();
    {
        const vmq::Mesh m = frameOf("texsets.abc");
        const std::vector<float> uv1 = stream(m, TEXCOORD1), uv2 = stream(m, TEXCOORD2), p = stream(m, POSITION);
        const uint32_t fan[24] = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7, 8, 9, 10, 8, 10, 11, 12, 13, 14, 12, 14, 15};
        for (size_t j = 0; j < 24; ++j) {
            expectNear(element(uv1, j, 2), {0.5f, 0.01f * fan[j]});                        // st1Mesh st1
            const uint32_t v = m.sourceVertex[24 + j] - 9;
            expectNear(element(uv1, 24 + j, 2), {0.1f * v, 1.0f - 0.1f * v});              // uv1Mesh per vertex
        }
        const float st1[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
        for (size_t c = 0; c < 6; ++c) {
            expectNear(element(uv1, 48 + c, 2), {0.2f * c, 0.3f}); // twoSets uv1 per corner
            const uint32_t v = m.sourceVertex[48 + c] - 18;
            expectNear(element(uv2, 48 + c, 2), {st1[v][0], st1[v][1]});
        }
        expectNear(std::vector<float>(uv2.begin(), uv2.begin() + 96), std::vector<float>(96, 0.0f));
    }
    {
        const vmq::Mesh m = frameOf("colors.abc", 1);
        const std::vector<float> c = stream(m, COLOR);
        const uint32_t fan[12] = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7};
        for (size_t j = 0; j < 12; ++j) {
            expectNear(element(c, j, 3), {0.125f * fan[j], 1.0f - 0.125f * fan[j], 0.5f});
            const uint32_t v = m.sourceVertex[12 + j] - 6;
            expectNear(element(c, 12 + j, 3), {0.25f, 0.1f * v, 1.0f});
        }
        expectNear(std::vector<float>(c.begin() + 72, c.end()), std::vector<float>(18, 0.0f)); // noColor
    }
    for (uint32_t f = 0; f < 3; ++f) {
        const vmq::Mesh m = frameOf("colors_indexed.abc", f);
        const float table[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
        const uint32_t corner[6] = {0, 1, 2, 0, 2, 3};
        for (size_t j = 0; j < 6; ++j) {
            const float* t = table[(corner[j] + f) % 4];
            expectNear(element(stream(m, COLOR), j, 3), {t[0], t[1], t[2]});
        }
    }
    expectNear(stream(frameOf("color_scalar.abc"), COLOR), {0.25f, 0.5f, 0.75f, 0.25f, 0.5f, 0.75f, 0.25f, 0.5f, 0.75f,
                                                             0.25f, 0.5f, 0.75f, 0.25f, 0.5f, 0.75f, 0.25f, 0.5f, 0.75f});
    {
        // velSchema, velArb ("vel", per vertex), velVelocity, velUser, one quad each.
        const vmq::Mesh m = frameOf("velocities.abc", 2);
        const std::vector<float> v = stream(m, VELOCITY);
        const float arb[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {2, 0, 0}};
        for (size_t j = 0; j < 6; ++j) {
            expectNear(element(v, j, 3), {2.4f, 0, 0});
            const float* a = arb[m.sourceVertex[6 + j] - 4];
            expectNear(element(v, 6 + j, 3), {a[0], a[1], a[2]});
            expectNear(element(v, 12 + j, 3), {0, 0, 3});
            expectNear(element(v, 18 + j, 3), {0, -1, 0});
        }
    }
}

TEST(AlembicImporterFixtures, MaterialsFromFaceSetsAndNameParameters)
{
    REQUIRE_IMPORTER_FIXTURES();
    {
        importer_test::Opened o = openFixture("facesets.abc");
        EXPECT_EQ(vmq::readFrame(*o.importer, 0).triangleGroups, (std::vector<uint32_t>{0, 0, 1, 1, 1, 1, 0, 0, 3, 2}));
        EXPECT_EQ(o.importer->materialNames, (std::vector<std::string>{"a", "b", "alpha", "zeta"}));
    }
    {
        importer_test::Opened o = openFixture("materials.abc");
        EXPECT_EQ(vmq::readFrame(*o.importer, 0).triangleGroups,
                  (std::vector<uint32_t>{0, 0, 1, 1, 0, 0, 2, 2, 3, 2, 3, 0, 0, 0, 4, 4}));
        EXPECT_EQ(o.importer->materialNames,
                  (std::vector<std::string>{"/mat/red", "/mat/blue", "/mat/green", "/mat/yellow", "/mat/white"}));
        // A second read finds every name in the table already.
        vmq::readFrame(*o.importer, 0);
        EXPECT_EQ(o.importer->materialNames.size(), 5u);
    }
}

TEST(AlembicImporterFixtures, TransformsAndConcatenation)
{
    REQUIRE_IMPORTER_FIXTURES();
    {
        const vmq::Mesh m = frameOf("two_meshes_4_3.abc");
        EXPECT_EQ(m.sourceVertex, (std::vector<uint32_t>{0, 2, 3, 0, 3, 1, 4, 5, 6}));
        EXPECT_EQ(corners(m), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    }
    auto byVertex = [](const vmq::Mesh& m, int32_t kind, uint32_t vertex) {
        for (size_t j = 0; j < m.sourceVertex.size(); ++j)
            if (m.sourceVertex[j] == vertex)
                return element(stream(m, kind), j, 3);
        return std::vector<float>{};
    };
    {
        const vmq::Mesh m = frameOf("xform_scale2.abc");
        const float points[4][3] = {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {2, 2, 0}};
        const float velocities[4][3] = {{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {2, 2, 2}};
        for (uint32_t v = 0; v < 4; ++v) {
            expectNear(byVertex(m, POSITION, v), {points[v][0], points[v][1], points[v][2]});
            expectNear(byVertex(m, NORMAL, v), {0, 0.6f, 0.8f});
            expectNear(byVertex(m, VELOCITY, v), {velocities[v][0], velocities[v][1], velocities[v][2]});
        }
    }
    {
        const vmq::Mesh m = frameOf("xform_projective.abc");
        const float points[4][3] = {{1, 2, 3}, {1.5f, 1, 1.5f}, {1, 4, 3}, {1.5f, 2, 1.5f}};
        for (uint32_t v = 0; v < 4; ++v) {
            expectNear(byVertex(m, POSITION, v), {points[v][0], points[v][1], points[v][2]});
            expectNear(byVertex(m, NORMAL, v), {0, 0, 1});
            expectNear(byVertex(m, VELOCITY, v), {1, 0, 0});
        }
    }
    {
        const vmq::Mesh m = frameOf("nested_mesh.abc");
        expectNear(byVertex(m, POSITION, 3), {11, 1, 0});
        expectNear(byVertex(m, POSITION, 4), {10, 2, 0});
    }
    {
        // Frame 2 scales to zero: points collapse, computed normals have length 0.
        const vmq::Mesh m = frameOf("xform_zero_scale.abc", 2);
        expectNear(stream(m, POSITION), std::vector<float>(18, 0.0f));
        expectNear(stream(m, NORMAL), std::vector<float>(18, 0.0f));
    }
    {
        // short10 repeats its last sample (offset 9) from frame 10 on.
        const vmq::Mesh m = frameOf("two_meshes_10_24.abc", 17);
        expectNear(byVertex(m, POSITION, 0), {9, 0, 0});
        expectNear(byVertex(m, POSITION, 4), {17, 3, 0});
    }
}

TEST(AlembicImporterFixtures, DerivedVelocitiesAndNormals)
{
    REQUIRE_IMPORTER_FIXTURES();
    SequenceSettings derive{};
    derive.compression.velocityMode = 2;
    for (uint32_t f = 0; f < 3; ++f)
        expectNear(stream(frameOf("derived_velocity.abc", f, derive), VELOCITY), {-2, 0, 0, -2, 0, 0, -2, 0, 0});
    EXPECT_TRUE(stream(frameOf("derived_velocity.abc"), VELOCITY).empty());
    SequenceSettings drop{};
    drop.compression.velocityMode = 1;
    EXPECT_TRUE(stream(frameOf("velocities.abc", 0, drop), VELOCITY).empty());

    {
        // nanN: vertex 0's corners get its smoothed normal; nanNDegenerate: (0, 0, 1).
        const vmq::Mesh m = frameOf("nan_normal.abc");
        const std::vector<float> n = stream(m, NORMAL);
        for (size_t j = 0; j < 12; ++j)
            if (m.sourceVertex[j] == 0)
                expectNear(element(n, j, 3), {0, -0.6f, 0.8f}, 1e-5f);
        expectNear(std::vector<float>(n.begin() + 36, n.end()), {0, 0, 1, 1, 0, 0, 1, 0, 0});
    }
    {
        const vmq::Mesh m = frameOf("nan_position.abc");
        EXPECT_EQ(m.sourceVertex, (std::vector<uint32_t>{0, 1, 2}));
        expectNear(stream(m, NORMAL), {0, 0, 1, 0, 0, 1, 0, 0, 1});
    }
    {
        // Default smooth normals: unit length, one normal per vertex.
        const vmq::Mesh m = frameOf("cube_closed.abc");
        const std::vector<float> n = stream(m, NORMAL);
        std::map<uint32_t, std::vector<float>> perVertex;
        for (size_t j = 0; j < m.sourceVertex.size(); ++j) {
            const std::vector<float> e = element(n, j, 3);
            EXPECT_NEAR(e[0] * e[0] + e[1] * e[1] + e[2] * e[2], 1.0f, 1e-5f);
            auto [it, added] = perVertex.emplace(m.sourceVertex[j], e);
            if (!added) {
                EXPECT_EQ(it->second, e);
            }
        }
    }
    // Recomputed flat-grouped normals: at 0.9 every corner has its face's axis normal.
    SequenceSettings grouped{};
    grouped.compression.recomputeNormals = 1;
    const vmq::Mesh m = frameOf("cube_closed.abc", 0, grouped);
    const std::vector<float> n = stream(m, NORMAL);
    for (size_t j = 0; j < 36; ++j) {
        const std::vector<float> e = element(n, j, 3);
        EXPECT_NEAR(std::fabs(e[0]) + std::fabs(e[1]) + std::fabs(e[2]), 1.0f, 1e-6f);
    }
}

} // namespace
