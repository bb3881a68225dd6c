// The GDB remote protocol of the VP's debugger stub: framing, the i386 target
// description and the commands gdb needs on a stopped program.
#include "gdb_protocol.h"
#include "little_endian.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace hb::vboard::gdb {

namespace {

// gdb's own signal numbers.
constexpr int kSigInt = 2;
constexpr int kSigTrap = 5;
constexpr int kSigKill = 9;
constexpr int kSigSegv = 11;

// The most memory one 'm' answers: its hex must fit a packet.
constexpr size_t kMaxRead = kMaxPacket / 2;

constexpr char kTargetXml[] = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>i386</architecture>
  <feature name="org.gnu.gdb.i386.core">
    <flags id="i386_eflags" size="4">
      <field name="CF" start="0" end="0"/>
      <field name="PF" start="2" end="2"/>
      <field name="AF" start="4" end="4"/>
      <field name="ZF" start="6" end="6"/>
      <field name="SF" start="7" end="7"/>
      <field name="TF" start="8" end="8"/>
      <field name="IF" start="9" end="9"/>
      <field name="DF" start="10" end="10"/>
      <field name="OF" start="11" end="11"/>
    </flags>
    <reg name="eax" bitsize="32" type="int32" regnum="0"/>
    <reg name="ecx" bitsize="32" type="int32"/>
    <reg name="edx" bitsize="32" type="int32"/>
    <reg name="ebx" bitsize="32" type="int32"/>
    <reg name="esp" bitsize="32" type="data_ptr"/>
    <reg name="ebp" bitsize="32" type="data_ptr"/>
    <reg name="esi" bitsize="32" type="int32"/>
    <reg name="edi" bitsize="32" type="int32"/>
    <reg name="eip" bitsize="32" type="code_ptr"/>
    <reg name="eflags" bitsize="32" type="i386_eflags"/>
    <reg name="cs" bitsize="32" type="int32"/>
    <reg name="ss" bitsize="32" type="int32"/>
    <reg name="ds" bitsize="32" type="int32"/>
    <reg name="es" bitsize="32" type="int32"/>
    <reg name="fs" bitsize="32" type="int32"/>
    <reg name="gs" bitsize="32" type="int32"/>
    <reg name="st0" bitsize="80" type="i387_ext"/>
    <reg name="st1" bitsize="80" type="i387_ext"/>
    <reg name="st2" bitsize="80" type="i387_ext"/>
    <reg name="st3" bitsize="80" type="i387_ext"/>
    <reg name="st4" bitsize="80" type="i387_ext"/>
    <reg name="st5" bitsize="80" type="i387_ext"/>
    <reg name="st6" bitsize="80" type="i387_ext"/>
    <reg name="st7" bitsize="80" type="i387_ext"/>
    <reg name="fctrl" bitsize="32" type="int" group="float"/>
    <reg name="fstat" bitsize="32" type="int" group="float"/>
    <reg name="ftag" bitsize="32" type="int" group="float"/>
    <reg name="fiseg" bitsize="32" type="int" group="float"/>
    <reg name="fioff" bitsize="32" type="int" group="float"/>
    <reg name="foseg" bitsize="32" type="int" group="float"/>
    <reg name="fooff" bitsize="32" type="int" group="float"/>
    <reg name="fop" bitsize="32" type="int" group="float"/>
  </feature>
</target>
)";
// Sent as binary data unescaped: it holds no character that a packet escapes.
static_assert(std::string_view(kTargetXml).find_first_of("$#}*") == std::string_view::npos);

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A whole field of hex digits, at most 16 of them.
std::optional<uint64_t> parseHex(std::string_view text) {
    if (text.empty() || text.size() > 16)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = hexValue(uint8_t(c));
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | uint64_t(digit);
    }
    return value;
}

std::optional<uint32_t> parseAddress(std::string_view text) {
    const auto value = parseHex(text);
    if (!value || *value > 0xFFFFFFFFu)
        return std::nullopt;
    return uint32_t(*value);
}

std::string toHex(const uint8_t* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

std::optional<std::vector<uint8_t>> fromHex(std::string_view text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexValue(uint8_t(text[2 * i]));
        const int low = hexValue(uint8_t(text[2 * i + 1]));
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = uint8_t(high << 4 | low);
    }
    return bytes;
}

std::string twoDigits(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

// "ADDR,LENGTH" and what follows a ':' when there is one.
struct Range {
    uint32_t address = 0;
    size_t length = 0;
    std::string_view data;
};
std::optional<Range> parseRange(std::string_view text, bool withData) {
    const size_t comma = text.find(',');
    const size_t colon = withData ? text.find(':', comma) : std::string_view::npos;
    if (comma == std::string_view::npos || (withData && colon == std::string_view::npos))
        return std::nullopt;
    const auto address = parseAddress(text.substr(0, comma));
    const auto length = parseHex(text.substr(comma + 1, colon - comma - 1));
    if (!address || !length || *length > kMaxPacket)
        return std::nullopt;
    Range range{*address, size_t(*length), {}};
    if (withData)
        range.data = text.substr(colon + 1);
    return range;
}

std::string readRegisters(VpDebugTarget& target) {
    std::string text;
    for (unsigned n = 0; n < kVpRegisterCount; ++n) {
        uint8_t bytes[16];
        const size_t size = vpDebugRegisterSize(n);
        text += target.readRegister(n, bytes) ? toHex(bytes, size) : std::string(2 * size, 'x');
    }
    return text;
}

std::string writeRegisters(VpDebugTarget& target, std::string_view hex) {
    size_t total = 0;
    for (unsigned n = 0; n < kVpRegisterCount; ++n)
        total += vpDebugRegisterSize(n);
    const auto bytes = fromHex(hex);
    if (!bytes || bytes->size() != total)
        return "E01";
    bool all = true;
    for (unsigned n = 0, at = 0; n < kVpRegisterCount; at += vpDebugRegisterSize(n), ++n)
        all = target.writeRegister(n, bytes->data() + at) && all;
    return all ? "OK" : "E01";
}

std::string readRegister(VpDebugTarget& target, std::string_view number) {
    const auto n = parseHex(number);
    uint8_t bytes[16];
    if (!n || *n >= kVpRegisterCount || !target.readRegister(unsigned(*n), bytes))
        return "E01";
    return toHex(bytes, vpDebugRegisterSize(unsigned(*n)));
}

std::string writeRegister(VpDebugTarget& target, std::string_view assignment) {
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos)
        return "E01";
    const auto n = parseHex(assignment.substr(0, equals));
    const auto bytes = fromHex(assignment.substr(equals + 1));
    if (!n || *n >= kVpRegisterCount || !bytes ||
        bytes->size() != vpDebugRegisterSize(unsigned(*n)) ||
        !target.writeRegister(unsigned(*n), bytes->data()))
        return "E01";
    return "OK";
}

std::string readMemory(VpDebugTarget& target, std::string_view request) {
    const auto range = parseRange(request, false);
    if (!range)
        return "E01";
    std::vector<uint8_t> bytes(std::min(range->length, kMaxRead));
    const size_t read = target.readMemory(range->address, bytes.data(), bytes.size());
    if (read == 0 && !bytes.empty())
        return "E14";
    return toHex(bytes.data(), read);
}

// 'M' (hex) and 'X' (binary, escapes already undone).
std::string writeMemory(VpDebugTarget& target, std::string_view request, bool binary) {
    const auto range = parseRange(request, true);
    if (!range)
        return "E01";
    std::vector<uint8_t> bytes;
    if (binary) {
        bytes.assign(range->data.begin(), range->data.end());
    } else if (auto decoded = fromHex(range->data)) {
        bytes = std::move(*decoded);
    } else {
        return "E01";
    }
    if (bytes.size() != range->length)
        return "E01";
    if (bytes.empty())
        return "OK";
    return target.writeMemory(range->address, bytes.data(), bytes.size()) ? "OK" : "E14";
}

// "Z0,ADDR,KIND" and "z0,ADDR,KIND": software breakpoints only.
std::string breakpoint(VpDebugTarget& target, std::string_view packet) {
    if (packet.size() < 2 || packet[1] != '0')
        return "";
    const std::string_view rest = packet.substr(2);
    const size_t kind = rest.find(',', 1);
    const auto address = rest.empty() || rest[0] != ',' || kind == std::string_view::npos
                             ? std::nullopt
                             : parseAddress(rest.substr(1, kind - 1));
    if (!address)
        return "E01";
    return target.setBreakpoint(*address, packet[0] == 'Z') ? "OK" : "E0c";
}

// "qXfer:features:read:target.xml:OFFSET,LENGTH".
std::string targetDescription(std::string_view request) {
    constexpr std::string_view kPrefix = "qXfer:features:read:target.xml:";
    if (request.substr(0, kPrefix.size()) != kPrefix)
        return "E00";
    const auto range = parseRange(request.substr(kPrefix.size()), false);
    const std::string_view xml(kTargetXml, sizeof kTargetXml - 1);
    if (!range || range->address > xml.size())
        return "E00";
    // Half a packet at most per answer; gdb asks for the rest.
    const size_t length = std::min(range->length, kMaxPacket / 2 - 1);
    const std::string_view part = xml.substr(range->address, length);
    const bool last = range->address + part.size() >= xml.size();
    return (last ? "l" : "m") + std::string(part);
}

} // namespace

PacketReader::Event PacketReader::take(uint8_t byte) {
    switch (state_) {
    case State::Idle:
        if (byte == '$') {
            state_ = State::Payload;
            packet_.clear();
            sum_ = 0;
            escaped_ = false;
            overlong_ = false;
        }
        return byte == 0x03 ? Event::Interrupt : byte == '-' ? Event::Nack : Event::None;
    case State::Payload:
        if (byte == '$') { // a packet begins again: what came before is dropped
            state_ = State::Idle;
            return take(byte);
        }
        if (byte == '#') {
            state_ = State::Check1;
            return Event::None;
        }
        sum_ = uint8_t(sum_ + byte);
        if (packet_.size() >= kMaxPacket) {
            overlong_ = true;
        } else if (escaped_) {
            packet_ += char(byte ^ 0x20);
            escaped_ = false;
        } else if (byte == '}') {
            escaped_ = true;
        } else {
            packet_ += char(byte);
        }
        return Event::None;
    case State::Check1:
        checksum_ = hexValue(byte) < 0 ? -1 : hexValue(byte) << 4;
        state_ = State::Check2;
        return Event::None;
    case State::Check2:
        checksum_ = checksum_ < 0 || hexValue(byte) < 0 ? -1 : checksum_ | hexValue(byte);
        state_ = State::Idle;
        return finish();
    }
    return Event::None;
}

PacketReader::Event PacketReader::finish() {
    if (checksum_ != sum_)
        return Event::BadChecksum;
    return overlong_ || escaped_ ? Event::Malformed : Event::Packet;
}

std::string frame(std::string_view payload) {
    uint8_t sum = 0;
    for (char c : payload)
        sum = uint8_t(sum + uint8_t(c));
    return "$" + std::string(payload) + "#" + twoDigits(sum);
}

std::string stopReply(const VpStop& stop) {
    switch (stop.reason) {
    case VpStop::Reason::Started:
    case VpStop::Reason::Stepped:
        return "T" + twoDigits(kSigTrap) + "thread:1;";
    case VpStop::Reason::Breakpoint:
        return "T" + twoDigits(kSigTrap) + "swbreak:;thread:1;";
    case VpStop::Reason::Interrupted:
        return "T" + twoDigits(kSigInt) + "thread:1;";
    case VpStop::Reason::Faulted:
        return "T" + twoDigits(kSigSegv) + "thread:1;";
    }
    return "S" + twoDigits(kSigTrap);
}

std::string endReply(const VpEnd& end) {
    switch (end.reason) {
    case VpEnd::Reason::Halted:
        return "W" + twoDigits(end.exitValue);
    case VpEnd::Reason::Faulted:
        return "X" + twoDigits(kSigSegv);
    case VpEnd::Reason::Killed:
    case VpEnd::Reason::Stopped:
        break;
    }
    return "X" + twoDigits(kSigKill);
}

std::string Session::stopped(const VpStop& stop) {
    stopReply_ = stopReply(stop);
    lastReply_ = frame(stopReply_);
    if (stop.reason != VpStop::Reason::Faulted || stop.fault.empty())
        return lastReply_;
    // What the fault was, on gdb's console before the stop.
    const std::string line = "VP fault: " + stop.fault.substr(0, kMaxRead - 16) + "\n";
    return frame("O" + toHex(reinterpret_cast<const uint8_t*>(line.data()), line.size())) +
           lastReply_;
}

Session::Result Session::feed(VpDebugTarget& target, const uint8_t* data, size_t size,
                              std::string& out) {
    Result result;
    while (result.consumed < size && !result.resume) {
        const auto event = reader_.take(data[result.consumed++]);
        if (event == PacketReader::Event::BadChecksum) {
            if (ackMode_)
                out += '-';
        } else if (event == PacketReader::Event::Nack) {
            if (ackMode_)
                out += lastReply_;
        } else if (event == PacketReader::Event::Packet ||
                   event == PacketReader::Event::Malformed) {
            if (ackMode_)
                out += '+';
            const auto reply = event == PacketReader::Event::Packet
                                   ? handle(target, reader_.packet(), result.resume)
                                   : std::optional<std::string>("E01");
            if (reply) {
                lastReply_ = frame(*reply);
                out += lastReply_;
            }
            if (leaveAckMode_)
                ackMode_ = leaveAckMode_ = false;
        }
        // An interrupt while stopped asks for nothing.
    }
    return result;
}

bool Session::interruptIn(const uint8_t* data, size_t size) {
    bool interrupt = false;
    for (size_t i = 0; i < size; ++i)
        interrupt = reader_.take(data[i]) == PacketReader::Event::Interrupt || interrupt;
    return interrupt;
}

std::optional<std::string> Session::handle(VpDebugTarget& target, const std::string& packet,
                                           std::optional<VpResume>& resume) {
    const std::string_view rest = std::string_view(packet).substr(packet.empty() ? 0 : 1);
    switch (packet.empty() ? '\0' : packet[0]) {
    case '?':
        return stopReply_;
    case 'g':
        return readRegisters(target);
    case 'G':
        return writeRegisters(target, rest);
    case 'p':
        return readRegister(target, rest);
    case 'P':
        return writeRegister(target, rest);
    case 'm':
        return readMemory(target, rest);
    case 'M':
        return writeMemory(target, rest, false);
    case 'X':
        return writeMemory(target, rest, true);
    case 'Z':
    case 'z':
        return breakpoint(target, packet);
    case 'c':
    case 's':
        return resumeAt(target, rest, packet[0] == 's' ? VpResume::Step : VpResume::Continue,
                        resume);
    case 'C':
    case 'S': { // the signal is not delivered: the VP has no handlers
        const size_t semicolon = rest.find(';');
        return resumeAt(target,
                        semicolon == std::string_view::npos ? "" : rest.substr(semicolon + 1),
                        packet[0] == 'S' ? VpResume::Step : VpResume::Continue, resume);
    }
    case 'D':
        resume = VpResume::Detach;
        return "OK";
    case 'k':
        resume = VpResume::Kill;
        return std::nullopt;
    case 'H':
    case 'T':
        return "OK"; // the one thread
    case 'v':
        if (packet.rfind("vKill", 0) == 0) {
            resume = VpResume::Kill;
            return "OK";
        }
        return "";
    case 'q':
    case 'Q':
        return query(packet);
    default:
        return "";
    }
}

std::optional<std::string> Session::resumeAt(VpDebugTarget& target, std::string_view address,
                                             VpResume how, std::optional<VpResume>& resume) {
    if (!address.empty()) {
        const auto eip = parseAddress(address);
        uint8_t bytes[4];
        if (eip)
            putLe32(bytes, *eip);
        if (!eip || !target.writeRegister(kVpEip, bytes))
            return "E01";
    }
    resume = how;
    return std::nullopt;
}

std::string Session::query(const std::string& packet) {
    if (packet.rfind("qSupported", 0) == 0) {
        char text[120];
        std::snprintf(text, sizeof text,
                      "PacketSize=%zx;qXfer:features:read+;QStartNoAckMode+;swbreak+", kMaxPacket);
        return text;
    }
    if (packet == "QStartNoAckMode") {
        leaveAckMode_ = true;
        return "OK";
    }
    if (packet.rfind("qXfer:features:read:", 0) == 0)
        return targetDescription(packet);
    if (packet == "qAttached")
        return "1"; // quitting gdb detaches: the program runs on
    if (packet == "qC")
        return "QC1";
    if (packet == "qfThreadInfo")
        return "m1";
    if (packet == "qsThreadInfo")
        return "l";
    if (packet.rfind("qSymbol", 0) == 0)
        return "OK";
    return "";
}

} // namespace hb::vboard::gdb
