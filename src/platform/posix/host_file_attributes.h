// Win32 attribute bits of a POSIX file, shared by the attribute query and the
// directory search.
#pragma once

#include <cstdint>
#include <string_view>
#include <sys/stat.h>

namespace hb::platform::posix {

// Directory 0x10; read-only 0x1 when the write bit of the permission class
// that applies to this process (owner, group or others) is clear; hidden 0x2
// for names beginning with a dot (not "." and ".."); archive 0x20 for regular
// files; normal 0x80 when no other bit applies.
uint32_t attributesFromStat(const struct stat& info, std::string_view name);

// The last component of a path, trailing separators ignored.
std::string_view lastPathComponent(std::string_view path);

} // namespace hb::platform::posix
