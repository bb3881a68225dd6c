// Names of the Win32 codes the library reports, for one-line messages such as
// "cannot open image 'x.exe': error 3, path not found".
#pragma once

#include <cstdint>
#include <string>

namespace hb::tools {

// "path not found" for 3; "unknown error" for a code without a name here.
std::string errorName(uint32_t code);

// "error 3, path not found"
std::string describeError(uint32_t code);

} // namespace hb::tools

namespace hb::tools {

// The Win32 code for a failed C library call (for hbrun's own files).
uint32_t win32FromErrno(int error);

} // namespace hb::tools
