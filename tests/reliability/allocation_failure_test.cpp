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
#include <dirent.h>
#include <functional>
#include <new>

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* pointer);

namespace {

std::atomic<long> countdown{0}; // > 0: the allocation that brings it to 0 fails
std::atomic<bool> failedOne{false};
thread_local bool leftOut = false;

bool allocationFails() {
    if (leftOut || countdown.load(std::memory_order_relaxed) <= 0)
        return false;
    if (countdown.fetch_sub(1) == 1) {
        failedOne = true;
        return true;
    }
    return false;
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

using hbtest::RequestAgent;

int threadCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
    return count;
}

// The test thread counts only inside library calls.
struct LibraryCall {
    LibraryCall() { leftOut = false; }
    ~LibraryCall() { leftOut = true; }
};

void arm(long n) {
    failedOne = false;
    countdown = n;
}
// True when the countdown reached its allocation.
bool disarm() {
    countdown = 0;
    return failedOne.load();
}

class AllocationFailure : public hbtest::ServiceFixture {
  protected:
    static void SetUpTestSuite() {
        hb::vboard::setDeviceThreadHook([] { leftOut = true; });
    }
    void SetUp() override {
        leftOut = true;
        ServiceFixture::SetUp();
    }

    // Walks n = 1, 2, ... until `operation` runs without reaching the failing
    // allocation; `check` judges each outcome. Returns the allocations walked.
    long walk(const std::function<void()>& operation, const std::function<void(long)>& check) {
        // Counted once: the board's end of a connection that an earlier
        // attempt dropped may be accepted and closed at any moment later.
        const int descriptors = hb::test::countOpenDescriptors();
        const int threads = threadCount();
        for (long n = 1; n < 10000; ++n) {
            arm(n);
            operation();
            const bool reached = disarm();
            check(n);
            // The board's end of a closed connection goes on the board's thread.
            EXPECT_TRUE(hb::test::eventually([&] {
                return hb::test::countOpenDescriptors() == descriptors;
            })) << "allocation "
                << n;
            EXPECT_TRUE(hb::test::eventually([&] { return threadCount() == threads; }))
                << "allocation " << n;
            if (!reached)
                return n - 1;
        }
        ADD_FAILURE() << "no end to the allocations";
        return 0;
    }
};

TEST_F(AllocationFailure, BoardCreateEndsWithABoardOrCode8Or9) {
    const long walked = walk(
        [&] {
            AcceleratorBoard* b;
            uint32_t error;
            const std::string base = deviceBase();
            {
                LibraryCall call;
                b = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
                error = hbGetLastError();
                if (b != nullptr)
                    hbAcceleratorBoardDestroy(b);
            }
            if (b == nullptr) {
                EXPECT_TRUE(error == HB_ERROR_NOT_ENOUGH_MEMORY || error == HB_ERROR_INVALID_BLOCK)
                    << error;
            }
        },
        [](long) {});
    std::printf("board create: %ld allocations walked\n", walked);
    EXPECT_GT(walked, 0);
}

TEST_F(AllocationFailure, StartupSucceedsOrFailsAndReleasesItsSlot) {
    addBoard(1, {});
    hbFileIoShutdown(board(1));
    const long walked = walk(
        [&] {
            uint32_t result;
            {
                LibraryCall call;
                result = hbFileIoStartup(board(1));
            }
            if (result != 0) {
                EXPECT_NE(result, 0u);
                LibraryCall call;
                EXPECT_EQ(hbFileIoStartup(board(1)), 0u) << "the slot was released";
            }
            LibraryCall call;
            hbFileIoShutdown(board(1));
        },
        [](long) {});
    std::printf("file-I/O startup: %ld allocations walked\n", walked);
    EXPECT_GT(walked, 0);
}

TEST_F(AllocationFailure, EveryKindOfRequestIsAnsweredAndTheServiceGoesOn) {
    const std::string data = files_.write("data", "0123456789");
    files_.write("other", "x");
    RequestAgent& vp = agent();
    struct Kind {
        const char* name;
        std::function<bool(RequestAgent&)> post; // false: a wrong answer that is no failure
    };
    const int32_t fd = vp.open(data, HB_O_RDWR).value;
    ASSERT_GE(fd, 0);
    const std::vector<Kind> kinds = {
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
                    (r.value == 0 && r.error == HB_ERROR_NOT_ENOUGH_MEMORY);
         }},
        {"Write",
         [&](RequestAgent& a) {
             a.seek(fd, 10, 0);
             const auto r = a.write(fd, "abc");
             return (r.value == 3 && r.error == 0) ||
                    (r.value == 0 && r.error == HB_ERROR_NOT_ENOUGH_MEMORY);
         }},
        {"FindFirst",
         [&](RequestAgent& a) {
             const auto r = a.findFirst(files_ / "*");
             if (r.handleOrError != 0xFFFFFFFFu) {
                 a.findNext(r.handleOrError);
                 a.findClose(r.handleOrError);
             }
             return true;
         }},
        {"Attributes",
         [&](RequestAgent& a) {
             const auto r = a.attributes(data);
             return r.error == 0 || r.error == HB_ERROR_NOT_ENOUGH_MEMORY;
         }},
        {"Rename",
         [&](RequestAgent& a) {
             if (a.rename(files_ / "other", files_ / "moved") == 0)
                 a.rename(files_ / "moved", files_ / "other");
             return true;
         }},
        {"Delete", [&](RequestAgent& a) { return a.remove(files_ / "missing") != 0; }},
        {"CommandLine", [&](RequestAgent& a) { return a.commandLine().empty() || true; }},
        // No environment block to measure: 0, which no real block has.
        {"EnvironmentSize",
         [&](RequestAgent& a) {
             const uint32_t n = a.environmentSize();
             return n >= 2 || n == 0;
         }},
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
    for (const Kind& kind : kinds) {
        const long walked = walk(
            [&] {
                const bool sound = kind.post(vp);
                EXPECT_TRUE(vp.answered()) << kind.name;
                EXPECT_TRUE(sound) << kind.name;
            },
            [&](long n) {
                EXPECT_GT(vp.environmentSize(), 2u)
                    << kind.name << ", allocation " << n << ": the service goes on";
            });
        std::printf("%-22s %ld allocations walked\n", kind.name, walked);
    }
    vp.close(fd);
    EXPECT_EQ(files_.read("data").substr(0, 10), "0123456789");
}

} // namespace
