// errno of a failed file call turned into the Win32 code Windows gives for
// the same path.
#include "platform/posix/host_path_errors.h"

#include "platform/platform.h"
#include "platform/posix/error_mapping.h"

#include <cerrno>
#include <new>
#include <string>
#include <sys/stat.h>

namespace hb::platform::posix {

namespace {

bool parentDirectoryExists(const char* path) try {
    std::string parent(path);
    // A trailing separator names the directory itself: look one level up.
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    const auto slash = parent.rfind('/');
    if (slash == std::string::npos)
        return true; // relative to the current directory, which exists
    parent.resize(slash == 0 ? 1 : slash);
    struct stat info {};
    return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
} catch (const std::bad_alloc&) {
    return true; // no memory to look: the plainer code stands
}

} // namespace

uint32_t win32ErrorForPath(int errnoValue, const char* path) {
    if (errnoValue == ENOENT && path != nullptr && !parentDirectoryExists(path))
        return 3;
    return win32ErrorFromErrno(errnoValue);
}

uint32_t setLastErrorFromErrnoFor(const char* path) {
    const int error = errno;
    const uint32_t code = win32ErrorForPath(error, path);
    setLastError(code);
    errno = error;
    return code;
}

} // namespace hb::platform::posix
