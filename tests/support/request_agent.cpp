// The virtual board's side of the scripted VP.
#include "support/request_agent.h"

#include "driver_requests.h"
#include "file_io_block.h"

namespace hbtest {

bool BoardVpSide::writeShared(uint32_t offset, const void* data, uint32_t length) {
    return virtualBoard_.writeShared(offset, data, length);
}

void BoardVpSide::readShared(uint32_t offset, void* data, uint32_t length) const {
    virtualBoard_.readShared(offset, data, length);
}

bool BoardVpSide::ring(uint32_t offset, std::chrono::milliseconds timeout) {
    return virtualBoard_.raiseEvent(HB_EVENT_FILEIO_REQUEST) &&
           virtualBoard_.waitForSharedWord(offset, HB_FILEIO_COMPLETION_MARKER, timeout);
}

} // namespace hbtest
