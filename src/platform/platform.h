// The one seam between the library and the operating system.
//
// Everything that differs between operating systems goes through these
// functions; the subsystems above speak only in the library's own terms
// (Win32-numbered error codes, opaque handles, millisecond waits). One backend
// folder implements the whole seam for each platform.
#pragma once

#include <cstdint>
#include <memory>

namespace hb::platform {

using Handle = void*; // opaque; nullptr names no object

// ---- Thread's last-error value (Win32 numbering) --------------------------
uint32_t lastError();
void setLastError(uint32_t code);

// ---- Waitable objects ----------------------------------------------------
// Create functions return nullptr on failure with the last error set, and
// keep the caller's last error when they succeed. The
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
// Writes of the calling thread to a pipe whose reader is gone fail (109)
// instead of raising a signal that would end the host process. For the
// threads that write on the VP program's behalf.
void keepBrokenPipesFromEndingTheProcess();
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

// ---- Host files ----------------------------------------------------------
// The host side of the VP program's file requests. Descriptors are the host
// runtime's, shared with the host application. Open flags are the Microsoft
// runtime's _open bits as the VP sends them (read-only 0, write-only 1,
// read-write 2, append 0x8, create 0x100, truncate 0x200, exclusive 0x400,
// untranslated 0x8000); every file is opened untranslated and a created file
// is writable; truncation asks for write access or creation (87 otherwise),
// and a file opened with the temporary bit (0x40) goes when that descriptor
// is closed. Every failure leaves a Win32-numbered last error.
//
// Paths and patterns are the VP program's: where the host's separator is not
// the backslash, '\' is read as one, and a drive prefix ("C:") names the
// root directory (3 when no root is set).

// The runtime's error number after a runtime-style call (open .. seek), in
// the terms the file service distinguishes.
enum class RuntimeError { None, BadDescriptor, InvalidArgument, NoSpace, Other };
RuntimeError runtimeError();
void clearRuntimeError();

// A directory that confines the VP program's file access. Every path given
// together with a root is resolved beneath it: no "..", absolute path or
// symbolic link leads out, and an attempt to leave fails with 5. A null root
// leaves paths as they are, relative to the process's current directory.
class HostRoot;
using HostRootRef = std::shared_ptr<const HostRoot>;
// The directory at `path` as a root, or nullptr with the last error set (3
// missing, 267 not a directory).
HostRootRef openHostRoot(const char* path);

// -1 on failure. A directory cannot be opened (last error 5).
int32_t openFile(const HostRootRef& root, const char* path, uint32_t runtimeFlags);
// The descriptor calls refuse the descriptors the library holds itself (its
// device connections, its events' descriptors) as bad descriptors.
// Bytes moved, or -1.
int32_t readFile(int32_t descriptor, void* buffer, uint32_t count);
int32_t writeFile(int32_t descriptor, const void* data, uint32_t count);
// 0, or -1.
int32_t closeFile(int32_t descriptor);
// New position from the start (0 .. 2^31 - 1), or -1; origin 0 start,
// 1 current position, 2 end; any other origin fails as an invalid argument.
int32_t seekFile(int32_t descriptor, int32_t offset, int32_t origin);

// 0, or the Win32 code (also left as last error). Only files are deleted.
uint32_t deleteFile(const HostRootRef& root, const char* path);
// Renames or moves a file or directory; never replaces an existing target.
// A file moves to another file system as a copy (content and modification
// time) and a removal, or not at all; a directory does not (17).
uint32_t renameFile(const HostRootRef& root, const char* oldPath, const char* newPath);

// One entry of a directory search.
struct HostDirectoryEntry {
    char name[260]; // long name, NUL-terminated
    uint32_t attributes;
    uint64_t size;
    int64_t lastWriteSeconds; // universal time, seconds since 1970-01-01
};

// Search handles are 32-bit values, never 0 or kInvalidSearch.
inline constexpr uint32_t kInvalidSearch = 0xFFFFFFFFu;

// Starts a search with the platform's wildcard rules and fills the first
// match; kInvalidSearch (last error set, entry untouched) when none. Beneath a
// root, entries that lead out of it (a link to outside) are not listed, and
// the root directory itself lists neither "." nor "..".
uint32_t findFirstFile(const HostRootRef& root, const char* pattern, HostDirectoryEntry* entry);
// 0 and the next match, or the Win32 code (18 once the listing is exhausted)
// with the entry untouched.
uint32_t findNextFile(uint32_t search, HostDirectoryEntry* entry);
// 0, or the Win32 code (6 for a value that names no search).
uint32_t findClose(uint32_t search);

// The attribute bits of a file or directory, or 0xFFFFFFFF (last error set).
uint32_t fileAttributes(const HostRootRef& root, const char* path);

// The process environment as one block of NUL-terminated name=value strings
// ended by an empty string; nullptr on failure (last error set). Released
// with freeEnvironmentStrings.
char* environmentStrings();
void freeEnvironmentStrings(char* block);

} // namespace hb::platform
