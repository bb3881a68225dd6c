// Events, mutexes and semaphores as the rest of the library and host
// applications rely on them.
#include "hbsys9u.h"
#include "osal/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace {

constexpr double kForever = HUGE_VAL;

TEST(Event, ManualResetWaitDoesNotClear) {
    HbHandle event = hb__EventCreate(0);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventSet(event), 0u);
    EXPECT_EQ(hb__EventLock(event, 0.0), 0u);
    EXPECT_EQ(hb__EventLock(event, 0.0), 0u) << "a wait must not clear a manual-reset event";
    EXPECT_EQ(hb__EventLock(event, kForever), 0u);
    EXPECT_EQ(hb__EventReset(event), 0u);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventReset(event), 0u) << "resetting a clear event succeeds";
    EXPECT_NE(hb__EventDestroy(event), 0);
}

TEST(Event, AnyNonZeroArgumentCreatesItSet) {
    for (int32_t initial : {1, -1, 7}) {
        HbHandle event = hb__EventCreate(initial);
        EXPECT_EQ(hb__EventLock(event, 0.0), 0u) << initial;
        hb__EventDestroy(event);
    }
}

TEST(Event, SetSeveralTimesThenOneResetClears) {
    HbHandle event = hb__EventCreate(0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(hb__EventUnlock(event), 0u);
    }
    EXPECT_EQ(hb__EventReset(event), 0u);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    hb__EventDestroy(event);
}

TEST(Event, InfiniteWaitReturnsWhenAnotherThreadSets) {
    HbHandle event = hb__EventCreate(0);
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hb__EventSet(event);
    });
    EXPECT_EQ(hb__EventLock(event, kForever), 0u);
    setter.join();
    hb__EventDestroy(event);
}

TEST(Event, SetReleasesEveryWaiter) {
    HbHandle event = hb__EventCreate(0);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (hb__EventLock(event, kForever) == 0) {
                ++released;
            }
        });
    }
    hb__EventSet(event);
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 4);
    hb__EventDestroy(event);
}

TEST(Event, OSHandleIsTheHandleItself) {
    HbHandle event = hb__EventCreate(0);
    EXPECT_EQ(hb__EventOSHandle(event), event);
    EXPECT_EQ(hb__EventOSHandle(nullptr), nullptr);
    EXPECT_EQ(hb__EventOSHandle(HB_INVALID_HANDLE), HB_INVALID_HANDLE);
    hb__EventDestroy(event);
}

TEST(Handles, ClosedOrBogusHandlesAreDetected) {
    HbHandle event = hb__EventCreate(1);
    ASSERT_NE(hb__EventDestroy(event), 0);
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventLock(event, kForever), HB_ERROR_SEM_TIMEOUT) << "must not block";
    EXPECT_EQ(hb__EventSet(event), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb__EventReset(event), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb__EventDestroy(event), 0);

    // 0 and the invalid-handle value never name an object; nor does a value
    // that no Create gave, whatever the platform makes of it.
    for (HbHandle bogus : {HbHandle{}, HB_INVALID_HANDLE, reinterpret_cast<HbHandle>(0x12345678),
                           reinterpret_cast<HbHandle>(uintptr_t{0xFFFFFFFF})}) {
        EXPECT_EQ(hb__MutexLock(bogus, 0.0), HB_ERROR_SEM_TIMEOUT);
        EXPECT_EQ(hb__MutexLock(bogus, kForever), HB_ERROR_SEM_TIMEOUT) << "must not block";
        EXPECT_EQ(hb__MutexUnlock(bogus), HB_ERROR_INVALID_HANDLE);
        EXPECT_EQ(hb__SemaphoreUnlock(bogus), HB_ERROR_INVALID_HANDLE);
        EXPECT_EQ(hb__SemaphoreDestroy(bogus), 0);
    }
}

TEST(Handles, KindIsChecked) {
    HbHandle event = hb__EventCreate(0);
    HbHandle semaphore = hb__SemaphoreCreate(0, 1);
    EXPECT_EQ(hb__SemaphoreUnlock(event), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb__EventSet(semaphore), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb__MutexUnlock(event), HB_ERROR_INVALID_HANDLE);
    hb__EventDestroy(event);
    hb__SemaphoreDestroy(semaphore);
}

TEST(Handles, ValuesFitIn32BitsAndAreNeverNoDeviceValues) {
    std::vector<HbHandle> handles;
    for (int i = 0; i < 100; ++i) {
        HbHandle h = hb__MutexCreate();
        auto value = reinterpret_cast<uintptr_t>(h);
        EXPECT_NE(value, 0u);
        EXPECT_LT(value, 0xFFFFFFFFu);
        handles.push_back(h);
    }
    for (HbHandle h : handles) {
        hb__MutexDestroy(h);
    }
}

TEST(Mutex, RecursiveOwnershipNeedsOneUnlockPerLock) {
    HbHandle mutex = hb__MutexCreate();
    ASSERT_EQ(hb__MutexLock(mutex, 0.0), 0u);
    ASSERT_EQ(hb__MutexLock(mutex, 0.0), 0u);
    std::thread other([mutex] {
        EXPECT_EQ(hb__MutexLock(mutex, 0.0), HB_ERROR_SEM_TIMEOUT);
        EXPECT_EQ(hb__MutexUnlock(mutex), HB_ERROR_NOT_OWNER);
    });
    other.join();
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    std::thread stillHeld([mutex] { EXPECT_EQ(hb__MutexLock(mutex, 0.01), HB_ERROR_SEM_TIMEOUT); });
    stillHeld.join();
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    EXPECT_EQ(hb__MutexUnlock(mutex), HB_ERROR_NOT_OWNER) << "unlocked more often than locked";
    std::thread free([mutex] {
        EXPECT_EQ(hb__MutexLock(mutex, 1.0), 0u);
        hb__MutexUnlock(mutex);
    });
    free.join();
    hb__MutexDestroy(mutex);
}

TEST(Mutex, AbandonedMutexReportsOnceAndStaysUsable) {
    HbHandle mutex = hb__MutexCreate();
    std::thread owner([mutex] { ASSERT_EQ(hb__MutexLock(mutex, kForever), 0u); });
    owner.join(); // ended while holding it

    EXPECT_EQ(hb__MutexLock(mutex, kForever), HB_ERROR_SEM_TIMEOUT) << "abandoned";
    // The caller owns it now, although the wait said 121.
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    EXPECT_EQ(hb__MutexLock(mutex, 0.0), 0u);
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    std::thread other([mutex] {
        EXPECT_EQ(hb__MutexLock(mutex, 1.0), 0u);
        hb__MutexUnlock(mutex);
    });
    other.join();
    hb__MutexDestroy(mutex);
}

TEST(Semaphore, EnforcesItsMaximumCount) {
    HbHandle semaphore = hb__SemaphoreCreate(0, 1);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__SemaphoreUnlock(semaphore), 0u);
    EXPECT_EQ(hb__SemaphoreUnlock(semaphore), HB_ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), 0u);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), HB_ERROR_SEM_TIMEOUT) << "one count, one wait";
    hb__SemaphoreDestroy(semaphore);
}

TEST(Semaphore, CountsAndWakesWaiters) {
    HbHandle semaphore = hb__SemaphoreCreate(2, 3);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), 0u);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), 0u);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), HB_ERROR_SEM_TIMEOUT);
    std::thread poster([semaphore] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        hb__SemaphoreUnlock(semaphore);
    });
    EXPECT_EQ(hb__SemaphoreLock(semaphore, kForever), 0u);
    poster.join();
    hb__SemaphoreDestroy(semaphore);
}

TEST(Semaphore, ImpossibleCountsAreRefused) {
    EXPECT_EQ(hb__SemaphoreCreate(0, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb__SemaphoreCreate(-1, 1), nullptr);
    EXPECT_EQ(hb__SemaphoreCreate(2, 1), nullptr);
}

TEST(Timeouts, SecondsBecomeWholeMilliseconds) {
    EXPECT_EQ(hb::timeoutToMilliseconds(0.5), 500u);
    EXPECT_EQ(hb::timeoutToMilliseconds(0.0015), 1u);
    EXPECT_EQ(hb::timeoutToMilliseconds(0.0009), 0u);
    EXPECT_EQ(hb::timeoutToMilliseconds(HUGE_VAL), 0xFFFFFFFFu);
    // Values without a meaning of their own on the platform get one here.
    EXPECT_EQ(hb::timeoutToMilliseconds(-0.001), 0u);
    EXPECT_EQ(hb::timeoutToMilliseconds(-HUGE_VAL), 0u);
    EXPECT_EQ(hb::timeoutToMilliseconds(std::nan("")), 0u);
    EXPECT_EQ(hb::timeoutToMilliseconds(1e12), 0xFFFFFFFEu) << "never the infinite value";
    EXPECT_EQ(hb::timeoutToMilliseconds(2147483.648), 2147483648u);
}

TEST(Timeouts, NegativeWaitsOnlyTestTheState) {
    HbHandle event = hb__EventCreate(0);
    EXPECT_EQ(hb__EventLock(event, -1.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventLock(event, -0.001), HB_ERROR_SEM_TIMEOUT) << "not an infinite wait";
    hb__EventSet(event);
    EXPECT_EQ(hb__EventLock(event, -5.0), 0u);
    hb__EventDestroy(event);
}

TEST(Timeouts, TimedWaitEndsWithTimeout) {
    HbHandle event = hb__EventCreate(0);
    HbHandle semaphore = hb__SemaphoreCreate(0, 1);
    HbHandle mutex = hb__MutexCreate();
    std::thread owner([mutex] {
        hb__MutexLock(mutex, 0.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        hb__MutexUnlock(mutex);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hb__EventLock(event, 0.05), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.05), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__MutexLock(mutex, 0.05), HB_ERROR_SEM_TIMEOUT);
    // Lower bound only: a wait never ends before its time-out.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    owner.join();
    hb__EventDestroy(event);
    hb__SemaphoreDestroy(semaphore);
    hb__MutexDestroy(mutex);
}

TEST(Yield, ReturnsWithNothingElseReady) {
    hb__Yield();
}

} // namespace
