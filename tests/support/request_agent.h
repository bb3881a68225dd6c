// The scripted VP on the virtual board, in process: the board's shared memory
// and events under the scripted VP, for tests, benchmarks and fuzz targets.
#pragma once

#include "driver_requests.h"
#include "support/scripted_vp.h"
#include "vboard/board.h"

#include <chrono>
#include <cstdint>

namespace hbtest {

class BoardVpSide : public VpBoard {
  public:
    explicit BoardVpSide(hb::vboard::Board& board)
        : VpBoard(board.config().boardType, board.config().busWidth), virtualBoard_(board) {}
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override {
        return virtualBoard_.writeShared(offset, data, length);
    }
    void readShared(uint32_t offset, void* data, uint32_t length) const override {
        virtualBoard_.readShared(offset, data, length);
    }
    bool ring(uint32_t offset, std::chrono::milliseconds timeout) override {
        return virtualBoard_.raiseEvent(HB_EVENT_FILEIO_REQUEST) &&
               virtualBoard_.waitForSharedWord(offset, ScriptedVp::kMarker, timeout);
    }

  private:
    hb::vboard::Board& virtualBoard_;
};

class RequestAgent : private BoardVpSide, public ScriptedVp {
  public:
    explicit RequestAgent(hb::vboard::Board& board, bool useCustomerMemory = false,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20))
        : BoardVpSide(board), ScriptedVp(*this, useCustomerMemory, timeout) {}
};

// Where the board's file-I/O buffer lies for the switch setting.
inline FileIoLayout fileIoLayout(const hb::vboard::BoardConfig& config, bool useCustomerMemory) {
    return fileIoLayout(config.boardType, config.busWidth, useCustomerMemory);
}

} // namespace hbtest
