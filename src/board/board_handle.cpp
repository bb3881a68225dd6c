// Board handles: a heap record pairing the board's index with its open
// driver device.
#include "board/device_handle.h"
#include "hbsys9u.h"
#include "platform/platform.h"

#include <new>

extern "C" AcceleratorBoard* hbAcceleratorBoardCreate(const char* deviceBaseName,
                                                      int32_t boardIndex, uint32_t reserved) {
    // Indices past the per-board tables would index beyond them later.
    if (boardIndex >= HB_MAX_BOARDS) {
        hb::platform::setLastError(HB_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* board = new (std::nothrow) AcceleratorBoard{};
    if (board == nullptr) {
        hb::platform::setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    board->boardIndex = boardIndex;
    board->deviceHandle = hb__DeviceIoOpen(deviceBaseName, boardIndex, reserved);
    if (board->deviceHandle == HB_INVALID_HANDLE) {
        delete board;
        hb::platform::setLastError(HB_ERROR_INVALID_BLOCK);
        return nullptr;
    }
    return board;
}

extern "C" void hbAcceleratorBoardDestroy(AcceleratorBoard* board) {
    if (board == nullptr) {
        return;
    }
    const uint32_t saved = hb::platform::lastError();
    hb__DeviceIoClose(board->deviceHandle);
    delete board;
    hb::platform::setLastError(saved);
}
