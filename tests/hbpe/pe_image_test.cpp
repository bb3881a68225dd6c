// hbpe's image library: the header move of `fix` (every byte and file offset
// kept), which section names the loader takes, and images that are no image.
#include "pe_image.h"
#include "pe_writer.h"

#include <gtest/gtest.h>

using namespace hb::pe;
using namespace hb::pe::testing;

namespace {

struct SectionView {
    uint32_t virtualAddress, rawSize, rawPointer;
};

SectionView sectionOf(const std::vector<uint8_t>& f, int i) {
    size_t at = get32(f, 60) + 248 + 40 * size_t(i);
    return {get32(f, at + 12), get32(f, at + 16), get32(f, at + 20)};
}

std::vector<uint8_t> sectionBytes(const std::vector<uint8_t>& f, int i) {
    SectionView s = sectionOf(f, i);
    return {f.begin() + s.rawPointer, f.begin() + s.rawPointer + s.rawSize};
}

bool mentions(const std::vector<Problem>& problems, const std::string& text) {
    for (const auto& p : problems) {
        if (p.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(HbpeImage, MovesTheHeadersAndKeepsEverySectionsBytes) {
    ImageLayout layout = typicalProgram();
    layout.sections.insert(layout.sections.begin() + 1,
                           {".idata", 0xC0000040, pattern(0x80, 9), 0, 0});
    auto image = writeImage(layout);
    auto before = checkImage(image);
    ASSERT_EQ(before.refusals.size(), 1u);
    EXPECT_TRUE(before.refusals[0].fixable);
    EXPECT_TRUE(mentions(before.refusals, "e_lfanew is 120"));
    EXPECT_TRUE(before.warnings.empty());

    auto fixed = fixImage(image);
    ASSERT_TRUE(fixed.ok) << (fixed.problems.empty() ? "" : fixed.problems[0].text);
    const auto& out = fixed.image;
    EXPECT_EQ(get32(out, 60), 864u);
    EXPECT_TRUE(checkImage(out).refusals.empty());
    EXPECT_TRUE(checkImage(out).warnings.empty());
    EXPECT_EQ(std::memcmp(out.data() + 864, image.data() + 0x78, 4), 0); // "PE\0\0"
    // The headers now end at 864 + 248 + 3 * 40 = 1232: data moves by 0x400.
    for (int i = 0; i < 3; ++i) {
        SectionView a = sectionOf(image, i), b = sectionOf(out, i);
        EXPECT_EQ(b.virtualAddress, a.virtualAddress);
        EXPECT_EQ(b.rawSize, a.rawSize);
        if (a.rawSize != 0) {
            EXPECT_EQ(b.rawPointer - a.rawPointer, 0x400u) << i;
            EXPECT_EQ(b.rawPointer % 0x200, 0u);
        } else {
            EXPECT_EQ(b.rawPointer, 0u);
        }
        EXPECT_EQ(sectionBytes(out, i), sectionBytes(image, i)) << i;
    }
    EXPECT_EQ(out.size(), image.size() + 0x400);
    EXPECT_EQ(get32(out, 864 + 84), 0x600u); // SizeOfHeaders
    EXPECT_EQ(get32(out, 864 + 88), 0u);     // checksum cleared
    // The loader sends bytes 864..e_lfanew: nothing here, and the stub is gone.
    EXPECT_EQ(out[100], 0);

    auto again = fixImage(out);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.image, out);
}

TEST(HbpeImage, FitsTenSectionsAtTheHighestOffset) {
    ImageLayout layout = typicalProgram();
    for (int i = 0; i < 8; ++i) {
        layout.sections.push_back(
            {".t" + std::to_string(i), 0x60000020, pattern(0x10 + i, uint8_t(i)), 0, 0});
    }
    auto image = writeImage(layout);
    auto fixed = fixImage(image, 1264);
    ASSERT_TRUE(fixed.ok) << fixed.problems[0].text;
    EXPECT_EQ(get32(fixed.image, 60), 1264u);
    // Headers end at 1264 + 248 + 400 = 1912: everything moves by 0x400.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(sectionBytes(fixed.image, i), sectionBytes(image, i));
        if (sectionOf(image, i).rawSize) {
            EXPECT_EQ(sectionOf(fixed.image, i).rawPointer - sectionOf(image, i).rawPointer,
                      0x400u);
        }
    }
    EXPECT_EQ(get32(fixed.image, 1264 + 84) % 0x200, 0u);
    EXPECT_GE(get32(fixed.image, 1264 + 84), 1912u);
}

TEST(HbpeImage, ShiftsDebugAndSymbolFileOffsets) {
    ImageLayout layout = typicalProgram();
    // A debug directory of one entry in .text at RVA 0x1100 pointing at file offset 0x400.
    std::vector<uint8_t> text = pattern(0x345, 1);
    std::memset(&text[0x100], 0, 28);
    put32(text, 0x100 + 24, 0x400);
    layout.sections[0].data = text;
    layout.debugDirectoryRva = 0x1100;
    layout.debugDirectorySize = 28;
    layout.symbolTable = 0x400;
    auto fixed = fixImage(writeImage(layout));
    ASSERT_TRUE(fixed.ok);
    const auto& out = fixed.image;
    SectionView t = sectionOf(out, 0);
    EXPECT_EQ(get32(out, t.rawPointer + 0x100 + 24), 0x400u + 0x400u);
    EXPECT_EQ(get32(out, 864 + 12), 0x400u + 0x400u);
}

TEST(HbpeImage, DebugSectionsUnderLongNamesAreNoProblemButOtherLongNamedDataIs) {
    ImageLayout layout = typicalProgram();
    layout.lfanew = 864;
    for (int i = 0; i < 10; ++i) { // more than one write of the table carries
        layout.sections.push_back({"/4", i % 2 ? 0x42000040u : 0x40000040u, pattern(32, 1), 0, 0});
    }
    auto image = writeImage(layout);
    // The string table behind no symbols: its size word, then the names.
    const std::string strings("SIZE.debug_info\0.mydata\0", 24);
    put32(image, 864 + 12, uint32_t(image.size()));
    image.insert(image.end(), strings.begin(), strings.end());
    EXPECT_TRUE(checkImage(image).warnings.empty()) << checkImage(image).warnings[0].text;

    std::memcpy(&image[864 + 248 + 40 * 2], "/16\0", 4); // the first "/4" becomes .mydata
    EXPECT_TRUE(
        mentions(checkImage(image).warnings, "section \"/16\" (.mydata) holds initialised data"));
}

TEST(HbpeImage, RefusesWhatIsNoImage) {
    ImageLayout layout = typicalProgram();
    layout.lfanew = 864;
    auto good = writeImage(layout);
    auto noMz = good;
    noMz[0] = 'X';
    EXPECT_TRUE(mentions(checkImage(noMz).refusals, "MZ"));
    auto noPe = good;
    noPe[864] = 'X';
    EXPECT_TRUE(mentions(checkImage(noPe).refusals, "signature"));
    EXPECT_FALSE(fixImage(noPe).ok);
    auto farLfanew = good;
    put32(farLfanew, 60, 0xFFFFFFF0);
    EXPECT_TRUE(mentions(checkImage(farLfanew).refusals, "e_lfanew is 4294967280"));
    EXPECT_TRUE(mentions(fixImage(farLfanew).problems, "past the end"));
    // Every truncation is refused and checked without reading past the end.
    for (size_t n = 0; n < good.size(); n += 7) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(checkImage(cut).refusals.empty()) << n;
        EXPECT_FALSE(fixImage(cut).ok) << n;
    }
}

TEST(HbpeImage, RefusesANewOffsetTheLoaderCannotUse) {
    auto image = writeImage(typicalProgram());
    for (uint32_t lfanew : {0u, 856u, 868u, 1272u}) {
        auto fixed = fixImage(image, lfanew);
        EXPECT_FALSE(fixed.ok) << lfanew;
        EXPECT_FALSE(fixed.problems.empty());
    }
    ImageLayout layout = typicalProgram();
    layout.fileAlignment = 0x180; // not a power of two
    EXPECT_FALSE(fixImage(writeImage(layout)).ok);
}

TEST(HbpeImage, DataAndExportSectionsAreLoadedByName) {
    ImageLayout layout = typicalProgram();
    layout.lfanew = 864;
    layout.sections.push_back({".edata", 0x40000040, pattern(8, 2), 0, 0});
    EXPECT_TRUE(checkImage(writeImage(layout)).warnings.empty());
    layout.sections.back().name = ".edata12"; // not the name: skipped, so its data is lost
    EXPECT_TRUE(mentions(checkImage(writeImage(layout)).warnings, "initialised data"));
}
