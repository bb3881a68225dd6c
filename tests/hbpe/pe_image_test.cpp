// hbpe's image library: the header move of `fix` (every byte and file offset
// kept), images that are no image, and what check refuses or warns of.
#include "pe_image.h"
#include "support/pe_image_writer.h"

#include "little_endian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

using namespace hb::pe;
using namespace hb::test;

namespace {

uint32_t at32(const std::vector<uint8_t>& f, size_t at) {
    return hb::getLe32(f.data() + at);
}
size_t header(const std::vector<uint8_t>& f, size_t i) {
    return at32(f, 60) + 248 + 40 * i;
}
std::vector<uint8_t> sectionBytes(const std::vector<uint8_t>& f, size_t i) {
    const uint32_t at = at32(f, header(f, i) + 20), size = at32(f, header(f, i) + 16);
    return {f.begin() + at, f.begin() + at + size};
}
// The first of `problems` names `text`.
bool mentions(const std::vector<Problem>& problems, const std::string& text) {
    return !problems.empty() && problems[0].text.find(text) != std::string::npos;
}

TEST(HbpeImage, FixMovesTheHeadersAndEveryFileOffsetBehindThemByWholeAlignments) {
    PeImage three = linkedProgram(); // headers to 864: end at 864 + 248 + 120 = 1232
    three.addSection(".idata", 0x3000, patternBytes(0x80, 9), 0xC0000040);
    // In .text at RVA 0x1100, a debug directory entry naming file offset 0x400.
    std::memset(&three.sections[0].data[0x100], 0, 28);
    hb::putLe32(&three.sections[0].data[0x100 + 24], 0x400);
    PeImage ten = linkedProgram(); // headers to 1264: end at 1264 + 248 + 400 = 1912
    for (int i = 0; i < 8; ++i)
        ten.addSection(".t" + std::to_string(i), 0x3000 + 0x1000 * i,
                       patternBytes(0x10 + i, uint8_t(i)), 0x60000020);
    for (auto [image, lfanew] : {std::pair{three, 864u}, std::pair{ten, 1264u}}) {
        SCOPED_TRACE(lfanew);
        auto in = image.build();
        hb::putLe32(&in[0x78 + 12], 0x400);  // a symbol table at 0x400
        hb::putLe32(&in[0x78 + 88], 0x1234); // a checksum the move invalidates
        const auto fixed = fixImage(in, lfanew);
        ASSERT_TRUE(fixed.ok) << fixed.problems.at(0).text;
        const auto& out = fixed.image;
        EXPECT_TRUE(checkImage(out).refusals.empty() && checkImage(out).warnings.empty());
        EXPECT_EQ(at32(out, 60), lfanew);
        EXPECT_EQ(out.size(), in.size() + 0x400);
        for (size_t i = 0; i < image.sections.size(); ++i) {
            EXPECT_EQ(sectionBytes(out, i), sectionBytes(in, i)) << i;
            EXPECT_EQ(at32(out, header(out, i) + 12), at32(in, header(in, i) + 12));
            const uint32_t was = at32(in, header(in, i) + 20);
            EXPECT_EQ(at32(out, header(out, i) + 20), was == 0 ? 0 : was + 0x400) << i;
        }
        EXPECT_EQ(at32(out, lfanew + 84), lfanew == 864 ? 0x600u : 0x800u); // SizeOfHeaders
        EXPECT_EQ(at32(out, lfanew + 88), 0u);                              // checksum cleared
        EXPECT_EQ(at32(out, lfanew + 12), 0x800u);                          // symbol table
        EXPECT_EQ(out[100], 0) << "the stub before 864 is not the loader's: it goes";
        EXPECT_EQ(fixImage(out, lfanew).image, out) << "an image in place stays as it is";
    }
    three.dataDirectoryAddress[6] = 0x1100; // now the entry is the debug directory
    three.dataDirectorySize[6] = 28;
    const auto moved = fixImage(three.build()).image;
    EXPECT_EQ(at32(moved, at32(moved, header(moved, 0) + 20) + 0x100 + 24), 0x800u)
        << "the debug entry's file offset moves with its data";
}

TEST(HbpeImage, FixAndCheckRefuseWhatTheyCannotUseWithoutReadingPastTheEnd) {
    PeImage program = linkedProgram();
    program.eLfanew = 864;
    const auto good = program.build();
    auto noMz = good, noPe = good, farLfanew = good;
    noMz[0] = 'X';
    noPe[864] = 'X';
    hb::putLe32(&farLfanew[60], 0xFFFFFFF0);
    EXPECT_TRUE(mentions(checkImage(noMz).refusals, "MZ"));
    EXPECT_TRUE(mentions(checkImage(noPe).refusals, "signature"));
    EXPECT_FALSE(fixImage(noPe).ok);
    EXPECT_TRUE(mentions(checkImage(farLfanew).refusals, "e_lfanew is 4294967280"));
    EXPECT_TRUE(mentions(fixImage(farLfanew).problems, "past the end"));
    for (size_t n = 0; n < good.size(); n += 7) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(checkImage(cut).refusals.empty()) << n;
        EXPECT_FALSE(fixImage(cut).ok) << n;
    }
    for (uint32_t lfanew : {0u, 856u, 868u, 1272u}) {
        const auto fixed = fixImage(linkedProgram().build(), lfanew);
        EXPECT_TRUE(!fixed.ok && !fixed.problems.empty()) << lfanew;
    }
    program.fileAlignment = 0x180; // not a power of two
    program.eLfanew = 0x78;
    EXPECT_FALSE(fixImage(program.build()).ok);
}

// linkedProgram() with its headers where the loader wants them, changed.
std::vector<uint8_t> inPlace(const std::function<void(PeImage&)>& change) {
    PeImage image = linkedProgram();
    image.eLfanew = 864;
    change(image);
    return image.build();
}

// The refusals ("!") and warnings of `findings`, a line each; "*" marks what
// fix cures.
std::string lines(const Findings& findings) {
    std::string out;
    for (const auto* list : {&findings.refusals, &findings.warnings}) {
        for (const Problem& p : *list)
            out += (list == &findings.refusals ? "!" : "") + p.text + (p.fixable ? "*\n" : "\n");
    }
    return out;
}

// check's refusals are the loader's; its warnings are what the loader takes
// but the program would not run as built; fix moves the headers, refuses
// what stays refused, and warns as check does of its result.
TEST(HbpeImage, CheckRefusesOnlyWhatTheLoaderRefusesAndWarnsOfTheRest) {
    auto optional240 = inPlace([](PeImage&) {});
    hb::putLe16(&optional240[864 + 20], 240);
    // Ten sections: .edata (loaded by name) and, under long names, debugging
    // information (found in the string table behind the symbols, or discardable).
    const auto named = [](bool otherNames) {
        PeImage p = linkedProgram();
        p.eLfanew = 864;
        p.addSection(otherNames ? ".edata12" : ".edata", 0x3000, patternBytes(8, 2), 0x40000040);
        for (uint32_t i = 0; i < 7; ++i)
            p.addSection(i == 0 && otherNames ? "/16" : "/4", 0x4000 + 0x1000 * i,
                         patternBytes(32, 1), i % 2 ? 0x42000040u : 0x40000040u);
        auto bytes = p.build();
        const std::string strings("SIZE.debug_info\0.mydata\0", 24);
        hb::putLe32(&bytes[864 + 12], uint32_t(bytes.size()) - 18); // one symbol, then the strings
        hb::putLe32(&bytes[864 + 16], 1);
        bytes.insert(bytes.end(), strings.begin(), strings.end());
        return bytes;
    };
    const std::string beyond = " bytes beyond its file data, which the loader neither writes nor "
                               "clears (build with -fno-zero-initialized-in-bss)\n";
    const std::string unloaded = " holds initialised data that the loader does not load (merge it "
                                 "into .text)\n";
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        bool fixes;
        std::string lines;
    } cases[] = {
        {"a clean image", inPlace([](PeImage&) {}), true, ""},
        {"headers too early", linkedProgram().build(), true,
         "!e_lfanew is 120; the loader needs it between 864 and 1264*\n"},
        {"a .stack with the code bit",
         inPlace([](PeImage& p) { p.sections[1].characteristics |= kSectionCode; }), false,
         "!no \".stack\" section (without the code bit); the loader refuses such images\n"
         "section \".stack\": 16384" +
             beyond},
        {"the entry outside the code", inPlace([](PeImage& p) { p.entryPoint = 0x9000; }), true,
         "the entry point lies outside every code section\n"},
        {"e_lfanew not a multiple of 8", inPlace([](PeImage& p) { p.eLfanew = 868; }), true,
         "e_lfanew 868 is not a multiple of 8*\n"},
        {"a data section the loader skips", inPlace([](PeImage& p) {
             p.addSection(".data", 0x7000, patternBytes(16, 3), 0xC0000040);
         }),
         true, "section \".data\"" + unloaded},
        {"a bss section",
         inPlace([](PeImage& p) { p.addSection(".bss", 0x7000, {}, 0xC0000080, 0x100); }), true,
         "section \".bss\" is uninitialised data that the loader neither loads nor clears (merge "
         "it into .text)\n"},
        {"code beyond its file data",
         inPlace([](PeImage& p) { p.sections[0].virtualSize = 0x2000; }), true,
         "section \".text\": 7355" + beyond},
        {"a section over the headers", inPlace([](PeImage& p) {
             p.sections[0].virtualAddress = 0x200;
             p.entryPoint = 0x200;
         }),
         true, "section \".text\" lies where the loader copies the headers\n"},
        {"an empty .stack", inPlace([](PeImage& p) { p.sections[1].virtualSize = 0; }), true,
         "the \".stack\" section is empty\n"},
        {"exports and debugging information", named(false), true, ""},
        {"data under a long name, exports under another", named(true), true,
         "section \".edata12\"" + unloaded + "section \"/16\" (.mydata)" + unloaded},
        {"a 240-byte optional header", optional240, false,
         "the optional header is not 224 bytes; the loader expects the section table 248 bytes "
         "after e_lfanew\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(lines(checkImage(c.image)), c.lines);
        const FixResult fixed = fixImage(c.image);
        EXPECT_EQ(fixed.ok, c.fixes);
        EXPECT_TRUE(!fixed.ok || lines({{}, fixed.warnings}) == lines(checkImage(fixed.image)))
            << lines(checkImage(fixed.image));
    }
}

} // namespace
