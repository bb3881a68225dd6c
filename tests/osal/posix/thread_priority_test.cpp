// Priority levels of the POSIX backend follow the calling thread's nice value
// (each case on a thread of its own; values below the process's own need the
// right to raise a priority, and are skipped without it).
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(PosixThreadPriority, EachNiceValueGivesTheLevelOfItsBand) {
    const std::pair<int, int> cases[] = {
        {-11, HB_PRIORITY_HIGHEST}, {-10, HB_PRIORITY_ABOVE_NORMAL}, {-1, HB_PRIORITY_ABOVE_NORMAL},
        {0, HB_PRIORITY_NORMAL},    {1, HB_PRIORITY_BELOW_NORMAL},   {9, HB_PRIORITY_BELOW_NORMAL},
        {10, HB_PRIORITY_LOWEST},   {18, HB_PRIORITY_LOWEST},        {19, HB_PRIORITY_IDLE},
    };
    for (auto [nice, level] : cases) {
        std::thread([nice, level] {
            if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0) {
                EXPECT_EQ(hb__ThreadPriority(), level) << "nice " << nice;
            }
        }).join();
    }
}

} // namespace
