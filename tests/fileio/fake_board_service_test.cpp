// The file-I/O service through the in-process fake driver, on every platform
// (the Windows suite reaches the service end to end only here): one lean
// conversation, and what only the driver's side can see or steer.
#include "driver_requests.h"
#include "scratch_directory.h"
#include "support/fake_device.h"
#include "support/scripted_vp.h"

#include "hbsys9u.h"
#include "little_endian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <vector>

namespace {

using hbtest::FakeBoard;
using hbtest::FakeRequest;
using Bytes = std::vector<uint8_t>;
constexpr auto kLimit = std::chrono::seconds(20);

// The scripted VP on the fake board. The marker is the service's last write of
// a request: a ring waits for it in the fake's request log.
class FakeVpBoard : public hbtest::VpBoard {
  public:
    explicit FakeVpBoard(FakeBoard& board)
        : VpBoard(board.config().boardType, board.config().busWidth), fake_(board) {}
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override {
        fake_.writeShared(offset, data, length);
        return true;
    }
    void readShared(uint32_t offset, void* data, uint32_t length) const override {
        fake_.readShared(offset, data, length);
    }
    bool ring(uint32_t offset, std::chrono::milliseconds timeout) override {
        requestsBefore_ = fake_.requestCount();
        const auto marker = [offset](const FakeRequest& r) {
            return r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE && r.argument == offset &&
                   r.length == 4 && r.value == hbtest::ScriptedVp::kMarker;
        };
        return fake_.raiseEvent(HB_EVENT_FILEIO_REQUEST) &&
               fake_.waitForRequest(requestsBefore_, marker, timeout);
    }

    FakeBoard& fake_;
    size_t requestsBefore_ = 0; // where the log stood before the last post's request
};

struct FakeVp : FakeVpBoard, hbtest::ScriptedVp {
    explicit FakeVp(FakeBoard& board) : FakeVpBoard(board), ScriptedVp(*this, false, kLimit) {}
};

// Board 0: bus type 2 (the largest buffer); 1: bus type 1 width 1 (a buffer
// smaller than the block); 2: bus type 1 width 2. The bus caches live as long
// as the process, so each index always has the same kind of board.
const hbtest::FakeBoardConfig kBoards[] = {{22, 4}, {27, 1}, {27, 2}};

// The marker's value; the caller checks that it went to the code word (an
// answer word of -1 has the same value).
bool isMarker(const FakeRequest& r) {
    return r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE && r.length == 4 &&
           r.value == FakeVp::kMarker;
}

class FakeBoardService : public ::testing::Test {
  protected:
    void SetUp() override { start(0); }
    void TearDown() override {
        for (AcceleratorBoard* board : boards_) {
            hbFileIoShutdown(board);
            hbAcceleratorBoardDestroy(board);
        }
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
    // The driver requests of the VP's last request, up to its marker.
    std::vector<FakeRequest> lastExchange(int index = 0) {
        const auto all = fakeBoard(index).requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(vp(index).requestsBefore_), all.end()};
    }

    hbtest::FakeDevice fake_;
    hbtest::ScratchDirectory files_;

  private:
    AcceleratorBoard* boards_[3] = {};
    std::unique_ptr<FakeVp> vps_[3];
};

TEST_F(FakeBoardService, AFileIsCreatedWrittenSoughtReadAndClosedInOneCopyAndTwoWritesEach) {
    const std::string path = files_ / "data";
    const auto opened = vp().open2(path, HB_O_CREAT | HB_O_RDWR);
    ASSERT_GE(opened.value, 0);
    EXPECT_EQ(vp().write(opened.value, std::string(140, 'd')).value, 140);
    EXPECT_EQ(vp().seek(opened.value, 100, 0).value, 100);
    const auto read = vp().read(opened.value, 100);
    EXPECT_EQ(read.value, 40);
    EXPECT_EQ(read.data, Bytes(40, 'd'));
    // One 528-byte copy of the block, the response words, the data, the
    // marker last.
    const uint32_t at = vp().blockOffset();
    const auto exchange = lastExchange();
    ASSERT_EQ(exchange.size(), 4u);
    EXPECT_EQ(exchange[0].controlCode, HB_IOCTL_SHARED_MEMORY_READ);
    EXPECT_EQ(std::pair(exchange[0].argument, exchange[0].length), std::pair(at, 528u));
    EXPECT_EQ(exchange[1].argument, at + 4);
    EXPECT_EQ(std::pair(exchange[2].argument, exchange[2].length), std::pair(at + 12, 40u));
    EXPECT_EQ(exchange[3].argument, at);
    EXPECT_TRUE(isMarker(exchange[3]));
    EXPECT_EQ(vp().close(opened.value), 0);
    EXPECT_EQ(files_.read("data"), std::string(140, 'd'));
    const auto missing = vp().open(files_ / "missing", HB_O_RDONLY);
    EXPECT_EQ(std::pair(missing.value, missing.error), std::pair(-1, 2u)) << "Win32 numbering";
}

TEST_F(FakeBoardService, StartupRegistersEventSixOnceAndShutdownWithdrawsIt) {
    FakeBoard& fake = fakeBoard();
    const auto requests = fake.requests();
    const auto registration = std::find_if(requests.begin(), requests.end(), [](auto& r) {
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
    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    EXPECT_GT(vp().environmentSize(), 0u) << "started again";
}

TEST_F(FakeBoardService, StartupFailsWhenTheBoardsLayoutCannotBeLearnt) {
    // Index 9 alone: its bus type is still unknown and the driver refuses it.
    FakeBoard& fake = fake_.addBoard(9, kBoards[0]);
    fake.failNext(HB_IOCTL_GET_HW_INFO, 31, 100);
    AcceleratorBoard* board9 = hbAcceleratorBoardCreate(fake_.baseName().c_str(), 9, 0);
    ASSERT_NE(board9, nullptr);
    EXPECT_EQ(hbFileIoStartup(board9), 31u);
    EXPECT_FALSE(fake.eventRegistered(HB_EVENT_FILEIO_REQUEST));
    hbAcceleratorBoardDestroy(board9);
}

// One failed copy of the block is tried again; a copy that keeps failing is
// answered with the marker alone and nothing is carried out.
TEST_F(FakeBoardService, ABlockThatCannotBeReadIsAnsweredWithTheMarkerAlone) {
    fakeBoard().failNext(HB_IOCTL_SHARED_MEMORY_READ, 31);
    const auto opened = vp().open(files_ / "once", HB_O_CREAT | HB_O_WRONLY);
    EXPECT_GE(opened.value, 0) << "a passing failure costs the VP nothing";
    vp().close(opened.value);
    fakeBoard().failNext(HB_IOCTL_SHARED_MEMORY_READ, 31, 2);
    vp().open(files_ / "never", HB_O_CREAT | HB_O_WRONLY);
    const auto exchange = lastExchange();
    ASSERT_EQ(exchange.size(), 3u);
    EXPECT_EQ(std::pair(exchange[0].status, exchange[1].status), std::pair(31u, 31u));
    EXPECT_TRUE(isMarker(exchange[2]));
    EXPECT_FALSE(std::filesystem::exists(files_ / "never"));
    EXPECT_GT(vp().environmentSize(), 0u) << "the next request is served";
}

// A request the VP raises while the service still handles the previous
// wake-up is served, whichever step of the dispatcher it meets: the event's
// reset, the copies and the marker must not lose it.
TEST_F(FakeBoardService, ARequestRaisedDuringThePreviousOneIsNeverLost) {
    const struct {
        const char* moment;
        bool emptyWakeUp; // else: the previous wake-up carries a request
        int afterNthCopy; // 0: as the previous marker lands
    } moments[] = {{"during an empty wake-up's copy", true, 1},
                   {"during the second look of an empty wake-up", true, 2},
                   {"as the previous completion marker lands", false, 0}};
    FakeBoard& fake = fakeBoard();
    const uint32_t at = vp().blockOffset();
    const auto marker = [at](const FakeRequest& r) { return isMarker(r) && r.argument == at; };
    for (const auto& m : moments) {
        ASSERT_GT(vp().environmentSize(), 0u) << "the marker stands";
        int copies = 0;
        std::promise<size_t> raised;
        fake.afterRequest([&](const FakeRequest& r) {
            const bool now = m.afterNthCopy == 0 ? marker(r)
                                                 : r.controlCode == HB_IOCTL_SHARED_MEMORY_READ &&
                                                       ++copies == m.afterNthCopy;
            if (!now)
                return false;
            uint8_t words[8];
            hb::putLe32(words, FileIoRequest_EnvironmentSize);
            hb::putLe32(words + 4, 0);
            fake.writeShared(at + 4, words + 4, 4);
            fake.writeShared(at, words, 4);
            raised.set_value(fake.requestCount());
            fake.raiseEvent(HB_EVENT_FILEIO_REQUEST);
            return true;
        });
        if (m.emptyWakeUp)
            ASSERT_TRUE(fake.raiseEvent(HB_EVENT_FILEIO_REQUEST));
        else
            vp().close(4321);
        auto from = raised.get_future();
        ASSERT_EQ(from.wait_for(kLimit), std::future_status::ready) << m.moment;
        EXPECT_TRUE(fake.waitForRequest(from.get(), marker, std::chrono::seconds(5))) << m.moment;
        EXPECT_NE(vp().word(HB_FILEIO_ARGUMENT), 0u) << m.moment << ": answered";
    }
}

std::string installedOut;
int32_t captureOut(const void* data, int32_t length) {
    installedOut.append(static_cast<const char*>(data), static_cast<size_t>(length));
    return length;
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
    vp(2).exit(0); // the slot outlives the service: leave index 2 as found
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
    const int32_t fd = small.open(files_.write("f", std::string(1000, 'q')), HB_O_RDONLY).value;
    ASSERT_GE(fd, 0);
    const size_t from = fakeBoard(1).requestCount();
    EXPECT_EQ(small.read(fd, 1000).value, static_cast<int32_t>(0x140 - 12));
    uint32_t count = 0;
    small.environment(100000, &count);
    EXPECT_LE(count, 0x140u - 8);
    small.close(fd);
    const auto requests = fakeBoard(1).requests();
    for (size_t i = from; i < requests.size(); ++i) {
        if (requests[i].controlCode == HB_IOCTL_SHARED_MEMORY_WRITE) {
            EXPECT_GE(requests[i].argument, 0x500u);
            EXPECT_LE(requests[i].argument + requests[i].length, 0x500u + 0x140u);
        }
    }
}

} // namespace
