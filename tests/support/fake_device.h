// An in-process stand-in for the board's driver, at the device seam of the
// platform layer (deviceOpen, deviceControl, deviceClose). A test program
// built with it (hb_add_test ... FAKE_DEVICE) links the library without its
// device channel; hbAcceleratorBoardCreate then reaches these boards, and
// everything above the channel (bus queries, the map, the file-I/O service)
// runs as it does against a real board, on every platform. The fake carries
// out the shared-memory, hardware-information and event requests; any other
// fails with 1 (invalid function).
//
// A board keeps its shared memory, its hardware information, the events
// registered with it and a log of every request. The test plays the board's
// side: it reads and writes shared memory and raises board events, which
// signal the registered event object as a driver does.
#pragma once

#include "little_endian.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace hbtest {

struct FakeBoardConfig {
    uint32_t boardType = 22; // bus type 2, width 4
    uint32_t busWidth = 4;
    uint32_t sharedMemorySize = 0x40000; // room for the largest layout
};

// One request as the board received it.
struct FakeRequest {
    uint32_t controlCode = 0;
    uint32_t inSize = 0;
    uint32_t length = 0;   // size of the second buffer
    uint32_t argument = 0; // first input word: offset, register, event id or signal
    uint32_t value = 0;    // first data word moved, where there is one
    uint32_t status = 0;   // 0 when carried out, else the error it failed with
};

class FakeBoard {
    template <class F> auto locked(F f) const -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }

  public:
    explicit FakeBoard(const FakeBoardConfig& config)
        : config_(config), memory_(config.sharedMemorySize, 0) {}

    const FakeBoardConfig& config() const { return config_; }

    // The board's side of shared memory. Out-of-range accesses are test
    // errors and throw.
    void readShared(uint32_t offset, void* out, uint32_t length) const;
    void writeShared(uint32_t offset, const void* data, uint32_t length);

    // Raises a board event: signals the event object registered for it, as
    // the driver does. False when no event is registered for `eventId`.
    bool raiseEvent(uint32_t eventId);
    bool eventRegistered(uint32_t eventId) const {
        return locked([&] { return events_.count(eventId) != 0; });
    }

    std::vector<FakeRequest> requests() const {
        return locked([&] { return log_; });
    }
    size_t requestCount() const {
        return locked([&] { return log_.size(); });
    }
    size_t count(uint32_t controlCode) const {
        return locked([&] {
            return size_t(std::count_if(log_.begin(), log_.end(), [&](const FakeRequest& r) {
                return r.controlCode == controlCode;
            }));
        });
    }
    // Waits until a request logged at position `from` or later satisfies
    // `match`; false when none does within `limit`.
    bool waitForRequest(size_t from, const std::function<bool(const FakeRequest&)>& match,
                        std::chrono::milliseconds limit) const;

    // Called on the requesting thread after each request is logged, until it
    // returns true: the test acts at one exact step of the library's.
    void afterRequest(std::function<bool(const FakeRequest&)> hook) {
        locked([&] { hook_ = std::move(hook); });
    }

    // The next `times` requests with this control code fail with `error`
    // before they take effect.
    void failNext(uint32_t controlCode, uint32_t error, uint32_t times = 1) {
        locked([&] { failures_[controlCode] = {error, times}; });
    }

    // The driver's side (the seam functions of the fake).
    bool control(uint32_t handleId, uint32_t controlCode, const void* in, uint32_t inSize,
                 void* out, uint32_t outSize, uint32_t* bytesReturned, uint32_t* error);
    void closed(uint32_t handleId) {
        locked([&] {
            std::erase_if(events_, [&](const auto& e) { return e.second.handleId == handleId; });
        });
    }

  private:
    void checkShared(uint32_t offset, uint32_t length) const {
        if (offset > memory_.size() || length > memory_.size() - offset)
            throw std::out_of_range("beyond the fake board's shared memory");
    }
    struct Registration {
        void* event;
        uint32_t handleId; // registrations end with the handle that made them
    };
    // Carries out a request that passed the failure plan: 0, or its error.
    uint32_t carryOut(uint32_t handleId, FakeRequest& request, const void* in, uint8_t* out,
                      uint32_t* bytesReturned);

    FakeBoardConfig config_;
    mutable std::mutex mutex_;
    mutable std::condition_variable logged_;
    std::vector<uint8_t> memory_;
    std::map<uint32_t, Registration> events_;
    struct Failure {
        uint32_t error, times;
    };
    std::map<uint32_t, Failure> failures_;
    std::vector<FakeRequest> log_;
    std::function<bool(const FakeRequest&)> hook_;
};

// Boards named as hbAcceleratorBoardCreate names them: a base name of this
// device's own followed by the board index + 1. The boards go away with the
// device; handles still open on them then fail with 1167.
class FakeDevice {
  public:
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    FakeBoard& addBoard(int index, const FakeBoardConfig& config = {});
    // nullptr when no board was added at `index`.
    FakeBoard* board(int index) {
        auto it = boards_.find(index);
        return it != boards_.end() ? it->second.get() : nullptr;
    }
    const std::string& baseName() const { return baseName_; }

  private:
    std::string baseName_;
    std::map<int, std::shared_ptr<FakeBoard>> boards_;
};

} // namespace hbtest
