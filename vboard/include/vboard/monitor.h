// The board monitor: the resident program the VP runs after the board comes up
// and after every VP reset. It serves the monitor data area of shared memory:
// when the host sets MessageState to 2 it takes the request, carries out the
// command, answers with MessageLength, MessageBody and MessageState 1, and
// raises board event 3. MON_START makes the VP leave the monitor for the image.
//
// The monitor owns the VP's memory, register context, monitor variables and
// descriptor table. Tests read all of them, and the trace of commands served,
// through the accessors below.
#pragma once

#include "monitor_data.h"
#include "vboard/board.h"
#include "vboard/vp_cpu.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace hb::vboard {

struct MonitorOptions {
    uint32_t memorySize = 16u * 1024u * 1024u; // bytes of VP memory
    bool raiseEvent3 = true;                   // false: answer without raising event 3
    std::chrono::milliseconds replyDelay{0};   // answer this long after the request
    bool neverAnswer = false;                  // take requests, never answer them
    uint32_t areaOffset = 0;                   // monitor data area in shared memory
    uint32_t areaRoom = 0; // bytes the area may use; 0: what the board's layout gives it
    uint32_t contextReplyLength = 376; // MON_GET_CONTEXT answers with this many bytes (4 .. 376)
    // Every reply's MessageLength claims this many bytes more than the reply
    // holds (saturating): a length beyond the caller's buffer or the area.
    uint32_t replyLengthExcess = 0;
};

// Reply opcode of a refused command; the reply is 8 bytes: header, the
// request's opcode (u16), the reason (u16).
inline constexpr uint16_t kMonitorErrorOpcode = 0xFFFF;

enum class MonitorError : uint16_t {
    None = 0,
    UnknownOpcode = 1,
    BadLength = 2,     // MessageLength, header length and fields disagree
    OutsideMemory = 3, // a memory write would leave VP memory
    BadSelector = 4,   // no such descriptor
    BadVariable = 5,   // variable index or size out of range
};

// One command the monitor took from the monitor data area.
struct MonitorCommand {
    uint32_t messageLength = 0; // MessageLength as the host wrote it
    uint16_t length = 0;        // header length (0 when the message was too short)
    uint16_t opcode = 0;
    std::vector<uint8_t> body; // the request as read (at most the area's room)
    MonitorError error = MonitorError::None;
    bool answered = false; // a reply was (or is to be) published
};

// The context layout, as offsets into the 376-byte VpContext message (the
// 4-byte header is followed by 372 bytes of context).
namespace context {
inline constexpr uint32_t kMessageSize = HB_VPCONTEXT_SIZE;
inline constexpr uint32_t kSize = HB_VPCONTEXT_SIZE - HB_MON_HEADER_SIZE;
inline constexpr uint32_t kEax = 12, kEbx = 16, kEcx = 20, kEdx = 24, kEsi = 28, kEdi = 32,
                          kEbp = 36;
inline constexpr uint32_t kEsp = HB_VPCONTEXT_STACK_POINTER;
inline constexpr uint32_t kCs = HB_VPCONTEXT_CODE_SELECTOR, kDs = HB_VPCONTEXT_DATA_SELECTOR,
                          kEs = 48, kSs = 50, kFs = HB_VPCONTEXT_STARTUP_SELECTOR, kGs = 54;
inline constexpr uint32_t kEip = HB_VPCONTEXT_ENTRY_ADDRESS;
inline constexpr uint32_t kEflags = HB_VPCONTEXT_FLAGS;
inline constexpr uint32_t kFpuControl = 64; // u16, x87 control word
} // namespace context

// What the VP was started with: the context in force at MON_START.
struct StartedImage {
    std::array<uint8_t, context::kSize> context{}; // message offsets 4..375
    uint32_t entryAddress = 0;
    uint32_t stackPointer = 0;
    uint32_t flags = 0;
    uint16_t codeSelector = 0;
    uint16_t dataSelector = 0;
};

// Flat 4 GiB code and data segments and a small start-up segment, in the
// x86 descriptor format; the table lies in VP memory at kGdtAddress, so an
// emulated CPU can load it with GDTR = {kGdtAddress, kGdtLimit}.
namespace descriptors {
inline constexpr uint32_t kGdtAddress = 0x00000800;
inline constexpr uint16_t kGdtEntries = 6; // null, 2 unused, 0x18, 0x20, 0x28
inline constexpr uint16_t kGdtLimit = kGdtEntries * 8 - 1;
inline constexpr uint32_t kStartupBase = 0x00001000;
inline constexpr uint32_t kStartupLimit = 0x00000FFF;
inline constexpr uint32_t kMonitorStackTop = 0x00008000; // the monitor's own stack
inline constexpr uint32_t kMonitorEntry = 0x00002000;    // where the monitor runs

uint64_t encode(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags);
uint32_t base(uint64_t descriptor);
uint32_t limitBytes(uint64_t descriptor); // the limit in bytes, granularity applied
} // namespace descriptors

class Monitor : public VpSide {
  public:
    explicit Monitor(MonitorOptions options = {});
    ~Monitor() override;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // VpSide
    void onReset(Board& board) override;
    void onSharedMemoryWrite(Board& board, uint32_t offset, uint32_t length) override;
    // Only a write of the handshake word posts a request.
    WriteRange writesOfInterest() const override;

    // Test options; they take effect from the next request.
    void setRaiseEvent3(bool raise);
    void setReplyDelay(std::chrono::milliseconds delay);
    void setNeverAnswer(bool never);

    // Called (on the device thread) when MON_START leaves the monitor; a
    // CPU emulation plugs in here to run the image.
    void setStartHandler(std::function<void(Board&, const StartedImage&)> handler);

    // What the emulated processor needs to run the image MON_START started:
    // VP memory (owned by this monitor, valid for its lifetime), the segments
    // of the descriptor table and the registers of the context in force.
    VpStart vpStart();

    // Drops a delayed reply still waiting and stops the reply worker; call
    // before the board goes away if replies may still be pending.
    void stop();

    // ---- State, for tests --------------------------------------------------
    uint32_t memorySize() const;
    std::vector<uint8_t> readMemory(uint32_t address, uint32_t length) const; // empty if outside
    std::array<uint8_t, context::kSize> context() const;
    uint32_t contextWord(uint32_t messageOffset) const; // u32 at a VpContext offset
    uint16_t contextHalf(uint32_t messageOffset) const; // u16 at a VpContext offset
    std::optional<uint32_t> variable(uint32_t index) const;
    uint64_t descriptor(uint16_t selector) const; // 0 for unknown selectors
    std::vector<MonitorCommand> commands() const;
    void clearCommands();
    std::optional<StartedImage> startedImage() const;
    bool inMonitor() const; // false once MON_START has left it, until a reset
    // A request stands posted in the area that the monitor has not taken yet
    // (a host with mapped memory posts without waiting for the monitor).
    bool requestWaiting(const Board& board) const;
    uint32_t resets() const;

    static constexpr uint32_t kVariableCount = 16;

  private:
    struct Reply {
        std::vector<uint8_t> body;
        std::chrono::steady_clock::time_point due;
        uint64_t serial = 0;
    };

    void resetLocked();
    void writeDescriptorTableLocked();
    uint32_t areaRoom(const Board& board) const;
    std::vector<uint8_t> execute(MonitorCommand& command, Board& board, bool& leaveMonitor);
    // One function per command, each under the lock; a refusal is an error reply.
    std::vector<uint8_t> contextReply(MonitorCommand& command) const;
    std::vector<uint8_t> takeContext(MonitorCommand& command);
    std::vector<uint8_t> writeImageBytes(MonitorCommand& command);
    std::vector<uint8_t> descriptorReply(MonitorCommand& command, const Board& board) const;
    std::vector<uint8_t> startImage(MonitorCommand& command, bool& leaveMonitor);
    std::vector<uint8_t> prepareForImage(MonitorCommand& command);
    std::vector<uint8_t> setVariable(MonitorCommand& command);
    std::vector<uint8_t> errorReply(MonitorCommand& command, MonitorError error) const;
    void publish(Board& board, const std::vector<uint8_t>& reply, bool raiseEvent);
    void workerLoop();

    MonitorOptions options_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> memory_;
    std::array<uint8_t, context::kSize> context_{};
    std::array<uint32_t, kVariableCount> variables_{};
    std::array<uint64_t, descriptors::kGdtEntries> gdt_{};
    std::vector<MonitorCommand> commands_;
    std::optional<StartedImage> started_;
    bool inMonitor_ = true;
    uint32_t resets_ = 0;
    std::function<void(Board&, const StartedImage&)> startHandler_;

    // Delayed replies: one at most, published by the worker.
    std::condition_variable workerWake_;
    std::optional<Reply> pending_;
    Board* pendingBoard_ = nullptr;
    bool pendingRaise_ = false;
    uint64_t serial_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace hb::vboard
