// The one place where the virtual board carries out a host request: decode
// the frame's buffers, check them, act on the board, trace, let the VP side
// react. The server around it only moves frames.
#pragma once

#include "board_state.h"

#include <cstdint>
#include <span>
#include <vector>

namespace hb::vboard::detail {

// A request as it arrived, before it is understood.
struct RawRequest {
    uint32_t controlCode = 0;
    std::span<const uint8_t> input;
    std::span<const uint8_t> data; // the second buffer, when it carries data to the device
    uint32_t outputCapacity = 0;   // room for the bytes returned
    ConnectionId connection = 0;
};

struct Outcome {
    uint32_t status = 0; // Win32 code
    uint32_t bytesReturned = 0;
    ReplyFault replyFault; // what the fault plan does to the reply
};

// Carries out one request, as the board's fault plan lets it. `payload` receives the bytes
// returned, never more than the request's output capacity. A descriptor that the board keeps is
// replaced by -1 in `descriptors`; the caller closes the rest.
Outcome handleRequest(BoardState& board, const RawRequest& request, std::vector<int>& descriptors,
                      std::vector<uint8_t>& payload);

} // namespace hb::vboard::detail
