// Builds PE32 executable images for tests, the loader fuzzer and the
// benchmark: chosen sections (name, flags, sizes, raw data), e_lfanew, data
// directories and entry point, including values a well-formed image never has.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hb::test {

inline constexpr uint32_t kSectionCode = 0x00000020;          // IMAGE_SCN_CNT_CODE
inline constexpr uint32_t kSectionInitialized = 0x00000040;   // IMAGE_SCN_CNT_INITIALIZED_DATA
inline constexpr uint32_t kSectionUninitialized = 0x00000080; // IMAGE_SCN_CNT_UNINITIALIZED_DATA
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;
inline constexpr uint32_t kSectionExecute = 0x20000000;

struct PeSection {
    std::array<char, 8> name{}; // the raw 8-byte Name field
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    std::vector<uint8_t> data;             // raw data placed in the file
    std::optional<uint32_t> sizeOfRawData; // default: data.size()
    uint32_t characteristics = kSectionInitialized | kSectionRead;
};

struct PeImage {
    uint32_t eLfanew = 0x380; // 896: inside the loader's 864 .. 1264
    uint32_t imageBase = 0x00400000;
    uint32_t entryPoint = 0x1000; // relative to imageBase
    uint32_t baseOfCode = 0x1000;
    uint32_t baseOfData = 0x2000;
    std::array<uint32_t, 16> dataDirectoryAddress{};
    std::array<uint32_t, 16> dataDirectorySize{};
    std::vector<PeSection> sections;
    uint32_t fileAlignment = 0x200;

    // `name` of at most 8 characters; virtualSize 0: the data's size.
    PeSection& addSection(const std::string& name, uint32_t virtualAddress,
                          std::vector<uint8_t> data, uint32_t characteristics,
                          uint32_t virtualSize = 0);

    // The image file's bytes: MS-DOS header, the stretch up to e_lfanew with
    // the pattern (offset & 0xFF), NT headers, section table, then each
    // section's data at a multiple of fileAlignment, in section order.
    std::vector<uint8_t> build() const;
};

// Writes bytes to a file; false on failure.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A usable image: code section, .idata, .data (not loaded), .stack, .debug.
PeImage referenceImage();

// A program as the VP toolchain links it: .text (0x345 bytes), then .stack,
// with the headers where the linker puts them (e_lfanew 120, short of 864).
PeImage linkedProgram();

// Bytes with a pattern that differs per position and seed.
std::vector<uint8_t> patternBytes(size_t count, uint8_t seed);

} // namespace hb::test
