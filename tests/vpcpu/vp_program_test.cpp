// SDK-built programs on the emulated processor, with a small host in the test
// that loads the image as the host's loader does and answers the requests
// these programs make.
#include "fake_board.h"
#include "vboard/vp_cpu.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace hb::vboard;
using hb::vboard::testing::FakeBoard;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMemorySize = 0x400000;
constexpr uint32_t kStartupBase = 0x1000;
constexpr uint32_t kFileIo = 0x4500;

uint32_t rd32(const std::vector<uint8_t>& b, size_t at) {
    return hb::getLe32(&b[at]);
}

// Puts the image into memory as the loader does and gives the start registers.
std::optional<VpRegisters> load(const std::string& path, std::vector<uint8_t>& memory) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), {});
    if (f.size() < 64) {
        return std::nullopt;
    }
    uint32_t nt = rd32(f, 60);
    uint32_t base = rd32(f, nt + 52);
    uint16_t count = hb::getLe16(&f[nt + 6]);
    VpRegisters r;
    r.eip = base + rd32(f, nt + 40);
    for (uint16_t i = 0; i < count; ++i) {
        size_t at = nt + 248 + 40 * size_t(i);
        std::string name(reinterpret_cast<const char*>(&f[at]),
                         strnlen(reinterpret_cast<const char*>(&f[at]), 8));
        uint32_t vsize = rd32(f, at + 8), va = rd32(f, at + 12), raw = rd32(f, at + 16),
                 ptr = rd32(f, at + 20), chars = rd32(f, at + 36);
        if (chars & 0x20) {
            std::copy_n(f.begin() + ptr, raw, memory.begin() + base + va);
        } else if (name == ".stack") {
            r.esp = base + va + vsize;
            uint32_t block[3] = {0xFFFFFFFF, 0xFFFFFFFF, base + va};
            std::memcpy(&memory[kStartupBase], block, sizeof block);
        }
    }
    return r;
}

// Answers CommandLine, EnvironmentSize, Environment, Write (to a string) and Exit.
struct MiniHost {
    std::string commandLine;
    std::string environment; // NUL-separated, ending in two NULs
    std::string output;
    int exitStatus = -1;

    void answer(FakeBoard& b) {
        uint8_t block[HB_FILEIO_BLOCK_SIZE];
        b.readShared(kFileIo, block, sizeof block);
        uint32_t code = rd32(std::vector<uint8_t>(block, block + 16), 0);
        auto word = [&](size_t at) { return hb::getLe32(block + at); };
        switch (code) {
        case 15: {
            char line[256] = {};
            std::snprintf(line, sizeof line, "%s", commandLine.c_str());
            b.writeShared(kFileIo + 4, line, sizeof line);
            break;
        }
        case 22:
            b.writeSharedWord(kFileIo + 4, uint32_t(environment.size()));
            break;
        case 23: {
            uint32_t n = std::min<uint32_t>(word(4), uint32_t(environment.size()));
            b.writeSharedWord(kFileIo + 4, n);
            b.writeShared(kFileIo + 8, environment.data(), n);
            break;
        }
        case 9: {
            uint32_t n = word(8);
            std::string data(n, '\0');
            b.readShared(kFileIo + 12, data.data(), n);
            output += data;
            b.writeSharedWord(kFileIo + 4, n);
            b.writeSharedWord(kFileIo + 8, 0);
            break;
        }
        case 16:
            exitStatus = block[4];
            break;
        default:
            break;
        }
        b.writeSharedWord(kFileIo, 0xFFFFFFFF);
    }
};

} // namespace

TEST(VpProgram, HelloPrintsItsArgumentsAndTheGreeting) {
    FakeBoard board;
    board.registerEvent(HB_EVENT_FILEIO_REQUEST);
    MiniHost host;
    host.commandLine = "hello world \"two words\"";
    host.environment = std::string("A=1\0HBVP_GREETING=hi there\0\0", 28);
    board.startHost([&](FakeBoard& b) { host.answer(b); });

    std::vector<uint8_t> memory(kMemorySize, 0);
    auto regs = load(HB_VP_IMAGE_DIR "/hello.exe", memory);
    ASSERT_TRUE(regs);
    VpCpu cpu(board);
    VpStart start;
    start.memory = memory.data();
    start.memorySize = kMemorySize;
    start.segments = {{HB_SELECTOR_CODE, 0, 0xFFFFFFFF, true},
                      {HB_SELECTOR_DATA, 0, 0xFFFFFFFF, false},
                      {HB_SELECTOR_STARTUP, kStartupBase, 0xFFF, false}};
    start.registers = *regs;
    ASSERT_TRUE(cpu.start(start));
    ASSERT_TRUE(cpu.waitUntilEnded(60s));
    board.stopHost();
    ASSERT_EQ(cpu.state(), VpRunState::Halted) << cpu.fault().value_or(VpFault{}).text;
    EXPECT_EQ(cpu.haltValue(), 0u);
    EXPECT_EQ(host.exitStatus, 0);
    EXPECT_EQ(host.output, "hello from the VP\n"
                           "argv[0] = hello\n"
                           "argv[1] = world\n"
                           "argv[2] = two words\n"
                           "HBVP_GREETING = hi there\n");
}
