// The control page behind a board's mapped shared memory (protocol/device_wire.h
// names its words), as both sides work on it: the route word, and the change
// count on which device threads sleep until a write (from either side) wakes
// them. Linux only: the sleeping is a futex on the shared page.
#pragma once

#include "device_wire.h"
#include "spin_wait.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace hb::wire {

// ThreadSanitizer tells threads apart by address; when the device and the
// host live in one process (tests) the same page is mapped twice, so the
// hand-over through it is also told to the sanitizer on one shared token.
#if defined(__SANITIZE_THREAD__)
inline char sharedPageToken;
inline void handOver() {
    __tsan_release(&sharedPageToken);
}
inline void takeOver() {
    __tsan_acquire(&sharedPageToken);
}
#else
inline void handOver() {}
inline void takeOver() {}
#endif

class ControlPage {
  public:
    explicit ControlPage(uint8_t* page = nullptr) : page_(page) {}

    bool routedThroughFrames() const {
        return (word(kControlRouteWord).load(std::memory_order_acquire) & kRouteThroughFrames) != 0;
    }
    // Whether the device wants a notice of a write of `length` bytes at
    // `offset` (not 0 bytes).
    bool noticeWanted(uint32_t offset, uint32_t length) const {
        if ((word(kControlRouteWord).load(std::memory_order_acquire) & kWriteNotices) == 0) {
            return false;
        }
        const uint32_t from = word(kControlNoticedOffsetWord).load(std::memory_order_relaxed);
        const uint32_t size = word(kControlNoticedLengthWord).load(std::memory_order_relaxed);
        return uint64_t{offset} < uint64_t{from} + size && from < uint64_t{offset} + length;
    }
    // The range is set before the route that lets it be read.
    void setRoute(bool frames, bool notices, uint32_t noticedOffset, uint32_t noticedLength) {
        word(kControlNoticedOffsetWord).store(noticedOffset, std::memory_order_relaxed);
        word(kControlNoticedLengthWord).store(noticedLength, std::memory_order_relaxed);
        word(kControlRouteWord)
            .store((frames ? kRouteThroughFrames : 0) | (notices ? kWriteNotices : 0),
                   std::memory_order_seq_cst);
    }

    uint32_t closes() const { return word(kControlClosesWord).load(std::memory_order_acquire); }
    // Before the device ends a connection.
    void announceClose() { word(kControlClosesWord).fetch_add(1, std::memory_order_seq_cst); }

    // Before a read: everything written before the writes announced so far
    // is seen (pairs with announceWrite).
    void observeWrites() const {
        word(kControlChangesWord).load(std::memory_order_acquire);
        takeOver();
    }

    // After a write's bytes stand: raises the change count and wakes the
    // sleepers, if any (one futex call only then).
    void announceWrite() {
        handOver();
        word(kControlChangesWord).fetch_add(1, std::memory_order_seq_cst);
        if (word(kControlSleepersWord).load(std::memory_order_seq_cst) != 0) {
            futex(FUTEX_WAKE, INT_MAX, nullptr);
        }
    }

    // Sleeps until `ready` holds or `timeout` passes; `ready` is checked
    // after each change the writers announce. Whatever a writer stored
    // before it announced is seen by `ready`.
    template <typename Ready>
    bool sleepUntil(Ready ready, std::chrono::milliseconds timeout, SpinBudget& spin) {
        if (spin.look([&] {
                word(kControlChangesWord).load(std::memory_order_acquire);
                return ready();
            })) {
            takeOver();
            return true;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        word(kControlSleepersWord).fetch_add(1, std::memory_order_seq_cst);
        bool done = false;
        for (;;) {
            const uint32_t seen = word(kControlChangesWord).load(std::memory_order_seq_cst);
            if ((done = ready())) {
                takeOver();
                break;
            }
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds::zero()) {
                break;
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec limit{static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
            futex(FUTEX_WAIT, seen, &limit);
        }
        word(kControlSleepersWord).fetch_sub(1, std::memory_order_seq_cst);
        return done;
    }

  private:
    std::atomic_ref<uint32_t> word(uint32_t offset) const {
        return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(page_ + offset));
    }
    // Not private to the process: the page is shared with the other side.
    long futex(int op, uint32_t value, const timespec* limit) const {
        return ::syscall(SYS_futex, page_ + kControlChangesWord, op, value, limit, nullptr, 0);
    }

    uint8_t* page_;
};

} // namespace hb::wire
