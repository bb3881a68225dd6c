// The channel to the board's kernel driver: its device opened by name, and
// synchronous device-control requests on it.
#include "platform/platform.h"

#include <windows.h>

namespace hb::platform {

Handle deviceOpen(const char* name) {
    // An existing device only, shared with every other user of the board, and
    // a plain synchronous handle: each request returns once the driver has
    // completed it.
    HANDLE device =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

void deviceClose(Handle device) {
    CloseHandle(device);
}

bool deviceControl(Handle device, uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, controlCode, const_cast<void*>(inBuffer), inSize, outBuffer,
                              outSize, &returned, nullptr);
    *bytesReturned = returned;
    return ok != FALSE;
}

} // namespace hb::platform
