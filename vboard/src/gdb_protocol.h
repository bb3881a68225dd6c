// The GDB remote protocol as the VP's debugger stub speaks it: packet framing
// and the commands on a stopped program. No sockets here: bytes in, bytes out.
#pragma once

#include "vboard/vp_debug.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hb::vboard::gdb {

// The longest packet payload taken (and announced as PacketSize); longer
// packets are answered with an error, never buffered.
constexpr size_t kMaxPacket = 4096;

// Splits the debugger's byte stream into packets, one byte at a time.
class PacketReader {
  public:
    enum class Event {
        None,
        Packet,      // packet() holds the payload, escapes undone
        BadChecksum, // a whole packet whose checksum is wrong
        Malformed,   // a whole packet longer than kMaxPacket or ending in an escape
        Interrupt,   // Ctrl-C outside a packet
        Nack,        // '-' outside a packet: resend the last reply
    };
    Event take(uint8_t byte);
    const std::string& packet() const { return packet_; }

  private:
    enum class State { Idle, Payload, Check1, Check2 };
    Event finish();

    State state_ = State::Idle;
    std::string packet_;
    uint8_t sum_ = 0;
    int checksum_ = 0; // the two digits sent, -1 when one is no hex digit
    bool escaped_ = false;
    bool overlong_ = false;
};

// "$payload#xx".
std::string frame(std::string_view payload);
// What a stop and an end of the program look like to the debugger.
std::string stopReply(const VpStop& stop);
std::string endReply(const VpEnd& end);

// One debugger connection: its packets answered against the stopped program.
class Session {
  public:
    struct Result {
        size_t consumed = 0;            // bytes of the input used
        std::optional<VpResume> resume; // a packet let the program go on
    };
    // The program stopped: the reply to '?' from now on, and the packet that
    // tells a waiting debugger so.
    std::string stopped(const VpStop& stop);
    // Handles `data` up to the packet that lets the program go on; what to
    // send back is appended to `out`.
    Result feed(VpDebugTarget& target, const uint8_t* data, size_t size, std::string& out);
    // While the program runs: whether `data` holds an interrupt. Packets
    // that come meanwhile are dropped.
    bool interruptIn(const uint8_t* data, size_t size);

  private:
    std::optional<std::string> handle(VpDebugTarget& target, const std::string& packet,
                                      std::optional<VpResume>& resume);
    std::string query(const std::string& packet);
    // Nothing when the program goes on (its stop is the reply), else an error.
    std::optional<std::string> resumeAt(VpDebugTarget& target, std::string_view address,
                                        VpResume how, std::optional<VpResume>& resume);

    PacketReader reader_;
    bool ackMode_ = true;
    bool leaveAckMode_ = false; // after the reply to QStartNoAckMode
    std::string lastReply_;     // framed, for a resend
    std::string stopReply_ = "S05";
};

} // namespace hb::vboard::gdb
