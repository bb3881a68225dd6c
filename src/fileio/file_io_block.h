// Byte offsets of the file-I/O block and little-endian access to a host copy
// of it.
#pragma once

#include "hbsys9u.h"

#include <cstddef>
#include <cstdint>

namespace hb::fileio_block {

inline constexpr uint32_t kCode = 0;
inline constexpr uint32_t kArgument = 4;    // first argument, first response word
inline constexpr uint32_t kSecond = 8;      // second argument or response word
inline constexpr uint32_t kThird = 12;      // seek origin
inline constexpr uint32_t kOpenFlags = 272; // Open
inline constexpr uint32_t kOpen2Flags = 268;
inline constexpr uint32_t kSecondPath = 265; // Rename's new path
inline constexpr uint32_t kReadWriteData = 12;
inline constexpr uint32_t kEnvironmentData = 8;
inline constexpr uint32_t kFindRecordSize = 284;

inline uint32_t readWord(const uint8_t* block, uint32_t offset) {
    return uint32_t{block[offset]} | uint32_t{block[offset + 1]} << 8 |
           uint32_t{block[offset + 2]} << 16 | uint32_t{block[offset + 3]} << 24;
}

inline void writeWord(uint8_t* out, uint32_t offset, uint32_t value) {
    out[offset] = static_cast<uint8_t>(value);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
    out[offset + 2] = static_cast<uint8_t>(value >> 16);
    out[offset + 3] = static_cast<uint8_t>(value >> 24);
}

} // namespace hb::fileio_block
