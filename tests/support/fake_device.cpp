#include "support/fake_device.h"

#include "hbsys9u.h"
#include "little_endian.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

namespace hbtest {

namespace {

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kHwInfoSize = 68;
constexpr uint32_t kRegistrationSize = 24;

uint32_t wordAt(const void* buffer, uint32_t size, uint32_t at) {
    uint8_t bytes[4] = {};
    if (buffer != nullptr && size >= at + 4) {
        std::memcpy(bytes, static_cast<const uint8_t*>(buffer) + at, 4);
    }
    return hb::getLe32(bytes);
}

void putWord(uint8_t* to, uint32_t value) {
    hb::putLe32(to, value);
}

// Zero-length transfers may come with null buffers.
void copyBytes(void* to, const void* from, size_t length) {
    if (length > 0) {
        std::memcpy(to, from, length);
    }
}

bool inRange(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

// The process's fake devices: board names, and the open handles, each a
// small number that names no other object.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<FakeBoard>> boards;
    std::map<uint32_t, std::weak_ptr<FakeBoard>> handles;
    uint32_t nextHandle = 0x10000;
    int nextDevice = 0;
};

Registry& registry() {
    static Registry* instance = new Registry; // outlives every static destructor
    return *instance;
}

uint32_t handleId(hb::platform::Handle handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return value <= 0xFFFFFFFFu ? static_cast<uint32_t>(value) : 0;
}

std::shared_ptr<FakeBoard> boardOf(hb::platform::Handle handle, bool* known) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handles.find(handleId(handle));
    *known = it != r.handles.end();
    return *known ? it->second.lock() : nullptr;
}

} // namespace

FakeBoard::FakeBoard(const FakeBoardConfig& config)
    : config_(config), memory_(config.sharedMemorySize, 0) {}

void FakeBoard::readShared(uint32_t offset, void* out, uint32_t length) const {
    std::lock_guard lock(mutex_);
    if (!inRange(offset, length, memory_.size())) {
        throw std::out_of_range("read beyond the fake board's shared memory");
    }
    copyBytes(out, memory_.data() + offset, length);
}

void FakeBoard::writeShared(uint32_t offset, const void* data, uint32_t length) {
    std::lock_guard lock(mutex_);
    if (!inRange(offset, length, memory_.size())) {
        throw std::out_of_range("write beyond the fake board's shared memory");
    }
    copyBytes(memory_.data() + offset, data, length);
}

uint32_t FakeBoard::sharedWord(uint32_t offset) const {
    uint8_t bytes[4];
    readShared(offset, bytes, 4);
    return wordAt(bytes, 4, 0);
}

bool FakeBoard::raiseEvent(uint32_t eventId) {
    // The event is set under the lock: a deregistration, after which the
    // library may destroy the event, waits until the signal is out.
    std::lock_guard lock(mutex_);
    auto it = events_.find(eventId);
    if (it == events_.end()) {
        return false;
    }
    return hb__EventSet(it->second.event) == 0;
}

bool FakeBoard::eventRegistered(uint32_t eventId) const {
    std::lock_guard lock(mutex_);
    return events_.count(eventId) != 0;
}

std::vector<FakeRequest> FakeBoard::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

size_t FakeBoard::requestCount() const {
    std::lock_guard lock(mutex_);
    return log_.size();
}

size_t FakeBoard::count(uint32_t controlCode) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const FakeRequest& r) {
        return r.controlCode == controlCode;
    }));
}

bool FakeBoard::waitForRequest(size_t from, const std::function<bool(const FakeRequest&)>& match,
                               std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    size_t next = from;
    return logged_.wait_for(lock, limit, [&] {
        for (; next < log_.size(); ++next) {
            if (match(log_[next])) {
                return true;
            }
        }
        return false;
    });
}

void FakeBoard::failNext(uint32_t controlCode, uint32_t error, uint32_t times) {
    std::lock_guard lock(mutex_);
    failures_[controlCode] = {error, times};
}

size_t FakeBoard::openHandles() const {
    std::lock_guard lock(mutex_);
    return openHandles_;
}

size_t FakeBoard::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

uint32_t FakeBoard::registerValue(uint32_t offset) const {
    std::lock_guard lock(mutex_);
    auto it = registers_.find(offset);
    return it != registers_.end() ? it->second : 0;
}

void FakeBoard::opened() {
    std::lock_guard lock(mutex_);
    ++openHandles_;
}

void FakeBoard::closed(uint32_t handleId) {
    std::lock_guard lock(mutex_);
    --openHandles_;
    std::erase_if(events_, [&](const auto& entry) { return entry.second.handleId == handleId; });
}

bool FakeBoard::control(uint32_t handleId, uint32_t controlCode, const void* in, uint32_t inSize,
                        void* out, uint32_t outSize, uint32_t* bytesReturned, uint32_t* error) {
    std::lock_guard lock(mutex_);
    FakeRequest entry;
    entry.controlCode = controlCode;
    entry.inSize = inSize;
    entry.length = outSize;
    entry.argument = wordAt(in, inSize, 0);
    if (inSize > 0) {
        const auto* bytes = static_cast<const uint8_t*>(in);
        entry.input.assign(bytes, bytes + inSize);
    }
    auto* data = static_cast<uint8_t*>(out);
    uint32_t returned = 0;
    uint32_t status = 0;
    const auto expectInput = [&](uint32_t size) {
        if (inSize != size) {
            status = kErrorInvalidParameter;
        }
        return status == 0;
    };

    if (auto failure = failures_.find(controlCode); failure != failures_.end()) {
        status = failure->second.error;
        if (--failure->second.times == 0) {
            failures_.erase(failure);
        }
    } else {
        switch (controlCode) {
        case HB_IOCTL_SHARED_MEMORY_READ:
            if (expectInput(4)) {
                if (!inRange(entry.argument, outSize, memory_.size())) {
                    status = kErrorInvalidParameter;
                } else {
                    copyBytes(data, memory_.data() + entry.argument, outSize);
                    entry.value = wordAt(data, outSize, 0);
                    returned = outSize;
                }
            }
            break;
        case HB_IOCTL_SHARED_MEMORY_WRITE:
            if (expectInput(4)) {
                if (!inRange(entry.argument, outSize, memory_.size())) {
                    status = kErrorInvalidParameter;
                } else {
                    copyBytes(memory_.data() + entry.argument, data, outSize);
                    entry.value = wordAt(data, outSize, 0);
                    returned = outSize;
                }
            }
            break;
        case HB_IOCTL_GET_HW_INFO:
            if (expectInput(0)) {
                if (outSize < kHwInfoSize) {
                    status = kErrorInvalidParameter;
                } else {
                    std::memset(data, 0, kHwInfoSize);
                    putWord(data, config_.boardType);
                    putWord(data + 44, config_.busWidth);
                    returned = kHwInfoSize;
                }
            }
            break;
        case HB_IOCTL_ASYNC_EVENT_REGISTER:
            if (expectInput(kRegistrationSize)) {
                // The record carries the event's handle value in 32 bits.
                const uintptr_t event = wordAt(in, inSize, 4);
                events_[entry.argument] = {reinterpret_cast<void*>(event), handleId};
                entry.value = static_cast<uint32_t>(event);
            }
            break;
        case HB_IOCTL_ASYNC_EVENT_DEREGISTER:
            if (expectInput(4) && events_.erase(entry.argument) == 0) {
                status = kErrorInvalidParameter;
            }
            break;
        case HB_IOCTL_RESET_VP:
            if (expectInput(0)) {
                ++resets_;
            }
            break;
        case HB_IOCTL_PLX_REGISTER_READ:
            if (expectInput(4)) {
                if (outSize < 4) {
                    status = kErrorInvalidParameter;
                } else {
                    auto it = registers_.find(entry.argument);
                    entry.value = it != registers_.end() ? it->second : 0;
                    putWord(data, entry.value);
                    returned = 4;
                }
            }
            break;
        case HB_IOCTL_PLX_REGISTER_WRITE:
            if (expectInput(4)) {
                if (outSize != 4) {
                    status = kErrorInvalidParameter;
                } else {
                    entry.value = wordAt(data, outSize, 0);
                    registers_[entry.argument] = entry.value;
                }
            }
            break;
        case HB_IOCTL_SIGNAL_VP:
            expectInput(4);
            break;
        case HB_IOCTL_VP_WRITE:
            // Taken whole; the fake has no VP that would consume it.
            if (expectInput(16)) {
                entry.value = wordAt(data, outSize, 0);
                returned = outSize;
            }
            break;
        case HB_IOCTL_VP_READ:
            expectInput(0); // nothing waiting from the VP
            break;
        default:
            status = kErrorInvalidFunction;
            break;
        }
    }
    entry.status = status;
    log_.push_back(entry);
    logged_.notify_all();
    *bytesReturned = returned;
    *error = status;
    return status == 0;
}

FakeDevice::FakeDevice() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    baseName_ = "fakehb" + std::to_string(r.nextDevice++) + "-";
}

FakeDevice::~FakeDevice() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [index, board] : boards_) {
        r.boards.erase(baseName_ + std::to_string(index + 1));
    }
}

FakeBoard& FakeDevice::addBoard(int index, const FakeBoardConfig& config) {
    auto board = std::make_shared<FakeBoard>(config);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.boards[baseName_ + std::to_string(index + 1)] = board;
    boards_[index] = board;
    return *board;
}

} // namespace hbtest

// The seam functions, in place of the backend's device channel.
namespace hb::platform {

using hbtest::FakeBoard;

Handle deviceOpen(const char* name) {
    hbtest::Registry& r = hbtest::registry();
    std::shared_ptr<FakeBoard> board;
    uint32_t id = 0;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.boards.find(name);
        board = it != r.boards.end() ? it->second.lock() : nullptr;
        if (board == nullptr) {
            setLastError(hbtest::kErrorFileNotFound);
            return nullptr;
        }
        id = r.nextHandle;
        r.nextHandle += 4;
        r.handles[id] = board;
    }
    board->opened();
    return reinterpret_cast<Handle>(uintptr_t{id});
}

void deviceClose(Handle device) {
    hbtest::Registry& r = hbtest::registry();
    std::shared_ptr<FakeBoard> board;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.handles.find(hbtest::handleId(device));
        if (it == r.handles.end()) {
            return;
        }
        board = it->second.lock();
        r.handles.erase(it);
    }
    if (board != nullptr) {
        board->closed(hbtest::handleId(device));
    }
}

bool deviceControl(Handle device, uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    *bytesReturned = 0;
    if ((inSize > 0 && inBuffer == nullptr) || (outSize > 0 && outBuffer == nullptr)) {
        setLastError(hbtest::kErrorInvalidParameter);
        return false;
    }
    bool known = false;
    std::shared_ptr<FakeBoard> board = hbtest::boardOf(device, &known);
    if (board == nullptr) {
        setLastError(known ? hbtest::kErrorDeviceNotConnected : hbtest::kErrorInvalidHandle);
        return false;
    }
    uint32_t error = 0;
    if (!board->control(hbtest::handleId(device), controlCode, inBuffer, inSize, outBuffer, outSize,
                        bytesReturned, &error)) {
        setLastError(error);
        return false;
    }
    return true;
}

} // namespace hb::platform
