// POSIX errno values translated into the Win32 numbering that the library
// reports. The one table of the translation lives in error_mapping.cpp.
#pragma once

#include <cstdint>

namespace hb::platform::posix {

// Fallback for errno values without a Win32 counterpart of their own.
inline constexpr uint32_t kUnmappedErrnoCode = 31; // ERROR_GEN_FAILURE

uint32_t win32ErrorFromErrno(int errnoValue);

// Sets the thread's last error from errno and returns the code.
uint32_t setLastErrorFromErrno(int errnoValue);

} // namespace hb::platform::posix
