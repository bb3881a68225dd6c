// The file-I/O block's offsets under the service's names, and little-endian
// access to a host copy of it; the values are those of file_io_block.h.
#pragma once

#include "file_io_block.h"
#include "hbsys9u.h"
#include "little_endian.h"

#include <cstddef>
#include <cstdint>

namespace hb::fileio_block {

inline constexpr uint32_t kCode = HB_FILEIO_CODE;
inline constexpr uint32_t kArgument = HB_FILEIO_ARGUMENT; // first argument, first response word
inline constexpr uint32_t kSecond = HB_FILEIO_SECOND;     // second argument or response word
inline constexpr uint32_t kThird = HB_FILEIO_THIRD;       // seek origin
inline constexpr uint32_t kOpenFlags = HB_FILEIO_OPEN_FLAGS;
inline constexpr uint32_t kOpen2Flags = HB_FILEIO_OPEN2_FLAGS;
inline constexpr uint32_t kSecondPath = HB_FILEIO_SECOND_PATH;
inline constexpr uint32_t kReadWriteData = HB_FILEIO_READ_WRITE_DATA;
inline constexpr uint32_t kEnvironmentData = HB_FILEIO_ENVIRONMENT_DATA;
inline constexpr uint32_t kFindRecordSize = HB_FILEIO_FIND_RECORD_SIZE;

inline uint32_t readWord(const uint8_t* block, uint32_t offset) {
    return getLe32(block + offset);
}

inline void writeWord(uint8_t* out, uint32_t offset, uint32_t value) {
    putLe32(out + offset, value);
}

} // namespace hb::fileio_block
