// Host operations on Windows: the rows where the system's own file calls
// answer in their own way, and the process's environment block.
#include "host_operations_cases.h"

#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>

namespace hbtest {

std::vector<FailedOperation> platformFailures() {
    return {};
}

// "*." is the system's own business (Wine matches every name).
std::vector<PatternCase> platformPatterns() {
    return {};
}

} // namespace hbtest

namespace {

TEST(Win32HostEnvironment, IsTheBlockOfTheProcess) {
    ASSERT_TRUE(SetEnvironmentVariableA("HBSYS9U_WIN32_TEST", "value 1"));
    char* block = hb::hostEnvironment();
    ASSERT_NE(block, nullptr);
    bool found = false;
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1)
        found = found || std::strcmp(entry, "HBSYS9U_WIN32_TEST=value 1") == 0;
    EXPECT_TRUE(found);
    hb::hostFreeEnvironment(block);
    SetEnvironmentVariableA("HBSYS9U_WIN32_TEST", nullptr);
}

} // namespace
