// Allocation failure inside the library: every allocation that board create,
// service startup and each kind of file-I/O request make is failed in turn
// (a countdown over the allocations of the library's threads). Each operation
// must end in its specified result or a clean failure (code 8 where the
// library reports one), the service must keep serving, and nothing may leak:
// descriptors and threads are counted here, memory by LeakSanitizer in the
// AddressSanitizer build.
//
// The library's malloc calls reach the countdown through the linker's
// --wrap=malloc, its operator new through the replacement below (the array
// forms call it, except where a sanitizer provides both them and their
// deletes). Threads of the virtual board, and the test thread while it plays
// the VP, are left out.
#include "hbsys9u.h"
#include "request_sweep.h"
#include "support/request_agent.h"
#include "vboard/board.h"
#include "virtual_board_fixture.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* pointer);

namespace {

std::atomic<long> countdown{0}; // > 0: the allocation that brings it to 0 fails
std::atomic<bool> failedOne{false};
thread_local bool leftOut = false;

bool allocationFails() {
    if (leftOut || countdown.load(std::memory_order_relaxed) <= 0 || countdown.fetch_sub(1) != 1)
        return false;
    failedOne = true;
    return true;
}

void* allocate(size_t size) {
    return allocationFails() ? nullptr : __real_malloc(size == 0 ? 1 : size);
}

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    return allocate(size);
}
extern "C" void __wrap_free(void* pointer) {
    __real_free(pointer);
}

void* operator new(size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    __real_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __real_free(p);
}

namespace {

using hb::test::threadCount;
using hbtest::RequestAgent;

// The test thread counts only inside library calls.
struct LibraryCall {
    LibraryCall() { leftOut = false; }
    ~LibraryCall() { leftOut = true; }
};

class AllocationFailure : public hbtest::RequestSweep {
  protected:
    static void SetUpTestSuite() {
        hb::vboard::setDeviceThreadHook([] { leftOut = true; });
    }
    void SetUp() override {
        leftOut = true;
        RequestSweep::SetUp();
    }
};

TEST_F(AllocationFailure, EveryOperationEndsInItsResultOrACleanFailureAndLeavesNothing) {
    addBoard(1, {});
    hbFileIoShutdown(board(1));
    std::vector<Kind> operations = {
        {"board create",
         [&](RequestAgent&) {
             LibraryCall call;
             AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
             const uint32_t error = b != nullptr ? 0 : hbGetLastError();
             hbAcceleratorBoardDestroy(b);
             return error == HB_ERROR_INVALID_BLOCK ? 0 : error;
         }},
        {"service startup",
         [&](RequestAgent&) {
             LibraryCall call;
             // A failed startup releases the board's slot for the next.
             const bool started = hbFileIoStartup(board(1)) == 0 || hbFileIoStartup(board(1)) == 0;
             hbFileIoShutdown(board(1));
             return started ? 0u : 1u;
         }},
    };
    for (const Kind& kind : kinds())
        operations.push_back(kind);
    for (const Kind& kind : operations) {
        // Counted once: the board's end of a connection that an earlier
        // attempt dropped may be accepted and closed at any moment later.
        const int descriptors = hb::test::countOpenDescriptors();
        const int threads = threadCount();
        long n = 1;
        for (; n < 10000; ++n) {
            SCOPED_TRACE(std::string(kind.name) + ", allocation " + std::to_string(n) + " fails");
            prepare();
            failedOne = false;
            countdown = n;
            const uint32_t error = kind.post(agent());
            countdown = 0;
            EXPECT_TRUE(error == kind.error || error == HB_ERROR_NOT_ENOUGH_MEMORY) << error;
            EXPECT_TRUE(agent().answered());
            tidy(true);
            expectIntact(kind, descriptors);
            EXPECT_TRUE(hb::test::eventually([&] { return threadCount() == threads; }));
            if (!failedOne)
                break;
        }
        EXPECT_LT(n, 10000) << kind.name << " allocates without end";
        std::printf("%-22s %ld allocations walked\n", kind.name, n - 1);
    }
}

} // namespace
