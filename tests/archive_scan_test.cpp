// Opening archives built in memory: the mesh list, frame count, visibility, frame duration, the
// static attribute analysis and its report, and failures to open.
#include "alembic/static_analysis.h"
#include "importer_test_support.h"

using namespace vmq::abc;
using importer_test::archiveOf;
using importer_test::grid;
using importer_test::openContents;

namespace {

std::vector<std::string> found(size_t meshes, uint32_t frames)
{
    return {"Found " + std::to_string(meshes) + " mesh(es), " + std::to_string(frames) + " frame(s)"};
}

Imath::M44d scale(double s)
{
    Imath::M44d m;
    m[0][0] = m[1][1] = m[2][2] = s;
    return m;
}

TEST(ArchiveScan, FrameCountIsTheLongestPositionsList)
{
    const struct {
        std::vector<uint32_t> samples;
        uint32_t frames;
    } cases[] = {{{1}, 1}, {{0}, 1}, {{10, 24}, 24}, {{3, 0}, 3}};
    for (const auto& c : cases) {
        std::vector<WriteObject> objects;
        for (uint32_t n : c.samples)
            objects.push_back(polyMeshObject("m" + std::to_string(objects.size()), grid(1, 1, 0, 0, n)));
        importer_test::Opened o = openContents(archiveOf(objects));
        EXPECT_EQ(o.importer->frameCount, c.frames);
        EXPECT_EQ(o.takeLines().front(), found(c.samples.size(), c.frames).front());
    }
}

TEST(ArchiveScan, MeshesInPreOrderIncludingMeshesUnderMeshes)
{
    WriteObject outer = polyMeshObject("outer", grid(1, 1));
    outer.children.push_back(polyMeshObject("inner", grid(1, 1, 5)));
    WriteObject group = xformObject("grp", {scale(1)});
    group.children.push_back(std::move(outer));
    importer_test::Opened o = openContents(archiveOf({std::move(group), polyMeshObject("last", grid(2, 1))}));
    ASSERT_EQ(o.importer->meshes.size(), 3u);
    const Archive& a = *o.importer->archive;
    EXPECT_EQ(a.object(o.importer->meshes[0].schema.object).fullName, "/grp/outer");
    EXPECT_EQ(a.object(o.importer->meshes[1].schema.object).fullName, "/grp/outer/inner");
    EXPECT_EQ(a.object(o.importer->meshes[2].schema.object).fullName, "/last");
}

// A parent hidden in frames 5 to 9 (deferred elsewhere), a child that overrides a hidden parent,
// and a mesh hidden in every frame, which is dropped before counting.
TEST(ArchiveScan, VisibilityFollowsTheNearestExplicitValue)
{
    WriteObject blink = xformObject("blink", std::vector<Imath::M44d>(12, scale(1)));
    addVisibility(blink, {-1, -1, -1, -1, -1, 0, 0, 0, 0, 0, -1, -1});
    blink.children.push_back(polyMeshObject("blinkMesh", grid(1, 1, 0, 0, 12)));
    WriteObject hidden = xformObject("hidden", {scale(1)});
    addVisibility(hidden, {0});
    WriteObject shown = polyMeshObject("shown", grid(1, 1, 3));
    addVisibility(shown, {1});
    hidden.children.push_back(std::move(shown));
    hidden.children.push_back(polyMeshObject("gone", grid(1, 1, 6, 0, 30)));

    importer_test::Opened o = openContents(archiveOf({std::move(blink), std::move(hidden)}));
    const vmq::AlembicImporter& importer = *o.importer;
    EXPECT_EQ(importer.frameCount, 30u); // the dropped mesh still counts for the frame count
    ASSERT_EQ(importer.meshes.size(), 2u);
    std::vector<uint8_t> expected(60, 1);
    for (int f = 5; f <= 9; ++f)
        expected[f] = 0;
    EXPECT_EQ(importer.visibilityTable, expected);
    EXPECT_TRUE(importer.animatedVisibility);
    EXPECT_EQ(importer.staticTopology, 0);
    EXPECT_EQ(importer.staticAttributeMask, 0u);
    std::vector<std::string> lines = found(2, 30);
    lines.push_back("Animated visibility detected; hidden meshes will be excluded per frame.");
    EXPECT_EQ(o.takeLines(), lines);
    EXPECT_EQ(vmq::readFrame(*o.importer, 7).triangles.size(), 2u);
    EXPECT_EQ(vmq::readFrame(*o.importer, 4).triangles.size(), 4u);
    EXPECT_EQ(vmq::readFrame(*o.importer, 29).triangles.size(), 4u); // blink's visibility clamps to its last sample
}

TEST(ArchiveScan, FrameDurationFromThePositionsTimeSampling)
{
    const struct {
        TimeSampling sampling;
        float duration;
    } cases[] = {
        {{TimeSamplingKind::Uniform, 0.5, 1, {0.0}, 0}, 0.5f},
        {{TimeSamplingKind::Cyclic, 1.0, 2, {0.0, 0.25}, 0}, 1.0f},
        {{TimeSamplingKind::Acyclic, kAcyclicTimePerCycle, kAcyclicSamplesPerCycle, {0.0, 1.0}, 0}, 0.0f},
    };
    for (const auto& c : cases) {
        MeshFrames frames = grid(1, 1, 0, 0, 2);
        frames.timeSampling = 1;
        ArchiveContents contents = archiveOf({polyMeshObject("m", frames)});
        contents.timeSamplings.push_back(c.sampling);
        EXPECT_EQ(openContents(contents).importer->frameDuration, c.duration);
    }
    EXPECT_EQ(openContents(archiveOf({polyMeshObject("m", grid(1, 1))})).importer->frameDuration, 1.0f);
}

MeshFrames moving(uint32_t samples)
{
    MeshFrames frames = grid(1, 1, 0, 0, samples);
    for (uint32_t f = 0; f < samples; ++f)
        for (size_t i = 0; i < frames.positions[f].size(); i += 3)
            frames.positions[f][i] += float(f);
    return frames;
}

struct AnalysisCase {
    const char* name;
    std::vector<WriteObject> objects;
    std::vector<std::string> report; // after the "Static attribute analysis" line
    uint8_t staticTopology;
    uint32_t mask;
};

TEST(ArchiveScan, StaticAnalysisReportsAndFlags)
{
    const std::vector<float> uvs = {0, 0, 1, 0, 0, 1, 1, 1};
    auto xformAbove = [](std::vector<Imath::M44d> matrices, WriteObject child) {
        WriteObject x = xformObject("x", std::move(matrices));
        x.children.push_back(std::move(child));
        return x;
    };
    auto arb = [](std::vector<WriteProperty> children) { return compoundProperty(".arbGeomParams", std::move(children)); };
    std::vector<float> uvw0, uvw1, odd0 = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, odd1 = {0.1f, 0.2f, 0.3f, 0.4f, 1.5f};
    for (int c = 0; c < 6; ++c) {
        uvw0.insert(uvw0.end(), {0.1f * c, 0.5f, 0.0f});
        uvw1.insert(uvw1.end(), {0.1f * c, 0.5f, 1.0f + c});
    }
    Imath::M44d shifted = scale(1);
    shifted[3][0] = 2;
    std::vector<AnalysisCase> cases;
    cases.push_back({"moving points", {polyMeshObject("m", moving(2))}, {"  Topology: CONSTANT", "  POSITION: DYNAMIC"}, 1, 0});
    cases.push_back({"zero scale in one frame",
                     {xformAbove({scale(1), scale(0)}, polyMeshObject("m", moving(2)))},
                     {"  Topology: CONSTANT", "  POSITION: DYNAMIC"}, 0, 0});
    cases.push_back({"constant points under an animated transform",
                     {xformAbove({scale(1), shifted},
                                 polyMeshObject("m", grid(1, 1, 0, 0, 2),
                                                {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::Vertex, {uvs, uvs}),
                                                 floatGeomParam("N", TypedParam::Normal3f, GeomScope::Vertex,
                                                                {std::vector<float>(12, 0.5f), std::vector<float>(12, 0.5f)})}))},
                     {"  Topology: CONSTANT", "  POSITION: DYNAMIC", "  NORMAL:   DYNAMIC", "  TEXCOORD: STATIC"}, 1, 8});
    cases.push_back({"uv1 triples rewritten with the same (u, v)",
                     {polyMeshObject("m", grid(1, 1, 0, 0, 2), {arb({arrayProperty<float>("uv1", Pod::F32, 1, {uvw0, uvw1})})})},
                     {"  Topology: CONSTANT", "  POSITION: STATIC", "  TEXCOORD1:STATIC"}, 1, 257});
    cases.push_back({"uv2 of odd length",
                     {polyMeshObject("m", grid(1, 1, 0, 0, 2), {arb({arrayProperty<float>("uv2", Pod::F32, 1, {odd0, odd1})})})},
                     {"  Topology: CONSTANT", "  POSITION: STATIC", "  TEXCOORD1:DYNAMIC"}, 1, 1});
    cases.push_back({"velocity among the arbitrary parameters, colour compound",
                     {polyMeshObject("m", grid(1, 1, 0, 0, 2),
                                     {arb({floatGeomParam("velocity", TypedParam::Vector2f, GeomScope::Vertex, {uvs, uvs}),
                                           floatGeomParam("Cd", TypedParam::Color3f, GeomScope::Vertex, {{1, 0, 0}, {1, 0, 0}},
                                                          {{0, 0, 0, 0}, {0, 0, 0, 0}})})})},
                     {"  Topology: CONSTANT", "  POSITION: STATIC", "  TEXCOORD1:STATIC", "  COLOR:    STATIC"}, 1, 289});
    MeshFrames withVelocities = moving(2);
    withVelocities.velocities = {std::vector<float>(12, 1.0f), std::vector<float>(12, 2.0f)};
    MeshFrames otherTopology = grid(1, 1, 0, 0, 2);
    otherTopology.faceIndices[1] = {0, 1, 3, 2};
    cases.push_back({"velocities and a changing face list",
                     {polyMeshObject("a", withVelocities), polyMeshObject("b", otherTopology)},
                     {"  Topology: VARIES", "  POSITION: DYNAMIC", "  VELOCITY: DYNAMIC"}, 0, 0});
    for (AnalysisCase& c : cases) {
        SCOPED_TRACE(c.name);
        importer_test::Opened o = openContents(archiveOf(std::move(c.objects)));
        std::vector<std::string> lines = o.takeLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], "Static attribute analysis (2 frames):");
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.report);
        EXPECT_EQ(o.importer->staticTopology, c.staticTopology);
        EXPECT_EQ(o.importer->staticAttributeMask, c.mask);
    }
}

TEST(ArchiveScan, UnstableTransforms)
{
    const Imath::M44d nan = scale(std::nan(""));
    for (const auto& [matrices, unstable] : std::vector<std::pair<std::vector<Imath::M44d>, bool>>{
             {{scale(1), scale(2)}, false}, {{scale(1), scale(1e-5)}, true}, {{nan}, true}, {{scale(0.5)}, false}}) {
        WriteObject x = xformObject("x", matrices);
        x.children.push_back(polyMeshObject("m", moving(2)));
        importer_test::Opened o = openContents(archiveOf({std::move(x)}));
        EXPECT_EQ(vmq::hasUnstableTransform(*o.importer->archive, o.importer->meshes, 2), unstable);
    }
}

// Every failure leaves frameCount 0 with one line that says why; errors of the archive layer
// while scanning count as a failure to open.
TEST(ArchiveScan, FailuresToOpen)
{
    WriteObject badVisibility = polyMeshObject("m", grid(1, 1));
    badVisibility.properties.push_back(scalarProperty<float>("visible", Pod::F32, 1, {1.0f}));
    WriteObject badUv = polyMeshObject("m", grid(1, 1, 0, 0, 2));
    badUv.properties[0].children.push_back(scalarProperty<float>("uv", Pod::F32, 2, {0.0f, 0.0f}));
    WriteObject badArbitrary = polyMeshObject(
        "m", grid(1, 1, 0, 0, 2),
        {compoundProperty(".arbGeomParams", {compoundProperty("st", {}, geomParamMetaData(TypedParam::Vector2f, GeomScope::Vertex))})});
    WriteObject hidden = polyMeshObject("m", grid(1, 1));
    addVisibility(hidden, {0});
    const std::string openError = "Error: Failed to open Alembic file: memory.abc";
    const struct {
        const char* name;
        std::vector<WriteObject> objects;
        std::vector<std::string> lines;
    } cases[] = {
        {"no mesh", {xformObject("x", {scale(1)})}, {"Error: No polygon meshes found in Alembic file."}},
        {"all hidden", {hidden}, {"Error: All polygon meshes in the Alembic file are hidden."}},
        {"visibility of the wrong type", {badVisibility}, {openError}},
        {"uv of the wrong type", {badUv}, {openError}},
        {"texture parameter without values, met by the analysis", {badArbitrary}, {found(1, 2).front(), openError}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        importer_test::Opened o = openContents(archiveOf(c.objects));
        EXPECT_EQ(o.importer->frameCount, 0u);
        EXPECT_EQ(o.importer->staticTopology, 0);
        EXPECT_EQ(o.importer->staticAttributeMask, 0u);
        EXPECT_EQ(o.takeLines(), c.lines);
        EXPECT_TRUE(vmq::readFrame(*o.importer, 0).triangles.empty());
    }
    std::ostringstream log;
    const std::vector<uint8_t> garbage(64, 0x5a);
    EXPECT_EQ(vmq::openArchiveMemory(garbage, "junk.abc", SequenceSettings{}, &log)->frameCount, 0u);
    EXPECT_EQ(log.str(), "Error: Failed to open Alembic file: junk.abc\n");
}

} // namespace
