// `vmq compress ARCHIVE.abc`: the sequence container, the summary, the progress lines when
// standard error is not a terminal, and the failure message.
#include "archive_writer.h"
#include "container.h"
#include "importer_test_support.h"

#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

using namespace vmq::abc;

namespace {

std::string tempPath(const std::string& name) { return vmq_test::tempPath(name); }

int runTool(const std::string& arguments, std::string& out, std::string& err)
{
    const vmq_test::ToolRun run = vmq_test::runTool(arguments);
    out = run.out;
    err = run.err;
    return run.status;
}

TEST(SequenceCompressTool, WritesTheSequenceContainerAndItsSummary)
{
    // Four frames of a 3x3 grid; frame 2's positions are all NaN, so it is empty.
    MeshFrames mesh = importer_test::grid(3, 3, 0.0f, 0.0f, 4);
    for (float& v : mesh.positions[2])
        v = std::numeric_limits<float>::quiet_NaN();
    const std::string archive = tempPath("wave.abc"), container = tempPath("wave.vmq");
    writeArchiveFile(archive, importer_test::archiveOf({polyMeshObject("grid", mesh)}));

    std::string out, err;
    ASSERT_EQ(runTool("compress '" + archive + "' -o '" + container + "' --threads 2", out, err), 0) << err;
    EXPECT_NE(out.find("  frames             4 (1 empty)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  static topology    yes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  bits per triangle  "), std::string::npos) << out;
    EXPECT_NE(out.find("  frames per second  "), std::string::npos) << out;
    // Four frames: a line at 25% rounds down to 20%, then 50%, 70% and 100%.
    EXPECT_NE(err.find("compressing frames: 20%\ncompressing frames: 50%\ncompressing frames: 70%\ncompressing frames: 100%\n"),
              std::string::npos)
        << err;

    vmq_tool::Container stored;
    std::string error;
    ASSERT_TRUE(vmq_tool::readContainerFile(container, stored, error)) << error;
    EXPECT_EQ(stored.header.kind, vmq_tool::ContainerKind::Sequence);
    EXPECT_EQ(stored.header.sequence.frameCount, 4u);
    EXPECT_EQ(stored.header.sequence.staticTopology, 1u);
    ASSERT_EQ(stored.meshes.size(), 3u);
    EXPECT_EQ(stored.frame(2), nullptr);
    EXPECT_EQ(stored.frame(3)->mesh().triangleCount, 18u);

    // The container checks out against its archive, frame by frame, as the frames were compressed.
    ASSERT_EQ(runTool("verify '" + archive + "' '" + container + "'", out, err), 0) << out << err;
    EXPECT_NE(out.find("frame 3\ntopology     exact: 18 of 18 source triangles decoded"), std::string::npos) << out;

    // Decoding every frame writes one file per frame with geometry; frame 2 has none.
    const std::string frames = tempPath("wave_frame.ply");
    ASSERT_EQ(runTool("decode '" + container + "' -o '" + frames + "' --all-frames", out, err), 0) << err;
    for (const char* name : {"wave_frame_0000.ply", "wave_frame_0001.ply", "wave_frame_0003.ply"})
        EXPECT_NE(out.find(name), std::string::npos) << out;
    EXPECT_EQ(out.find("wave_frame_0002.ply"), std::string::npos) << out;

    // Every frame empty: the library's message, exit status 1.
    for (auto& sample : mesh.positions)
        for (float& v : sample)
            v = std::numeric_limits<float>::quiet_NaN();
    writeArchiveFile(archive, importer_test::archiveOf({polyMeshObject("grid", mesh)}));
    EXPECT_EQ(runTool("compress '" + archive + "' -o '" + container + "'", out, err), 1);
    EXPECT_NE(err.find("All frames in the Alembic file are empty (no geometry)."), std::string::npos) << err;
    std::remove(archive.c_str());
    std::remove(container.c_str());
}

} // namespace
