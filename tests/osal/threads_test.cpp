// Cooperative threads: the stop flag, the wake function and the hand-over on
// the done semaphore.
#include "hbsys9u.h"
#include "osal/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Worker {
    HbHandle wake = hb__EventCreate(0);
    std::atomic<int> loops{0};
    std::atomic<bool> returned{false};
    std::atomic<int> wakeCalls{0};
    std::atomic<uint32_t> seenId{0};
    ~Worker() { hb__EventDestroy(wake); }
};

uint32_t loopUntilStopped(void* argument, volatile int32_t* stopFlag) {
    auto* worker = static_cast<Worker*>(argument);
    worker->seenId = hb__ThreadID();
    while (!hb::readStopFlag(stopFlag)) {
        ++worker->loops;
        hb__EventLock(worker->wake, HUGE_VAL);
        hb__EventReset(worker->wake);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // destroy must wait for this
    worker->returned = true;
    return 77;
}

uint32_t returnAtOnce(void* argument, volatile int32_t*) {
    static_cast<Worker*>(argument)->returned = true;
    return 0;
}

void wakeWorker(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    ++worker->wakeCalls;
    hb__EventSet(worker->wake);
}

TEST(Thread, StartKeepsTheCallersLastError) {
    Worker worker;
    hbSetLastError(1234);
    ThreadRecord* thread = hb__ThreadCreate(returnAtOnce, &worker);
    EXPECT_EQ(hbGetLastError(), 1234u) << "an earlier error must still show after the start";
    ASSERT_NE(thread, nullptr);
    hb__ThreadDestroy(thread, nullptr, nullptr);
    HbHandle event = hb__EventCreate(0);
    EXPECT_EQ(hbGetLastError(), 1234u) << "nor may creating an object hide it";
    hb__EventDestroy(event);
}

TEST(Thread, DestroyRaisesFlagWakesAndWaitsForTheEntryToReturn) {
    Worker worker;
    ThreadRecord* thread = hb__ThreadCreate(loopUntilStopped, &worker);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(*thread->stopFlag, 0);
    EXPECT_EQ(thread->entry, &loopUntilStopped);
    EXPECT_EQ(thread->argument, &worker);
    while (worker.loops == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(hb__ThreadDestroy(thread, wakeWorker, &worker), 0u);
    EXPECT_TRUE(worker.returned) << "destroy returned before the entry function did";
    EXPECT_EQ(worker.wakeCalls, 1);
}

TEST(Thread, DestroyAfterTheEntryReturnedStillWakesOnceAndDoesNotBlock) {
    Worker worker;
    ThreadRecord* thread = hb__ThreadCreate(returnAtOnce, &worker);
    ASSERT_NE(thread, nullptr);
    while (!worker.returned) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(hb__ThreadDestroy(thread, wakeWorker, &worker), 0u);
    EXPECT_EQ(worker.wakeCalls, 1);
}

TEST(Thread, RecordCarriesTheNewThreadsId) {
    Worker worker;
    ThreadRecord* thread = hb__ThreadCreate(loopUntilStopped, &worker);
    while (worker.seenId == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(thread->threadId, worker.seenId.load());
    EXPECT_NE(worker.seenId.load(), hb__ThreadID());
    hb__ThreadDestroy(thread, wakeWorker, &worker);
}

TEST(Thread, ManyThreadsStartAndStop) {
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<ThreadRecord*> threads;
    for (int i = 0; i < 32; ++i) {
        workers.push_back(std::make_unique<Worker>());
        threads.push_back(hb__ThreadCreate(loopUntilStopped, workers.back().get()));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (size_t i = 0; i < threads.size(); ++i) {
        hb__ThreadDestroy(threads[i], wakeWorker, workers[i].get());
        EXPECT_TRUE(workers[i]->returned);
    }
}

TEST(ThreadIdentity, DistinctPerThreadStablePerThread) {
    uint32_t mine = hb__ThreadID();
    EXPECT_EQ(mine, hb__ThreadID());
    uint32_t other = 0;
    std::thread t([&] { other = hb__ThreadID(); });
    t.join();
    EXPECT_NE(other, mine);
}

TEST(ThreadPriority, OrdinaryThreadIsNormal) {
    EXPECT_EQ(hb__ThreadPriority(), HB_PRIORITY_NORMAL);
    int level = -1;
    std::thread other([&] { level = hb__ThreadPriority(); });
    other.join();
    EXPECT_EQ(level, HB_PRIORITY_NORMAL);
}

} // namespace
