// Per-board file-I/O state: one slot per board index, process-wide.
#pragma once

#include "hbsys9u.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace hb {

// An event or thread that is absent.
inline const HbHandle kNoEvent = HB_INVALID_HANDLE;
inline ThreadRecord* const kNoThread = reinterpret_cast<ThreadRecord*>(intptr_t{-1});

inline constexpr uint32_t kErrorBusy = 170; // ERROR_BUSY: the slot serves another handle

struct FileIoBoardSlot {
    // Written by startup and shutdown on the host application's thread, read
    // by the service thread and by waiters on other threads.
    std::atomic<AcceleratorBoard*> board{nullptr};
    std::atomic<HbHandle> requestEvent{nullptr};
    std::atomic<ThreadRecord*> serviceThread{nullptr};
    std::atomic<HbHandle> exitEvent{nullptr};
    std::atomic<int8_t> exitStatus{0};
    // The VP program reported its exit since the service last started.
    std::atomic<bool> exitReported{false};
    ListNode* openFiles = nullptr;    // service thread only, while it runs
    ListNode* openSearches = nullptr; // service thread only, while it runs
    // The command line is copied whole under its lock, so the VP program
    // never sees one half-changed.
    std::mutex commandLineLock;
    char commandLine[HB_FILEIO_COMMAND_LINE_SIZE] = {};
    std::atomic<StdOutFunction> stdoutWriter{nullptr};
    std::atomic<StdOutFunction> stderrWriter{nullptr};

    // Extensions. The root is taken afresh at each request; the trace
    // function is called with its lock held, so that a setter returns only
    // when the previous function is done.
    std::mutex rootLock;
    platform::HostRootRef root;
    std::recursive_mutex traceLock;
    HbFileIoTraceFunction traceFunction = nullptr;
    void* traceContext = nullptr;
};

// The slot's root directory at this moment (null: unrestricted).
platform::HostRootRef currentRoot(FileIoBoardSlot& slot);

// The slot of `boardIndex`, or nullptr for an index outside 0 .. 15.
FileIoBoardSlot* fileIoSlot(int32_t boardIndex);

// Runs the one-time initialisation of every slot exactly once per process,
// also when several threads ask at the same moment.
void initFileIoTables();
bool fileIoTablesReady();

// Copies the command line with its NUL into `out` (256 bytes, zero-padded).
void copyCommandLine(FileIoBoardSlot& slot, char* out);

} // namespace hb
