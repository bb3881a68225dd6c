// The virtual board: a user-space device that the library reaches exactly as
// it reaches the board's kernel driver, over a Unix-domain socket per board.
//
// A Device serves boards; each Board has shared memory, bridge registers, the
// VP reset and signals, board-event registration, two byte queues for the
// application's VP reads and writes, hardware information and a request trace.
// The program on the VP (the resident monitor, an emulated CPU, a test's
// request agent) plugs in as a VpSide and works on the board from the VP side.
#pragma once

#include "vboard/faults.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hb::vboard {

// Bytes of the bridge register space: 32-bit registers at offsets that are
// multiples of 4 below this.
inline constexpr uint32_t kRegisterSpaceSize = 0x200;

// Shared memory that holds the whole layout of a board type and bus width:
// 4 KiB (type 27, width 1), 16 KiB (type 27, width 2 or 3), 256 KiB otherwise.
uint32_t defaultSharedMemorySize(uint32_t boardType, uint32_t busWidth);

// The hardware-information record a board answers with (68 bytes): word 0 the
// board type, 1 the serial number, 2 the revision, 3 the shared-memory size,
// 4 the register-space size, 5 and 6 the bridge's PCI vendor and device ids,
// 11 the bus width; the other words are 0.
inline constexpr uint32_t kHwInfoSize = 68;

// How a board's shared memory reaches the hosts that open it: mapped into
// their driver channel (a sealed memfd handed over when they connect, so that
// shared-memory requests are a memory copy), or every request a frame on the
// socket. Default: mapped, unless the environment variable
// HB_VBOARD_TRANSPORT is "socket". Hosts that do not take the mapping are
// served through the socket either way.
enum class MemoryTransport { Default, Mapped, Socket };

struct BoardConfig {
    uint32_t boardType = 22; // HwInfo board type code: 22 gives bus type 2, width 4
    uint32_t busWidth = 4;   // HwInfo bus width code (read by the library for type 27)
    uint32_t serialNumber = 0x48420001;
    uint32_t revision = 1;
    uint32_t sharedMemorySize = 0; // 0: sized to hold the layout of the board type
    MemoryTransport transport = MemoryTransport::Default;
};

// The name a request is traced under: "ResetVp", "PlxRegisterRead",
// "PlxRegisterWrite", "SharedMemoryRead", "SharedMemoryWrite",
// "AsyncEventRegister", "AsyncEventDeregister", "VpRead", "VpWrite",
// "SignalVp", "GetHwInfo", or "Unknown".
std::string requestName(uint32_t controlCode);

// One request the board received, decoded.
//   offset: register offset, shared-memory offset or event id
//   length: bytes of a shared-memory or VP transfer (for a VP read, the bytes
//           delivered)
//   value:  register value (written or read), signal code, the first data
//           word of a shared-memory write or read (as little-endian word,
//           when the transfer has 4 bytes or more), the flag of an event
//           registration
// The trace keeps the latest 100000 requests (and at most 64 MiB of their
// buffers); older entries are dropped.
struct TraceEntry {
    uint32_t controlCode = 0;
    std::string name;           // e.g. "SharedMemoryWrite"
    uint32_t offset = 0;        // register offset, shared-memory offset or event id
    uint32_t length = 0;        // data length of a transfer
    uint32_t value = 0;         // register value, signal code, first data word
    std::vector<uint8_t> input; // the request's input buffer as received
    std::vector<uint8_t> data;  // data carried to the device (writes)
    uint32_t status = 0;        // Win32 status the device answered
    std::string text() const;   // one readable line, like a bus analyser
    // When the board took the request (the trace's timelines).
    std::chrono::steady_clock::time_point received{};
};

class Board;

// The program on the VP. Hooks run on the device's thread right after the
// host's request took effect and before its reply goes out; they must not
// block for long.
class VpSide {
  public:
    virtual ~VpSide() = default;
    virtual void onReset(Board&) {}
    virtual void onSharedMemoryWrite(Board&, uint32_t /*offset*/, uint32_t /*length*/) {}
    virtual void onRegisterWrite(Board&, uint32_t /*offset*/, uint32_t /*value*/) {}
    virtual void onSignal(Board&, uint32_t /*code*/) {}
    // The shared memory whose writes onSharedMemoryWrite wants to hear of (a
    // mapped host sends no notice of others): all of it unless told.
    struct WriteRange {
        uint32_t offset = 0;
        uint32_t length = 0xFFFFFFFF;
    };
    virtual WriteRange writesOfInterest() const { return {}; }
    // The board no longer serves this side: another side replaced it, or the
    // device stopped serving. No hook runs after this; the side must stop
    // using the board (its threads included) before returning, since the
    // board may go away next. Runs on the thread that replaced the side or
    // stopped the device, never on the device's thread.
    virtual void onDetach(Board&) {}
};

class Board {
  public:
    virtual ~Board() = default;

    virtual int index() const = 0;
    virtual const BoardConfig& config() const = 0;
    virtual std::string socketPath() const = 0;

    // Shared memory, from the VP side. Out-of-range accesses are refused
    // (false) and change nothing.
    virtual uint32_t sharedMemorySize() const = 0;
    virtual bool readShared(uint32_t offset, void* out, uint32_t length) const = 0;
    virtual bool writeShared(uint32_t offset, const void* data, uint32_t length) = 0;
    // The shared memory itself, sharedMemorySize() bytes valid as long as the
    // board, for the VP's processor to map as the dual-ported memory it is:
    // accesses through it take no lock of the board and wake no
    // waitForSharedWord (the protocols hand over by doorbells and events).
    // Null when the board offers no direct access.
    virtual uint8_t* sharedMemoryData() { return nullptr; }
    virtual uint32_t readSharedWord(uint32_t offset) const = 0;
    virtual bool writeSharedWord(uint32_t offset, uint32_t value) = 0;
    // Waits until the word at `offset` equals `value` (host writes wake it).
    virtual bool waitForSharedWord(uint32_t offset, uint32_t value,
                                   std::chrono::milliseconds timeout) const = 0;

    // Raises a board event: signals the host event registered for it. False
    // when no event is registered for that id.
    virtual bool raiseEvent(uint32_t eventId) = 0;
    virtual bool isEventRegistered(uint32_t eventId) const = 0;

    virtual uint32_t registerValue(uint32_t offset) const = 0;
    virtual uint32_t resetCount() const = 0;
    virtual std::vector<uint32_t> signalsReceived() const = 0;

    // The application's bulk transfers: what the host writes with a VP write
    // request the VP side takes here, and what the VP side sends the host
    // reads with a VP read request.
    virtual size_t takeFromHost(void* out, size_t capacity) = 0;
    virtual void sendToHost(const void* data, size_t length) = 0;

    virtual std::vector<TraceEntry> trace() const = 0;
    virtual void clearTrace() = 0;
    // Called with each request as it is traced, on the device's thread,
    // like a bus analyser; an empty function stops it. (Not pure: test
    // doubles need not trace live.)
    virtual void setTraceListener(std::function<void(const TraceEntry&)> /*listener*/) {}

    // Plugs in the program on the VP; the side it replaces is detached.
    virtual void setVpSide(std::shared_ptr<VpSide> vp) = 0;
    // Whether the VP side needs onSharedMemoryWrite for the writes of hosts
    // that have the shared memory mapped (each costs the host a notice and
    // the device a wake-up). On whenever a side is plugged in; a side that
    // only waits for words (waitForSharedWord wakes without it) may turn it
    // off. Writes that arrive as requests always reach the hook.
    virtual void setWriteNotices(bool /*wanted*/) {}

    // (Not pure: boards that are not served over a socket, such as test
    // doubles, need not implement these two.)
    // Closes every host connection of this board at once, as if the device
    // had gone away; the request in progress (when called from a VpSide hook)
    // gets no reply. New connections are still accepted.
    virtual void dropConnections() {}
    virtual size_t connectionCount() const { return 0; }

    // Fault injection (vboard/faults.h): the plan replaces any earlier one and
    // counts from now; an empty plan turns injection off. Boards that are not
    // served over a socket ignore request faults.
    virtual void setFaultPlan(const FaultPlan& /*plan*/) {}
    virtual FaultCounts faultCounts() const { return {}; }
    // The trace costs memory and time on long runs; it is on unless turned off.
    virtual void setTracing(bool /*on*/) {}
};

// Called at the start of every thread the device starts, on that thread
// (tests that watch the process's allocations leave these threads out).
void setDeviceThreadHook(void (*hook)());

// Serves boards at basePath + decimal (index + 1), as the library names them.
class Device {
  public:
    static std::unique_ptr<Device> create(std::string basePath);
    virtual ~Device() = default; // stops serving and removes the sockets

    // Starts serving a board at its socket path (a stale socket left there by
    // an ended device is replaced). Throws std::invalid_argument for an index
    // below 0 or already served, or a path too long for a socket, and
    // std::system_error when the socket cannot be served.
    virtual Board& addBoard(int index, const BoardConfig& config) = 0;
    virtual Board* board(int index) = 0;
    virtual const std::string& basePath() const = 0;
    // Stops serving: open connections are closed, later requests fail, and
    // each board's VP side is detached (once).
    virtual void stop() = 0;
};

} // namespace hb::vboard
