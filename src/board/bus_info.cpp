// Bus type and bus width of a board, from the driver's hardware information,
// cached per board index for the life of the process.
#include "board/device_handle.h"
#include "hbsys9u.h"
#include "platform/platform.h"

#include <atomic>

namespace {

// 0 means not yet determined; an entry only ever changes from 0 to the value
// that the driver's answer gives, so relaxed order is enough.
std::atomic<int32_t> busTypeCache[HB_MAX_BOARDS];
std::atomic<int32_t> busWidthCache[HB_MAX_BOARDS];

constexpr uint32_t kHwInfoSize = 68;
static_assert(sizeof(HwInfo) == kHwInfoSize);

// The record starts zeroed, so a short answer reads as "not determined".
bool queryHwInfo(HbHandle device, HwInfo& info) {
    info = HwInfo{};
    uint32_t returned = 0;
    return hb__DeviceIoControl(device, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info, kHwInfoSize,
                               &returned, nullptr) != 0;
}

bool refuseIndex(const AcceleratorBoard* board) {
    if (hb::isTableIndex(board->boardIndex)) {
        return false;
    }
    hb::platform::setLastError(HB_ERROR_INVALID_PARAMETER);
    return true;
}

} // namespace

extern "C" int32_t hbBusType(const AcceleratorBoard* board) {
    if (board == nullptr || refuseIndex(board)) {
        return HB_BUS_TYPE_UNKNOWN;
    }
    auto& cached = busTypeCache[board->boardIndex];
    if (const int32_t type = cached.load(std::memory_order_relaxed); type != 0) {
        return type;
    }
    const HbHandle device = board->deviceHandle;
    if (device == HB_INVALID_HANDLE || reinterpret_cast<uintptr_t>(device) == 0xFFFFFFFFu) {
        return HB_BUS_TYPE_UNKNOWN;
    }
    HwInfo info;
    if (!queryHwInfo(device, info)) {
        return HB_BUS_TYPE_UNKNOWN;
    }
    const int32_t type = hbBusTypeOfBoardType(info.boardType);
    cached.store(type, std::memory_order_relaxed);
    return type;
}

extern "C" int32_t hbBusWidth(const AcceleratorBoard* board) {
    if (board == nullptr || refuseIndex(board)) {
        return 0;
    }
    auto& cached = busWidthCache[board->boardIndex];
    if (const int32_t width = cached.load(std::memory_order_relaxed); width != 0) {
        return width;
    }
    int32_t width = 0;
    switch (hbBusType(board)) {
    case HB_BUS_TYPE_1: {
        const HbHandle device = board->deviceHandle;
        HwInfo info;
        if (device == HB_INVALID_HANDLE || reinterpret_cast<uintptr_t>(device) == 0xFFFFFFFFu) {
            width = 2;
        } else if (queryHwInfo(device, info)) {
            width = static_cast<int32_t>(info.busWidth);
        }
        break;
    }
    case HB_BUS_TYPE_2:
    case HB_BUS_TYPE_3:
        width = 4;
        break;
    default:
        break;
    }
    cached.store(width, std::memory_order_relaxed);
    return width;
}
