// `vmq frames`: the report on standard output for an archive written by the test, the error
// report (exit status 1), and refused command lines.
#include "archive_writer.h"

#include "tool_runner.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace vmq::abc;

namespace {

struct ToolRun {
    int status = -1;
    std::string output; // standard output only
};

ToolRun runFrames(const std::string& arguments)
{
    const std::string command = std::string("'") + PELKU_VMQ_VMQ_TOOL + "' frames " + arguments + " 2>/dev/null";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[512];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        run.output.append(buffer, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// FNV-1a 64 of the little-endian bytes of 32-bit values, as 16 hex digits.
template <typename T>
std::string hash(const std::vector<T>& values)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (const T& v : values) {
        unsigned char bytes[4];
        std::memcpy(bytes, &v, 4); // the test machines are little-endian
        for (unsigned char b : bytes)
            h = (h ^ b) * 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", (unsigned long long)h);
    return text;
}

std::string tempArchive()
{
    return vmq_test::tempPath("input.abc");
}

TEST(FramesCommand, PrintsTheImporterResultsAndFrameHashes)
{
    // One triangle in a face set "red"; its second sample indexes past the vertices.
    MeshFrames frames;
    frames.positions = {{0, 0, 0, 0, 1, 0, 1, 0, 0}, {0, 0, 0, 0, 1, 0, 1, 0, 0}};
    frames.faceIndices = {{0, 1, 2}, {0, 1, 3}};
    frames.faceCounts = {{3}, {3}};
    WriteObject mesh = polyMeshObject("tri", frames,
                                      {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{0, 0, 0.5f, 1, 1, 0}})});
    mesh.children.push_back(faceSetObject("red", {{0}}));
    ArchiveContents contents;
    contents.top.children.push_back(mesh);
    const std::string path = tempArchive();
    writeArchiveFile(path, contents);

    const ToolRun run = runFrames("'" + path + "' --negate-u --velocity-mode 1 --threshold 0.5");
    const std::vector<uint32_t> corners = {0, 1, 2}, materials = {0};
    const std::vector<float> positions = {0, 0, 0, 0, 1, 0, 1, 0, 0}, normals = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    const std::vector<float> uvs = {-0.0f, 0, -0.5f, 1, -1, 0};
    const std::string expected = "result: ok\nframeCount: 2\nstaticTopology: 0\nstaticAttributeMask: 9\nframeDuration: 1\n"
                                 "frame 0 read: triangles=1 corners=3:" + hash(corners) + " triangleMaterials=1:" + hash(materials) +
                                 " sourceVertex=3:" + hash(corners) + " POSITION=3x3:" + hash(positions) + " NORMAL=3x3:" +
                                 hash(normals) + " TEXCOORD=3x2:" + hash(uvs) + "\n"
                                 "frame 0 processed: triangles=1 corners=3:" + hash(corners) + " triangleMaterials=1:" +
                                 hash(materials) + " POSITION=3x3:" + hash(positions) + " NORMAL=3x3:" + hash(normals) +
                                 " TEXCOORD=3x2:" + hash(uvs) + "\n"
                                 "frame 1 read: empty\nmaterials: 1\nmaterial 0: red\n";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(hash(std::vector<uint32_t>{}), "cbf29ce484222325");
    std::remove(path.c_str());
}

TEST(FramesCommand, ProcessedLineFollowsTheSequenceSettings)
{
    // Two copies of one triangle, the second in another corner order.
    MeshFrames frames;
    frames.positions = {{0, 0, 0, 0, 1, 0, 1, 0, 0}};
    frames.faceIndices = {{0, 1, 2, 1, 2, 0}};
    frames.faceCounts = {{3, 3}};
    ArchiveContents contents;
    contents.top.children.push_back(polyMeshObject("tri", frames));
    const std::string path = tempArchive();
    writeArchiveFile(path, contents);

    // Mirrored in x and moved by (2, 0, 0): the winding flips; the repeat is dropped; tangents
    // need texture coordinates, so none are added.
    const ToolRun run = runFrames("'" + path + "' --remove-duplicates --tangents --no-optimize --trim "
                                  "--transform -1 0 0 0 0 1 0 0 0 0 1 0 2 0 0 1");
    const std::vector<float> positions = {2, 0, 0, 1, 0, 0, 2, 1, 0};
    const std::vector<float> normals = {0, 0, 1, 0, 0, 1, 0, 0, 1}; // the 3x3 block leaves z alone
    const std::string processed = "frame 0 processed: triangles=1 corners=3:" + hash(std::vector<uint32_t>{0, 1, 2}) +
                                  " triangleMaterials=1:" + hash(std::vector<uint32_t>{0}) + " POSITION=3x3:" + hash(positions) +
                                  " NORMAL=3x3:" + hash(normals) + "\n";
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find(processed), std::string::npos) << run.output;
    std::remove(path.c_str());
}

TEST(FramesCommand, ReportsArchivesThatCannotBeOpened)
{
    const ToolRun run = runFrames("'" + ::testing::TempDir() + "no_such_archive.abc'");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "result: error\nerror: Failed to open the Alembic file or it contains no polygon meshes.\n");
}

TEST(FramesCommand, RefusesBadCommandLines)
{
    for (const char* arguments : {"", "a.abc b.abc", "a.abc --threshold", "a.abc --threshold x", "a.abc --velocity-mode 1.5",
                                  "a.abc --smooth", "a.abc --transform 1 0 0", "a.abc --transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 x"}) {
        const ToolRun run = runFrames(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_EQ(run.output, "") << arguments;
    }
}

} // namespace
