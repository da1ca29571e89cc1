#pragma once
// The test environment: scratch paths no other test shares (ctest runs tests in parallel
// processes), running the vmq tool, and whether data of the shared folder must be present.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace vmq_test {

// A path in the test temp folder, unique to the running test and process.
inline std::string tempPath(const std::string& name)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return testing::TempDir() + "vmq_" + (test ? std::string(test->test_suite_name()) + "_" + test->name() : std::string("test")) +
           "_" + std::to_string(getpid()) + "_" + name;
}

// One run of the vmq tool: its exit status and what it wrote to each stream.
struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs the tool with `arguments` (quoted by the caller as a shell needs them).
inline ToolRun runTool(const std::string& arguments)
{
    const std::string outPath = tempPath("stdout.txt"), errPath = tempPath("stderr.txt");
    const std::string command = std::string("'") + PELKU_VMQ_VMQ_TOOL + "' " + arguments + " >'" + outPath + "' 2>'" + errPath + "'";
    const int status = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    };
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return run;
}

// Under CI=true a test whose shared data is missing fails instead of skipping.
inline bool sharedDataRequired()
{
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

} // namespace vmq_test
