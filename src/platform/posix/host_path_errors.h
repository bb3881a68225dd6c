// Win32 codes for failed file calls, told apart by path as Windows does.
#pragma once

#include <cstdint>

namespace hb::platform::posix {

// win32ErrorFromErrno, except that a missing entry (ENOENT) gives 3 (path not
// found) instead of 2 (file not found) when the directory that should hold
// the last component of `path` is itself missing.
uint32_t win32ErrorForPath(int errnoValue, const char* path);

// Sets the thread's last error from errno (told apart by `path` when given)
// and returns it; errno is left as it was, for the runtime pattern to read.
uint32_t setLastErrorFromErrnoFor(const char* path = nullptr);

} // namespace hb::platform::posix
