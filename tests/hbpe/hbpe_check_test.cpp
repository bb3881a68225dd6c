// `hbpe check` and `hbpe fix` run as processes over a table of images: the
// status follows the loader's refusals alone, warnings never change it.
#include "../fileio/scratch_directory.h"
#include "pe_image.h"
#include "pe_writer.h"
#include "tools/process.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace hb::pe::testing;
using namespace std::chrono_literals;

const std::string kHbpe = HBPE_PATH;

// typicalProgram() with its headers where the loader wants them, changed.
std::vector<uint8_t> inPlace(const std::function<void(ImageLayout&)>& change) {
    ImageLayout layout = typicalProgram();
    layout.lfanew = 864;
    change(layout);
    return writeImage(layout);
}

// Each line of `lines` with IMAGE standing for `path`.
std::string withPath(std::string lines, const std::string& path) {
    for (size_t at; (at = lines.find("IMAGE")) != std::string::npos;) {
        lines.replace(at, 5, path);
    }
    return lines;
}

TEST(Hbpe, CheckFailsForTheLoadersRefusalsOnlyAndWarnsOfTheRest) {
    auto pe32Plus = inPlace([](ImageLayout&) {});
    put16(pe32Plus, 864 + 24, 0x20B);
    auto cut = inPlace([](ImageLayout&) {});
    cut.resize(cut.size() - 16);
    const std::string stackRefusal =
        "IMAGE: no \".stack\" section (without the code bit); the loader refuses such images\n";
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        int status;        // of check
        std::string lines; // check's stderr
        int fixStatus;
    } cases[] = {
        {"a clean image", inPlace([](ImageLayout&) {}), 0, "", 0},
        {"headers too early", writeImage(typicalProgram()), 1,
         "IMAGE: e_lfanew is 120; the loader needs it between 864 and 1264 (hbpe fix cures "
         "this)\n",
         0},
        {"no stack", inPlace([](ImageLayout& l) { l.sections.pop_back(); }), 1, stackRefusal, 1},
        {"a .stack with the code bit",
         inPlace([](ImageLayout& l) { l.sections[1].characteristics |= 0x20; }), 1,
         stackRefusal + "hbpe: IMAGE: warning: section \".stack\": 16384 bytes beyond its file "
                        "data, which the loader neither writes nor clears (build with "
                        "-fno-zero-initialized-in-bss)\n",
         1},
        {"a PE32+ image", pe32Plus, 1,
         "IMAGE: not a PE32 image (optional-header magic is not 0x10B)\n", 1},
        {"section data cut short", cut, 1,
         "IMAGE: section \".text\": its data runs past the end of the file\n", 1},
        {"a refusal and a warning", inPlace([](ImageLayout& l) {
             l.sections.pop_back();
             l.entry = 0x9000;
         }),
         1,
         stackRefusal + "hbpe: IMAGE: warning: the entry point lies outside every code section\n",
         1},
        {"the entry outside the code", inPlace([](ImageLayout& l) { l.entry = 0x9000; }), 0,
         "hbpe: IMAGE: warning: the entry point lies outside every code section\n", 0},
        {"e_lfanew not a multiple of 8", inPlace([](ImageLayout& l) { l.lfanew = 868; }), 0,
         "hbpe: IMAGE: warning: e_lfanew 868 is not a multiple of 8 (hbpe fix cures this)\n", 0},
        {"a data section the loader skips", inPlace([](ImageLayout& l) {
             l.sections.push_back({".data", 0xC0000040, pattern(16, 3), 0, 0});
         }),
         0,
         "hbpe: IMAGE: warning: section \".data\" holds initialised data that the loader does "
         "not load (merge it into .text)\n",
         0},
        {"a bss section", inPlace([](ImageLayout& l) {
             l.sections.push_back({".bss", 0xC0000080, {}, 0x100, 0});
         }),
         0,
         "hbpe: IMAGE: warning: section \".bss\" is uninitialised data that the loader neither "
         "loads nor clears (merge it into .text)\n",
         0},
        {"code beyond its file data",
         inPlace([](ImageLayout& l) { l.sections[0].virtualSize = 0x2000; }), 0,
         "hbpe: IMAGE: warning: section \".text\": 7168 bytes beyond its file data, which the "
         "loader neither writes nor clears (build with -fno-zero-initialized-in-bss)\n",
         0},
        {"a section over the headers", inPlace([](ImageLayout& l) {
             l.sections[0].virtualAddress = 0x200;
             l.entry = 0x200;
         }),
         0, "hbpe: IMAGE: warning: section \".text\" lies where the loader copies the headers\n",
         0},
        {"an empty .stack", inPlace([](ImageLayout& l) { l.sections[1].virtualSize = 0; }), 0,
         "hbpe: IMAGE: warning: the \".stack\" section is empty\n", 0},
        {"a 240-byte optional header", inPlace([](ImageLayout& l) { l.optionalHeaderSize = 240; }),
         0,
         "hbpe: IMAGE: warning: the optional header is not 224 bytes; the loader expects the "
         "section table 248 bytes after e_lfanew\n",
         1},
    };
    hbtest::ScratchDirectory work;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = work / "image.exe", out = work / "fixed.exe";
        std::filesystem::remove(out);
        work.write("image.exe", std::string(c.image.begin(), c.image.end()));
        const auto check = hbtest::run({kHbpe, "check", image}, work.path(), 20s);
        EXPECT_EQ(check.status, c.status);
        EXPECT_EQ(check.err, withPath(c.lines, image));
        EXPECT_EQ(check.out, "");
        EXPECT_EQ(check.status == 1, !hb::pe::loaderRefusals(c.image).empty())
            << "hbpe check and the loader disagree";

        // fix cures the header place, then says what check says of its result.
        const auto fix = hbtest::run({kHbpe, "fix", image, "-o", out}, work.path(), 20s);
        EXPECT_EQ(fix.status, c.fixStatus) << fix.err;
        if (fix.status == 0) {
            const auto again = hbtest::run({kHbpe, "check", out}, work.path(), 20s);
            EXPECT_EQ(again.status, 0) << again.err;
            EXPECT_EQ(fix.err, again.err);
        } else {
            EXPECT_FALSE(std::filesystem::exists(out));
        }
    }
}

} // namespace
