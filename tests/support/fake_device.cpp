// The in-process fake of the board's driver: each board's handling of the
// driver requests, and the seam functions of the platform layer that reach
// the boards by name and handle.
#include "support/fake_device.h"

#include "hbsys9u.h"
#include "little_endian.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace hbtest {

namespace {

constexpr uint32_t kErrorInvalidFunction = 1;

uint32_t wordAt(const void* buffer, uint32_t size, uint32_t at) {
    uint8_t bytes[4] = {};
    if (buffer != nullptr && size >= at + 4) {
        std::copy_n(static_cast<const uint8_t*>(buffer) + at, 4, bytes);
    }
    return hb::getLe32(bytes);
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

} // namespace

void FakeBoard::readShared(uint32_t offset, void* out, uint32_t length) const {
    std::lock_guard lock(mutex_);
    checkShared(offset, length);
    std::copy_n(memory_.data() + offset, length, static_cast<uint8_t*>(out));
}

void FakeBoard::writeShared(uint32_t offset, const void* data, uint32_t length) {
    std::lock_guard lock(mutex_);
    checkShared(offset, length);
    std::copy_n(static_cast<const uint8_t*>(data), length, memory_.data() + offset);
}

bool FakeBoard::raiseEvent(uint32_t eventId) {
    // The event is set under the lock: a deregistration, after which the
    // library may destroy the event, waits until the signal is out.
    std::lock_guard lock(mutex_);
    auto it = events_.find(eventId);
    return it != events_.end() && hb__EventSet(it->second.event) == 0;
}

bool FakeBoard::waitForRequest(size_t from, const std::function<bool(const FakeRequest&)>& match,
                               std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return logged_.wait_for(lock, limit, [&] {
        for (; from < log_.size(); ++from) {
            if (match(log_[from])) {
                return true;
            }
        }
        return false;
    });
}

bool FakeBoard::control(uint32_t handle, uint32_t controlCode, const void* in, uint32_t inSize,
                        void* out, uint32_t outSize, uint32_t* bytesReturned, uint32_t* error) {
    FakeRequest entry{controlCode, inSize, outSize, wordAt(in, inSize, 0), 0, 0};
    std::function<bool(const FakeRequest&)> hook;
    {
        std::lock_guard lock(mutex_);
        *bytesReturned = 0;
        if (auto failure = failures_.find(controlCode); failure != failures_.end()) {
            entry.status = failure->second.error;
            if (--failure->second.times == 0) {
                failures_.erase(failure);
            }
        } else {
            entry.status = carryOut(handle, entry, in, static_cast<uint8_t*>(out), bytesReturned);
        }
        log_.push_back(entry);
        logged_.notify_all();
        hook = hook_;
    }
    if (hook && hook(entry)) {
        locked([&] { hook_ = nullptr; });
    }
    *error = entry.status;
    return entry.status == 0;
}

uint32_t FakeBoard::carryOut(uint32_t handle, FakeRequest& r, const void* in, uint8_t* out,
                             uint32_t* bytesReturned) {
    // The requests the map and the file-I/O service make, with their input sizes.
    static const std::map<uint32_t, uint32_t> kInputSize = {{HB_IOCTL_SHARED_MEMORY_READ, 4},
                                                            {HB_IOCTL_SHARED_MEMORY_WRITE, 4},
                                                            {HB_IOCTL_GET_HW_INFO, 0},
                                                            {HB_IOCTL_ASYNC_EVENT_REGISTER, 24},
                                                            {HB_IOCTL_ASYNC_EVENT_DEREGISTER, 4}};
    const auto expected = kInputSize.find(r.controlCode);
    if (expected == kInputSize.end())
        return kErrorInvalidFunction;
    const bool sharedRead = r.controlCode == HB_IOCTL_SHARED_MEMORY_READ;
    const bool shared = sharedRead || r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE;
    if (r.inSize != expected->second ||
        (shared && !inRange(r.argument, r.length, memory_.size())) ||
        (r.controlCode == HB_IOCTL_GET_HW_INFO && r.length < sizeof(HwInfo)))
        return HB_ERROR_INVALID_PARAMETER;
    if (shared) {
        if (sharedRead)
            std::copy_n(memory_.data() + r.argument, r.length, out);
        else
            std::copy_n(out, r.length, memory_.data() + r.argument);
        r.value = wordAt(out, r.length, 0);
        *bytesReturned = r.length;
    } else if (r.controlCode == HB_IOCTL_GET_HW_INFO) {
        std::fill_n(out, sizeof(HwInfo), uint8_t{0});
        hb::putLe32(out, config_.boardType);
        hb::putLe32(out + offsetof(HwInfo, busWidth), config_.busWidth);
        *bytesReturned = sizeof(HwInfo);
    } else if (r.controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER) {
        // The record carries the event's handle value in 32 bits.
        r.value = wordAt(in, r.inSize, 4);
        events_[r.argument] = {reinterpret_cast<void*>(uintptr_t{r.value}), handle};
    } else if (events_.erase(r.argument) == 0) {
        return HB_ERROR_INVALID_PARAMETER; // a deregistration of nothing
    }
    return 0;
}

FakeDevice::FakeDevice() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    baseName_ = "fakehb" + std::to_string(r.nextDevice++) + "-";
}

FakeDevice::~FakeDevice() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& entry : boards_) {
        r.boards.erase(baseName_ + std::to_string(entry.first + 1));
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

Handle deviceOpen(const char* name) {
    hbtest::Registry& r = hbtest::registry();
    std::unique_lock lock(r.mutex);
    auto it = r.boards.find(name);
    std::shared_ptr<hbtest::FakeBoard> board = it != r.boards.end() ? it->second.lock() : nullptr;
    if (board == nullptr) {
        setLastError(HB_ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const uint32_t id = r.nextHandle;
    r.nextHandle += 4;
    r.handles[id] = board;
    return reinterpret_cast<Handle>(uintptr_t{id});
}

void deviceClose(Handle device) {
    hbtest::Registry& r = hbtest::registry();
    std::unique_lock lock(r.mutex);
    auto it = r.handles.find(hbtest::handleId(device));
    if (it == r.handles.end()) {
        return;
    }
    std::shared_ptr<hbtest::FakeBoard> board = it->second.lock();
    r.handles.erase(it);
    lock.unlock();
    if (board != nullptr) {
        board->closed(hbtest::handleId(device));
    }
}

bool deviceControl(Handle device, uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    *bytesReturned = 0;
    if ((inSize > 0 && inBuffer == nullptr) || (outSize > 0 && outBuffer == nullptr)) {
        setLastError(HB_ERROR_INVALID_PARAMETER);
        return false;
    }
    hbtest::Registry& r = hbtest::registry();
    std::unique_lock lock(r.mutex);
    auto it = r.handles.find(hbtest::handleId(device));
    const bool known = it != r.handles.end();
    std::shared_ptr<hbtest::FakeBoard> board = known ? it->second.lock() : nullptr;
    lock.unlock();
    uint32_t error = known ? HB_ERROR_DEVICE_NOT_CONNECTED : HB_ERROR_INVALID_HANDLE;
    if (board != nullptr && board->control(hbtest::handleId(device), controlCode, inBuffer, inSize,
                                           outBuffer, outSize, bytesReturned, &error)) {
        return true;
    }
    setLastError(error);
    return false;
}

} // namespace hb::platform
