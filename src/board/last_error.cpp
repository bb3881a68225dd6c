// hbGetLastError / hbSetLastError: the library's only error state is the
// calling thread's last-error value.
#include "hbsys9u.h"
#include "platform/platform.h"

extern "C" uint32_t hbGetLastError(void) {
    return hb::platform::lastError();
}
extern "C" void hbSetLastError(uint32_t code) {
    hb::platform::setLastError(code);
}
