#include "request_handler.h"

#include "device_wire.h"
#include "hbsys9u.h"

#include <algorithm>
#include <climits>
#include <string>

#include <unistd.h>

namespace hb::vboard {

namespace {

enum class Kind {
    ResetVp,
    PlxRegisterRead,
    PlxRegisterWrite,
    SharedMemoryRead,
    SharedMemoryWrite,
    AsyncEventRegister,
    AsyncEventDeregister,
    VpRead,
    VpWrite,
    SignalVp,
    GetHwInfo,
    Unknown,
};

// What each control code carries: the exact input size, and whether an
// event descriptor comes with it.
struct RequestShape {
    uint32_t code;
    Kind kind;
    const char* name;
    uint32_t inputSize;
    bool takesDescriptor;
};

constexpr uint32_t kRegistrationSize = 24;
constexpr uint32_t kVpRequestSize = 16;

constexpr RequestShape kRequests[] = {
    {HB_IOCTL_RESET_VP, Kind::ResetVp, "ResetVp", 0, false},
    {HB_IOCTL_PLX_REGISTER_READ, Kind::PlxRegisterRead, "PlxRegisterRead", 4, false},
    {HB_IOCTL_PLX_REGISTER_WRITE, Kind::PlxRegisterWrite, "PlxRegisterWrite", 4, false},
    {HB_IOCTL_SHARED_MEMORY_READ, Kind::SharedMemoryRead, "SharedMemoryRead", 4, false},
    {HB_IOCTL_SHARED_MEMORY_WRITE, Kind::SharedMemoryWrite, "SharedMemoryWrite", 4, false},
    {HB_IOCTL_ASYNC_EVENT_REGISTER, Kind::AsyncEventRegister, "AsyncEventRegister",
     kRegistrationSize, true},
    {HB_IOCTL_ASYNC_EVENT_DEREGISTER, Kind::AsyncEventDeregister, "AsyncEventDeregister", 4, false},
    {HB_IOCTL_VP_READ, Kind::VpRead, "VpRead", 0, false},
    {HB_IOCTL_VP_WRITE, Kind::VpWrite, "VpWrite", kVpRequestSize, false},
    {HB_IOCTL_SIGNAL_VP, Kind::SignalVp, "SignalVp", 4, false},
    {HB_IOCTL_GET_HW_INFO, Kind::GetHwInfo, "GetHwInfo", 0, false},
};

constexpr RequestShape kUnknown{0, Kind::Unknown, "Unknown", 0, false};

const RequestShape& shapeOf(uint32_t code) {
    for (const auto& shape : kRequests) {
        if (shape.code == code) {
            return shape;
        }
    }
    return kUnknown;
}

uint32_t wordAt(std::span<const uint8_t> bytes, size_t offset) {
    return bytes.size() >= offset + 4 ? wire::getLe32(bytes.data() + offset) : 0;
}

// Only an eventfd may be kept as an event: anything else could block or
// mislead the board when it signals.
bool isEventDescriptor(int descriptor) {
    char target[64] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 && std::string_view(target, static_cast<size_t>(n)) == "anon_inode:[eventfd]";
}

bool inRange(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

} // namespace

std::string requestName(uint32_t controlCode) {
    return shapeOf(controlCode).name;
}

namespace detail {

bool changesBoard(uint32_t controlCode) {
    switch (shapeOf(controlCode).kind) {
    case Kind::ResetVp:
    case Kind::PlxRegisterWrite:
    case Kind::SharedMemoryWrite:
    case Kind::AsyncEventRegister:
    case Kind::AsyncEventDeregister:
    case Kind::VpRead:
    case Kind::VpWrite:
    case Kind::SignalVp:
        return true;
    default:
        return false;
    }
}

Outcome handleRequest(BoardState& board, const RawRequest& request, std::vector<int>& descriptors,
                      std::vector<uint8_t>& payload) {
    payload.clear();

    // Decode: what the request is, and the words its input carries.
    const RequestShape& shape = shapeOf(request.controlCode);
    TraceEntry entry;
    entry.received = std::chrono::steady_clock::now();
    entry.controlCode = request.controlCode;
    entry.name = shape.name;
    if (board.tracing()) {
        entry.input.assign(request.input.begin(), request.input.end());
        entry.data.assign(request.data.begin(), request.data.end());
    }
    const uint32_t firstWord = wordAt(request.input, 0);
    const RequestDecision fault = board.faults().onRequest(request.controlCode);

    Outcome outcome;
    outcome.replyFault = fault.reply;
    const auto fail = [&](uint32_t status) {
        outcome.status = status;
        outcome.bytesReturned = 0;
    };
    const auto giveBack = [&](size_t length) {
        outcome.bytesReturned = static_cast<uint32_t>(length);
    };

    // Check and act.
    if (shape.kind == Kind::Unknown) {
        fail(wire::kStatusInvalidFunction);
    } else if (request.input.size() != shape.inputSize ||
               descriptors.size() != (shape.takesDescriptor ? 1u : 0u)) {
        fail(wire::kStatusInvalidParameter);
    } else if (fault.fail) {
        fail(fault.status); // refused before it takes effect
    } else {
        switch (shape.kind) {
        case Kind::ResetVp:
            board.resetVp();
            break;
        case Kind::PlxRegisterRead:
            entry.offset = firstWord;
            if (!BoardState::registerInRange(firstWord) || request.outputCapacity < 4) {
                fail(wire::kStatusInvalidParameter);
                break;
            }
            entry.value = board.registerValue(firstWord);
            payload.resize(4);
            wire::putLe32(payload.data(), entry.value);
            giveBack(4);
            break;
        case Kind::PlxRegisterWrite:
            entry.offset = firstWord;
            entry.value = wordAt(request.data, 0);
            if (!BoardState::registerInRange(firstWord) || request.data.size() != 4) {
                fail(wire::kStatusInvalidParameter);
                break;
            }
            board.writeRegister(firstWord, entry.value);
            break;
        case Kind::SharedMemoryRead:
            entry.offset = firstWord;
            entry.length = request.outputCapacity;
            if (!inRange(firstWord, request.outputCapacity, board.sharedMemorySize())) {
                fail(wire::kStatusInvalidParameter);
                break;
            }
            payload.resize(request.outputCapacity);
            board.readShared(firstWord, payload.data(), request.outputCapacity);
            entry.value = wordAt(payload, 0);
            giveBack(payload.size());
            break;
        case Kind::SharedMemoryWrite:
            entry.offset = firstWord;
            entry.length = static_cast<uint32_t>(request.data.size());
            entry.value = wordAt(request.data, 0);
            if (!board.writeShared(firstWord, request.data.data(), entry.length)) {
                fail(wire::kStatusInvalidParameter);
                break;
            }
            giveBack(entry.length);
            break;
        case Kind::AsyncEventRegister:
            entry.offset = firstWord;
            entry.value = wordAt(request.input, 20);
            if (!isEventDescriptor(descriptors[0])) {
                fail(wire::kStatusInvalidParameter);
            } else if (!board.registerEvent(firstWord, descriptors[0], request.connection)) {
                fail(wire::kStatusNoResources);
            } else {
                descriptors[0] = -1; // kept by the board
            }
            break;
        case Kind::AsyncEventDeregister:
            entry.offset = firstWord;
            if (!board.deregisterEvent(firstWord)) {
                fail(wire::kStatusInvalidParameter);
            }
            break;
        case Kind::VpRead: {
            payload.resize(fault.shortTransfer ? std::min(fault.limit, request.outputCapacity)
                                               : request.outputCapacity);
            const size_t n = board.takeForHost(payload.data(), payload.size());
            payload.resize(n);
            entry.length = static_cast<uint32_t>(n);
            entry.value = wordAt(payload, 0);
            giveBack(n);
            break;
        }
        case Kind::VpWrite: {
            const size_t taken = fault.shortTransfer
                                     ? std::min<size_t>(fault.limit, request.data.size())
                                     : request.data.size();
            entry.length = static_cast<uint32_t>(taken);
            entry.value = wordAt(request.data, 0);
            if (!board.queueFromHost(request.data.data(), taken)) {
                fail(wire::kStatusNoResources);
                break;
            }
            giveBack(taken);
            break;
        }
        case Kind::SignalVp:
            entry.value = firstWord;
            board.receiveSignal(firstWord);
            break;
        case Kind::GetHwInfo:
            if (request.outputCapacity < kHwInfoSize) {
                fail(wire::kStatusInvalidParameter);
                break;
            }
            payload = board.hwInfo();
            giveBack(payload.size());
            break;
        case Kind::Unknown:
            break;
        }
    }
    if (outcome.status != wire::kStatusSuccess) {
        payload.clear();
    }
    entry.status = outcome.status;
    board.appendTrace(std::move(entry));

    // The VP side sees the request after it took effect, before the reply.
    if (outcome.status == wire::kStatusSuccess && !fault.fail) {
        if (const auto vp = board.vpSide()) {
            switch (shape.kind) {
            case Kind::ResetVp:
                vp->onReset(board);
                break;
            case Kind::SharedMemoryWrite:
                if (!request.data.empty()) {
                    vp->onSharedMemoryWrite(board, firstWord,
                                            static_cast<uint32_t>(request.data.size()));
                }
                break;
            case Kind::PlxRegisterWrite:
                vp->onRegisterWrite(board, firstWord, wordAt(request.data, 0));
                break;
            case Kind::SignalVp:
                vp->onSignal(board, firstWord);
                break;
            default:
                break;
            }
        }
    }
    return outcome;
}

} // namespace detail
} // namespace hb::vboard
