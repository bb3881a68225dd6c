// Threads that stop cooperatively: the destroyer raises the stop flag, wakes
// the entry function through a function of its own choosing and waits until
// the entry function has returned.
#include "osal/wait.h"
#include "platform/platform.h"

#include <cmath>
#include <new>

namespace platform = hb::platform;

namespace {

void threadStartRoutine(void* raw) {
    auto* record = static_cast<ThreadRecord*>(raw);
    ThreadEntryFunction entry = record->entry;
    void* argument = record->argument;
    volatile int32_t* stopFlag = record->stopFlag;
    HbHandle doneSemaphore = record->doneSemaphore;
    entry(argument, stopFlag);
    // After the release the record belongs to the destroyer alone.
    if (!platform::releaseSemaphore(doneSemaphore)) {
        (void)platform::lastError();
    }
}

} // namespace

extern "C" {

ThreadRecord* hb__ThreadCreate(ThreadEntryFunction entry, void* argument) {
    // Either a record whose thread runs, or null with the last error set: a
    // record whose thread never ran is never handed out.
    auto* record = new (std::nothrow) ThreadRecord{};
    auto* stopFlag = new (std::nothrow) int32_t{0};
    if (!record || !stopFlag) {
        delete record;
        delete stopFlag;
        platform::setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    record->entry = entry;
    record->argument = argument;
    record->stopFlag = stopFlag;
    record->doneSemaphore = platform::createSemaphore(0, 1);
    if (!record->doneSemaphore) {
        delete stopFlag;
        delete record;
        return nullptr;
    }
    uint32_t threadId = 0;
    if (!platform::startThread(threadStartRoutine, record, &record->osHandle, &threadId)) {
        uint32_t code = platform::lastError();
        platform::closeObject(record->doneSemaphore);
        delete stopFlag;
        delete record;
        platform::setLastError(code);
        return nullptr;
    }
    record->threadId = threadId;
    return record;
}

uint32_t hb__ThreadDestroy(ThreadRecord* thread, ThreadWakeFunction wakeFunction,
                           void* wakeArgument) {
    if (!thread) {
        return 0;
    }
    hb::raiseStopFlag(thread->stopFlag);
    if (wakeFunction) {
        wakeFunction(wakeArgument);
    }
    hb::waitForObject(thread->doneSemaphore, HUGE_VAL);
    platform::closeObject(thread->doneSemaphore);
    platform::releaseThread(thread->osHandle);
    delete const_cast<int32_t*>(thread->stopFlag);
    delete thread;
    return 0;
}

uint32_t hb__ThreadID(void) {
    return platform::currentThreadId();
}

int32_t hb__ThreadPriority(void) {
    switch (platform::currentThreadPriority()) {
    case -15:
        return HB_PRIORITY_IDLE;
    case -2:
        return HB_PRIORITY_LOWEST;
    case -1:
        return HB_PRIORITY_BELOW_NORMAL;
    case 0:
        return HB_PRIORITY_NORMAL;
    case 1:
        return HB_PRIORITY_ABOVE_NORMAL;
    case 2:
        return HB_PRIORITY_HIGHEST;
    default:
        return HB_PRIORITY_TIME_CRITICAL;
    }
}

} // extern "C"
