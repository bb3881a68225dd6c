// The C runtime's errno in the file-I/O service's terms; errno is the same
// idea on every backend, so both compile this one file.
#include "platform/platform.h"

#include <cerrno>

namespace hb::platform {

RuntimeError runtimeError() {
    switch (errno) {
    case 0:
        return RuntimeError::None;
    case EBADF:
        return RuntimeError::BadDescriptor;
    case EINVAL:
        return RuntimeError::InvalidArgument;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return RuntimeError::NoSpace;
    default:
        return RuntimeError::Other;
    }
}

void clearRuntimeError() {
    errno = 0;
}

} // namespace hb::platform
