// Little-endian loads and stores of 16-, 32- and 64-bit values in byte buffers: the
// byte order of every format the host, the board and the VP exchange. The
// only such helpers of the C++ code.
#pragma once

#include <cstdint>

namespace hb {

inline constexpr uint16_t getLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

inline constexpr uint32_t getLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

inline constexpr void putLe16(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline constexpr void putLe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

inline constexpr void putLe64(uint8_t* out, uint64_t value) {
    putLe32(out, static_cast<uint32_t>(value));
    putLe32(out + 4, static_cast<uint32_t>(value >> 32));
}

// The first `size` bytes (at most 8) of a value, as a memory access of that
// width reads or writes them.
inline constexpr void putLeN(uint8_t* out, uint64_t value, unsigned size) {
    for (unsigned i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline constexpr uint64_t getLeN(const uint8_t* in, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = size; i-- > 0;) {
        value = value << 8 | in[i];
    }
    return value;
}

} // namespace hb
