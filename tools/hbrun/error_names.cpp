// Names and one-line descriptions of the Win32 codes hbrun reports, and errno
// in the Win32 numbering.
#include "error_names.h"

namespace hb::tools {

std::string errorName(uint32_t code) {
    switch (code) {
    case 0:
        return "success";
    case 2:
        return "file not found";
    case 3:
        return "path not found";
    case 4:
        return "too many open files";
    case 5:
        return "access denied";
    case 6:
        return "invalid handle";
    case 8:
        return "not enough memory";
    case 9:
        return "invalid block";
    case 18:
        return "no more files";
    case 19:
        return "write protected";
    case 31:
        return "general failure";
    case 32:
        return "sharing violation";
    case 50:
        return "not supported";
    case 80:
        return "file exists";
    case 87:
        return "invalid parameter";
    case 112:
        return "disk full";
    case 121:
        return "semaphore time-out";
    case 170:
        return "busy";
    case 183:
        return "already exists";
    case 206:
        return "file name too long";
    case 267:
        return "not a directory";
    case 1006:
        return "file invalid";
    case 1100:
        return "end of media";
    case 1117:
        return "I/O device error";
    case 1167:
        return "device not connected";
    case 1225:
        return "connection refused";
    case 1460:
        return "time-out";
    case 1921:
        return "cannot resolve file name";
    default:
        return "unknown error";
    }
}

std::string describeError(uint32_t code) {
    return "error " + std::to_string(code) + ", " + errorName(code);
}

} // namespace hb::tools

#include <cerrno>

namespace hb::tools {

uint32_t win32FromErrno(int error) {
    switch (error) {
    case ENOENT:
        return 3;
    case ENOTDIR:
        return 3;
    case EACCES:
    case EPERM:
    case EISDIR:
        return 5;
    case EMFILE:
    case ENFILE:
        return 4;
    case ENOMEM:
        return 8;
    case ENOSPC:
        return 112;
    case EROFS:
        return 19;
    case ENAMETOOLONG:
        return 206;
    default:
        return 31;
    }
}

} // namespace hb::tools
