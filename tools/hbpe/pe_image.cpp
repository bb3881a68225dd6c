// PE32 images for the VP: parsing, what `hbpe check` reports (the loader's
// own refusals, then warnings of the rest) and the header move of `hbpe fix`.
#include "pe_image.h"

#include "little_endian.h"
#include "vp_image_rules.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace hb::pe {

namespace {

constexpr uint32_t kOptionalHeaderSize = 224;
constexpr uint32_t kInitialisedData = 0x40;
constexpr uint32_t kUninitialisedData = 0x80;
constexpr uint32_t kDiscardable = 0x02000000; // never needed while the program runs
constexpr uint32_t kSymbolSize = 18;          // a COFF symbol; the string table follows them
// Offsets within the NT headers.
constexpr uint32_t kNumberOfSections = 6, kPointerToSymbolTable = 12;
constexpr uint32_t kNumberOfSymbols = 16;
constexpr uint32_t kSizeOfOptionalHeader = 20, kEntryPoint = 40, kImageBase = 52;
constexpr uint32_t kFileAlignment = 60, kSizeOfHeaders = 84, kCheckSum = 88;
constexpr uint32_t kDataDirectory = 120;
constexpr uint32_t kSecurityDirectory = 4, kDebugDirectory = 6;
constexpr uint32_t kDebugEntrySize = 28;
constexpr const char* kOptionalHeaderNot224 =
    "the optional header is not 224 bytes; the loader expects the section table 248 bytes "
    "after e_lfanew";

uint32_t rd32(std::span<const uint8_t> b, size_t at) {
    return getLe32(b.data() + at);
}
uint16_t rd16(std::span<const uint8_t> b, size_t at) {
    return getLe16(b.data() + at);
}
void wr32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    putLe32(b.data() + at, v);
}

uint64_t roundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

struct Section {
    std::string name;     // up to 8 characters, as the loader compares them
    std::string longName; // "/N" names: the name in the string table
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
    size_t headerAt; // file offset of its section header
};

// Debugging information (".debug_info" and the like, under long names) and
// anything else marked discardable: the loader skips it, rightly.
bool discardable(const Section& s) {
    return (s.characteristics & kDiscardable) != 0 || s.longName.rfind(".debug", 0) == 0;
}

// The name a "/N" section name stands for: the string at offset N of the
// string table behind the symbols; empty when there is none.
std::string longName(std::span<const uint8_t> f, std::span<const uint8_t> nt,
                     const std::string& name) {
    if (name.size() < 2 || name[0] != '/' ||
        name.find_first_not_of("0123456789", 1) != std::string::npos)
        return {};
    const uint64_t strings = uint64_t(rd32(nt, kPointerToSymbolTable)) +
                             uint64_t(rd32(nt, kNumberOfSymbols)) * kSymbolSize;
    const uint64_t at = strings + std::stoul(name.substr(1));
    if (rd32(nt, kPointerToSymbolTable) == 0 || at >= f.size())
        return {};
    const char* text = reinterpret_cast<const char*>(f.data() + at);
    return std::string(text, strnlen(text, f.size() - at));
}

struct Image {
    uint32_t lfanew = 0;
    uint16_t sectionCount = 0;
    std::vector<Section> sections;
    uint32_t headerEnd() const {
        return lfanew + kNtHeadersSize + kSectionHeaderSize * sectionCount;
    }
};

vpimage::ReadAt readerOf(std::span<const uint8_t> f) {
    return [f](uint64_t offset, void* to, uint32_t size) {
        if (offset > f.size() || f.size() - offset < size) {
            return false;
        }
        std::memcpy(to, f.data() + offset, size);
        return true;
    };
}

// Parses what every later step needs; a problem here leaves nothing to fix.
std::optional<Image> parse(std::span<const uint8_t> f, std::vector<Problem>& problems) {
    auto fatal = [&](std::string text) {
        problems.push_back({std::move(text), false});
        return std::nullopt;
    };
    const vpimage::ReadAt read = readerOf(f);
    vpimage::Headers headers;
    if (auto refusal = vpimage::dosHeaderRefusal(read, headers); !refusal.empty()) {
        return fatal(std::move(refusal));
    }
    if (auto refusal = vpimage::ntHeadersRefusal(read, headers); !refusal.empty()) {
        return fatal(std::move(refusal));
    }
    Image img;
    img.lfanew = headers.lfanew;
    std::span<const uint8_t> nt = f.subspan(img.lfanew);
    for (const std::string& refusal : vpimage::imageKindRefusals(headers)) {
        if (refusal == vpimage::kNotPe32) {
            return fatal(refusal);
        }
        problems.push_back({refusal, false});
    }
    img.sectionCount = rd16(nt, kNumberOfSections);
    if (img.headerEnd() > f.size()) {
        return fatal(vpimage::kSectionTablePastEnd);
    }
    for (uint32_t i = 0; i < img.sectionCount; ++i) {
        size_t at = img.lfanew + kNtHeadersSize + kSectionHeaderSize * i;
        Section s{};
        const char* name = reinterpret_cast<const char*>(f.data() + at);
        size_t len = strnlen(name, 8);
        s.name.assign(name, len);
        s.longName = longName(f, nt, s.name);
        s.virtualSize = rd32(f, at + 8);
        s.virtualAddress = rd32(f, at + 12);
        s.rawSize = rd32(f, at + 16);
        s.rawPointer = rd32(f, at + 20);
        s.characteristics = rd32(f, at + 36);
        s.headerAt = at;
        img.sections.push_back(s);
    }
    return img;
}

std::string quoted(const Section& s) {
    return "section \"" + s.name + "\"" + (s.longName.empty() ? "" : " (" + s.longName + ")");
}

// How the loader takes a section: by its header's bytes in the file.
vpimage::Load classify(std::span<const uint8_t> f, const Section& s) {
    return vpimage::classify(f.data() + s.headerAt);
}

// What a section the loader loads or skips would lose or break; the loader's
// own refusals are left to loaderRefusals.
void sectionWarnings(std::span<const uint8_t> f, const Image& img, const Section& s,
                     std::vector<Problem>& warnings) {
    auto warn = [&](std::string text, bool fixable = false) {
        warnings.push_back({std::move(text), fixable});
    };
    const vpimage::Load load = classify(f, s);
    const bool loads = load == vpimage::Load::Code || load == vpimage::Load::Data;
    const uint64_t start = uint64_t(rd32(f, img.lfanew + kImageBase)) + s.virtualAddress;
    if (start + std::max(s.virtualSize, s.rawSize) > 0x100000000ull &&
        !(loads && s.rawSize > 0 && start + s.rawSize > 0x100000000ull)) {
        warn(quoted(s) + " ends beyond the 32-bit address space");
    }
    if (loads) {
        if (s.rawSize > 0 && s.rawPointer < img.headerEnd()) {
            warn(quoted(s) + ": its data overlaps the headers", true);
        }
        if (s.virtualSize > s.rawSize) {
            warn(quoted(s) + ": " + std::to_string(s.virtualSize - s.rawSize) +
                 " bytes beyond its file data, which the loader neither writes nor "
                 "clears (build with -fno-zero-initialized-in-bss)");
        }
        if (s.virtualAddress < img.headerEnd()) {
            warn(quoted(s) + " lies where the loader copies the headers");
        }
    } else if (load == vpimage::Load::Stack && s.virtualSize == 0) {
        warn("the \".stack\" section is empty");
    } else if (load == vpimage::Load::Skipped && s.name != ".reloc" && !discardable(s)) {
        if ((s.characteristics & kInitialisedData) && s.rawSize > 0) {
            warn(quoted(s) + " holds initialised data that the loader does not load "
                             "(merge it into .text)");
        } else if ((s.characteristics & kUninitialisedData) && s.virtualSize > 0) {
            warn(quoted(s) + " is uninitialised data that the loader neither loads nor "
                             "clears (merge it into .text)");
        }
    }
}

// Every way in which a parsed image would not run as built that the loader
// does not refuse it for.
std::vector<Problem> warningsOf(std::span<const uint8_t> f, const Image& img) {
    std::vector<Problem> warnings;
    std::span<const uint8_t> nt = f.subspan(img.lfanew);
    if (rd16(nt, kSizeOfOptionalHeader) != kOptionalHeaderSize) {
        warnings.push_back({kOptionalHeaderNot224, false});
    }
    if (img.lfanew >= kMinLfanew && img.lfanew <= kMaxLfanew && img.lfanew % 8 != 0) {
        warnings.push_back(
            {"e_lfanew " + std::to_string(img.lfanew) + " is not a multiple of 8", true});
    }
    const uint32_t entry = rd32(nt, kEntryPoint);
    bool entryInCode = false;
    for (const Section& s : img.sections) {
        sectionWarnings(f, img, s, warnings);
        if (classify(f, s) == vpimage::Load::Code && entry >= s.virtualAddress &&
            entry < uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize)) {
            entryInCode = true;
        }
    }
    if (!entryInCode) {
        warnings.push_back({"the entry point lies outside every code section", false});
    }
    return warnings;
}

} // namespace

std::vector<Problem> loaderRefusals(std::span<const uint8_t> image) {
    std::vector<Problem> refusals;
    const vpimage::ReadAt read = readerOf(image);
    vpimage::Headers headers;
    auto refuse = [&](std::string text, bool fixable = false) {
        refusals.push_back({std::move(text), fixable});
    };
    if (auto refusal = vpimage::dosHeaderRefusal(read, headers); !refusal.empty()) {
        refuse(std::move(refusal));
    } else if (refusal = vpimage::lfanewRefusal(headers); !refusal.empty()) {
        refuse(std::move(refusal), true);
    } else if (refusal = vpimage::ntHeadersRefusal(read, headers); !refusal.empty()) {
        refuse(std::move(refusal));
    }
    if (!refusals.empty()) {
        return refusals;
    }
    for (std::string& refusal : vpimage::imageKindRefusals(headers)) {
        refuse(std::move(refusal));
    }
    if (refusals.empty()) {
        for (std::string& refusal : vpimage::sectionRefusals(read, image.size(), headers)) {
            refuse(std::move(refusal));
        }
    }
    if (refusals.empty()) {
        if (auto refusal = vpimage::stackRefusal(vpimage::hasStack(read, headers));
            !refusal.empty()) {
            refuse(std::move(refusal));
        }
    }
    return refusals;
}

Findings checkImage(std::span<const uint8_t> image) {
    Findings findings;
    findings.refusals = loaderRefusals(image);
    std::vector<Problem> unparsed; // the loader's words, among its refusals when it gets there
    if (auto img = parse(image, unparsed)) {
        findings.warnings = warningsOf(image, *img);
    }
    return findings;
}

namespace {

// The first file offset behind the headers that any header field points to:
// everything from there on moves as one block.
uint64_t dataStart(std::span<const uint8_t> f, std::span<const uint8_t> nt, const Image& img) {
    uint64_t tail = f.size();
    for (const Section& s : img.sections) {
        if (s.rawSize > 0) {
            tail = std::min<uint64_t>(tail, s.rawPointer);
        }
    }
    const uint32_t symbols = rd32(nt, kPointerToSymbolTable);
    const uint32_t security = rd32(nt, kDataDirectory + 8 * kSecurityDirectory);
    for (uint32_t p : {symbols, security}) {
        if (p != 0) {
            tail = std::min<uint64_t>(tail, p);
        }
    }
    return tail;
}

// Moves every file offset in the headers at `ntAt` by `delta` (0 stays 0).
void shiftHeaderOffsets(std::vector<uint8_t>& out, size_t ntAt, const Image& img, uint64_t delta) {
    auto shift = [&](size_t at) {
        uint32_t v = rd32(out, at);
        if (v != 0) {
            wr32(out, at, uint32_t(v + delta));
        }
    };
    shift(ntAt + kPointerToSymbolTable);
    shift(ntAt + kDataDirectory + 8 * kSecurityDirectory);
    for (uint32_t i = 0; i < img.sectionCount; ++i) {
        size_t at = ntAt + kNtHeadersSize + kSectionHeaderSize * i;
        if (rd32(out, at + 16) > 0) {
            shift(at + 20); // PointerToRawData
        }
        shift(at + 24); // PointerToRelocations
        shift(at + 28); // PointerToLinenumbers
    }
}

// Debug directory entries carry file offsets of their data.
void shiftDebugEntries(std::vector<uint8_t>& out, std::span<const uint8_t> nt, const Image& img,
                       uint64_t delta) {
    const uint32_t debugRva = rd32(nt, kDataDirectory + 8 * kDebugDirectory);
    const uint32_t debugSize = rd32(nt, kDataDirectory + 8 * kDebugDirectory + 4);
    for (const Section& s : img.sections) {
        if (debugRva == 0 || debugRva < s.virtualAddress ||
            uint64_t(debugRva) + debugSize > uint64_t(s.virtualAddress) + s.rawSize) {
            continue;
        }
        uint64_t at = uint64_t(s.rawPointer) + delta + (debugRva - s.virtualAddress);
        for (uint32_t e = 0; e + kDebugEntrySize <= debugSize; e += kDebugEntrySize) {
            if (at + e + kDebugEntrySize > out.size()) {
                continue;
            }
            const size_t field = size_t(at + e + 24);
            if (const uint32_t v = rd32(out, field); v != 0) {
                wr32(out, field, uint32_t(v + delta));
            }
        }
    }
}

} // namespace

FixResult fixImage(std::span<const uint8_t> f, uint32_t lfanew) {
    FixResult result;
    if (lfanew < kMinLfanew || lfanew > kMaxLfanew || lfanew % 8 != 0) {
        result.problems.push_back(
            {"the new e_lfanew must be a multiple of 8 between 864 and 1264", false});
        return result;
    }
    auto img = parse(f, result.problems);
    if (!img) {
        return result;
    }
    std::span<const uint8_t> nt = f.subspan(img->lfanew);
    if (rd16(nt, kSizeOfOptionalHeader) != kOptionalHeaderSize) {
        result.problems.push_back({kOptionalHeaderNot224, false});
        return result;
    }
    const uint32_t alignment = rd32(nt, kFileAlignment);
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        result.problems.push_back({"the file alignment is not a power of two", false});
        return result;
    }
    const uint32_t oldHeaderEnd = img->headerEnd();
    const uint64_t tail = dataStart(f, nt, *img);
    if (tail < oldHeaderEnd) {
        result.problems.push_back({"file data overlaps the headers where they stand", false});
        return result;
    }
    const uint32_t newHeaderEnd = lfanew + (oldHeaderEnd - img->lfanew);
    const uint64_t delta = newHeaderEnd > tail ? roundUp(newHeaderEnd - tail, alignment) : 0;

    std::vector<uint8_t> out(f.size() + delta, 0);
    std::memcpy(out.data(), f.data(), 64);
    wr32(out, 60, lfanew);
    std::memcpy(out.data() + lfanew, f.data() + img->lfanew, oldHeaderEnd - img->lfanew);
    std::memcpy(out.data() + tail + delta, f.data() + tail, f.size() - tail);
    const uint32_t oldSizeOfHeaders = rd32(out, lfanew + kSizeOfHeaders);
    wr32(out, lfanew + kSizeOfHeaders,
         uint32_t(std::max<uint64_t>(oldSizeOfHeaders + delta, roundUp(newHeaderEnd, alignment))));
    wr32(out, lfanew + kCheckSum, 0);
    shiftHeaderOffsets(out, lfanew, *img, delta);
    shiftDebugEntries(out, nt, *img, delta);

    Findings fixed = checkImage(out);
    result.warnings = std::move(fixed.warnings);
    if (!fixed.refusals.empty()) {
        result.problems = std::move(fixed.refusals);
        return result;
    }
    result.ok = true;
    result.image = std::move(out);
    return result;
}

} // namespace hb::pe
