// Every driver request that hbBootVp makes for the reference image, failed in
// turn: a failed monitor transfer ends the boot with 1460, the requests whose
// results the boot does not check (announcement, reset, bridge registers,
// event registration) leave it successful, the image file is always closed,
// and no descriptor or thread is left behind. And a monitor whose reply
// lengths overrun: the host reads nothing beyond its buffer or the area.
#include "monitor_board_fixture.h"
#include "virtual_board_fixture.h"

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

using namespace hb::test;
namespace vboard = hb::vboard;

// Whether the process holds a descriptor on `path`.
bool holdsFile(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone; // the iterator's own descriptor, closed by now
        if (std::filesystem::read_symlink(entry.path(), gone) == path) {
            return true;
        }
    }
    return false;
}

using BootFaultSweep = MonitorBoardTest;

TEST_F(BootFaultSweep, EveryDriverRequestOfABootFailedInTurn) {
    hbBusType(board); // the bus caches fill once per process, outside the sweep
    hbBusWidth(board);
    open(vboard::MonitorOptions{});
    writeImage(referenceImage());
    const std::string image = std::filesystem::canonical(imagePath).string();
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);
    const std::vector<vboard::TraceEntry> baseline = vb->trace();
    ASSERT_GT(baseline.size(), 20u);
    for (size_t n = 1; n <= baseline.size(); ++n) {
        const vboard::TraceEntry& failed = baseline[n - 1];
        SCOPED_TRACE("request " + std::to_string(n) + ": " + failed.text());
        open(vboard::MonitorOptions{});
        writeImage(referenceImage());
        const int descriptors = countOpenDescriptors();
        const int threads = threadCount();
        vb->setFaultPlan(vboard::parseFaultPlan("fail:any#" + std::to_string(n)));
        hbSetLastError(0);
        const int32_t result = hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT);
        const uint32_t error = hbGetLastError();
        EXPECT_EQ(vb->faultCounts().requestsHit, 1u);
        vb->setFaultPlan({});
        // What the boot checks: the monitor transfers' shared-memory traffic
        // after the announcement (request 2 is the announcement's write).
        if (n > 2 && (failed.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE ||
                      failed.controlCode == HB_IOCTL_SHARED_MEMORY_READ)) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(error, HB_ERROR_TIMEOUT);
        } else {
            EXPECT_EQ(result, 1) << "a request whose result the boot does not check";
        }
        EXPECT_FALSE(holdsFile(image)) << "the image file is closed";
        // A refused deregistration leaves the board holding its copy of the
        // event's descriptor until the connection ends; nothing else stays.
        const bool stillRegistered = vb->isEventRegistered(3);
        if (stillRegistered) {
            EXPECT_EQ(failed.controlCode, HB_IOCTL_ASYNC_EVENT_DEREGISTER);
        }
        EXPECT_EQ(countOpenDescriptors(), descriptors + (stillRegistered ? 1 : 0));
        EXPECT_EQ(threadCount(), threads);
    }
}

// The monitor's MessageLength claims 64 KiB more than its reply holds; the
// monitor data area of this board is 0x400 bytes.
TEST_F(BootFaultSweep, OverlongReplyLengthsAreCutToTheBufferAndTheArea) {
    vboard::MonitorOptions overlong;
    overlong.replyLengthExcess = 0x10000;
    open(overlong);
    const uint32_t area = hb_GetMonitorData(board, nullptr);
    const uint8_t getContext[4] = {4, 0, MON_GET_CONTEXT, 0}; // length 4, the opcode
    const auto readsStayInTheArea = [&] {
        for (const vboard::TraceEntry& entry : vb->trace()) {
            if (entry.controlCode == HB_IOCTL_SHARED_MEMORY_READ) {
                EXPECT_LE(uint64_t{entry.offset} + entry.length, uint64_t{area} + 0x400)
                    << entry.text();
            }
        }
        vb->clearTrace();
    };
    for (const uint32_t capacity : {0x2000u, 10u}) {
        SCOPED_TRACE(capacity);
        std::vector<uint8_t> reply(0x2000, 0xAA);
        ASSERT_EQ(hb_SendRawData(board, getContext, 4, reply.data(), capacity, nullptr, 5.0), 1);
        EXPECT_EQ(half(reply, 2), MON_GET_CONTEXT);
        const size_t filled = std::min<size_t>(capacity, 0x400 - 8);
        EXPECT_EQ(static_cast<size_t>(std::count(reply.begin() + filled, reply.end(), 0xAA)),
                  0x2000 - filled);
        readsStayInTheArea();
    }
    // Every reply of a boot overlong: the loader's small reply buffers hold.
    writeImage(referenceImage());
    EXPECT_EQ(hbBootVp(board, imagePath.c_str(), 5.0), 1);
    readsStayInTheArea();
}

} // namespace
