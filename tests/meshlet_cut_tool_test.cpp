// Meshes whose triangles share no vertices: the library's cut is one meshlet per triangle, the
// tool notices it and cuts over shared positions instead, and the result decodes to the same
// triangles.
#include "commands.h"
#include "container.h"
#include "decoding.h"
#include "meshlet_cut.h"
#include "test_paths.h"
#include "tool_runner.h"
#include "verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using namespace vmq_tool;

// A bumpy w x h grid, flat shaded: every triangle its own three vertices with the face normal,
// texture coordinates by position, two groups.
SourceMesh flatGrid(uint32_t w, uint32_t h)
{
    SourceMesh mesh;
    mesh.attributes = {{POSITION, 3, {}}, {NORMAL, 3, {}}, {TEXCOORD, 2, {}}};
    mesh.materialNames = {"left", "right"};
    auto at = [&](uint32_t i, uint32_t j) { return std::vector<float>{float(i), float(j), 0.4f * std::sin(0.9f * float(i) + 0.7f * float(j))}; };
    for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i)
            for (const auto& corners : {std::vector<std::pair<uint32_t, uint32_t>>{{i, j}, {i + 1, j}, {i + 1, j + 1}},
                                        std::vector<std::pair<uint32_t, uint32_t>>{{i, j}, {i + 1, j + 1}, {i, j + 1}}}) {
                std::vector<float> p[3];
                for (int k = 0; k < 3; ++k)
                    p[k] = at(corners[k].first, corners[k].second);
                float n[3] = {(p[1][1] - p[0][1]) * (p[2][2] - p[0][2]) - (p[1][2] - p[0][2]) * (p[2][1] - p[0][1]),
                              (p[1][2] - p[0][2]) * (p[2][0] - p[0][0]) - (p[1][0] - p[0][0]) * (p[2][2] - p[0][2]),
                              (p[1][0] - p[0][0]) * (p[2][1] - p[0][1]) - (p[1][1] - p[0][1]) * (p[2][0] - p[0][0])};
                const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
                const uint32_t first = uint32_t(mesh.vertexCount());
                for (int k = 0; k < 3; ++k) {
                    mesh.attributes[0].values.insert(mesh.attributes[0].values.end(), p[k].begin(), p[k].end());
                    mesh.attributes[1].values.insert(mesh.attributes[1].values.end(), {n[0] / length, n[1] / length, n[2] / length});
                    mesh.attributes[2].values.insert(mesh.attributes[2].values.end(), {p[k][0] / float(w), p[k][1] / float(h)});
                }
                mesh.triangles.push_back({{first, first + 1, first + 2}});
                mesh.groups.push_back(i < w / 2 ? 0 : 1);
            }
    return mesh;
}

struct Written {
    CompressSummary summary;
    Container container;
};

Written compressFlat(const SourceMesh& mesh, MeshletCut cut, const std::string& name)
{
    Written w;
    std::string error;
    const std::string path = vmq_test::tempPath(name);
    EXPECT_TRUE(compressToFile(mesh, CompressionSettings{}, cut, "flat grid", path, w.summary, error)) << error;
    EXPECT_TRUE(readContainerFile(path, w.container, error)) << error;
    std::remove(path.c_str());
    return w;
}

TEST(MeshletCut, MeshWithoutSharedVerticesIsCutOverPositions)
{
    const SourceMesh mesh = flatGrid(24, 16);
    const size_t triangles = mesh.triangles.size();
    const Written library = compressFlat(mesh, MeshletCut::Library, "library.vmq");
    const Written automatic = compressFlat(mesh, MeshletCut::Auto, "auto.vmq");
    const Written positions = compressFlat(mesh, MeshletCut::Positions, "positions.vmq");
    ASSERT_EQ(library.container.meshes.size(), 1u);
    ASSERT_EQ(automatic.container.meshes.size(), 1u);

    // The library's own cut: a meshlet per triangle, which the tool calls degenerate.
    EXPECT_EQ(library.summary.meshlets, triangles);
    EXPECT_TRUE(isDegenerateCut(library.container.meshes[0].mesh(), CompressionSettings{}));
    EXPECT_EQ(library.summary.note, "");
    // Left to choose, the tool says so and takes meshlets over shared positions, a fraction of
    // the size.
    EXPECT_EQ(automatic.summary.cut, "positions");
    EXPECT_NE(automatic.summary.note.find("degenerate"), std::string::npos) << automatic.summary.note;
    EXPECT_LE(automatic.summary.meshlets * 16, triangles);
    EXPECT_LT(automatic.summary.fileBytes * 2, library.summary.fileBytes);
    EXPECT_EQ(automatic.summary.fileBytes, positions.summary.fileBytes);
    EXPECT_FALSE(isDegenerateCut(automatic.container.meshes[0].mesh(), CompressionSettings{}));

    // Every source triangle comes back once, with its winding, group and values.
    for (const Written* w : {&library, &automatic}) {
        DecodedGeometry decoded;
        std::string error;
        const StoredMesh& stored = w->container.meshes[0];
        ASSERT_TRUE(decodeRecord(stored.mesh(), stored.predictionMode, decoded, true, error)) << error;
        const VerifyReport report = verifyDecoded(mesh, stored.mesh(), decoded, w->container.header.materialNames);
        EXPECT_TRUE(report.passed()) << report.problem;
        EXPECT_EQ(report.matched, triangles);
    }
}

TEST(MeshletCut, PositionCutKeepsEveryTriangleAndItsWinding)
{
    const SourceMesh mesh = flatGrid(9, 7);
    PositionCut cut;
    std::string error;
    ASSERT_TRUE(cutOverPositions(mesh, CompressionSettings{}, cut, error)) << error;
    std::vector<uint32_t> listed;
    for (uint32_t m = 0; m < Pelku_Vmq_Compression_GetPartitionMeshletCount(cut.meshlets.get()); ++m) {
        std::vector<uint32_t> meshlet(Pelku_Vmq_Compression_GetPartitionMeshletTriangles(cut.meshlets.get(), m, nullptr, 0));
        Pelku_Vmq_Compression_GetPartitionMeshletTriangles(cut.meshlets.get(), m, meshlet.data(), meshlet.size());
        // One group a meshlet.
        for (uint32_t t : meshlet)
            EXPECT_EQ(mesh.groups[t], mesh.groups[meshlet[0]]);
        listed.insert(listed.end(), meshlet.begin(), meshlet.end());
    }
    std::sort(listed.begin(), listed.end());
    ASSERT_EQ(listed.size(), mesh.triangles.size());
    for (uint32_t t = 0; t < listed.size(); ++t) {
        EXPECT_EQ(listed[t], t);
        const Triangle &a = mesh.triangles[t], &b = cut.triangles[t];
        const bool rotated = (b.indices[0] == a.indices[0] && b.indices[1] == a.indices[1] && b.indices[2] == a.indices[2]) ||
                             (b.indices[0] == a.indices[1] && b.indices[1] == a.indices[2] && b.indices[2] == a.indices[0]) ||
                             (b.indices[0] == a.indices[2] && b.indices[1] == a.indices[0] && b.indices[2] == a.indices[1]);
        EXPECT_TRUE(rotated) << "triangle " << t;
    }
}

TEST(MeshletCut, CommandLineSaysWhenItChangesTheCut)
{
    // The flat grid as an OBJ file: a face normal per triangle, so no corner is shared.
    const SourceMesh mesh = flatGrid(12, 8);
    const std::string obj = vmq_test::tempPath("flat.obj"), vmq = vmq_test::tempPath("flat.vmq");
    {
        std::ofstream out(obj);
        const std::vector<float>& p = mesh.attributes[0].values;
        const std::vector<float>& n = mesh.attributes[1].values;
        for (size_t v = 0; v < mesh.vertexCount(); ++v)
            out << "v " << p[3 * v] << ' ' << p[3 * v + 1] << ' ' << p[3 * v + 2] << "\nvn " << n[3 * v] << ' ' << n[3 * v + 1] << ' ' << n[3 * v + 2]
                << '\n';
        for (const Triangle& t : mesh.triangles)
            out << "f " << t.indices[0] + 1 << "//" << t.indices[0] + 1 << ' ' << t.indices[1] + 1 << "//" << t.indices[1] + 1 << ' '
                << t.indices[2] + 1 << "//" << t.indices[2] + 1 << '\n';
    }
    vmq_test::ToolRun run = vmq_test::runTool("compress '" + obj + "' -o '" + vmq + "' --json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the default meshlet cut is degenerate"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("\"cut\": \"positions\""), std::string::npos) << run.out;
    run = vmq_test::runTool("verify '" + obj + "' '" + vmq + "'");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    run = vmq_test::runTool("compress '" + obj + "' -o '" + vmq + "' --cut library -q");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    run = vmq_test::runTool("compress '" + obj + "' -o '" + vmq + "' --cut sideways");
    EXPECT_EQ(run.status, 2);
    std::remove(obj.c_str());
    std::remove(vmq.c_str());
}

} // namespace
