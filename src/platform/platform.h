// The one seam between the library and the operating system.
//
// Everything that differs between operating systems goes through these
// functions; the subsystems above speak only in the library's own terms
// (Win32-numbered error codes, opaque handles, millisecond waits). One backend
// folder implements the whole seam for each platform.
#pragma once

#include <cstdint>

namespace hb::platform {

using Handle = void*; // opaque; nullptr names no object

// ---- Thread's last-error value (Win32 numbering) --------------------------
uint32_t lastError();
void setLastError(uint32_t code);

// ---- Waitable objects ----------------------------------------------------
// Create functions return nullptr on failure with the last error set. The
// other functions return false on failure with the last error set (6 for a
// handle that names no live object of the right kind).
inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;

enum class WaitOutcome {
    Signalled, // object signalled (mutex/semaphore acquired)
    TimedOut,
    Abandoned, // mutex whose owner ended while holding it; caller now owns it
    Failed,    // invalid or closed handle, or the wait itself failed
};

Handle createMutex();
Handle createEvent(bool initiallySet); // manual reset
Handle createSemaphore(int32_t initialCount, int32_t maximumCount);

// Waits up to `milliseconds` (kInfiniteWait: no limit), measured against a
// monotonic clock.
WaitOutcome wait(Handle object, uint32_t milliseconds);

bool releaseMutex(Handle mutex);
bool setEvent(Handle event);
bool resetEvent(Handle event);
bool releaseSemaphore(Handle semaphore);
bool closeObject(Handle object);

void yieldProcessor();

// ---- Threads -------------------------------------------------------------
using ThreadRoutine = void (*)(void* argument);

// Starts `routine(argument)` at once. Fills the platform handle and id.
// Returns false with the last error set when no thread was started.
bool startThread(ThreadRoutine routine, void* argument, uintptr_t* osHandle, uint32_t* threadId);
// Releases the platform's hold on a thread whose routine has returned or is
// about to return (waits for the last few instructions of it where needed).
void releaseThread(uintptr_t osHandle);
uint32_t currentThreadId();
// The calling thread's priority as a Win32 THREAD_PRIORITY_* value
// (-15, -2, -1, 0, 1, 2, 15); other values for states without a level.
int32_t currentThreadPriority();

// ---- High-resolution counter ---------------------------------------------
int64_t counterFrequency(); // ticks per second
int64_t counterNow();

// ---- Device channel ------------------------------------------------------
// Opens the device with this full name for shared read/write. Returns nullptr
// on failure with the platform's code as last error (2 missing, 5 refused).
Handle deviceOpen(const char* name);
void deviceClose(Handle device);
// One synchronous device-control request. Returns false with the last error
// set when the device or the transport fails the request.
bool deviceControl(Handle device, uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned);

} // namespace hb::platform
