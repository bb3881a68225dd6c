// Interval timers on the high-resolution counter.
#include "hbsys9u.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(Timer, ElapsedTimeGrowsAndRestartsNearZero) {
    TimerRecord* timer = hb__TimerCreate();
    ASSERT_NE(timer, nullptr);
    EXPECT_DOUBLE_EQ(timer->secondsPerTick,
                     1.0 / static_cast<double>(hb::platform::counterFrequency()));
    EXPECT_EQ(timer->startCount, 0);
    EXPECT_NE(hb__TimerStart(timer), 0);
    double first = hb__TimerRead(timer);
    EXPECT_GE(first, 0.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double second = hb__TimerRead(timer);
    EXPECT_GE(second, 0.02);
    EXPECT_GT(second, first);
    hb__TimerStart(timer);
    EXPECT_LT(hb__TimerRead(timer), second) << "a new start counts from the new point";
    hb__TimerDestroy(timer);
}

TEST(Timer, ReadAfterResetIsTheCounterSinceItsOrigin) {
    TimerRecord* timer = hb__TimerCreate();
    double fresh = hb__TimerRead(timer);
    hb__TimerStart(timer);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double sinceStart = hb__TimerRead(timer);
    hb__TimerReset(timer);
    EXPECT_EQ(timer->startCount, 0);
    double afterReset = hb__TimerRead(timer);
    EXPECT_GT(fresh, sinceStart) << "a fresh timer reads the counter's whole value";
    EXPECT_GE(afterReset, fresh);
    hb__TimerDestroy(timer);
}

TEST(Timer, DestroyAcceptsNull) {
    hb__TimerDestroy(nullptr);
}

} // namespace
