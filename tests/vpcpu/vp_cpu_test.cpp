// The emulated processor on a virtual board, running hand-assembled programs:
// its start context, its faults and their record, its stop, and its run
// under a scripted debugger. The SDK's programs, booted through
// the library, run in tests/emulation.
#include "board/virtual_board_fixture.h"
#include "little_endian.h"
#include "vboard/gdb_stub.h"
#include "vboard/vp_cpu.h"

#include <atomic>
#include <initializer_list>
#include <tuple>

using namespace hb::vboard;
using hb::test::eventually;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMemorySize = 0x200000, kImage = 0x100000, kStartup = 0x1000, kData = 0x3000;
// Shared memory of no whole number of pages, which the processor reaches
// through the board's accessors; board type 22 puts the file-I/O block and
// the fail-message region here.
constexpr uint32_t kSharedSize = 0x32500, kFileIo = 0x4500, kFail = 0x4400;

// A few i386 instructions, enough for small programs.
struct Code {
    std::vector<uint8_t> bytes;
    Code& raw(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Code& imm(uint32_t v) {
        return raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
    Code& movEax(uint32_t v) { return raw({0xB8}).imm(v); }
    Code& loadEax(uint32_t address) { return raw({0xA1}).imm(address); }
    Code& storeEax(uint32_t address) { return raw({0xA3}).imm(address); }
    Code& storeImm(uint32_t address, uint32_t v) { return raw({0xC7, 0x05}).imm(address).imm(v); }
    Code& out(uint8_t port) { return raw({0xE7, port}); } // out port, eax
    Code& halt() { return out(HBVP_PORT_HALT).raw({0xF4}); }
};

// The processor on a board of a virtual device with no host: events raised
// reach no one.
struct Machine {
    std::unique_ptr<Device> device =
        Device::create("/tmp/hbvpcpu" + std::to_string(getpid()) + "-" +
                       std::to_string(reinterpret_cast<uintptr_t>(this)) + "-");
    Board& board = device->addBoard(0, BoardConfig{.sharedMemorySize = kSharedSize});
    std::vector<uint8_t> memory = std::vector<uint8_t>(kMemorySize, 0);
    VpCpu cpu{board};

    VpStart startFor(const Code& code) {
        std::copy(code.bytes.begin(), code.bytes.end(), memory.begin() + kImage);
        VpStart s{memory.data(),
                  kMemorySize,
                  {{HB_SELECTOR_CODE, 0, 0xFFFFFFFF, true},
                   {HB_SELECTOR_DATA, 0, 0xFFFFFFFF, false},
                   {HB_SELECTOR_STARTUP, kStartup, 0xFFF, false}},
                  {}};
        s.registers.eip = kImage;
        s.registers.esp = 0x180000;
        return s;
    }
    // Runs the program to its end (a minute at most).
    VpRunState run(const VpStart& start) {
        std::string error;
        EXPECT_TRUE(cpu.start(start, &error)) << error;
        EXPECT_TRUE(cpu.waitUntilEnded(60s));
        return cpu.state();
    }
    VpRunState run(const Code& code) { return run(startFor(code)); }
    uint32_t word(uint32_t address) const { return hb::getLe32(memory.data() + address); }
};

TEST(VpCpu,
     ProgramGetsTheMonitorsContextTheBoardInformationAndSharedMemoryAndEndsWithItsHaltValue) {
    std::vector<uint8_t> message(376, 0);
    for (uint32_t i = 0; i < 7; ++i)
        hb::putLe32(&message[12 + 4 * i], 0x11111111u * (i + 1)); // EAX..EBP
    hb::putLe32(&message[40], 0x180000);
    const uint16_t selectors[] = {0x18, 0x20, 0x20, 0x20, 0x28, 0}; // CS DS ES SS FS, GS null
    for (int i = 0; i < 6; ++i)
        hb::putLe16(&message[44 + 2 * i], selectors[i]);
    hb::putLe32(&message[56], kImage);
    hb::putLe32(&message[60], 0x202);
    EXPECT_FALSE(VpRegisters::fromContextMessage(message.data(), 63));

    Machine m;
    hb::putLe32(&m.memory[kStartup + 8], 0xCAFEF00D); // the start-up block's stack address
    Code c;
    c.storeEax(kData).raw({0x89, 0x1D}).imm(kData + 4); // mov [kData + 4], ebx
    c.raw({0x89, 0x2D}).imm(kData + 8);                 // mov [kData + 8], ebp
    c.raw({0x89, 0x25}).imm(kData + 12);                // mov [kData + 12], esp
    c.raw({0x64, 0xA1}).imm(8).storeEax(kData + 16);    // mov eax, fs:[8]
    c.loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, magic)).storeEax(kData + 20);
    c.loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, fileIoOffset)).storeEax(kData + 24);
    c.raw({0xB9}).imm(HB_SELECTOR_DATA).raw({0x0F, 0x03, 0xC1}).storeEax(kData + 32); // lsl
    c.storeImm(HBVP_SHARED_ADDRESS + 0x100, 0x5A5A1234); // shared memory through the board
    c.loadEax(HBVP_SHARED_ADDRESS + 0x100).storeEax(kData + 28);
    c.loadEax(HBVP_INFO_ADDRESS + offsetof(HbVpBoardInfo, sharedSize)).halt();
    c.raw({0x0F, 0x0B}); // after the halt, in the same block: no fault
    VpStart s = m.startFor(c);
    s.registers = *VpRegisters::fromContextMessage(message.data(), message.size());
    ASSERT_EQ(m.run(s), VpRunState::Halted) << m.cpu.fault().value_or(VpFault{}).text;
    EXPECT_EQ(m.cpu.haltValue(), kSharedSize);
    EXPECT_EQ(m.board.readSharedWord(0x100), 0x5A5A1234u);
    const uint32_t expected[] = {0x11111111,      0x22222222, 0x77777777, 0x180000,  0xCAFEF00D,
                                 HBVP_INFO_MAGIC, kFileIo,    0x5A5A1234, 0xFFFFFFFF};
    for (uint32_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(m.word(kData + 4 * i), expected[i]) << i;
}

// The fields that no SDK program reads; tests/emulation runs the programs on
// each layout.
TEST(VpCpu, BoardInformationGivesBusTypeWidthAndIndexAndNoRegionsWithoutALayout) {
    HbVpBoardInfo i = makeBoardInfo(BoardConfig{.boardType = 27, .busWidth = 1}, 3, 0x1000, 0);
    EXPECT_EQ(std::tuple(i.busType, i.busWidth, i.boardIndex, i.failMessageSize),
              std::tuple(1u, 1u, 3u, uint32_t{sizeof(HbVpFaultRecord)}));
    i = makeBoardInfo(BoardConfig{.boardType = 25, .busWidth = 1}, 0, 0x32500, 0);
    EXPECT_EQ(std::pair(i.busType, i.busWidth), std::pair(3u, 4u));
    i = makeBoardInfo(BoardConfig{.boardType = 27, .busWidth = 4}, 0, 0x4000, 0); // no layout
    EXPECT_EQ(std::pair(i.fileIoSize, i.failMessageSize), std::pair(0u, 0u));
}

struct FaultCase {
    const char* name;
    Code code;
    uint32_t kind, address, detail; // detail 0: not checked
    uint16_t ds = HB_SELECTOR_DATA, cs = HB_SELECTOR_CODE;
};

TEST(VpCpu, EachFaultStopsTheProgramAndIsRecordedInTheFailMessageRegion) {
    const uint32_t past = HBVP_SHARED_ADDRESS + kSharedSize;
    // The kinds an SDK program can cause: tests/emulation.
    const uint32_t kCpu = HBVP_FAULT_CPU_EXCEPTION, kBell = HBVP_PORT_FILEIO;
    const uint32_t kDoorbell = HBVP_FAULT_BAD_DOORBELL, kDs = HB_SELECTOR_DATA;
    const FaultCase cases[] = {
        {"software interrupt", Code().raw({0xCD, 0x80}), kCpu, kImage + 2, 0x80},
        {"missing selector", Code().raw({0x66, 0xB8, 0x40, 0, 0x8E, 0xD8}), kCpu, kImage + 4, 13},
        {"read past shared memory", Code().loadEax(past), HBVP_FAULT_UNMAPPED_READ, past, 0},
        {"write past shared memory", Code().storeEax(past), HBVP_FAULT_UNMAPPED_WRITE, past, 0},
        {"doorbell at +2", Code().movEax(kFileIo + 2).out(kBell), kDoorbell, kFileIo + 2, kBell},
        {"start without a data segment", Code().halt(), HBVP_FAULT_BAD_CONTEXT, kImage, 0x30, 0x30},
        {"code in a data segment", Code().halt(), HBVP_FAULT_BAD_CONTEXT, kImage, kDs, kDs, kDs},
        {"null code selector", Code().halt(), HBVP_FAULT_BAD_CONTEXT, kImage, 0, kDs, 0},
    };
    Machine m;
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HbVpFaultRecord cleared{};
        m.board.writeShared(kFail, &cleared, sizeof cleared);
        VpStart s = m.startFor(c.code);
        s.registers.ds = c.ds;
        s.registers.cs = c.cs;
        ASSERT_EQ(m.run(s), VpRunState::Faulted);
        const VpFault f = *m.cpu.fault();
        EXPECT_EQ(std::tuple(f.kind, f.address, c.detail == 0 ? 0 : f.detail),
                  std::tuple(c.kind, c.address, c.detail))
            << f.text;
        HbVpFaultRecord record{};
        ASSERT_TRUE(m.board.readShared(kFail, &record, sizeof record));
        EXPECT_EQ(std::tuple(record.magic, record.kind, record.address, record.eip, record.detail,
                             std::string(record.text)),
                  std::tuple(HBVP_FAULT_MAGIC, f.kind, f.address, f.eip, f.detail, f.text));
        EXPECT_FALSE(f.text.empty());
    }
}

TEST(VpCpu, UnusableStartsAreRefusedAndOneProgramRunsAtATime) {
    Machine m;
    const VpStart good = m.startFor(Code().raw({0xEB, 0xFE}));
    VpStart bad[] = {good, good, good, good, good, good, good};
    bad[0].memory = nullptr;
    bad[1].memorySize = 0x1234;
    bad[2].memorySize = HBVP_MEMORY_LIMIT + 0x1000;
    bad[3].segments.clear();
    bad[4].segments.push_back({0x1C, 0, 0, false}); // not a multiple of 8
    bad[5].segments.push_back({0, 0, 0, false});
    bad[6].segments.push_back({0x800, 0, 0, false}); // beyond the GDT's page
    for (const VpStart& s : bad) {
        std::string error;
        EXPECT_FALSE(m.cpu.start(s, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(m.cpu.state(), VpRunState::Idle);
    ASSERT_TRUE(m.cpu.start(good));
    EXPECT_FALSE(m.cpu.start(good));
}

TEST(VpCpu, StopEndsTheProgramWhereverItIsWithoutAFaultAndTheNextRunStartsAfresh) {
    Machine m;
    const Code loop = Code().storeImm(kData, 1).raw({0xEB, 0xFE});
    const Code doorbell =
        Code().storeImm(HBVP_SHARED_ADDRESS + kFileIo, 8).movEax(kFileIo).out(HBVP_PORT_FILEIO);
    for (const Code* code : {&doorbell, &loop}) {
        hb::putLe32(&m.memory[kData], 0);
        ASSERT_TRUE(m.cpu.start(m.startFor(*code)));
        ASSERT_TRUE(eventually([&] { return m.cpu.doorbellCount() == 1 || m.word(kData) == 1; }));
        m.cpu.stop();
        EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);
        EXPECT_FALSE(m.cpu.fault());
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(m.cpu.start(m.startFor(loop)));
        m.cpu.stop(); // right after the start
        EXPECT_NE(m.cpu.state(), VpRunState::Running);
    }
    EXPECT_EQ(m.run(Code().movEax(9).halt()), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 9u);
    auto other = std::make_unique<VpCpu>(m.board);
    ASSERT_TRUE(other->start(m.startFor(loop)));
    other.reset(); // destroying the processor stops its program
}

// A debugger that answers each stop from a script and detaches when the
// script ends; it may ask for a stop at its first poll.
class Scripted final : public VpDebugger {
  public:
    using Answer = std::function<VpResume(VpDebugTarget&, const VpStop&)>;
    explicit Scripted(std::vector<Answer> answers, bool interrupt = false)
        : answers_(std::move(answers)), interrupt_(interrupt) {}
    VpResume stopped(VpDebugTarget& target, const VpStop& stop) override {
        stops.push_back(stop);
        waiting = true;
        return next_ < answers_.size() ? answers_[next_++](target, stop) : VpResume::Detach;
    }
    VpPoll poll() override { return polls++ == 0 && interrupt_ ? VpPoll::Stop : VpPoll::Run; }
    void ended(const VpEnd& how) override { end = how; }

    std::vector<VpStop> stops;
    std::optional<VpEnd> end;
    std::atomic<bool> waiting{false};
    int polls = 0;

  private:
    std::vector<Answer> answers_;
    bool interrupt_;
    size_t next_ = 0;
};

Scripted::Answer answer(VpResume how) {
    return [how](VpDebugTarget&, const VpStop&) { return how; };
}

// Runs `code` under a debugger with these answers to its end.
std::shared_ptr<Scripted> debug(Machine& m, const Code& code, std::vector<Scripted::Answer> answers,
                                bool interrupt = false) {
    auto debugger = std::make_shared<Scripted>(std::move(answers), interrupt);
    m.cpu.setDebugger(debugger);
    m.run(code);
    return debugger;
}

TEST(VpDebug, StepsRunOneInstructionAlsoInABlockTranslatedBeforeAndBreakpointsStopOnce) {
    Machine m;
    // jmp +1; nop; inc eax (four times); halt
    const Code code = Code().raw({0xEB, 0x01, 0x90, 0x40, 0x40, 0x40, 0x40}).halt();
    const auto d = debug(m, code,
                         {[](VpDebugTarget& t, const VpStop&) {
                              EXPECT_TRUE(t.setBreakpoint(kImage + 3, true)); // after the jump
                              return VpResume::Continue;
                          },
                          answer(VpResume::Step), answer(VpResume::Step), answer(VpResume::Step),
                          answer(VpResume::Continue)});
    using R = VpStop::Reason; // at the start, the breakpoint, then after each step
    const std::pair<R, uint32_t> stops[] = {
        {R::Started, 0}, {R::Breakpoint, 3}, {R::Stepped, 4}, {R::Stepped, 5}, {R::Stepped, 6}};
    ASSERT_EQ(d->stops.size(), std::size(stops));
    for (size_t i = 0; i < std::size(stops); ++i)
        EXPECT_EQ(std::pair(d->stops[i].reason, d->stops[i].eip - kImage), stops[i]) << i;
    ASSERT_TRUE(d->end);
    EXPECT_EQ(d->end->reason, VpEnd::Reason::Halted);
    EXPECT_EQ(d->end->exitValue, 4u) << "the breakpoint it resumed from stopped it again";
}

TEST(VpDebug, CodeAndRegistersWrittenWhileStoppedTakeEffectAndWhatCannotBeWrittenIsLeftAlone) {
    Machine m;
    const auto d =
        debug(m, Code().movEax(42).halt(), // translated before the write, run again after it
              {[&m](VpDebugTarget& t, const VpStop&) {
                   uint8_t bytes[4] = {0x18, 0, 0, 0};
                   EXPECT_TRUE(t.writeRegister(kVpCs, bytes)) << "the value it holds";
                   bytes[0] = 0x20;
                   EXPECT_FALSE(t.writeRegister(kVpCs, bytes)) << "segments are the monitor's";
                   EXPECT_EQ(t.readMemory(kMemorySize - 2, bytes, 4), 2u)
                       << "up to the end of memory";
                   EXPECT_FALSE(t.writeMemory(HBVP_INFO_ADDRESS, bytes, 1));
                   m.memory[kMemorySize - 1] = 0x5A;
                   EXPECT_FALSE(t.writeMemory(kMemorySize - 1, bytes, 2)) << "half outside";
                   EXPECT_EQ(m.memory[kMemorySize - 1], 0x5A) << "nothing written";
                   return VpResume::Step;
               },
               [](VpDebugTarget& t, const VpStop& stop) {
                   uint8_t bytes[10] = {};
                   EXPECT_TRUE(t.readRegister(kVpEax, bytes));
                   EXPECT_EQ(hb::getLe32(bytes), 42u);
                   EXPECT_EQ(stop.eip, kImage + 5);
                   const uint8_t seven[4] = {7, 0, 0, 0}, start[4] = {0x00, 0x00, 0x10, 0x00};
                   EXPECT_TRUE(t.writeMemory(kImage + 1, seven, 4)); // mov eax, 7 now
                   EXPECT_TRUE(t.writeRegister(kVpEip, start));
                   const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}; // 1.0
                   EXPECT_TRUE(t.writeRegister(kVpSt0 + 3, one));
                   EXPECT_TRUE(t.readRegister(kVpSt0 + 3, bytes));
                   EXPECT_EQ(std::memcmp(bytes, one, sizeof one), 0) << "an x87 register";
                   const uint8_t control[4] = {0x7F, 2, 0, 0}, wide[4] = {0, 0, 1, 0};
                   EXPECT_TRUE(t.writeRegister(kVpFctrl, control));
                   EXPECT_FALSE(t.writeRegister(kVpFctrl, wide)) << "0x10000: beyond 16 bits";
                   EXPECT_TRUE(t.readRegister(kVpFctrl, bytes));
                   EXPECT_EQ(hb::getLe32(bytes), 0x27Fu) << "the x87 control word";
                   return VpResume::Continue;
               }});
    ASSERT_TRUE(d->end);
    EXPECT_EQ(d->end->exitValue, 7u) << "code translated before the write ran";
}

TEST(VpDebug, AFaultStopsAtItsInstructionAndThenEndsTheProgramOrTheDebuggerKillsIt) {
    const std::pair<VpResume, uint32_t> cases[] = {{VpResume::Continue, HBVP_FAULT_UNMAPPED_WRITE},
                                                   {VpResume::Step, HBVP_FAULT_UNMAPPED_WRITE},
                                                   {VpResume::Kill, HBVP_FAULT_KILLED}};
    for (auto [after, kind] : cases) {
        Machine m;
        const auto d = debug(m, Code().raw({0x40}).storeImm(0x40000000, 1), // inc eax; mov [..], 1
                             {answer(VpResume::Continue), answer(after)});
        ASSERT_EQ(d->stops.size(), 2u);
        EXPECT_EQ(d->stops[1].reason, VpStop::Reason::Faulted);
        EXPECT_EQ(d->stops[1].eip, kImage + 1);
        EXPECT_NE(d->stops[1].fault.find("write to unmapped address 0x40000000"),
                  std::string::npos);
        EXPECT_EQ(m.cpu.state(), VpRunState::Faulted);
        EXPECT_EQ(m.cpu.fault()->kind, kind);
        ASSERT_TRUE(d->end);
        EXPECT_EQ(d->end->reason,
                  after == VpResume::Kill ? VpEnd::Reason::Killed : VpEnd::Reason::Faulted);
    }
}

TEST(VpDebug, AnInterruptStopsARunningLoopAndADetachLetsItFinish) {
    Machine m;
    // mov ecx, 100000; L: dec ecx; jnz L; mov eax, 5; halt
    const Code loop = Code().raw({0xB9}).imm(100000).raw({0x49, 0x75, 0xFD}).movEax(5).halt();
    const auto d = debug(m, loop, {answer(VpResume::Continue), answer(VpResume::Detach)}, true);
    ASSERT_EQ(d->stops.size(), 2u);
    EXPECT_EQ(d->stops[1].reason, VpStop::Reason::Interrupted);
    EXPECT_TRUE(d->stops[1].eip == kImage + 5 || d->stops[1].eip == kImage + 6);
    EXPECT_EQ(d->polls, 1) << "polled after the detach";
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 5u);
}

// Also while gdb's stub still waits for a debugger to connect.
TEST(VpDebug, AStopWhileTheDebuggerHoldsTheProgramEndsItAtOnce) {
    std::atomic<bool> announced{false};
    auto d = std::make_shared<Scripted>(
        std::vector<Scripted::Answer>{[](VpDebugTarget& t, const VpStop&) {
            EXPECT_TRUE(eventually([&] { return t.stopRequested(); }));
            return VpResume::Continue;
        }});
    const std::shared_ptr<VpDebugger> debuggers[] = {
        d, std::make_shared<GdbStub>(0, [&](const std::string&) { announced = true; })};
    for (const auto& debugger : debuggers) {
        Machine m;
        m.cpu.setDebugger(debugger);
        ASSERT_TRUE(m.cpu.start(m.startFor(Code().raw({0xEB, 0xFE}))));
        ASSERT_TRUE(
            eventually([&] { return debugger == d ? d->waiting.load() : announced.load(); }));
        m.cpu.stop();
        EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);
    }
    ASSERT_TRUE(d->end);
    EXPECT_EQ(d->end->reason, VpEnd::Reason::Stopped);
}

} // namespace
