// One exported function per request of the board's driver. Each sends exactly
// one request through hb__DeviceIoControl and returns its result; the buffers
// are laid out as the driver expects them, 32-bit little-endian words.
#include "hbsys9u.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kRegistrationSize = 24;
static_assert(sizeof(AsyncEventRegistration) == kRegistrationSize);
static_assert(offsetof(AsyncEventRegistration, param2) == 8);
static_assert(offsetof(AsyncEventRegistration, param1) == 12);

constexpr uint32_t kVpRequestSize = 16;
constexpr uint32_t kHwInfoSize = 68;

int32_t request(HbHandle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                uint32_t outSize) {
    uint32_t returned = 0;
    return hb__DeviceIoControl(device, code, in, inSize, out, outSize, &returned, nullptr);
}

int32_t signalVp(HbHandle device, uint32_t signalCode) {
    return request(device, HB_IOCTL_SIGNAL_VP, &signalCode, sizeof signalCode, nullptr, 0);
}

} // namespace

extern "C" int32_t hb_DeviceIoResetVp(HbHandle deviceHandle) {
    return request(deviceHandle, HB_IOCTL_RESET_VP, nullptr, 0, nullptr, 0);
}

extern "C" int32_t hb_DeviceIoPlxRegisterRead(HbHandle deviceHandle, uint32_t registerOffset,
                                              uint32_t* value) {
    return request(deviceHandle, HB_IOCTL_PLX_REGISTER_READ, &registerOffset, sizeof registerOffset,
                   value, sizeof *value);
}

extern "C" int32_t hb_DeviceIoPlxRegisterWrite(HbHandle deviceHandle, uint32_t registerOffset,
                                               uint32_t value) {
    return request(deviceHandle, HB_IOCTL_PLX_REGISTER_WRITE, &registerOffset,
                   sizeof registerOffset, &value, sizeof value);
}

extern "C" int32_t hb_DeviceIoSharedMemoryRead(HbHandle deviceHandle, uint32_t offset, void* buffer,
                                               uint32_t length) {
    return request(deviceHandle, HB_IOCTL_SHARED_MEMORY_READ, &offset, sizeof offset, buffer,
                   length);
}

extern "C" int32_t hb_DeviceIoSharedMemoryWrite(HbHandle deviceHandle, uint32_t offset,
                                                const void* data, uint32_t length) {
    // The second buffer of a write carries data to the driver, which only reads it.
    return request(deviceHandle, HB_IOCTL_SHARED_MEMORY_WRITE, &offset, sizeof offset,
                   const_cast<void*>(data), length);
}

extern "C" int32_t hb_DeviceIoAsyncEventRegister(HbHandle deviceHandle, uint32_t eventId,
                                                 HbHandle event, uint32_t param1, uint32_t param2,
                                                 uint32_t param3, int32_t flag) {
    AsyncEventRegistration record{};
    record.eventId = eventId;
    // Handle values fit in 32 bits on every platform the driver serves.
    record.eventHandle =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hb__EventOSHandle(event)));
    record.param2 = param2;
    record.param1 = param1;
    record.param3 = param3;
    record.flag = flag != 0 ? 1u : 0u;
    return request(deviceHandle, HB_IOCTL_ASYNC_EVENT_REGISTER, &record, kRegistrationSize, nullptr,
                   0);
}

extern "C" int32_t hb_DeviceIoAsyncEventDeregister(HbHandle deviceHandle, uint32_t eventId) {
    return request(deviceHandle, HB_IOCTL_ASYNC_EVENT_DEREGISTER, &eventId, sizeof eventId, nullptr,
                   0);
}

extern "C" int32_t hb_DeviceIoVpRead(HbHandle deviceHandle, void* buffer, uint32_t length,
                                     uint32_t* bytesReturned) {
    return hb__DeviceIoControl(deviceHandle, HB_IOCTL_VP_READ, nullptr, 0, buffer, length,
                               bytesReturned, nullptr);
}

extern "C" int32_t hb_DeviceIoVpWrite(HbHandle deviceHandle, const void* vpRequest,
                                      const void* data, uint32_t length, uint32_t* bytesReturned) {
    return hb__DeviceIoControl(deviceHandle, HB_IOCTL_VP_WRITE, vpRequest, kVpRequestSize,
                               const_cast<void*>(data), length, bytesReturned, nullptr);
}

extern "C" int32_t hb_DeviceIoAckVp(HbHandle deviceHandle) {
    return signalVp(deviceHandle, HB_SIGNAL_ACK);
}

extern "C" int32_t hb_DeviceIoDebuggerBreak(HbHandle deviceHandle) {
    return signalVp(deviceHandle, HB_SIGNAL_DEBUGGER_BREAK);
}

extern "C" int32_t hb_DeviceIoGetHwInfo(HbHandle deviceHandle, HwInfo* info) {
    return request(deviceHandle, HB_IOCTL_GET_HW_INFO, nullptr, 0, info, kHwInfoSize);
}
