// `vmq dump`: the listing of an archive on standard output, and the exit status on errors.
#include "archive_test_support.h"

#include <sys/wait.h>

#include <cstdio>

using archive_test::lines;
using archive_test::readText;
using archive_test::replaceExtension;

TEST(ArchiveReader, DumpCommandPrintsTheListingAndFailsOnErrors)
{
    const std::string good = archive_test::sharedDir() + "/fixtures/abc/tri_single.abc";
    const std::string bad = archive_test::sharedDir() + "/fixtures/abc-malformed/issue283.abc";
    if (readText(good).empty()) {
        if (vmq_test::sharedDataRequired())
            FAIL() << "fixtures missing";
        GTEST_SKIP();
    }
    auto run = [](const std::string& file, std::string& out) {
        const std::string command = std::string(PELKU_VMQ_VMQ_TOOL) + " dump " + file;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
            out.append(buffer, n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(run(good, out), 0);
    EXPECT_EQ(out, readText(replaceExtension(good, ".dump.txt")));
    out.clear();
    EXPECT_EQ(run(bad, out), 1);
    EXPECT_EQ(lines(out).back().rfind("error: ", 0), 0u);
}
