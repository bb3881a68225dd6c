// The file-I/O service end to end on every platform: the service registers
// event 6 with the in-process fake driver, a VP in the test writes requests
// into the fake board's shared memory and raises the event, and the
// dispatcher answers with the platform's own host operations.
//
// The expectations are the same on every platform: error words are in the
// Win32 numbering on each backend. One process may run every case of this
// program, and the bus caches live as long as the process, so each board
// index always has the same kind of board.
#include "scratch_directory.h"
#include "support/fake_device.h"
#include "support/fake_vp.h"

#include "hbsys9u.h"
#include "little_endian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

using hbtest::FakeBoard;
using hbtest::FakeBoardConfig;
using hbtest::FakeRequest;
using hbtest::FakeVp;
using hbtest::ScratchDirectory;
using Bytes = std::vector<uint8_t>;

FakeBoardConfig kind(uint32_t boardType, uint32_t busWidth) {
    FakeBoardConfig config;
    config.boardType = boardType;
    config.busWidth = busWidth;
    return config;
}

// Board 0: bus type 2 (the largest buffer); 1: bus type 1 width 1 (a buffer
// smaller than the block); 2: bus type 1 width 2.
const FakeBoardConfig kBoards[] = {kind(22, 4), kind(27, 1), kind(27, 2)};

class FakeBoardService : public ::testing::Test {
  protected:
    void SetUp() override { start(0); }
    void TearDown() override {
        for (AcceleratorBoard*& board : boards_) {
            if (board != nullptr) {
                hbFileIoShutdown(board);
                hbAcceleratorBoardDestroy(board);
                board = nullptr;
            }
        }
        hb_FileIoUseCustomerMemory(0);
    }

    void start(int index) {
        FakeBoard& fake = fake_.addBoard(index, kBoards[index]);
        boards_[index] = hbAcceleratorBoardCreate(fake_.baseName().c_str(), index, 0);
        ASSERT_NE(boards_[index], nullptr);
        ASSERT_EQ(hbFileIoStartup(boards_[index]), 0u);
        vps_[index] = std::make_unique<FakeVp>(fake);
    }

    AcceleratorBoard* board(int index = 0) { return boards_[index]; }
    FakeBoard& fakeBoard(int index = 0) { return *fake_.board(index); }
    FakeVp& vp(int index = 0) { return *vps_[index]; }

    // The driver requests of the last request the VP posted, up to and
    // including its completion marker.
    std::vector<FakeRequest> lastExchange(int index = 0) {
        const auto all = fakeBoard(index).requests();
        std::vector<FakeRequest> exchange(
            all.begin() + static_cast<std::ptrdiff_t>(vp(index).requestsBefore()), all.end());
        return exchange;
    }

    hbtest::FakeDevice fake_;
    ScratchDirectory files_;

  private:
    AcceleratorBoard* boards_[3] = {};
    std::unique_ptr<FakeVp> vps_[3];
};

TEST_F(FakeBoardService, StartupRegistersEventSixAndShutdownWithdrawsIt) {
    FakeBoard& fake = fakeBoard();
    EXPECT_TRUE(fake.eventRegistered(HB_EVENT_FILEIO_REQUEST));
    const auto requests = fake.requests();
    const auto registration =
        std::find_if(requests.begin(), requests.end(), [](const FakeRequest& r) {
            return r.controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER;
        });
    ASSERT_NE(registration, requests.end());
    EXPECT_EQ(registration->argument, HB_EVENT_FILEIO_REQUEST);
    EXPECT_EQ(registration->inSize, 24u);
    EXPECT_NE(registration->value, 0u) << "an event handle";
    EXPECT_EQ(fake.count(HB_IOCTL_ASYNC_EVENT_REGISTER), 1u);

    hbFileIoShutdown(board());
    EXPECT_FALSE(fake.eventRegistered(HB_EVENT_FILEIO_REQUEST));
    EXPECT_EQ(fake.count(HB_IOCTL_ASYNC_EVENT_DEREGISTER), 1u);
    EXPECT_FALSE(fake.raiseEvent(HB_EVENT_FILEIO_REQUEST));
    ASSERT_EQ(hbFileIoStartup(board()), 0u) << "started again";
    EXPECT_GT(vp().environmentSize(), 0u);
}

TEST_F(FakeBoardService, StartupFailsWhenTheBoardsLayoutCannotBeLearnt) {
    // Index 9 is used by this case alone: its bus type is still unknown, and
    // the driver refuses to tell it. The failure must not be hidden by the
    // start of the service thread, or the VP program would wait forever.
    FakeBoard& fake = fake_.addBoard(9, kBoards[0]);
    fake.failNext(HB_IOCTL_GET_HW_INFO, 31, 100);
    AcceleratorBoard* board9 = hbAcceleratorBoardCreate(fake_.baseName().c_str(), 9, 0);
    ASSERT_NE(board9, nullptr);
    EXPECT_EQ(hbFileIoStartup(board9), 31u);
    EXPECT_FALSE(fake.eventRegistered(HB_EVENT_FILEIO_REQUEST));
    hbFileIoShutdown(board9);
    hbAcceleratorBoardDestroy(board9);
}

TEST_F(FakeBoardService, OpenReadSeekCloseAnswerTheProtocolExample) {
    const std::string path = files_.write("data", std::string(140, 'd'));
    const auto opened = vp().open(path, HB_O_RDONLY);
    ASSERT_GE(opened.value, 0);
    EXPECT_EQ(opened.error, 0u);
    EXPECT_EQ(vp().seek(opened.value, 100, 0).value, 100);

    // Read 100 with 40 left: 40 at 4, 0 at 8, the bytes at 12..51, marker last.
    std::string data;
    const auto read = vp().read(opened.value, 100, &data);
    EXPECT_EQ(vp().word(0), FakeVp::kMarker);
    EXPECT_EQ(read.value, 40);
    EXPECT_EQ(read.error, 0u);
    EXPECT_EQ(data, std::string(40, 'd'));
    // On the driver: one 528-byte copy of the block, the response words, the
    // data, and the marker last.
    const uint32_t at = vp().blockOffset();
    const auto exchange = lastExchange();
    ASSERT_EQ(exchange.size(), 4u);
    EXPECT_EQ(exchange[0].controlCode, HB_IOCTL_SHARED_MEMORY_READ);
    EXPECT_EQ(exchange[0].argument, at);
    EXPECT_EQ(exchange[0].length, 528u);
    EXPECT_EQ(exchange[1].controlCode, HB_IOCTL_SHARED_MEMORY_WRITE);
    EXPECT_EQ(exchange[1].argument, at + 4);
    EXPECT_EQ(exchange[2].argument, at + 12);
    EXPECT_EQ(exchange[2].length, 40u);
    EXPECT_EQ(exchange[3].argument, at);
    EXPECT_EQ(exchange[3].length, 4u);
    EXPECT_EQ(exchange[3].value, FakeVp::kMarker);

    const auto atEnd = vp().read(opened.value, 10);
    EXPECT_EQ(atEnd.value, 0);
    EXPECT_EQ(atEnd.error, 0u);
    const auto none = vp().read(opened.value, 0);
    EXPECT_EQ(none.value, 0);
    EXPECT_EQ(none.error, 0u);

    const auto end = vp().seek(opened.value, 0, 2);
    EXPECT_EQ(end.value, 140);
    EXPECT_EQ(end.error, 0u);
    EXPECT_EQ(vp().close(opened.value), 0);
    EXPECT_EQ(vp().close(opened.value), -1) << "closed twice";
    EXPECT_EQ(vp().close(4321), -1) << "never opened";
}

TEST_F(FakeBoardService, Open2WritesAndCreatesAWritableFile) {
    const std::string path = files_ / "created";
    const auto opened = vp().open2(path, HB_O_CREAT | HB_O_RDWR);
    ASSERT_GE(opened.value, 0);
    const auto written = vp().write(opened.value, "hello\r\n");
    EXPECT_EQ(written.value, 7);
    EXPECT_EQ(written.error, 0u);
    const auto nothing = vp().write(opened.value, 0);
    EXPECT_EQ(nothing.value, 0);
    EXPECT_EQ(nothing.error, 0u);
    EXPECT_EQ(vp().close(opened.value), 0);
    EXPECT_EQ(files_.read("created"), "hello\r\n") << "no line-end translation";
    const auto attributes = vp().attributes(path);
    EXPECT_EQ(attributes.error, 0u);
    EXPECT_EQ(static_cast<uint32_t>(attributes.value) & HB_FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(static_cast<uint32_t>(attributes.value) & HB_FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(FakeBoardService, ErrorWordsFollowTheWin32Numbering) {
    const std::string existing = files_.write("existing", "x");
    files_.write("other", "y");
    std::filesystem::create_directory(files_ / "dir");

    struct OpenCase {
        std::string path;
        uint32_t flags, error;
    } opens[] = {
        {files_ / "missing", HB_O_RDONLY, 2},
        {files_ / "nodir/file", HB_O_RDONLY, 3},
        {existing, HB_O_CREAT | HB_O_EXCL | HB_O_WRONLY, 80},
        {files_ / "dir", HB_O_WRONLY, 5},
    };
    for (const auto& c : opens) {
        const auto answer = vp().open(c.path, c.flags);
        EXPECT_EQ(answer.value, -1) << c.path;
        EXPECT_EQ(answer.error, c.error) << c.path;
    }
    const auto badRead = vp().read(987, 4);
    EXPECT_EQ(badRead.value, -1);
    EXPECT_EQ(badRead.error, 9u);
    EXPECT_EQ(vp().write(987, "x").error, 9u);
    const auto badSeek = vp().seek(987, 0, 0);
    EXPECT_EQ(badSeek.value, -1);
    EXPECT_EQ(badSeek.error, 9u);

    const auto fd = vp().open(existing, HB_O_RDONLY).value;
    const auto badOrigin = vp().seek(fd, 0, 3);
    EXPECT_EQ(badOrigin.value, -1);
    EXPECT_EQ(badOrigin.error, 87u);
    vp().close(fd);

    EXPECT_EQ(vp().rename(existing, files_ / "other"), 183u);
    EXPECT_EQ(files_.read("existing"), "x");
    EXPECT_EQ(files_.read("other"), "y");
    EXPECT_EQ(vp().rename(files_ / "missing", files_ / "new"), 2u);
    EXPECT_EQ(vp().remove(files_ / "missing"), 2u);
    EXPECT_EQ(vp().remove(files_ / "dir"), 5u) << "files only";

    const auto missingAttributes = vp().attributes(files_ / "missing");
    EXPECT_EQ(missingAttributes.error, 2u);
    EXPECT_EQ(static_cast<uint32_t>(missingAttributes.value), 0xFFFFFFFFu);
    EXPECT_EQ(vp().findFirst(files_ / "*.none").handleOrError, 0xFFFFFFFFu);
}

TEST_F(FakeBoardService, DeleteRenameAndAttributes) {
    const std::string a = files_.write("a", "A");
    std::filesystem::create_directory(files_ / "sub");
    EXPECT_EQ(vp().rename(a, files_ / "sub/b"), 0u);
    EXPECT_EQ(files_.read("sub/b"), "A");
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_EQ(vp().rename(files_ / "sub", files_ / "moved"), 0u) << "directories too";
    const auto attributes = vp().attributes(files_ / "moved");
    EXPECT_EQ(attributes.error, 0u);
    EXPECT_EQ(static_cast<uint32_t>(attributes.value), HB_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(vp().remove(files_ / "moved/b"), 0u);
    EXPECT_FALSE(std::filesystem::exists(files_ / "moved/b"));
    EXPECT_EQ(vp().remove(files_ / "moved/b"), 2u) << "already gone";
}

TEST_F(FakeBoardService, FindRecordLayoutAndListing) {
    const std::string file = files_.write("Entry.TXT", std::string(77, 'e'));
    // 2008-06-15 13:45:30 universal time.
    const std::chrono::sys_seconds stamp{std::chrono::seconds{1213537530}};
    std::filesystem::last_write_time(file, std::chrono::file_clock::from_sys(stamp));

    const auto first = vp().findFirst(files_ / "*.txt");
    ASSERT_NE(first.handleOrError, 0xFFFFFFFFu) << "matched without regard to case";
    ASSERT_NE(first.handleOrError, 0u);
    // Raw offsets of the record inside the block.
    EXPECT_EQ(vp().readBlock(4, 10), Bytes({'E', 'n', 't', 'r', 'y', '.', 'T', 'X', 'T', 0}));
    EXPECT_EQ(vp().word(268), HB_FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(vp().word(272), 0x6DAFu) << "13:45:30";
    EXPECT_EQ(vp().word(276), 0x38CFu) << "2008-06-15";
    EXPECT_EQ(vp().word(280), 77u);
    EXPECT_EQ(vp().word(284), first.handleOrError);

    EXPECT_EQ(vp().findNext(first.handleOrError).handleOrError, 18u);
    vp().findClose(first.handleOrError);
    EXPECT_EQ(vp().findNext(first.handleOrError).handleOrError, 6u) << "closed";

    std::filesystem::create_directory(files_ / "folder");
    std::vector<std::string> names;
    auto entry = vp().findFirst(files_ / "*.*");
    const uint32_t search = entry.handleOrError;
    ASSERT_NE(search, 0xFFFFFFFFu);
    while (entry.handleOrError == search || entry.handleOrError == 0) {
        names.push_back(entry.name);
        if (entry.name == "folder") {
            EXPECT_EQ(entry.attributes, HB_FILE_ATTRIBUTE_DIRECTORY);
        }
        entry = vp().findNext(search);
    }
    EXPECT_EQ(entry.handleOrError, 18u);
    vp().findClose(search);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "Entry.TXT", "folder"}));
}

TEST_F(FakeBoardService, EnvironmentBlockAndItsCuts) {
    const uint32_t length = vp().environmentSize();
    ASSERT_GT(length, 8u);
    uint32_t count = 0;
    const std::string whole = vp().environmentText(length + 100, &count);
    EXPECT_EQ(count, length);
    ASSERT_EQ(whole.size(), length);
    EXPECT_EQ(whole.substr(length - 2), std::string(2, '\0'));
    // The process's own environment: the value the runtime gives for PATH.
    const char* path = std::getenv("PATH");
    ASSERT_NE(path, nullptr);
    EXPECT_NE(whole.find("=" + std::string(path) + '\0'), std::string::npos);

    const std::string six = vp().environmentText(6, &count);
    EXPECT_EQ(count, 6u);
    ASSERT_EQ(six.size(), 6u);
    EXPECT_EQ(six.substr(4), std::string(2, '\0'));
    EXPECT_EQ(six.substr(0, 4), whole.substr(0, 4));

    EXPECT_EQ(vp().environmentText(1, &count), std::string(1, '\0'));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(vp().environmentText(0, &count), "");
    EXPECT_EQ(count, 0u);
}

TEST_F(FakeBoardService, CommandLineIsJoinedAndCut) {
    const char* arguments[] = {"a", "bb", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), arguments), 0u);
    EXPECT_EQ(vp().commandLine(), "a bb ");
    const std::string longArgument(299, 'z');
    const char* tooLong[] = {longArgument.c_str(), nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), tooLong), 0u);
    EXPECT_EQ(vp().commandLine(), std::string(255, 'z'));
    EXPECT_EQ(vp().readBlock(4 + 255, 1), Bytes{0});
}

TEST_F(FakeBoardService, ExitStoresTheLowByteAndWakesTheWaiter) {
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), 0);
    vp().exit(0x134);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), 0x34);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), 0x34);
    vp().exit(200);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), -56);
    EXPECT_GT(vp().environmentSize(), 0u) << "the service goes on after Exit";
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), -0.5), -1);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), std::nan("")), -1);
    vp().exit(0); // the status outlives the service: leave the index as found
}

TEST_F(FakeBoardService, UseCustomerMemoryMovesTheBlock) {
    const uint32_t before = vp().blockOffset();
    vp().useCustomerMemory(5);
    ASSERT_EQ(lastExchange().back().argument, before) << "the marker stood at the old place";
    const uint32_t after = vp().blockOffset();
    EXPECT_EQ(after, 0x400u);
    uint32_t size = 0;
    EXPECT_EQ(hb_GetFileIoBuffer(board(), &size), after);
    EXPECT_EQ(size, 0x4000u);
    EXPECT_GT(vp().environmentSize(), 0u) << "the next request is read at the new place";
    EXPECT_EQ(lastExchange().front().argument, after);
    vp().useCustomerMemory(0);
    EXPECT_EQ(hb_GetFileIoBuffer(board(), &size), before);
}

TEST_F(FakeBoardService, UnknownCodesGetTheMarkerAlone) {
    for (uint32_t code : {0u, 6u, 14u, 25u, 0x12345678u}) {
        Bytes block(HB_FILEIO_BLOCK_SIZE, 0xAB);
        hb::putLe32(block.data(), code);
        ASSERT_TRUE(vp().post(block.data(), static_cast<uint32_t>(block.size()))) << code;
        EXPECT_EQ(vp().readBlock(4, 524), Bytes(524, 0xAB)) << code;
        const auto exchange = lastExchange();
        ASSERT_EQ(exchange.size(), 2u) << code;
        EXPECT_EQ(exchange[0].controlCode, HB_IOCTL_SHARED_MEMORY_READ);
        EXPECT_EQ(exchange[1].controlCode, HB_IOCTL_SHARED_MEMORY_WRITE);
        EXPECT_EQ(exchange[1].value, FakeVp::kMarker);
    }
}

// A wake-up that finds the marker still in the code word (a doubled or late
// event) looks once more and writes nothing: a marker written then could
// cover a request the VP is posting at that moment.
TEST_F(FakeBoardService, AnEmptyWakeUpWritesNothing) {
    const uint32_t at = vp().blockOffset();
    ASSERT_GT(vp().environmentSize(), 0u);
    FakeBoard& fake = fakeBoard();
    const size_t before = fake.requestCount();
    const auto isRead = [](const FakeRequest& r) {
        return r.controlCode == HB_IOCTL_SHARED_MEMORY_READ;
    };
    ASSERT_TRUE(fake.raiseEvent(HB_EVENT_FILEIO_REQUEST));
    ASSERT_TRUE(fake.waitForRequest(before, isRead, std::chrono::seconds(20)));
    ASSERT_TRUE(fake.waitForRequest(before + 1, isRead, std::chrono::seconds(20)));
    const size_t looked = fake.requestCount();
    EXPECT_GT(vp().environmentSize(), 0u) << "the next request is answered";
    const auto requests = fake.requests();
    ASSERT_GE(requests.size(), looked);
    for (size_t i = before; i < looked; ++i) {
        EXPECT_EQ(requests[i].controlCode, HB_IOCTL_SHARED_MEMORY_READ) << i;
        EXPECT_EQ(requests[i].argument, at);
    }
}

// One failed copy of the block is tried again; when the copy keeps failing,
// the wake-up is answered with the marker alone and nothing is carried out.
TEST_F(FakeBoardService, ABlockThatCannotBeReadIsAnsweredWithTheMarkerAlone) {
    const std::string once = files_ / "once";
    fakeBoard().failNext(HB_IOCTL_SHARED_MEMORY_READ, 31);
    const auto opened = vp().open(once, HB_O_CREAT | HB_O_WRONLY);
    EXPECT_GE(opened.value, 0) << "a passing failure costs the VP nothing";
    EXPECT_EQ(vp().close(opened.value), 0);
    EXPECT_TRUE(std::filesystem::exists(once));

    const std::string never = files_ / "never";
    fakeBoard().failNext(HB_IOCTL_SHARED_MEMORY_READ, 31, 2);
    vp().open(never, HB_O_CREAT | HB_O_WRONLY);
    const auto exchange = lastExchange();
    ASSERT_EQ(exchange.size(), 3u);
    EXPECT_EQ(exchange[0].status, 31u);
    EXPECT_EQ(exchange[1].status, 31u);
    EXPECT_EQ(exchange[2].value, FakeVp::kMarker);
    EXPECT_FALSE(std::filesystem::exists(never));
    EXPECT_GT(vp().environmentSize(), 0u) << "the next request is served";
}

// Output of descriptors 1 and 2.
std::string installedOut;
int32_t captureOut(const void* data, int32_t length) {
    installedOut.append(static_cast<const char*>(data), static_cast<size_t>(length));
    return length;
}
int32_t refuseAll(const void*, int32_t) {
    return -1;
}

TEST_F(FakeBoardService, ConsoleOutputGoesToTheBoardsWriters) {
    installedOut.clear();
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), captureOut, refuseAll), 0u);
    EXPECT_EQ(vp().write(1, "x\r\ny").value, 4);
    EXPECT_EQ(installedOut, "x\r\ny") << "installed writers get the bytes unchanged";
    const auto refused = vp().write(2, "zz");
    EXPECT_EQ(refused.value, -1);
    EXPECT_EQ(refused.error, 1006u);

    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), nullptr, nullptr), 0u);
    testing::internal::CaptureStdout();
    const auto written = vp().write(1, "a\r\nb\r\n");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb\n");
    EXPECT_EQ(written.value, 6);
    EXPECT_EQ(written.error, 0u);
}

TEST_F(FakeBoardService, CountsNeverReachPastTheBuffer) {
    const uint32_t room = vp().blockSize() - 12;
    const std::string path = files_.write("big", std::string(room + 500, 'b'));
    const int32_t fd = vp().open(path, HB_O_RDWR).value;
    const auto read = vp().read(fd, static_cast<int32_t>(room + 400));
    EXPECT_EQ(read.value, static_cast<int32_t>(room)) << "cut to the buffer";
    EXPECT_EQ(read.error, 0u);
    const auto refused = vp().write(fd, static_cast<int32_t>(room + 1));
    EXPECT_EQ(refused.value, 0);
    EXPECT_EQ(refused.error, 87u);
    const auto negative = vp().write(fd, -5);
    EXPECT_EQ(negative.value, 0);
    EXPECT_EQ(negative.error, 87u);
    vp().close(fd);
    EXPECT_EQ(files_.read("big"), std::string(room + 500, 'b'));
}

// Each board has its own slot: command line, writers and exit status.
TEST_F(FakeBoardService, EachBoardServesFromItsOwnSlot) {
    start(2);
    const char* first[] = {"zero", nullptr};
    const char* second[] = {"two", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(0), first), 0u);
    ASSERT_EQ(hbFileIoSetCommandLine(board(2), second), 0u);
    installedOut.clear();
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(2), captureOut, nullptr), 0u);

    EXPECT_EQ(vp(0).commandLine(), "zero ");
    EXPECT_EQ(vp(2).commandLine(), "two ");
    EXPECT_EQ(vp(2).write(1, "to two").value, 6);
    EXPECT_EQ(installedOut, "to two");
    vp(2).exit(7);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(2), 0.0), 7);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(0), 0.0), 0) << "board 0's VP has not ended";
    // Command line, writers and status belong to the index and outlive the
    // service: leave index 2 as found.
    vp(2).exit(0);
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(2), nullptr, nullptr), 0u);
}

// Every layout's block lies where the map puts it; where the buffer (320
// bytes) is smaller than the block, nothing is written outside it.
TEST_F(FakeBoardService, TheBlockOfEachLayoutAndNothingOutsideIt) {
    start(1);
    start(2);
    const std::pair<int, uint32_t> places[] = {{0, 0x4500}, {1, 0x500}, {2, 0x1100}};
    for (const auto& [index, offset] : places) {
        ASSERT_EQ(vp(index).blockOffset(), offset);
        ASSERT_GT(vp(index).environmentSize(), 0u);
        EXPECT_EQ(lastExchange(index).front().argument, offset) << index;
    }

    FakeVp& small = vp(1);
    ASSERT_EQ(small.blockSize(), 0x140u);
    const std::string path = files_.write("f", std::string(1000, 'q'));
    const int32_t fd = small.open(path, HB_O_RDONLY).value;
    ASSERT_GE(fd, 0);
    const size_t from = fakeBoard(1).requestCount();
    EXPECT_EQ(small.read(fd, 1000).value, static_cast<int32_t>(0x140 - 12));
    uint32_t count = 0;
    small.environment(100000, &count);
    EXPECT_LE(count, 0x140u - 8);
    small.close(fd);
    const auto requests = fakeBoard(1).requests();
    for (size_t i = from; i < requests.size(); ++i) {
        const FakeRequest& r = requests[i];
        if (r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE) {
            EXPECT_GE(r.argument, 0x500u);
            EXPECT_LE(r.argument + r.length, 0x500u + 0x140u);
        }
    }
}

} // namespace
