// Wire format of the board device channel: how one device-control request and
// its reply travel over the Unix-domain stream socket between the library and
// the device that stands in for the board's driver (the virtual board).
//
// Every message is a frame: a fixed 36-byte header of nine little-endian
// 32-bit words, then a payload.
//
//   request  payload = input buffer (inputSize bytes)
//                      + second buffer (dataSize bytes), only for control
//                        codes whose second buffer carries data to the device
//                        (transfer method 1, "direct input")
//   reply    payload = the bytes the device returns (at most outputCapacity);
//                      bytesReturned is the count reported to the caller
//
// A connection opens with a hello exchange (flag kFlagHello) before any
// request: the client sends magic, protocol version and the features it
// takes; the device answers magic, version, the features it grants and the
// size of the board's shared memory. When it grants kFeatureMappedMemory the
// answer carries the shared memory as a sealed memfd (SCM_RIGHTS,
// kFlagDescriptor): the memory itself, then at controlPageOffset(size) one
// control page whose first word says whether shared-memory requests must
// still travel as frames (a fault plan or a trace wants to see them). A
// client with the mapping copies shared-memory reads and writes itself and
// tells the device of each write with a notice (kFlagNotice, input = offset
// and length, no reply) while the control page asks for them, so the device
// can react to it; the notice follows
// the copy, so what the device reads after it is what the host wrote. A
// device thread that waits for a word of shared memory sleeps on the control
// page's change count, which every write raises (see below), so a host write
// wakes it without a detour through the device's socket.
//
// The client numbers its requests;
// a reply carries the number of the request it answers. An event
// registration carries exactly one descriptor (the event's eventfd) as
// SCM_RIGHTS ancillary data on the frame's bytes, marked by kFlagDescriptor.
//
// A client with the mapping that owns the board may post the registration
// and deregistration of an event that answers its own requests (kFlagPosted:
// the device sends no reply), when it knows the device cannot refuse them:
// the device handles the frames of a connection in order, so the event is
// registered before any request it answers arrives, and withdrawn after.
//
// Sizes are checked before anything is allocated: a header whose sizes do not
// add up, or whose payload exceeds kMaxPayload, is a broken frame and ends the
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver_requests.h"
#include "little_endian.h"

namespace hb::wire {

inline constexpr uint32_t kMagic = 0x56424248u; // "HBBV" in the byte order on the wire
inline constexpr uint32_t kProtocolVersion = 2;

inline constexpr uint32_t kHeaderSize = 36;
inline constexpr uint32_t kHelloPayloadSize = 12;      // magic, version, features
inline constexpr uint32_t kHelloReplyPayloadSize = 16; // magic, version, features, memory size
inline constexpr uint32_t kNoticePayloadSize = 8;      // offset, length
inline constexpr uint32_t kMaxPayload = 16u << 20;     // per frame
inline constexpr uint32_t kMaxFrameSize = kHeaderSize + kMaxPayload;

// Header flags.
inline constexpr uint32_t kFlagReply = 0x1;      // set on every device-to-library frame
inline constexpr uint32_t kFlagHello = 0x2;      // the opening exchange
inline constexpr uint32_t kFlagDescriptor = 0x4; // one descriptor accompanies the frame
inline constexpr uint32_t kFlagNotice = 0x8;     // a mapped write took place; no reply
inline constexpr uint32_t kFlagPosted = 0x10;    // a request that wants no reply
inline constexpr uint32_t kKnownFlags =
    kFlagReply | kFlagHello | kFlagDescriptor | kFlagNotice | kFlagPosted;

// Hello features.
inline constexpr uint32_t kFeatureMappedMemory = 0x1;

// The mapping: the largest shared memory a device hands over, and the control
// page behind the memory.
inline constexpr uint32_t kMaxMappedMemory = 1u << 30;
inline constexpr uint32_t kControlPageSize = 4096;
// Words of the control page, by byte offset:
//   route:    kRouteThroughFrames while the device wants shared-memory
//             requests and registrations as round trips; kWriteNotices
//             while it wants a notice of mapped writes (its VP side reacts
//             to writes)
//   changes:  a count that every write to the shared memory raises after its
//             bytes stand (host or device), then wakes the futex sleepers on
//             it when `sleepers` is not 0
//   sleepers: how many threads of the device sleep on `changes`
//   noticed offset, noticed length: the range of the shared memory whose
//             writes the device wants a notice of while kWriteNotices is set
//             (a write that touches no byte of it needs none)
//   closes:   a count the device raises before it ends a connection, so a
//             host learns at once that its own may have ended
inline constexpr uint32_t kControlRouteWord = 0;
inline constexpr uint32_t kControlChangesWord = 4;
inline constexpr uint32_t kControlSleepersWord = 8;
inline constexpr uint32_t kControlNoticedOffsetWord = 12;
inline constexpr uint32_t kControlNoticedLengthWord = 16;
inline constexpr uint32_t kControlClosesWord = 20;
inline constexpr uint32_t kRouteThroughFrames = 0x1;
inline constexpr uint32_t kWriteNotices = 0x2;

inline constexpr uint64_t controlPageOffset(uint32_t memorySize) {
    return (uint64_t{memorySize} + kControlPageSize - 1) / kControlPageSize * kControlPageSize;
}
inline constexpr uint64_t mappedFileSize(uint32_t memorySize) {
    return controlPageOffset(memorySize) + kControlPageSize;
}

// Status values (Win32 numbering) that the transport itself uses.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusInvalidFunction = 1;       // unknown control code
inline constexpr uint32_t kStatusInvalidHandle = 6;         // no such event to send
inline constexpr uint32_t kStatusInvalidParameter = 87;     // bad sizes, offsets or descriptors
inline constexpr uint32_t kStatusDeviceNotConnected = 1167; // the device went away
inline constexpr uint32_t kStatusRevisionMismatch = 1306;   // hello with another version
inline constexpr uint32_t kStatusNoResources = 1450;        // device-side limit reached
inline constexpr uint32_t kStatusInvalidData = 13;          // a mapping that cannot be trusted

struct FrameHeader {
    uint32_t totalSize = kHeaderSize; // header + payload
    uint32_t requestId = 0;
    uint32_t controlCode = 0;
    uint32_t flags = 0;
    uint32_t status = 0;         // reply: Win32 error code, 0 on success
    uint32_t inputSize = 0;      // request: input buffer bytes in the payload
    uint32_t dataSize = 0;       // request: second-buffer bytes in the payload
    uint32_t outputCapacity = 0; // request: the caller's second-buffer size
    uint32_t bytesReturned = 0;  // reply: count reported to the caller

    uint32_t payloadSize() const { return totalSize - kHeaderSize; }
};

using hb::getLe32;
using hb::putLe32;

inline void encodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize]) {
    const uint32_t words[] = {h.totalSize, h.requestId, h.controlCode,    h.flags,        h.status,
                              h.inputSize, h.dataSize,  h.outputCapacity, h.bytesReturned};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) {
        putLe32(out + 4 * i, words[i]);
    }
}

inline FrameHeader decodeHeader(const uint8_t in[kHeaderSize]) {
    FrameHeader h;
    uint32_t* words[] = {&h.totalSize, &h.requestId, &h.controlCode,    &h.flags,        &h.status,
                         &h.inputSize, &h.dataSize,  &h.outputCapacity, &h.bytesReturned};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) {
        *words[i] = getLe32(in + 4 * i);
    }
    return h;
}

// The transfer method in the low two bits of a control code: with method 1
// the caller's second buffer carries data to the device instead of receiving.
inline constexpr bool secondBufferGoesToDevice(uint32_t controlCode) {
    return (controlCode & 3u) == 1u;
}

// Requests that change the board rather than only look at it: the device
// takes them only from the process that owns the board.
inline constexpr bool changesBoard(uint32_t controlCode) {
    switch (controlCode) {
    case HB_IOCTL_RESET_VP:
    case HB_IOCTL_PLX_REGISTER_WRITE:
    case HB_IOCTL_SHARED_MEMORY_WRITE:
    case HB_IOCTL_ASYNC_EVENT_REGISTER:
    case HB_IOCTL_ASYNC_EVENT_DEREGISTER:
    case HB_IOCTL_VP_READ:
    case HB_IOCTL_VP_WRITE:
    case HB_IOCTL_SIGNAL_VP:
        return true;
    default:
        return false;
    }
}

// The requests a client may post, and the event they may name: the monitor's
// reply, which the board raises only in answer to a request.
inline constexpr bool mayBePosted(uint32_t controlCode) {
    return controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER ||
           controlCode == HB_IOCTL_ASYNC_EVENT_DEREGISTER;
}
inline constexpr uint32_t kPostedEvent = HB_EVENT_MONITOR_REPLY;

// A request header whose sizes are consistent and within limits. Checked by
// the device before it reserves room for the payload.
inline bool requestSizesValid(const FrameHeader& h) {
    if (h.totalSize < kHeaderSize || h.totalSize > kMaxFrameSize) {
        return false;
    }
    if ((h.flags & ~kKnownFlags) != 0 || (h.flags & kFlagReply) != 0) {
        return false;
    }
    const uint64_t carried = uint64_t{h.inputSize} + h.dataSize;
    if (carried != h.payloadSize()) {
        return false;
    }
    if (h.flags & kFlagHello) {
        return h.inputSize == kHelloPayloadSize && h.dataSize == 0 && (h.flags & kFlagNotice) == 0;
    }
    if (h.flags & kFlagNotice) {
        return h.inputSize == kNoticePayloadSize && h.dataSize == 0 && h.outputCapacity == 0 &&
               (h.flags & (kFlagDescriptor | kFlagPosted)) == 0;
    }
    if ((h.flags & kFlagPosted) && (!mayBePosted(h.controlCode) || h.outputCapacity != 0)) {
        return false;
    }
    if (!secondBufferGoesToDevice(h.controlCode) && h.dataSize != 0) {
        return false;
    }
    if (secondBufferGoesToDevice(h.controlCode) && h.dataSize != h.outputCapacity) {
        return false;
    }
    return h.outputCapacity <= kMaxPayload;
}

// A reply header that answers `request` without exceeding what it may carry.
// Checked by the library before it copies anything to the caller.
inline bool replySizesValid(const FrameHeader& reply, const FrameHeader& request) {
    if (reply.totalSize < kHeaderSize || reply.totalSize > kMaxFrameSize) {
        return false;
    }
    if ((reply.flags & kFlagReply) == 0 || (reply.flags & kFlagNotice) != 0 ||
        reply.requestId != request.requestId) {
        return false;
    }
    if ((reply.flags & kFlagDescriptor) != 0 && (request.flags & kFlagHello) == 0) {
        return false;
    }
    if ((reply.flags & kFlagHello) != (request.flags & kFlagHello)) {
        return false;
    }
    if (reply.flags & kFlagHello) {
        return reply.payloadSize() == kHelloReplyPayloadSize || reply.payloadSize() == 0;
    }
    if (secondBufferGoesToDevice(request.controlCode)) {
        return reply.payloadSize() == 0 && reply.bytesReturned <= request.dataSize;
    }
    return reply.payloadSize() <= request.outputCapacity &&
           reply.bytesReturned == reply.payloadSize();
}

// The device's answer to a hello, as the client reads it.
struct HelloReply {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t features = 0;
    uint32_t memorySize = 0;
};

inline HelloReply decodeHelloReply(const uint8_t in[kHelloReplyPayloadSize]) {
    return {getLe32(in), getLe32(in + 4), getLe32(in + 8), getLe32(in + 12)};
}

} // namespace hb::wire
