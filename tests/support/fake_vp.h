// The scripted VP on the in-process fake board: the fake's shared memory and
// events under the scripted VP, and where the fake's request log stood when
// the VP rang.
#pragma once

#include "driver_requests.h"
#include "support/fake_device.h"
#include "support/scripted_vp.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace hbtest {

class FakeVpBoard : public VpBoard {
  public:
    explicit FakeVpBoard(FakeBoard& board)
        : VpBoard(board.config().boardType, board.config().busWidth), fakeBoard_(board) {}
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override {
        fakeBoard_.writeShared(offset, data, length);
        return true;
    }
    void readShared(uint32_t offset, void* data, uint32_t length) const override {
        fakeBoard_.readShared(offset, data, length);
    }
    // The marker is the service's last write of the request: waits for it in
    // the fake's request log.
    bool ring(uint32_t offset, std::chrono::milliseconds timeout) override {
        requestsBefore_ = fakeBoard_.requestCount();
        return fakeBoard_.raiseEvent(HB_EVENT_FILEIO_REQUEST) &&
               fakeBoard_.waitForRequest(
                   requestsBefore_,
                   [offset](const FakeRequest& r) {
                       return r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE &&
                              r.argument == offset && r.length == 4 &&
                              r.value == ScriptedVp::kMarker;
                   },
                   timeout);
    }

  protected:
    FakeBoard& fakeBoard_;
    size_t requestsBefore_ = 0;
};

class FakeVp : private FakeVpBoard, public ScriptedVp {
  public:
    explicit FakeVp(FakeBoard& board)
        : FakeVpBoard(board), ScriptedVp(*this, false, std::chrono::seconds(20)) {}

    // Where the log stood before the last post's request.
    size_t requestsBefore() const { return requestsBefore_; }
};

} // namespace hbtest
