// Priority levels of the Win32 backend: the system's thread priorities, one
// level each.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <thread>
#include <windows.h>

namespace {

int levelAt(int priority) {
    int level = -1;
    std::thread t([&] {
        if (SetThreadPriority(GetCurrentThread(), priority)) {
            level = hb__ThreadPriority();
        }
    });
    t.join();
    return level;
}

TEST(Win32ThreadPriority, EverySystemPriorityHasItsLevel) {
    EXPECT_EQ(levelAt(THREAD_PRIORITY_IDLE), HB_PRIORITY_IDLE);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_LOWEST), HB_PRIORITY_LOWEST);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_BELOW_NORMAL), HB_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_NORMAL), HB_PRIORITY_NORMAL);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_ABOVE_NORMAL), HB_PRIORITY_ABOVE_NORMAL);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_HIGHEST), HB_PRIORITY_HIGHEST);
    EXPECT_EQ(levelAt(THREAD_PRIORITY_TIME_CRITICAL), HB_PRIORITY_TIME_CRITICAL);
}

TEST(Win32ThreadPriority, ReadingDoesNotChangeIt) {
    std::thread t([] {
        ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST));
        EXPECT_EQ(hb__ThreadPriority(), HB_PRIORITY_LOWEST);
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_LOWEST);
    });
    t.join();
}

} // namespace
