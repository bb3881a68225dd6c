// A board's file-I/O service: the thread that answers the VP program's
// requests, its start-up, its wait for the program's exit, and its stop.
#include "fileio/service_lifecycle.h"

#include "fileio/dispatcher.h"
#include "fileio/file_io_slots.h"
#include "osal/wait.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace hb {

namespace {

bool stopRequested(volatile int32_t* stopFlag) {
    return readStopFlag(stopFlag) != 0;
}

bool isEvent(HbHandle event) {
    return event != nullptr && event != kNoEvent;
}
bool isThread(ThreadRecord* thread) {
    return thread != nullptr && thread != kNoThread;
}

} // namespace

uint32_t fileIoServiceLoop(void* argument, volatile int32_t* stopFlag) {
    const auto* board = static_cast<const AcceleratorBoard*>(argument);
    FileIoBoardSlot* slot = fileIoSlot(board->boardIndex);
    // The VP program's writes (to files, pipes, the console through the
    // writers) must never end the host process.
    platform::keepBrokenPipesFromEndingTheProcess();
    while (!stopRequested(stopFlag)) {
        const uint32_t waited = hb__EventLock(slot->requestEvent.load(), HB_INFINITE_TIMEOUT);
        if (stopRequested(stopFlag))
            break;
        if (waited != 0) {
            // An endless wait that fails has nothing to report: pause rather
            // than spin, and never answer a request nobody posted.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        dispatchFileIoRequest(board);
    }
    return 0;
}

void wakeServiceThread(void* board) {
    FileIoBoardSlot* slot = fileIoSlot(static_cast<const AcceleratorBoard*>(board)->boardIndex);
    if (slot != nullptr)
        hb__EventSet(slot->requestEvent.load());
}

void releaseFileIoBoard(const AcceleratorBoard* board) {
    FileIoBoardSlot* slot = fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return;
    const HbHandle requestEvent = slot->requestEvent.load();
    if (isEvent(requestEvent)) {
        AcceleratorBoard* running = slot->board.load();
        hb_DeviceIoAsyncEventDeregister((running != nullptr ? running : board)->deviceHandle,
                                        HB_EVENT_FILEIO_REQUEST);
        ThreadRecord* thread = slot->serviceThread.load();
        if (isThread(thread))
            hb__ThreadDestroy(thread, wakeServiceThread, const_cast<AcceleratorBoard*>(board));
        hb__EventDestroy(requestEvent);
    }
    // The thread has ended: nothing uses the lists any more.
    hb_listDestroy(slot->openFiles);
    slot->openFiles = nullptr;
    hb_listDestroy(slot->openSearches);
    slot->openSearches = nullptr;
    slot->requestEvent.store(kNoEvent);
    slot->serviceThread.store(kNoThread);
    slot->board.store(nullptr);
    const HbHandle exitEvent = slot->exitEvent.exchange(kNoEvent);
    if (isEvent(exitEvent))
        hb__EventDestroy(exitEvent);
}

} // namespace hb

using hb::FileIoBoardSlot;

extern "C" uint32_t hbFileIoStartup(AcceleratorBoard* board) {
    if (board == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    hb::initFileIoTables();
    hbSetLastError(0);

    AcceleratorBoard* running = slot->board.load();
    if (running == board)
        return HB_ERROR_SUCCESS; // already serving this very handle
    if (running != nullptr)
        return hb::kErrorBusy; // one service per slot: the running one stays

    slot->board.store(board);
    slot->exitReported.store(false);
    uint32_t result = HB_ERROR_SUCCESS;
    // A failing step ends the build-up at once; its code is the last error if
    // the step left one, else the step's own.
    auto fail = [&result](uint32_t code) {
        const uint32_t left = hbGetLastError();
        result = left != 0 ? left : code;
    };

    const HbHandle requestEvent = hb__EventCreate(0);
    if (requestEvent == nullptr) {
        fail(HB_ERROR_NOT_ENOUGH_MEMORY);
    } else {
        slot->requestEvent.store(requestEvent);
        uint32_t scratchSize = 0;
        hb_GetFileIoBuffer(board, &scratchSize);
        if (hb_DeviceIoAsyncEventRegister(board->deviceHandle, HB_EVENT_FILEIO_REQUEST,
                                          hb__EventOSHandle(requestEvent), 0, 0, 0, 0) == 0) {
            fail(HB_ERROR_INVALID_PARAMETER);
        } else {
            slot->openFiles = hb_listCreate();
            slot->openSearches = hb_listCreate();
            if (slot->openFiles == nullptr || slot->openSearches == nullptr) {
                hbSetLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
                fail(HB_ERROR_NOT_ENOUGH_MEMORY);
            } else {
                const HbHandle exitEvent = hb__EventCreate(0);
                if (exitEvent == nullptr) {
                    fail(HB_ERROR_NOT_ENOUGH_MEMORY);
                } else {
                    slot->exitEvent.store(exitEvent);
                    // Everything the thread uses exists before it starts.
                    ThreadRecord* thread = hb__ThreadCreate(hb::fileIoServiceLoop, board);
                    if (thread == nullptr)
                        fail(HB_ERROR_NOT_ENOUGH_MEMORY);
                    else
                        slot->serviceThread.store(thread);
                }
            }
        }
    }
    if (result == HB_ERROR_SUCCESS)
        result = hbGetLastError();
    if (result != HB_ERROR_SUCCESS)
        hb::releaseFileIoBoard(board);
    return result;
}

extern "C" int8_t hbFileIoWaitForVpExit(const AcceleratorBoard* board, double seconds) {
    if (board == nullptr || !(seconds >= 0.0))
        return -1;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return -1; // no slot to wait on; the last error stays the caller's
    // Without a running service there is nothing to wait for.
    const HbHandle exitEvent = slot->exitEvent.load();
    if (exitEvent != nullptr && exitEvent != hb::kNoEvent && slot->board.load() != nullptr)
        hb__EventLock(exitEvent, seconds);
    return slot->exitStatus.load();
}

extern "C" void hbFileIoShutdown(AcceleratorBoard* board) {
    if (board == nullptr)
        return;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    // Nothing to take down; the last error stays the caller's.
    if (slot == nullptr || slot->board.load() == nullptr)
        return;
    // Any handle of the board stops the service of its index.
    hb__EventSet(slot->exitEvent.load());
    hb::releaseFileIoBoard(board);
}
