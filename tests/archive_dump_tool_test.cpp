// The tool's archive dump: the listing of every fixture against the reference library's, the
// malformed archives as far as the reference library read them, and `vmq dump`'s output and exit
// status.
#include "archive_dump.h"
#include "archive_test_support.h"

#include <sys/wait.h>

#include <cstdio>

using vmq::abc::dumpArchive;
using archive_test::lines;
using archive_test::readText;
using archive_test::replaceExtension;

namespace {

std::string dump(const std::string& path, bool* ok = nullptr)
{
    std::string out;
    const bool result = dumpArchive(path, out);
    if (ok)
        *ok = result;
    return out;
}

} // namespace

TEST(ArchiveDump, DumpEqualsReferenceForEveryFixture)
{
    for (const char* folder : {"fixtures/abc", "fixtures/abc-format"}) {
        const auto files = archive_test::fixtureFiles(folder);
        REQUIRE_FIXTURES(files, folder);
        for (const std::string& file : files) {
            bool ok = false;
            const std::string ours = dump(file, &ok);
            EXPECT_TRUE(ok) << file;
            EXPECT_EQ(ours, readText(replaceExtension(file, ".dump.txt"))) << file;
        }
    }
}

// Malformed archives are refused or read safely; what is printed before the error is a prefix of
// what the reference library read before its own error, and the archives the library reads
// through give the same dump.
TEST(ArchiveDump, MalformedArchivesAreRefusedSafely)
{
    const auto files = archive_test::fixtureFiles("fixtures/abc-malformed");
    REQUIRE_FIXTURES(files, "fixtures/abc-malformed");
    for (const std::string& file : files) {
        bool ok = true;
        const std::string ours = dump(file, &ok);
        const std::string reference = readText(replaceExtension(file, ".dump.txt"));
        const bool referenceFailed = reference.find("\nerror: ") != std::string::npos;
        if (!referenceFailed) {
            EXPECT_TRUE(ok) << file;
            EXPECT_EQ(ours, reference) << file;
            continue;
        }
        EXPECT_FALSE(ok) << file;
        auto ourLines = lines(ours), referenceLines = lines(reference);
        ASSERT_FALSE(ourLines.empty());
        EXPECT_EQ(ourLines.back().rfind("error: " + file + ": ", 0), 0u) << ourLines.back();
        ourLines.pop_back();
        referenceLines.pop_back();
        ASSERT_LE(ourLines.size(), referenceLines.size()) << file;
        for (size_t i = 0; i < ourLines.size(); ++i)
            EXPECT_EQ(ourLines[i], referenceLines[i]) << file << " line " << i;
    }
}

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
