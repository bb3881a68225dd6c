// The trace function sees each request the service answered, decoded: code,
// arguments, paths, data, result, error word and a duration.
#include "service_fixture.h"

#include <mutex>
#include <vector>

namespace {

using hbtest::ServiceFixture;

struct Seen {
    int32_t boardIndex;
    uint32_t request;
    int32_t arguments[3];
    std::string path, secondPath, data;
    bool hasPath, hasSecondPath;
    int32_t result;
    uint32_t error;
    double seconds;
};

struct Collector {
    std::mutex lock;
    std::vector<Seen> seen;

    static void record(void* context, const HbFileIoTraceRecord* r) {
        auto* self = static_cast<Collector*>(context);
        Seen s{r->boardIndex,
               r->request,
               {r->arguments[0], r->arguments[1], r->arguments[2]},
               r->path ? r->path : "",
               r->secondPath ? r->secondPath : "",
               r->data ? std::string(static_cast<const char*>(r->data), r->dataLength) : "",
               r->path != nullptr,
               r->secondPath != nullptr,
               r->result,
               r->error,
               r->seconds};
        std::lock_guard guard(self->lock);
        self->seen.push_back(s);
    }
    std::vector<Seen> take() {
        std::lock_guard guard(lock);
        return std::exchange(seen, {});
    }
};

class Trace : public ServiceFixture {
  protected:
    void TearDown() override {
        hbFileIoSetTraceFunction(board(), nullptr, nullptr);
        ServiceFixture::TearDown();
    }
    Collector collector_;
};

TEST_F(Trace, EachRequestIsReportedDecodedAfterItsAnswer) {
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), Collector::record, &collector_), 0u);
    auto& vp = agent();
    const std::string path = files_ / "traced";
    const auto opened = vp.open(path, HB_O_CREAT | HB_O_RDWR);
    ASSERT_GE(opened.value, 0);
    vp.write(opened.value, "hello");
    vp.seek(opened.value, 1, 0);
    vp.read(opened.value, 100);
    vp.close(opened.value);
    vp.rename(path, files_ / "renamed");
    vp.open(files_ / "missing", HB_O_RDONLY);
    vp.attributes(files_ / "missing");
    vp.exit(0x107);

    const std::vector<Seen> seen = collector_.take();
    ASSERT_EQ(seen.size(), 9u);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.boardIndex, 0);
        EXPECT_GE(s.seconds, 0.0);
    }
    EXPECT_EQ(seen[0].request, uint32_t{FileIoRequest_Open});
    EXPECT_EQ(seen[0].path, path);
    EXPECT_EQ(seen[0].arguments[0], int32_t{HB_O_CREAT | HB_O_RDWR});
    EXPECT_EQ(seen[0].result, opened.value);
    EXPECT_EQ(seen[0].error, 0u);

    EXPECT_EQ(seen[1].request, uint32_t{FileIoRequest_Write});
    EXPECT_EQ(seen[1].arguments[0], opened.value);
    EXPECT_EQ(seen[1].arguments[1], 5);
    EXPECT_EQ(seen[1].data, "hello");
    EXPECT_EQ(seen[1].result, 5);
    EXPECT_FALSE(seen[1].hasPath);

    EXPECT_EQ(seen[2].request, uint32_t{FileIoRequest_Seek});
    EXPECT_EQ(seen[2].arguments[1], 1);
    EXPECT_EQ(seen[2].arguments[2], 0);
    EXPECT_EQ(seen[2].result, 1);

    EXPECT_EQ(seen[3].request, uint32_t{FileIoRequest_Read});
    EXPECT_EQ(seen[3].arguments[1], 100);
    EXPECT_EQ(seen[3].result, 4);
    EXPECT_EQ(seen[3].data, "ello");

    EXPECT_EQ(seen[4].request, uint32_t{FileIoRequest_Close});
    EXPECT_EQ(seen[4].result, 0);

    EXPECT_EQ(seen[5].request, uint32_t{FileIoRequest_Rename});
    EXPECT_EQ(seen[5].path, path);
    EXPECT_EQ(seen[5].secondPath, files_ / "renamed");
    EXPECT_EQ(seen[5].result, 0);

    EXPECT_EQ(seen[6].result, -1);
    EXPECT_EQ(seen[6].error, HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(seen[7].request, uint32_t{FileIoRequest_Attributes});
    EXPECT_EQ(static_cast<uint32_t>(seen[7].result), HB_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(seen[7].error, HB_ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(seen[8].request, uint32_t{FileIoRequest_Exit});
    EXPECT_EQ(seen[8].arguments[0], 0x107);
    EXPECT_EQ(seen[8].result, 7);
}

TEST_F(Trace, UnknownCodesAndTheCommandLineAreReportedToo) {
    const char* arguments[] = {"prog", "-v", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), arguments), 0u);
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), Collector::record, &collector_), 0u);
    agent().commandLine();
    const uint32_t unknown[2] = {25, 0};
    agent().post(unknown, sizeof unknown);
    const std::vector<Seen> seen = collector_.take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, "prog -v ");
    EXPECT_EQ(seen[1].request, 25u);
    EXPECT_EQ(seen[1].result, 0);
}

TEST_F(Trace, ANullFunctionTurnsTheTraceOffAndTheFunctionMayDoItItself) {
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), Collector::record, &collector_), 0u);
    agent().environmentSize();
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), nullptr, &collector_), 0u);
    agent().environmentSize();
    EXPECT_EQ(collector_.take().size(), 1u);

    // A function that turns itself off from the service thread.
    struct SelfStopping {
        const AcceleratorBoard* board;
        int calls = 0;
        static void record(void* context, const HbFileIoTraceRecord*) {
            auto* self = static_cast<SelfStopping*>(context);
            ++self->calls;
            hbFileIoSetTraceFunction(self->board, nullptr, nullptr);
        }
    } selfStopping{board()};
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), SelfStopping::record, &selfStopping), 0u);
    agent().environmentSize();
    agent().environmentSize();
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), nullptr, nullptr), 0u);
    EXPECT_EQ(selfStopping.calls, 1);

    EXPECT_EQ(hbFileIoSetTraceFunction(nullptr, Collector::record, nullptr),
              HB_ERROR_INVALID_PARAMETER);
}

} // namespace
