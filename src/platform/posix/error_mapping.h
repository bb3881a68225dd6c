// errno values of the POSIX backend translated into the Win32 numbering that
// the library reports. The table lives in error_mapping.cpp, in one place.
#pragma once

#include <cstdint>

namespace hb::platform::posix {

// The Win32 code for `error` (an errno value); 0 for 0.
uint32_t win32ErrorFromErrno(int error);

// As win32ErrorFromErrno, but a missing entry (ENOENT) gives 3 (path not
// found) instead of 2 (file not found) when the directory that should hold
// the last component of `path` is itself missing, as Windows tells them apart.
uint32_t win32ErrorForPath(int error, const char* path);

// Sets the thread's last error to win32ErrorForPath(errno, path) and returns it.
uint32_t setLastErrorFromErrno(const char* path = nullptr);

} // namespace hb::platform::posix
