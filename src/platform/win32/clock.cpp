// The high-resolution counter: the system's performance counter.
#include "platform/platform.h"

#include <windows.h>

namespace hb::platform {

int64_t counterFrequency() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

int64_t counterNow() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

} // namespace hb::platform
