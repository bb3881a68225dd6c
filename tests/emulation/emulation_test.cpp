// The SDK's programs booted with hbBootVp onto boards whose VP runs them, used
// through the public library as an application uses a real board: their
// console, files and exit status on each layout, their faults as the host
// learns of them, resets while they run, boards that go away under them, and
// several boards at once.
#include "board/virtual_board_fixture.h"
#include "fileio/scratch_directory.h"
#include "vboard/emulated_vp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <utility>

using namespace hb::vboard;
using namespace std::chrono_literals;

namespace {

// What the programs of each board index wrote to descriptors 1 and 2: the
// library passes its writers no context, so each index has its own pair.
struct Console {
    std::mutex mutex;
    std::string out, err;
} consoles[HB_MAX_BOARDS];

template <size_t Index, bool Error> int32_t capture(const void* data, int32_t length) {
    std::lock_guard lock(consoles[Index].mutex);
    (Error ? consoles[Index].err : consoles[Index].out)
        .append(static_cast<const char*>(data), size_t(length));
    return length;
}

template <size_t... I>
uint32_t captureConsole(AcceleratorBoard* board, int index, std::index_sequence<I...>) {
    const StdOutFunction out[] = {&capture<I, false>...}, err[] = {&capture<I, true>...};
    std::lock_guard lock(consoles[index].mutex);
    consoles[index].out.clear();
    consoles[index].err.clear();
    return hbFileIoSetStdOutFunctions(board, out[index], err[index]);
}

// Bytes that no two nearby offsets share, so that a shifted or repeated block shows.
std::string pattern(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    return data;
}

std::string describe(const EmulatedVpStatus& s) {
    return std::string(toString(s.state)) + (s.fault ? ": " + s.fault->text : "");
}

// Boards 0 to 3 have the default layout (bus type 2, width 4); 5 and 6 are
// type-27 boards of width 1 and 2. (The library keeps a board index's layout
// for the life of the process.)
class Emulation : public hb::test::VirtualBoardTest {
  protected:
    static void SetUpTestSuite() { ::setenv("HBVP_GREETING", "hello from the host", 1); }
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(addBoard(0)); }
    void TearDown() override {
        for (AcceleratorBoard* board : boards_)
            hbFileIoShutdown(board);
        VirtualBoardTest::TearDown();
    }

    // Virtual board `index` with an emulated VP, opened through the library
    // with its file-I/O service and console writers.
    void addBoard(int index) {
        const bool narrow = index == 5 || index == 6;
        vps_[index] = attachEmulatedVp(device_->addBoard(
            index, narrow ? BoardConfig{.boardType = 27, .busWidth = uint32_t(index - 4)}
                          : BoardConfig{}));
        handles_[index] = open(index);
        ASSERT_NO_FATAL_FAILURE(startService(index));
    }
    void startService(int index) {
        ASSERT_EQ(captureConsole(handles_[index], index, std::make_index_sequence<HB_MAX_BOARDS>{}),
                  0u);
        ASSERT_EQ(hbFileIoStartup(handles_[index]), 0u);
    }

    // Boots `argv[0]` of the SDK with the command line `argv`.
    void boot(int index, const std::vector<std::string>& argv) {
        std::vector<const char*> words;
        for (const auto& w : argv)
            words.push_back(w.c_str());
        words.push_back(nullptr);
        ASSERT_EQ(hbFileIoSetCommandLine(handles_[index], words.data()), 0u);
        const std::string image = std::string(HB_VP_IMAGE_DIR) + "/" + argv[0] + ".exe";
        ASSERT_EQ(hbBootVp(handles_[index], image.c_str(), 10.0), 1) << hbGetLastError();
    }

    struct Run {
        EmulatedVpStatus status; // of the VP at the end (Running: not ended within a minute)
        int exitStatus = -1;     // what hbFileIoWaitForVpExit gave
        std::string out, err;
    };
    Run run(int index, const std::vector<std::string>& argv) {
        Run r;
        boot(index, argv);
        r.status = vps_[index]->waitUntilEnded(60s);
        if (r.status.state == EmulatedVpState::Halted) {
            r.exitStatus = hbFileIoWaitForVpExit(handles_[index], 10.0); // answered before the halt
        }
        std::tie(r.out, r.err) = console(index);
        return r;
    }
    std::pair<std::string, std::string> console(int index) {
        std::lock_guard lock(consoles[index].mutex);
        return {std::exchange(consoles[index].out, {}), std::exchange(consoles[index].err, {})};
    }
    hbtest::ScratchDirectory files_;
    std::shared_ptr<EmulatedVp> vps_[HB_MAX_BOARDS];
    AcceleratorBoard* handles_[HB_MAX_BOARDS] = {};
};

TEST_F(Emulation, ProgramsRunOneAfterAnotherOnEachLayoutWithTheirArgumentsFilesAndConsole) {
    for (int index : {5, 6})
        ASSERT_NO_FATAL_FAILURE(addBoard(index));
    const std::string big = pattern(200 * 1024 + 17, 1), crlf = "second\r\nwith a CR LF\n";
    const std::string source = pattern(3 * 1024 * 1024 + 5, 2);
    files_.write("big.bin", big);
    files_.write("lines.txt", crlf);
    files_.write("source", source);
    files_.write("empty", "");
    files_.write("old", "old content that must go");
    files_.write("one.dat", std::string(1234, 'x'));
    files_.write("two.dat", "");
    ::chmod((files_ / "two.dat").c_str(), 0444);
    std::filesystem::create_directory(files_ / "sub.dat");
    const std::string hello = "hello from the VP\nargv[0] = hello\nargv[1] = world\nargv[2] = "
                              "two words\nHBVP_GREETING = hello from the host\n",
                      selftest = "selftest: stdout 42 ok beef\nselftest: 0 failures\n";
    const struct {
        int board;
        std::vector<std::string> argv;
        int exitStatus;
        std::string out, err; // out: all of it where given; err: a part of it
    } cases[] = {
        {0, {"hello", "world", "\"two words\""}, 0, hello, ""},
        {0, {"cat", files_ / "big.bin", files_ / "lines.txt"}, 0, big + crlf, ""},
        {0, {"copy", files_ / "source", files_ / "target"}, 0, "copied 3145733 bytes\n", ""},
        {0, {"copy", files_ / "empty", files_ / "old"}, 0, "copied 0 bytes\n", ""},
        {0, {"copy", files_ / "missing", files_ / "none"}, 1, "", "cannot open"},
        {0, {"copy"}, 2, "", "usage"},
        {0, {"ls", files_ / "*.dat"}, 0, "", ""}, // the listing: below
        {0, {"ls", files_ / "*.none"}, 1, "", "no match"},
        {0, {"selftest", files_.path()}, 0, selftest, "selftest: stderr works\n"},
        {5, {"selftest", files_.path()}, 0, "", ""},
        {6, {"selftest", files_.path()}, 0, "", ""}, // its 40000 bytes go in pieces there
    };
    uint32_t started[HB_MAX_BOARDS] = {};
    std::vector<std::string> outs;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.board) + ": " + c.argv[0]);
        const Run r = run(c.board, c.argv);
        ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
        EXPECT_EQ(r.status.programsStarted, ++started[c.board]);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
        EXPECT_EQ(r.status.exitValue, uint32_t(c.exitStatus));
        EXPECT_TRUE(c.out.empty() || r.out == c.out) << r.out.substr(0, 500);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        outs.push_back(r.out);
    }
    EXPECT_TRUE(files_.read("target") == source);
    EXPECT_EQ(files_.read("old"), "");
    EXPECT_FALSE(std::filesystem::exists(files_ / "none"));
    // "attributes size yyyy-mm-dd hh:mm:ss name" per entry in any order, then
    // the count: in the order of their bytes, the count comes third.
    std::vector<std::string> lines;
    std::istringstream listed(outs[6]);
    for (std::string line; std::getline(listed, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    const std::string date = R"( 20\d\d-(0[1-9]|1[0-2])-[0-3]\d [0-2]\d:[0-5]\d:[0-5]\d )";
    EXPECT_TRUE(
        outs[6].ends_with("3 entries\n") &&
        std::regex_match(std::accumulate(lines.begin(), lines.end(), std::string()),
                         std::regex("----a +1234" + date + "one\\.dat\n-r--a +0" + date +
                                    "two\\.dat\n3 entries\nd---- +0" + date + "sub\\.dat\n")))
        << outs[6];
}

// The fault record as the host reads it from the fail-message region.
HbVpFaultRecord faultRecord(AcceleratorBoard* board) {
    HbVpFaultRecord record{};
    uint32_t size = 0;
    const uint32_t offset = hb_GetFailMessage(board, &size);
    EXPECT_EQ(size, 1u); // one record
    EXPECT_NE(hb_DeviceIoSharedMemoryRead(board->deviceHandle, offset, &record, sizeof record), 0);
    return record;
}

TEST_F(Emulation, AFaultStopsTheProgramAndReachesTheHostByEvent7AndTheFailMessageRegion) {
    // The program's way to fault, the kind, the address (0: the faulting instruction's).
    const std::tuple<const char*, uint32_t, uint32_t> cases[] = {
        {"invalid", HBVP_FAULT_INVALID_INSTRUCTION, 0},
        {"read", HBVP_FAULT_UNMAPPED_READ, 0x40000000},
        {"write", HBVP_FAULT_UNMAPPED_WRITE, 0x40000000},
        {"fetch", HBVP_FAULT_UNMAPPED_FETCH, 0x40000000},
        {"protected", HBVP_FAULT_PROTECTED_ACCESS, HBVP_INFO_ADDRESS},
        {"divide", HBVP_FAULT_DIVIDE_ERROR, 0},
        {"exception", HBVP_FAULT_CPU_EXCEPTION, 0},
        {"copy", HBVP_FAULT_BAD_DOORBELL, 0x40000000},
    };
    AcceleratorBoard* board = handles_[0];
    HbHandle event = hb__EventCreate(0);
    ASSERT_TRUE(hb_DeviceIoAsyncEventRegister(board->deviceHandle, 7, event, 0, 0, 0, 0));
    for (const auto& [how, kind, address] : cases) {
        SCOPED_TRACE(how);
        const int8_t statusBefore = hbFileIoWaitForVpExit(board, 0.0);
        hb__EventReset(event);
        boot(0, {"fault", how});
        EXPECT_EQ(hb__EventLock(event, 60.0), 0u);
        const HbVpFaultRecord record = faultRecord(board);
        EXPECT_EQ(std::tuple(record.magic, record.kind, record.address),
                  std::tuple(HBVP_FAULT_MAGIC, kind, address != 0 ? address : record.eip))
            << record.text;
        EXPECT_GE(record.eip, 0x100000u); // in the image, or where a fetch went
        const size_t length = strnlen(record.text, sizeof record.text);
        EXPECT_TRUE(length > 0 && length < sizeof record.text);
        const EmulatedVpStatus status = vps_[0]->waitUntilEnded(10s);
        ASSERT_EQ(status.state, EmulatedVpState::Faulted) << describe(status);
        EXPECT_EQ(status.fault->kind, record.kind);
        EXPECT_EQ(console(0).first, std::string("fault: ") + how + "\n")
            << "it ran up to the fault";
        EXPECT_EQ(hbFileIoWaitForVpExit(board, 0.0), statusBefore) << "no exit was reported";
    }
    hb_DeviceIoAsyncEventDeregister(board->deviceHandle, HB_EVENT_VP_FAULT);
    hb__EventDestroy(event);
    // No record outlives the next boot.
    EXPECT_EQ(run(0, {"hello"}).exitStatus, 0);
    EXPECT_EQ(faultRecord(board).magic, 0u);
}

TEST_F(Emulation, AResetStopsTheProgramWhereverItIsAndAProgramWaitingForALateServiceGoesOn) {
    boot(0, {"fault", "loop"});
    std::string out; // once it has run so far, a minute at most
    for (int i = 0; i < 6000 && (out = console(0).first).empty(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(out, "fault: loop\n");
    ASSERT_NE(hb_DeviceIoResetVp(handles_[0]->deviceHandle), 0);
    EXPECT_EQ(vps_[0]->status().state, EmulatedVpState::InMonitor) << describe(vps_[0]->status());

    boot(0, {"fault", "loop"}); // and a boot over the running program replaces it
    Run r = run(0, {"hello", "again"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << describe(r.status);
    EXPECT_NE(r.out.find("argv[1] = again\n"), std::string::npos) << r.out;

    // Without a service the program waits in its first request.
    hbFileIoShutdown(handles_[0]);
    for (bool reset : {true, false}) {
        boot(0, {"hello"});
        EXPECT_EQ(vps_[0]->waitUntilEnded(50ms).state, EmulatedVpState::Running);
        if (reset) {
            ASSERT_NE(hb_DeviceIoResetVp(handles_[0]->deviceHandle), 0);
            EXPECT_EQ(vps_[0]->status().state, EmulatedVpState::InMonitor);
        }
    }
    ASSERT_NO_FATAL_FAILURE(startService(0)); // the waiting program rings again
    EXPECT_EQ(vps_[0]->waitUntilEnded(60s).state, EmulatedVpState::Halted);
    EXPECT_EQ(hbFileIoWaitForVpExit(handles_[0], 10.0), 0);
    EXPECT_EQ(console(0).first.rfind("hello from the VP\n", 0), 0u);
}

TEST_F(Emulation, TheServiceOrTheBoardGoingAwayUnderARunningProgramNeitherHangsNorFaultsIt) {
    // The service stops during a copy: the program waits in its next request.
    files_.write("source", pattern(4 * 1024 * 1024, 9));
    boot(0, {"copy", files_ / "source", files_ / "target"});
    hbFileIoShutdown(handles_[0]);
    EXPECT_NE(vps_[0]->status().state, EmulatedVpState::Faulted);
    // Another VP side replaces a computing one, which stops; the board still answers.
    for (int i = 1; i < 3; ++i) {
        ASSERT_NO_FATAL_FAILURE(addBoard(i));
        boot(i, {"fault", "loop"});
    }
    device_->board(1)->setVpSide(nullptr);
    EXPECT_EQ(vps_[1]->status().state, EmulatedVpState::Detached);
    EXPECT_NE(hb_DeviceIoResetVp(handles_[1]->deviceHandle), 0);
    // The device goes away under a waiting and a computing program while the
    // host still holds its handles, whose requests then fail cleanly.
    device_.reset();
    EXPECT_EQ(vps_[0]->status().state, EmulatedVpState::Detached);
    EXPECT_EQ(vps_[2]->waitUntilEnded(1s).state, EmulatedVpState::Detached);
    EXPECT_EQ(hb_DeviceIoResetVp(handles_[0]->deviceHandle), 0);
}

TEST_F(Emulation, FourHostThreadsRunProgramsOnFourBoardsAtOnce) {
    for (int i = 1; i < 4; ++i)
        ASSERT_NO_FATAL_FAILURE(addBoard(i));
    std::mutex bootTurn; // monitor transfers of a process go one at a time
    std::vector<std::thread> hosts;
    std::string data[4];
    for (int i = 0; i < 4; ++i) {
        data[i] = pattern(size_t(512 * 1024 + i * 1000), uint32_t(100 + i));
        files_.write("source" + std::to_string(i), data[i]);
        hosts.emplace_back([&, i] {
            {
                std::lock_guard turn(bootTurn);
                boot(i, {"copy", files_ / ("source" + std::to_string(i)),
                         files_ / ("target" + std::to_string(i))});
            }
            EXPECT_EQ(vps_[i]->waitUntilEnded(120s).state, EmulatedVpState::Halted) << i;
            EXPECT_EQ(hbFileIoWaitForVpExit(handles_[i], 10.0), 0) << i;
        });
    }
    for (int i = 0; i < 4; ++i) {
        hosts[size_t(i)].join();
        EXPECT_EQ(console(i).first, "copied " + std::to_string(data[i].size()) + " bytes\n");
        EXPECT_TRUE(files_.read("target" + std::to_string(i)) == data[i]) << i;
    }
}

} // namespace
