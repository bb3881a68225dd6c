// Every driver request that hbBootVp makes for the reference image, failed in
// turn: a failed monitor transfer ends the boot with 1460, the requests whose
// results the boot does not check (announcement, reset, bridge registers,
// event registration) leave it successful, the image file is always closed,
// and no descriptor or thread is left behind. Then the monitor's own faults:
// a late answer, no answer, a short context reply.
#include "monitor_board_fixture.h"
#include "virtual_board_fixture.h"

#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {

using namespace hb::test;
namespace vboard = hb::vboard;

int threadCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
    return count;
}

// Whether the process holds a descriptor on `path`.
bool holdsFile(const std::string& path) {
    DIR* dir = ::opendir("/proc/self/fd");
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        char target[4096] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        found = found || (n > 0 && path == target);
    }
    ::closedir(dir);
    return found;
}

class BootFaultSweep : public MonitorBoardTest {
  protected:
    void SetUp() override {
        MonitorBoardTest::SetUp();
        writeImage(referenceImage());
        hbBusType(board); // the bus caches fill once per process, outside the sweep
        hbBusWidth(board);
        open(vboard::MonitorOptions{});
        writeImage(referenceImage());
    }
};

TEST_F(BootFaultSweep, EveryDriverRequestOfABootFailedInTurn) {
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);
    const std::vector<vboard::TraceEntry> baseline = vb->trace();
    ASSERT_GT(baseline.size(), 20u);
    int unchecked = 0, transfers = 0;
    for (size_t n = 1; n <= baseline.size(); ++n) {
        const vboard::TraceEntry& failed = baseline[n - 1];
        SCOPED_TRACE("request " + std::to_string(n) + " of " + std::to_string(baseline.size()) +
                     ": " + failed.text());
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
        const bool transfer = n > 2 && (failed.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE ||
                                        failed.controlCode == HB_IOCTL_SHARED_MEMORY_READ);
        if (transfer) {
            ++transfers;
            EXPECT_EQ(result, 0);
            EXPECT_EQ(error, HB_ERROR_TIMEOUT);
        } else {
            ++unchecked;
            EXPECT_EQ(result, 1) << "a request whose result the boot does not check";
        }
        EXPECT_FALSE(holdsFile(std::filesystem::canonical(imagePath).string()))
            << "the image file is closed";
        // A refused deregistration leaves the board holding its copy of the
        // event's descriptor until the connection ends; nothing else stays.
        const bool stillRegistered = vb->isEventRegistered(3);
        if (stillRegistered) {
            EXPECT_EQ(failed.controlCode, HB_IOCTL_ASYNC_EVENT_DEREGISTER);
        }
        EXPECT_EQ(countOpenDescriptors(), descriptors + (stillRegistered ? 1 : 0));
        EXPECT_EQ(threadCount(), threads);
    }
    std::printf("boot sweep: %zu requests, %d in monitor transfers, %d unchecked\n",
                baseline.size(), transfers, unchecked);
}

TEST_F(BootFaultSweep, ALateMonitorIsWaitedForAndASilentOneTimesOutWhilePolling) {
    vboard::MonitorOptions late;
    late.replyDelay = std::chrono::milliseconds(20);
    open(late);
    writeImage(referenceImage());
    EXPECT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);

    // Polling mode (no event 3), a monitor that never answers: the time-out ends it.
    vboard::MonitorOptions silent;
    silent.neverAnswer = true;
    silent.raiseEvent3 = false;
    open(silent);
    writeImage(referenceImage());
    EXPECT_EQ(hbBootVp(board, imagePath.c_str(), 0.2), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_FALSE(holdsFile(std::filesystem::canonical(imagePath).string()));
}

TEST_F(BootFaultSweep, AShortContextReplyStillBoots) {
    vboard::MonitorOptions shortContext;
    shortContext.contextReplyLength = 4;
    open(shortContext);
    writeImage(referenceImage());
    EXPECT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1)
        << "the loader uses its own 376-byte buffer whatever the reply's length";
}

// A monitor whose MessageLength claims more than its reply holds: beyond the
// caller's buffer, and beyond the monitor data area (0x400 bytes on this
// board). The host copies at most the capacity, never reads past the area,
// and a whole boot still succeeds.
TEST_F(BootFaultSweep, OverlongReplyLengthsAreCutToTheBufferAndTheArea) {
    constexpr uint32_t kArea = 0x400;
    vboard::MonitorOptions overlong;
    overlong.replyLengthExcess = 0x10000;
    open(overlong);
    const uint32_t area = hb_GetMonitorData(board, nullptr);
    const uint8_t getContext[4] = {4, 0, MON_GET_CONTEXT, 0}; // length 4, the opcode
    const auto readsStayInTheArea = [&] {
        for (const vboard::TraceEntry& entry : vb->trace()) {
            if (entry.controlCode == HB_IOCTL_SHARED_MEMORY_READ) {
                EXPECT_GE(entry.offset, area) << entry.text();
                EXPECT_LE(uint64_t{entry.offset} + entry.length, uint64_t{area} + kArea)
                    << entry.text();
            }
        }
    };

    // A buffer larger than the area: filled up to the area's end only.
    std::vector<uint8_t> reply(0x2000, 0xAA);
    ASSERT_EQ(hb_SendRawData(board, getContext, 4, reply.data(), 0x2000, nullptr, 5.0), 1);
    EXPECT_EQ(half(reply, 0), HB_VPCONTEXT_SIZE);
    EXPECT_EQ(half(reply, 2), MON_GET_CONTEXT);
    for (size_t i = kArea - 8; i < reply.size(); ++i) {
        ASSERT_EQ(reply[i], 0xAA) << "byte " << i << " lies beyond the area";
    }
    readsStayInTheArea();

    // A buffer smaller than the reply: filled up to its capacity only.
    vb->clearTrace();
    std::fill(reply.begin(), reply.end(), 0xAA);
    ASSERT_EQ(hb_SendRawData(board, getContext, 4, reply.data(), 10, nullptr, 5.0), 1);
    EXPECT_EQ(half(reply, 2), MON_GET_CONTEXT);
    for (size_t i = 10; i < reply.size(); ++i) {
        ASSERT_EQ(reply[i], 0xAA) << "byte " << i << " lies beyond the capacity";
    }
    readsStayInTheArea();

    // Every reply of a boot overlong: the loader's small reply buffers hold.
    vb->clearTrace();
    writeImage(referenceImage());
    EXPECT_EQ(hbBootVp(board, imagePath.c_str(), 5.0), 1);
    readsStayInTheArea();
}

} // namespace
