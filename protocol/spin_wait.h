// How a waiter on one side of a board (the library's channel and events, the
// virtual board's threads) looks for the other side's answer before it
// sleeps. Linux only: the machine's load comes from sysinfo().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <sched.h>
#include <sys/sysinfo.h>

namespace hb::wire {

// The other side usually answers within microseconds, and on a machine with
// a core to spare looking for the answer costs less than a sleep and the
// wake-up after it (on a virtual machine an idle core takes tens of
// microseconds to wake). Where every core is busy, the answer cannot come
// while the waiter holds a core, so it sleeps at once. The budget also
// follows the waits before it: a wait that looking ended keeps the full
// budget, one that had to sleep halves it, and at zero every 32nd wait
// looks again. The environment variable HB_WAIT_POLICY overrides the load:
// "active" looks whatever the load, "passive" never looks.
class SpinBudget {
  public:
    static constexpr std::chrono::microseconds kFull{50};

    // Looks for `ready` within the budget; false: sleep now.
    template <typename Ready> bool look(Ready&& ready) {
        const int64_t budget = nextBudget();
        if (budget == 0 || !mayLook()) {
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            for (int i = 0; i < 32; ++i) {
                if (ready()) {
                    budgetNs_.store(kFullNs, std::memory_order_relaxed);
                    return true;
                }
                pause();
            }
            if (std::chrono::steady_clock::now() - start >= std::chrono::nanoseconds(budget)) {
                budgetNs_.store(budget / 2 < kFloorNs ? 0 : budget / 2, std::memory_order_relaxed);
                return false;
            }
        }
    }

  private:
    static constexpr int64_t kFullNs = std::chrono::nanoseconds(kFull).count();
    static constexpr int64_t kFloorNs = 1000;
    static constexpr int64_t kLoadAgeNs = 10'000'000; // how long a look at the load holds

    int64_t nextBudget() {
        const int64_t budget = budgetNs_.load(std::memory_order_relaxed);
        if (budget != 0) {
            return budget;
        }
        return (skipped_.fetch_add(1, std::memory_order_relaxed) % 32 == 31) ? kFullNs : 0;
    }

    enum class Policy { ByLoad, Active, Passive };
    static Policy policy() {
        static const Policy chosen = [] {
            const char* text = std::getenv("HB_WAIT_POLICY");
            const std::string_view name = text != nullptr ? text : "";
            return name == "active"    ? Policy::Active
                   : name == "passive" ? Policy::Passive
                                       : Policy::ByLoad;
        }();
        return chosen;
    }
    static bool mayLook() {
        const Policy p = policy();
        return p == Policy::Active || (p == Policy::ByLoad && coreToSpare());
    }

    // Whether the machine's load (its last minute's average of running
    // threads) leaves a core idle, as the kernel said at most kLoadAgeNs ago.
    // (No file is opened for it, nor for the count of cores: a descriptor
    // that comes and goes would surprise a program that counts its own.)
    static bool coreToSpare() {
        static std::atomic<int64_t> lookedAt{INT64_MIN / 2};
        static std::atomic<bool> spare{false};
        const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        if (now - lookedAt.load(std::memory_order_relaxed) < kLoadAgeNs) {
            return spare.load(std::memory_order_relaxed);
        }
        lookedAt.store(now, std::memory_order_relaxed);
        struct sysinfo info {};
        const bool answer = ::sysinfo(&info) == 0 && info.loads[0] < (uint64_t{cores()} << 16);
        spare.store(answer, std::memory_order_relaxed);
        return answer;
    }

    // The cores this process may run on, from its affinity mask
    // (std::thread::hardware_concurrency reads a file under /sys for it).
    static unsigned cores() {
        static const unsigned count = [] {
            cpu_set_t set;
            CPU_ZERO(&set);
            return ::sched_getaffinity(0, sizeof set, &set) == 0 ? unsigned(CPU_COUNT(&set)) : 1u;
        }();
        return count;
    }

    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    std::atomic<int64_t> budgetNs_{kFullNs};
    std::atomic<uint32_t> skipped_{0};
};

} // namespace hb::wire
