// A board whose VP really runs the downloaded image: the board monitor serves
// the boot, and MON_START hands the image to the emulated processor.
//
//   auto device = hb::vboard::Device::create(basePath);
//   hb::vboard::Board& board = device->addBoard(0, {});
//   auto vp = hb::vboard::attachEmulatedVp(board);
//   ... the host boots and serves the board through the library ...
//   EmulatedVpStatus s = vp->waitUntilEnded(std::chrono::seconds(10));
//   // s.state: Halted (s.exitValue), Faulted (s.fault), Running (time-out) ...
//
// A VP reset (the driver request) stops the program, wherever it is, before
// the monitor clears VP memory; the monitor then serves the next boot. When
// the device stops serving (or the side is replaced) the processor is
// stopped before the board can go away, so the device, the board and the
// EmulatedVp may be released in any order. A program that faults stops; the
// board gets an HbVpFaultRecord in its fail-message region and event 7.
#pragma once

#include "vboard/board.h"
#include "vboard/monitor.h"
#include "vboard/vp_cpu.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace hb::vboard {

struct EmulatedVpOptions {
    MonitorOptions monitor; // VP memory size and the monitor's test knobs
};

enum class EmulatedVpState {
    InMonitor, // after power-up or a reset: the monitor serves the host
    Running,   // a program runs (or waits for the host in a doorbell)
    Halted,    // the program ended; exitValue is what it sent the halt port
    Faulted,   // the program stopped on a fault, see fault
    Detached,  // the board no longer serves this VP; nothing runs
};

const char* toString(EmulatedVpState state);

struct EmulatedVpStatus {
    EmulatedVpState state = EmulatedVpState::InMonitor;
    uint32_t exitValue = 0;       // Halted: the value sent to the halt port
    std::optional<VpFault> fault; // Faulted: kind, eip, address and a readable line
    uint32_t programsStarted = 0; // MON_START count since the EmulatedVp was made
};

class EmulatedVp final : public VpSide {
  public:
    EmulatedVp(Board& board, EmulatedVpOptions options = {});
    ~EmulatedVp() override;
    EmulatedVp(const EmulatedVp&) = delete;
    EmulatedVp& operator=(const EmulatedVp&) = delete;

    // The state of the VP now.
    EmulatedVpStatus status() const;

    // Waits until no program runs (it halted or faulted, was reset, or the
    // board detached) or the time-out passes, and gives the status then:
    // still Running after a time-out.
    EmulatedVpStatus waitUntilEnded(std::chrono::milliseconds timeout) const;

    // Stops the program and the monitor and lets the board go; hooks that
    // still arrive are ignored. Idempotent; the destructor and the board's
    // detachment call it.
    void shutdown();

    // The debugger of the programs started from now on; null for none. Each
    // program then stops before its first instruction until the debugger
    // lets it go on.
    void setDebugger(std::shared_ptr<VpDebugger> debugger) {
        cpu_.setDebugger(std::move(debugger));
    }

    // The monitor, for tests that look at the boot.
    Monitor& monitor() { return monitor_; }

    // VpSide; run on the device's thread (onDetach on the detaching thread).
    void onReset(Board& board) override;
    void onSharedMemoryWrite(Board& board, uint32_t offset, uint32_t length) override;
    WriteRange writesOfInterest() const override { return monitor_.writesOfInterest(); }
    void onDetach(Board& board) override;

  private:
    void startProgram(Board& board);
    void failStart(Board& board, const std::string& why);
    EmulatedVpStatus statusLocked() const;

    Board& board_;
    Monitor monitor_; // owns VP memory: declared before the processor that uses it
    VpCpu cpu_;

    // Held while the processor is started or stopped (which joins its
    // thread); the processor's thread never takes it.
    std::mutex lifecycle_;
    // Guards the fields below; a leaf lock.
    mutable std::mutex mutex_;
    bool programPhase_ = false; // MON_START left the monitor, no reset since
    bool detached_ = false;
    uint32_t programsStarted_ = 0;
    std::optional<VpFault> startFault_; // the processor refused the start
};

// Makes `board` a board with an emulated VP: plugs a new EmulatedVp in as
// its VP side and returns it.
std::shared_ptr<EmulatedVp> attachEmulatedVp(Board& board, EmulatedVpOptions options = {});

} // namespace hb::vboard
