#pragma once
// Locating the shared archive fixtures from the archive tests.
#include "test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace archive_test {

inline std::string sharedDir() { return PELKU_VMQ_SHARED_DIR; }

// The archives with the given extension in a fixture folder, sorted; empty when it is missing.
inline std::vector<std::string> fixtureFiles(const std::string& folder, const std::string& extension = ".abc")
{
    std::vector<std::string> files;
    const std::filesystem::path dir = std::filesystem::path(sharedDir()) / folder;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == extension)
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}


inline std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        out.push_back(line);
    return out;
}

inline std::string replaceExtension(const std::string& path, const std::string& extension)
{
    return path.substr(0, path.size() - 4) + extension;
}

} // namespace archive_test

// Skips the test when the fixture folder is missing, or fails it in CI.
#define REQUIRE_FIXTURES(files, folder)                                                    \
    do {                                                                                   \
        if ((files).empty()) {                                                             \
            if (vmq_test::sharedDataRequired())                                                      \
                FAIL() << "fixture folder " << (folder) << " is missing";                  \
            GTEST_SKIP() << "fixture folder " << (folder) << " is missing";                \
        }                                                                                  \
    } while (0)
