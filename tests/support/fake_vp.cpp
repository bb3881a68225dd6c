// The fake board's side of the scripted VP.
#include "support/fake_vp.h"

#include "hbsys9u.h"

namespace hbtest {

bool FakeVpBoard::writeShared(uint32_t offset, const void* data, uint32_t length) {
    fakeBoard_.writeShared(offset, data, length);
    return true;
}

void FakeVpBoard::readShared(uint32_t offset, void* data, uint32_t length) const {
    fakeBoard_.readShared(offset, data, length);
}

bool FakeVpBoard::ring(uint32_t offset, std::chrono::milliseconds timeout) {
    requestsBefore_ = fakeBoard_.requestCount();
    if (!fakeBoard_.raiseEvent(HB_EVENT_FILEIO_REQUEST)) {
        return false;
    }
    return fakeBoard_.waitForRequest(
        requestsBefore_,
        [offset](const FakeRequest& r) {
            return r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE && r.argument == offset &&
                   r.length == 4 && r.value == HB_FILEIO_COMPLETION_MARKER;
        },
        timeout);
}

} // namespace hbtest
