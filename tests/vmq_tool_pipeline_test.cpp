// The vmq tool on real compressions: the sample's whole path, and compress, info, decode, verify
// and render on a mesh file. They need the meshlet encoder and the partition builder.
#include "container.h"
#include "mesh_import.h"

#include "tool_runner.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

std::string tempPath(const std::string& name)
{
    return vmq_test::tempPath(name);
}

int runTool(const std::string& arguments, std::string* outputText = nullptr)
{
    const std::string outputPath = tempPath("stdout.txt");
    const std::string command = std::string("\"") + PELKU_VMQ_VMQ_TOOL + "\" " + arguments + " >" + outputPath + " 2>&1";
    const int status = std::system(command.c_str());
    if (outputText) {
        std::ifstream in(outputPath);
        *outputText = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A 24 x 24 grid in two materials, as an OBJ file with its material library.
std::string writeGridObj()
{
    const std::string path = tempPath("grid.obj");
    std::ofstream mtl(tempPath("grid.mtl"));
    mtl << "newmtl stone\nKd 0.5 0.5 0.5\nnewmtl moss\nKd 0.2 0.6 0.2\n";
    std::ofstream obj(path);
    obj << "mtllib " << std::filesystem::path(tempPath("grid.mtl")).filename().string() << "\n";
    const int n = 24;
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x)
            obj << "v " << x * 0.1 << " " << y * 0.1 << " " << 0.05 * ((x * 7 + y * 3) % 5) << "\n";
    for (int half = 0; half < 2; ++half) {
        obj << "usemtl " << (half ? "moss" : "stone") << "\n";
        for (int y = 0; y < n; ++y)
            for (int x = half * n / 2; x < (half + 1) * n / 2; ++x) {
                const int a = y * (n + 1) + x + 1, b = a + 1, c = a + n + 1, d = c + 1;
                obj << "f " << a << " " << b << " " << d << " " << c << "\n";
            }
    }
    return path;
}

TEST(VmqToolPipeline, SampleRunsTheWholePath)
{
    const std::string folder = tempPath("sample_out");
    std::filesystem::remove_all(folder);
    std::string output;
    ASSERT_EQ(runTool("sample --output-dir " + folder, &output), 0) << output;
    EXPECT_NE(output.find("verify: passed"), std::string::npos) << output;
    for (const char* name : {"sample.vmq", "sample.obj", "sample.png"})
        EXPECT_TRUE(std::filesystem::exists(folder + "/" + name)) << name;
    int width = 0, height = 0, components = 0;
    ASSERT_TRUE(stbi_info((folder + "/sample.png").c_str(), &width, &height, &components));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 600);
}

TEST(VmqToolPipeline, CompressInfoDecodeVerifyRender)
{
    const std::string obj = writeGridObj(), vmq = tempPath("grid.vmq");
    std::string output;
    ASSERT_EQ(runTool("compress " + obj + " -o " + vmq + " --json", &output), 0) << output;
    EXPECT_NE(output.find("\"inputTriangles\": 1152"), std::string::npos) << output;

    vmq_tool::Container container;
    std::string error;
    ASSERT_TRUE(vmq_tool::readContainerFile(vmq, container, error)) << error;
    ASSERT_EQ(container.meshes.size(), 1u);
    EXPECT_GT(container.meshes[0].mesh().meshletCount, 1u);
    EXPECT_EQ(container.meshes[0].mesh().triangleCount, 1152u);

    ASSERT_EQ(runTool("info " + vmq, &output), 0) << output;
    EXPECT_NE(output.find("INDEX_DATA"), std::string::npos) << output;
    ASSERT_EQ(runTool("verify " + obj + " " + vmq, &output), 0) << output;
    EXPECT_NE(output.find("topology     exact: 1152 of 1152"), std::string::npos) << output;

    const std::string decoded = tempPath("grid_decoded.glb");
    ASSERT_EQ(runTool("decode " + vmq + " -o " + decoded, &output), 0) << output;
    vmq_tool::SourceMesh back;
    ASSERT_TRUE(vmq_tool::importMesh(decoded, back, error)) << error;
    EXPECT_EQ(back.triangles.size(), 1152u);
    // A decoded file does not verify exactly against its container: dequantisation scales by
    // 2^-bits while the quantiser scales by 2^bits - 1, so its values fall on other grid points.

    for (const char* stat : {"none", "bits"}) {
        const std::string picture = tempPath(std::string("grid_") + stat + ".png");
        ASSERT_EQ(runTool("render " + vmq + " -o " + picture + " --stat " + stat + " --width 120 --height 90", &output), 0) << output;
        int width = 0, height = 0, components = 0;
        ASSERT_TRUE(stbi_info(picture.c_str(), &width, &height, &components));
        EXPECT_EQ(width, 120);
    }

    // A quality change shows in the container's settings and in the verify bound.
    ASSERT_EQ(runTool("compress " + obj + " -o " + vmq + " --position-quality 1 --disable-parallelogram-prediction 1 -q", &output), 0)
        << output;
    EXPECT_EQ(output, "");
    ASSERT_TRUE(vmq_tool::readContainerFile(vmq, container, error)) << error;
    EXPECT_EQ(container.header.settings.positionQuality, 1.0f);
    EXPECT_EQ(container.meshes[0].predictionMode, 1);
    EXPECT_EQ(runTool("verify " + obj + " " + vmq + " -q", &output), 0) << output;
}

} // namespace
