// Priority levels of the POSIX backend follow the calling thread's nice value.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

int levelAtNice(int nice) {
    int level = -1;
    std::thread t([&] {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
        level = hb__ThreadPriority();
    });
    t.join();
    return level;
}

TEST(PosixThreadPriority, NiceLowersTheLevel) {
    EXPECT_EQ(levelAtNice(5), HB_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(levelAtNice(12), HB_PRIORITY_LOWEST);
    EXPECT_EQ(levelAtNice(19), HB_PRIORITY_IDLE);
}

} // namespace
