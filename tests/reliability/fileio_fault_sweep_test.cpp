// The virtual board's fault plan, seen through the library: every driver
// request that the file-I/O service makes while it handles one VP request of
// each kind, failed in turn (the VP still gets the completion marker unless
// the failed request was the marker itself, the service goes on serving, no
// host descriptor or search is left behind, the host's files hold either
// their old content or the content the request was meant to give them);
// board events that come doubled, late or not at all; and each kind of
// request fault, which hits the requests it names with the error the channel
// promises.
#include "request_sweep.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using hb::vboard::parseFaultPlan;
using hbtest::RequestAgent;

class FileIoFaultSweep : public hbtest::RequestSweep {
  protected:
    // Posts `kind` under `plan` with short waits (a marker that cannot be
    // written does not come); the driver requests the board received
    // meanwhile, and whether the marker came.
    uint64_t runOnce(const Kind& kind, const std::string& plan, bool* answered) {
        prepare();
        RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(400));
        virtualBoard().setFaultPlan(parseFaultPlan(plan));
        kind.post(quick);
        *answered = quick.answered();
        const uint64_t seen = virtualBoard().faultCounts().requestsSeen;
        virtualBoard().setFaultPlan({});
        tidy(*answered);
        return seen;
    }
};

TEST_F(FileIoFaultSweep, AnyFailedDriverRequestLeavesTheFilesWholeAndTheServiceServing) {
    const int descriptors = hb::test::countOpenDescriptors();
    for (const Kind& kind : kinds()) {
        bool answered = false;
        const uint64_t requests = runOnce(kind, "fail:any#1000000", &answered);
        ASSERT_TRUE(answered) << kind.name;
        ASSERT_GE(requests, 2u) << kind.name << ": at least the copy and the marker";
        for (uint64_t n = 1; n <= requests; ++n) {
            SCOPED_TRACE(std::string(kind.name) + ": driver request " + std::to_string(n) + " of " +
                         std::to_string(requests) + " fails");
            runOnce(kind, "fail:any#" + std::to_string(n), &answered);
            EXPECT_EQ(answered, n < requests) << "only a failed marker leaves the VP waiting";
            expectIntact(kind, descriptors);
        }
    }
}

// A doubled or late event wakes the service when there is no request, or
// while the VP is posting the next one: no request may be lost or answered
// without being carried out.
TEST_F(FileIoFaultSweep, DoubledAndLateEventsLoseNoRequest) {
    RequestAgent& vp = agent();
    const int32_t fd = vp.open(files_ / "log", HB_O_RDWR | HB_O_CREAT).value;
    ASSERT_GE(fd, 0);
    virtualBoard().setFaultPlan(parseFaultPlan("event-dup:6*0=1,event-delay:6#5*0=2"));
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string record = "record " + std::to_string(i) + ";";
        const auto written = vp.write(fd, record);
        ASSERT_TRUE(vp.answered()) << i;
        ASSERT_EQ(written.value, static_cast<int32_t>(record.size())) << i;
        expected += record;
    }
    virtualBoard().setFaultPlan({});
    EXPECT_EQ(vp.close(fd), 0);
    EXPECT_EQ(files_.read("log"), expected);
}

TEST_F(FileIoFaultSweep, ALostEventLeavesTheRequestForTheNextOne) {
    virtualBoard().setFaultPlan(parseFaultPlan("event-drop:6"));
    RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(300));
    quick.environmentSize();
    EXPECT_FALSE(quick.answered()) << "nobody was woken";
    ASSERT_TRUE(virtualBoard().raiseEvent(6));
    EXPECT_TRUE(virtualBoard().waitForSharedWord(quick.layout().offset, RequestAgent::kMarker,
                                                 std::chrono::seconds(20)));
    EXPECT_GT(quick.word(4), 2u);
}

} // namespace

namespace hb::test {
namespace {

using FaultInjection = VirtualBoardTest;

TEST_F(FaultInjection, EachRequestFaultHitsItsRequestsWithItsErrorAndEffect) {
    constexpr uint32_t kBroken = HB_ERROR_DEVICE_NOT_CONNECTED;
    const struct {
        const char* plan;
        std::vector<int32_t> results; // of five writes of a word each
        uint32_t error;               // after the first failure
        bool carriedOut;              // a failed write took effect all the same
    } cases[] = {
        {"fail:SharedMemoryWrite#2=1117", {1, 0, 1, 1, 1}, 1117, false},    // the second only
        {"fail:any#2*2", {1, 0, 0, 1, 1}, 31, false},                       // two, from the second
        {"corrupt:SharedMemoryWrite#2", {1, 0, 1, 1, 1}, 0xFFFFFFFF, true}, // the status word
        {"corrupt:SharedMemoryWrite#2=1", {1, 0, 0, 0, 0}, kBroken, true},  // another request's
        {"close-mid:SharedMemoryWrite#2", {1, 0, 0, 0, 0}, kBroken, true},
        {"delay:SharedMemoryWrite#2=50", {1, 1, 1, 1, 1}, 0, false},
    };
    device_->addBoard(0, {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plan);
        ASSERT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        const int descriptors = countOpenDescriptors();
        AcceleratorBoard* b = open(0);
        board(0).setFaultPlan(vboard::parseFaultPlan(c.plan));
        uint32_t error = 0;
        const auto began = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < 5; ++i) {
            const uint32_t value = 0xC0DE0000 + i;
            ASSERT_TRUE(board(0).writeSharedWord(0x100 + 4 * i, 0));
            const int32_t result =
                hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x100 + 4 * i, &value, 4);
            EXPECT_EQ(result, c.results[i]) << "write " << i;
            error = error != 0 || result != 0 ? error : hbGetLastError();
            const bool took = result != 0 || (c.carriedOut && i == 1);
            EXPECT_EQ(board(0).readSharedWord(0x100 + 4 * i), took ? value : 0) << "write " << i;
        }
        EXPECT_EQ(error, c.error);
        if (std::string_view(c.plan).starts_with("delay")) { // not before its time
            EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(50));
        }
        EXPECT_EQ(board(0).faultCounts().requestsSeen, c.error == kBroken ? 2u : 5u);
        board(0).setFaultPlan({});
        close(b);
        EXPECT_TRUE(eventually([&] { return countOpenDescriptors() == descriptors; }))
            << "both ends of the connection are released";
    }
    for (const char* bad : {"fail:NoSuchRequest", "corrupt:any=9"})
        EXPECT_THROW(vboard::parseFaultPlan(bad), std::invalid_argument) << bad;
}

TEST_F(FaultInjection, ALateEventForAWithdrawnRegistrationGoesNowhere) {
    AcceleratorBoard* b = open(0);
    HbHandle event = hb__EventCreate(0);
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(b->deviceHandle, 9, event, 0, 0, 0, 0), 1);
    board(0).setFaultPlan(vboard::parseFaultPlan("event-delay:9=100"));
    EXPECT_TRUE(board(0).raiseEvent(9)) << "the VP cannot tell";
    ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(b->deviceHandle, 9), 1);
    EXPECT_EQ(hb__EventLock(event, 0.4), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(board(0).faultCounts().eventsHit, 1u);
    hb__EventDestroy(event);
}

} // namespace
} // namespace hb::test
