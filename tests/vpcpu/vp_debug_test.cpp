// The processor under a debugger: a scripted debugger answers each stop, so
// that steps, breakpoints, faults, interrupts and resets can be seen exactly.
#include "fake_board.h"
#include "vboard/vp_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

using namespace hb::vboard;
using hb::vboard::testing::FakeBoard;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMemorySize = 0x200000;
constexpr uint32_t kImage = 0x100000;

// What the debugger does at each stop, in order; detaches when the script ends.
class Scripted final : public VpDebugger {
  public:
    using Answer = std::function<VpResume(VpDebugTarget&, const VpStop&)>;
    explicit Scripted(std::vector<Answer> answers) : answers_(std::move(answers)) {}

    VpResume stopped(VpDebugTarget& target, const VpStop& stop) override {
        stops.push_back(stop);
        waiting = true;
        return next_ < answers_.size() ? answers_[next_++](target, stop) : VpResume::Detach;
    }
    VpPoll poll() override {
        return polls++ == 0 && interruptAtFirstPoll ? VpPoll::Stop : VpPoll::Run;
    }
    void ended(const VpEnd& how) override { end = how; }

    std::vector<VpStop> stops;
    std::optional<VpEnd> end;
    std::atomic<bool> waiting{false};
    bool interruptAtFirstPoll = false;
    int polls = 0;

  private:
    std::vector<Answer> answers_;
    size_t next_ = 0;
};

Scripted::Answer answer(VpResume how) {
    return [how](VpDebugTarget&, const VpStop&) { return how; };
}

uint32_t registerValue(VpDebugTarget& target, unsigned n) {
    uint8_t bytes[10] = {};
    EXPECT_TRUE(target.readRegister(n, bytes));
    return hb::getLe32(bytes);
}

struct Machine {
    FakeBoard board;
    std::vector<uint8_t> memory = std::vector<uint8_t>(kMemorySize, 0);
    VpCpu cpu{board};

    // Runs `code` at kImage under `debugger` to its end.
    void run(std::initializer_list<uint8_t> code, std::shared_ptr<Scripted> debugger,
             bool wait = true) {
        std::copy(code.begin(), code.end(), memory.begin() + kImage);
        VpStart s;
        s.memory = memory.data();
        s.memorySize = kMemorySize;
        s.segments = {{HB_SELECTOR_CODE, 0, 0xFFFFFFFF, true},
                      {HB_SELECTOR_DATA, 0, 0xFFFFFFFF, false},
                      {HB_SELECTOR_STARTUP, 0x1000, 0xFFF, false}};
        s.registers.eip = kImage;
        s.registers.esp = 0x180000;
        cpu.setDebugger(std::move(debugger));
        ASSERT_TRUE(cpu.start(s));
        if (wait) {
            ASSERT_TRUE(cpu.waitUntilEnded(60s));
        }
    }
};

std::vector<uint32_t> eips(const Scripted& debugger) {
    std::vector<uint32_t> out;
    for (const VpStop& stop : debugger.stops)
        out.push_back(stop.eip);
    return out;
}

} // namespace

TEST(VpDebug, StepsRunOneInstructionAlsoInABlockTranslatedBeforeTheStep) {
    Machine m;
    auto debugger = std::make_shared<Scripted>(std::vector<Scripted::Answer>{
        [](VpDebugTarget& t, const VpStop&) {
            EXPECT_TRUE(t.setBreakpoint(kImage + 3, true)); // the block after the jump
            return VpResume::Continue;
        },
        answer(VpResume::Step), answer(VpResume::Step), answer(VpResume::Step),
        answer(VpResume::Continue)});
    // jmp +1; nop; inc eax (four times); out 0xE4; hlt
    m.run({0xEB, 0x01, 0x90, 0x40, 0x40, 0x40, 0x40, 0xE7, HBVP_PORT_HALT, 0xF4}, debugger);
    EXPECT_EQ(eips(*debugger),
              (std::vector<uint32_t>{kImage, kImage + 3, kImage + 4, kImage + 5, kImage + 6}));
    EXPECT_EQ(debugger->stops[1].reason, VpStop::Reason::Breakpoint);
    EXPECT_EQ(debugger->stops[2].reason, VpStop::Reason::Stepped);
    ASSERT_TRUE(debugger->end);
    EXPECT_EQ(debugger->end->reason, VpEnd::Reason::Halted);
    EXPECT_EQ(debugger->end->exitValue, 4u) << "the breakpoint it resumed from stopped it again";
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
}

TEST(VpDebug, CodeWrittenWhileStoppedRunsAndWhatCannotBeWrittenIsLeftAlone) {
    Machine m;
    auto debugger = std::make_shared<Scripted>(std::vector<Scripted::Answer>{
        [&m](VpDebugTarget& t, const VpStop&) {
            uint8_t bytes[4] = {0x18, 0, 0, 0};
            EXPECT_TRUE(t.writeRegister(kVpCs, bytes)) << "the value it holds";
            bytes[0] = 0x20;
            EXPECT_FALSE(t.writeRegister(kVpCs, bytes)) << "segments are the monitor's";
            EXPECT_EQ(t.readMemory(HBVP_INFO_ADDRESS, bytes, 4), 4u);
            EXPECT_EQ(std::memcmp(bytes, "HBVP", 4), 0);
            EXPECT_EQ(t.readMemory(kMemorySize - 2, bytes, 4), 2u) << "up to the end of memory";
            EXPECT_FALSE(t.writeMemory(HBVP_INFO_ADDRESS, bytes, 1));
            m.memory[kMemorySize - 1] = 0x5A;
            EXPECT_FALSE(t.writeMemory(kMemorySize - 1, bytes, 2)) << "half outside";
            EXPECT_EQ(m.memory[kMemorySize - 1], 0x5A) << "nothing written";
            return VpResume::Step;
        },
        [](VpDebugTarget& t, const VpStop& stop) {
            EXPECT_EQ(registerValue(t, kVpEax), 42u);
            const uint8_t seven[4] = {7, 0, 0, 0};
            const uint8_t start[4] = {0x00, 0x00, 0x10, 0x00};
            EXPECT_TRUE(t.writeMemory(kImage + 1, seven, 4)); // mov eax, 7 now
            EXPECT_TRUE(t.writeRegister(kVpEip, start));
            EXPECT_EQ(stop.eip, kImage + 5);
            return VpResume::Continue;
        }});
    // mov eax, 42; out 0xE4; hlt: translated before the write, run again after it
    m.run({0xB8, 42, 0, 0, 0, 0xE7, HBVP_PORT_HALT, 0xF4}, debugger);
    ASSERT_TRUE(debugger->end);
    EXPECT_EQ(debugger->end->exitValue, 7u) << "code translated before the write ran";
}

TEST(VpDebug, AFaultStopsAtItsInstructionAndThenEndsTheProgram) {
    struct Case {
        VpResume after;
        uint32_t kind;
        VpEnd::Reason end;
    };
    for (const Case c :
         {Case{VpResume::Continue, HBVP_FAULT_UNMAPPED_WRITE, VpEnd::Reason::Faulted},
          Case{VpResume::Step, HBVP_FAULT_UNMAPPED_WRITE, VpEnd::Reason::Faulted},
          Case{VpResume::Kill, HBVP_FAULT_KILLED, VpEnd::Reason::Killed}}) {
        Machine m;
        auto debugger = std::make_shared<Scripted>(
            std::vector<Scripted::Answer>{answer(VpResume::Continue), answer(c.after)});
        // inc eax; mov dword [0x40000000], 1
        m.run({0x40, 0xC7, 0x05, 0, 0, 0, 0x40, 1, 0, 0, 0}, debugger);
        ASSERT_EQ(debugger->stops.size(), 2u);
        EXPECT_EQ(debugger->stops[1].reason, VpStop::Reason::Faulted);
        EXPECT_EQ(debugger->stops[1].eip, kImage + 1);
        EXPECT_NE(debugger->stops[1].fault.find("write to unmapped address 0x40000000"),
                  std::string::npos);
        EXPECT_EQ(m.cpu.state(), VpRunState::Faulted);
        ASSERT_TRUE(m.cpu.fault());
        EXPECT_EQ(m.cpu.fault()->kind, c.kind);
        EXPECT_EQ(m.board.eventCount(HB_EVENT_VP_FAULT), 1u) << "the host learns of it";
        ASSERT_TRUE(debugger->end);
        EXPECT_EQ(debugger->end->reason, c.end);
    }
}

TEST(VpDebug, AnInterruptStopsARunningLoopAndADetachLetsItFinish) {
    Machine m;
    auto debugger = std::make_shared<Scripted>(
        std::vector<Scripted::Answer>{answer(VpResume::Continue), answer(VpResume::Detach)});
    debugger->interruptAtFirstPoll = true;
    // mov ecx, 100000; L: dec ecx; jnz L; mov eax, 5; out 0xE4; hlt
    m.run({0xB9, 0xA0, 0x86, 0x01, 0x00, 0x49, 0x75, 0xFD, 0xB8, 5, 0, 0, 0, 0xE7, HBVP_PORT_HALT,
           0xF4},
          debugger);
    ASSERT_EQ(debugger->stops.size(), 2u);
    EXPECT_EQ(debugger->stops[1].reason, VpStop::Reason::Interrupted);
    EXPECT_TRUE(debugger->stops[1].eip == kImage + 5 || debugger->stops[1].eip == kImage + 6);
    EXPECT_EQ(debugger->polls, 1) << "polled after the detach";
    EXPECT_EQ(m.cpu.state(), VpRunState::Halted);
    EXPECT_EQ(m.cpu.haltValue(), 5u);
}

TEST(VpDebug, AResetWhileTheDebuggerHoldsTheProgramEndsItAtOnce) {
    Machine m;
    auto debugger = std::make_shared<Scripted>(
        std::vector<Scripted::Answer>{[](VpDebugTarget& t, const VpStop&) {
            while (!t.stopRequested())
                std::this_thread::sleep_for(1ms);
            return VpResume::Continue;
        }});
    m.run({0xEB, 0xFE}, debugger, false);
    while (!debugger->waiting)
        std::this_thread::sleep_for(1ms);
    m.cpu.stop();
    EXPECT_EQ(m.cpu.state(), VpRunState::Stopped);
    ASSERT_TRUE(debugger->end);
    EXPECT_EQ(debugger->end->reason, VpEnd::Reason::Stopped);
}
