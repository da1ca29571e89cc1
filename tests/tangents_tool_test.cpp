// `vmq tangents`: the text mesh format, its output lines and its refusals.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct ToolRun {
    int status = -1;
    std::string output;
};

// Runs the tool on `input`, as a file argument or on the standard input.
ToolRun runTangents(const std::string& input, bool asFile = true)
{
    const std::string path = vmq_test::tempPath("input.txt");
    std::ofstream(path, std::ios::binary) << input;
    const std::string command = std::string("'") + PELKU_VMQ_VMQ_TOOL + "' tangents " + (asFile ? "'" + path + "'" : "< '" + path + "'") +
                                " 2>&1";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        run.output.append(buffer, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// Two triangles, the second flipped against its normals; vertex 2 gets the averaged frame.
const char* kTwoTriangles = R"(# two triangles
vertices 4
0 0 0   0 0 1      0 0
2 0 0   0 0 1      1 0
2 2 1   0 -0.6 0.8 1 1   # bent corner
0 2 0   0 0 1      0 1
triangles 2
0 1 2
0 3 2
)";

TEST(TangentsTool, PrintsOneLinePerVertex)
{
    for (bool asFile : {true, false}) {
        const ToolRun run = runTangents(kTwoTriangles, asFile);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, "1 0 0 1\n1 0 0 1\n0.992418826 0.0983214304 0.0737410635 1\n1 0 0 1\n");
    }
}

TEST(TangentsTool, AnyWhiteSpaceCommentsAndNonFiniteNumbers)
{
    // Tokens split over lines and tabs; a NaN texture coordinate makes its triangle unusable.
    const ToolRun run = runTangents("vertices\t3\n0 0 0 0 0 1 nan 0\n1 0 0\n0 0 1 1 0 0 1 0 # c\n0 0 1 0 1 triangles 1 0 1 2");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "1 0 0 -1\n1 0 0 -1\n1 0 0 -1\n");
}

TEST(TangentsTool, NoTangentsWithoutTriangles)
{
    const ToolRun run = runTangents("vertices 1 0 0 0 0 0 1 0 0 triangles 0");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "no tangents\n");
}

TEST(TangentsTool, MalformedInputExitsWithStatus2)
{
    const struct {
        const char* input;
        const char* messagePart;
    } cases[] = {
        {"", "the word 'vertices'"},
        {"vertex 1", "expected the word 'vertices'"},
        {"vertices -1", "vertex count"},
        {"vertices 1 0 0 0 0 0 1 0", "the input ends"},
        {"vertices 1 0 0 0 0 0 1 0 x triangles 0", "expected a number for v"},
        {"vertices 1 0 0 0 0 0 1 0 0 triangles 1 0 0 1", "out of range"},
        {"vertices 3 0 0 0 0 0 1 0 0 1 0 0 0 0 1 1 0 0 1 0 0 0 1 0 1 triangles 1 0 1 2 3", "unexpected '3'"},
        {"vertices 1 0 0 0 0 0 1 0 0 triangles 1.5", "triangle count"},
    };
    for (const auto& c : cases) {
        const ToolRun run = runTangents(c.input);
        EXPECT_EQ(run.status, 2) << c.input;
        EXPECT_NE(run.output.find("malformed mesh input"), std::string::npos) << c.input << " -> " << run.output;
        EXPECT_NE(run.output.find(c.messagePart), std::string::npos) << c.input << " -> " << run.output;
    }
}

} // namespace
