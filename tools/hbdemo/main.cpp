// A short tour of the portability layer: a worker thread served through an
// event, a semaphore hand-over, a timer and a list.
#include "hbsys9u.h"

#include <cmath>
#include <cstdio>

namespace {

struct Shared {
    HbHandle request;
    HbHandle done;
    ListNode* results;
    int served;
};

uint32_t serve(void* argument, volatile int32_t* stopFlag) {
    auto* shared = static_cast<Shared*>(argument);
    for (;;) {
        hb__EventLock(shared->request, HUGE_VAL);
        if (__atomic_load_n(stopFlag, __ATOMIC_SEQ_CST)) {
            return 0;
        }
        hb__EventReset(shared->request);
        ++shared->served;
        hb_listInsert(static_cast<uintptr_t>(shared->served * shared->served), shared->results);
        hb__SemaphoreUnlock(shared->done);
    }
}

void wake(void* argument) {
    hb__EventSet(static_cast<Shared*>(argument)->request);
}

} // namespace

int main() {
    Shared shared{hb__EventCreate(0), hb__SemaphoreCreate(0, 1), hb_listCreate(), 0};
    TimerRecord* timer = hb__TimerCreate();
    hb__TimerStart(timer);

    ThreadRecord* worker = hb__ThreadCreate(serve, &shared);
    if (!worker) {
        std::fprintf(stderr, "hbdemo: cannot start a thread: error %u\n", hbGetLastError());
        return 1;
    }
    std::printf("worker thread %u started by thread %u (priority level %d)\n",
                static_cast<unsigned>(worker->threadId), hb__ThreadID(), hb__ThreadPriority());
    for (int i = 0; i < 5; ++i) {
        hb__EventSet(shared.request);
        hb__SemaphoreLock(shared.done, HUGE_VAL);
    }
    hb__ThreadDestroy(worker, wake, &shared);

    std::printf("served %d requests in %.3f ms; results, newest first:", shared.served,
                hb__TimerRead(timer) * 1000.0);
    for (ListNode* n = hb_listGetNextNode(shared.results); n; n = hb_listGetNextNode(n)) {
        std::printf(" %lu", static_cast<unsigned long>(hb_listItem(n)));
    }
    std::printf("\n");

    hb_listDestroy(shared.results);
    hb__TimerDestroy(timer);
    hb__SemaphoreDestroy(shared.done);
    hb__EventDestroy(shared.request);
    return 0;
}
