// Internal operations of VP boot and download, reachable by the tests.
#pragma once

#include "hbsys9u.h"

#include <cstdint>

namespace hb {

// Strategies of the monitor transfer's wait (transferWaitMode).
enum TransferWaitMode : uint32_t {
    WAIT_EVENT = 0,          // wait on the driver's event 3
    WAIT_POLL = 1,           // poll MessageState, bounded by the timer
    WAIT_EVENT_FALLBACK = 2, // this transfer's event wait gave up: poll without waiting
    WAIT_POLL_TIMED_OUT = 3, // this polling transfer timed out
};

// Writes a request into the monitor data area and raises the handshake word,
// without waiting. 1 when all three writes succeeded, 0 at the first failure
// (last error as the driver request left it).
int postRawData(const AcceleratorBoard* board, const void* request, uint32_t requestSize);

// Bytes the monitor data area of this board may use, header words included.
uint32_t monitorDataRoom(const AcceleratorBoard* board);

// Downloads and starts a PE32 image; 1 when MON_START has been posted, 0 with
// the last error set (2 image unusable, 3 not found, 1460 monitor failure).
int loadVpImage(const AcceleratorBoard* board, const char* path, double timeout);

// The process-wide wait state, for tests.
uint32_t transferWaitModeForTest();
uint32_t noEventYetForTest();
// Back to the state of a freshly loaded library: event mode, no event seen.
void resetTransferWaitStateForTest();
// Sets both words, e.g. to start a test in polling mode.
void setTransferWaitStateForTest(uint32_t waitMode, uint32_t noEventYet);

} // namespace hb
