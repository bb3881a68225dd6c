// What the library takes for "no device" in a device handle, and the range of
// board indices that the per-board tables hold.
#pragma once

#include "hbsys9u.h"

#include <cstdint>

namespace hb {

// 0 and the invalid-handle value name no device. Handles travel through
// 32-bit fields on the board's own platform, so the invalid value can also
// come back zero-extended; that is no device either.
inline bool isNoDevice(HbHandle handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return value == 0 || handle == HB_INVALID_HANDLE || value == uintptr_t{0xFFFFFFFFu};
}

inline bool isTableIndex(int32_t boardIndex) {
    return boardIndex >= 0 && boardIndex < HB_MAX_BOARDS;
}

} // namespace hb
