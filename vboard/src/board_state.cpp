// One virtual board's state and its operations: registers, shared memory,
// events, the VP's queues, the fault plan and the trace.
#include "board_state.h"

#include "device_wire.h"
#include "mapped_memory.h"

#include "hbsys9u.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace hb::vboard {

uint32_t defaultSharedMemorySize(uint32_t boardType, uint32_t busWidth) {
    if (boardType == 27 && busWidth == 1) {
        return 4u << 10;
    }
    if (boardType == 27 && (busWidth == 2 || busWidth == 3)) {
        return 16u << 10;
    }
    return 256u << 10;
}

namespace detail {

namespace {

bool inRange(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

// Signals an eventfd without ever blocking the caller: an eventfd whose
// counter is about to overflow is left alone.
bool signalDescriptor(int descriptor) {
    pollfd p{descriptor, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
        return false;
    }
    const uint64_t one = 1;
    return ::write(descriptor, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

// The transport a board's configuration leaves to the environment:
// HB_VBOARD_TRANSPORT=socket keeps every request a frame.
bool mappingWanted(MemoryTransport transport) {
    if (transport != MemoryTransport::Default) {
        return transport == MemoryTransport::Mapped;
    }
    const char* chosen = std::getenv("HB_VBOARD_TRANSPORT");
    return chosen == nullptr || std::string_view(chosen) != "socket";
}

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Requests a mapped host makes without a round trip: shared-memory reads and
// writes, posted registrations.
bool planWatchesShortcuts(const FaultPlan& plan) {
    return std::any_of(plan.requests.begin(), plan.requests.end(), [](const RequestFault& f) {
        return f.controlCode == kAnyRequest || f.controlCode == HB_IOCTL_SHARED_MEMORY_READ ||
               f.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE || wire::mayBePosted(f.controlCode);
    });
}

size_t traceCost(const TraceEntry& e) {
    return e.input.size() + e.data.size() + e.name.size();
}

} // namespace

BoardState::BoardState(int index, const BoardConfig& config, std::string socketPath)
    : index_(index), config_(config), socketPath_(std::move(socketPath)),
      memorySize_(config.sharedMemorySize != 0
                      ? config.sharedMemorySize
                      : defaultSharedMemorySize(config.boardType, config.busWidth)),
      offersMapping_(mappingWanted(config.transport)), registers_(kRegisterSpaceSize / 4) {
    // Zero-filled, sealed so that no one can shrink it under a mapping.
    mappedLength_ = wire::mappedFileSize(memorySize_);
    memoryFd_ = ::memfd_create("hbboard", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memoryFd_ < 0) {
        throwErrno("memfd_create");
    }
    void* base = MAP_FAILED;
    if (::ftruncate(memoryFd_, static_cast<off_t>(mappedLength_)) != 0 ||
        ::fcntl(memoryFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0 ||
        (base = ::mmap(nullptr, mappedLength_, PROT_READ | PROT_WRITE, MAP_SHARED, memoryFd_, 0)) ==
            MAP_FAILED) {
        const int error = errno;
        ::close(memoryFd_);
        errno = error;
        throwErrno("shared memory");
    }
    memory_ = static_cast<uint8_t*>(base);
    control_ = wire::ControlPage(memory_ + wire::controlPageOffset(memorySize_));
    updateRoute();
}

BoardState::~BoardState() {
    faults_.stop(); // no late event may fire at a descriptor closed below
    for (auto& [id, registration] : events_) {
        ::close(registration.descriptor);
    }
    ::munmap(memory_, mappedLength_);
    ::close(memoryFd_);
}

// ---- Route of mapped hosts' requests ----------------------------------------

void BoardState::setFaultPlan(const FaultPlan& plan) {
    {
        std::lock_guard lock(mutex_);
        planWatchesShortcuts_ = planWatchesShortcuts(plan);
    }
    // Frames first, then the plan: no mapped request slips past its count.
    updateRoute();
    faults_.setPlan(plan);
}

void BoardState::setWriteNotices(bool wanted) {
    notices_.store(wanted);
    updateRoute();
}

void BoardState::setTracing(bool on) {
    tracing_.store(on, std::memory_order_relaxed);
    updateRoute();
}

void BoardState::updateRoute() {
    bool frames, notices;
    VpSide::WriteRange noticed;
    {
        std::lock_guard lock(mutex_);
        frames = planWatchesShortcuts_ || traceListener_ != nullptr || tracing();
        // Without a VP side no hook reacts; waiters wake by the change count.
        notices = notices_.load() && vp_ != nullptr;
        if (notices) {
            noticed = vp_->writesOfInterest();
        }
    }
    control_.setRoute(frames, notices, noticed.offset, noticed.length);
}

bool BoardState::noteMappedWrite(uint32_t offset, uint32_t length) {
    // The host announced the write itself: its waiters are awake already.
    return inRange(offset, length, memorySize_);
}

// ---- Shared memory ---------------------------------------------------------

bool BoardState::readShared(uint32_t offset, void* out, uint32_t length) const {
    std::lock_guard lock(memoryMutex_);
    if (!inRange(offset, length, memorySize_)) {
        return false;
    }
    if (length > 0) {
        std::memcpy(out, memory_ + offset, length);
    }
    return true;
}

bool BoardState::writeShared(uint32_t offset, const void* data, uint32_t length) {
    {
        std::lock_guard lock(memoryMutex_);
        if (!inRange(offset, length, memorySize_)) {
            return false;
        }
        if (length > 0) {
            std::memcpy(memory_ + offset, data, length);
        }
    }
    control_.announceWrite();
    return true;
}

uint32_t BoardState::readSharedWord(uint32_t offset) const {
    uint8_t bytes[4] = {};
    return readShared(offset, bytes, 4) ? wire::getLe32(bytes) : 0;
}

bool BoardState::writeSharedWord(uint32_t offset, uint32_t value) {
    uint8_t bytes[4];
    wire::putLe32(bytes, value);
    return writeShared(offset, bytes, 4);
}

bool BoardState::waitForSharedWord(uint32_t offset, uint32_t value,
                                   std::chrono::milliseconds timeout) const {
    if (!inRange(offset, 4, memorySize_)) {
        return false;
    }
    return control_.sleepUntil([&] { return readSharedWord(offset) == value; }, timeout, wordSpin_);
}

// ---- Events ----------------------------------------------------------------

bool BoardState::raiseEvent(uint32_t eventId) {
    const EventDecision fault = faults_.onEvent(eventId);
    if (fault.signalLater) {
        faults_.signalLater(eventId, fault.delay);
    }
    if (!fault.signalNow) {
        return isEventRegistered(eventId); // lost or late: the VP cannot tell
    }
    return signalEvent(eventId);
}

bool BoardState::signalEvent(uint32_t eventId) {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(eventId);
    return it != events_.end() && signalDescriptor(it->second.descriptor);
}

bool BoardState::isEventRegistered(uint32_t eventId) const {
    std::lock_guard lock(mutex_);
    return events_.count(eventId) != 0;
}

bool BoardState::registerEvent(uint32_t eventId, int descriptor, ConnectionId owner) {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(eventId);
    if (it != events_.end()) {
        ::close(it->second.descriptor);
        it->second = {descriptor, owner};
        return true;
    }
    if (events_.size() >= kMaxRegistrations) {
        return false;
    }
    events_.emplace(eventId, Registration{descriptor, owner});
    return true;
}

bool BoardState::deregisterEvent(uint32_t eventId) {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(eventId);
    if (it == events_.end()) {
        return false;
    }
    ::close(it->second.descriptor);
    events_.erase(it);
    return true;
}

void BoardState::releaseConnection(ConnectionId owner) {
    control_.announceClose(); // mapped hosts look at their connection now
    std::lock_guard lock(mutex_);
    std::erase_if(events_, [&](const auto& entry) {
        if (entry.second.owner != owner) {
            return false;
        }
        ::close(entry.second.descriptor);
        return true;
    });
}

// ---- Registers, reset, signals --------------------------------------------

bool BoardState::registerInRange(uint32_t offset) {
    return offset % 4 == 0 && offset < kRegisterSpaceSize;
}

uint32_t BoardState::registerValue(uint32_t offset) const {
    if (!registerInRange(offset)) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    return registers_[offset / 4];
}

void BoardState::writeRegister(uint32_t offset, uint32_t value) {
    std::lock_guard lock(mutex_);
    registers_[offset / 4] = value;
}

uint32_t BoardState::resetCount() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

void BoardState::resetVp() {
    std::lock_guard lock(mutex_);
    ++resets_;
}

std::vector<uint32_t> BoardState::signalsReceived() const {
    std::lock_guard lock(mutex_);
    return signals_;
}

void BoardState::receiveSignal(uint32_t code) {
    std::lock_guard lock(mutex_);
    signals_.push_back(code);
}

// ---- VP byte queues --------------------------------------------------------

size_t BoardState::takeFromHost(void* out, size_t capacity) {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(capacity, fromHost_.size());
    std::copy_n(fromHost_.begin(), n, static_cast<uint8_t*>(out));
    fromHost_.erase(fromHost_.begin(), fromHost_.begin() + static_cast<ptrdiff_t>(n));
    return n;
}

void BoardState::sendToHost(const void* data, size_t length) {
    std::lock_guard lock(mutex_);
    const auto* bytes = static_cast<const uint8_t*>(data);
    toHost_.insert(toHost_.end(), bytes, bytes + length);
}

bool BoardState::queueFromHost(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    if (length > kMaxQueuedBytes - fromHost_.size()) {
        return false;
    }
    fromHost_.insert(fromHost_.end(), data, data + length);
    return true;
}

size_t BoardState::takeForHost(uint8_t* out, size_t capacity) {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(capacity, toHost_.size());
    std::copy_n(toHost_.begin(), n, out);
    toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<ptrdiff_t>(n));
    return n;
}

// ---- Hardware information ----------------------------------------------------

std::vector<uint8_t> BoardState::hwInfo() const {
    std::vector<uint8_t> record(kHwInfoSize, 0);
    const auto word = [&](size_t index, uint32_t value) {
        wire::putLe32(&record[4 * index], value);
    };
    word(0, config_.boardType);
    word(1, config_.serialNumber);
    word(2, config_.revision);
    word(3, sharedMemorySize());
    word(4, kRegisterSpaceSize);
    word(5, 0x10B5); // PLX Technology
    word(6, 0x9054); // PCI 9054 bridge
    word(11, config_.busWidth);
    return record;
}

// ---- Trace and VP side -----------------------------------------------------

std::vector<TraceEntry> BoardState::trace() const {
    std::lock_guard lock(mutex_);
    return {trace_.begin(), trace_.end()};
}

void BoardState::clearTrace() {
    std::lock_guard lock(mutex_);
    trace_.clear();
    traceBytes_ = 0;
}

void BoardState::setTraceListener(std::function<void(const TraceEntry&)> listener) {
    std::shared_ptr<const std::function<void(const TraceEntry&)>> kept;
    if (listener) {
        kept = std::make_shared<const std::function<void(const TraceEntry&)>>(std::move(listener));
    }
    {
        std::lock_guard lock(mutex_);
        traceListener_ = std::move(kept);
    }
    updateRoute();
}

void BoardState::appendTrace(TraceEntry entry) {
    std::shared_ptr<const std::function<void(const TraceEntry&)>> listener;
    {
        std::lock_guard lock(mutex_);
        listener = traceListener_;
    }
    // Outside the lock: the listener may look at the board.
    if (listener) {
        (*listener)(entry);
    }
    if (!tracing()) {
        return;
    }
    std::lock_guard lock(mutex_);
    traceBytes_ += traceCost(entry);
    trace_.push_back(std::move(entry));
    while (trace_.size() > kMaxTraceEntries ||
           (traceBytes_ > kMaxTraceBytes && trace_.size() > 1)) {
        traceBytes_ -= traceCost(trace_.front());
        trace_.pop_front();
    }
}

void BoardState::setVpSide(std::shared_ptr<VpSide> vp) {
    std::shared_ptr<VpSide> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(vp_, std::move(vp));
    }
    setWriteNotices(true); // a new side hears of every write until it says otherwise
    // Outside the lock: a side that stops its threads may wait for one that
    // is still raising an event on this board.
    if (previous && previous != vpSide()) {
        previous->onDetach(*this);
    }
}

std::shared_ptr<VpSide> BoardState::vpSide() const {
    std::lock_guard lock(mutex_);
    return vp_;
}

// ---- Connections -----------------------------------------------------------

void BoardState::setDropHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    dropHandler_ = std::move(handler);
}

void BoardState::dropConnections() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = dropHandler_;
    }
    if (handler) {
        handler();
    }
}

void BoardState::setConnectionCount(size_t count) {
    std::lock_guard lock(mutex_);
    connections_ = count;
}

size_t BoardState::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

} // namespace detail
} // namespace hb::vboard
