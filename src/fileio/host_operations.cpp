// The host side of each file request of the VP program: the platform's host
// file call, its result value, and the Win32 last-error value after a failure.
#include "fileio/host_operations.h"

#include "fileio/dos_date_time.h"
#include "platform/platform.h"

#include <cstring>

namespace hb {

namespace {

namespace platform = hb::platform;

enum class RuntimeCall { Read, Write, Close, Seek };

// Step 4 of the runtime-call pattern: explain a failed call in the last error.
void explainRuntimeFailure(RuntimeCall call) {
    const platform::RuntimeError error = platform::runtimeError();
    if (error == platform::RuntimeError::BadDescriptor)
        platform::setLastError(kRuntimeBadDescriptor);
    else if (call == RuntimeCall::Write && error == platform::RuntimeError::NoSpace)
        platform::setLastError(kRuntimeEndOfMedia);
    else if (call == RuntimeCall::Seek && error == platform::RuntimeError::InvalidArgument)
        platform::setLastError(kRuntimeInvalidArgument);
    else if (platform::lastError() == 0)
        platform::setLastError(kRuntimeFileInvalid);
}

// Steps 1 and 2: nothing stale (last error or errno) may decide the mapping.
void beginRuntimeCall() {
    platform::setLastError(0);
    platform::clearRuntimeError();
}

void fillEntry(const platform::HostDirectoryEntry& entry, char* name, uint32_t* attributes,
               uint32_t* sizeLow, uint32_t* dosDate, uint32_t* dosTime) {
    *attributes = entry.attributes;
    *sizeLow = static_cast<uint32_t>(entry.size);
    const DosDateTime stamp = dosDateTimeFromUnixSeconds(entry.lastWriteSeconds);
    *dosDate = stamp.date;
    *dosTime = stamp.time;
    static_assert(sizeof entry.name <= kFindNameSize);
    std::memset(name, 0, kFindNameSize);
    std::memcpy(name, entry.name, sizeof entry.name);
    name[sizeof entry.name - 1] = '\0';
}

} // namespace

int32_t hostOpen(const platform::HostRootRef& root, const char* path, uint32_t flags) {
    // Bit 15 and above are the VP's business; the file is always untranslated.
    const uint32_t runtimeFlags = (flags & 0x7FFFu) | HB_O_BINARY;
    platform::clearRuntimeError();
    return platform::openFile(root, path, runtimeFlags);
}

int32_t hostRead(int32_t descriptor, void* buffer, uint32_t count) {
    beginRuntimeCall();
    const int32_t result = platform::readFile(descriptor, buffer, count);
    if (result < 0 || static_cast<uint32_t>(result) != count)
        explainRuntimeFailure(RuntimeCall::Read);
    return result;
}

int32_t hostWrite(int32_t descriptor, const void* data, uint32_t count, StdOutFunction stdoutWriter,
                  StdOutFunction stderrWriter) {
    beginRuntimeCall();
    int32_t result;
    if (descriptor == 1 && stdoutWriter != nullptr)
        result = stdoutWriter(data, static_cast<int32_t>(count));
    else if (descriptor == 2 && stderrWriter != nullptr)
        result = stderrWriter(data, static_cast<int32_t>(count));
    else
        result = platform::writeFile(descriptor, data, count);
    if (result < 0 || static_cast<uint32_t>(result) != count)
        explainRuntimeFailure(RuntimeCall::Write);
    return result;
}

int32_t hostClose(int32_t descriptor) {
    beginRuntimeCall();
    const int32_t result = platform::closeFile(descriptor);
    if (result == -1)
        explainRuntimeFailure(RuntimeCall::Close);
    return result;
}

int32_t hostSeek(int32_t descriptor, int32_t offset, int32_t origin) {
    beginRuntimeCall();
    const int32_t result = platform::seekFile(descriptor, offset, origin);
    if (result == -1)
        explainRuntimeFailure(RuntimeCall::Seek);
    return result;
}

uint32_t hostDelete(const platform::HostRootRef& root, const char* path) {
    return platform::deleteFile(root, path);
}

uint32_t hostRename(const platform::HostRootRef& root, const char* oldPath, const char* newPath) {
    return platform::renameFile(root, oldPath, newPath);
}

uint32_t hostFindFirst(const platform::HostRootRef& root, const char* pattern, char* name,
                       uint32_t* attributes, uint32_t* sizeLow, uint32_t* dosDate,
                       uint32_t* dosTime) {
    platform::HostDirectoryEntry entry{};
    const uint32_t search = platform::findFirstFile(root, pattern, &entry);
    if (search != platform::kInvalidSearch)
        fillEntry(entry, name, attributes, sizeLow, dosDate, dosTime);
    return search;
}

uint32_t hostFindNext(uint32_t search, char* name, uint32_t* attributes, uint32_t* sizeLow,
                      uint32_t* dosDate, uint32_t* dosTime) {
    platform::HostDirectoryEntry entry{};
    const uint32_t result = platform::findNextFile(search, &entry);
    if (result == 0)
        fillEntry(entry, name, attributes, sizeLow, dosDate, dosTime);
    return result;
}

uint32_t hostFindClose(uint32_t search) {
    return platform::findClose(search);
}

uint32_t hostGetAttributes(const platform::HostRootRef& root, const char* path) {
    return platform::fileAttributes(root, path);
}

char* hostEnvironment() {
    return platform::environmentStrings();
}

void hostFreeEnvironment(char* block) {
    platform::freeEnvironmentStrings(block);
}

} // namespace hb
