// One VP request of each kind, for the sweeps that fail in turn every driver
// request or every allocation the library makes while it serves a request:
// the request on fresh files, the tidying up after it, and what must hold
// after each failure.
#pragma once

#include "service_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace hbtest {

class RequestSweep : public ServiceFixture {
  protected:
    // A request posted by `vp` while the VP holds "data" open as `fd_`: it
    // returns the answer's error word and puts a descriptor it opens in
    // `held_`. "data" holds kOriginal before, and after it either that or
    // `changed`.
    struct Kind {
        const char* name;
        std::function<uint32_t(RequestAgent& vp)> post;
        uint32_t error = 0; // the answer's error word when nothing fails
        std::string changed = "";
    };
    static constexpr const char* kOriginal = "0123456789abcdefghij";

    std::vector<Kind> kinds() {
        const ScratchDirectory& f = files_;
        const auto opened = [this](ScriptedVp::Result r) { return held_ = r.value, r.error; };
        return {
            {"Open",
             [&f, opened](RequestAgent& vp) { return opened(vp.open(f / "other", HB_O_RDONLY)); }},
            {"Open2",
             [&f, opened](RequestAgent& vp) { return opened(vp.open2(f / "other", HB_O_RDONLY)); }},
            {"Read", [this](RequestAgent& vp) { return vp.read(fd_, 8).error; }},
            {"Write", [this](RequestAgent& vp) { return vp.write(fd_, "WRITTEN").error; }, 0,
             "WRITTEN789abcdefghij"},
            {"Close", [this](RequestAgent& vp) { return uint32_t(vp.close(fd_)); }},
            {"Seek", [this](RequestAgent& vp) { return vp.seek(fd_, 5, 0).error; }},
            {"Delete", [&f](RequestAgent& vp) { return vp.remove(f / "none"); }, 2},
            {"CommandLine", [](RequestAgent& vp) { return vp.commandLine(), 0u; }},
            {"Exit", [](RequestAgent& vp) { return vp.exit(7), 0u; }},
            {"FindFirst", [&f](RequestAgent& vp) { return vp.findFirst(f / "*"), 0u; }},
            // Whatever the first answers, the next and the close follow.
            {"FindNext and FindClose",
             [&f](RequestAgent& vp) {
                 const uint32_t search = vp.findFirst(f / "*").handleOrError;
                 vp.findNext(search);
                 vp.findClose(search);
                 return 0u;
             }},
            {"Attributes", [&f](RequestAgent& vp) { return vp.attributes(f / "data").error; }},
            {"Rename", [&f](RequestAgent& vp) { return vp.rename(f / "other", f / "moved"); }},
            {"EnvironmentSize", [](RequestAgent& vp) { return vp.environmentSize(), 0u; }},
            {"Environment", [](RequestAgent& vp) { return vp.environment(64), 0u; }},
            {"UseCustomerMemory", [](RequestAgent& vp) { return vp.useCustomerMemory(0), 0u; }},
            {"Write to the console",
             [](RequestAgent& vp) { return vp.write(1, "console\n").error; }},
            {"Unknown",
             [](RequestAgent& vp) {
                 uint8_t block[HB_FILEIO_BLOCK_SIZE] = {14};
                 return vp.post(block, sizeof block), 0u;
             }},
        };
    }

    // Fresh files, and "data" opened by the VP.
    void prepare() {
        files_.write("data", kOriginal);
        files_.write("other", "x");
        fd_ = agent().open(files_ / "data", HB_O_RDWR).value;
        held_ = -1;
    }

    // Closes what the VP knows of (a close of what the request already
    // closed fails harmlessly), and puts "other" back.
    void tidy(bool answered) {
        RequestAgent& vp = agent();
        vp.close(fd_);
        if (answered && held_ >= 0)
            vp.close(held_);
        const uint32_t search = vp.findFirst(files_ / "*").handleOrError;
        if (search != 0xFFFFFFFFu)
            vp.findClose(search);
        vp.rename(files_ / "moved", files_ / "other");
    }

    // After a failure: "data" is whole, the service goes on, and nothing it
    // opened on the host stays open.
    void expectIntact(const Kind& kind, int descriptors) {
        const std::string content = files_.read("data");
        EXPECT_TRUE(content == kOriginal || (!kind.changed.empty() && content == kind.changed))
            << "data now holds '" << content << "'";
        EXPECT_EQ(agent().attributes(files_ / "data").error, 0u) << "the service goes on";
        EXPECT_TRUE(agent().answered());
        // The board's end of a closed connection goes on the board's thread.
        EXPECT_TRUE(
            hb::test::eventually([&] { return hb::test::countOpenDescriptors() == descriptors; }));
    }

    int32_t fd_ = -1, held_ = -1;
};

} // namespace hbtest
