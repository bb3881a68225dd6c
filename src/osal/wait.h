// The portability layer's internal operations shared with the rest of the
// library.
#pragma once

#include "hbsys9u.h"

#include <atomic>
#include <cstdint>

namespace hb {

// Waits on a mutex, event or semaphore for `timeout` seconds: 0 when it was
// signalled (and acquired), 121 for a time-out, an abandoned mutex (which the
// caller then owns) or a failed wait. Positive infinity waits without limit;
// negative time-outs and NaN wait 0 s; time-outs beyond the largest finite
// platform wait are cut to it.
uint32_t waitForObject(HbHandle object, double timeout);

// Milliseconds a time-out in seconds stands for; kInfiniteWait for infinity.
uint32_t timeoutToMilliseconds(double timeout);

// A thread's stop flag is a plain 32-bit word in the interface; inside the
// library it is always read and written atomically.
inline int32_t readStopFlag(volatile int32_t* flag) {
    return std::atomic_ref<int32_t>(*const_cast<int32_t*>(flag)).load();
}
inline void raiseStopFlag(volatile int32_t* flag) {
    std::atomic_ref<int32_t>(*const_cast<int32_t*>(flag)).store(1);
}

} // namespace hb
