// Writes small PE32 images for tests, the way a linker lays them out.
#pragma once

#include "little_endian.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace hb::pe::testing {

struct SectionSpec {
    std::string name;
    uint32_t characteristics = 0x60000020; // code, execute, read
    std::vector<uint8_t> data;             // file data; empty for uninitialised sections
    uint32_t virtualSize = 0;              // 0: the data's size
    uint32_t virtualAddress = 0;           // 0: the next 0x1000 boundary
};

struct ImageLayout {
    uint32_t lfanew = 0x78;
    uint32_t fileAlignment = 0x200;
    uint32_t imageBase = 0x100000;
    uint32_t entry = 0x1000;
    uint16_t optionalHeaderSize = 224;
    uint32_t debugDirectoryRva = 0, debugDirectorySize = 0;
    uint32_t symbolTable = 0;
    std::vector<SectionSpec> sections;
};

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    hb::putLe32(&b[at], v);
}
inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    hb::putLe16(&b[at], v);
}
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return hb::getLe32(&b[at]);
}

inline std::vector<uint8_t> writeImage(const ImageLayout& layout) {
    const uint32_t fa = layout.fileAlignment;
    const uint32_t headerEnd = layout.lfanew + 248 + 40 * uint32_t(layout.sections.size());
    const uint32_t sizeOfHeaders = (headerEnd + fa - 1) / fa * fa;
    std::vector<uint8_t> f(sizeOfHeaders, 0);
    f[0] = 'M';
    f[1] = 'Z';
    for (size_t i = 64; i < layout.lfanew; ++i) {
        f[i] = uint8_t(0xD0 + i); // a stub the tool may drop
    }
    put32(f, 60, layout.lfanew);
    const size_t nt = layout.lfanew;
    put32(f, nt, 0x4550);
    put16(f, nt + 4, 0x14C);
    put16(f, nt + 6, uint16_t(layout.sections.size()));
    put32(f, nt + 12, layout.symbolTable);
    put16(f, nt + 20, layout.optionalHeaderSize);
    put16(f, nt + 22, 0x103);
    put16(f, nt + 24, 0x10B);
    put32(f, nt + 40, layout.entry);
    put32(f, nt + 44, 0x1000);
    put32(f, nt + 52, layout.imageBase);
    put32(f, nt + 56, 0x1000);
    put32(f, nt + 60, fa);
    put32(f, nt + 84, sizeOfHeaders);
    put32(f, nt + 88, 0x1234); // a checksum the move invalidates
    put16(f, nt + 92, 1);
    put32(f, nt + 116, 16);
    put32(f, nt + 120 + 8 * 6, layout.debugDirectoryRva);
    put32(f, nt + 124 + 8 * 6, layout.debugDirectorySize);
    uint32_t va = 0x1000;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const SectionSpec& s = layout.sections[i];
        size_t at = nt + 248 + 40 * i;
        std::memcpy(&f[at], s.name.data(), std::min<size_t>(8, s.name.size()));
        uint32_t vsize = s.virtualSize != 0 ? s.virtualSize : uint32_t(s.data.size());
        uint32_t sva = s.virtualAddress != 0 ? s.virtualAddress : va;
        uint32_t raw = uint32_t((s.data.size() + fa - 1) / fa * fa);
        put32(f, at + 8, vsize);
        put32(f, at + 12, sva);
        put32(f, at + 16, raw);
        put32(f, at + 20, raw != 0 ? uint32_t(f.size()) : 0);
        put32(f, at + 36, s.characteristics);
        std::vector<uint8_t> padded = s.data;
        padded.resize(raw, 0);
        f.insert(f.end(), padded.begin(), padded.end());
        va = (sva + std::max(vsize, raw) + 0xFFF) / 0x1000 * 0x1000;
    }
    return f;
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = uint8_t(seed + i * 7);
    }
    return v;
}

// A program as the VP toolchain links it: code, then the stack.
inline ImageLayout typicalProgram() {
    ImageLayout layout;
    layout.sections.push_back({".text", 0xE0000020, pattern(0x345, 1), 0, 0});
    layout.sections.push_back({".stack", 0xC0000080, {}, 0x4000, 0});
    return layout;
}

} // namespace hb::pe::testing
