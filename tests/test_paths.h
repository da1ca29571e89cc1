#pragma once
// The test environment: scratch paths no other test shares (ctest runs tests in parallel
// processes), and whether data of the shared folder must be present.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vmq_test {

// A path in the test temp folder, unique to the running test and process.
inline std::string tempPath(const std::string& name)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return testing::TempDir() + "vmq_" + (test ? std::string(test->test_suite_name()) + "_" + test->name() : std::string("test")) +
           "_" + std::to_string(getpid()) + "_" + name;
}

// Under CI=true a test whose shared data is missing fails instead of skipping.
inline bool sharedDataRequired()
{
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

} // namespace vmq_test
