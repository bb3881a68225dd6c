// Host files of the Win32 backend: the Microsoft runtime's descriptors, and
// the system's own file calls, whose error codes are already the ones the VP
// receives.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace hb::platform {

// A root directory is not offered on this platform yet: setting one fails
// with 50 (ERROR_NOT_SUPPORTED), so no host application believes its VP
// program confined when it is not. Should a root ever reach the calls below,
// they refuse the request rather than run it unconfined.
class HostRoot {};

HostRootRef openHostRoot(const char* /*path*/) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

namespace {

bool refusedBeneathRoot(const HostRootRef& root) {
    if (root) {
        SetLastError(ERROR_ACCESS_DENIED);
        return true;
    }
    return false;
}

} // namespace

int32_t openFile(const HostRootRef& root, const char* path, uint32_t runtimeFlags) {
    if (refusedBeneathRoot(root)) {
        errno = EACCES;
        return -1;
    }
    // Untranslated always: a text bit beside the binary bit would make the
    // runtime refuse the open. A created file gets write permission.
    const int flags = static_cast<int>(runtimeFlags & ~uint32_t{_O_TEXT}) | _O_BINARY;
    return _open(path, flags, _S_IWRITE);
}

int32_t readFile(int32_t descriptor, void* buffer, uint32_t count) {
    return _read(descriptor, buffer, count);
}

int32_t writeFile(int32_t descriptor, const void* data, uint32_t count) {
    return _write(descriptor, data, count);
}

int32_t closeFile(int32_t descriptor) {
    return _close(descriptor);
}

int32_t seekFile(int32_t descriptor, int32_t offset, int32_t origin) {
    // The answer is a signed 32-bit position. A move that ends beyond it is
    // undone and refused, instead of reporting a wrapped position.
    const __int64 before = _lseeki64(descriptor, 0, SEEK_CUR);
    if (before == -1) {
        return -1;
    }
    const long after = _lseek(descriptor, offset, origin);
    const __int64 now = _lseeki64(descriptor, 0, SEEK_CUR);
    if (after >= 0 && now == after) {
        return after;
    }
    if (now > INT32_MAX) {
        _lseeki64(descriptor, before, SEEK_SET);
        errno = EINVAL;
    }
    return -1;
}

uint32_t deleteFile(const HostRootRef& root, const char* path) {
    if (refusedBeneathRoot(root)) {
        return ERROR_ACCESS_DENIED;
    }
    return DeleteFileA(path) ? 0 : GetLastError();
}

uint32_t renameFile(const HostRootRef& root, const char* oldPath, const char* newPath) {
    if (refusedBeneathRoot(root)) {
        return ERROR_ACCESS_DENIED;
    }
    return MoveFileA(oldPath, newPath) ? 0 : GetLastError();
}

uint32_t fileAttributes(const HostRootRef& root, const char* path) {
    if (refusedBeneathRoot(root)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetFileAttributesA(path);
}

char* environmentStrings() {
    return GetEnvironmentStrings();
}

void freeEnvironmentStrings(char* block) {
    FreeEnvironmentStringsA(block);
}

} // namespace hb::platform
