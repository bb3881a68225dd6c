// Threads started through the Microsoft runtime, so that the runtime's
// per-thread state is set up for them, and the calling thread's identity and
// priority as the system gives them.
#include "platform/platform.h"

#include <new>
#include <process.h>
#include <windows.h>

namespace hb::platform {

namespace {

struct Start {
    ThreadRoutine routine;
    void* argument;
};

unsigned __stdcall threadTrampoline(void* raw) {
    auto* start = static_cast<Start*>(raw);
    ThreadRoutine routine = start->routine;
    void* argument = start->argument;
    delete start;
    routine(argument);
    _endthreadex(0);
    return 0;
}

} // namespace

bool startThread(ThreadRoutine routine, void* argument, uintptr_t* osHandle, uint32_t* threadId) {
    auto* start = new (std::nothrow) Start{routine, argument};
    if (!start) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // A start that succeeds leaves the caller's last error as it was: an
    // error from before the start must still show afterwards.
    const DWORD callersError = GetLastError();
    SetLastError(ERROR_SUCCESS);
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, &id);
    if (handle == 0) {
        delete start;
        // The runtime fails some starts (its own allocation) without a
        // system code; the caller must still see a failure.
        if (GetLastError() == ERROR_SUCCESS) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return false;
    }
    *osHandle = handle;
    *threadId = id;
    SetLastError(callersError);
    return true;
}

void keepBrokenPipesFromEndingTheProcess() {
    // A write to a pipe without a reader fails here; there is no signal.
}

void releaseThread(uintptr_t osHandle) {
    auto thread = reinterpret_cast<HANDLE>(osHandle);
    // The routine has returned; the wait covers the last instructions of the
    // thread, after which its handle is the only thing left of it.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

int32_t currentThreadPriority() {
    return GetThreadPriority(GetCurrentThread());
}

} // namespace hb::platform
