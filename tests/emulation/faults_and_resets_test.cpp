// Programs that fault, resets while a program runs, boards that go away
// under a running program, and several boards running at once, all through
// the public library.
#include "emulated_board_fixture.h"

#include <cstring>
#include <thread>

using namespace hbtest;
using hb::vboard::EmulatedVpState;

namespace {

std::string describe(const hb::vboard::EmulatedVpStatus& s) {
    return std::string(toString(s.state)) + (s.fault ? ": " + s.fault->text : "");
}

// A host event registered with the driver for board event 7, as a host
// application that wants to learn of VP faults registers it.
class FaultEvent {
  public:
    explicit FaultEvent(AcceleratorBoard* board) : board_(board), event_(hb__EventCreate(0)) {
        registered_ = hb_DeviceIoAsyncEventRegister(board_->deviceHandle, HB_EVENT_VP_FAULT, event_,
                                                    0, 0, 0, 0) != 0;
    }
    ~FaultEvent() {
        hb_DeviceIoAsyncEventDeregister(board_->deviceHandle, HB_EVENT_VP_FAULT);
        hb__EventDestroy(event_);
    }
    bool registered() const { return registered_; }
    bool wait(double seconds) { return hb__EventLock(event_, seconds) == 0; }
    void reset() { hb__EventReset(event_); }

  private:
    AcceleratorBoard* board_;
    HbHandle event_;
    bool registered_ = false;
};

// The fault record in the board's fail-message region, read as the host
// reads it.
HbVpFaultRecord readFaultRecord(AcceleratorBoard* board) {
    HbVpFaultRecord record{};
    uint32_t size = 0;
    const uint32_t offset = hb_GetFailMessage(board, &size);
    EXPECT_EQ(size, 1u); // one record
    EXPECT_NE(hb_DeviceIoSharedMemoryRead(board->deviceHandle, offset, &record, sizeof record), 0);
    return record;
}

class FaultTest : public EmulatedBoardTest {};

struct FaultCase {
    const char* how;
    uint32_t kind;
    bool addressIsData; // the record's address is the data address, not eip
    uint32_t address;
};

class FaultKindTest : public EmulatedBoardTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultKindTest, IsReportedInTheFailMessageRegionAndByEvent7) {
    const FaultCase& c = GetParam();
    FaultEvent event(board());
    ASSERT_TRUE(event.registered());
    const int8_t statusBefore = hbFileIoWaitForVpExit(board(), 0.0);
    boot(0, "fault", {c.how});
    // The host learns of the fault from the event; it does not hang.
    ASSERT_TRUE(event.wait(60.0));

    const HbVpFaultRecord record = readFaultRecord(board());
    EXPECT_EQ(record.magic, HBVP_FAULT_MAGIC);
    EXPECT_EQ(record.kind, c.kind) << record.text;
    EXPECT_GE(record.eip, 0x100000u); // in the image (or, for a fetch, where it went)
    if (c.addressIsData) {
        EXPECT_EQ(record.address, c.address) << record.text;
    } else {
        EXPECT_EQ(record.address, record.eip) << record.text;
    }
    EXPECT_NE(std::memchr(record.text, 0, sizeof record.text), nullptr);
    EXPECT_GT(std::strlen(record.text), 0u);

    const auto status = vp().waitUntilEnded(10s);
    ASSERT_EQ(status.state, EmulatedVpState::Faulted) << describe(status);
    ASSERT_TRUE(status.fault);
    EXPECT_EQ(status.fault->kind, c.kind);
    EXPECT_EQ(status.fault->address, record.address);
    EXPECT_EQ(status.fault->eip, record.eip);
    // It ran up to the fault: its first output went out.
    EXPECT_EQ(console(0).first, std::string("fault: ") + c.how + "\n");
    // No exit was reported: a bounded wait gives the stored status only.
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), statusBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultKindTest,
    ::testing::Values(FaultCase{"invalid", HBVP_FAULT_INVALID_INSTRUCTION, false, 0},
                      FaultCase{"read", HBVP_FAULT_UNMAPPED_READ, true, 0x40000000u},
                      FaultCase{"write", HBVP_FAULT_UNMAPPED_WRITE, true, 0x40000000u},
                      FaultCase{"fetch", HBVP_FAULT_UNMAPPED_FETCH, true, 0x40000000u},
                      FaultCase{"protected", HBVP_FAULT_PROTECTED_ACCESS, true, HBVP_INFO_ADDRESS},
                      FaultCase{"divide", HBVP_FAULT_DIVIDE_ERROR, false, 0},
                      FaultCase{"exception", HBVP_FAULT_CPU_EXCEPTION, false, 0},
                      FaultCase{"copy", HBVP_FAULT_BAD_DOORBELL, true, 0x40000000u}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.how); });

TEST_F(FaultTest, AFaultRecordDoesNotOutliveTheNextBoot) {
    FaultEvent event(board());
    boot(0, "fault", {"divide"});
    ASSERT_TRUE(event.wait(60.0));
    ASSERT_EQ(readFaultRecord(board()).magic, HBVP_FAULT_MAGIC);

    // The board can be booted again after a fault, and the record of the
    // old program is gone once the new one starts.
    event.reset();
    clearConsole(0);
    Run r = run(0, "hello");
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFaultRecord(board()).magic, 0u);
    EXPECT_FALSE(event.wait(0.0));
}

TEST_F(FaultTest, FaultsOnTheSmallestLayoutFitTheFailMessageRegion) {
    ASSERT_NO_FATAL_FAILURE(addBoard(kType1Width1Index));
    FaultEvent event(board(kType1Width1Index));
    boot(kType1Width1Index, "fault", {"invalid"});
    ASSERT_TRUE(event.wait(60.0));
    const HbVpFaultRecord record = readFaultRecord(board(kType1Width1Index));
    EXPECT_EQ(record.magic, HBVP_FAULT_MAGIC);
    EXPECT_EQ(record.kind, uint32_t(HBVP_FAULT_INVALID_INSTRUCTION));
    // The file-I/O block right after the region is untouched by the record.
    uint32_t size = 0;
    EXPECT_EQ(hb_GetFileIoBuffer(board(kType1Width1Index), &size),
              hb_GetFailMessage(board(kType1Width1Index), nullptr) + sizeof record);
}

class ResetTest : public EmulatedBoardTest {};

TEST_F(ResetTest, ResetDuringAComputingProgramReturnsToTheMonitor) {
    boot(0, "fault", {"loop"});
    // Wait until it has run far enough to print (bounded).
    for (int i = 0; i < 6000 && console(0).first.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(console(0).first, "fault: loop\n");
    EXPECT_EQ(vp().status().state, EmulatedVpState::Running);

    ASSERT_NE(hb_DeviceIoResetVp(board()->deviceHandle), 0);
    const auto status = vp().status();
    EXPECT_EQ(status.state, EmulatedVpState::InMonitor) << describe(status);
    EXPECT_FALSE(status.fault);

    // A second boot works.
    clearConsole(0);
    Run r = run(0, "hello");
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.rfind("hello from the VP\n", 0), 0u);
}

TEST_F(ResetTest, ResetWhileTheProgramWaitsForTheHostReturnsToTheMonitor) {
    // No service: the program's first request waits in the doorbell forever.
    hbFileIoShutdown(board());
    boot(0, "hello");
    for (int i = 0; i < 100 && vp().status().state != EmulatedVpState::Running; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(vp().status().state, EmulatedVpState::Running);
    EXPECT_EQ(vp().waitUntilEnded(50ms).state, EmulatedVpState::Running);

    ASSERT_NE(hb_DeviceIoResetVp(board()->deviceHandle), 0);
    EXPECT_EQ(vp().status().state, EmulatedVpState::InMonitor);

    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), kWriters[0].first, kWriters[0].second), 0u);
    Run r = run(0, "hello", {"again"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
    EXPECT_NE(r.out.find("argv[1] = again\n"), std::string::npos) << r.out;
}

TEST_F(ResetTest, BootingOverARunningProgramReplacesIt) {
    boot(0, "fault", {"loop"});
    // hbBootVp resets the VP first: the loop stops, the new program runs.
    clearConsole(0);
    Run r = run(0, "hello");
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.status.programsStarted, 2u);
}

TEST_F(ResetTest, RepeatedResetsAndBootsLeaveNoThreadBehind) {
    for (int i = 0; i < 5; ++i) {
        boot(0, i % 2 == 0 ? "fault" : "hello", {"loop"});
        ASSERT_NE(hb_DeviceIoResetVp(board()->deviceHandle), 0);
        EXPECT_EQ(vp().status().state, EmulatedVpState::InMonitor);
    }
}

// The board goes away under a running program: no hang, no crash, in each
// order of release.
class ShutdownTest : public EmulatedBoardTest {};

TEST_F(ShutdownTest, DeviceStoppedUnderAComputingProgram) {
    boot(0, "fault", {"loop"});
    auto keep = vpShared(0);
    device().stop();
    EXPECT_EQ(keep->status().state, EmulatedVpState::Detached);
    EXPECT_EQ(keep->waitUntilEnded(1s).state, EmulatedVpState::Detached);
}

TEST_F(ShutdownTest, DeviceDestroyedUnderAWaitingProgramWhileTheHostStillHoldsItsHandle) {
    hbFileIoShutdown(board());
    boot(0, "hello");
    auto keep = vpShared(0);
    destroyDevice(); // the EmulatedVp outlives the board
    EXPECT_EQ(keep->status().state, EmulatedVpState::Detached);
    // The host's handle now reaches no device; its requests fail cleanly.
    EXPECT_EQ(hb_DeviceIoResetVp(board()->deviceHandle), 0);
}

TEST_F(ShutdownTest, ReplacedVpSideStopsItsProgram) {
    boot(0, "fault", {"loop"});
    auto keep = vpShared(0);
    virtualBoard().setVpSide(nullptr);
    EXPECT_EQ(keep->status().state, EmulatedVpState::Detached);
    // The board without a VP side still answers the host.
    EXPECT_NE(hb_DeviceIoResetVp(board()->deviceHandle), 0);
}

TEST_F(ShutdownTest, ServiceShutdownWhileTheProgramRunsDoesNotHang) {
    const std::string data = patternData(4 * 1024 * 1024, 9);
    writeFile(files_ / "source", data);
    boot(0, "copy", {files_ / "source", files_ / "target"});
    hbFileIoShutdown(board());
    // The program now waits in a doorbell; the board's shutdown stops it.
    EXPECT_NE(vp().status().state, EmulatedVpState::Faulted);
}

// Four boards running programs at once, each with its own service, writers
// and files.
class ConcurrentBoardsTest : public EmulatedBoardTest {};

TEST_F(ConcurrentBoardsTest, FourBoardsRunProgramsAtOnce) {
    for (int i = 1; i < 4; ++i) {
        ASSERT_NO_FATAL_FAILURE(addBoard(i));
    }
    std::string data[4];
    for (int i = 0; i < 4; ++i) {
        data[i] = patternData(size_t(512 * 1024 + i * 1000), uint32_t(100 + i));
        writeFile(files_ / ("source" + std::to_string(i)), data[i]);
    }
    // Boot all four first so that they run together, then wait for each.
    for (int i = 0; i < 4; ++i) {
        boot(i, "copy",
             {files_ / ("source" + std::to_string(i)), files_ / ("target" + std::to_string(i))});
    }
    for (int i = 0; i < 4; ++i) {
        const auto status = vp(i).waitUntilEnded(120s);
        ASSERT_EQ(status.state, EmulatedVpState::Halted) << i << ": " << describe(status);
        EXPECT_EQ(hbFileIoWaitForVpExit(board(i), 10.0), 0) << console(i).second;
        EXPECT_EQ(console(i).first, "copied " + std::to_string(data[i].size()) + " bytes\n");
        EXPECT_TRUE(readFile(files_ / ("target" + std::to_string(i))) == data[i]) << i;
    }

    // And from four host threads at once: hello with a per-board argument.
    // Monitor transfers are one at a time in a process, so the boots take
    // turns; the programs and their services overlap.
    std::mutex bootTurn;
    std::vector<std::thread> hosts;
    Run runs[4];
    for (int i = 0; i < 4; ++i) {
        clearConsole(i);
        hosts.emplace_back([&, i] {
            {
                std::lock_guard turn(bootTurn);
                boot(i, "hello", {"board" + std::to_string(i)});
            }
            runs[i].status = vp(i).waitUntilEnded(60s);
            runs[i].exitStatus = hbFileIoWaitForVpExit(board(i), 10.0);
            runs[i].out = console(i).first;
        });
    }
    for (auto& t : hosts) {
        t.join();
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(runs[i].status.state, EmulatedVpState::Halted) << describe(runs[i].status);
        EXPECT_NE(runs[i].out.find("argv[1] = board" + std::to_string(i) + "\n"), std::string::npos)
            << runs[i].out;
    }
}

} // namespace
