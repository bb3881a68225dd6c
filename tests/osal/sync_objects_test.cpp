// Events, mutexes and semaphores as the library and host applications rely
// on them: what every kind must do runs over a table of the kinds, then what
// each kind does of its own.
#include "hbsys9u.h"
#include "osal/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr double kForever = HUGE_VAL;

// An object that a wait on another thread cannot take yet, the wait, and the
// call that lets one wait through (the mutex is held by its creator).
struct Kind {
    const char* name;
    HbHandle (*create)();
    uint32_t (*lock)(HbHandle, double);
    uint32_t (*release)(HbHandle);
    int32_t (*destroy)(HbHandle);
};
const Kind kKinds[] = {
    {"event", [] { return hb__EventCreate(0); }, hb__EventLock, hb__EventSet, hb__EventDestroy},
    {"semaphore", [] { return hb__SemaphoreCreate(0, 1); }, hb__SemaphoreLock, hb__SemaphoreUnlock,
     hb__SemaphoreDestroy},
    {"mutex",
     [] {
         HbHandle m = hb__MutexCreate();
         EXPECT_EQ(hb__MutexLock(m, 0.0), 0u);
         return m;
     },
     hb__MutexLock, hb__MutexUnlock, hb__MutexDestroy},
};

TEST(SyncObjects, WaitTimesOutNotBeforeItsTimeAndAnInfiniteOneEndsAtTheRelease) {
    for (const Kind& k : kKinds) {
        HbHandle object = k.create();
        ASSERT_NE(object, nullptr) << k.name;
        std::atomic<bool> timedOut{false};
        std::thread waiter([&] {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(k.lock(object, 0.05), HB_ERROR_SEM_TIMEOUT) << k.name;
            EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms) << k.name << ": ended early";
            EXPECT_EQ(k.lock(object, -1.0), HB_ERROR_SEM_TIMEOUT) << k.name << ": not infinite";
            timedOut = true;
            EXPECT_EQ(k.lock(object, kForever), 0u) << k.name;
            EXPECT_EQ(k.release(object), 0u) << k.name << ": the taker may give it back";
        });
        while (!timedOut)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(k.release(object), 0u) << k.name;
        waiter.join();
        EXPECT_NE(k.destroy(object), 0) << k.name;
    }
}

TEST(SyncObjects, ClosedBogusAndOtherKindsHandlesAreRefusedWithoutBlocking) {
    for (const Kind& k : kKinds) {
        HbHandle object = k.create();
        const auto value = reinterpret_cast<uintptr_t>(object);
        EXPECT_TRUE(value != 0 && value < 0xFFFFFFFFu) << k.name << ": 32 bits, no no-device value";
        for (const Kind& other : kKinds)
            EXPECT_TRUE(&other == &k || other.release(object) == HB_ERROR_INVALID_HANDLE)
                << other.name << " on a " << k.name;
        k.release(object);
        ASSERT_NE(k.destroy(object), 0) << k.name;
        for (HbHandle gone :
             {object, HbHandle{}, HB_INVALID_HANDLE, reinterpret_cast<HbHandle>(0x12345678),
              reinterpret_cast<HbHandle>(uintptr_t{0xFFFFFFFF})}) {
            EXPECT_EQ(k.lock(gone, 0.0), HB_ERROR_SEM_TIMEOUT) << k.name;
            EXPECT_EQ(k.lock(gone, kForever), HB_ERROR_SEM_TIMEOUT) << k.name << ": must not block";
            EXPECT_EQ(k.release(gone), HB_ERROR_INVALID_HANDLE) << k.name;
            EXPECT_EQ(k.destroy(gone), 0) << k.name;
        }
    }
}

TEST(Event, StaysSetForEveryWaiterUntilOneResetClearsIt) {
    HbHandle initiallySet = hb__EventCreate(-1);
    EXPECT_EQ(hb__EventLock(initiallySet, 0.0), 0u) << "any non-zero argument creates it set";
    hb__EventDestroy(initiallySet);
    HbHandle event = hb__EventCreate(0);
    EXPECT_EQ(hb__EventOSHandle(event), event);
    // A deadline of a second and more that carries into the next second ends
    // the wait there: not early, and not a second late, when the set at 2.5 s
    // would end it.
    std::thread late([&] {
        std::this_thread::sleep_for(2500ms);
        hb__EventSet(event);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hb__EventLock(event, 1.999), HB_ERROR_SEM_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1990ms);
    late.join();
    EXPECT_EQ(hb__EventReset(event), 0u);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] { released += hb__EventLock(event, kForever) == 0 ? 1 : 0; });
    EXPECT_EQ(hb__EventSet(event), 0u);
    EXPECT_EQ(hb__EventUnlock(event), 0u) << "setting a set event succeeds";
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released, 4);
    EXPECT_EQ(hb__EventLock(event, 0.0), 0u) << "a wait must not clear a manual-reset event";
    EXPECT_EQ(hb__EventReset(event), 0u) << "one reset after two sets";
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hb__EventReset(event), 0u) << "resetting a clear event succeeds";
    hb__EventDestroy(event);
}

TEST(Mutex, NeedsOneUnlockPerLockAndSurvivesAnOwnerThatEndedHoldingIt) {
    HbHandle mutex = hb__MutexCreate();
    ASSERT_EQ(hb__MutexLock(mutex, 0.0), 0u);
    ASSERT_EQ(hb__MutexLock(mutex, 0.0), 0u);
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    std::thread([&] {
        EXPECT_EQ(hb__MutexLock(mutex, 0.0), HB_ERROR_SEM_TIMEOUT) << "still held once";
        EXPECT_EQ(hbGetLastError(), 0u) << "a time-out is no failure";
        EXPECT_EQ(hb__MutexUnlock(mutex), HB_ERROR_NOT_OWNER);
    }).join();
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u);
    EXPECT_EQ(hb__MutexUnlock(mutex), HB_ERROR_NOT_OWNER) << "unlocked more often than locked";

    std::thread([&] { ASSERT_EQ(hb__MutexLock(mutex, kForever), 0u); }).join();
    EXPECT_EQ(hb__MutexLock(mutex, kForever), HB_ERROR_SEM_TIMEOUT) << "abandoned";
    EXPECT_EQ(hb__MutexUnlock(mutex), 0u) << "the waiter owns it all the same, once";
    std::thread([&] {
        EXPECT_EQ(hb__MutexLock(mutex, 1.0), 0u);
        hb__MutexUnlock(mutex);
    }).join();
    hb__MutexDestroy(mutex);
}

TEST(Semaphore, CountsUpToItsMaximumAndImpossibleCountsAreRefused) {
    for (auto [initial, maximum] : {std::pair{0, 0}, {-1, 1}, {2, 1}}) {
        EXPECT_EQ(hb__SemaphoreCreate(initial, maximum), nullptr) << initial << "/" << maximum;
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    HbHandle semaphore = hb__SemaphoreCreate(3, 3);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), 0u) << round << i;
        EXPECT_EQ(hb__SemaphoreLock(semaphore, 0.0), HB_ERROR_SEM_TIMEOUT) << "one count, one wait";
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(hb__SemaphoreUnlock(semaphore), 0u) << round << i;
        EXPECT_EQ(hb__SemaphoreUnlock(semaphore), HB_ERROR_TOO_MANY_POSTS);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_TOO_MANY_POSTS);
    }
    hb__SemaphoreDestroy(semaphore);
}

TEST(Timeouts, SecondsBecomeWholeMillisecondsNeverTheInfiniteValueByAccident) {
    const std::pair<double, uint32_t> cases[] = {
        {0.5, 500u},
        {0.0015, 1u},
        {0.0009, 0u},
        {HUGE_VAL, 0xFFFFFFFFu},
        {-0.001, 0u},
        {-HUGE_VAL, 0u},
        {std::nan(""), 0u},
        {1e12, 0xFFFFFFFEu},
        {2147483.648, 2147483648u},
    };
    for (auto [seconds, milliseconds] : cases)
        EXPECT_EQ(hb::timeoutToMilliseconds(seconds), milliseconds) << seconds;
}

} // namespace
