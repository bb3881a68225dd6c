// Threads of the POSIX backend, and the calling thread's identity and
// priority.
//
// Priority levels come from the calling thread's scheduling state, given as
// the Win32 priority value the level table is keyed on:
//
// | scheduling state of the calling thread     | value | level |
// |--------------------------------------------|-------|-------|
// | SCHED_FIFO or SCHED_RR                      |  15   |   6   |
// | SCHED_IDLE, or nice 19                      | -15   |   0   |
// | SCHED_OTHER/SCHED_BATCH, nice -20 .. -11    |   2   |   5   |
// | SCHED_OTHER/SCHED_BATCH, nice -10 .. -1     |   1   |   4   |
// | SCHED_OTHER/SCHED_BATCH, nice 0             |   0   |   3   |
// | SCHED_OTHER/SCHED_BATCH, nice 1 .. 9        |  -1   |   2   |
// | SCHED_OTHER/SCHED_BATCH, nice 10 .. 18      |  -2   |   1   |
// | the state cannot be read                    | error |   6   |
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"

#include "hbsys9u.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace hb::platform {

namespace {

constexpr int32_t kPriorityErrorReturn = 0x7FFFFFFF;

struct Start {
    ThreadRoutine routine;
    void* argument;
    std::atomic<uint32_t> tid{0};
};

void* trampoline(void* raw) {
    auto* start = static_cast<Start*>(raw);
    ThreadRoutine routine = start->routine;
    void* argument = start->argument;
    // The creator waits for the id and frees `start` once it has it.
    start->tid.store(currentThreadId());
    start->tid.notify_one();
    routine(argument);
    return nullptr;
}

} // namespace

bool startThread(ThreadRoutine routine, void* argument, uintptr_t* osHandle, uint32_t* threadId) {
    auto* start = new (std::nothrow) Start{routine, argument};
    if (!start) {
        setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, trampoline, start);
    if (rc != 0) {
        delete start;
        setLastError(rc == EAGAIN ? HB_ERROR_NOT_ENOUGH_MEMORY : posix::win32ErrorFromErrno(rc));
        return false;
    }
    start->tid.wait(0);
    *threadId = start->tid.load();
    *osHandle = static_cast<uintptr_t>(thread);
    delete start;
    return true;
}

void releaseThread(uintptr_t osHandle) {
    pthread_join(static_cast<pthread_t>(osHandle), nullptr);
}

void keepBrokenPipesFromEndingTheProcess() {
    // Blocked, SIGPIPE stays pending on this thread: the write fails with
    // EPIPE, and no other thread is ever handed the signal.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(gettid());
}

int32_t currentThreadPriority() {
    int policy = 0;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) {
        return kPriorityErrorReturn;
    }
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        return 15;
    }
    if (policy == SCHED_IDLE) {
        return -15;
    }
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (nice == -1 && errno != 0) {
        return kPriorityErrorReturn;
    }
    if (nice <= -11)
        return 2;
    if (nice <= -1)
        return 1;
    if (nice == 0)
        return 0;
    if (nice <= 9)
        return -1;
    if (nice <= 18)
        return -2;
    return -15;
}

} // namespace hb::platform
