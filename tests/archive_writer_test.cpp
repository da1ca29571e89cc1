// Archives written in memory read back with every property, sample pattern, geometry parameter,
// transform, visibility, face set and time sampling intact.
#include "alembic/archive/archive_reader.h"
#include "archive_writer.h"
#include "alembic/archive/geometry_schemas.h"

#include <gtest/gtest.h>

#ifdef PELKU_VMQ_VMQ_TOOL
#include "archive_dump.h" // the tool's listing, where the tool is built
#endif

#include <cstdio>
#include <filesystem>

using namespace vmq::abc;

namespace {

constexpr uint32_t kFrames = 5;

Imath::M44d frameMatrix(uint32_t f)
{
    Imath::M44d m;
    m[0][0] = 1.0 + f;
    m[1][1] = 2.0;
    m[2][1] = 0.25 * f;
    m[3][0] = -3.5;
    m[3][2] = 0.1 * f;
    m[0][3] = f == 4 ? 0.5 : 0.0;
    return m;
}

// A quad and a triangle over 5 vertices; positions follow the pattern A A B B C.
ArchiveContents sampleContents()
{
    MeshFrames frames;
    frames.timeSampling = 1;
    for (uint32_t f = 0; f < kFrames; ++f) {
        const float shift = f < 2 ? 0.0f : f < 4 ? 1.0f : 2.5f;
        frames.positions.push_back({0, 0, shift, 1, 0, shift, 1, 1, shift, 0, 1, shift, 2, 0.5f, shift});
        frames.faceIndices.push_back({0, 1, 2, 3, 1, 4, 2});
        frames.faceCounts.push_back({4, 3});
        frames.velocities.push_back(std::vector<float>(15, 0.5f * f));
    }
    std::vector<WriteProperty> geom;
    geom.push_back(floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{0, 0, 1, 0, 1, 1, 0, 1}},
                                  {{0, 1, 2, 3, 1, 0, 2}}));
    geom.push_back(floatGeomParam("N", TypedParam::Normal3f, GeomScope::Uniform, {{0, 0, 1, 0, 0, -1}}));
    geom.push_back(compoundProperty(
        ".arbGeomParams",
        {floatGeomParam("Cd", TypedParam::Color3f, GeomScope::Vertex, {std::vector<float>(15, 0.25f)}),
         stringGeomParam("shop_materialpath", GeomScope::Uniform, {{"/mat/a", "/mat/b"}}, {{1, 0}}),
         arrayProperty<float>("uv1", Pod::F32, 1, {std::vector<float>(21, 0.5f)})}));
    geom.push_back(compoundProperty(".userProperties", {arrayProperty<float>("vel", Pod::F32, 3, {std::vector<float>(15, 1.0f)})}));
    WriteObject mesh = polyMeshObject("mesh", frames, std::move(geom));
    mesh.children.push_back(faceSetObject("zeta", {{0}}));
    mesh.children.push_back(faceSetObject("alpha", {{1}, {0, 1}}));

    std::vector<Imath::M44d> matrices;
    for (uint32_t f = 0; f < kFrames; ++f)
        matrices.push_back(frameMatrix(f));
    WriteObject group = xformObject("grp", matrices, 1);
    addVisibility(group, {-1, -1, 0, 0, 1}, 1);
    group.children.push_back(std::move(mesh));

    ArchiveContents contents;
    contents.metadata = makeMetaData({{"_ai_Application", "archive writer test"}});
    TimeSampling uniform;
    uniform.timePerCycle = 1.0 / 24.0;
    uniform.storedTimes = {1.0 / 24.0};
    TimeSampling cyclic;
    cyclic.kind = TimeSamplingKind::Cyclic;
    cyclic.timePerCycle = 1.0;
    cyclic.samplesPerCycle = 3;
    cyclic.storedTimes = {0.0, 0.25, 0.5};
    TimeSampling acyclic;
    acyclic.kind = TimeSamplingKind::Acyclic;
    acyclic.storedTimes = {-1.0, 0.0, 2.5};
    contents.timeSamplings = {uniform, cyclic, acyclic};
    contents.top.children.push_back(std::move(group));
    contents.top.properties.push_back(scalarProperty<int32_t>("cyc", Pod::I32, 1, {7, 8, 7}, {}, 2));
    return contents;
}

uint32_t findObject(const Archive& archive, const std::string& fullName)
{
    for (uint32_t o = 0; o < archive.objects().size(); ++o)
        if (archive.object(o).fullName == fullName)
            return o;
    return kNoIndex;
}

std::string hex(const ByteSpan& bytes)
{
    std::string out;
    char buffer[4];
    for (uint64_t i = 0; i < bytes.size; ++i) {
        std::snprintf(buffer, sizeof(buffer), "%02x", bytes.data[i]);
        out += buffer;
    }
    return out;
}

} // namespace

TEST(ArchiveWriter, WrittenArchiveReadsBack)
{
    const ArchiveContents contents = sampleContents();
    const std::vector<uint8_t> bytes = writeArchive(contents);
    auto archive = Archive::openMemory(bytes.data(), bytes.size(), "written.abc");
    ASSERT_EQ(archive->treeError(), "");
    EXPECT_EQ(archive->metadata().get("_ai_Application"), "archive writer test");

    ASSERT_EQ(archive->timeSamplings().size(), 4u);
    EXPECT_EQ(archive->timeSamplings()[1].kind, TimeSamplingKind::Uniform);
    EXPECT_EQ(archive->timeSamplings()[1].timePerCycle, 1.0 / 24.0);
    EXPECT_EQ(archive->timeSamplings()[1].maxSampleCount, kFrames);
    EXPECT_EQ(archive->timeSamplings()[2].kind, TimeSamplingKind::Cyclic);
    EXPECT_EQ(archive->timeSamplings()[2].samplesPerCycle, 3u);
    EXPECT_EQ(archive->timeSamplings()[3].kind, TimeSamplingKind::Acyclic);
    EXPECT_EQ(archive->timeSamplings()[3].storedTimes, (std::vector<double>{-1.0, 0.0, 2.5}));

    const uint32_t grp = findObject(*archive, "/grp"), mesh = findObject(*archive, "/grp/mesh");
    ASSERT_NE(grp, kNoIndex);
    ASSERT_NE(mesh, kNoIndex);
    EXPECT_EQ(archive->object(mesh).parent, grp);
    EXPECT_TRUE(isXform(archive->object(grp)));
    EXPECT_TRUE(isPolyMesh(archive->object(mesh)));
    EXPECT_FALSE(isPolyMesh(archive->object(grp)));

    // Transform: every sample, clamped past the end, not constant.
    const XformSchema xform = openXform(*archive, grp);
    EXPECT_FALSE(isConstant(*archive, xform));
    EXPECT_EQ(sampleCount(*archive, xform), kFrames);
    for (uint32_t f = 0; f <= kFrames + 2; ++f)
        EXPECT_EQ(readXformMatrix(*archive, xform, f), frameMatrix(std::min(f, kFrames - 1))) << f;

    const uint32_t visible = findVisibility(*archive, grp);
    ASSERT_NE(visible, kNoIndex);
    EXPECT_FALSE(archive->header(visible).isConstant());
    const int8_t expectedVisibility[] = {-1, -1, 0, 0, 1};
    for (uint32_t f = 0; f < kFrames; ++f)
        EXPECT_EQ(readVisibility(*archive, visible, f), expectedVisibility[f]);
    EXPECT_EQ(findVisibility(*archive, mesh), kNoIndex);

    // Mesh: every property of every frame.
    const PolyMeshSchema schema = openPolyMesh(*archive, mesh);
    const PropertyHeader& p = archive->header(schema.positions);
    EXPECT_EQ(p.sampleCount, kFrames);
    EXPECT_EQ(p.timeSampling, 1u);
    EXPECT_EQ(p.firstChanged, 2u);
    EXPECT_EQ(p.lastChanged, 4u);
    EXPECT_FALSE(p.isConstant());
    EXPECT_TRUE(hasConstantTopology(*archive, schema));
    EXPECT_FALSE(archive->header(schema.velocities).isConstant());
    PolyMeshSample sample;
    for (uint32_t f = 0; f < kFrames; ++f) {
        readPolyMesh(*archive, schema, f, sample);
        const float shift = f < 2 ? 0.0f : f < 4 ? 1.0f : 2.5f;
        EXPECT_EQ(sample.positions, (std::vector<float>{0, 0, shift, 1, 0, shift, 1, 1, shift, 0, 1, shift, 2, 0.5f, shift}));
        EXPECT_EQ(sample.faceIndices, (std::vector<int32_t>{0, 1, 2, 3, 1, 4, 2}));
        EXPECT_EQ(sample.faceCounts, (std::vector<int32_t>{4, 3}));
        EXPECT_EQ(sample.velocities, std::vector<float>(15, 0.5f * f));
    }

    ASSERT_TRUE(schema.uvs.valid());
    EXPECT_TRUE(schema.uvs.indexed());
    EXPECT_EQ(schema.uvs.scope, GeomScope::FaceVarying);
    EXPECT_TRUE(isConstant(*archive, schema.uvs));
    GeomParamSample uv;
    readGeomParam(*archive, schema.uvs, 3, uv);
    EXPECT_EQ(uv.values, (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 1}));
    EXPECT_EQ(uv.indices, (std::vector<uint32_t>{0, 1, 2, 3, 1, 0, 2}));
    ASSERT_TRUE(schema.normals.valid());
    EXPECT_FALSE(schema.normals.indexed());
    EXPECT_EQ(schema.normals.scope, GeomScope::Uniform);

    ASSERT_NE(schema.arbGeomParams, kNoIndex);
    const auto& arb = archive->property(schema.arbGeomParams).children;
    ASSERT_EQ(arb.size(), 3u);
    EXPECT_TRUE(matchesGeomParam(archive->header(arb[0]), TypedParam::Color3f));
    EXPECT_FALSE(matchesGeomParam(archive->header(arb[0]), TypedParam::Color4f));
    EXPECT_TRUE(matchesGeomParam(archive->header(arb[1]), TypedParam::String));
    EXPECT_FALSE(matchesGeomParam(archive->header(arb[2]), TypedParam::Vector2f));
    const GeomParam materials = openGeomParam(*archive, arb[1], Pod::String, 0);
    std::vector<std::string> names;
    std::vector<uint32_t> indices;
    readStringGeomParam(*archive, materials, 0, names, indices);
    EXPECT_EQ(names, (std::vector<std::string>{"/mat/a", "/mat/b"}));
    EXPECT_EQ(indices, (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(materials.scope, GeomScope::Uniform);
    ASSERT_NE(schema.userProperties, kNoIndex);
    EXPECT_NE(archive->findProperty(schema.userProperties, "vel"), kNoIndex);

    // Face sets come back sorted by name; each clamps to its own sample count.
    ASSERT_EQ(schema.faceSets.size(), 2u);
    EXPECT_EQ(schema.faceSets[0].name, "alpha");
    EXPECT_EQ(schema.faceSets[1].name, "zeta");
    std::vector<int32_t> faces;
    readFaceSet(*archive, schema.faceSets[0], 4, faces);
    EXPECT_EQ(faces, (std::vector<int32_t>{0, 1}));
    readFaceSet(*archive, schema.faceSets[1], 4, faces);
    EXPECT_EQ(faces, (std::vector<int32_t>{0}));

    // A B A pattern on the cyclic sampling: not constant although sample 2 repeats sample 0.
    const uint32_t cyc = archive->findProperty(archive->object(0).topCompound, "cyc");
    ASSERT_NE(cyc, kNoIndex);
    EXPECT_FALSE(archive->header(cyc).isConstant());
    EXPECT_EQ(archive->header(cyc).timeSampling, 2u);
    std::vector<int32_t> value;
    copyValues(archive->readSample(cyc, 2), value);
    EXPECT_EQ(value, (std::vector<int32_t>{7}));
    // The repeated value shares the first sample's data block.
    EXPECT_EQ(archive->readSample(cyc, 2).values.data, archive->readSample(cyc, 0).values.data);

#ifdef PELKU_VMQ_VMQ_TOOL
    // The listing reads the whole archive.
    const std::string path = (std::filesystem::temp_directory_path() / "vmq_archive_writer_test.abc").string();
    writeArchiveFile(path, contents);
    std::string listing;
    EXPECT_TRUE(dumpArchive(path, listing)) << listing;
    std::filesystem::remove(path);
#endif
}

// Keys are those the reference writer stores for the same values (from tri_single.dump.txt).
TEST(ArchiveWriter, SampleKeysMatchReferenceWriter)
{
    ArchiveContents contents;
    MeshFrames frames;
    frames.positions = {{0, 0, 0, 0, 1, 0, 1, 0, 0}};
    frames.faceIndices = {{0, 1, 2}};
    frames.faceCounts = {{3}};
    contents.top.children.push_back(polyMeshObject("tri", frames));
    const std::vector<uint8_t> bytes = writeArchive(contents);
    auto archive = Archive::openMemory(bytes.data(), bytes.size(), "tri.abc");
    const PolyMeshSchema mesh = openPolyMesh(*archive, 1);
    EXPECT_EQ(hex(archive->readSample(mesh.positions, 0).key), "6537e987cb91a2795be3d54e74609ad2");
    EXPECT_EQ(hex(archive->readSample(mesh.faceIndices, 0).key), "83bc3ec3f049daf0c0d9f0a4b3b3e26d");
    EXPECT_EQ(hex(archive->readSample(mesh.faceCounts, 0).key), "3ba1d27b7fde4848a86e865c6c402dfa");
    EXPECT_TRUE(archive->header(mesh.faceCounts).scalarLike);
    EXPECT_FALSE(archive->header(mesh.positions).scalarLike);
}
