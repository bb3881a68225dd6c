// Allocation failure inside the library: every allocation that board create,
// service startup and each kind of file-I/O request make is failed in turn
// (a countdown over the allocations of the library's threads). Each operation
// must end in its specified result or a clean failure (code 8 where the
// library reports one), the service must keep serving, and nothing may leak:
// descriptors and threads are counted here, memory by LeakSanitizer in the
// AddressSanitizer build.
//
// The library's malloc calls reach the countdown through the linker's
// --wrap=malloc, its operator new through the replacement below. Threads of
// the virtual board, and the test thread while it plays the VP, are left out.
#include "hbsys9u.h"
#include "service_fixture.h"
#include "support/request_agent.h"
#include "vboard/board.h"
#include "virtual_board_fixture.h"

#include <atomic>
#include <cstdlib>
#include <functional>
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
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    __real_free(p);
}
void operator delete[](void* p) noexcept {
    __real_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __real_free(p);
}
void operator delete[](void* p, size_t) noexcept {
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

class AllocationFailure : public hbtest::ServiceFixture {
  protected:
    static void SetUpTestSuite() {
        hb::vboard::setDeviceThreadHook([] { leftOut = true; });
    }
    void SetUp() override {
        leftOut = true;
        ServiceFixture::SetUp();
    }
};

TEST_F(AllocationFailure, EveryOperationEndsInItsResultOrACleanFailureAndLeavesNothing) {
    const std::string base = deviceBase(), data = files_.write("data", "0123456789");
    files_.write("other", "x");
    addBoard(1, {});
    hbFileIoShutdown(board(1));
    RequestAgent& vp = agent();
    const int32_t fd = vp.open(data, HB_O_RDWR).value;
    ASSERT_GE(fd, 0);
    constexpr uint32_t kNoMemory = HB_ERROR_NOT_ENOUGH_MEMORY;
    // Each returns false for a wrong answer that is no clean failure.
    const std::pair<const char*, std::function<bool(RequestAgent&)>> operations[] = {
        {"board create",
         [&](RequestAgent&) {
             LibraryCall call;
             AcceleratorBoard* b = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
             const uint32_t error = hbGetLastError();
             hbAcceleratorBoardDestroy(b);
             return b != nullptr || error == kNoMemory || error == HB_ERROR_INVALID_BLOCK;
         }},
        {"service startup",
         [&](RequestAgent&) {
             LibraryCall call;
             // A failed startup releases the board's slot.
             const bool ok = hbFileIoStartup(board(1)) == 0 || hbFileIoStartup(board(1)) == 0;
             hbFileIoShutdown(board(1));
             return ok;
         }},
        {"Open",
         [&](RequestAgent& a) {
             const auto r = a.open(files_ / "other", HB_O_RDONLY);
             if (r.value >= 0)
                 a.close(r.value);
             return r.value >= 0 || r.error != 0;
         }},
        {"Read",
         [&](RequestAgent& a) {
             a.seek(fd, 0, 0);
             const auto r = a.read(fd, 4);
             return (r.value == 4 && r.data == std::vector<uint8_t>{'0', '1', '2', '3'}) ||
                    (r.value == 0 && r.error == kNoMemory);
         }},
        {"Write",
         [&](RequestAgent& a) {
             a.seek(fd, 10, 0);
             const auto r = a.write(fd, "abc");
             return (r.value == 3 && r.error == 0) || (r.value == 0 && r.error == kNoMemory);
         }},
        {"FindFirst",
         [&](RequestAgent& a) {
             const uint32_t search = a.findFirst(files_ / "*").handleOrError;
             if (search != 0xFFFFFFFFu) {
                 a.findNext(search);
                 a.findClose(search);
             }
             return true;
         }},
        {"Attributes",
         [&](RequestAgent& a) {
             const uint32_t error = a.attributes(data).error;
             return error == 0 || error == kNoMemory;
         }},
        {"Rename",
         [&](RequestAgent& a) {
             if (a.rename(files_ / "other", files_ / "moved") == 0)
                 a.rename(files_ / "moved", files_ / "other");
             return true;
         }},
        {"Delete", [&](RequestAgent& a) { return a.remove(files_ / "missing") != 0; }},
        {"CommandLine", [&](RequestAgent& a) { return a.commandLine().size() < 256; }},
        // No environment block to measure: 0, which no real block has.
        {"EnvironmentSize", [&](RequestAgent& a) { return a.environmentSize() != 1; }},
        {"Environment",
         [&](RequestAgent& a) {
             uint32_t n = 0;
             a.environment(64, &n);
             return n <= 64;
         }},
        {"Write to the console",
         [&](RequestAgent& a) {
             const auto r = a.write(1, "console\n");
             return r.value == 8 || r.error != 0;
         }},
    };
    for (const auto& [name, operation] : operations) {
        // Counted once: the board's end of a connection that an earlier
        // attempt dropped may be accepted and closed at any moment later.
        const int descriptors = hb::test::countOpenDescriptors();
        const int threads = threadCount();
        long n = 1;
        for (; n < 10000; ++n) {
            SCOPED_TRACE(std::string(name) + ", allocation " + std::to_string(n) + " fails");
            failedOne = false;
            countdown = n;
            EXPECT_TRUE(operation(vp));
            countdown = 0;
            EXPECT_TRUE(vp.answered());
            EXPECT_GT(vp.environmentSize(), 2u) << "the service goes on";
            // The board's end of a closed connection goes on the board's thread.
            EXPECT_TRUE(hb::test::eventually(
                [&] { return hb::test::countOpenDescriptors() == descriptors; }));
            EXPECT_TRUE(hb::test::eventually([&] { return threadCount() == threads; }));
            if (!failedOne)
                break;
        }
        EXPECT_LT(n, 10000) << name << " allocates without end";
        std::printf("%-22s %ld allocations walked\n", name, n - 1);
    }
    vp.close(fd);
    EXPECT_EQ(files_.read("data").substr(0, 10), "0123456789");
}

} // namespace
