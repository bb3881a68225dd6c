// PE32 images for the VP: checks an image against what the host's loader
// handles, and moves the NT headers and section table of an image that a
// linker placed too early in the file to where the loader wants them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace hb::pe {

// The loader sends the file bytes from 864 up to e_lfanew in one write of at
// most 400 bytes.
constexpr uint32_t kMinLfanew = 864;
constexpr uint32_t kMaxLfanew = 864 + 400;
constexpr uint32_t kNtHeadersSize = 248; // signature, file header, 224-byte optional header
constexpr uint32_t kSectionHeaderSize = 40;

struct Problem {
    std::string text;
    bool fixable = false; // `fix` cures it by moving the headers
};

// Every way in which the image breaks the loader's rules; empty when the
// host can load and start it as it is.
std::vector<Problem> checkImage(std::span<const uint8_t> image);

struct FixResult {
    bool ok = false;
    std::vector<uint8_t> image;    // the fixed image when ok
    std::vector<Problem> problems; // why not, when not ok
};

// Moves the NT headers and the section table to `lfanew` (864 to 1264, a
// multiple of 8), shifts every file offset behind them by a multiple of the
// file alignment and clears the checksum. Refuses images whose remaining
// problems moving cannot cure; an image already in place comes back as is.
FixResult fixImage(std::span<const uint8_t> image, uint32_t lfanew = kMinLfanew);

} // namespace hb::pe
