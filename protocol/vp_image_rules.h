// What the host's loader takes of a PE32 image for the VP, and the words for
// each refusal: the loader checks an image with these steps before (and, for
// the stack, after) its download, and `hbpe check` reports the same steps'
// words. The file is read through a function, so a file on disk and bytes in
// memory are checked alike.
#pragma once

#include "little_endian.h"
#include "monitor_data.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace hb::vpimage {

inline constexpr uint32_t kDosHeaderSize = 64;
inline constexpr uint32_t kLfanewAt = 60;
// The loader sends the file bytes from 864 up to e_lfanew in one monitor write.
inline constexpr uint32_t kMinLfanew = 864;
inline constexpr uint32_t kMaxLfanew = kMinLfanew + HB_MON_WRITE_MAX_DATA;
inline constexpr uint32_t kNtHeadersSize = 248; // signature, file header, 224-byte optional header
inline constexpr uint32_t kSectionHeaderSize = 40;
inline constexpr uint16_t kDosMagic = 0x5A4D;    // "MZ"
inline constexpr uint32_t kNtSignature = 0x4550; // "PE\0\0"
inline constexpr uint16_t kMachineI386 = 0x14C;
inline constexpr uint16_t kPe32Magic = 0x10B; // a PE32+ image has 0x20B and another layout
inline constexpr uint32_t kSectionHasCode = 0x20;

// NT header fields (offsets from e_lfanew).
inline constexpr uint32_t kMachineAt = 4;
inline constexpr uint32_t kNumberOfSectionsAt = 6;
inline constexpr uint32_t kOptionalMagicAt = 24;
inline constexpr uint32_t kImageBaseAt = 52;

// Section header fields.
inline constexpr uint32_t kVirtualSizeAt = 8;
inline constexpr uint32_t kVirtualAddressAt = 12;
inline constexpr uint32_t kSizeOfRawDataAt = 16;
inline constexpr uint32_t kPointerToRawDataAt = 20;
inline constexpr uint32_t kCharacteristicsAt = 36;

// Reads exactly `size` bytes at `offset` into `to`; false when it cannot.
using ReadAt = std::function<bool(uint64_t offset, void* to, uint32_t size)>;

// What the loader does with a section, decided in this order.
enum class Load { Code, Data, Stack, Debug, Skipped };

// Exactly six characters followed by a zero byte; case counts.
inline bool nameIs(const uint8_t* name, const char (&wanted)[7]) {
    return std::memcmp(name, wanted, 6) == 0 && name[6] == 0;
}

inline Load classify(const uint8_t* sectionHeader) {
    if ((getLe32(sectionHeader + kCharacteristicsAt) & kSectionHasCode) != 0) {
        return Load::Code;
    }
    if (nameIs(sectionHeader, ".idata") || nameIs(sectionHeader, ".edata")) {
        return Load::Data;
    }
    if (nameIs(sectionHeader, ".stack")) {
        return Load::Stack;
    }
    return nameIs(sectionHeader, ".debug") ? Load::Debug : Load::Skipped;
}

struct Headers {
    uint8_t dos[kDosHeaderSize] = {};
    uint8_t nt[kNtHeadersSize] = {};
    uint32_t lfanew = 0;
    uint32_t sectionCount = 0;
    uint32_t imageBase = 0;
    uint32_t tableAt() const { return lfanew + kNtHeadersSize; }
};

// Step 1: the MS-DOS header.
inline std::string dosHeaderRefusal(const ReadAt& read, Headers& h) {
    if (!read(0, h.dos, kDosHeaderSize) || getLe16(h.dos) != kDosMagic) {
        return "no MS-DOS header (the file must start with \"MZ\")";
    }
    h.lfanew = getLe32(h.dos + kLfanewAt);
    return {};
}

// Step 2: where the NT headers stand.
inline std::string lfanewRefusal(const Headers& h) {
    if (h.lfanew < kMinLfanew || h.lfanew > kMaxLfanew) {
        return "e_lfanew is " + std::to_string(h.lfanew) + "; the loader needs it between " +
               std::to_string(kMinLfanew) + " and " + std::to_string(kMaxLfanew);
    }
    return {};
}

// Step 3: NT headers that can be read and carry the "PE" signature; sets
// the section count and image base. A refusal here leaves nothing to check.
inline std::string ntHeadersRefusal(const ReadAt& read, Headers& h) {
    if (!read(h.lfanew, h.nt, kNtHeadersSize)) {
        return "e_lfanew " + std::to_string(h.lfanew) + " points past the end of the file";
    }
    if (getLe32(h.nt) != kNtSignature) {
        return "no \"PE\" signature at e_lfanew " + std::to_string(h.lfanew);
    }
    h.sectionCount = getLe16(h.nt + kNumberOfSectionsAt);
    h.imageBase = getLe32(h.nt + kImageBaseAt);
    return {};
}

inline constexpr const char* kNotPe32 = "not a PE32 image (optional-header magic is not 0x10B)";
inline constexpr const char* kNotI386 = "not an i386 image (machine is not 0x14C)";
inline constexpr const char* kSectionTablePastEnd =
    "the section table runs past the end of the file";

// Step 4: a 32-bit i386 image (the loader reads the PE32 layout, the VP runs
// i386 code).
inline std::vector<std::string> imageKindRefusals(const Headers& h) {
    std::vector<std::string> refusals;
    if (getLe16(h.nt + kOptionalMagicAt) != kPe32Magic) {
        refusals.push_back(kNotPe32);
    }
    if (getLe16(h.nt + kMachineAt) != kMachineI386) {
        refusals.push_back(kNotI386);
    }
    return refusals;
}

inline std::string sectionName(const uint8_t* sectionHeader) {
    return "section \"" +
           std::string(reinterpret_cast<const char*>(sectionHeader),
                       strnlen(reinterpret_cast<const char*>(sectionHeader), 8)) +
           "\"";
}

// Step 5: every section the loader loads has its data in the file and ends
// within the 32-bit address space.
inline std::vector<std::string> sectionRefusals(const ReadAt& read, uint64_t fileSize,
                                                const Headers& h) {
    std::vector<std::string> refusals;
    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (!read(h.tableAt() + uint64_t{kSectionHeaderSize} * i, header, kSectionHeaderSize)) {
            refusals.push_back(kSectionTablePastEnd);
            break;
        }
        const Load load = classify(header);
        const uint64_t size = getLe32(header + kSizeOfRawDataAt);
        if ((load != Load::Code && load != Load::Data) || size == 0) {
            continue;
        }
        if (getLe32(header + kPointerToRawDataAt) + size > fileSize) {
            refusals.push_back(sectionName(header) + ": its data runs past the end of the file");
        }
        if (uint64_t{h.imageBase} + getLe32(header + kVirtualAddressAt) + size >
            (uint64_t{1} << 32)) {
            refusals.push_back(sectionName(header) + " ends beyond the 32-bit address space");
        }
    }
    return refusals;
}

// Step 6 (after the download): the program needs a stack, a ".stack" section without the code bit.
inline std::string stackRefusal(bool stackFound) {
    return stackFound ? std::string{}
                      : "no \".stack\" section (without the code bit); the loader refuses such "
                        "images";
}

inline bool hasStack(const ReadAt& read, const Headers& h) {
    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (read(h.tableAt() + uint64_t{kSectionHeaderSize} * i, header, kSectionHeaderSize) &&
            classify(header) == Load::Stack) {
            return true;
        }
    }
    return false;
}

} // namespace hb::vpimage
