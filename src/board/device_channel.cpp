// The one channel between the library and the board's driver: open a device
// by name, send one device-control request, close.
#include "board/device_handle.h"
#include "hbsys9u.h"
#include "platform/platform.h"

#include <cstdio>
#include <string>

extern "C" HbHandle hb__DeviceIoOpen(const char* deviceBaseName, int32_t boardIndex,
                                     uint32_t /*reserved*/) {
    if (deviceBaseName == nullptr || boardIndex < 0) {
        return HB_INVALID_HANDLE;
    }
    // Base name immediately followed by the decimal index + 1. Index + 1 is
    // computed in 64 bits so that INT32_MAX names "2147483648".
    char digits[24];
    std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(boardIndex) + 1);
    std::string name;
    try {
        name = std::string(deviceBaseName) + digits;
    } catch (const std::bad_alloc&) {
        hb::platform::setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return HB_INVALID_HANDLE;
    }
    hb::platform::Handle device = hb::platform::deviceOpen(name.c_str());
    return device != nullptr ? device : HB_INVALID_HANDLE;
}

extern "C" void hb__DeviceIoClose(HbHandle deviceHandle) {
    if (!hb::isNoDevice(deviceHandle)) {
        hb::platform::deviceClose(deviceHandle);
    }
}

extern "C" int32_t hb__DeviceIoControl(HbHandle deviceHandle, uint32_t controlCode,
                                       const void* inBuffer, uint32_t inSize, void* outBuffer,
                                       uint32_t outSize, uint32_t* bytesReturned,
                                       void* /*overlapped*/) {
    // Requests are synchronous on every platform; there is nothing to hand an
    // overlapped structure to.
    if (hb::isNoDevice(deviceHandle) || bytesReturned == nullptr) {
        hb::platform::setLastError(HB_ERROR_INVALID_PARAMETER);
        return 0;
    }
    return hb::platform::deviceControl(deviceHandle, controlCode, inBuffer, inSize, outBuffer,
                                       outSize, bytesReturned)
               ? 1
               : 0;
}
