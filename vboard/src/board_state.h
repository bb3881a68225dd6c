// The state of one virtual board and the operations on it, from both sides:
// the Board interface for the VP side and tests, and the operations that the
// request handler performs for the host's requests.
//
// Every member is safe to call from any thread. No lock is held while a
// VpSide hook runs, so hooks may call back into the board.
#pragma once

#include "fault_injector.h"
#include "mapped_memory.h"
#include "vboard/board.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hb::vboard::detail {

using ConnectionId = uint64_t;

class BoardState final : public Board {
  public:
    BoardState(int index, const BoardConfig& config, std::string socketPath);
    ~BoardState() override;

    // ---- Board ---------------------------------------------------------
    int index() const override { return index_; }
    const BoardConfig& config() const override { return config_; }
    std::string socketPath() const override { return socketPath_; }

    uint32_t sharedMemorySize() const override { return memorySize_; }
    bool readShared(uint32_t offset, void* out, uint32_t length) const override;
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override;
    uint8_t* sharedMemoryData() override { return memory_; }
    uint32_t readSharedWord(uint32_t offset) const override;
    bool writeSharedWord(uint32_t offset, uint32_t value) override;
    bool waitForSharedWord(uint32_t offset, uint32_t value,
                           std::chrono::milliseconds timeout) const override;

    bool raiseEvent(uint32_t eventId) override;
    bool isEventRegistered(uint32_t eventId) const override;

    uint32_t registerValue(uint32_t offset) const override;
    uint32_t resetCount() const override;
    std::vector<uint32_t> signalsReceived() const override;

    size_t takeFromHost(void* out, size_t capacity) override;
    void sendToHost(const void* data, size_t length) override;

    std::vector<TraceEntry> trace() const override;
    void clearTrace() override;
    void setTraceListener(std::function<void(const TraceEntry&)> listener) override;

    void setVpSide(std::shared_ptr<VpSide> vp) override;

    void dropConnections() override;
    size_t connectionCount() const override;

    void setFaultPlan(const FaultPlan& plan) override;
    FaultCounts faultCounts() const override { return faults_.counts(); }
    void setTracing(bool on) override;
    void setWriteNotices(bool wanted) override;

    // ---- Host side, for the request handler ------------------------------
    static bool registerInRange(uint32_t offset);
    void writeRegister(uint32_t offset, uint32_t value);
    void resetVp();
    void receiveSignal(uint32_t code);
    // Takes ownership of `descriptor` (an eventfd) for `eventId`, replacing
    // and closing an earlier one. False (descriptor not taken) when the
    // board already holds kMaxRegistrations other ids.
    bool registerEvent(uint32_t eventId, int descriptor, ConnectionId owner);
    bool deregisterEvent(uint32_t eventId);
    // Closes the registrations that a connection made when it ends.
    void releaseConnection(ConnectionId owner);
    // False (nothing queued) when the queue would exceed kMaxQueuedBytes.
    bool queueFromHost(const uint8_t* data, size_t length);
    size_t takeForHost(uint8_t* out, size_t capacity);
    std::vector<uint8_t> hwInfo() const;
    std::shared_ptr<VpSide> vpSide() const;
    bool tracing() const { return tracing_.load(std::memory_order_relaxed); }
    void appendTrace(TraceEntry entry);
    FaultInjector& faults() { return faults_; }

    // ---- The mapping handed to hosts -------------------------------------
    // The memfd that holds the shared memory and the control page, or -1
    // when this board serves its memory through frames only.
    int sharedMemoryDescriptor() const { return offersMapping_ ? memoryFd_ : -1; }
    // A host wrote [offset, offset + length) on its mapping (and woke the
    // waiters of waitForSharedWord). False when the range lies outside.
    bool noteMappedWrite(uint32_t offset, uint32_t length);

    // ---- Connection bookkeeping, for the server --------------------------
    void setDropHandler(std::function<void()> handler);
    void setConnectionCount(size_t count);

    static constexpr size_t kMaxRegistrations = 64;
    static constexpr size_t kMaxQueuedBytes = 64u << 20;
    static constexpr size_t kMaxTraceEntries = 100000;
    static constexpr size_t kMaxTraceBytes = 64u << 20;

  private:
    struct Registration {
        int descriptor;
        ConnectionId owner;
    };

    const int index_;
    const BoardConfig config_;
    const std::string socketPath_;

    mutable std::mutex memoryMutex_;
    // A memfd (sealed against shrinking) mapped here: the shared memory, then
    // the control page that tells mapped hosts how to send their requests.
    uint32_t memorySize_ = 0;
    int memoryFd_ = -1;
    size_t mappedLength_ = 0;
    uint8_t* memory_ = nullptr;
    mutable wire::ControlPage control_; // waiters sleep here, writers wake them
    mutable wire::SpinBudget wordSpin_; // how long a waiter for a word looks first
    const bool offersMapping_;

    mutable std::mutex mutex_; // everything below
    std::vector<uint32_t> registers_;
    uint32_t resets_ = 0;
    std::vector<uint32_t> signals_;
    std::map<uint32_t, Registration> events_;
    std::deque<uint8_t> fromHost_;
    std::deque<uint8_t> toHost_;
    std::deque<TraceEntry> trace_;
    size_t traceBytes_ = 0;
    std::shared_ptr<const std::function<void(const TraceEntry&)>> traceListener_;
    std::shared_ptr<VpSide> vp_;
    std::function<void()> dropHandler_;
    size_t connections_ = 0;

    std::atomic<bool> tracing_{true};
    std::atomic<bool> notices_{true};
    // Last: its thread fires late events through this board, so it ends first.
    FaultInjector faults_{[this](uint32_t eventId) { signalEvent(eventId); }};

    bool signalEvent(uint32_t eventId);
    // Asks mapped hosts to send shared-memory requests as frames while a
    // trace or a fault plan wants to see them.
    void updateRoute();
    bool planWatchesShortcuts_ = false; // under mutex_
};

} // namespace hb::vboard::detail
