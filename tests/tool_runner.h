#pragma once
// Running the vmq tool from the tool's tests (which the library-only Windows build leaves out).
#include "test_paths.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace vmq_test {

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

} // namespace vmq_test
