// The debugger stub's packet reader and command handler on an arbitrary byte
// stream: bad checksums, overlong packets, broken escapes, streams that end
// inside a packet. The stream arrives in pieces whose sizes come from the
// input; a packet that lets the program go on is followed by a stop, one
// that detaches or kills by a fresh connection, as the stub does.
//
// Input: byte 0 the piece size (low 6 bits + 1), then the stream.
#include "gdb_packets_fuzz.h"

#include "gdb_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace hbfuzz {

namespace {

namespace gdb = hb::vboard::gdb;
using hb::vboard::VpDebugTarget;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "gdb packets fuzz: %s\n", what);
    std::abort();
}

// 4 KiB of program at 0x1000 and registers that hold what was written.
class FakeProgram final : public VpDebugTarget {
  public:
    static constexpr uint32_t kBase = 0x1000;
    bool readRegister(unsigned n, uint8_t* bytes) override {
        if (n >= hb::vboard::kVpRegisterCount)
            fail("register number past the last read");
        std::memcpy(bytes, registers_[n], hb::vboard::vpDebugRegisterSize(n));
        return n != hb::vboard::kVpFop; // one register the program cannot give
    }
    bool writeRegister(unsigned n, const uint8_t* bytes) override {
        if (n >= hb::vboard::kVpRegisterCount)
            fail("register number past the last written");
        std::memcpy(registers_[n], bytes, hb::vboard::vpDebugRegisterSize(n));
        return n < hb::vboard::kVpCs;
    }
    size_t readMemory(uint32_t address, uint8_t* bytes, size_t count) override {
        if (count > gdb::kMaxPacket)
            fail("memory read longer than a packet");
        const size_t n = available(address, count);
        if (n > 0)
            std::memcpy(bytes, memory_ + (address - kBase), n);
        return n;
    }
    bool writeMemory(uint32_t address, const uint8_t* bytes, size_t count) override {
        if (count == 0 || count > gdb::kMaxPacket)
            fail("memory write of no bytes or longer than a packet");
        if (available(address, count) != count)
            return false;
        std::memcpy(memory_ + (address - kBase), bytes, count);
        return true;
    }
    bool setBreakpoint(uint32_t address, bool present) override {
        if (present && breakpoints_.size() >= 8 && breakpoints_.count(address) == 0)
            return false;
        if (present)
            breakpoints_.insert(address);
        else
            breakpoints_.erase(address);
        return true;
    }
    bool stopRequested() const override { return false; }

  private:
    static size_t available(uint32_t address, size_t count) {
        if (address < kBase || address >= kBase + sizeof memory_)
            return 0;
        return std::min<size_t>(count, kBase + sizeof memory_ - address);
    }
    uint8_t memory_[4096] = {};
    uint8_t registers_[hb::vboard::kVpRegisterCount][10] = {};
    std::set<uint32_t> breakpoints_;
};

// Every '$' in the output starts a packet with a correct checksum that fits
// the packet size; nothing else but acknowledgements stands between them.
void checkOutput(const std::string& out) {
    size_t at = 0;
    while (at < out.size()) {
        if (out[at] == '+' || out[at] == '-') {
            ++at;
            continue;
        }
        if (out[at] != '$')
            fail("reply bytes outside a packet");
        const size_t end = out.find('#', at);
        if (end == std::string::npos || end + 2 >= out.size() || end - at - 1 > gdb::kMaxPacket)
            fail("reply packet unterminated or too long");
        unsigned sum = 0;
        for (size_t i = at + 1; i < end; ++i) {
            if (out[i] == '$')
                fail("'$' inside a reply");
            sum += uint8_t(out[i]);
        }
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", sum & 0xFF);
        if (out.compare(end + 1, 2, digits) != 0)
            fail("reply checksum wrong");
        at = end + 3;
    }
}

} // namespace

void feedGdbPackets(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const size_t piece = (data[0] & 0x3F) + 1u;
    FakeProgram program;
    auto session = std::make_unique<gdb::Session>();
    std::string out;
    for (size_t at = 1; at < size;) {
        const size_t n = std::min(piece, size - at);
        out.clear();
        const auto result = session->feed(program, data + at, n, out);
        if (result.consumed == 0 || result.consumed > n)
            fail("feed took no bytes or more than it was given");
        at += result.consumed;
        if (result.resume == hb::vboard::VpResume::Continue ||
            result.resume == hb::vboard::VpResume::Step) {
            // Runs until an interrupt in the next piece, then stops.
            const size_t running = std::min(piece, size - at);
            const bool interrupted = session->interruptIn(data + at, running);
            at += running;
            hb::vboard::VpStop stop;
            stop.reason = interrupted ? hb::vboard::VpStop::Reason::Interrupted
                                      : hb::vboard::VpStop::Reason::Breakpoint;
            out += session->stopped(stop);
        } else if (result.resume) {
            session = std::make_unique<gdb::Session>(); // the debugger left
        }
        checkOutput(out);
    }
}

} // namespace hbfuzz
