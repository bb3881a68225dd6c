// The thread's last-error value is the system's own.
#include "platform/platform.h"

#include <windows.h>

namespace hb::platform {

uint32_t lastError() {
    return GetLastError();
}
void setLastError(uint32_t code) {
    SetLastError(code);
}

} // namespace hb::platform
