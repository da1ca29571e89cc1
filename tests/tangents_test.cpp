// Tangent-space generation: the generator on its own (through its callbacks, with quads and
// the full setter) and the per-vertex TANGENT attribute built on it.
#include "mesh/tangent_frame.h"
#include "mesh/tangents.h"
#include "mesh_io.h"

#include "pelku_vmq_compression.h"

#include "test_paths.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vmq::TriangleIndices;
using vmq::VertexAttribute;

struct TestVertex {
    float position[3];
    float normal[3];
    float texcoord[2];
};

using Tangent = std::array<float, 4>;

std::vector<VertexAttribute> makeAttributes(const std::vector<TestVertex>& vertices)
{
    std::vector<VertexAttribute> attributes(3);
    attributes[0] = {POSITION, 3, {}};
    attributes[1] = {NORMAL, 3, {}};
    attributes[2] = {TEXCOORD, 2, {}};
    for (const TestVertex& v : vertices) {
        attributes[0].values.insert(attributes[0].values.end(), v.position, v.position + 3);
        attributes[1].values.insert(attributes[1].values.end(), v.normal, v.normal + 3);
        attributes[2].values.insert(attributes[2].values.end(), v.texcoord, v.texcoord + 2);
    }
    return attributes;
}

// The TANGENT attribute generateTangentFrame appends, one (x, y, z, sign) per vertex.
std::vector<Tangent> tangentFrame(const std::vector<TestVertex>& vertices, const std::vector<TriangleIndices>& triangles)
{
    std::vector<VertexAttribute> attributes = makeAttributes(vertices);
    vmq::generateTangentFrame(triangles, attributes);
    EXPECT_EQ(attributes.size(), 4u);
    if (attributes.size() != 4)
        return {};
    EXPECT_EQ(attributes[3].kind, TANGENT);
    EXPECT_EQ(attributes[3].componentCount, 4u);
    std::vector<Tangent> result(vertices.size());
    for (size_t v = 0; v < vertices.size(); ++v)
        for (int c = 0; c < 4; ++c)
            result[v][c] = attributes[3].values[4 * v + c];
    return result;
}

// Exact float comparison: the expected values are printed with 9 significant digits, which
// names a float exactly (the sign of zero is not compared).
void expectTangents(const std::vector<Tangent>& actual, const std::vector<Tangent>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t v = 0; v < expected.size(); ++v)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(actual[v][c], expected[v][c]) << "vertex " << v << " component " << c;
}

// For meshes of our own, whose floats the reference was not run on: the last place may differ
// with the corner angles (a reciprocal times the length need not give exactly 1).
void expectNearTangent(const float* actual, const Tangent& expected, const std::string& where)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(actual[c], expected[c], 1e-6f) << where << " component " << c;
    EXPECT_EQ(actual[3], expected[3]) << where;
}

constexpr Tangent kPlusX{1, 0, 0, 1};
constexpr Tangent kMinusXMirrored{-1, 0, 0, -1};
constexpr Tangent kUnknown{1, 0, 0, -1}; // the value of a corner no usable triangle reaches

TEST(TangentFrame, OneTriangleNormalisesPerCornerAngle)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0.25f, 0.5f}},
        {{3, 1, 0}, {0, 0, 1}, {1, 0.5f}},
        {{1, 2, 0}, {0, 0, 1}, {0.25f, 1}},
    };
    expectTangents(tangentFrame(vertices, {{0, 1, 2}}), {
                                                            {0.948683321f, 0.316227794f, 0, 1},
                                                            {0.948683321f, 0.316227794f, 0, 1},
                                                            {0.948683262f, 0.316227764f, 0, 1},
                                                        });
}

TEST(TangentFrame, FlippedTriangleAndAngleWeightedAverage)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{2, 0, 0}, {0, 0, 1}, {1, 0}},
        {{2, 2, 1}, {0, -0.6f, 0.8f}, {1, 1}},
        {{0, 2, 0}, {0, 0, 1}, {0, 1}},
    };
    expectTangents(tangentFrame(vertices, {{0, 1, 2}, {0, 3, 2}}),
                   {kPlusX, kPlusX, {0.992418826f, 0.0983214304f, 0.0737410635f, 1}, kPlusX});
}

TEST(TangentFrame, MirrorSeamKeepsTheLastWrittenValue)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},   {{1, 0, 0}, {0, 0, 1}, {0.5f, 0}}, {{2, 0, 0}, {0, 0, 1}, {0, 0}},
        {{0, 1, 0}, {0, 0, 1}, {0, 1}},   {{1, 1, 0}, {0, 0, 1}, {0.5f, 1}}, {{2, 1, 0}, {0, 0, 1}, {0, 1}},
    };
    const std::vector<TriangleIndices> triangles = {{0, 1, 4}, {0, 4, 3}, {1, 2, 5}, {1, 5, 4}};
    expectTangents(tangentFrame(vertices, triangles),
                   {kPlusX, kMinusXMirrored, kMinusXMirrored, kPlusX, kMinusXMirrored, kMinusXMirrored});
    const std::vector<TriangleIndices> reversed(triangles.rbegin(), triangles.rend());
    expectTangents(tangentFrame(vertices, reversed), {kPlusX, kPlusX, kMinusXMirrored, kPlusX, kPlusX, kMinusXMirrored});
}

TEST(TangentFrame, DegenerateAndUnusableTriangles)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},       {{1, 0, 0}, {0, 0, 1}, {1, 0}},       {{0, 1, 0}, {0, 0, 1}, {0, 1}},
        {{1, 1, 0}, {0, 0, 1}, {0.5f, 0.5f}}, {{1, 0, 0}, {0, 0, 1}, {0.3f, 0.3f}}, {{2, 0, 0}, {0, 0, 1}, {0.7f, 0.2f}},
    };
    expectTangents(tangentFrame(vertices, {{0, 1, 2}, {1, 3, 2}, {4, 1, 5}, {1, 1, 0}}),
                   {kPlusX, kPlusX, kPlusX, kUnknown, kUnknown, kUnknown});
}

TEST(TangentFrame, AllTrianglesUnusableGiveTheUnknownValue)
{
    const std::vector<TestVertex> flat = {
        {{0, 0, 0}, {0, 0, 1}, {0.5f, 0.5f}},
        {{1, 0, 0}, {0, 0, 1}, {0.5f, 0.5f}},
        {{1, 1, 0}, {0, 0, 1}, {0.5f, 0.5f}},
        {{0, 1, 0}, {0, 0, 1}, {0.5f, 0.5f}},
    };
    expectTangents(tangentFrame(flat, {{0, 1, 2}, {0, 2, 3}}), {kUnknown, kUnknown, kUnknown, kUnknown});

    const std::vector<TestVertex> collapsed = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{0, 0, 0}, {0, 0, 1}, {1, 0}},
        {{0, 1, 0}, {0, 0, 1}, {0, 1}},
    };
    expectTangents(tangentFrame(collapsed, {{0, 1, 2}}), {kUnknown, kUnknown, kUnknown});
}

// Representatives chosen by the cell partitioning, and the last run of the edge sort left
// unsorted, keep t1 and t2 from pairing across their shared edge.
TEST(TangentFrame, MissedEdgePairingOfTheLastSortRun)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0.5f, 0.5f}},   {{1, 0, 0.25f}, {0, 0, 1}, {1, 1}},    {{2, 0, 0}, {0, 0, 1}, {0.75f, 1}},
        {{0, 1, -0.25f}, {0, 0, 1}, {0, 0.25f}}, {{1, 1, -0.25f}, {0, 0, 1}, {0.5f, 0.5f}}, {{2, 1, 0}, {0, 0, 1}, {0.5f, 0.25f}},
    };
    expectTangents(tangentFrame(vertices, {{4, 2, 5}, {0, 1, 4}, {4, 1, 2}, {4, 3, 0}}),
                   {kUnknown, {-1, 0, 0, 1}, {-1, 0, 0, 1}, kUnknown, kUnknown, {0.948683321f, -0.316227764f, 0, -1}});
}

TEST(TangentFrame, MirroredIslandsHaveOppositeSigns)
{
    // Two separate planar quads, the second with u running against x.
    std::vector<TestVertex> vertices;
    for (int island = 0; island < 2; ++island) {
        const float x0 = island * 3.0f;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x)
                vertices.push_back({{x0 + x, float(y), 0}, {0, 0, 1}, {island ? 1.0f - x : float(x), float(y)}});
    }
    std::vector<TriangleIndices> triangles;
    for (uint32_t base : {0u, 4u}) {
        triangles.push_back({base, base + 1, base + 3});
        triangles.push_back({base, base + 3, base + 2});
    }
    const std::vector<Tangent> tangents = tangentFrame(vertices, triangles);
    ASSERT_EQ(tangents.size(), 8u);
    for (int v = 0; v < 8; ++v)
        expectNearTangent(tangents[v].data(), v < 4 ? kPlusX : kMinusXMirrored, "vertex " + std::to_string(v));
}

TEST(TangentFrame, DuplicateTrianglesDoNotDisturbAPlanarMapping)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{1, 0, 0}, {0, 0, 1}, {1, 0}},
        {{1, 1, 0}, {0, 0, 1}, {1, 1}},
        {{0, 1, 0}, {0, 0, 1}, {0, 1}},
    };
    const std::vector<Tangent> tangents = tangentFrame(vertices, {{0, 1, 2}, {0, 2, 3}, {0, 1, 2}, {2, 0, 1}});
    ASSERT_EQ(tangents.size(), 4u);
    for (int v = 0; v < 4; ++v)
        expectNearTangent(tangents[v].data(), kPlusX, "vertex " + std::to_string(v));
}

TEST(TangentFrame, NothingWithoutTexcoordsWithATangentOrWithoutTriangles)
{
    const std::vector<TestVertex> vertices = {
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{1, 0, 0}, {0, 0, 1}, {1, 0}},
        {{0, 1, 0}, {0, 0, 1}, {0, 1}},
    };
    const std::vector<TriangleIndices> triangles = {{0, 1, 2}};

    std::vector<VertexAttribute> noTexcoord = makeAttributes(vertices);
    noTexcoord.pop_back();
    vmq::generateTangentFrame(triangles, noTexcoord);
    EXPECT_EQ(noTexcoord.size(), 2u);

    std::vector<VertexAttribute> withTangent = makeAttributes(vertices);
    withTangent.push_back({TANGENT, 4, std::vector<float>(12, 0.5f)});
    vmq::generateTangentFrame(triangles, withTangent);
    ASSERT_EQ(withTangent.size(), 4u);
    EXPECT_EQ(withTangent[3].values, std::vector<float>(12, 0.5f));

    std::vector<VertexAttribute> noTriangles = makeAttributes(vertices);
    vmq::generateTangentFrame({}, noTriangles);
    EXPECT_EQ(noTriangles.size(), 3u);

    std::vector<VertexAttribute> texcoordOneComponent = makeAttributes(vertices);
    texcoordOneComponent[2] = {TEXCOORD, 1, {0, 1, 0}};
    vmq::generateTangentFrame(triangles, texcoordOneComponent);
    EXPECT_EQ(texcoordOneComponent.size(), 3u);
}

TEST(TangentFrame, UnusedVerticesStayZeroAndWideAttributesUseTheirFirstComponents)
{
    std::vector<VertexAttribute> attributes(3);
    // Positions with 4 components, texture coordinates with 3; vertex 3 is used by nothing.
    attributes[0] = {POSITION, 4, {0, 0, 0, 9, 1, 0, 0, 9, 0, 1, 0, 9, 5, 5, 5, 9}};
    attributes[1] = {NORMAL, 3, {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1}};
    attributes[2] = {TEXCOORD, 3, {0, 0, 7, 1, 0, 7, 0, 1, 7, 0, 0, 7}};
    vmq::generateTangentFrame({{0, 1, 2}}, attributes);
    ASSERT_EQ(attributes.size(), 4u);
    const std::vector<float>& t = attributes[3].values;
    ASSERT_EQ(t.size(), 16u);
    for (int v = 0; v < 3; ++v)
        expectNearTangent(&t[4 * v], kPlusX, "vertex " + std::to_string(v));
    expectTangents({{t[12], t[13], t[14], t[15]}}, {{0, 0, 0, 0}});
}

// A real mesh: every used vertex gets a unit tangent perpendicular to its normal and a sign of
// +1 or -1.
TEST(TangentFrame, RealMeshTangentsAreUnitOrthogonalAndSigned)
{
    const std::string path = vmq_support::sharedPath("data/meshes/spot.obj");
    vmq_support::LoadedMesh loaded;
    std::string error;
    if (!vmq_support::loadMesh(path, loaded, error)) {
        if (vmq_test::sharedDataRequired())
            FAIL() << "test mesh missing: " << error;
        GTEST_SKIP() << "test mesh missing: " << error;
    }
    ASSERT_FALSE(loaded.normals.empty());
    ASSERT_FALSE(loaded.texcoords.empty());
    std::vector<VertexAttribute> attributes(3);
    attributes[0] = {POSITION, 3, loaded.positions};
    attributes[1] = {NORMAL, 3, loaded.normals};
    attributes[2] = {TEXCOORD, 2, loaded.texcoords};
    std::vector<TriangleIndices> triangles(loaded.triangleCount());
    for (size_t t = 0; t < triangles.size(); ++t)
        triangles[t] = {loaded.indices[3 * t], loaded.indices[3 * t + 1], loaded.indices[3 * t + 2]};
    vmq::generateTangentFrame(triangles, attributes);
    ASSERT_EQ(attributes.size(), 4u);

    std::vector<bool> used(loaded.vertexCount(), false);
    for (const TriangleIndices& triangle : triangles)
        for (uint32_t v : triangle)
            used[v] = true;
    const std::vector<float>& t = attributes[3].values;
    size_t usedCount = 0, unknownCount = 0;
    for (size_t v = 0; v < used.size(); ++v) {
        if (!used[v])
            continue;
        ++usedCount;
        const float* tangent = &t[4 * v];
        const float* normal = &loaded.normals[3 * v];
        const float length = std::sqrt(tangent[0] * tangent[0] + tangent[1] * tangent[1] + tangent[2] * tangent[2]);
        EXPECT_NEAR(length, 1.0f, 1e-5f) << "vertex " << v;
        EXPECT_TRUE(tangent[3] == 1.0f || tangent[3] == -1.0f) << "vertex " << v;
        const float normalLength = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
        const float cosine = (tangent[0] * normal[0] + tangent[1] * normal[1] + tangent[2] * normal[2]) / normalLength;
        if (tangent[0] == 1.0f && tangent[1] == 0.0f && tangent[2] == 0.0f && tangent[3] == -1.0f)
            ++unknownCount; // no usable triangle reached the vertex: nothing to be orthogonal to
        else
            EXPECT_NEAR(cosine, 0.0f, 1e-3f) << "vertex " << v;
    }
    EXPECT_GT(usedCount, 1000u);
    EXPECT_LT(unknownCount, usedCount / 100);
}

// The generator's own interface, on faces of 3 and 4 corners.
struct FaceMesh {
    std::vector<std::vector<TestVertex>> faces;
    struct Result {
        float tangent[3];
        float bitangent[3];
        float magnitudeS, magnitudeT;
        bool orientation;
        float sign;
        int basicCalls = 0, fullCalls = 0;
    };
    std::vector<std::vector<Result>> results;
};

const FaceMesh& faceMesh(const vmq::TangentSpaceContext* context) { return *static_cast<const FaceMesh*>(context->userData); }
FaceMesh& mutableFaceMesh(const vmq::TangentSpaceContext* context) { return *static_cast<FaceMesh*>(context->userData); }

const vmq::TangentSpaceCallbacks kFaceCallbacks = {
    [](const vmq::TangentSpaceContext* c) { return int(faceMesh(c).faces.size()); },
    [](const vmq::TangentSpaceContext* c, int f) { return int(faceMesh(c).faces[f].size()); },
    [](const vmq::TangentSpaceContext* c, float out[3], int f, int k) { std::memcpy(out, faceMesh(c).faces[f][k].position, 12); },
    [](const vmq::TangentSpaceContext* c, float out[3], int f, int k) { std::memcpy(out, faceMesh(c).faces[f][k].normal, 12); },
    [](const vmq::TangentSpaceContext* c, float out[2], int f, int k) { std::memcpy(out, faceMesh(c).faces[f][k].texcoord, 8); },
    [](const vmq::TangentSpaceContext* c, const float t[3], float sign, int f, int k) {
        FaceMesh::Result& r = mutableFaceMesh(c).results[f][k];
        std::memcpy(r.tangent, t, 12);
        r.sign = sign;
        ++r.basicCalls;
    },
    [](const vmq::TangentSpaceContext* c, const float t[3], const float b[3], float s, float m, bool o, int f, int k) {
        FaceMesh::Result& r = mutableFaceMesh(c).results[f][k];
        std::memcpy(r.tangent, t, 12);
        std::memcpy(r.bitangent, b, 12);
        r.magnitudeS = s;
        r.magnitudeT = m;
        r.orientation = o;
        ++r.fullCalls;
    },
};

Tangent withSign(const FaceMesh::Result& r) { return {r.tangent[0], r.tangent[1], r.tangent[2], r.sign}; }

bool runGenerator(FaceMesh& mesh, const vmq::TangentSpaceCallbacks& callbacks = kFaceCallbacks)
{
    mesh.results.assign(mesh.faces.size(), {});
    for (size_t f = 0; f < mesh.faces.size(); ++f)
        mesh.results[f].resize(mesh.faces[f].size());
    const vmq::TangentSpaceContext context{&callbacks, &mesh};
    return vmq::genTangSpaceDefault(context);
}

TEST(TangentSpace, PlanarQuadWithScaledMappingGivesFullFrameEverywhere)
{
    // u runs along x over 2 units, v along y over 4 units: magnitudes 2 and 4.
    FaceMesh mesh;
    mesh.faces = {{
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{2, 0, 0}, {0, 0, 1}, {1, 0}},
        {{2, 4, 0}, {0, 0, 1}, {1, 1}},
        {{0, 4, 0}, {0, 0, 1}, {0, 1}},
    }};
    ASSERT_TRUE(runGenerator(mesh));
    for (const FaceMesh::Result& r : mesh.results[0]) {
        EXPECT_EQ(r.basicCalls, 1);
        EXPECT_EQ(r.fullCalls, 1);
        expectNearTangent(withSign(r).data(), kPlusX, "tangent");
        EXPECT_NEAR(r.bitangent[0], 0.0f, 1e-6f);
        EXPECT_NEAR(r.bitangent[1], 1.0f, 1e-6f);
        EXPECT_NEAR(r.bitangent[2], 0.0f, 1e-6f);
        EXPECT_FLOAT_EQ(r.magnitudeS, 2.0f);
        EXPECT_FLOAT_EQ(r.magnitudeT, 4.0f);
        EXPECT_TRUE(r.orientation);
        EXPECT_EQ(r.sign, 1.0f);
    }
}

TEST(TangentSpace, QuadAgreesWithItsTwoTrianglesAlongTheShorterUvDiagonal)
{
    // A bent quad: the tangents depend on which diagonal splits it. The UV diagonal 1-3 is the
    // shorter one, so the quad must give what triangles (0, 1, 3) and (1, 2, 3) give.
    const std::vector<TestVertex> quad = {
        {{0, 0, 0}, {0, -0.2f, 0.98f}, {0, 0}},
        {{1, 0, 0.3f}, {0, 0, 1}, {1, 0.1f}},
        {{1, 1, 0}, {0.1f, 0, 0.99f}, {1.2f, 1.3f}},
        {{0, 1, 0.4f}, {0, 0, 1}, {0.1f, 1}},
    };
    FaceMesh quadMesh;
    quadMesh.faces = {quad};
    ASSERT_TRUE(runGenerator(quadMesh));
    FaceMesh triangleMesh;
    triangleMesh.faces = {{quad[0], quad[1], quad[3]}, {quad[1], quad[2], quad[3]}};
    ASSERT_TRUE(runGenerator(triangleMesh));
    // Corners 0 and 2 lie in one triangle each; the shared corners 1 and 3 average two frames.
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(quadMesh.results[0][0].tangent[c], triangleMesh.results[0][0].tangent[c]);
        EXPECT_EQ(quadMesh.results[0][2].tangent[c], triangleMesh.results[1][1].tangent[c]);
    }
    for (int k : {1, 3}) {
        const float* t = quadMesh.results[0][k].tangent;
        EXPECT_NEAR(std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]), 1.0f, 1e-6f);
        EXPECT_EQ(quadMesh.results[0][k].sign, 1.0f);
    }
}

TEST(TangentSpace, QuadWithOneDegenerateHalfCopiesTheCoincidentCorner)
{
    // Corners 2 and 3 coincide: the split along the shorter UV diagonal 1-3 leaves (1, 2, 3)
    // degenerate, and corner 2, which only that half holds, takes corner 3's frame.
    FaceMesh mesh;
    mesh.faces = {{
        {{0, 0, 0}, {0, 0, 1}, {0, 0}},
        {{1, 0, 0}, {0, 0, 1}, {1, 0}},
        {{1, 1, 0}, {0, 0, 1}, {1, 1}},
        {{1, 1, 0}, {0, 0, 1}, {0.9f, 1.2f}},
    }};
    ASSERT_TRUE(runGenerator(mesh));
    const std::vector<FaceMesh::Result>& r = mesh.results[0];
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(r[3].tangent[c], r[2].tangent[c]);
    EXPECT_EQ(r[3].sign, r[2].sign);
    expectNearTangent(withSign(r[0]).data(), kPlusX, "corner 0");
    EXPECT_EQ(r[0].sign, 1.0f);
}

TEST(TangentSpace, SkippedFacesAndFailures)
{
    // A 5-corner face takes no part and gets no setter call; the triangle after it still does.
    FaceMesh mesh;
    const TestVertex a{{0, 0, 0}, {0, 0, 1}, {0, 0}}, b{{1, 0, 0}, {0, 0, 1}, {1, 0}}, c{{0, 1, 0}, {0, 0, 1}, {0, 1}};
    mesh.faces = {{a, b, c, a, b}, {a, b, c}};
    ASSERT_TRUE(runGenerator(mesh));
    for (const FaceMesh::Result& r : mesh.results[0])
        EXPECT_EQ(r.basicCalls + r.fullCalls, 0);
    for (const FaceMesh::Result& r : mesh.results[1]) {
        EXPECT_EQ(r.basicCalls, 1);
        expectNearTangent(withSign(r).data(), kPlusX, "triangle corner");
    }

    FaceMesh onlyLines;
    onlyLines.faces = {{a, b}};
    EXPECT_FALSE(runGenerator(onlyLines));
    FaceMesh empty;
    EXPECT_FALSE(runGenerator(empty));

    vmq::TangentSpaceCallbacks noNormal = kFaceCallbacks;
    noNormal.getNormal = nullptr;
    FaceMesh triangle;
    triangle.faces = {{a, b, c}};
    EXPECT_FALSE(runGenerator(triangle, noNormal));
    EXPECT_EQ(triangle.results[0][0].basicCalls, 0);
}

} // namespace
