// Welding, degenerate and repeated-triangle removal, material grouping and reordering.
#include "mesh/mesh_optimize.h"
#include "mesh_io.h"
#include "core/error.h"

#include "pelku_vmq_compression.h"

#include "test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

using vmq::TriangleIndices;
using vmq::VertexAttribute;

// A triangle as its corners' positions, rotated so the smallest corner comes first: the same
// triangle with the same winding compares equal whatever its vertex numbers.
using PlacedTriangle = std::array<std::array<float, 3>, 3>;

PlacedTriangle placed(const TriangleIndices& triangle, const VertexAttribute& position)
{
    PlacedTriangle corners;
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
            corners[k][c] = position.values[size_t(triangle[k]) * position.componentCount + c];
    const int first = int(std::min_element(corners.begin(), corners.end()) - corners.begin());
    std::rotate(corners.begin(), corners.begin() + first, corners.end());
    return corners;
}

std::multiset<std::pair<uint32_t, PlacedTriangle>> placedTriangles(const std::vector<TriangleIndices>& triangles,
                                                                    const std::vector<uint32_t>& materials,
                                                                    const VertexAttribute& position)
{
    std::multiset<std::pair<uint32_t, PlacedTriangle>> result;
    for (size_t t = 0; t < triangles.size(); ++t)
        result.insert({materials[t], placed(triangles[t], position)});
    return result;
}

// Two triangles sharing the edge B-C, as a soup of one vertex per corner: A B C, C B D.
struct Soup {
    std::vector<TriangleIndices> triangles = {{0, 1, 2}, {3, 4, 5}};
    std::vector<uint32_t> materials = {0, 0};
    std::vector<VertexAttribute> attributes;

    Soup()
    {
        const float a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 1, 0}, d[3] = {1, 1, 0};
        attributes.push_back({POSITION, 3, {}});
        for (const float* p : {a, b, c, c, b, d})
            attributes[0].values.insert(attributes[0].values.end(), p, p + 3);
        attributes.push_back({NORMAL, 3, {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1}});
    }
};

TEST(OptimizeMeshBuffers, WeldsEqualCornersOfOneSourceVertex)
{
    for (bool optimize : {false, true}) {
        Soup soup;
        const std::vector<uint32_t> sourceVertex = {0, 1, 2, 2, 1, 3};
        const auto before = placedTriangles(soup.triangles, soup.materials, soup.attributes[0]);
        vmq::optimizeMeshBuffers(soup.triangles, soup.attributes, soup.materials, optimize, &sourceVertex);
        EXPECT_EQ(vmq::meshVertexCount(soup.attributes), 4u) << "optimize " << optimize;
        EXPECT_EQ(soup.attributes[1].values.size(), 12u);
        EXPECT_EQ(placedTriangles(soup.triangles, soup.materials, soup.attributes[0]), before);
        if (!optimize) {
            EXPECT_EQ(soup.triangles, (std::vector<TriangleIndices>{{0, 1, 2}, {2, 1, 3}}));
        }
    }
}

TEST(OptimizeMeshBuffers, DifferentSourceVerticesStayApart)
{
    Soup soup;
    const std::vector<uint32_t> sourceVertex = {0, 1, 2, 7, 8, 3};
    vmq::optimizeMeshBuffers(soup.triangles, soup.attributes, soup.materials, true, &sourceVertex);
    EXPECT_EQ(vmq::meshVertexCount(soup.attributes), 6u);

    // A list that does not hold one entry per vertex is not used.
    Soup other;
    const std::vector<uint32_t> shortList = {0, 1, 2, 7, 8};
    vmq::optimizeMeshBuffers(other.triangles, other.attributes, other.materials, true, &shortList);
    EXPECT_EQ(vmq::meshVertexCount(other.attributes), 4u);
}

TEST(OptimizeMeshBuffers, CornersDifferingInAnyAttributeStayApart)
{
    Soup soup;
    soup.attributes[1].values[3 * 3 + 2] = -1.0f; // the second C gets another normal
    vmq::optimizeMeshBuffers(soup.triangles, soup.attributes, soup.materials, false, nullptr);
    EXPECT_EQ(vmq::meshVertexCount(soup.attributes), 5u);
}

TEST(OptimizeMeshBuffers, DegenerateTrianglesLeaveWithTheirMaterials)
{
    // Eight distinct vertices, plus vertex 8 equal to vertex 2, so (2, 8, 3) turns degenerate
    // only once welded.
    std::vector<VertexAttribute> attributes = {{POSITION, 3, {}}};
    for (int v = 0; v < 8; ++v)
        attributes[0].values.insert(attributes[0].values.end(), {float(v), float(v * v), 0});
    attributes[0].values.insert(attributes[0].values.end(), {2, 4, 0});
    for (bool optimize : {false, true}) {
        std::vector<VertexAttribute> working = attributes;
        std::vector<TriangleIndices> triangles = {{0, 1, 2}, {5, 5, 7}, {3, 4, 6}, {2, 8, 3}, {1, 6, 7}};
        std::vector<uint32_t> materials = {10, 11, 12, 13, 14};
        vmq::optimizeMeshBuffers(triangles, working, materials, optimize, nullptr);
        ASSERT_EQ(triangles.size(), 3u);
        EXPECT_EQ(materials, (std::vector<uint32_t>{10, 12, 14}));
        if (!optimize) {
            EXPECT_EQ(triangles, (std::vector<TriangleIndices>{{0, 1, 2}, {5, 6, 7}, {1, 7, 4}}));
        }
    }
}

TEST(OptimizeMeshBuffers, AllDegenerateLeavesAnEmptyMesh)
{
    std::vector<VertexAttribute> attributes = {{POSITION, 3, {0, 0, 0, 1, 0, 0}}};
    std::vector<TriangleIndices> triangles = {{0, 0, 1}, {1, 1, 1}};
    std::vector<uint32_t> materials = {0, 1};
    vmq::optimizeMeshBuffers(triangles, attributes, materials, true, nullptr);
    EXPECT_TRUE(triangles.empty());
    EXPECT_TRUE(materials.empty());
    EXPECT_EQ(vmq::meshVertexCount(attributes), 0u);
}

TEST(OptimizeMeshBuffers, RefusesVertexNumbersPastTheAttributes)
{
    // The second attribute is one vertex short of what the triangle uses.
    std::vector<VertexAttribute> attributes = {{POSITION, 3, {0, 0, 0, 1, 0, 0, 0, 1, 0}}, {TEXCOORD, 2, {0, 0, 1, 0}}};
    std::vector<TriangleIndices> triangles = {{0, 1, 2}};
    std::vector<uint32_t> materials = {0};
    EXPECT_THROW(vmq::optimizeMeshBuffers(triangles, attributes, materials, true, nullptr), vmq::CompressionError);
    attributes.pop_back();
    std::vector<uint32_t> tooFew;
    EXPECT_THROW(vmq::optimizeMeshBuffers(triangles, attributes, tooFew, true, nullptr), vmq::CompressionError);
}

// More than 16 attribute streams and elements wider than 256 bytes exceed what one weld call
// takes; the weld must still compare every value.
TEST(OptimizeMeshBuffers, WeldsOverManyAndWideAttributes)
{
    Soup soup;
    for (int a = 0; a < 18; ++a)
        soup.attributes.push_back({COLOR, 1, std::vector<float>(6, float(a))});
    soup.attributes.push_back({VELOCITY, 70, std::vector<float>(6 * 70, 0.5f)});
    for (bool wideDiffers : {false, true}) {
        Soup working = soup;
        if (wideDiffers)
            working.attributes.back().values[3 * 70 + 69] = 2.0f; // the second C, last component
        else
            working.attributes[19].values[4] = -3.0f; // the second B, in the 18th one-component attribute
        vmq::optimizeMeshBuffers(working.triangles, working.attributes, working.materials, true, nullptr);
        EXPECT_EQ(vmq::meshVertexCount(working.attributes), 5u) << "wide differs " << wideDiffers;
        for (const VertexAttribute& attribute : working.attributes)
            EXPECT_EQ(attribute.values.size(), 5u * attribute.componentCount);
    }
}

TEST(RemoveRepeatedTriangles, KeysOfMaterialAndVertexSet)
{
    struct Case {
        const char* name;
        std::vector<TriangleIndices> triangles;
        std::vector<uint32_t> materials;
        std::vector<TriangleIndices> keptTriangles;
        std::vector<uint32_t> keptMaterials;
    };
    const Case cases[] = {
        {"rotated repeat, same material", {{1, 2, 3}, {3, 1, 2}}, {4, 4}, {{1, 2, 3}}, {4}},
        {"rotated repeat, other material", {{1, 2, 3}, {3, 1, 2}}, {4, 5}, {{1, 2, 3}, {3, 1, 2}}, {4, 5}},
        {"reversed winding", {{3, 2, 1}, {1, 2, 3}}, {0, 0}, {{3, 2, 1}}, {0}},
        {"first kept in order",
         {{1, 2, 3}, {1, 2, 4}, {2, 3, 1}, {1, 2, 3}, {4, 1, 2}},
         {0, 0, 0, 1, 0},
         {{1, 2, 3}, {1, 2, 4}, {1, 2, 3}},
         {0, 0, 1}},
        {"empty", {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<TriangleIndices> triangles = c.triangles;
        std::vector<uint32_t> materials = c.materials;
        vmq::removeRepeatedTriangles(triangles, materials);
        EXPECT_EQ(triangles, c.keptTriangles) << c.name;
        EXPECT_EQ(materials, c.keptMaterials) << c.name;
    }
}

struct RealMesh {
    std::vector<TriangleIndices> triangles;
    std::vector<VertexAttribute> attributes;
    std::vector<uint32_t> materials;
};

// spot.obj, with material numbers in bands so that the grouping has work to do.
bool loadRealMesh(RealMesh& mesh)
{
    vmq_support::LoadedMesh loaded;
    std::string error;
    if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/spot.obj"), loaded, error)) {
        if (vmq_test::sharedDataRequired())
            ADD_FAILURE() << "test mesh missing: " << error;
        return false;
    }
    mesh.attributes = {{POSITION, 3, loaded.positions}, {NORMAL, 3, loaded.normals}, {TEXCOORD, 2, loaded.texcoords}};
    mesh.triangles.resize(loaded.triangleCount());
    mesh.materials.resize(loaded.triangleCount());
    for (size_t t = 0; t < mesh.triangles.size(); ++t) {
        mesh.triangles[t] = {loaded.indices[3 * t], loaded.indices[3 * t + 1], loaded.indices[3 * t + 2]};
        mesh.materials[t] = uint32_t((t * 7 / 1000) % 5);
    }
    return true;
}

// The pass reorders and renumbers but never changes geometry: the same triangles (winding
// kept) with the same materials, materials ascending, every vertex used and numbered by first use.
TEST(OptimizeMeshBuffers, RealMeshKeepsGeometryAndOrdersByMaterial)
{
    RealMesh mesh;
    if (!loadRealMesh(mesh))
        GTEST_SKIP() << "test mesh missing";
    const auto before = placedTriangles(mesh.triangles, mesh.materials, mesh.attributes[0]);
    vmq::optimizeMeshBuffers(mesh.triangles, mesh.attributes, mesh.materials, true, nullptr);

    EXPECT_EQ(placedTriangles(mesh.triangles, mesh.materials, mesh.attributes[0]), before);
    EXPECT_TRUE(std::is_sorted(mesh.materials.begin(), mesh.materials.end()));
    const size_t vertexCount = vmq::meshVertexCount(mesh.attributes);
    for (const VertexAttribute& attribute : mesh.attributes)
        EXPECT_EQ(attribute.values.size(), vertexCount * attribute.componentCount);
    uint32_t nextNew = 0;
    for (const TriangleIndices& triangle : mesh.triangles) {
        for (uint32_t v : triangle) {
            ASSERT_LE(v, nextNew);
            if (v == nextNew)
                ++nextNew;
        }
    }
    EXPECT_EQ(nextNew, vertexCount);

    // Without reordering the triangles keep their order.
    RealMesh plain;
    ASSERT_TRUE(loadRealMesh(plain));
    const std::vector<uint32_t> materials = plain.materials;
    std::vector<PlacedTriangle> order;
    for (const TriangleIndices& triangle : plain.triangles)
        order.push_back(placed(triangle, plain.attributes[0]));
    vmq::optimizeMeshBuffers(plain.triangles, plain.attributes, plain.materials, false, nullptr);
    ASSERT_EQ(plain.triangles.size(), order.size());
    EXPECT_EQ(plain.materials, materials);
    for (size_t t = 0; t < order.size(); ++t)
        ASSERT_EQ(placed(plain.triangles[t], plain.attributes[0]), order[t]) << "triangle " << t;
}

} // namespace
