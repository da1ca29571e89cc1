// Reading one polygon mesh sample from archives built in memory: triangulation, scopes,
// texture sets, colours, velocities, materials, and malformed lists that must never be read
// past their end.
#include "alembic/mesh_sample.h"
#include "importer_test_support.h"

#include <cmath>

using namespace vmq::abc;
using importer_test::archiveOf;
using importer_test::expectNear;
using importer_test::grid;

namespace {

struct SampleResult {
    bool ok = false;
    vmq::MeshFrameData data;
    std::vector<std::string> names;
    std::vector<std::string> lines;
};

SampleResult readOnly(const WriteObject& mesh, uint32_t frame = 0, bool negateU = false, bool negateV = false)
{
    importer_test::Opened o = importer_test::openContents(archiveOf({mesh}));
    EXPECT_EQ(o.importer->meshes.size(), 1u);
    o.takeLines();
    SampleResult r;
    if (o.importer->meshes.empty())
        return r;
    r.ok = vmq::readMeshSample(*o.importer->archive, o.importer->meshes[0], frame, negateU, negateV, r.data, r.names,
                               o.importer->diagnostics);
    r.lines = o.takeLines();
    return r;
}

MeshFrames faces(std::vector<float> positions, std::vector<int32_t> indices, std::vector<int32_t> counts)
{
    MeshFrames f;
    f.positions = {std::move(positions)};
    f.faceIndices = {std::move(indices)};
    f.faceCounts = {std::move(counts)};
    return f;
}

// Five vertices on a circle-ish outline, enough for a pentagon or a quad plus a triangle.
const std::vector<float> kFivePoints = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0.5f, 1.5f, 0, 0, 1, 0};

WriteProperty arb(std::vector<WriteProperty> children) { return compoundProperty(".arbGeomParams", std::move(children)); }

TEST(MeshSample, PolygonsFanFromTheirFirstCorner)
{
    const struct {
        std::vector<int32_t> indices, counts;
        std::vector<uint32_t> corners;
        std::vector<uint32_t> materials;
    } cases[] = {
        {{0, 1, 2, 3}, {4}, {0, 1, 2, 0, 2, 3}, {0, 0}},
        {{0, 1, 2, 3, 4}, {5}, {0, 1, 2, 0, 2, 3, 0, 3, 4}, {0, 0, 0}},
        {{2, 1, 0, 4, 3, 2}, {3, 3}, {2, 1, 0, 4, 3, 2}, {0, 0}}, // triangles only: unchanged
        {{0, 1, 2, 3, 0, 4}, {4, 2}, {0, 1, 2, 0, 2, 3}, {0, 0}},
    };
    for (const auto& c : cases) {
        const SampleResult r = readOnly(polyMeshObject("m", faces(kFivePoints, c.indices, c.counts)));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.data.corners, c.corners);
        EXPECT_EQ(r.data.triangleMaterials, c.materials);
    }
}

TEST(MeshSample, MalformedFacesFailBeforeAnyListIsRead)
{
    const struct {
        std::vector<int32_t> indices, counts;
        std::vector<std::string> lines;
    } cases[] = {
        {{0, 1, 2, 3}, {4, -2}, {"Error: Face 1 has a negative corner count (-2)."}},
        {{0, 1, 2, 3}, {4, 3}, {"Error: Face counts need 7 face indices but the mesh has 4."}},
        {{0, 1, 2}, {2147483647}, {"Error: Face counts need 2147483647 face indices but the mesh has 3."}},
        {{0, 1, 5}, {3}, {"Error: Index 5 out of bounds (max 5)."}},
        // The dropped two-corner face is still checked against the vertex count.
        {{0, 1, 2, 0, 9}, {3, 2},
         {"Warning: Skipping 1 of 2 face(s) with fewer than 3 vertices.", "Error: Index 9 out of bounds (max 5)."}},
    };
    for (const auto& c : cases) {
        const SampleResult r = readOnly(polyMeshObject("m", faces(kFivePoints, c.indices, c.counts)));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.lines, c.lines);
    }
}

// Lists shorter than their scope asks for give zeros for the missing entries.
TEST(MeshSample, ShortValueListsReadAsZeros)
{
    const MeshFrames quads = faces(kFivePoints, {0, 1, 2, 3, 0, 2, 3, 4}, {4, 4});
    {
        // Uniform normals for one of two faces.
        const SampleResult r = readOnly(polyMeshObject("m", quads, {floatGeomParam("N", TypedParam::Normal3f, GeomScope::Uniform, {{0, 1, 0}})}));
        ASSERT_TRUE(r.ok);
        expectNear(r.data.normals, {0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    {
        // Face-varying UVs for 5 of 8 polygon corners.
        const SampleResult r =
            readOnly(polyMeshObject("m", quads, {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{1, 1, 2, 2, 3, 3, 4, 4, 5, 5}})}));
        ASSERT_TRUE(r.ok);
        expectNear(r.data.texcoords[0], {1, 1, 2, 2, 3, 3, 1, 1, 3, 3, 4, 4, 5, 5, 0, 0, 0, 0, 5, 5, 0, 0, 0, 0});
    }
    {
        // Vertex colours for 2 of 5 vertices, and an index past the value table.
        const SampleResult r = readOnly(polyMeshObject(
            "m", faces(kFivePoints, {0, 1, 4}, {3}),
            {arb({floatGeomParam("Cd", TypedParam::Color3f, GeomScope::Vertex, {{0.5f, 0.5f, 0.5f, 1, 1, 1}})}),
             floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{7, 8}}, {{0, 3, 0}})}));
        ASSERT_TRUE(r.ok);
        expectNear(r.data.colours, {0.5f, 0.5f, 0.5f, 1, 1, 1, 1, 1, 0, 0, 0, 0});
        expectNear(r.data.texcoords[0], {7, 8, 0, 0, 7, 8});
    }
}

TEST(MeshSample, ConstantScopeIsDecidedByTheValueCount)
{
    const MeshFrames quads = faces(kFivePoints, {0, 1, 2, 3, 0, 2, 3, 4}, {4, 4});
    auto normalsOf = [&](std::vector<float> values) {
        const SampleResult r = readOnly(polyMeshObject("m", quads, {floatGeomParam("N", TypedParam::Normal3f, GeomScope::Constant, {values})}));
        EXPECT_TRUE(r.ok);
        std::vector<float> x;
        for (size_t i = 0; i < r.data.normals.size(); i += 3)
            x.push_back(r.data.normals[i]);
        return x;
    };
    // Two values: one per face. Five: per vertex. Eight: per polygon corner, fanned.
    EXPECT_EQ(normalsOf({1, 0, 0, -1, 0, 0}), (std::vector<float>{1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1}));
    std::vector<float> perVertex, perCorner;
    for (int v = 0; v < 5; ++v)
        perVertex.insert(perVertex.end(), {v == 0 ? 1.0f : 0.0f, v == 0 ? 0.0f : 1.0f, 0});
    EXPECT_EQ(normalsOf(perVertex), (std::vector<float>{1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}));
    for (int c = 0; c < 8; ++c)
        perCorner.insert(perCorner.end(), {c == 3 ? 1.0f : 0.0f, c == 3 ? 0.0f : 1.0f, 0});
    EXPECT_EQ(normalsOf(perCorner), (std::vector<float>{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(MeshSample, TextureNegationFlipsTheSign)
{
    const SampleResult r = readOnly(
        polyMeshObject("m", faces(kFivePoints, {0, 1, 2}, {3}),
                       {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{0, 0.25f, 0.5f, 0, 1, 1}})}),
        0, true, true);
    ASSERT_TRUE(r.ok);
    expectNear(r.data.texcoords[0], {0, -0.25f, -0.5f, 0, -1, -1});
    EXPECT_TRUE(std::signbit(r.data.texcoords[0][0]));
    EXPECT_TRUE(std::signbit(r.data.texcoords[0][3]));
}

TEST(MeshSample, FlatFloatTextureLists)
{
    const MeshFrames tri = faces({0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 2, 1}, {3});
    auto uv1 = [&](std::vector<float> values) {
        return readOnly(polyMeshObject("m", tri, {arb({arrayProperty<float>("uv1", Pod::F32, 1, {values})})}));
    };
    {
        // Stride 2 per polygon corner.
        const SampleResult r = uv1({1, 2, 3, 4, 5, 6});
        expectNear(r.data.texcoords[1], {1, 2, 3, 4, 5, 6});
    }
    {
        // Stride 3 per polygon corner; the third float is dropped.
        const SampleResult r = uv1({1, 2, 9, 3, 4, 9, 5, 6, 9});
        expectNear(r.data.texcoords[1], {1, 2, 3, 4, 5, 6});
    }
    {
        const SampleResult r = uv1({1, 2, 3, 4, 5});
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.data.texcoords[1].empty());
        EXPECT_EQ(r.lines, std::vector<std::string>{"[AlembicImporter] WARNING: flat-float UV 'uv1' has unrecognized size (5 floats); skipping"});
    }
    {
        // A quad: 2 x 4 vertices read per vertex (by corner vertex); 3 floats = one per face.
        const MeshFrames quad = faces({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 5, 5, 5}, {0, 1, 2, 3}, {4});
        SampleResult r = readOnly(polyMeshObject("m", quad, {arb({arrayProperty<float>("uv2", Pod::F32, 1, {{0, 0, 1, 0, 1, 1, 0, 1, 7, 7}})})}));
        expectNear(r.data.texcoords[1], {0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1});
        r = readOnly(polyMeshObject("m", quad, {arb({arrayProperty<float>("uv2", Pod::F32, 1, {{3, 4, 5}})})}));
        expectNear(r.data.texcoords[1], {3, 4, 3, 4, 3, 4, 3, 4, 3, 4, 3, 4});
    }
}

TEST(MeshSample, VelocitiesColoursAndMaterialNames)
{
    const MeshFrames tri = faces({0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 2, 1}, {3});
    const std::vector<float> down = {0, -1, 0, 0, -1, 0, 0, -1, 0}, up = {0, 1, 0, 0, 1, 0, 0, 1, 0};
    {
        // Arbitrary "vel" before user properties; a float x 2 "v" is not a velocity.
        const SampleResult r = readOnly(polyMeshObject(
            "m", tri,
            {arb({arrayProperty<float>("v", Pod::F32, 2, {{1, 1, 1, 1, 1, 1}}), arrayProperty<float>("vel", Pod::F32, 3, {up})}),
             compoundProperty(".userProperties", {arrayProperty<float>("v", Pod::F32, 3, {down})})}));
        expectNear(r.data.velocities, up);
    }
    {
        const SampleResult r = readOnly(polyMeshObject(
            "m", tri, {compoundProperty(".userProperties", {arrayProperty<float>("velocities", Pod::F32, 3, {down})})}));
        expectNear(r.data.velocities, down);
    }
    {
        // A scalar RGBA colour fills every corner; only the first colour parameter is used.
        const SampleResult r = readOnly(polyMeshObject(
            "m", tri,
            {arb({scalarProperty<float>("Cd", Pod::F32, 4, {0.1f, 0.2f, 0.3f, 0.4f}, makeMetaData({{"interpretation", "rgba"}})),
                  floatGeomParam("Cs", TypedParam::Color3f, GeomScope::Vertex, {up})})}));
        expectNear(r.data.colours, {0.1f, 0.2f, 0.3f, 0.4f, 0.1f, 0.2f, 0.3f, 0.4f, 0.1f, 0.2f, 0.3f, 0.4f});
    }
    const MeshFrames three = faces(kFivePoints, {0, 1, 2, 0, 2, 3, 0, 3, 4}, {3, 3, 3});
    {
        // Distinct names in order of first appearance; "material" after a non-string "shop_materialpath".
        const SampleResult r = readOnly(polyMeshObject(
            "m", three,
            {arb({arrayProperty<float>("shop_materialpath", Pod::F32, 1, {{1, 2, 3}}),
                  stringGeomParam("material", GeomScope::Uniform, {{"/b", "/a", "/b"}})})}));
        EXPECT_EQ(r.names, (std::vector<std::string>{"/b", "/a"}));
        EXPECT_EQ(r.data.triangleMaterials, (std::vector<uint32_t>{0, 1, 0}));
        EXPECT_EQ(r.data.materialCount, 2u);
    }
    {
        // Indexed: indices past the names give 0; a wrong count gives no names at all.
        SampleResult r = readOnly(polyMeshObject(
            "m", three, {arb({stringGeomParam("prim_material", GeomScope::Uniform, {{"/x", "/y"}}, {{1, 7, 0}})})}));
        EXPECT_EQ(r.names, (std::vector<std::string>{"/x", "/y"}));
        EXPECT_EQ(r.data.triangleMaterials, (std::vector<uint32_t>{1, 0, 0}));
        r = readOnly(polyMeshObject("m", three, {arb({stringGeomParam("path_shader", GeomScope::Uniform, {{"/x", "/y"}})})}));
        EXPECT_TRUE(r.names.empty());
        EXPECT_EQ(r.data.triangleMaterials, (std::vector<uint32_t>{0, 0, 0}));
        EXPECT_EQ(r.data.materialCount, 1u);
    }
    {
        // Face sets in name order; a face listed twice takes the later set, unlisted faces 0.
        WriteObject mesh = polyMeshObject("m", three);
        mesh.children.push_back(faceSetObject("zz", {{0, 1}}));
        mesh.children.push_back(faceSetObject("aa", {{1, -4, 2}}));
        const SampleResult r = readOnly(mesh);
        EXPECT_EQ(r.names, (std::vector<std::string>{"aa", "zz"}));
        EXPECT_EQ(r.data.triangleMaterials, (std::vector<uint32_t>{1, 1, 0}));
    }
}

} // namespace
