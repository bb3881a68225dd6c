// Every driver request that the file-I/O service makes while it handles one
// VP request of each kind, failed in turn: the VP still gets the completion
// marker unless the failed request was the marker itself, the service goes
// on serving, no host descriptor or search is left behind, and the host's
// files hold either their old content or the content the request was meant
// to give them. And board events that come doubled, late or not at all.
#include "service_fixture.h"
#include "virtual_board_fixture.h"

#include <functional>
#include <string>

namespace {

using hb::vboard::parseFaultPlan;
using hbtest::RequestAgent;

const std::string kOriginal = "0123456789abcdefghij";

class FileIoFaultSweep : public hbtest::ServiceFixture {
  protected:
    // One kind of request, posted by `vp` on a fresh file "data" that `fd_`
    // holds open; `held_` takes a descriptor the request opens.
    struct Kind {
        const char* name;
        std::function<void(RequestAgent& vp)> post;
        std::string changed = ""; // what "data" may hold besides its old content
    };

    // Posts `kind` under `plan`; the driver requests the board received
    // meanwhile, and whether the marker came.
    uint64_t runOnce(const Kind& kind, const std::string& plan, bool* answered) {
        files_.write("data", kOriginal);
        files_.write("other", "x");
        RequestAgent& vp = agent();
        fd_ = vp.open(files_ / "data", HB_O_RDWR).value;
        held_ = -1;
        // Short waits: a marker that cannot be written does not come.
        RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(400));
        virtualBoard().setFaultPlan(parseFaultPlan(plan));
        kind.post(quick);
        *answered = quick.answered();
        const uint64_t seen = virtualBoard().faultCounts().requestsSeen;
        virtualBoard().setFaultPlan({});
        // Tidy up what the VP knows of; closing what the request already
        // closed fails harmlessly.
        vp.close(fd_);
        if (*answered && held_ >= 0) {
            vp.close(held_);
        }
        const auto search = vp.findFirst(files_ / "*");
        if (search.handleOrError != 0xFFFFFFFFu) {
            vp.findClose(search.handleOrError);
        }
        vp.rename(files_ / "moved", files_ / "other");
        return seen;
    }

    void sweep(const Kind& kind) {
        const int descriptorsBefore = hb::test::countOpenDescriptors();
        bool answered = false;
        const uint64_t requests = runOnce(kind, "fail:any#1000000", &answered);
        ASSERT_TRUE(answered) << kind.name;
        ASSERT_GE(requests, 2u) << kind.name << ": at least the copy and the marker";
        for (uint64_t n = 1; n <= requests; ++n) {
            SCOPED_TRACE(std::string(kind.name) + ": driver request " + std::to_string(n) + " of " +
                         std::to_string(requests) + " fails");
            runOnce(kind, "fail:any#" + std::to_string(n), &answered);
            EXPECT_EQ(answered, n < requests) << "only a failed marker leaves the VP waiting";
            const std::string content = files_.read("data");
            EXPECT_TRUE(content == kOriginal || (!kind.changed.empty() && content == kind.changed))
                << "data now holds '" << content << "'";
            EXPECT_EQ(agent().attributes(files_ / "data").error, 0u) << "the service goes on";
            EXPECT_TRUE(agent().answered());
            EXPECT_EQ(hb::test::countOpenDescriptors(), descriptorsBefore);
        }
    }

    int32_t fd_ = -1, held_ = -1;
};

TEST_F(FileIoFaultSweep, EveryDriverRequestOfEveryKindOfRequest) {
    const auto& f = files_;
    const Kind kinds[] = {
        {"Open", [&](RequestAgent& vp) { held_ = vp.open(f / "other", HB_O_RDONLY).value; }},
        {"Open2", [&](RequestAgent& vp) { held_ = vp.open2(f / "other", HB_O_RDONLY).value; }},
        {"Read", [&](RequestAgent& vp) { vp.read(fd_, 8); }},
        {"Write", [&](RequestAgent& vp) { vp.write(fd_, "WRITTEN"); }, "WRITTEN789abcdefghij"},
        {"Close", [&](RequestAgent& vp) { vp.close(fd_); }},
        {"Seek", [&](RequestAgent& vp) { vp.seek(fd_, 5, 0); }},
        {"Delete", [&](RequestAgent& vp) { vp.remove(f / "nothing-here"); }},
        {"CommandLine", [&](RequestAgent& vp) { vp.commandLine(); }},
        {"Exit", [&](RequestAgent& vp) { vp.exit(7); }},
        {"FindFirst", [&](RequestAgent& vp) { vp.findFirst(f / "*"); }},
        // Whatever the first answers, the next and the close follow.
        {"FindNext and FindClose",
         [&](RequestAgent& vp) {
             const uint32_t search = vp.findFirst(f / "*").handleOrError;
             vp.findNext(search);
             vp.findClose(search);
         }},
        {"Attributes", [&](RequestAgent& vp) { vp.attributes(f / "data"); }},
        {"Rename", [&](RequestAgent& vp) { vp.rename(f / "other", f / "moved"); }},
        {"EnvironmentSize", [&](RequestAgent& vp) { vp.environmentSize(); }},
        {"Environment", [&](RequestAgent& vp) { vp.environment(64); }},
        {"UseCustomerMemory", [&](RequestAgent& vp) { vp.useCustomerMemory(0); }},
        {"Unknown",
         [&](RequestAgent& vp) {
             uint8_t block[HB_FILEIO_BLOCK_SIZE] = {14};
             vp.post(block, sizeof block);
         }},
    };
    for (const Kind& kind : kinds) {
        sweep(kind);
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
