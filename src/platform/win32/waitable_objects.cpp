// Mutexes, events and semaphores are the system's own kernel objects, and a
// handle of the seam is the system's handle to one.
//
// 0 and the pseudo-handles (-1 the current process, -2 the current thread,
// -3 .. -6 the tokens) name no object of ours: a wait on the current process
// or thread would never end, and closing a pseudo-handle "succeeds" without
// closing anything. They are refused with ERROR_INVALID_HANDLE before any
// system call, as is 0xFFFFFFFF, the invalid-handle value as a 32-bit field
// carries it.
#include "platform/platform.h"

#include <windows.h>

namespace hb::platform {

static_assert(kInfiniteWait == INFINITE);

namespace {

bool namesNoObject(Handle object) {
    const auto value = reinterpret_cast<intptr_t>(object);
    return value == 0 || (value >= -6 && value <= -1) ||
           static_cast<uintptr_t>(value) == uintptr_t{0xFFFFFFFFu};
}

bool refuse() {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

// The system clears the last error when it creates an object; a creation
// that succeeds here keeps the caller's, so that an error from before it
// still shows afterwards (as on every other platform).
Handle keepingLastError(HANDLE created, DWORD callersError) {
    if (created != nullptr) {
        SetLastError(callersError);
    }
    return created;
}

} // namespace

Handle createMutex() {
    const DWORD callersError = GetLastError();
    return keepingLastError(CreateMutexW(nullptr, FALSE, nullptr), callersError);
}

Handle createEvent(bool initiallySet) {
    const DWORD callersError = GetLastError();
    return keepingLastError(CreateEventW(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr),
                            callersError);
}

Handle createSemaphore(int32_t initialCount, int32_t maximumCount) {
    const DWORD callersError = GetLastError();
    return keepingLastError(CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr),
                            callersError);
}

WaitOutcome wait(Handle object, uint32_t milliseconds) {
    if (namesNoObject(object)) {
        refuse();
        return WaitOutcome::Failed;
    }
    switch (WaitForSingleObject(object, milliseconds)) {
    case WAIT_OBJECT_0:
        return WaitOutcome::Signalled;
    case WAIT_TIMEOUT:
        return WaitOutcome::TimedOut;
    case WAIT_ABANDONED:
        return WaitOutcome::Abandoned;
    default:
        return WaitOutcome::Failed;
    }
}

bool releaseMutex(Handle mutex) {
    return namesNoObject(mutex) ? refuse() : ReleaseMutex(mutex);
}

bool setEvent(Handle event) {
    return namesNoObject(event) ? refuse() : SetEvent(event);
}

bool resetEvent(Handle event) {
    return namesNoObject(event) ? refuse() : ResetEvent(event);
}

bool releaseSemaphore(Handle semaphore) {
    return namesNoObject(semaphore) ? refuse() : ReleaseSemaphore(semaphore, 1, nullptr);
}

bool closeObject(Handle object) {
    return namesNoObject(object) ? refuse() : CloseHandle(object);
}

void yieldProcessor() {
    Sleep(0);
}

} // namespace hb::platform
