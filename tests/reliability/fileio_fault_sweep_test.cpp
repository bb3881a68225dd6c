// Every driver request that the file-I/O service makes while it handles one
// VP request, failed in turn: the VP still gets the completion marker unless
// the failed request was the marker itself, the service goes on serving, no
// host descriptor or search is left behind, and the host's files hold either
// their old content or the content the request was meant to give them.
#include "service_fixture.h"
#include "virtual_board_fixture.h"

#include <functional>
#include <string>

namespace {

using hb::vboard::parseFaultPlan;
using hbtest::RequestAgent;
using hbtest::ServiceFixture;

const std::string kOriginal = "0123456789abcdefghij";

// One kind of request: what to prepare without faults, the request itself,
// and the content "data" may have afterwards besides the original one.
struct Kind {
    const char* name;
    // Returns a descriptor that the VP now holds, or -1.
    std::function<int32_t(RequestAgent&, const hbtest::ScratchDirectory&, int32_t fd)> post;
    std::string changed; // empty: the request must not change "data"
};

class FileIoFaultSweep : public ServiceFixture {
  protected:
    // Runs `kind` once on a fresh file; returns the number of driver
    // requests that the board received while the request was handled.
    uint64_t runOnce(const Kind& kind, const std::string& plan, bool* answered) {
        files_.write("data", kOriginal);
        files_.write("other", "x");
        RequestAgent& vp = agent();
        const int32_t fd = vp.open(files_ / "data", HB_O_RDWR).value;
        EXPECT_GE(fd, 0);
        // Short waits: a marker that cannot be written does not come.
        RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(400));
        virtualBoard().setFaultPlan(parseFaultPlan(plan));
        const int32_t held = kind.post(quick, files_, fd);
        *answered = quick.answered();
        const uint64_t seen = virtualBoard().faultCounts().requestsSeen;
        virtualBoard().setFaultPlan({});
        // Tidy up what the VP knows of; a close of a descriptor that the
        // request already closed fails harmlessly.
        vp.close(fd);
        if (*answered && held >= 0)
            vp.close(held);
        const auto search = vp.findFirst(files_ / "*");
        if (search.handleOrError != 0xFFFFFFFFu)
            vp.findClose(search.handleOrError);
        vp.rename(files_ / "moved", files_ / "other");
        return seen;
    }

    void sweep(const Kind& kind) {
        const int descriptorsBefore = hb::test::countOpenDescriptors();
        bool answered = false;
        // A fault that never comes, so that the board counts the requests.
        const uint64_t requests = runOnce(kind, "fail:any#1000000", &answered);
        ASSERT_TRUE(answered) << kind.name;
        ASSERT_GE(requests, 2u) << kind.name << ": at least the copy and the marker";
        for (uint64_t n = 1; n <= requests; ++n) {
            SCOPED_TRACE(std::string(kind.name) + ": driver request " + std::to_string(n) + " of " +
                         std::to_string(requests) + " fails");
            runOnce(kind, "fail:any#" + std::to_string(n), &answered);
            if (n < requests)
                EXPECT_TRUE(answered) << "the marker was written";
            else
                EXPECT_FALSE(answered) << "the failed request was the marker";
            const std::string content = files_.read("data");
            EXPECT_TRUE(content == kOriginal || (!kind.changed.empty() && content == kind.changed))
                << "data now holds '" << content << "'";
            // The service serves the next request.
            const auto attributes = agent().attributes(files_ / "data");
            EXPECT_TRUE(agent().answered());
            EXPECT_EQ(attributes.error, 0u);
            EXPECT_EQ(hb::test::countOpenDescriptors(), descriptorsBefore)
                << "nothing left open on the host";
        }
    }
};

TEST_F(FileIoFaultSweep, EveryDriverRequestOfEveryKindOfRequest) {
    const std::vector<Kind> kinds = {
        {"Open",
         [](RequestAgent& vp, auto& f, int32_t) { return vp.open(f / "other", HB_O_RDONLY).value; },
         ""},
        {"Open2",
         [](RequestAgent& vp, auto& f, int32_t) {
             return vp.open2(f / "other", HB_O_RDONLY).value;
         },
         ""},
        {"Read",
         [](RequestAgent& vp, auto&, int32_t fd) {
             vp.read(fd, 8);
             return -1;
         },
         ""},
        {"Write",
         [](RequestAgent& vp, auto&, int32_t fd) {
             vp.write(fd, "WRITTEN");
             return -1;
         },
         "WRITTEN789abcdefghij"},
        {"Close",
         [](RequestAgent& vp, auto&, int32_t fd) {
             vp.close(fd);
             return -1;
         },
         ""},
        {"Seek",
         [](RequestAgent& vp, auto&, int32_t fd) {
             vp.seek(fd, 5, 0);
             return -1;
         },
         ""},
        {"Delete",
         [](RequestAgent& vp, auto& f, int32_t) {
             vp.remove(f / "nothing-here");
             return -1;
         },
         ""},
        {"CommandLine",
         [](RequestAgent& vp, auto&, int32_t) {
             vp.commandLine();
             return -1;
         },
         ""},
        {"Exit",
         [](RequestAgent& vp, auto&, int32_t) {
             vp.exit(7);
             return -1;
         },
         ""},
        {"FindFirst",
         [](RequestAgent& vp, auto& f, int32_t) {
             vp.findFirst(f / "*");
             return -1;
         },
         ""},
        {"FindNext",
         [](RequestAgent& vp, auto& f, int32_t) {
             // The search is opened by a request that the fault may hit
             // first; whatever it answers, FindNext and FindClose follow.
             const auto first = vp.findFirst(f / "*");
             vp.findNext(first.handleOrError);
             vp.findClose(first.handleOrError);
             return -1;
         },
         ""},
        {"Attributes",
         [](RequestAgent& vp, auto& f, int32_t) {
             vp.attributes(f / "data");
             return -1;
         },
         ""},
        {"Rename",
         [](RequestAgent& vp, auto& f, int32_t) {
             vp.rename(f / "other", f / "moved");
             return -1;
         },
         ""},
        {"EnvironmentSize",
         [](RequestAgent& vp, auto&, int32_t) {
             vp.environmentSize();
             return -1;
         },
         ""},
        {"Environment",
         [](RequestAgent& vp, auto&, int32_t) {
             vp.environment(64);
             return -1;
         },
         ""},
        {"Unknown",
         [](RequestAgent& vp, auto&, int32_t) {
             uint8_t block[HB_FILEIO_BLOCK_SIZE] = {14};
             vp.post(block, sizeof block);
             return -1;
         },
         ""},
    };
    for (const Kind& kind : kinds)
        sweep(kind);
}

} // namespace

namespace {

class FileIoEventFaults : public ServiceFixture {};

// A doubled or late event wakes the service when there is no request, or
// while the VP is posting the next one: no request may be lost or answered
// without being carried out.
TEST_F(FileIoEventFaults, DoubledAndLateEventsLoseNoRequest) {
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
        ASSERT_EQ(written.error, 0u) << i;
        expected += record;
    }
    virtualBoard().setFaultPlan({});
    EXPECT_EQ(vp.close(fd), 0);
    EXPECT_EQ(files_.read("log"), expected);
}

TEST_F(FileIoEventFaults, ALostEventLeavesTheRequestForTheNextOne) {
    virtualBoard().setFaultPlan(parseFaultPlan("event-drop:6"));
    RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(300));
    quick.environmentSize();
    EXPECT_FALSE(quick.answered()) << "nobody was woken";
    // The VP raises the event again: the request still standing is served.
    ASSERT_TRUE(virtualBoard().raiseEvent(6));
    EXPECT_TRUE(virtualBoard().waitForSharedWord(quick.layout().offset, RequestAgent::kMarker,
                                                 std::chrono::seconds(20)));
    EXPECT_GT(quick.word(4), 2u);
}

} // namespace
