// The VP side of a virtual board on which booted images really run: the board
// monitor answers the host's boot, and its start command hands the image to
// the emulated processor. A VP reset stops the processor before the monitor
// takes the VP back; a fault stops it and is reported by the processor (fault
// record in the fail-message region, board event 7).
#pragma once

#include "vboard/board.h"
#include "vboard/monitor.h"
#include "vboard/vp_cpu.h"

#include <memory>
#include <mutex>
#include <string>

namespace hb::tools {

class RunningVp final : public vboard::VpSide {
  public:
    RunningVp(vboard::Board& board, const vboard::MonitorOptions& options);
    ~RunningVp() override;
    RunningVp(const RunningVp&) = delete;
    RunningVp& operator=(const RunningVp&) = delete;

    void onReset(vboard::Board& board) override;
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override;

    vboard::Monitor& monitor() { return *monitor_; }
    vboard::VpCpu& cpu() { return cpu_; }
    // Why the last start command could not start the processor ("" if it did).
    std::string startError() const;

  private:
    std::shared_ptr<vboard::Monitor> monitor_;
    vboard::VpCpu cpu_;
    mutable std::mutex lock_;
    std::string startError_;
};

// Attaches a RunningVp to `board` and returns it (the board holds it too).
std::shared_ptr<RunningVp> attachRunningVp(vboard::Board& board,
                                           const vboard::MonitorOptions& options = {});

} // namespace hb::tools
