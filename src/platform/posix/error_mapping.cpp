// The one errno -> Win32 table of the POSIX backend.
//
// Codes not listed fall back to 31 (ERROR_GEN_FAILURE), a code that no listed
// errno produces, so an unexpected failure still reaches the VP as a failure
// and can be told apart from the specific ones.
#include "platform/posix/error_mapping.h"

#include "platform/platform.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace hb::platform::posix {

namespace {

struct ErrnoToWin32 {
    int error;
    uint32_t code;
};

constexpr uint32_t kGenericFailure = 31; // ERROR_GEN_FAILURE

constexpr ErrnoToWin32 kTable[] = {
    {ENOENT, 2},        // ERROR_FILE_NOT_FOUND (3 when a directory is missing, see below)
    {ENOTDIR, 3},       // ERROR_PATH_NOT_FOUND
    {EMFILE, 4},        // ERROR_TOO_MANY_OPEN_FILES
    {ENFILE, 4},        //
    {EACCES, 5},        // ERROR_ACCESS_DENIED
    {EPERM, 5},         //
    {EISDIR, 5},        //
    {EBADF, 6},         // ERROR_INVALID_HANDLE (the runtime calls report 9 themselves)
    {ENOMEM, 8},        // ERROR_NOT_ENOUGH_MEMORY
    {EXDEV, 17},        // ERROR_NOT_SAME_DEVICE
    {EROFS, 19},        // ERROR_WRITE_PROTECT
    {EBUSY, 32},        // ERROR_SHARING_VIOLATION
    {ETXTBSY, 32},      //
    {EEXIST, 80},       // ERROR_FILE_EXISTS
    {EINVAL, 87},       // ERROR_INVALID_PARAMETER
    {EPIPE, 109},       // ERROR_BROKEN_PIPE
    {ENOSPC, 112},      // ERROR_DISK_FULL
    {EDQUOT, 112},      //
    {ESPIPE, 132},      // ERROR_SEEK_ON_DEVICE
    {ENOTEMPTY, 145},   // ERROR_DIR_NOT_EMPTY
    {ENAMETOOLONG, 206}, // ERROR_FILENAME_EXCED_RANGE
    {EFBIG, 223},       // ERROR_FILE_TOO_LARGE
    {EIO, 1117},        // ERROR_IO_DEVICE
    {ELOOP, 1921},      // ERROR_CANT_RESOLVE_FILENAME
};

bool parentDirectoryExists(const char* path) {
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
}

} // namespace

uint32_t win32ErrorFromErrno(int error) {
    if (error == 0)
        return 0;
    for (const auto& entry : kTable)
        if (entry.error == error)
            return entry.code;
    return kGenericFailure;
}

uint32_t win32ErrorForPath(int error, const char* path) {
    if (error == ENOENT && path != nullptr && !parentDirectoryExists(path))
        return 3;
    return win32ErrorFromErrno(error);
}

uint32_t setLastErrorFromErrno(const char* path) {
    const int error = errno;
    const uint32_t code = win32ErrorForPath(error, path);
    setLastError(code);
    errno = error; // the runtime pattern reads it after us
    return code;
}

} // namespace hb::platform::posix
