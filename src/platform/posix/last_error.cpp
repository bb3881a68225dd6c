// The thread's last-error value: a thread-local word in the Win32 numbering.
#include "platform/platform.h"

namespace hb::platform {

namespace {
thread_local uint32_t threadLastError = 0;
}

uint32_t lastError() {
    return threadLastError;
}
void setLastError(uint32_t code) {
    threadLastError = code;
}

} // namespace hb::platform
