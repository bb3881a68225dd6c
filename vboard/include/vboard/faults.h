// Faults the virtual board can be told to commit, so that tests and the
// simulator can watch the library meet a misbehaving driver: a request that
// fails, a reply that comes late, corrupted or not at all, a connection that
// ends in the middle of a request, VP transfers that move fewer bytes than
// asked, board events that are lost, late or doubled.
//
// A plan is set on a board (Board::setFaultPlan) and counts matching requests
// and events from that moment; with no plan set the board behaves exactly as
// without this facility. The textual form (parseFaultPlan) is what command
// lines take.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hb::vboard {

// Matches every control code.
inline constexpr uint32_t kAnyRequest = 0;

enum class RequestFaultKind {
    Fail,             // refused with `status`; the request has no effect
    DelayReply,       // carried out, answered `delay` later (the board serves nothing meanwhile)
    CorruptReply,     // carried out; word `word` of the reply header is XORed with `mask`
    CloseBeforeReply, // carried out; the connection closes instead of answering
    CloseMidReply,    // carried out; half the reply is sent, then the connection closes
    ShortTransfer,    // VpRead / VpWrite: at most `limit` bytes move, and that count is answered
};

struct RequestFault {
    RequestFaultKind kind = RequestFaultKind::Fail;
    uint32_t controlCode = kAnyRequest;
    uint64_t nth = 1;                   // the first matching request hit, counting from 1
    uint64_t times = 1;                 // matching requests hit from the nth on; 0: every one
    uint32_t status = 31;               // Fail: the Win32 status answered (31 ERROR_GEN_FAILURE)
    std::chrono::milliseconds delay{0}; // DelayReply
    uint32_t word = 4;                  // CorruptReply: header word 0..8 (4 is the status)
    uint32_t mask = 0xFFFFFFFFu;        // CorruptReply
    uint32_t limit = 0;                 // ShortTransfer
};

enum class EventFaultKind {
    Drop,      // the VP believes it raised the event; the host is not signalled
    Delay,     // the host is signalled `delay` later
    Duplicate, // signalled now, and once more `delay` later
};

struct EventFault {
    EventFaultKind kind = EventFaultKind::Drop;
    uint32_t eventId = 0;
    uint64_t nth = 1;
    uint64_t times = 1;
    std::chrono::milliseconds delay{0};
};

struct FaultPlan {
    std::vector<RequestFault> requests;
    std::vector<EventFault> events;
    bool empty() const { return requests.empty() && events.empty(); }
};

// What a plan has done since it was set.
struct FaultCounts {
    uint64_t requestsSeen = 0; // every request the board received
    uint64_t requestsHit = 0;  // requests a fault acted on
    uint64_t eventsSeen = 0;   // every event the VP side raised
    uint64_t eventsHit = 0;
};

// Parses a comma-separated list of faults:
//   fail:REQUEST[#N][*TIMES][=STATUS]
//   delay:REQUEST[#N][*TIMES]=MILLISECONDS
//   corrupt:REQUEST[#N][*TIMES][=WORD]
//   close:REQUEST[#N][*TIMES]          close-mid:REQUEST[#N][*TIMES]
//   short:REQUEST[#N][*TIMES]=BYTES
//   event-drop:ID[#N][*TIMES]          event-delay:ID[#N][*TIMES]=MILLISECONDS
//   event-dup:ID[#N][*TIMES][=MILLISECONDS]
// REQUEST is a traced request name ("SharedMemoryWrite"), a control code
// (0x8001A011) or "any"; N counts from 1 and defaults to 1; TIMES 0 means
// every match from the Nth on. Throws std::invalid_argument naming the part
// that is wrong.
FaultPlan parseFaultPlan(const std::string& text);

} // namespace hb::vboard
