#include "fake_board.h"

#include "little_endian.h"
#include "vboard/vp_cpu.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace hb::vboard;
using hb::vboard::testing::FakeBoard;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMemorySize = 0x200000;
constexpr uint32_t kImage = 0x100000;
constexpr uint32_t kStartupBase = 0x1000;
constexpr uint32_t kFileIo = 0x4500; // board type 22: bus type 2, width 4
constexpr uint32_t kFail = 0x4400;

// A few i386 instructions, enough for small test programs.
struct Code {
    std::vector<uint8_t> bytes;
    Code& raw(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Code& imm(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        hb::putLe32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    Code& movEax(uint32_t v) { return raw({0xB8}).imm(v); }
    Code& loadEax(uint32_t address) { return raw({0xA1}).imm(address); }
    Code& storeEax(uint32_t address) { return raw({0xA3}).imm(address); }
    Code& storeImm(uint32_t address, uint32_t v) { return raw({0xC7, 0x05}).imm(address).imm(v); }
    Code& outEax(uint8_t port) { return raw({0xE7, port}); }
    Code& halt() { return outEax(HBVP_PORT_HALT).raw({0xF4}); }
};

struct Machine {
    FakeBoard board;
    std::vector<uint8_t> memory = std::vector<uint8_t>(kMemorySize, 0);
    VpCpu cpu{board};

    explicit Machine(BoardConfig config = {}) : board(config) {}

    VpStart startFor(const Code& code) {
        std::copy(code.bytes.begin(), code.bytes.end(), memory.begin() + kImage);
        VpStart s;
        s.memory = memory.data();
        s.memorySize = kMemorySize;
        s.segments = {{HB_SELECTOR_CODE, 0, 0xFFFFFFFF, true},
                      {HB_SELECTOR_DATA, 0, 0xFFFFFFFF, false},
                      {HB_SELECTOR_STARTUP, kStartupBase, 0xFFF, false}};
        s.registers.eip = kImage;
        s.registers.esp = 0x180000;
        return s;
    }
    void run(const Code& code) {
        std::string error;
        ASSERT_TRUE(cpu.start(startFor(code), &error)) << error;
        ASSERT_TRUE(cpu.waitUntilEnded(60s));
    }
    uint32_t word(uint32_t address) const { return hb::getLe32(memory.data() + address); }
};

void put32(std::vector<uint8_t>& m, size_t at, uint32_t v) {
    hb::putLe32(m.data() + at, v);
}
void put16(std::vector<uint8_t>& m, size_t at, uint16_t v) {
    hb::putLe16(m.data() + at, v);
}

} // namespace

TEST(VpCpu, RunsToTheHaltPortWithItsValue) {
    Machine m;
    m.run(Code().movEax(42).halt().raw({0x0F, 0x0B}));
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 42u);
    EXPECT_FALSE(m.cpu.fault());
}

TEST(VpCpu, HltEndsTheProgram) {
    Machine m;
    m.run(Code().storeImm(0x3000, 7).raw({0xF4}));
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.word(0x3000), 7u);
}

TEST(VpCpu, StartsWithTheContextOfTheMonitorMessage) {
    std::vector<uint8_t> message(376, 0);
    put16(message, 0, 376);
    put16(message, 2, 16);
    for (uint32_t i = 0; i < 7; ++i) {
        put32(message, 12 + 4 * i, 0x11111111u * (i + 1)); // EAX..EBP
    }
    put32(message, 40, 0x180000);
    const uint16_t selectors[] = {0x18, 0x20, 0x20, 0x20, 0x28, 0x20};
    for (int i = 0; i < 6; ++i) {
        put16(message, 44 + 2 * i, selectors[i]);
    }
    put32(message, 56, kImage);
    put32(message, 60, 0x202);
    auto regs = VpRegisters::fromContextMessage(message.data(), message.size());
    ASSERT_TRUE(regs);
    EXPECT_FALSE(VpRegisters::fromContextMessage(message.data(), 63));
    EXPECT_EQ(regs->fs, HB_SELECTOR_STARTUP);
    EXPECT_EQ(regs->esp, 0x180000u);

    Machine m;
    put32(m.memory, kStartupBase + 8, 0xCAFEF00D); // the start-up block's stackAddress
    Code c;
    c.storeEax(0x3000);
    c.raw({0x89, 0x1D}).imm(0x3004); // mov [0x3004], ebx
    c.raw({0x89, 0x2D}).imm(0x3008); // mov [0x3008], ebp
    c.raw({0x89, 0x25}).imm(0x300C); // mov [0x300C], esp
    c.raw({0x64, 0xA1}).imm(8);      // mov eax, fs:[8]
    c.storeEax(0x3010).halt();
    VpStart s = m.startFor(c);
    s.registers = *regs;
    ASSERT_TRUE(m.cpu.start(s));
    ASSERT_TRUE(m.cpu.waitUntilEnded(60s));
    ASSERT_EQ(m.cpu.state(), VpRunState::Halted) << m.cpu.fault().value_or(VpFault{}).text;
    EXPECT_EQ(m.word(0x3000), 0x11111111u);
    EXPECT_EQ(m.word(0x3004), 0x22222222u);
    EXPECT_EQ(m.word(0x3008), 0x77777777u);
    EXPECT_EQ(m.word(0x300C), 0x180000u);
    EXPECT_EQ(m.word(0x3010), 0xCAFEF00Du);
}

TEST(VpCpu, BoardInformationDescribesEachLayout) {
    BoardConfig c;
    c.boardType = 27;
    c.busWidth = 1;
    auto i = makeBoardInfo(c, 0, 0x1000, kMemorySize);
    EXPECT_EQ(i.busType, 1u);
    EXPECT_EQ(i.fileIoOffset, 0x500u);
    EXPECT_EQ(i.fileIoSize, 0x140u);
    EXPECT_EQ(i.customerOffset, 0u);
    EXPECT_EQ(i.customerSize, 0x400u);
    EXPECT_EQ(i.failMessageOffset, 0x400u);
    c.busWidth = 3;
    i = makeBoardInfo(c, 0, 0x4000, kMemorySize);
    EXPECT_EQ(i.fileIoOffset, 0x1100u);
    EXPECT_EQ(i.customerSize, 0x1000u);
    EXPECT_EQ(i.failMessageOffset, 0x1000u);
    c.busWidth = 4; // no layout
    i = makeBoardInfo(c, 0, 0x4000, kMemorySize);
    EXPECT_EQ(i.fileIoSize, 0u);
    EXPECT_EQ(i.failMessageSize, 0u);
    c.boardType = 25;
    i = makeBoardInfo(c, 3, 0x32500, kMemorySize);
    EXPECT_EQ(i.busType, 3u);
    EXPECT_EQ(i.busWidth, 4u);
    EXPECT_EQ(i.fileIoOffset, 0x4500u);
    EXPECT_EQ(i.customerOffset, 0x400u);
    EXPECT_EQ(i.failMessageOffset, 0x4400u);
    EXPECT_EQ(i.boardIndex, 3u);

    // The program reads the same block at its fixed address.
    Machine m;
    m.run(Code()
              .loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, magic))
              .storeEax(0x3000)
              .loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, fileIoOffset))
              .storeEax(0x3004)
              .loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, sharedSize))
              .halt());
    EXPECT_EQ(m.word(0x3000), HBVP_INFO_MAGIC);
    EXPECT_EQ(m.word(0x3004), kFileIo);
    EXPECT_EQ(m.cpu.haltValue(), m.board.sharedMemorySize());
}

TEST(VpCpu, FileIoDoorbellRaisesEvent6AndWaitsForTheMarker) {
    Machine m;
    m.board.registerEvent(HB_EVENT_FILEIO_REQUEST);
    m.board.startHost([](FakeBoard& b) {
        uint32_t code = b.readSharedWord(kFileIo);
        b.writeSharedWord(kFileIo + 4, code * 100); // the response
        b.writeSharedWord(kFileIo, HB_FILEIO_COMPLETION_MARKER);
    });
    Code c;
    for (uint32_t code : {15u, 22u}) {
        c.storeImm(HBVP_SHARED_ADDRESS + kFileIo, code).movEax(kFileIo).outEax(HBVP_PORT_FILEIO);
        c.loadEax(HBVP_SHARED_ADDRESS + kFileIo + 4).storeEax(0x3000 + 4 * (code == 22u));
    }
    c.loadEax(HBVP_SHARED_ADDRESS + kFileIo).halt();
    m.run(c);
    ASSERT_EQ(m.cpu.state(), VpRunState::Halted) << m.cpu.fault().value_or(VpFault{}).text;
    EXPECT_EQ(m.word(0x3000), 1500u);
    EXPECT_EQ(m.word(0x3004), 2200u);
    EXPECT_EQ(m.cpu.haltValue(), HB_FILEIO_COMPLETION_MARKER);
    EXPECT_EQ(m.cpu.doorbellCount(), 2u);
    EXPECT_EQ(m.board.eventCount(HB_EVENT_FILEIO_REQUEST), 2);
}

TEST(VpCpu, DoorbellRingsAgainUntilAHostRegisters) {
    Machine m;
    m.board.startHost(
        [](FakeBoard& b) { b.writeSharedWord(kFileIo, HB_FILEIO_COMPLETION_MARKER); });
    ASSERT_TRUE(m.cpu.start(m.startFor(Code()
                                           .storeImm(HBVP_SHARED_ADDRESS + kFileIo, 15)
                                           .movEax(kFileIo)
                                           .outEax(HBVP_PORT_FILEIO)
                                           .movEax(1)
                                           .halt())));
    while (m.board.eventCount(HB_EVENT_FILEIO_REQUEST) < 2) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(m.cpu.state(), VpRunState::Running);
    m.board.registerEvent(HB_EVENT_FILEIO_REQUEST);
    ASSERT_TRUE(m.cpu.waitUntilEnded(60s));
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 1u);
}

struct FaultCase {
    const char* name;
    Code code;
    uint32_t kind;
    uint32_t address; // 0: the faulting instruction's address, kImage + addressOffset
    uint32_t addressOffset;
    uint32_t detail;
};

class VpCpuFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(VpCpuFaults, StopRecordAndRaiseEvent7) {
    const FaultCase& fc = GetParam();
    Machine m;
    m.board.registerEvent(HB_EVENT_VP_FAULT);
    m.run(fc.code);
    ASSERT_EQ(m.cpu.state(), VpRunState::Faulted);
    auto f = m.cpu.fault();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, fc.kind) << f->text;
    uint32_t address = fc.address != 0 ? fc.address : kImage + fc.addressOffset;
    EXPECT_EQ(f->address, address) << f->text;
    if (fc.detail != 0) {
        EXPECT_EQ(f->detail, fc.detail);
    }
    EXPECT_FALSE(f->text.empty());

    HbVpFaultRecord record{};
    ASSERT_TRUE(m.board.readShared(kFail, &record, sizeof record));
    EXPECT_EQ(record.magic, HBVP_FAULT_MAGIC);
    EXPECT_EQ(record.kind, fc.kind);
    EXPECT_EQ(record.address, address);
    EXPECT_EQ(record.eip, f->eip);
    EXPECT_EQ(std::string(record.text), f->text);
    EXPECT_EQ(m.board.eventCount(HB_EVENT_VP_FAULT), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VpCpuFaults,
    ::testing::Values(
        FaultCase{"InvalidOpcode", Code().movEax(1).raw({0x0F, 0x0B}),
                  HBVP_FAULT_INVALID_INSTRUCTION, 0, 5, 0},
        FaultCase{"UnmappedRead", Code().loadEax(0x10000000), HBVP_FAULT_UNMAPPED_READ, 0x10000000,
                  0, 0},
        FaultCase{"UnmappedWrite", Code().storeEax(0x7FFFE000), HBVP_FAULT_UNMAPPED_WRITE,
                  0x7FFFE000, 0, 0},
        FaultCase{"UnmappedFetch", Code().raw({0xE9}).imm(0x20000000), HBVP_FAULT_UNMAPPED_FETCH,
                  kImage + 5 + 0x20000000, 0, 0},
        FaultCase{"DivideByZero", Code().movEax(5).raw({0x31, 0xC9, 0xF7, 0xF1}),
                  HBVP_FAULT_DIVIDE_ERROR, 0, 7, 0},
        FaultCase{"SoftwareInterrupt", Code().raw({0xCD, 0x80}), HBVP_FAULT_CPU_EXCEPTION, 0, 2,
                  0x80},
        FaultCase{"LoadOfMissingSelector", Code().raw({0x66, 0xB8, 0x40, 0x00, 0x8E, 0xD8}),
                  HBVP_FAULT_CPU_EXCEPTION, 0, 4, 13},
        FaultCase{"WriteToTheInformationPage", Code().storeEax(HBVP_INFO_ADDRESS),
                  HBVP_FAULT_PROTECTED_ACCESS, HBVP_INFO_ADDRESS, 0, 0},
        FaultCase{"SharedMemoryPastItsEnd", Code().loadEax(HBVP_SHARED_ADDRESS + 0x32500),
                  HBVP_FAULT_UNMAPPED_READ, HBVP_SHARED_ADDRESS + 0x32500, 0, 0},
        FaultCase{"DoorbellOffsetOutsideSharedMemory",
                  Code().movEax(0x40000).outEax(HBVP_PORT_FILEIO), HBVP_FAULT_BAD_DOORBELL, 0x40000,
                  0, HBVP_PORT_FILEIO},
        FaultCase{"MisalignedDoorbellOffset", Code().movEax(kFileIo + 2).outEax(HBVP_PORT_FILEIO),
                  HBVP_FAULT_BAD_DOORBELL, kFileIo + 2, 0, HBVP_PORT_FILEIO}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(VpCpu, StartContextWithAMissingSelectorIsAFault) {
    Machine m;
    VpStart s = m.startFor(Code().halt());
    s.registers.ds = 0x30;
    ASSERT_TRUE(m.cpu.start(s));
    ASSERT_TRUE(m.cpu.waitUntilEnded(60s));
    ASSERT_EQ(m.cpu.state(), VpRunState::Faulted);
    EXPECT_EQ(m.cpu.fault()->kind, uint32_t(HBVP_FAULT_BAD_CONTEXT));
    EXPECT_EQ(m.cpu.fault()->detail, 0x30u);

    s.registers.ds = HB_SELECTOR_DATA;
    s.registers.cs = HB_SELECTOR_DATA; // a data segment cannot run code
    ASSERT_TRUE(m.cpu.start(s));
    ASSERT_TRUE(m.cpu.waitUntilEnded(60s));
    EXPECT_EQ(m.cpu.fault()->kind, uint32_t(HBVP_FAULT_BAD_CONTEXT));
}

TEST(VpCpu, RefusesAnUnusableStart) {
    Machine m;
    VpStart good = m.startFor(Code().raw({0xEB, 0xFE}));
    std::string error;
    VpStart s = good;
    s.memory = nullptr;
    EXPECT_FALSE(m.cpu.start(s, &error));
    EXPECT_FALSE(error.empty());
    s = good;
    s.memorySize = 0x1234;
    EXPECT_FALSE(m.cpu.start(s));
    s = good;
    s.segments.push_back({0x1C, 0, 0, false});
    EXPECT_FALSE(m.cpu.start(s));
    s = good;
    s.segments.push_back({0x800, 0, 0, false});
    EXPECT_FALSE(m.cpu.start(s));
    EXPECT_EQ(m.cpu.state(), VpRunState::Idle);

    ASSERT_TRUE(m.cpu.start(good));
    EXPECT_FALSE(m.cpu.start(good, &error)); // one program at a time
    m.cpu.stop();
    EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);
}

TEST(VpCpuStop, StopsAProgramWaitingInTheDoorbell) {
    Machine m;
    m.board.registerEvent(HB_EVENT_FILEIO_REQUEST); // but no host answers
    ASSERT_TRUE(m.cpu.start(m.startFor(Code()
                                           .storeImm(HBVP_SHARED_ADDRESS + kFileIo, 8)
                                           .movEax(kFileIo)
                                           .outEax(HBVP_PORT_FILEIO))));
    while (m.board.eventCount(HB_EVENT_FILEIO_REQUEST) == 0) {
        std::this_thread::sleep_for(1ms);
    }
    m.cpu.stop();
    EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);
    EXPECT_FALSE(m.cpu.fault());
}

TEST(VpCpuStop, StopsASpinningLoopAndRestartsWithAFreshEngine) {
    Machine m;
    Code loop = Code().storeImm(0x3000, 1).raw({0xEB, 0xFE});
    ASSERT_TRUE(m.cpu.start(m.startFor(loop)));
    while (m.word(0x3000) != 1) { // written by the VP thread before its loop
        std::this_thread::sleep_for(1ms);
    }
    m.cpu.stop();
    EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);

    m.run(Code().movEax(9).halt());
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 9u);
}

TEST(VpCpuStop, StopRightAfterStartNeverHangs) {
    Machine m;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(m.cpu.start(m.startFor(Code().raw({0xEB, 0xFE}))));
        m.cpu.stop();
        EXPECT_NE(m.cpu.state(), VpRunState::Running);
    }
}

TEST(VpCpuStop, DestroyingTheProcessorStopsItsProgram) {
    FakeBoard board;
    std::vector<uint8_t> memory(kMemorySize, 0);
    memory[kImage] = 0xEB;
    memory[kImage + 1] = 0xFE;
    auto cpu = std::make_unique<VpCpu>(board);
    VpStart s;
    s.memory = memory.data();
    s.memorySize = kMemorySize;
    s.segments = {{HB_SELECTOR_CODE, 0, 0xFFFFFFFF, true},
                  {HB_SELECTOR_DATA, 0, 0xFFFFFFFF, false},
                  {HB_SELECTOR_STARTUP, kStartupBase, 0xFFF, false}};
    s.registers.eip = kImage;
    s.registers.esp = 0x180000;
    ASSERT_TRUE(cpu->start(s));
    cpu.reset(); // must return, with the thread gone
}

TEST(VpCpu, FourProcessorsRunAtOnce) {
    std::vector<std::unique_ptr<Machine>> machines;
    for (int i = 0; i < 4; ++i) {
        machines.push_back(std::make_unique<Machine>());
        Machine& m = *machines.back();
        m.board.registerEvent(HB_EVENT_FILEIO_REQUEST);
        m.board.startHost([](FakeBoard& b) {
            b.writeSharedWord(kFileIo + 4, b.readSharedWord(kFileIo) + 1);
            b.writeSharedWord(kFileIo, HB_FILEIO_COMPLETION_MARKER);
        });
        // 50 requests, each adding one through the host: ecx counts down.
        Code c;
        c.raw({0xB9}).imm(50); // mov ecx, 50
        c.raw({0x31, 0xDB});   // xor ebx, ebx
        size_t top = c.bytes.size();
        c.raw({0x89, 0x1D}).imm(HBVP_SHARED_ADDRESS + kFileIo); // mov [block], ebx
        c.movEax(kFileIo).outEax(HBVP_PORT_FILEIO);
        c.raw({0x8B, 0x1D}).imm(HBVP_SHARED_ADDRESS + kFileIo + 4); // mov ebx, [block+4]
        c.raw({0x49});                                              // dec ecx
        c.raw({0x75, uint8_t(int8_t(top - (c.bytes.size() + 2)))}); // jnz top
        c.raw({0x89, 0xD8}).halt();                                 // mov eax, ebx
        ASSERT_TRUE(m.cpu.start(m.startFor(c)));
    }
    for (auto& m : machines) {
        ASSERT_TRUE(m->cpu.waitUntilEnded(60s));
        EXPECT_EQ(m->cpu.state(), VpRunState::Halted);
        EXPECT_EQ(m->cpu.haltValue(), 50u);
    }
}
