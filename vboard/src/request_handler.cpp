// Carries out one host request on a virtual board: decodes its words by the
// request's shape, checks them, acts, traces, and shows the VP side.
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

namespace {

// One request on its way through the board: what came in, what the fault
// plan decided, and what goes back.
struct Exchange {
    BoardState& board;
    const RawRequest& request;
    std::vector<int>& descriptors;
    std::vector<uint8_t>& payload;
    const RequestDecision& fault;
    uint32_t firstWord;
    TraceEntry& entry;
    Outcome& outcome;

    void fail(uint32_t status) {
        outcome.status = status;
        outcome.bytesReturned = 0;
    }
    void giveBack(size_t length) { outcome.bytesReturned = static_cast<uint32_t>(length); }
};

TraceEntry traceEntryFor(const BoardState& board, const RawRequest& request,
                         const RequestShape& shape) {
    TraceEntry entry;
    entry.received = std::chrono::steady_clock::now();
    entry.controlCode = request.controlCode;
    entry.name = shape.name;
    if (board.tracing()) {
        entry.input.assign(request.input.begin(), request.input.end());
        entry.data.assign(request.data.begin(), request.data.end());
    }
    return entry;
}

// A request the board does not take as it stands: unknown, malformed, or
// refused by the fault plan before it takes effect.
bool refused(Exchange& x, const RequestShape& shape) {
    if (shape.kind == Kind::Unknown) {
        x.fail(wire::kStatusInvalidFunction);
    } else if (x.request.input.size() != shape.inputSize ||
               x.descriptors.size() != (shape.takesDescriptor ? 1u : 0u)) {
        x.fail(wire::kStatusInvalidParameter);
    } else if (x.fault.fail) {
        x.fail(x.fault.status);
    } else {
        return false;
    }
    return true;
}

// The operations: each fills its trace fields, checks its words and acts.

void readRegister(Exchange& x) {
    x.entry.offset = x.firstWord;
    if (!BoardState::registerInRange(x.firstWord) || x.request.outputCapacity < 4) {
        x.fail(wire::kStatusInvalidParameter);
        return;
    }
    x.entry.value = x.board.registerValue(x.firstWord);
    x.payload.resize(4);
    wire::putLe32(x.payload.data(), x.entry.value);
    x.giveBack(4);
}

void writeRegister(Exchange& x) {
    x.entry.offset = x.firstWord;
    x.entry.value = wordAt(x.request.data, 0);
    if (!BoardState::registerInRange(x.firstWord) || x.request.data.size() != 4) {
        x.fail(wire::kStatusInvalidParameter);
        return;
    }
    x.board.writeRegister(x.firstWord, x.entry.value);
}

void readSharedMemory(Exchange& x) {
    const uint32_t length = x.request.outputCapacity;
    x.entry.offset = x.firstWord;
    x.entry.length = length;
    if (!inRange(x.firstWord, length, x.board.sharedMemorySize())) {
        x.fail(wire::kStatusInvalidParameter);
        return;
    }
    x.payload.resize(length);
    x.board.readShared(x.firstWord, x.payload.data(), length);
    x.entry.value = wordAt(x.payload, 0);
    x.giveBack(x.payload.size());
}

void writeSharedMemory(Exchange& x) {
    x.entry.offset = x.firstWord;
    x.entry.length = static_cast<uint32_t>(x.request.data.size());
    x.entry.value = wordAt(x.request.data, 0);
    if (!x.board.writeShared(x.firstWord, x.request.data.data(), x.entry.length)) {
        x.fail(wire::kStatusInvalidParameter);
        return;
    }
    x.giveBack(x.entry.length);
}

void registerEvent(Exchange& x) {
    int& descriptor = x.descriptors[0];
    x.entry.offset = x.firstWord;
    x.entry.value = wordAt(x.request.input, 20);
    if (!isEventDescriptor(descriptor)) {
        x.fail(wire::kStatusInvalidParameter);
    } else if (!x.board.registerEvent(x.firstWord, descriptor, x.request.connection)) {
        x.fail(wire::kStatusNoResources);
    } else {
        descriptor = -1; // kept by the board
    }
}

void deregisterEvent(Exchange& x) {
    x.entry.offset = x.firstWord;
    if (!x.board.deregisterEvent(x.firstWord)) {
        x.fail(wire::kStatusInvalidParameter);
    }
}

void readFromVp(Exchange& x) {
    const uint32_t capacity = x.request.outputCapacity;
    x.payload.resize(x.fault.shortTransfer ? std::min(x.fault.limit, capacity) : capacity);
    const size_t n = x.board.takeForHost(x.payload.data(), x.payload.size());
    x.payload.resize(n);
    x.entry.length = static_cast<uint32_t>(n);
    x.entry.value = wordAt(x.payload, 0);
    x.giveBack(n);
}

void writeToVp(Exchange& x) {
    const size_t offered = x.request.data.size();
    const size_t taken = x.fault.shortTransfer ? std::min<size_t>(x.fault.limit, offered) : offered;
    x.entry.length = static_cast<uint32_t>(taken);
    x.entry.value = wordAt(x.request.data, 0);
    if (!x.board.queueFromHost(x.request.data.data(), taken)) {
        x.fail(wire::kStatusNoResources);
        return;
    }
    x.giveBack(taken);
}

void getHardwareInfo(Exchange& x) {
    if (x.request.outputCapacity < kHwInfoSize) {
        x.fail(wire::kStatusInvalidParameter);
        return;
    }
    x.payload = x.board.hwInfo();
    x.giveBack(x.payload.size());
}

void carryOut(Exchange& x, Kind kind) {
    switch (kind) {
    case Kind::ResetVp:
        x.board.resetVp();
        break;
    case Kind::PlxRegisterRead:
        readRegister(x);
        break;
    case Kind::PlxRegisterWrite:
        writeRegister(x);
        break;
    case Kind::SharedMemoryRead:
        readSharedMemory(x);
        break;
    case Kind::SharedMemoryWrite:
        writeSharedMemory(x);
        break;
    case Kind::AsyncEventRegister:
        registerEvent(x);
        break;
    case Kind::AsyncEventDeregister:
        deregisterEvent(x);
        break;
    case Kind::VpRead:
        readFromVp(x);
        break;
    case Kind::VpWrite:
        writeToVp(x);
        break;
    case Kind::SignalVp:
        x.entry.value = x.firstWord;
        x.board.receiveSignal(x.firstWord);
        break;
    case Kind::GetHwInfo:
        getHardwareInfo(x);
        break;
    case Kind::Unknown:
        break;
    }
}

// The VP side sees a request after it took effect, before the reply.
void showVpSide(BoardState& board, Kind kind, const RawRequest& request, uint32_t firstWord) {
    const auto vp = board.vpSide();
    if (!vp) {
        return;
    }
    switch (kind) {
    case Kind::ResetVp:
        vp->onReset(board);
        break;
    case Kind::SharedMemoryWrite:
        if (!request.data.empty()) {
            vp->onSharedMemoryWrite(board, firstWord, static_cast<uint32_t>(request.data.size()));
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

} // namespace

Outcome handleRequest(BoardState& board, const RawRequest& request, std::vector<int>& descriptors,
                      std::vector<uint8_t>& payload) {
    payload.clear();
    const RequestShape& shape = shapeOf(request.controlCode);
    TraceEntry entry = traceEntryFor(board, request, shape);
    const RequestDecision fault = board.faults().onRequest(request.controlCode);
    Outcome outcome;
    outcome.replyFault = fault.reply;
    Exchange x{board, request, descriptors, payload, fault, wordAt(request.input, 0),
               entry, outcome};

    if (!refused(x, shape)) {
        carryOut(x, shape.kind);
    }
    if (outcome.status != wire::kStatusSuccess) {
        payload.clear();
    }
    entry.status = outcome.status;
    board.appendTrace(std::move(entry));
    if (outcome.status == wire::kStatusSuccess && !fault.fail) {
        showVpSide(board, shape.kind, request, x.firstWord);
    }
    return outcome;
}

} // namespace detail
} // namespace hb::vboard
