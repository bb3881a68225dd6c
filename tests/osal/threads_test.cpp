// Cooperative threads: the stop flag, the wake function and the hand-over on
// the done semaphore, for entries that loop until stopped and entries that
// return at once.
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
    std::atomic<uint32_t> id{0}; // hb__ThreadID on the new thread, once it runs
    std::atomic<bool> returned{false};
    std::atomic<int> wakeCalls{0};
    ~Worker() { hb__EventDestroy(wake); }
};

uint32_t loopUntilStopped(void* argument, volatile int32_t* stopFlag) {
    auto* worker = static_cast<Worker*>(argument);
    worker->id = hb__ThreadID();
    while (!hb::readStopFlag(stopFlag)) {
        hb__EventLock(worker->wake, HUGE_VAL);
        hb__EventReset(worker->wake);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // destroy must wait for this
    worker->returned = true;
    return 77;
}

uint32_t returnAtOnce(void* argument, volatile int32_t*) {
    auto* worker = static_cast<Worker*>(argument);
    worker->id = hb__ThreadID();
    worker->returned = true;
    return 0;
}

void wakeWorker(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    ++worker->wakeCalls;
    hb__EventSet(worker->wake);
}

TEST(Thread, DestroyRaisesTheFlagWakesOnceAndReturnsOnlyAfterTheEntry) {
    for (ThreadEntryFunction entry : {loopUntilStopped, returnAtOnce}) {
        std::vector<std::unique_ptr<Worker>> workers;
        std::vector<ThreadRecord*> threads;
        for (int i = 0; i < 16; ++i) {
            workers.push_back(std::make_unique<Worker>());
            threads.push_back(hb__ThreadCreate(entry, workers.back().get()));
            ASSERT_NE(threads.back(), nullptr);
        }
        for (size_t i = 0; i < threads.size(); ++i) {
            Worker& worker = *workers[i];
            while (worker.id == 0)
                std::this_thread::yield();
            EXPECT_EQ(threads[i]->threadId, worker.id.load()) << "the record names its thread";
            EXPECT_NE(worker.id.load(), hb__ThreadID());
            EXPECT_EQ(*threads[i]->stopFlag, 0);
            EXPECT_EQ(hb__ThreadDestroy(threads[i], wakeWorker, &worker), 0u);
            EXPECT_TRUE(worker.returned) << "destroy returned before the entry function did";
            EXPECT_EQ(worker.wakeCalls, 1);
        }
    }
    EXPECT_EQ(hb__ThreadDestroy(nullptr, nullptr, nullptr), 0u);
}

TEST(Thread, StartAndObjectCreationKeepTheCallersLastError) {
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

} // namespace
