// The glue between the board monitor and the emulated processor.
#include "vboard/emulated_vp.h"

#include <algorithm>
#include <thread>

#include <cstdio>
#include <cstring>

namespace hb::vboard {

const char* toString(EmulatedVpState state) {
    switch (state) {
    case EmulatedVpState::InMonitor:
        return "in monitor";
    case EmulatedVpState::Running:
        return "running";
    case EmulatedVpState::Halted:
        return "halted";
    case EmulatedVpState::Faulted:
        return "faulted";
    case EmulatedVpState::Detached:
        return "detached";
    }
    return "unknown";
}

EmulatedVp::EmulatedVp(Board& board, EmulatedVpOptions options)
    : board_(board), monitor_(options.monitor), cpu_(board) {
    monitor_.setStartHandler([this](Board& b, const StartedImage&) { startProgram(b); });
}

EmulatedVp::~EmulatedVp() {
    shutdown();
}

void EmulatedVp::shutdown() {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard lock(mutex_);
        detached_ = true;
    }
    cpu_.stop();
    monitor_.stop();
}

void EmulatedVp::onDetach(Board&) {
    shutdown();
}

void EmulatedVp::onReset(Board& board) {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard lock(mutex_);
        if (detached_) {
            return;
        }
    }
    // The program stops before the monitor clears the memory it runs in.
    cpu_.stop();
    board.setWriteNotices(true); // the monitor reacts to the host's writes
    monitor_.onReset(board);
    std::lock_guard lock(mutex_);
    programPhase_ = false;
    startFault_.reset();
}

void EmulatedVp::onSharedMemoryWrite(Board& board, uint32_t offset, uint32_t length) {
    {
        std::lock_guard lock(mutex_);
        if (detached_) {
            return;
        }
    }
    // MON_START comes back through the start handler: startProgram.
    monitor_.onSharedMemoryWrite(board, offset, length);
}

void EmulatedVp::startProgram(Board& board) {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard lock(mutex_);
        if (detached_) {
            return;
        }
    }
    // A fault record of an earlier program must not pass for this one's.
    const HbVpBoardInfo info = makeBoardInfo(board.config(), board.index(),
                                             board.sharedMemorySize(), monitor_.memorySize());
    if (info.failMessageSize >= sizeof(HbVpFaultRecord)) {
        const HbVpFaultRecord none{};
        board.writeShared(info.failMessageOffset, &none, sizeof none);
    }
    std::string error;
    if (!cpu_.start(monitor_.vpStart(), &error)) {
        failStart(board, error);
    }
    // The program only waits for words; the monitor takes no requests now.
    board.setWriteNotices(false);
    std::lock_guard lock(mutex_);
    programPhase_ = true;
    ++programsStarted_;
}

// The processor refused the start (the monitor's memory does not suit it):
// reported like a fault, so that the host does not wait for a program that
// never runs.
void EmulatedVp::failStart(Board& board, const std::string& why) {
    VpFault fault;
    fault.kind = HBVP_FAULT_EMULATOR;
    fault.eip = monitor_.vpStart().registers.eip;
    fault.address = fault.eip;
    fault.text = "the processor cannot start the program: " + why;
    const HbVpBoardInfo info = makeBoardInfo(board.config(), board.index(),
                                             board.sharedMemorySize(), monitor_.memorySize());
    if (info.failMessageSize >= sizeof(HbVpFaultRecord)) {
        HbVpFaultRecord record{};
        record.magic = HBVP_FAULT_MAGIC;
        record.kind = fault.kind;
        record.eip = fault.eip;
        record.address = fault.address;
        std::snprintf(record.text, sizeof record.text, "%s", fault.text.c_str());
        board.writeShared(info.failMessageOffset, &record, sizeof record);
    }
    {
        std::lock_guard lock(mutex_);
        startFault_ = std::move(fault);
    }
    board.raiseEvent(HB_EVENT_VP_FAULT);
}

EmulatedVpStatus EmulatedVp::statusLocked() const {
    EmulatedVpStatus status;
    status.programsStarted = programsStarted_;
    if (detached_) {
        status.state = EmulatedVpState::Detached;
        return status;
    }
    if (!programPhase_) {
        return status; // InMonitor
    }
    if (startFault_) {
        status.state = EmulatedVpState::Faulted;
        status.fault = startFault_;
        return status;
    }
    switch (cpu_.state()) {
    case VpRunState::Running:
        status.state = EmulatedVpState::Running;
        break;
    case VpRunState::Halted:
        status.state = EmulatedVpState::Halted;
        status.exitValue = cpu_.haltValue();
        break;
    case VpRunState::Faulted:
        status.state = EmulatedVpState::Faulted;
        status.fault = cpu_.fault();
        break;
    case VpRunState::Idle:
    case VpRunState::Stopped:
        break; // a reset is taking the VP back to the monitor
    }
    return status;
}

EmulatedVpStatus EmulatedVp::status() const {
    std::lock_guard lock(mutex_);
    return statusLocked();
}

EmulatedVpStatus EmulatedVp::waitUntilEnded(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A boot's last command (MON_START) may still be on its way to the
    // monitor: the program it starts has not ended yet.
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (detached_ || programPhase_ || startFault_) {
                break;
            }
        }
        // Waiting: a request the monitor has yet to take, or MON_START taken
        // and the processor not yet started.
        const bool starting = monitor_.requestWaiting(board_) || !monitor_.inMonitor();
        if (!starting || std::chrono::steady_clock::now() >= deadline) {
            return status();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard lock(mutex_);
        if (detached_ || !programPhase_ || startFault_) {
            return statusLocked();
        }
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    cpu_.waitUntilEnded(std::max(std::chrono::duration_cast<std::chrono::milliseconds>(left),
                                 std::chrono::milliseconds(0)));
    return status();
}

std::shared_ptr<EmulatedVp> attachEmulatedVp(Board& board, EmulatedVpOptions options) {
    auto vp = std::make_shared<EmulatedVp>(board, std::move(options));
    board.setVpSide(vp);
    return vp;
}

} // namespace hb::vboard
