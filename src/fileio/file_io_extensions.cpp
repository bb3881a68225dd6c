// The extensions of the file-I/O service: a root directory that confines the
// VP program's file access, a trace function that sees every request, and the
// question whether the VP program has reported its exit.
#include "fileio/file_io_slots.h"

#include "platform/platform.h"

#include <utility>

namespace hb {

platform::HostRootRef currentRoot(FileIoBoardSlot& slot) {
    std::lock_guard guard(slot.rootLock);
    return slot.root;
}

} // namespace hb

using hb::FileIoBoardSlot;

extern "C" uint32_t hbFileIoSetRootDirectory(const AcceleratorBoard* board, const char* path) {
    if (board == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    hb::platform::HostRootRef root;
    if (path != nullptr) {
        root = hb::platform::openHostRoot(path);
        if (!root) {
            const uint32_t code = hb::platform::lastError();
            return code != 0 ? code : HB_ERROR_ACCESS_DENIED;
        }
    }
    hb::platform::HostRootRef previous;
    {
        std::lock_guard guard(slot->rootLock);
        previous = std::exchange(slot->root, std::move(root));
    }
    return HB_ERROR_SUCCESS; // `previous` goes once no request holds it
}

extern "C" uint32_t hbFileIoSetTraceFunction(const AcceleratorBoard* board,
                                             HbFileIoTraceFunction function, void* context) {
    if (board == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    std::lock_guard guard(slot->traceLock);
    slot->traceFunction = function;
    slot->traceContext = function != nullptr ? context : nullptr;
    return HB_ERROR_SUCCESS;
}

extern "C" int32_t hbFileIoVpHasExited(const AcceleratorBoard* board) {
    if (board == nullptr)
        return -1;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return -1;
    return slot->exitReported.load() ? 1 : 0;
}
