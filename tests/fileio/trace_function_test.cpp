// The library's trace function: each request reported once, decoded, before
// the VP sees its answer; a null function (set even from within) turns it off.
#include "service_fixture.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

class Trace : public hbtest::ServiceFixture {
  protected:
    void TearDown() override {
        hbFileIoSetTraceFunction(board(), nullptr, nullptr);
        ServiceFixture::TearDown();
    }
    // A record as a line: code (arguments) paths (by their last names, "-"
    // for none) data -> result error.
    static void record(void* context, const HbFileIoTraceRecord* r) {
        auto* self = static_cast<Trace*>(context);
        const auto name = [](const char* s) {
            return s ? std::filesystem::path(s).filename() : "-";
        };
        std::ostringstream line;
        line << r->request << " (" << r->arguments[0] << ' ' << r->arguments[1] << ' '
             << r->arguments[2] << ") " << name(r->path).string() << ' '
             << name(r->secondPath).string() << ' '
             << std::string(static_cast<const char*>(r->data), r->data ? r->dataLength : 0)
             << " -> " << r->result << ' ' << r->error;
        if (self->agent().word(0) == HB_FILEIO_COMPLETION_MARKER)
            line << ", after its marker";
        std::lock_guard guard(self->lock_);
        self->seen_.push_back(line.str());
        if (self->stopFromWithin_) // the function calls back into the library
            hbFileIoSetTraceFunction(self->board(), nullptr, nullptr);
    }
    std::vector<std::string> take() {
        std::lock_guard guard(lock_);
        return std::exchange(seen_, {});
    }
    std::mutex lock_;
    std::vector<std::string> seen_;
    bool stopFromWithin_ = false;
};

TEST_F(Trace, ARequestIsReportedOnceDecodedBeforeItsMarkerAndANullFunctionEndsTheTrace) {
    const char* arguments[] = {"prog", "-v", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), arguments), 0u);
    auto& vp = agent();
    const std::string path = files_ / "traced";
    const int32_t fd = vp.open(path, HB_O_CREAT | HB_O_RDWR).value;
    ASSERT_GE(fd, 0);
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), record, this), 0u);
    const uint32_t unknown[2] = {25, 0};
    const std::string f = std::to_string(fd);
    const struct {
        std::function<void()> request;
        std::string expected;
    } steps[] = {
        {[&] { vp.write(fd, "hello"); }, "9 (" + f + " 5 0) - - hello -> 5 0"},
        {[&] { vp.seek(fd, -4, 2); }, "11 (" + f + " -4 2) - -  -> 1 0"},
        {[&] { vp.read(fd, 100); }, "8 (" + f + " 100 0) - - ello -> 4 0"},
        {[&] { vp.rename(path, files_ / "renamed"); }, "21 (0 0 0) traced renamed  -> 0 0"},
        {[&] { vp.open(path, HB_O_RDWR); }, "7 (2 0 0) traced -  -> -1 2"},
        {[&] { vp.commandLine(); }, "15 (0 0 0) prog -v  -  -> 0 0"},
        {[&] { vp.post(unknown, sizeof unknown); }, "25 (0 0 0) - -  -> 0 0"},
        {[&] { vp.exit(0x107); }, "16 (263 0 0) - -  -> 7 0"},
    };
    for (const auto& step : steps) {
        step.request();
        // The VP has its answer: the trace has seen its request, once.
        EXPECT_EQ(take(), std::vector{step.expected});
    }

    stopFromWithin_ = true;
    vp.environmentSize();
    vp.environmentSize();
    ASSERT_EQ(hbFileIoSetTraceFunction(board(), nullptr, this), 0u);
    EXPECT_EQ(take().size(), 1u) << "a null function leaves the trace on";
}

} // namespace
