// The vmq tool as a new user meets it: --help on standard output for every command, exit
// statuses, messages that name the real reason, --quiet, and tangents read from a glTF file.
#include "archive_writer.h"
#include "container.h"
#include "mesh_import.h"

#include "importer_test_support.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

using namespace vmq::abc;

namespace {

std::string tempPath(const std::string& name) { return vmq_test::tempPath(name); }

using vmq_test::runTool;
using vmq_test::ToolRun;

std::string quoted(const std::string& path) { return "'" + path + "'"; }

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Archives the sequence importer cannot use, each with the words that say why.
struct BadArchive {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string reason;
};

std::vector<BadArchive> badArchives()
{
    std::vector<BadArchive> list;
    // The HDF5 signature, as an archive of the older back end starts.
    std::vector<uint8_t> hdf5 = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    hdf5.resize(96, 0);
    list.push_back({"hdf5.abc", hdf5, "an HDF5 archive"});
    // A good archive cut in half: its root group, written last, lies past the end.
    std::vector<uint8_t> whole = writeArchive(importer_test::archiveOf({polyMeshObject("grid", importer_test::grid(3, 3))}));
    whole.resize(whole.size() / 2);
    list.push_back({"truncated.abc", whole, "the root group lies outside the file"});
    // An archive without polygon meshes.
    list.push_back({"empty.abc", writeArchive(importer_test::archiveOf({})), "No polygon meshes found"});
    return list;
}

TEST(VmqToolMessages, EveryCommandPrintsItsHelpOnStandardOutput)
{
    for (const char* command : {"sample", "compress", "info", "decode", "verify", "render", "frames", "dump", "tangents"}) {
        for (const char* flag : {"--help", "-h"}) {
            const ToolRun run = runTool(std::string(command) + " " + flag);
            EXPECT_EQ(run.status, 0) << command << " " << flag << ": " << run.err;
            EXPECT_NE(run.out.find("sage: vmq " + std::string(command)), std::string::npos) << command << " " << flag << ": " << run.out;
            EXPECT_EQ(run.err, "") << command << " " << flag;
        }
    }
    // A bad command line still says so on standard error, with status 2.
    for (const char* arguments : {"frames", "dump", "dump a.abc b.abc", "tangents a b"}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_EQ(run.out, "") << arguments;
        EXPECT_NE(run.err.find("usage: vmq"), std::string::npos) << arguments;
    }
}

TEST(VmqToolMessages, FramesFailsWithStatusOneAndSaysWhy)
{
    std::vector<BadArchive> archives = badArchives();
    archives.push_back({"missing.abc", {}, "cannot open the file"});
    for (const BadArchive& archive : archives) {
        const std::string path = tempPath(archive.name);
        std::remove(path.c_str());
        if (!archive.bytes.empty())
            writeBytes(path, archive.bytes);
        const ToolRun run = runTool("frames " + quoted(path));
        EXPECT_EQ(run.status, 1) << archive.name;
        EXPECT_EQ(run.out, "result: error\nerror: Failed to open the Alembic file or it contains no polygon meshes.\n") << archive.name;
        EXPECT_NE(run.err.find("vmq frames: " + path + ": "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(archive.reason), std::string::npos) << archive.name << ": " << run.err;
        std::remove(path.c_str());
    }
}

TEST(VmqToolMessages, CompressAndVerifyNameWhyAnArchiveCannotBeUsed)
{
    const std::string container = tempPath("out.vmq");
    for (const BadArchive& archive : badArchives()) {
        const std::string path = tempPath(archive.name);
        writeBytes(path, archive.bytes);
        for (const char* quiet : {"", " -q"}) {
            const ToolRun run = runTool("compress " + quoted(path) + " -o " + quoted(container) + quiet);
            EXPECT_EQ(run.status, 1) << archive.name;
            EXPECT_NE(run.err.find("vmq compress: " + path + ": "), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(archive.reason), std::string::npos) << archive.name << quiet << ": " << run.err;
            EXPECT_EQ(run.err.find("Failed to open the Alembic file or it contains no polygon meshes"), std::string::npos) << run.err;
        }
        std::remove(path.c_str());
    }

    // verify against an unusable archive: the same reason.
    const std::string good = tempPath("good.abc");
    writeArchiveFile(good, importer_test::archiveOf({polyMeshObject("grid", importer_test::grid(3, 3, 0, 0, 2))}));
    ASSERT_EQ(runTool("compress " + quoted(good) + " -o " + quoted(container) + " -q").status, 0);
    const std::string cut = tempPath("cut.abc");
    std::vector<uint8_t> bytes = writeArchive(importer_test::archiveOf({polyMeshObject("grid", importer_test::grid(3, 3, 0, 0, 2))}));
    bytes.resize(bytes.size() / 2);
    writeBytes(cut, bytes);
    const ToolRun run = runTool("verify -q " + quoted(cut) + " " + quoted(container));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vmq verify: " + cut + ": the root group lies outside the file"), std::string::npos) << run.err;
    for (const std::string& path : {good, cut, container})
        std::remove(path.c_str());
}

TEST(VmqToolMessages, QuietHidesTheImportersLines)
{
    // Two frames: opening it prints the mesh count and the static analysis.
    const std::string archive = tempPath("chatty.abc"), container = tempPath("chatty.vmq");
    writeArchiveFile(archive, importer_test::archiveOf({polyMeshObject("grid", importer_test::grid(2, 2, 0, 0, 2))}));

    ToolRun loud = runTool("compress " + quoted(archive) + " -o " + quoted(container));
    ASSERT_EQ(loud.status, 0) << loud.err;
    EXPECT_NE(loud.err.find("Found 1 mesh(es), 2 frame(s)"), std::string::npos) << loud.err; // the library's lines, as they are
    const ToolRun compress = runTool("compress -q " + quoted(archive) + " -o " + quoted(container));
    EXPECT_EQ(compress.status, 0) << compress.err;
    EXPECT_EQ(compress.out, "");
    EXPECT_EQ(compress.err, "");
    const ToolRun verify = runTool("verify -q " + quoted(archive) + " " + quoted(container));
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, "");
    EXPECT_EQ(verify.err, "");
    loud = runTool("verify " + quoted(archive) + " " + quoted(container));
    EXPECT_EQ(loud.status, 0) << loud.err;
    EXPECT_NE(loud.err.find("Found 1 mesh(es), 2 frame(s)"), std::string::npos) << loud.err;
    std::remove(archive.c_str());
    std::remove(container.c_str());
}

TEST(VmqToolMessages, FramesOutsideTheContainerNameTheValidRange)
{
    // Ten frames; frame 2's positions are all NaN, so it has no mesh.
    MeshFrames mesh = importer_test::grid(3, 3, 0, 0, 10);
    for (float& v : mesh.positions[2])
        v = std::numeric_limits<float>::quiet_NaN();
    const std::string archive = tempPath("ten.abc"), container = tempPath("ten.vmq"), output = tempPath("ten.obj");
    writeArchiveFile(archive, importer_test::archiveOf({polyMeshObject("grid", mesh)}));
    ASSERT_EQ(runTool("compress -q " + quoted(archive) + " -o " + quoted(container)).status, 0);

    const std::string range = container + ": frame 30 is out of range (the container holds frames 0 to 9)";
    for (const std::string& arguments : {"decode " + quoted(container) + " -o " + quoted(output) + " --frame 30",
                                         "verify " + quoted(archive) + " " + quoted(container) + " --frame 30",
                                         "render " + quoted(container) + " -o " + quoted(tempPath("ten.png")) + " --frame 30"}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_NE(run.err.find(range), std::string::npos) << arguments << ": " << run.err;
    }
    const ToolRun empty = runTool("decode " + quoted(container) + " -o " + quoted(output) + " --frame 2");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find(container + ": frame 2 has no mesh"), std::string::npos) << empty.err;
    EXPECT_EQ(runTool("decode " + quoted(container) + " -o " + quoted(output) + " --frame 9 -q").status, 0);
    for (const std::string& path : {archive, container, output})
        std::remove(path.c_str());
}

// A glTF file of one quad with positions, normals and tangents (the last two corners with the
// bitangent mirrored, w = -1), the buffer inline.
std::string base64(const std::vector<uint8_t>& bytes)
{
    static const char* const digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = uint32_t(bytes[i]) << 16 | (i + 1 < bytes.size() ? uint32_t(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        text += digits[n >> 18];
        text += digits[(n >> 12) & 63];
        text += i + 1 < bytes.size() ? digits[(n >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? digits[n & 63] : '=';
    }
    return text;
}

const std::vector<float> kQuadTangents = {1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 0, -1, 0, 1, 0, -1};

void writeTangentQuad(const std::string& path)
{
    const std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    const std::vector<uint16_t> indices = {0, 1, 2, 1, 3, 2};
    std::vector<uint8_t> buffer;
    auto append = [&](const void* data, size_t size) {
        buffer.insert(buffer.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    };
    append(positions.data(), 48);
    append(normals.data(), 48);
    append(kQuadTangents.data(), 64);
    append(indices.data(), 12);
    std::ofstream(path) << R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
"meshes": [{"primitives": [{"attributes": {"POSITION": 0, "NORMAL": 1, "TANGENT": 2}, "indices": 3}]}],
"buffers": [{"byteLength": 172, "uri": "data:application/octet-stream;base64,)" + base64(buffer) + R"("}],
"bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 48}, {"buffer": 0, "byteOffset": 48, "byteLength": 48},
                {"buffer": 0, "byteOffset": 96, "byteLength": 64}, {"buffer": 0, "byteOffset": 160, "byteLength": 12}],
"accessors": [{"bufferView": 0, "componentType": 5126, "count": 4, "type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]},
              {"bufferView": 1, "componentType": 5126, "count": 4, "type": "VEC3"},
              {"bufferView": 2, "componentType": 5126, "count": 4, "type": "VEC4"},
              {"bufferView": 3, "componentType": 5123, "count": 6, "type": "SCALAR"}]}
)";
}

TEST(VmqToolMessages, TangentsOfTheSourceFileAreCarried)
{
    const std::string gltf = tempPath("quad.gltf"), container = tempPath("quad.vmq");
    writeTangentQuad(gltf);

    vmq_tool::SourceMesh source;
    std::string error;
    ASSERT_TRUE(vmq_tool::importMesh(gltf, source, error)) << error;
    const vmq_tool::SourceAttribute* tangents = nullptr;
    for (const vmq_tool::SourceAttribute& a : source.attributes)
        if (a.kind == TANGENT)
            tangents = &a;
    ASSERT_NE(tangents, nullptr);
    EXPECT_EQ(tangents->componentCount, 4u);
    EXPECT_EQ(tangents->values, kQuadTangents);

    const ToolRun compress = runTool("compress " + quoted(gltf) + " -o " + quoted(container));
    ASSERT_EQ(compress.status, 0) << compress.err;
    EXPECT_NE(compress.out.find("  attributes POSITION NORMAL TANGENT\n"), std::string::npos) << compress.out;
    vmq_tool::Container stored;
    ASSERT_TRUE(vmq_tool::readContainerFile(container, stored, error)) << error;
    const CompressedMesh& mesh = stored.meshes.at(0).mesh();
    EXPECT_EQ(std::count(mesh.channelKindsBegin, mesh.channelKindsEnd, TANGENT), 4);

    const ToolRun verify = runTool("verify " + quoted(gltf) + " " + quoted(container));
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("  TANGENT "), std::string::npos) << verify.out;
    EXPECT_EQ(verify.out.find("not compared"), std::string::npos) << verify.out;

    // One meshlet and one group, counted in the singular.
    const ToolRun render = runTool("render " + quoted(container) + " -o " + quoted(tempPath("quad.png")) + " --width 16 --height 16");
    EXPECT_NE(render.out.find("1 meshlet, one colour each"), std::string::npos) << render.out;
    const ToolRun decode = runTool("decode " + quoted(container) + " -o " + quoted(tempPath("quad.obj")));
    EXPECT_NE(decode.out.find(": 2 triangles, 1 group\n"), std::string::npos) << decode.out;
    for (const std::string& path : {gltf, container, tempPath("quad.png"), tempPath("quad.obj")})
        std::remove(path.c_str());
}

} // namespace
