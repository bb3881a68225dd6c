// Every driver request that the file-I/O service makes while it handles one
// VP request of each kind, failed in turn: the VP still gets the completion
// marker unless the failed request was the marker itself, the service goes
// on serving, no host descriptor or search is left behind, and the host's
// files hold either their old content or the content the request was meant
// to give them. And board events that come doubled, late or not at all.
#include "request_sweep.h"

#include <string>

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

TEST_F(FileIoFaultSweep, EveryDriverRequestOfEveryKindOfRequest) {
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
