// The board's fault plan at work: decides, for each request and each event,
// whether a fault of the plan acts on it, and fires late events. Off (one
// relaxed atomic load per request) while no plan is set.
#pragma once

#include "vboard/faults.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hb::vboard::detail {

// What the reply to one request suffers; the request handler decides, the
// server acts on it.
struct ReplyFault {
    enum class Kind { None, Delay, Corrupt, CloseBefore, CloseMid } kind = Kind::None;
    std::chrono::milliseconds delay{0};
    uint32_t word = 0;
    uint32_t mask = 0;
};

struct RequestDecision {
    bool fail = false;
    uint32_t status = 0;
    bool shortTransfer = false;
    uint32_t limit = 0;
    ReplyFault reply;
};

struct EventDecision {
    bool signalNow = true;
    bool signalLater = false;
    std::chrono::milliseconds delay{0};
};

class FaultInjector {
  public:
    // `signal` raises an event for real; late events call it on the
    // injector's own thread, looking the registration up afresh.
    explicit FaultInjector(std::function<void(uint32_t eventId)> signal);
    ~FaultInjector() { stop(); }
    // Drops late events that have not fired and ends the injector's thread.
    void stop();
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    void setPlan(const FaultPlan& plan);
    FaultCounts counts() const;

    RequestDecision onRequest(uint32_t controlCode) {
        if (!armed_.load(std::memory_order_relaxed)) {
            return {};
        }
        return decideRequest(controlCode);
    }
    EventDecision onEvent(uint32_t eventId) {
        if (!armed_.load(std::memory_order_relaxed)) {
            return {};
        }
        return decideEvent(eventId);
    }
    // Fires `eventId` after `delay`.
    void signalLater(uint32_t eventId, std::chrono::milliseconds delay);

  private:
    RequestDecision decideRequest(uint32_t controlCode);
    EventDecision decideEvent(uint32_t eventId);
    void runTimer();

    std::function<void(uint32_t)> signal_;
    std::atomic<bool> armed_{false};

    mutable std::mutex mutex_; // everything below
    FaultPlan plan_;
    std::vector<uint64_t> requestMatches_; // per fault of the plan
    std::vector<uint64_t> eventMatches_;
    FaultCounts counts_;

    struct Late {
        std::chrono::steady_clock::time_point when;
        uint32_t eventId;
    };
    std::vector<Late> late_;
    std::condition_variable lateChanged_;
    bool stopping_ = false;
    std::thread timer_; // started with the first late event
};

// Runs the device-thread hook of setDeviceThreadHook, if any.
void enterDeviceThread();

} // namespace hb::vboard::detail
