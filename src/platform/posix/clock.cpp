// The high-resolution counter: CLOCK_MONOTONIC in nanoseconds.
#include "platform/platform.h"

#include <ctime>

namespace hb::platform {

int64_t counterFrequency() {
    return 1000000000;
}

int64_t counterNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace hb::platform
