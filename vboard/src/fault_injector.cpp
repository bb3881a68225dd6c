// The fault plan: its text form parsed, and the decisions for each request
// and event of the board.
#include "fault_injector.h"

#include "hbsys9u.h"
#include "vboard/board.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace hb::vboard {

namespace {

std::atomic<void (*)()> deviceThreadHook{nullptr};

// Whether the match numbered `count` (from 1) falls in [nth, nth + times).
bool hits(uint64_t count, uint64_t nth, uint64_t times) {
    return count >= nth && (times == 0 || count - nth < times);
}

// ---- Textual form ------------------------------------------------------------

uint64_t number(std::string_view text, std::string_view part) {
    if (text.empty()) {
        throw std::invalid_argument("fault: number missing in '" + std::string(part) + "'");
    }
    const std::string copy(text);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || copy[0] == '-') {
        throw std::invalid_argument("fault: bad number '" + copy + "' in '" + std::string(part) +
                                    "'");
    }
    return value;
}

uint32_t controlCodeOf(std::string_view name, std::string_view part) {
    if (name == "any") {
        return kAnyRequest;
    }
    for (const uint32_t code :
         {HB_IOCTL_RESET_VP, HB_IOCTL_PLX_REGISTER_READ, HB_IOCTL_PLX_REGISTER_WRITE,
          HB_IOCTL_SHARED_MEMORY_READ, HB_IOCTL_SHARED_MEMORY_WRITE, HB_IOCTL_ASYNC_EVENT_REGISTER,
          HB_IOCTL_ASYNC_EVENT_DEREGISTER, HB_IOCTL_VP_READ, HB_IOCTL_VP_WRITE, HB_IOCTL_SIGNAL_VP,
          HB_IOCTL_GET_HW_INFO}) {
        if (requestName(code) == name) {
            return code;
        }
    }
    if (name.starts_with("0x") || name.starts_with("0X")) {
        return static_cast<uint32_t>(number(name, part));
    }
    throw std::invalid_argument("fault: unknown request '" + std::string(name) + "'");
}

// TARGET[#N][*TIMES][=ARG]
struct Parts {
    std::string_view target;
    uint64_t nth = 1;
    uint64_t times = 1;
    bool hasArgument = false;
    uint64_t argument = 0;
};

Parts split(std::string_view body, std::string_view part) {
    Parts parts;
    if (const size_t eq = body.find('='); eq != std::string_view::npos) {
        parts.hasArgument = true;
        parts.argument = number(body.substr(eq + 1), part);
        body = body.substr(0, eq);
    }
    if (const size_t star = body.find('*'); star != std::string_view::npos) {
        parts.times = number(body.substr(star + 1), part);
        body = body.substr(0, star);
    }
    if (const size_t hash = body.find('#'); hash != std::string_view::npos) {
        parts.nth = number(body.substr(hash + 1), part);
        body = body.substr(0, hash);
        if (parts.nth == 0) {
            throw std::invalid_argument("fault: #N counts from 1 in '" + std::string(part) + "'");
        }
    }
    if (body.empty()) {
        throw std::invalid_argument("fault: no target in '" + std::string(part) + "'");
    }
    parts.target = body;
    return parts;
}

void addFault(FaultPlan& plan, std::string_view part) {
    const size_t colon = part.find(':');
    if (colon == std::string_view::npos) {
        throw std::invalid_argument("fault: expected KIND:TARGET in '" + std::string(part) + "'");
    }
    const std::string_view kind = part.substr(0, colon);
    const Parts p = split(part.substr(colon + 1), part);
    const auto needArgument = [&] {
        if (!p.hasArgument) {
            throw std::invalid_argument("fault: '" + std::string(part) + "' needs =VALUE");
        }
    };
    if (kind.starts_with("event-")) {
        EventFault fault;
        fault.eventId = static_cast<uint32_t>(number(p.target, part));
        fault.nth = p.nth;
        fault.times = p.times;
        fault.delay = std::chrono::milliseconds(p.argument);
        if (kind == "event-drop") {
            fault.kind = EventFaultKind::Drop;
        } else if (kind == "event-delay") {
            needArgument();
            fault.kind = EventFaultKind::Delay;
        } else if (kind == "event-dup") {
            fault.kind = EventFaultKind::Duplicate;
        } else {
            throw std::invalid_argument("fault: unknown kind '" + std::string(kind) + "'");
        }
        plan.events.push_back(fault);
        return;
    }
    RequestFault fault;
    fault.controlCode = controlCodeOf(p.target, part);
    fault.nth = p.nth;
    fault.times = p.times;
    if (kind == "fail") {
        fault.kind = RequestFaultKind::Fail;
        if (p.hasArgument) {
            fault.status = static_cast<uint32_t>(p.argument);
        }
    } else if (kind == "delay") {
        needArgument();
        fault.kind = RequestFaultKind::DelayReply;
        fault.delay = std::chrono::milliseconds(p.argument);
    } else if (kind == "corrupt") {
        fault.kind = RequestFaultKind::CorruptReply;
        if (p.hasArgument) {
            if (p.argument > 8) {
                throw std::invalid_argument("fault: header words are 0..8 in '" +
                                            std::string(part) + "'");
            }
            fault.word = static_cast<uint32_t>(p.argument);
        }
    } else if (kind == "close") {
        fault.kind = RequestFaultKind::CloseBeforeReply;
    } else if (kind == "close-mid") {
        fault.kind = RequestFaultKind::CloseMidReply;
    } else if (kind == "short") {
        needArgument();
        fault.kind = RequestFaultKind::ShortTransfer;
        fault.limit = static_cast<uint32_t>(p.argument);
    } else {
        throw std::invalid_argument("fault: unknown kind '" + std::string(kind) + "'");
    }
    plan.requests.push_back(fault);
}

} // namespace

void setDeviceThreadHook(void (*hook)()) {
    deviceThreadHook.store(hook);
}

FaultPlan parseFaultPlan(const std::string& text) {
    FaultPlan plan;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view part = rest.substr(0, comma);
        if (!part.empty()) {
            addFault(plan, part);
        }
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    return plan;
}

namespace detail {

void enterDeviceThread() {
    if (auto* hook = deviceThreadHook.load()) {
        hook();
    }
}

FaultInjector::FaultInjector(std::function<void(uint32_t)> signal) : signal_(std::move(signal)) {}

void FaultInjector::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        late_.clear();
    }
    lateChanged_.notify_all();
    if (timer_.joinable()) {
        timer_.join();
    }
}

void FaultInjector::setPlan(const FaultPlan& plan) {
    std::lock_guard lock(mutex_);
    plan_ = plan;
    requestMatches_.assign(plan.requests.size(), 0);
    eventMatches_.assign(plan.events.size(), 0);
    counts_ = {};
    armed_.store(!plan.empty(), std::memory_order_relaxed);
}

FaultCounts FaultInjector::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

RequestDecision FaultInjector::decideRequest(uint32_t controlCode) {
    std::lock_guard lock(mutex_);
    ++counts_.requestsSeen;
    RequestDecision decision;
    bool hit = false;
    for (size_t i = 0; i < plan_.requests.size(); ++i) {
        const RequestFault& fault = plan_.requests[i];
        if (fault.controlCode != kAnyRequest && fault.controlCode != controlCode) {
            continue;
        }
        // Every matching fault counts the request; the first one due acts.
        if (!hits(++requestMatches_[i], fault.nth, fault.times) || hit) {
            continue;
        }
        hit = true;
        switch (fault.kind) {
        case RequestFaultKind::Fail:
            decision.fail = true;
            decision.status = fault.status;
            break;
        case RequestFaultKind::ShortTransfer:
            decision.shortTransfer = true;
            decision.limit = fault.limit;
            break;
        case RequestFaultKind::DelayReply:
            decision.reply = {ReplyFault::Kind::Delay, fault.delay, 0, 0};
            break;
        case RequestFaultKind::CorruptReply:
            decision.reply = {ReplyFault::Kind::Corrupt, {}, std::min(fault.word, 8u), fault.mask};
            break;
        case RequestFaultKind::CloseBeforeReply:
            decision.reply.kind = ReplyFault::Kind::CloseBefore;
            break;
        case RequestFaultKind::CloseMidReply:
            decision.reply.kind = ReplyFault::Kind::CloseMid;
            break;
        }
    }
    counts_.requestsHit += hit ? 1 : 0;
    return decision;
}

EventDecision FaultInjector::decideEvent(uint32_t eventId) {
    std::lock_guard lock(mutex_);
    ++counts_.eventsSeen;
    EventDecision decision;
    bool hit = false;
    for (size_t i = 0; i < plan_.events.size(); ++i) {
        const EventFault& fault = plan_.events[i];
        if (fault.eventId != eventId || !hits(++eventMatches_[i], fault.nth, fault.times) || hit) {
            continue;
        }
        hit = true;
        switch (fault.kind) {
        case EventFaultKind::Drop:
            decision.signalNow = false;
            break;
        case EventFaultKind::Delay:
            decision = {false, true, fault.delay};
            break;
        case EventFaultKind::Duplicate:
            decision = {true, true, fault.delay};
            break;
        }
    }
    counts_.eventsHit += hit ? 1 : 0;
    return decision;
}

void FaultInjector::signalLater(uint32_t eventId, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    late_.push_back({std::chrono::steady_clock::now() + delay, eventId});
    if (!timer_.joinable()) {
        timer_ = std::thread(&FaultInjector::runTimer, this);
    }
    lateChanged_.notify_all();
}

void FaultInjector::runTimer() {
    enterDeviceThread();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (late_.empty()) {
            lateChanged_.wait(lock);
            continue;
        }
        const auto next =
            std::min_element(late_.begin(), late_.end(),
                             [](const Late& a, const Late& b) { return a.when < b.when; });
        // A copy: the list may grow, and move, while the lock is released.
        const auto when = next->when;
        if (std::chrono::steady_clock::now() < when) {
            lateChanged_.wait_until(lock, when);
            continue;
        }
        const uint32_t eventId = next->eventId;
        late_.erase(next);
        lock.unlock();
        signal_(eventId);
        lock.lock();
    }
}

} // namespace detail
} // namespace hb::vboard
