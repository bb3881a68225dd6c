// The trace function sees each request the service answered, decoded: code,
// arguments, paths, data, result, error word and a duration.
#include "service_fixture.h"

#include <iterator>
#include <mutex>
#include <tuple>
#include <vector>

namespace {

using hbtest::ServiceFixture;

// One record as seen; "-" stands for a null path.
struct Seen {
    int32_t boardIndex;
    uint32_t request;
    std::vector<int32_t> arguments;
    std::string path, secondPath, data;
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
               {r->arguments, r->arguments + 3},
               r->path ? r->path : "-",
               r->secondPath ? r->secondPath : "-",
               r->data ? std::string(static_cast<const char*>(r->data), r->dataLength) : "",
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

TEST_F(Trace, EachRequestIsReportedDecodedWithItsAnswer) {
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), Collector::record, &collector_), 0u);
    auto& vp = agent();
    const std::string path = files_ / "traced", renamed = files_ / "renamed";
    const int32_t fd = vp.open(path, HB_O_CREAT | HB_O_RDWR).value;
    ASSERT_GE(fd, 0);
    vp.write(fd, "hello");
    vp.seek(fd, 1, 0);
    vp.read(fd, 100);
    vp.close(fd);
    vp.rename(path, renamed);
    vp.open(files_ / "missing", HB_O_RDONLY);
    vp.attributes(files_ / "missing");
    vp.exit(0x107);

    const int32_t created = HB_O_CREAT | HB_O_RDWR;
    const std::string missing = files_ / "missing";
    const Seen expected[] = {
        {0, FileIoRequest_Open, {created, 0, 0}, path, "-", "", fd, 0, 0},
        {0, FileIoRequest_Write, {fd, 5, 0}, "-", "-", "hello", 5, 0, 0},
        {0, FileIoRequest_Seek, {fd, 1, 0}, "-", "-", "", 1, 0, 0},
        {0, FileIoRequest_Read, {fd, 100, 0}, "-", "-", "ello", 4, 0, 0},
        {0, FileIoRequest_Close, {fd, 0, 0}, "-", "-", "", 0, 0, 0},
        {0, FileIoRequest_Rename, {0, 0, 0}, path, renamed, "", 0, 0, 0},
        {0, FileIoRequest_Open, {0, 0, 0}, missing, "-", "", -1, 2, 0},
        {0, FileIoRequest_Attributes, {0, 0, 0}, missing, "-", "", -1, 2, 0},
        {0, FileIoRequest_Exit, {0x107, 0, 0}, "-", "-", "", 7, 0, 0},
    };
    const std::vector<Seen> seen = collector_.take();
    ASSERT_EQ(seen.size(), std::size(expected));
    for (size_t i = 0; i < seen.size(); ++i) {
        const Seen &s = seen[i], &e = expected[i];
        EXPECT_EQ(std::tie(s.boardIndex, s.request, s.arguments, s.path, s.secondPath, s.data,
                           s.result, s.error),
                  std::tie(e.boardIndex, e.request, e.arguments, e.path, e.secondPath, e.data,
                           e.result, e.error))
            << "request " << i;
        EXPECT_GE(s.seconds, 0.0);
    }
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
