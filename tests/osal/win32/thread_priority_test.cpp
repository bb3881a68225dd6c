// Priority levels of the Win32 backend: the system's thread priorities, one
// level each, read without changing them.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <thread>
#include <windows.h>

namespace {

TEST(Win32ThreadPriority, EverySystemPriorityHasItsLevelAndReadingKeepsIt) {
    const std::pair<int, int> cases[] = {
        {THREAD_PRIORITY_IDLE, HB_PRIORITY_IDLE},
        {THREAD_PRIORITY_LOWEST, HB_PRIORITY_LOWEST},
        {THREAD_PRIORITY_BELOW_NORMAL, HB_PRIORITY_BELOW_NORMAL},
        {THREAD_PRIORITY_NORMAL, HB_PRIORITY_NORMAL},
        {THREAD_PRIORITY_ABOVE_NORMAL, HB_PRIORITY_ABOVE_NORMAL},
        {THREAD_PRIORITY_HIGHEST, HB_PRIORITY_HIGHEST},
        {THREAD_PRIORITY_TIME_CRITICAL, HB_PRIORITY_TIME_CRITICAL},
    };
    for (auto [priority, level] : cases) {
        std::thread([priority, level] {
            ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), priority));
            EXPECT_EQ(hb__ThreadPriority(), level) << priority;
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), priority);
        }).join();
    }
}

} // namespace
