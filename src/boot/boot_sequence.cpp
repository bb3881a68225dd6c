// hbPreInit and hbBootVp: announce the reset to the monitor, reset the VP,
// set the bridge registers, then download and start the image.
#include "boot/boot_internal.h"

#include <cmath>

namespace {

constexpr uint32_t kBridgeRegister40 = 0x40;
constexpr uint32_t kBridgeRegister44 = 0x44;
// A device refuses the reset of a board that another host process owns.
constexpr uint32_t kErrorBusy = 170;

} // namespace

extern "C" void hbPreInit(const AcceleratorBoard* board) {
    if (board == nullptr) {
        return;
    }
    const uint32_t area = hb_GetMonitorData(board, nullptr);
    const uint8_t preInit[4] = {MSG_PREINIT, 0, 0, 0};
    // Results not examined: only the download decides whether a boot worked.
    hb_DeviceIoPlxRegisterWrite(board->deviceHandle, kBridgeRegister44, 0);
    hb_DeviceIoSharedMemoryWrite(board->deviceHandle, area + HB_MONITOR_MESSAGE_STATE, preInit,
                                 sizeof preInit);
    hb_DeviceIoPlxRegisterWrite(board->deviceHandle, kBridgeRegister44, 5);
}

extern "C" int32_t hbBootVp(const AcceleratorBoard* board, const char* path, double timeout) {
    if (board == nullptr || path == nullptr || std::isnan(timeout) || timeout < 0) {
        hbSetLastError(HB_ERROR_INVALID_PARAMETER);
        return 0;
    }
    hbPreInit(board);
    // The other steps' results are not examined, but a busy board ends the
    // boot at once: going on would load an image over another host's program.
    if (hb_DeviceIoResetVp(board->deviceHandle) == 0 && hbGetLastError() == kErrorBusy) {
        return 0;
    }
    hb_DeviceIoPlxRegisterWrite(board->deviceHandle, kBridgeRegister40, 0);
    hb_DeviceIoPlxRegisterWrite(board->deviceHandle, kBridgeRegister44, 6);
    return hb::loadVpImage(board, path, timeout);
}
