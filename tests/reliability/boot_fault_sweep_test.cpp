// Every driver request that hbBootVp makes for the reference image, failed in
// turn: a failed monitor transfer ends the boot with 1460, the requests whose
// results the boot does not check (announcement, reset, bridge registers,
// event registration) leave it successful, the image file is always closed,
// and no descriptor or thread is left behind. And a monitor whose reply
// length overruns: the host reads nothing beyond the monitor data area.
#include "monitor_board_fixture.h"

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

using namespace hb::test;
namespace vboard = hb::vboard;

// Whether the process holds a descriptor on `path`.
bool holdsFile(const std::string& path) {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::any_of(begin(fds), end(fds), [&](const auto& fd) {
        std::error_code gone; // the iterator's own descriptor, closed by now
        return std::filesystem::read_symlink(fd.path(), gone) == path;
    });
}

using BootFaultSweep = MonitorBoardTest;

TEST_F(BootFaultSweep, AnyFailedDriverRequestEndsTheBootCleanlyWith1460OrSuccess) {
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
        const uint32_t error = failure(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT));
        EXPECT_EQ(vb->faultCounts().requestsHit, 1u);
        vb->setFaultPlan({});
        // What the boot checks: the monitor transfers' shared-memory traffic
        // after the announcement (request 2 is the announcement's write); the
        // results of the others it does not check.
        const bool checked = n > 2 && (failed.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE ||
                                       failed.controlCode == HB_IOCTL_SHARED_MEMORY_READ);
        EXPECT_EQ(error, checked ? HB_ERROR_TIMEOUT : 0u);
        EXPECT_FALSE(holdsFile(image)) << "the image file is closed";
        // A refused deregistration leaves the board holding its copy of the
        // event's descriptor until the connection ends; nothing else stays.
        const bool stillRegistered = vb->isEventRegistered(3);
        EXPECT_TRUE(!stillRegistered || failed.controlCode == HB_IOCTL_ASYNC_EVENT_DEREGISTER);
        EXPECT_EQ(countOpenDescriptors(), descriptors + (stillRegistered ? 1 : 0));
        EXPECT_EQ(threadCount(), threads);
    }
}

// The monitor's MessageLength claims 64 KiB more than its reply holds: a
// reply buffer larger than the monitor data area (0x400 bytes on this board,
// at 0) is filled from the area only. (Buffers smaller than the reply: the
// boot tests.)
TEST_F(BootFaultSweep, AnOverlongReplyLengthIsCutToTheMonitorDataArea) {
    open({.replyLengthExcess = 0x10000});
    const uint8_t getContext[4] = {4, 0, MON_GET_CONTEXT, 0}; // length 4, the opcode
    std::vector<uint8_t> reply(0x2000, 0xAA);
    ASSERT_EQ(hb_SendRawData(board, getContext, 4, reply.data(), 0x2000, nullptr, 5.0), 1);
    EXPECT_EQ(half(reply, 2), MON_GET_CONTEXT);
    EXPECT_EQ(word(reply, HB_VPCONTEXT_ENTRY_ADDRESS), vboard::descriptors::kMonitorEntry);
    EXPECT_EQ(std::count(reply.begin() + 0x400 - 8, reply.end(), 0xAA), 0x2000 - 0x400 + 8);
    for (const vboard::TraceEntry& entry : vb->trace())
        EXPECT_LE(entry.offset + entry.length, 0x400u) << entry.text();
}

} // namespace
