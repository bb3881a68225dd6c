// Every request code end to end: the agent posts into the virtual board's
// file-I/O block, event 6 wakes the service thread, the dispatcher answers
// over the driver socket. Each host operation's own codes: host_operations_test.
#include "fileio/host_operations.h"
#include "little_endian.h"
#include "service_fixture.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using hbtest::RequestAgent;
using Bytes = std::vector<uint8_t>;
using Result = hbtest::ScriptedVp::Result;

class Requests : public hbtest::ServiceFixture {
  protected:
    // The board's trace once it ends with the marker at the block (a write is
    // traced just after it took effect: the VP may see the marker first).
    std::vector<hb::vboard::TraceEntry> traceToMarker(int index = 0) {
        for (int wait = 0; wait < 10000; ++wait) {
            auto trace = virtualBoard(index).trace();
            if (!trace.empty() && trace.back().name == "SharedMemoryWrite" &&
                trace.back().offset == agent(index).blockOffset() &&
                trace.back().value == RequestAgent::kMarker)
                return trace;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ADD_FAILURE() << "no marker in the trace";
        return {};
    }
};

TEST_F(Requests, OpenReadSeekCloseAnswerTheProtocolExampleInOneCopyAndTwoWrites) {
    RequestAgent& vp = agent();
    const auto opened = vp.open(files_.write("data", std::string(140, 'd')), HB_O_RDONLY);
    ASSERT_GE(opened.value, 0);
    // The seek's marker may be traced after the VP saw it: the trace starts
    // once it is there.
    virtualBoard().setTracing(true);
    EXPECT_EQ(vp.seek(opened.value, 100, 0).value, 100);
    traceToMarker();
    virtualBoard().clearTrace();
    // Read 100 with 40 left: 40 at 4, 0 at 8, the bytes at 12..51, marker last.
    const auto read = vp.read(opened.value, 100);
    EXPECT_EQ(std::pair(read.value, read.error), std::pair(40, 0u));
    EXPECT_EQ(read.data, Bytes(40, 'd'));
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> steps; // offset in the block
    for (const auto& e : traceToMarker())
        steps.emplace_back(e.name, e.offset - vp.blockOffset(), e.length);
    EXPECT_EQ(steps, (decltype(steps){{"SharedMemoryRead", 0, 528},
                                      {"SharedMemoryWrite", 4, 12},
                                      {"SharedMemoryWrite", 12, 40},
                                      {"SharedMemoryWrite", 0, 4}}));
    virtualBoard().setTracing(false);
    for (int32_t count : {10, 0}) {
        const auto atEnd = vp.read(opened.value, count);
        EXPECT_EQ(std::pair(atEnd.value, atEnd.error), std::pair(0, 0u)) << count;
    }
    EXPECT_EQ(vp.close(opened.value), 0);

    // Open2 takes its flags from the other word; no line-end translation.
    const auto created = vp.open2(files_ / "created", HB_O_CREAT | HB_O_RDWR);
    ASSERT_GE(created.value, 0);
    EXPECT_EQ(std::pair(vp.write(created.value, "a\r\n").value, 0u), std::pair(3, 0u));
    EXPECT_EQ(vp.close(created.value), 0);
    EXPECT_EQ(files_.read("created"), "a\r\n");
}

// A drive prefix without a root names nothing, not the working directory
// (the VP platform's spelling beneath a root: sandbox_test).
TEST_F(Requests, ADriveWithoutARootNamesNothing) {
    EXPECT_EQ(agent().attributes("C:").error, HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(agent().open("C:\\", HB_O_RDONLY).error, HB_ERROR_PATH_NOT_FOUND);
}

TEST_F(Requests, WriteToAPipeWithoutReaderNeverEndsTheHostProcess) {
    // A host application of its own, which keeps SIGPIPE's default action.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL);
            alarm(20); // a hang fails too
            int pipeEnds[2];
            if (pipe(pipeEnds) != 0)
                std::_Exit(2);
            ::close(pipeEnds[0]);
            const auto answer = agent().write(pipeEnds[1], "lost");
            if (answer.value != -1 || answer.error != 109)
                std::_Exit(3);
            // Standard output a pipe whose reader is gone: the default writer's
            // stream meets it on the service thread once its buffer is full.
            if (pipe(pipeEnds) != 0 || dup2(pipeEnds[1], 1) != 1)
                std::_Exit(2);
            ::close(pipeEnds[0]);
            for (int i = 0; i < 40; ++i)
                agent().write(1, std::string(400, 'o'));
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// (A closed search answers 6: ABlockThatCannotBeRead..., and the sweeps count
// the descriptor a FindClose must release.)
TEST_F(Requests, FindRecordLiesAtItsOffsetsAndAnEndedSearchAnswersEighteen) {
    RequestAgent& vp = agent();
    const std::string file = files_.write("Entry.TXT", std::string(77, 'e'));
    const timespec stamp[2] = {{1213537530, 0}, {1213537530, 0}}; // 2008-06-15 13:45:30 UTC
    utimensat(AT_FDCWD, file.c_str(), stamp, 0);
    const auto first = vp.findFirst(files_ / "*.txt");
    ASSERT_NE(first.handleOrError, 0xFFFFFFFFu) << "matched without regard to case";
    // Raw offsets of the record inside the block.
    EXPECT_EQ(vp.readBlock(4, 10), Bytes({'E', 'n', 't', 'r', 'y', '.', 'T', 'X', 'T', 0}));
    const uint32_t record[] = {HB_FILE_ATTRIBUTE_ARCHIVE, 0x6DAF, 0x38CF, 77, first.handleOrError};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(vp.word(268 + 4 * i), record[i]) << "word at " << 268 + 4 * i;
    EXPECT_EQ(vp.findNext(first.handleOrError).handleOrError, 18u);
    vp.findClose(first.handleOrError);
}

TEST_F(Requests, EnvironmentBlockAndItsCuts) {
    setenv("HBFILEIO_E2E", "1", 1);
    RequestAgent& vp = agent();
    const uint32_t length = vp.environmentSize();
    ASSERT_GT(length, 8u);
    uint32_t count = 0;
    const std::string whole = vp.environmentText(length + 100, &count);
    ASSERT_EQ(count, length);
    EXPECT_EQ(whole.substr(length - 2), std::string(2, '\0'));
    EXPECT_NE(whole.find(std::string("HBFILEIO_E2E=1\0", 15)), std::string::npos);
    // A cut keeps the head and ends with two zeros; 1 is the zero alone.
    EXPECT_EQ(vp.environmentText(6, &count), whole.substr(0, 4) + std::string(2, '\0'));
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(vp.environmentText(1, &count), std::string(1, '\0'));
    EXPECT_EQ(vp.environmentText(0, &count), "");
    EXPECT_EQ(count, 0u);
}

// Joined as console_and_slots_test shows; a long one is cut to its room.
TEST_F(Requests, ALongCommandLineIsCutAndEnded) {
    const std::string longArgument(299, 'z');
    const char* tooLong[] = {longArgument.c_str(), nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), tooLong), 0u);
    EXPECT_EQ(agent().commandLine(), std::string(255, 'z'));
    EXPECT_EQ(agent().readBlock(4 + 255, 1), Bytes{0});
}

// (The low byte of a wider status: trace_function_test; the service going on
// after an Exit: the fault sweep.)
TEST_F(Requests, ExitStoresTheLowByteAndWakesTheWaiter) {
    agent().exit(200);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), -56);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), -0.5), -1);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), std::nan("")), -1);
    agent().exit(0);
}

TEST_F(Requests, UnknownCodesGetTheMarkerAloneAndTheBlockStays) {
    for (uint32_t code : {0u, 6u, 14u, 25u, 0x12345678u, 0xFFFFFFFFu}) {
        Bytes block(HB_FILEIO_BLOCK_SIZE, 0xAB);
        hb::putLe32(block.data(), code);
        ASSERT_TRUE(agent().post(block.data(), static_cast<uint32_t>(block.size()))) << code;
        EXPECT_EQ(agent().readBlock(4, 524), Bytes(524, 0xAB)) << code;
    }
}

// On the smallest layout the buffer (320 bytes) is smaller than the block: no
// count and no answer reach past it.
TEST_F(Requests, CountsAndAnswersNeverReachPastTheBuffer) {
    addBoard(1, {27, 1});
    RequestAgent& vp = agent(1);
    ASSERT_EQ(std::pair(vp.blockOffset(), vp.blockSize()), std::pair(0x500u, 0x140u));
    virtualBoard(1).setTracing(true);
    const uint32_t room = 0x140 - 12;
    const int32_t fd = vp.open(files_.write("big", std::string(room + 500, 'b')), HB_O_RDWR).value;
    EXPECT_EQ(vp.read(fd, static_cast<int32_t>(room + 400)).value, static_cast<int32_t>(room));
    for (int32_t count : {static_cast<int32_t>(room + 1), -5}) {
        const auto refused = vp.write(fd, count);
        EXPECT_EQ(std::pair(refused.value, refused.error), std::pair(0, 87u)) << count;
    }
    uint32_t count = 0;
    vp.environment(100000, &count);
    EXPECT_LE(count, 0x140u - 8);
    vp.close(fd);
    for (const auto& e : traceToMarker(1))
        EXPECT_TRUE(e.name != "SharedMemoryWrite" ||
                    (e.offset >= 0x500 && e.offset + e.length <= 0x640))
            << e.text();
    EXPECT_EQ(files_.read("big"), std::string(room + 500, 'b'));
}

// One failed copy of the block is tried again; a copy that keeps failing is
// answered with the marker alone and nothing is carried out. An answer whose
// marker cannot be written never reaches the VP, which therefore cannot end
// the search it started: the service ends it.
TEST_F(Requests, ABlockThatCannotBeReadIsNotCarriedOutAndAnUnmarkedSearchIsEnded) {
    virtualBoard().setFaultPlan(hb::vboard::parseFaultPlan("fail:SharedMemoryRead"));
    agent().close(agent().open(files_ / "once", HB_O_CREAT | HB_O_WRONLY).value);
    EXPECT_TRUE(std::filesystem::exists(files_ / "once")) << "a passing failure costs nothing";
    virtualBoard().setFaultPlan(hb::vboard::parseFaultPlan("fail:SharedMemoryRead*2"));
    agent().open(files_ / "never", HB_O_CREAT | HB_O_WRONLY);
    EXPECT_TRUE(agent().answered());
    EXPECT_EQ(virtualBoard().faultCounts().requestsSeen, 3u) << "two copies, the marker";
    EXPECT_FALSE(std::filesystem::exists(files_ / "never"));
    EXPECT_GT(agent().environmentSize(), 0u) << "the next request is served";

    hbtest::RequestAgent quick(virtualBoard(), false, std::chrono::milliseconds(300));
    virtualBoard().setFaultPlan(hb::vboard::parseFaultPlan("fail:SharedMemoryWrite#2"));
    const uint32_t search = quick.findFirst(files_.write("found", "x")).handleOrError;
    EXPECT_EQ(agent().findNext(search).handleOrError, HB_ERROR_INVALID_HANDLE) << search;
}

// A request the VP posts while the service still handles the previous
// wake-up is served, whichever step of the dispatcher it meets: the event's
// reset, the copies and the marker must not lose it. The trace listener posts
// it on the device's thread once the step took effect, before its reply.
TEST_F(Requests, ARequestPostedDuringThePreviousOneIsNeverLost) {
    const struct {
        const char* moment;
        int afterCopy; // 0: after the previous request's marker
    } moments[] = {{"during an empty wake-up's copy", 1},
                   {"during the second look of an empty wake-up", 2},
                   {"as the previous completion marker lands", 0}};
    const uint32_t at = agent().blockOffset();
    const auto post = [this, at](uint32_t code, uint32_t argument) {
        virtualBoard().writeSharedWord(at + HB_FILEIO_ARGUMENT, argument);
        virtualBoard().writeSharedWord(at, code);
        return virtualBoard().raiseEvent(HB_EVENT_FILEIO_REQUEST);
    };
    for (const auto& m : moments) {
        ASSERT_GT(agent().environmentSize(), 0u) << "the marker stands";
        auto posted = std::make_shared<std::promise<void>>();
        auto steps = std::make_shared<std::atomic<int>>(0);
        virtualBoard().setTraceListener([=, after = m.afterCopy](const auto& e) {
            const bool step = after == 0 ? e.name == "SharedMemoryWrite" && e.offset == at &&
                                               e.value == RequestAgent::kMarker
                                         : e.name == "SharedMemoryRead";
            if (step && ++*steps == std::max(after, 1) && post(FileIoRequest_EnvironmentSize, 0))
                posted->set_value();
        });
        ASSERT_TRUE(m.afterCopy != 0 ? virtualBoard().raiseEvent(HB_EVENT_FILEIO_REQUEST)
                                     : post(FileIoRequest_Close, 4321));
        ASSERT_EQ(posted->get_future().wait_for(std::chrono::seconds(20)),
                  std::future_status::ready);
        EXPECT_TRUE(
            virtualBoard().waitForSharedWord(at, RequestAgent::kMarker, std::chrono::seconds(5)))
            << m.moment << ": lost";
        virtualBoard().setTraceListener({});
        EXPECT_NE(agent().word(HB_FILEIO_ARGUMENT), 0u) << m.moment << ": answered";
    }
}

// (Where the block lies with the switch on: shared_memory_map_test.)
TEST_F(Requests, UseCustomerMemoryMovesTheBlock) {
    RequestAgent& vp = agent();
    const auto before = vp.layout();
    vp.useCustomerMemory(5);
    EXPECT_TRUE(vp.answered()) << "the marker stood at the old place";
    EXPECT_GT(vp.environmentSize(), 0u) << "the next request is read at the new place";
    vp.useCustomerMemory(0);
    EXPECT_EQ(hb_GetFileIoBuffer(board(), nullptr), before.offset);
}

std::string installedOut;
int32_t captureOut(const void* data, int32_t length) {
    installedOut.append(static_cast<const char*>(data), static_cast<size_t>(length));
    return length;
}
int32_t refuseAll(const void*, int32_t) {
    return -1;
}

TEST_F(Requests, DefaultWritersStripCarriageReturnsAndInstalledOnesGetTheBytesUnchanged) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(agent().write(1, "a\r\nb\r\r\nc\r").value, 9);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb\r\nc\r") << "pairs only";
    testing::internal::CaptureStderr();
    EXPECT_EQ(agent().write(2, "e\r\n").value, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "e\n");

    installedOut.clear();
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), captureOut, refuseAll), 0u);
    EXPECT_EQ(agent().write(1, "x\r\ny").value, 4);
    EXPECT_EQ(installedOut, "x\r\ny");
    const auto refused = agent().write(2, "zz");
    EXPECT_EQ(std::pair(refused.value, refused.error), std::pair(-1, 1006u));
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), nullptr, nullptr), 0u);
}

// The host errors the VP meets on full, read-only and other file systems and
// with no descriptors left, in the platform's numbering. A child process of
// its own: a private mount namespace (needs root) and a lowered descriptor
// limit. Its exit status: 0, 77 when it could not mount, else the failures.
int hostErrorsInTheChild(const std::string& scratch) {
    alarm(60); // a hang fails too
    // Out of descriptors in a process of its own that only opens, before any
    // thread starts: the sanitizers' own checks need descriptors too.
    const pid_t opener = fork();
    if (opener == 0) {
        const rlimit few{32, 32};
        setrlimit(RLIMIT_NOFILE, &few);
        int32_t opened = 0;
        for (int i = 0; i < 64 && opened != -1; ++i)
            opened = hb::hostOpen({}, (scratch + "/file").c_str(), HB_O_CREAT | HB_O_RDONLY);
        std::_Exit(opened == -1 && hbGetLastError() == 4 ? 0 : 1);
    }
    int opens = -1;
    waitpid(opener, &opens, 0);
    const bool mounted =
        unshare(CLONE_NEWNS) == 0 &&
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mkdir((scratch + "/full").c_str(), 0777) == 0 &&
        mount("hbfull", (scratch + "/full").c_str(), "tmpfs", 0, "size=64k,nr_inodes=8") == 0 &&
        mkdir((scratch + "/ro").c_str(), 0777) == 0 &&
        mount("hbro", (scratch + "/ro").c_str(), "tmpfs", MS_RDONLY, "") == 0;
    hbtest::ScratchDirectory deviceDirectory;
    auto device = hb::vboard::Device::create(deviceDirectory / "hbboard");
    hb::vboard::Board& virtualBoard = device->addBoard(0, {});
    virtualBoard.setTracing(false);
    AcceleratorBoard* board = hbAcceleratorBoardCreate(device->basePath().c_str(), 0, 0);
    if (board == nullptr || hbFileIoStartup(board) != 0)
        return 2;
    RequestAgent vp(virtualBoard);
    int failures = 0;
    const auto expect = [&](const char* what, Result got, Result want) {
        if (got.value != want.value || got.error != want.error) {
            std::fprintf(stderr, "%s: %d/%u, not %d/%u\n", what, got.value, got.error, want.value,
                         want.error);
            ++failures;
        }
    };
    if (mounted) {
        const std::string full = scratch + "/full/";
        std::filesystem::create_directory(full + "dir");
        const int32_t fd = vp.open(full + "file", HB_O_CREAT | HB_O_WRONLY).value;
        // The first file takes every block, the others every inode.
        const std::string buffer(4096, 'f');
        for (int i = 0, out;
             (out = ::open((full + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644)) >= 0;
             ++i) {
            while (::write(out, buffer.data(), buffer.size()) > 0) {
            }
            ::close(out);
        }
        expect("write, ENOSPC", vp.write(fd, std::string(100, 'x')), {-1, 1100});
        expect("create, ENOSPC", vp.open(full + "new", HB_O_CREAT | HB_O_WRONLY), {-1, 112});
        expect("create, EROFS", vp.open(scratch + "/ro/new", HB_O_CREAT | HB_O_WRONLY), {-1, 19});
        const uint32_t across = vp.rename(full + "dir", scratch + "/dir");
        expect("rename a directory, EXDEV", {0, across}, {0, 17});
        vp.close(fd);
    }
    if (opens != 0 && ++failures)
        std::fprintf(stderr, "open, EMFILE: not error 4\n");
    return failures != 0 ? 1 : mounted ? 0 : 77;
}

TEST(HostErrors, FullReadOnlyOtherAndExhaustedFileSystemsReachTheVpInTheirOwnCodes) {
    hbtest::ScratchDirectory scratch;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        std::_Exit(hostErrorsInTheChild(scratch.path()));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private tmpfs (needs root): ENOSPC, EROFS and EXDEV unchecked";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's lines above";
}

} // namespace
