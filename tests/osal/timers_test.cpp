// Interval timers on the high-resolution counter.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(Timer, ReadsSecondsSinceItsStartOrTheWholeCounterWhenNotStarted) {
    TimerRecord* timer = hb__TimerCreate();
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->startCount, 0) << "a fresh timer counts from the counter's origin";
    const double sinceOrigin = hb__TimerRead(timer);
    EXPECT_NE(hb__TimerStart(timer), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double sinceStart = hb__TimerRead(timer);
    EXPECT_GE(sinceStart, 0.02) << "seconds, not ticks";
    EXPECT_LT(sinceStart, sinceOrigin) << "a start counts from the start";
    hb__TimerStart(timer);
    EXPECT_LT(hb__TimerRead(timer), sinceStart) << "a new start counts from the new point";
    hb__TimerReset(timer);
    EXPECT_GE(hb__TimerRead(timer), sinceOrigin);
    hb__TimerDestroy(timer);
    hb__TimerDestroy(nullptr);
}

} // namespace
