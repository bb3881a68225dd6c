// The PE32 loader end to end through hbBootVp against the virtual board's
// monitor: the command sequence, VP memory and context afterwards, and every
// way an image can be refused.
#include "monitor_board_fixture.h"
#include "pe_image.h"

#include <algorithm>
#include <cstdio>

namespace {

using namespace hb::test;

constexpr uint32_t kBase = 0x00400000;

// One monitor command, readable: "W 00401000 18 400" is a memory write.
std::string describe(const hb::vboard::MonitorCommand& c) {
    const auto& b = c.body;
    char text[64];
    switch (c.opcode) {
    case MON_SET_VARIABLE:
        std::snprintf(text, sizeof text, "V %u=%u", word(b, 4), word(b, 12));
        break;
    case MON_WRITE_MEMORY:
        std::snprintf(text, sizeof text, "W %08X %02X %u", word(b, 4), half(b, 8), word(b, 10));
        break;
    case MON_GET_DESCRIPTOR:
        std::snprintf(text, sizeof text, "DESC %02X %u", half(b, 4), word(b, 6));
        break;
    case MON_PREPARE:
        return "PREPARE";
    case MON_GET_CONTEXT:
        return "GET_CONTEXT";
    case MON_SET_CONTEXT:
        return "SET_CONTEXT";
    case MON_START:
        return "START";
    default:
        std::snprintf(text, sizeof text, "op %u", c.opcode);
    }
    return text;
}

const std::vector<std::string> kPreparing = {"V 0=0", "V 6=1", "PREPARE", "GET_CONTEXT",
                                             "SET_CONTEXT"};

class ImageLoaderTest : public MonitorBoardTest {
  protected:
    std::vector<std::string> commandList() const {
        std::vector<std::string> out;
        for (auto& c : monitor->commands()) {
            out.push_back(describe(c));
        }
        return out;
    }
    std::vector<uint8_t> vp(uint32_t address, uint32_t length) const {
        return monitor->readMemory(address, length);
    }
    int32_t boot(double timeout = HB_INFINITE_TIMEOUT) {
        return hbBootVp(board, imagePath.c_str(), timeout);
    }
    void expectRefused(uint32_t code) {
        hbSetLastError(0);
        EXPECT_EQ(boot(), 0);
        EXPECT_EQ(hbGetLastError(), code);
        EXPECT_FALSE(monitor->startedImage());
    }
};

TEST_F(ImageLoaderTest, ReferenceImageGoesAsTheExactCommandSequence) {
    writeImage(referenceImage());
    ASSERT_EQ(boot(), 1);
    EXPECT_TRUE(hb::pe::loaderRefusals(referenceImage().build()).empty());
    const std::vector<std::string> expected = {
        "V 0=0", "V 6=1", "PREPARE", "GET_CONTEXT", "SET_CONTEXT",
        // .text: 1000 bytes of code as three writes; .idata as data
        "W 00401000 18 400", "W 00401190 18 400", "W 00401320 18 200", "W 00403000 20 64",
        // MS-DOS header, the stretch 864 .. e_lfanew, NT headers, section table
        "W 00400000 20 64", "W 00400360 20 32", "W 00400380 20 248", "W 00400478 20 200",
        "SET_CONTEXT", "DESC 28 1",
        // VpStartupBlock at the base of the start-up segment
        "W 00001000 20 12", "V 7=0", "V 2=0", "V 3=0", "V 5=4096", "V 6=0", "START"};
    EXPECT_EQ(commandList(), expected);
    for (auto& c : monitor->commands()) {
        EXPECT_EQ(c.error, hb::vboard::MonitorError::None) << describe(c);
    }
}

TEST_F(ImageLoaderTest, VpMemoryHoldsSectionsRebasedHeadersAndTheStartupBlock) {
    const PeImage image = referenceImage();
    const auto file = image.build();
    writeImage(image);
    ASSERT_EQ(boot(), 1);

    EXPECT_EQ(vp(0x401000, 1000), image.sections[0].data);
    EXPECT_EQ(vp(0x403000, 64), image.sections[1].data);
    EXPECT_EQ(vp(0x404000, 32), std::vector<uint8_t>(32, 0)) << ".data is not loaded";
    EXPECT_EQ(vp(0x420000, 16), std::vector<uint8_t>(16, 0)) << ".debug is not loaded";

    EXPECT_EQ(vp(kBase, 64), std::vector<uint8_t>(file.begin(), file.begin() + 64));
    EXPECT_EQ(vp(kBase + 64, 800), std::vector<uint8_t>(800, 0)) << "bytes 64 .. 863 untouched";
    EXPECT_EQ(vp(kBase + 864, 32), std::vector<uint8_t>(file.begin() + 864, file.begin() + 896));

    const auto nt = vp(kBase + 0x380, 248);
    EXPECT_EQ(word(nt, 0), 0x4550u);
    EXPECT_EQ(word(nt, 40), kBase + 0x1010) << "AddressOfEntryPoint";
    EXPECT_EQ(word(nt, 44), kBase + 0x1000) << "BaseOfCode";
    EXPECT_EQ(word(nt, 48), kBase + 0x2000) << "BaseOfData";
    EXPECT_EQ(word(nt, 52), kBase) << "ImageBase stays";
    EXPECT_EQ(word(nt, 120), 0u) << "a zero directory stays zero";
    EXPECT_EQ(word(nt, 128), kBase + 0x3000) << "import directory made absolute";
    EXPECT_EQ(word(nt, 132), 0x28u) << "sizes stay";

    const auto table = vp(kBase + 0x380 + 248, 200);
    EXPECT_EQ(word(table, 12), kBase + 0x1000);
    EXPECT_EQ(word(table, 3 * 40 + 12), kBase + 0x10000);
    EXPECT_EQ(word(table, 3 * 40 + 8), 0x8000u) << "VirtualSize stays";

    const auto startup = vp(hb::vboard::descriptors::kStartupBase, 12);
    EXPECT_EQ(word(startup, 0), 0xFFFFFFFFu);
    EXPECT_EQ(word(startup, 4), kBase + 0x20000) << "debugAddress";
    EXPECT_EQ(word(startup, 8), kBase + 0x10000) << "stackAddress";

    auto started = monitor->startedImage();
    ASSERT_TRUE(started);
    EXPECT_EQ(started->entryAddress, kBase + 0x1010);
    EXPECT_EQ(started->stackPointer, kBase + 0x10000 + 0x8000);
    EXPECT_EQ(started->flags, 0x202u);
    EXPECT_EQ(started->codeSelector, HB_SELECTOR_CODE);
    EXPECT_EQ(started->dataSelector, HB_SELECTOR_DATA);
}

TEST_F(ImageLoaderTest, BothContextWritesChangeOnlyTheirFields) {
    writeImage(referenceImage());
    ASSERT_EQ(boot(), 1);
    std::vector<hb::vboard::MonitorCommand> contexts;
    for (auto& c : monitor->commands()) {
        if (c.opcode == MON_SET_CONTEXT) {
            contexts.push_back(c);
        }
    }
    ASSERT_EQ(contexts.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& m = contexts[i].body;
        ASSERT_EQ(m.size(), HB_VPCONTEXT_SIZE);
        EXPECT_EQ(half(m, 0), HB_VPCONTEXT_SIZE);
        EXPECT_EQ(half(m, 4), 0);
        EXPECT_EQ(word(m, 6), 0u);
        EXPECT_EQ(half(m, 10), 1);
        for (uint32_t at = 12; at <= 36; at += 4) {
            EXPECT_EQ(word(m, at), 0u) << "offset " << at;
        }
        EXPECT_EQ(half(m, 44), 0x18);
        EXPECT_EQ(half(m, 46), 0x20);
        EXPECT_EQ(half(m, 48), 0x20);
        EXPECT_EQ(half(m, 50), 0x20);
        EXPECT_EQ(half(m, 52), 0x28);
        EXPECT_EQ(half(m, 54), 0x20);
        EXPECT_EQ(half(m, hb::vboard::context::kFpuControl), 0x037F)
            << "fields the host does not set keep the monitor's value";
    }
    // First: before the file is read; the monitor's flags 0x246 without 0x7D5.
    EXPECT_EQ(word(contexts[0].body, 40), 0u);
    EXPECT_EQ(word(contexts[0].body, 56), 0u);
    EXPECT_EQ(word(contexts[0].body, 60), 0x246u & ~0x7D5u);
    // Final: entry, stack top, flags.
    EXPECT_EQ(word(contexts[1].body, 40), kBase + 0x18000);
    EXPECT_EQ(word(contexts[1].body, 56), kBase + 0x1010);
    EXPECT_EQ(word(contexts[1].body, 60), 0x202u);
}

TEST_F(ImageLoaderTest, ShortContextReplyLeavesZerosNotStaleBytes) {
    hb::vboard::MonitorOptions options;
    options.contextReplyLength = 40;
    open(options);
    writeImage(referenceImage());
    ASSERT_EQ(boot(), 1);
    const auto first = monitor->commands().at(4);
    ASSERT_EQ(first.opcode, MON_SET_CONTEXT);
    EXPECT_EQ(word(first.body, 60), 0u);
    for (size_t at = 62; at < HB_VPCONTEXT_SIZE; ++at) {
        ASSERT_EQ(first.body[at], 0) << "offset " << at;
    }
}

TEST_F(ImageLoaderTest, MissingFileFailsWith3AfterThePreparingCommands) {
    imagePath = (dir_ / "no-such-image.exe").string();
    expectRefused(HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(commandList(), kPreparing);
    EXPECT_EQ(vb->resetCount(), 1u);
}

TEST_F(ImageLoaderTest, FormatErrorsFailWith2BeforeAnythingIsWritten) {
    auto withLfanew = [](uint32_t at) {
        PeImage image = referenceImage();
        image.eLfanew = at;
        return image.build();
    };
    auto withWordAt = [](std::vector<uint8_t> bytes, size_t at, uint32_t value) {
        hb::putLe32(bytes.data() + at, value);
        return bytes;
    };
    auto truncated = [](std::vector<uint8_t> bytes, size_t size) {
        bytes.resize(size);
        return bytes;
    };
    PeImage badMagic = referenceImage();
    badMagic.magic = 0x4D5A;
    PeImage badSignature = referenceImage();
    badSignature.signature = 0x4551;
    PeImage pe32Plus = referenceImage();
    pe32Plus.optionalMagic = 0x20B;
    PeImage amd64 = referenceImage();
    amd64.machine = 0x8664;
    PeImage pastFourGiB = referenceImage();
    pastFourGiB.addSection(".idata", 0xFFFFF000u - pastFourGiB.imageBase, patternBytes(0x2000, 3),
                           kSectionInitialized);
    PeImage claimsMore = referenceImage();
    claimsMore.sections[0].sizeOfRawData = 64u << 20;

    const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
        {"empty file", {}},
        {"short MS-DOS header", truncated(referenceImage().build(), 63)},
        {"bad MZ", badMagic.build()},
        {"e_lfanew below 864", withLfanew(863)},
        {"e_lfanew above 864 + 400", withLfanew(1265)},
        {"e_lfanew far outside", withWordAt(referenceImage().build(), 60, 0x7FFFFFF0)},
        {"bad PE signature", badSignature.build()},
        {"short NT headers", truncated(referenceImage().build(), 0x380 + 247)},
        {"PE32+ image", pe32Plus.build()},
        {"image for another machine", amd64.build()},
        {"section past 4 GiB", pastFourGiB.build()},
        {"section claiming more data than the file holds", claimsMore.build()},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        open(hb::vboard::MonitorOptions{});
        writeBytes(bytes);
        expectRefused(HB_ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(commandList(), kPreparing);
        EXPECT_FALSE(hb::pe::loaderRefusals(bytes).empty()) << "hbpe takes what the loader refuses";
    }
}

TEST_F(ImageLoaderTest, DebugSectionsBeyondTenAreSkippedAndTheWholeTableArrives) {
    PeImage image = referenceImage(); // five sections
    for (int i = 0; i < 9; ++i) {
        // Long names as the linker writes them: an offset into the string table.
        image.addSection("/" + std::to_string(4 + 14 * i), 0x30000 + 0x1000 * i,
                         std::vector<uint8_t>(16, uint8_t(0xD0 + i)), kSectionInitialized);
    }
    writeImage(image);
    ASSERT_EQ(boot(), 1);
    const auto list = commandList();
    const auto table = std::find(list.begin(), list.end(), "W 00400478 20 400");
    ASSERT_NE(table, list.end());
    EXPECT_EQ(*(table + 1), "W 00400608 20 160") << "the last four headers";
    EXPECT_EQ(*(table + 2), "SET_CONTEXT");
    const auto headers = vp(kBase + 0x380 + 248, 14 * 40);
    for (uint32_t i = 0; i < 14; ++i) {
        EXPECT_EQ(word(headers, 40 * i + 12), kBase + image.sections[i].virtualAddress);
    }
    EXPECT_EQ(vp(kBase + 0x30000, 16), std::vector<uint8_t>(16, 0)) << "debug data stays out";
}

TEST_F(ImageLoaderTest, ShortReadsAndFailedSeeksLaterInTheFileFailWith2) {
    const PeImage reference = referenceImage();
    PeImage longSection = referenceImage();
    longSection.sections[0].sizeOfRawData = 5000; // runs past the end of the file
    PeImage farSection = referenceImage();
    farSection.sections[0].pointerToRawData = 0xFFFFFFF0;
    PeImage farIdata = referenceImage();
    farIdata.sections[1].pointerToRawData = 0x80000000;

    auto cutTable = reference.build();
    cutTable.resize(0x380 + 248 + 40 * 2 + 10); // inside the third section header

    const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
        {"section data past the end", longSection.build()},
        {"section data far beyond the file", farSection.build()},
        {"section data beyond what a seek takes", farIdata.build()},
        {"section table cut short", cutTable},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        open(hb::vboard::MonitorOptions{});
        writeBytes(bytes);
        expectRefused(HB_ERROR_FILE_NOT_FOUND);
        const auto list = commandList();
        EXPECT_EQ(std::count(list.begin(), list.end(), "START"), 0);
    }
}

TEST_F(ImageLoaderTest, MissingStackFailsWith2OnlyAfterHeadersAndContext) {
    PeImage image = referenceImage();
    image.sections.erase(image.sections.begin() + 3);
    writeImage(image);
    expectRefused(HB_ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(hb::pe::loaderRefusals(image.build()).empty());
    const auto list = commandList();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[list.size() - 2], "SET_CONTEXT");
    EXPECT_EQ(list.back(), "DESC 28 1");
    EXPECT_EQ(vp(hb::vboard::descriptors::kStartupBase, 12), std::vector<uint8_t>(12, 0));
}

TEST_F(ImageLoaderTest, SectionSelectionRules) {
    PeImage image = referenceImage();
    // ".stack" with the code bit is code, not the stack.
    image.sections[3].characteristics |= kSectionCode;
    image.sections[3].data = patternBytes(8, 9);
    image.addSection(".idataXY", 0x5000, patternBytes(8, 5), kSectionInitialized);
    image.addSection(".bss", 0x6000, patternBytes(8, 6), kSectionUninitialized);
    image.addSection(".edata", 0x7000, patternBytes(8, 7), kSectionInitialized);
    image.addSection(".IDATA", 0x8000, patternBytes(8, 8), kSectionInitialized);
    writeImage(image);
    expectRefused(HB_ERROR_FILE_NOT_FOUND); // no stack left
    const auto list = commandList();
    auto has = [&](const std::string& c) {
        return std::find(list.begin(), list.end(), c) != list.end();
    };
    EXPECT_TRUE(has("W 00410000 18 8")) << ".stack with the code bit goes as code";
    EXPECT_TRUE(has("W 00407000 20 8")) << ".edata";
    EXPECT_FALSE(has("W 00405000 20 8")) << ".idataXY is not .idata";
    EXPECT_FALSE(has("W 00406000 20 8")) << "uninitialised data is not written";
    EXPECT_FALSE(has("W 00408000 20 8")) << "names are case-sensitive";
    EXPECT_EQ(vp(0x406000, 8), std::vector<uint8_t>(8, 0));
}

TEST_F(ImageLoaderTest, NoSectionsSendsAnEmptyTableAndFailsForWantOfAStack) {
    PeImage image = referenceImage();
    image.sections.clear();
    writeImage(image);
    expectRefused(HB_ERROR_FILE_NOT_FOUND);
    const auto list = commandList();
    EXPECT_NE(std::find(list.begin(), list.end(), "W 00400478 20 0"), list.end());
    for (auto& c : monitor->commands()) {
        if (c.opcode == MON_WRITE_MEMORY && word(c.body, 4) == 0x400478) {
            EXPECT_EQ(c.length, 14);
        }
    }
}

TEST_F(ImageLoaderTest, HeaderStretchLimitsAreInclusive) {
    for (uint32_t at : {864u, 1264u}) {
        SCOPED_TRACE(at);
        open(hb::vboard::MonitorOptions{});
        PeImage image = referenceImage();
        image.eLfanew = at;
        const auto file = image.build();
        writeImage(image);
        ASSERT_EQ(boot(), 1);
        EXPECT_EQ(vp(kBase + 864, at - 864),
                  std::vector<uint8_t>(file.begin() + 864, file.begin() + at));
        EXPECT_EQ(word(vp(kBase + at, 4), 0), 0x4550u);
    }
}

TEST_F(ImageLoaderTest, MonitorRefusalsAreNotExaminedAndNothingLeavesVpMemory) {
    PeImage image = referenceImage();
    image.imageBase = 0xFF000000; // every image write lies beyond VP memory
    writeImage(image);
    ASSERT_EQ(boot(), 1);
    size_t refused = 0;
    for (auto& c : monitor->commands()) {
        refused += c.error == hb::vboard::MonitorError::OutsideMemory ? 1 : 0;
    }
    EXPECT_EQ(refused, 8u);
    EXPECT_TRUE(monitor->startedImage());
}

TEST_F(ImageLoaderTest, SilentMonitorFailsTheLoadWith1460WithinTheTimeout) {
    writeImage(referenceImage());
    monitor->setNeverAnswer(true);
    hbSetLastError(0);
    EXPECT_EQ(boot(0.6), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(commandList(), std::vector<std::string>{"V 0=0"});
}

TEST_F(ImageLoaderTest, TimeoutZeroBootsWhileTheMonitorAnswersAtOnce) {
    writeImage(referenceImage());
    ASSERT_EQ(boot(0.0), 1) << "event mode";
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    ASSERT_EQ(boot(0.0), 1) << "polling mode";
    EXPECT_EQ(vb->resetCount(), 2u);
}

} // namespace
