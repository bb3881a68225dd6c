// errno -> Win32 error code.
//
// | errno                       | Win32 code                       |
// |-----------------------------|----------------------------------|
// | 0                           | 0                                |
// | ENOENT                      | 2 ERROR_FILE_NOT_FOUND           |
// | ENOTDIR                     | 3 ERROR_PATH_NOT_FOUND           |
// | EMFILE, ENFILE              | 4 ERROR_TOO_MANY_OPEN_FILES      |
// | EACCES, EPERM, EISDIR       | 5 ERROR_ACCESS_DENIED            |
// | EBADF                       | 6 ERROR_INVALID_HANDLE           |
// | ENOMEM                      | 8 ERROR_NOT_ENOUGH_MEMORY        |
// | EROFS                       | 19 ERROR_WRITE_PROTECT           |
// | EXDEV                       | 17 ERROR_NOT_SAME_DEVICE         |
// | EBUSY, ETXTBSY              | 32 ERROR_SHARING_VIOLATION       |
// | EEXIST                      | 80 ERROR_FILE_EXISTS             |
// | EINVAL                      | 87 ERROR_INVALID_PARAMETER       |
// | EPIPE                       | 109 ERROR_BROKEN_PIPE            |
// | ENOSPC, EDQUOT              | 112 ERROR_DISK_FULL              |
// | EAGAIN                      | 170 ERROR_BUSY                   |
// | ENOTEMPTY                   | 145 ERROR_DIR_NOT_EMPTY          |
// | ENAMETOOLONG                | 206 ERROR_FILENAME_EXCED_RANGE   |
// | ETIMEDOUT                   | 1460 ERROR_TIMEOUT               |
// | ECONNREFUSED                | 1225 ERROR_CONNECTION_REFUSED    |
// | ENOTCONN, ECONNRESET        | 1167 ERROR_DEVICE_NOT_CONNECTED  |
// | ELOOP                       | 1921 ERROR_CANT_RESOLVE_FILENAME |
// | EIO                         | 1117 ERROR_IO_DEVICE             |
// | EFBIG, EOVERFLOW            | 223 ERROR_FILE_TOO_LARGE         |
// | anything else               | 31 ERROR_GEN_FAILURE             |
//
// ENOENT where a directory on the way is missing (3) is the caller's to tell
// apart: only the caller knows the path.
#include "platform/posix/error_mapping.h"

#include "platform/platform.h"

#include <cerrno>

namespace hb::platform::posix {

uint32_t win32ErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
    case 0:
        return 0;
    case ENOENT:
        return 2;
    case ENOTDIR:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EISDIR:
        return 5;
    case EBADF:
        return 6;
    case ENOMEM:
        return 8;
    case EXDEV:
        return 17;
    case EROFS:
        return 19;
    case EBUSY:
    case ETXTBSY:
        return 32;
    case EEXIST:
        return 80;
    case EINVAL:
        return 87;
    case EPIPE:
        return 109;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case ENOTEMPTY:
        return 145;
    case EAGAIN:
        return 170;
    case ENAMETOOLONG:
        return 206;
    case EFBIG:
    case EOVERFLOW:
        return 223;
    case EIO:
        return 1117;
    case ENOTCONN:
    case ECONNRESET:
        return 1167;
    case ECONNREFUSED:
        return 1225;
    case ETIMEDOUT:
        return 1460;
    case ELOOP:
        return 1921;
    default:
        return kUnmappedErrnoCode;
    }
}

uint32_t setLastErrorFromErrno(int errnoValue) {
    uint32_t code = win32ErrorFromErrno(errnoValue);
    setLastError(code);
    return code;
}

} // namespace hb::platform::posix
