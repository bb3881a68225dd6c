// Mutexes, events and semaphores: one platform call per operation.
#include "osal/wait.h"
#include "platform/platform.h"

#include <cmath>

namespace platform = hb::platform;

namespace hb {

uint32_t timeoutToMilliseconds(double timeout) {
    if (timeout == HUGE_VAL) {
        return platform::kInfiniteWait;
    }
    if (!(timeout > 0.0)) { // negative, zero or NaN
        return 0;
    }
    double milliseconds = timeout * 1000.0;
    constexpr double kLargestFinite = static_cast<double>(platform::kInfiniteWait - 1);
    return milliseconds >= kLargestFinite ? platform::kInfiniteWait - 1
                                          : static_cast<uint32_t>(milliseconds);
}

uint32_t waitForObject(HbHandle object, double timeout) {
    auto outcome = platform::wait(object, timeoutToMilliseconds(timeout));
    return outcome == platform::WaitOutcome::Signalled ? HB_ERROR_SUCCESS : HB_ERROR_SEM_TIMEOUT;
}

} // namespace hb

namespace {
uint32_t resultOf(bool ok) {
    return ok ? HB_ERROR_SUCCESS : platform::lastError();
}
} // namespace

extern "C" {

HbHandle hb__MutexCreate(void) {
    return platform::createMutex();
}
uint32_t hb__MutexLock(HbHandle mutex, double timeout) {
    return hb::waitForObject(mutex, timeout);
}
uint32_t hb__MutexUnlock(HbHandle mutex) {
    return resultOf(platform::releaseMutex(mutex));
}
int32_t hb__MutexDestroy(HbHandle mutex) {
    return platform::closeObject(mutex) ? 1 : 0;
}

HbHandle hb__EventCreate(int32_t initiallySet) {
    return platform::createEvent(initiallySet != 0);
}
uint32_t hb__EventLock(HbHandle event, double timeout) {
    return hb__MutexLock(event, timeout);
}
uint32_t hb__EventSet(HbHandle event) {
    return resultOf(platform::setEvent(event));
}
uint32_t hb__EventUnlock(HbHandle event) {
    return hb__EventSet(event);
}
uint32_t hb__EventReset(HbHandle event) {
    return resultOf(platform::resetEvent(event));
}
HbHandle hb__EventOSHandle(HbHandle event) {
    return event;
}
int32_t hb__EventDestroy(HbHandle event) {
    return hb__MutexDestroy(event);
}

HbHandle hb__SemaphoreCreate(int32_t initialCount, int32_t maximumCount) {
    return platform::createSemaphore(initialCount, maximumCount);
}
uint32_t hb__SemaphoreLock(HbHandle semaphore, double timeout) {
    return hb__MutexLock(semaphore, timeout);
}
uint32_t hb__SemaphoreUnlock(HbHandle semaphore) {
    return resultOf(platform::releaseSemaphore(semaphore));
}
int32_t hb__SemaphoreDestroy(HbHandle semaphore) {
    return hb__MutexDestroy(semaphore);
}

void hb__Yield(void) {
    platform::yieldProcessor();
}

} // extern "C"
