// Meshlet topology encoding: strip symbols, prediction, cone and box, re-encoding; every case is
// also decoded back by the test reader of the format.
#include "encoding/topology.h"

#include "meshlet_decoder.h"
#include "partition/partition.h"
#include "pipeline/context.h"
#include "core/error.h"
#include "test_meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using vmq::EncodedMeshlet;
using vmq::MeshTables;
using vmq::TriangleIndices;

// Whole-mesh tables of three position channels (x, y, z per vertex) plus optional extra values.
MeshTables meshOf(const std::vector<TriangleIndices>& triangles, const std::vector<std::array<uint32_t, 3>>& positions)
{
    std::vector<std::vector<uint32_t>> channels(3);
    for (const auto& p : positions)
        for (int axis = 0; axis < 3; ++axis)
            channels[axis].push_back(p[axis]);
    MeshTables tables;
    vmq::buildMeshTables(tables, triangles, channels);
    tables.triangleGroups.assign(triangles.size(), 7);
    tables.triangleCount = tables.triangles.size();
    tables.vertexCount = tables.channelValues[0].size();
    vmq::buildAdjacency(tables, false);
    return tables;
}

const std::vector<QuantParams> kParams(3, QuantParams{0.0f, 1.0f, 8.0f});

std::vector<uint32_t> allTriangles(const MeshTables& mesh)
{
    std::vector<uint32_t> list(size_t(mesh.triangleCount));
    for (uint32_t t = 0; t < list.size(); ++t)
        list[t] = t;
    return list;
}

// Decodes the meshlet's symbols and checks that they give back its triangles (as whole-mesh
// vertex triples, up to rotation) and its channel values.
void expectRoundTrip(const EncodedMeshlet& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& list,
                     const vmq::VertexMap& map)
{
    const vmq_test::DecodedMeshlet decoded = vmq_test::decodeMeshlet(vmq_test::symbolsOf(meshlet), meshlet.topology.deltaOnly);
    const vmq::MeshletTopology& t = meshlet.topology;
    std::vector<uint32_t> encoderToWhole(t.vertexCount);
    for (uint32_t l = 0; l < t.vertexCount; ++l)
        encoderToWhole[uint32_t(t.vertexRemap[l])] = map.wholeVertices[l];

    std::vector<vmq_test::Triangle3> got, want;
    for (const auto& tri : decoded.triangles)
        got.push_back(vmq_test::canonicalRotation(vmq_test::Triangle3{encoderToWhole[tri[0]], encoderToWhole[tri[1]], encoderToWhole[tri[2]]}));
    for (uint32_t g : list)
        want.push_back(vmq_test::canonicalRotation(mesh.triangles[g]));
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(decoded.triangles.size(), t.encodedTriangles.size());
    for (size_t i = 0; i < decoded.triangles.size() && i < t.encodedTriangles.size(); ++i)
        EXPECT_EQ(decoded.triangles[i], t.encodedTriangles[i]) << "triangle " << i;
    for (size_t c = 0; c < mesh.channelValues.size(); ++c)
        for (uint32_t k = 0; k < t.vertexCount; ++k)
            EXPECT_EQ(decoded.values[c][k], mesh.channelValues[c][encoderToWhole[k]]) << "channel " << c << " vertex " << k;
}

// The strip symbols, encoded triangles and vertex order of two topologies are the same.
void expectSameTopology(const vmq::MeshletTopology& a, const vmq::MeshletTopology& b)
{
    EXPECT_EQ(a.isFirstBits, b.isFirstBits);
    EXPECT_EQ(a.restartBits, b.restartBits);
    EXPECT_EQ(a.edgeBits, b.edgeBits);
    EXPECT_EQ(a.indexData, b.indexData);
    EXPECT_EQ(a.vertexFirstTriangle, b.vertexFirstTriangle);
    EXPECT_EQ(a.encodedTriangles, b.encodedTriangles);
    EXPECT_EQ(a.vertexRemap, b.vertexRemap);
    EXPECT_EQ(std::vector<uint32_t>({a.numberedVertices, a.isFirstCount, a.triangleCount, a.vertexCount, a.isFirstCapacity,
                                     a.indexCount, a.groupId}),
              std::vector<uint32_t>({b.numberedVertices, b.isFirstCount, b.triangleCount, b.vertexCount, b.isFirstCapacity,
                                     b.indexCount, b.groupId}));
}

struct Encoded {
    MeshTables mesh;
    std::vector<uint32_t> list;
    vmq::MeshletScratch scratch;
    std::unique_ptr<EncodedMeshlet> meshlet = std::make_unique<EncodedMeshlet>();
};

// Channel c of a meshlet's channel-major table (grid values or residuals) in encoder order.
std::vector<uint32_t> channelOf(const EncodedMeshlet& meshlet, const std::vector<uint32_t>& table, size_t c)
{
    const size_t stride = meshlet.residualStride;
    return std::vector<uint32_t>(table.begin() + c * stride, table.begin() + (c + 1) * stride);
}
std::vector<uint32_t> residualsOf(const EncodedMeshlet& meshlet, size_t c) { return channelOf(meshlet, meshlet.residualTable, c); }
std::vector<uint32_t> valuesOf(const EncodedMeshlet& meshlet, size_t c) { return channelOf(meshlet, meshlet.values, c); }

std::unique_ptr<Encoded> encodeAll(const std::vector<TriangleIndices>& triangles, const std::vector<std::array<uint32_t, 3>>& positions,
                                   bool deltaOnly = false)
{
    auto e = std::make_unique<Encoded>();
    e->mesh = meshOf(triangles, positions);
    e->list = allTriangles(e->mesh);
    vmq::encodeMeshlet(*e->meshlet, kParams, e->mesh, e->list, deltaOnly, e->scratch);
    expectRoundTrip(*e->meshlet, e->mesh, e->list, e->scratch.vertexMap);
    return e;
}

std::vector<uint32_t> zigzags(std::initializer_list<int32_t> values)
{
    std::vector<uint32_t> out;
    for (int32_t v : values)
        out.push_back(vmq::zigzag(v));
    return out;
}

TEST(Topology, Zigzag)
{
    EXPECT_EQ(zigzags({0, -1, 1, -2, 2147483647, int32_t(0x80000000)}),
              (std::vector<uint32_t>{0, 1, 2, 3, 0xFFFFFFFEu, 0xFFFFFFFFu}));
}

TEST(Topology, OneTriangle)
{
    auto e = encodeAll({{0, 1, 2}}, {{10, 20, 30}, {14, 27, 33}, {11, 25, 30}});
    const vmq::MeshletTopology& t = e->meshlet->topology;
    EXPECT_EQ(t.encodedTriangles, (std::vector<TriangleIndices>{{0, 1, 2}}));
    EXPECT_EQ(t.isFirstCapacity, 0u);
    EXPECT_EQ(t.isFirstCount, 0u);
    EXPECT_TRUE(t.indexData.empty());
    EXPECT_TRUE(t.isFirstBits.empty());
    EXPECT_TRUE(t.restartBits.empty());
    EXPECT_EQ(t.groupId, 7u);
    // Predictions 0, value[0], value[1].
    EXPECT_EQ(residualsOf(*e->meshlet, 0), zigzags({10, 4, -3}));
    EXPECT_EQ(residualsOf(*e->meshlet, 1), zigzags({20, 7, -2}));
}

TEST(Topology, Quad)
{
    // T0 = (a, b, c), T1 = (b, d, c): strip (d, c, b), (b, c, a); d = 0, c = 1, b = 2, a = 3.
    const uint32_t a = 0, b = 1, c = 2, d = 3;
    auto e = encodeAll({{a, b, c}, {b, d, c}}, {{0, 0, 5}, {10, 0, 5}, {0, 10, 5}, {10, 10, 5}});
    const vmq::MeshletTopology& t = e->meshlet->topology;
    EXPECT_EQ(t.edgeBits, (std::vector<uint32_t>{1}));
    EXPECT_EQ(t.restartBits, (std::vector<uint32_t>{0}));
    EXPECT_EQ(t.isFirstBits, (std::vector<uint32_t>{1}));
    EXPECT_EQ(t.isFirstCapacity, 1u);
    EXPECT_EQ(t.isFirstCount, 1u);
    EXPECT_TRUE(t.indexData.empty());
    EXPECT_EQ(t.encodedTriangles, (std::vector<TriangleIndices>{{0, 1, 2}, {2, 1, 3}}));
    // Encoder order d, c, b, a; a is predicted as c + b - d = (0, 0, 5): exact, residual 0.
    EXPECT_EQ(valuesOf(*e->meshlet, 0), (std::vector<uint32_t>{10, 0, 10, 0}));
    EXPECT_EQ(residualsOf(*e->meshlet, 0), zigzags({10, -10, 10, 0}));
    EXPECT_EQ(residualsOf(*e->meshlet, 1), zigzags({10, 0, -10, 0}));
    EXPECT_EQ(residualsOf(*e->meshlet, 2), zigzags({5, 0, 0, 0}));
    // Box of the grid positions, cone of the two -z facing triangles.
    EXPECT_EQ(std::vector<float>(e->meshlet->boxMin, e->meshlet->boxMin + 3), (std::vector<float>{0, 0, 5}));
    EXPECT_EQ(std::vector<float>(e->meshlet->boxMax, e->meshlet->boxMax + 3), (std::vector<float>{10, 10, 5}));
    EXPECT_EQ(e->meshlet->residualStride, 4u);
    EXPECT_EQ(e->meshlet->residualChannels, 3);
    EXPECT_EQ(e->meshlet->residualTable[2 * 4 + 0], vmq::zigzag(5));
}

TEST(Topology, TwoStrips)
{
    // Two triangles sharing only vertex 2: the second restarts and references 2 again.
    auto e = encodeAll({{0, 1, 2}, {2, 3, 4}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {3, 1, 0}, {2, 2, 0}});
    const vmq::MeshletTopology& t = e->meshlet->topology;
    EXPECT_EQ(t.restartBits, (std::vector<uint32_t>{1}));
    EXPECT_EQ(t.edgeBits, (std::vector<uint32_t>{0}));
    EXPECT_EQ(t.isFirstCount, 3u);
    EXPECT_EQ(t.isFirstCapacity, 3u);
    EXPECT_EQ(t.isFirstBits, (std::vector<uint32_t>{0b110}));
    EXPECT_EQ(t.indexData, (std::vector<uint32_t>{2}));
    // Vertices of a restart triangle are predicted by the previous vertex.
    EXPECT_EQ(residualsOf(*e->meshlet, 0), zigzags({0, 1, -1, 3, -1}));
}

TEST(Topology, DeltaPrediction)
{
    auto e = encodeAll({{0, 1, 2}, {1, 3, 2}}, {{0, 0, 5}, {10, 0, 5}, {0, 10, 5}, {10, 10, 5}}, true);
    const vmq::MeshletTopology& t = e->meshlet->topology;
    EXPECT_EQ(t.deltaOnly, 1);
    for (size_t c = 0; c < 3; ++c) {
        const std::vector<uint32_t> v = valuesOf(*e->meshlet, c);
        EXPECT_EQ(residualsOf(*e->meshlet, c), zigzags({int32_t(v[0]), int32_t(v[1] - v[0]), int32_t(v[2] - v[1]), int32_t(v[3] - v[2])}));
    }
}

TEST(Topology, Cone)
{
    {
        SCOPED_TRACE("flat, facing +z");
        auto e = encodeAll({{0, 1, 2}, {1, 3, 2}}, {{0, 0, 5}, {10, 0, 5}, {0, 10, 5}, {10, 10, 5}});
        EXPECT_EQ(std::vector<float>(e->meshlet->coneAxis, e->meshlet->coneAxis + 3), (std::vector<float>{0, 0, 1}));
        EXPECT_EQ(e->meshlet->coneSpread, 0.0f);
    }
    {
        SCOPED_TRACE("all degenerate");
        auto e = encodeAll({{0, 1, 2}, {1, 3, 2}}, {{0, 0, 5}, {1, 1, 5}, {2, 2, 5}, {3, 3, 5}});
        EXPECT_EQ(std::vector<float>(e->meshlet->coneAxis, e->meshlet->coneAxis + 3), (std::vector<float>{0, 0, 0}));
        EXPECT_EQ(e->meshlet->coneSpread, 0.0f);
    }
    {
        SCOPED_TRACE("a fold: +z and +x halves");
        auto e = encodeAll({{0, 1, 2}, {1, 0, 3}}, {{10, 0, 10}, {10, 10, 10}, {0, 0, 10}, {10, 0, 0}});
        const float* axis = e->meshlet->coneAxis;
        EXPECT_FLOAT_EQ(axis[0], 0.5f);
        EXPECT_FLOAT_EQ(axis[1], 0.0f);
        EXPECT_FLOAT_EQ(axis[2], 0.5f);
        EXPECT_FLOAT_EQ(e->meshlet->coneSpread, std::sqrt(0.5f));
    }
}

// The triangles that the shared-edge patterns cannot describe still decode to themselves.
TEST(Topology, IrregularTrianglesRoundTrip)
{
    struct Case {
        const char* name;
        std::vector<TriangleIndices> triangles;
    };
    const Case cases[] = {
        {"strip across an edge of three triangles", {{0, 1, 2}, {2, 1, 3}, {1, 2, 4}}},
        {"degenerate triangle in a strip", {{0, 1, 2}, {0, 0, 2}, {1, 0, 3}}},
        {"first triangle repeats a corner", {{0, 0, 1}}},
        {"first triangle repeats a corner, then more", {{0, 0, 1}, {0, 1, 2}, {2, 1, 3}, {4, 5, 6}}},
        {"one vertex only", {{0, 0, 0}, {0, 0, 0}}},
        {"fan on a non-manifold edge", {{0, 1, 2}, {1, 0, 3}, {1, 0, 4}, {1, 0, 5}, {0, 1, 6}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<std::array<uint32_t, 3>> positions;
        for (uint32_t v = 0; v < 8; ++v)
            positions.push_back({v * 3 % 7, v * 5 % 11, v});
        auto e = encodeAll(k.triangles, positions);
        const vmq::MeshletTopology& t = e->meshlet->topology;
        EXPECT_EQ(t.isFirstCount, t.isFirstCapacity);
    }
}

TEST(Topology, IrregularTrianglesBecomeRestarts)
{
    // (0,1,2), (2,1,3), (1,2,4): T1 has two neighbours on edge {1,2}; whichever strip forms,
    // a triangle whose corners fit neither pattern is written with restart 1 and three
    // references, so references = 3 + 3 + 1 or more, and IS_FIRST grows with them.
    auto e = encodeAll({{0, 1, 2}, {2, 1, 3}, {1, 2, 4}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}});
    const vmq::MeshletTopology& t = e->meshlet->topology;
    EXPECT_EQ(t.triangleCount, 3u);
    uint32_t restarts = 0;
    for (uint32_t i = 0; i < 2; ++i)
        restarts += vmq::readBit(t.restartBits, i);
    EXPECT_GE(restarts, 1u);
    EXPECT_EQ(t.isFirstCount, 3 + 3 * restarts + (2 - restarts) - 3);

    // The first triangle (a, a, b): every reference carries a bit, isFirstCount = references.
    auto f = encodeAll({{0, 0, 1}}, {{0, 0, 0}, {1, 0, 0}});
    EXPECT_EQ(f->meshlet->topology.isFirstCount, 3u);
    EXPECT_EQ(f->meshlet->topology.isFirstBits, (std::vector<uint32_t>{0b101}));
    EXPECT_EQ(f->meshlet->topology.indexData, (std::vector<uint32_t>{0}));
    EXPECT_EQ(f->meshlet->topology.vertexCount, 2u);
}

TEST(Topology, RealMeshletsRoundTrip)
{
    vmq_support::LoadedMesh loaded;
    VMQ_LOAD_SHARED_MESH("pirate.obj", loaded);
    vmq_test::MeshInput input(loaded);
    CompressionSettings settings{};
    vmq::CompressionContext context;
    const MeshTables mesh = vmq_test::wholeMeshTables(input, settings, context);
    const MeshletPartition partition = vmq_test::runPartition(mesh.triangleGroups, 64);
    vmq::MeshletScratch scratch;
    EncodedMeshlet meshlet; // one record for every meshlet, as the driver keeps it
    for (const auto& list : partition.meshlets) {
        vmq::encodeMeshlet(meshlet, context.quantParams, mesh, list, false, scratch);
        expectRoundTrip(meshlet, mesh, list, scratch.vertexMap);
        if (HasFailure())
            return;
    }
}

// The kept topologies share one block of words; entries stored out of order load back whole.
TEST(Topology, KeptTopologiesLoadBackInAnyStoreOrder)
{
    auto strip = encodeAll({{0, 1, 2}, {1, 3, 2}, {2, 3, 4}, {3, 5, 4}}, {{0, 0, 0}, {9, 0, 0}, {0, 9, 0}, {9, 9, 0}, {0, 18, 0}, {9, 18, 3}});
    auto restart = encodeAll({{0, 1, 2}, {2, 3, 4}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {3, 1, 0}, {2, 2, 0}});
    auto repeated = encodeAll({{0, 0, 1}, {0, 1, 2}}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    const vmq::MeshletTopology* topologies[] = {&strip->meshlet->topology, &restart->meshlet->topology, &repeated->meshlet->topology};
    MeshletTopologyList list;
    list.meshlets.resize(3);
    for (size_t n : {2, 0, 1})
        list.store(n, *topologies[n]);
    vmq::MeshletTopology loaded = list.load(1); // loading into a record of other sizes
    for (size_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        list.load(n, loaded);
        expectSameTopology(loaded, *topologies[n]);
        EXPECT_EQ(loaded.deltaOnly, topologies[n]->deltaOnly);
    }
}

TEST(Topology, ReencodingKeepsTopologyAndRedoesValues)
{
    const std::vector<TriangleIndices> triangles = {{0, 1, 2}, {1, 3, 2}, {2, 3, 4}, {3, 5, 4}, {4, 5, 6}};
    std::vector<std::array<uint32_t, 3>> positions, moved;
    for (uint32_t v = 0; v < 7; ++v) {
        positions.push_back({v * 10, (v % 2) * 10, 0});
        moved.push_back({v * 7 + 3, (v % 2) * 12, v * v});
    }
    auto first = encodeAll(triangles, positions);
    MeshTables movedMesh = meshOf(triangles, moved);
    vmq::MeshletScratch scratch;
    auto again = std::make_unique<EncodedMeshlet>();
    again->topology = first->meshlet->topology;
    vmq::reencodeMeshlet(*again, kParams, movedMesh, first->list, false, scratch);
    const vmq::MeshletTopology& a = first->meshlet->topology;
    expectSameTopology(a, again->topology);
    EXPECT_NE(first->meshlet->residualTable, again->residualTable);
    EXPECT_NE(first->meshlet->boxMax[2], again->boxMax[2]);
    expectRoundTrip(*again, movedMesh, first->list, scratch.vertexMap);

    // A stored topology of other counts is refused with a message.
    MeshTables other = meshOf({{0, 1, 2}, {1, 3, 2}}, positions);
    try {
        EncodedMeshlet stored;
        stored.topology = a;
        vmq::reencodeMeshlet(stored, kParams, other, {0, 1}, false, scratch);
        ADD_FAILURE() << "no error";
    } catch (const vmq::CompressionError& error) {
        EXPECT_NE(std::string(error.what()).find("5 triangles and 7 vertices"), std::string::npos) << error.what();
    }
}

} // namespace
