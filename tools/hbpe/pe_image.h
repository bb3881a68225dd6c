// PE32 images for the VP: checks an image against what the host's loader
// handles, and moves the NT headers and section table of an image that a
// linker placed too early in the file to where the loader wants them.
#pragma once

#include "vp_image_rules.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace hb::pe {

// Where the loader takes the NT headers, and their sizes.
constexpr uint32_t kMinLfanew = vpimage::kMinLfanew;
constexpr uint32_t kMaxLfanew = vpimage::kMaxLfanew;
constexpr uint32_t kNtHeadersSize = vpimage::kNtHeadersSize;
constexpr uint32_t kSectionHeaderSize = vpimage::kSectionHeaderSize;

struct Problem {
    std::string text;
    bool fixable = false; // `fix` cures it by moving the headers
};

// Why the host's loader refuses the image, in the loader's order and with
// the words of its rules; empty when it takes the image.
std::vector<Problem> loaderRefusals(std::span<const uint8_t> image);

// What `hbpe check` says of an image.
struct Findings {
    std::vector<Problem> refusals; // loaderRefusals(image): the loader refuses it
    std::vector<Problem> warnings; // further ways it would not run as built,
                                   // although the loader takes it
};

Findings checkImage(std::span<const uint8_t> image);

struct FixResult {
    bool ok = false;
    std::vector<uint8_t> image;    // the fixed image when ok
    std::vector<Problem> problems; // why not, when not ok
    std::vector<Problem> warnings; // what check warns of in the fixed image
};

// Moves the NT headers and the section table to `lfanew` (864 to 1264, a
// multiple of 8), shifts every file offset behind them by a multiple of the
// file alignment and clears the checksum. Refuses an image it cannot move
// and one the loader would still refuse once moved; an image already in
// place comes back as is.
FixResult fixImage(std::span<const uint8_t> image, uint32_t lfanew = kMinLfanew);

} // namespace hb::pe
