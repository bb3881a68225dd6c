// One request/reply exchange with the board monitor through the monitor data
// area: post the request, wait for MessageState 1, copy the reply.
//
// The wait uses the driver's board event 3 while the driver delivers it, and
// falls back, for the whole process, to polling MessageState when the first
// event never comes.
#include "boot/boot_internal.h"
#include "little_endian.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace hb {

namespace {

constexpr double kEventWait = 0.5;  // one pass of the event wait, seconds
constexpr double kBreakLimit = 0.5; // a transfer after a debugger break, seconds

// Process-wide wait state shared by every board. Atomic words only so that
// overlapping transfers stay well defined; no lock orders transfers.
std::atomic<uint32_t> transferWaitMode{WAIT_EVENT};
std::atomic<uint32_t> noEventYet{1};

bool readWord(HbHandle device, uint32_t offset, uint32_t* value) {
    uint8_t bytes[4] = {};
    if (!hb_DeviceIoSharedMemoryRead(device, offset, bytes, sizeof bytes)) {
        return false;
    }
    *value = hb::getLe32(bytes);
    return true;
}

bool writeWord(HbHandle device, uint32_t offset, uint32_t value) {
    uint8_t bytes[4];
    hb::putLe32(bytes, value);
    return hb_DeviceIoSharedMemoryWrite(device, offset, bytes, sizeof bytes) != 0;
}

// Reads and clears the break request flag that another thread may set.
bool takeBreakRequest(volatile int32_t* breakRequest) {
    if (breakRequest == nullptr) {
        return false;
    }
    std::atomic_ref<int32_t> flag(*const_cast<int32_t*>(breakRequest));
    return flag.exchange(0) != 0;
}

} // namespace

uint32_t monitorDataRoom(const AcceleratorBoard* board) {
    // Bus type 1 with width 2 or 3 leaves the area 0x1000 bytes; every other
    // layout 0x400 (the smallest, also assumed for a board without layout).
    if (hbBusType(board) == HB_BUS_TYPE_1) {
        const int32_t width = hbBusWidth(board);
        if (width == 2 || width == 3) {
            return 0x1000;
        }
    }
    return 0x400;
}

int postRawData(const AcceleratorBoard* board, const void* request, uint32_t requestSize) {
    const uint32_t area = hb_GetMonitorData(board, nullptr);
    HbHandle device = board->deviceHandle;
    // Body and length first: the monitor acts as soon as it sees state 2.
    if (!hb_DeviceIoSharedMemoryWrite(device, area + HB_MONITOR_MESSAGE_BODY, request,
                                      requestSize)) {
        return 0;
    }
    if (!writeWord(device, area + HB_MONITOR_MESSAGE_LENGTH, requestSize)) {
        return 0;
    }
    if (!writeWord(device, area + HB_MONITOR_MESSAGE_STATE, MSG_REQUEST_POSTED)) {
        return 0;
    }
    return 1;
}

uint32_t transferWaitModeForTest() {
    return transferWaitMode.load();
}
uint32_t noEventYetForTest() {
    return noEventYet.load();
}
void resetTransferWaitStateForTest() {
    setTransferWaitStateForTest(WAIT_EVENT, 1);
}
void setTransferWaitStateForTest(uint32_t waitMode, uint32_t eventNotSeen) {
    transferWaitMode.store(waitMode);
    noEventYet.store(eventNotSeen);
}

namespace {

// One transfer's wait for the monitor's reply. The strategy the transfer sets
// up decides its clean-up, whatever an overlapping transfer does to the shared
// mode meanwhile. The timer bounds polling, and, when the caller gave a finite
// limit of 0 or more, the event and fallback waits too; those waits go on to
// the monitor's reply under a negative one.
struct ReplyWait {
    HbHandle device = nullptr;
    double timeout = 0;
    volatile int32_t* breakRequest = nullptr;
    bool usesEvent = false;
    bool limited = false;
    double pollLimit = 0;
    bool fellBack = false;
    bool timedOut = false;
    HbHandle event = nullptr;
    TimerRecord* timer = nullptr;
};

// NaN would never end a polling wait. A negative time-out is taken: polling
// gives up on the first pass without a reply.
bool argumentsAcceptable(const AcceleratorBoard* board, const void* request, uint32_t requestSize,
                         const void* reply, uint32_t replyCapacity, double timeout) {
    return board != nullptr && (request != nullptr || requestSize == 0) &&
           (reply != nullptr || replyCapacity == 0) && !std::isnan(timeout);
}

ReplyWait beginWait(HbHandle device, double timeout, volatile int32_t* breakRequest) {
    ReplyWait w;
    w.device = device;
    w.timeout = timeout;
    w.breakRequest = breakRequest;
    w.usesEvent = transferWaitMode.load() == WAIT_EVENT;
    w.timer = hb__TimerCreate();
    hb__TimerStart(w.timer);
    w.limited = timeout >= 0 && timeout != HB_INFINITE_TIMEOUT;
    w.pollLimit = timeout;
    if (w.usesEvent) {
        w.event = hb__EventCreate(0);
        // Registered before the request goes out, so an immediate reply is seen.
        hb_DeviceIoAsyncEventRegister(device, HB_EVENT_MONITOR_REPLY, w.event, 0, 0, 0, 1);
    }
    return w;
}

// One pass of the event wait; the first pass without any event so far falls
// back to polling for the whole process. False when the wait itself failed.
bool waitForEvent(ReplyWait& w) {
    const uint32_t waited = hb__EventLock(w.event, kEventWait);
    if (waited == 0) {
        noEventYet.store(0);
        hb__EventReset(w.event);
    } else if (waited == HB_ERROR_SEM_TIMEOUT) {
        if (noEventYet.load() != 0) {
            w.fellBack = true;
            transferWaitMode.store(WAIT_EVENT_FALLBACK);
        }
    } else {
        return false;
    }
    return true;
}

// The reply's body into the caller's buffer. A reply longer than the buffer is
// cut to its size; a length beyond the area is the monitor's error, and the
// bytes past the area belong to the next region.
bool copyReply(HbHandle device, uint32_t area, void* reply, uint32_t replyCapacity,
               uint32_t bodyRoom) {
    uint32_t length = 0;
    if (!readWord(device, area + HB_MONITOR_MESSAGE_LENGTH, &length)) {
        return false;
    }
    const uint32_t copied = std::min({length, replyCapacity, bodyRoom});
    return hb_DeviceIoSharedMemoryRead(device, area + HB_MONITOR_MESSAGE_BODY, reply, copied) != 0;
}

// Whether the wait may go on: polling gives up past its limit, marking the
// process's mode; the event waits past a finite time-out.
bool timeLeft(ReplyWait& w) {
    if (!w.usesEvent) {
        if (hb__TimerRead(w.timer) > w.pollLimit) {
            w.timedOut = true;
            transferWaitMode.store(WAIT_POLL_TIMED_OUT);
            return false;
        }
        hb__Yield();
        return true;
    }
    return !(w.limited && hb__TimerRead(w.timer) > w.timeout);
}

// A debugger break the caller asked for goes to the board; a polling wait
// without a limit then ends after a short while.
void passOnBreakRequest(ReplyWait& w) {
    if (takeBreakRequest(w.breakRequest)) {
        hb_DeviceIoDebuggerBreak(w.device);
        if (w.pollLimit == HB_INFINITE_TIMEOUT) {
            w.pollLimit = kBreakLimit;
        }
    }
}

// Waits until the monitor has set MessageState 1 and copies the reply.
int32_t awaitReply(ReplyWait& w, const AcceleratorBoard* board, void* reply, uint32_t replyCapacity,
                   uint32_t bodyRoom) {
    for (;;) {
        const uint32_t area = hb_GetMonitorData(board, nullptr);
        uint32_t state = 0;
        if ((w.usesEvent && !w.fellBack && !waitForEvent(w)) ||
            !readWord(w.device, area + HB_MONITOR_MESSAGE_STATE, &state)) {
            hbSetLastError(HB_ERROR_TIMEOUT);
            return 0;
        }
        if (state == MSG_REPLY_READY) {
            if (!copyReply(w.device, area, reply, replyCapacity, bodyRoom)) {
                hbSetLastError(HB_ERROR_TIMEOUT);
                return 0;
            }
            return 1;
        }
        if (!timeLeft(w)) {
            hbSetLastError(HB_ERROR_TIMEOUT);
            return 0;
        }
        passOnBreakRequest(w);
    }
}

// Clean-up failures are not reported: the transfer's own code stays.
void endWait(ReplyWait& w) {
    const uint32_t lastError = hbGetLastError();
    if (w.usesEvent) {
        hb_DeviceIoAsyncEventDeregister(w.device, HB_EVENT_MONITOR_REPLY);
        hb__EventDestroy(w.event);
        if (w.fellBack) {
            transferWaitMode.store(WAIT_POLL);
        }
    } else if (w.timedOut) {
        transferWaitMode.store(WAIT_EVENT);
    }
    hb__TimerDestroy(w.timer);
    hbSetLastError(lastError);
}

} // namespace

} // namespace hb

using namespace hb;

extern "C" int32_t hb_SendRawData(const AcceleratorBoard* board, const void* request,
                                  uint32_t requestSize, void* reply, uint32_t replyCapacity,
                                  volatile int32_t* breakRequest, double timeout) {
    if (!argumentsAcceptable(board, request, requestSize, reply, replyCapacity, timeout)) {
        hbSetLastError(HB_ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A request the area cannot hold would run into the next region.
    const uint32_t bodyRoom = monitorDataRoom(board) - HB_MONITOR_MESSAGE_BODY;
    if (requestSize > bodyRoom) {
        hbSetLastError(HB_ERROR_INVALID_PARAMETER);
        return 0;
    }
    ReplyWait wait = beginWait(board->deviceHandle, timeout, breakRequest);
    int32_t result = 0;
    if (!postRawData(board, request, requestSize)) {
        hbSetLastError(HB_ERROR_TIMEOUT);
    } else {
        result = awaitReply(wait, board, reply, replyCapacity, bodyRoom);
    }
    endWait(wait);
    return result;
}
