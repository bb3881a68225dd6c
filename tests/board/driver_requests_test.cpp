// Every driver request as the board receives it, checked against the literal
// control codes and buffer layouts of the driver's contract, and its effect
// on the board; board handles: device naming, what opening refuses, closing.
#include "virtual_board_fixture.h"

#include <fstream>
#include <tuple>

namespace hb::test {
namespace {

const uint8_t kSix[6] = {1, 2, 3, 4, 5, 6};
const uint8_t kVpRequest[16] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF};

// A request as the board received it: its code, the input buffer, the
// second buffer where it carries data to the driver, and the offset, length
// and value the trace decodes.
using Seen = std::tuple<uint32_t, Bytes, Bytes, uint32_t, uint32_t, uint32_t>;

// The VP side: records each request it is shown (a letter and two words),
// and at a write stores the word that the next request reads back, which
// shows that it runs before the write's reply.
class Recorder : public vboard::VpSide {
  public:
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override {
        seen.push_back({'w', offset, length});
        board.writeSharedWord(0xFFC, 0xA1B2C3D4);
    }
    void onReset(vboard::Board&) override { seen.push_back({'r', 0, 0}); }
    void onRegisterWrite(vboard::Board&, uint32_t offset, uint32_t value) override {
        seen.push_back({'g', offset, value});
    }
    void onSignal(vboard::Board&, uint32_t code) override { seen.push_back({'s', code, 0}); }
    std::vector<std::tuple<char, uint32_t, uint32_t>> seen;
};

// A call's result with the last error it left, which it then clears.
std::pair<int32_t, uint32_t> outcome(int32_t result) {
    const std::pair<int32_t, uint32_t> seen(result, hbGetLastError());
    hbSetLastError(0);
    return seen;
}

// A board of type 27, width 1: 4 KiB of shared memory.
class DriverRequestsTest : public VirtualBoardTest {
  protected:
    void SetUp() override {
        handle_ = open(0, {.boardType = 27, .busWidth = 1});
        event_ = hb__EventCreate(0);
    }
    void TearDown() override {
        VirtualBoardTest::TearDown();
        hb__EventDestroy(event_);
    }
    HbHandle device() const { return handle_->deviceHandle; }

    // Sends every kind of request once on `d`: each result, with the last
    // error it left.
    std::vector<std::pair<int32_t, uint32_t>> sendAll(HbHandle d) {
        hbSetLastError(0);
        return {outcome(hb_DeviceIoResetVp(d)),
                outcome(hb_DeviceIoPlxRegisterWrite(d, 0x44, 0xCAFE0002)),
                outcome(hb_DeviceIoPlxRegisterRead(d, 0x44, &value_)),
                outcome(hb_DeviceIoSharedMemoryWrite(d, 0x500, kSix, 6)),
                outcome(hb_DeviceIoSharedMemoryRead(d, 0xFFC, &word_, 4)),
                outcome(hb_DeviceIoSharedMemoryRead(d, 0x40, nullptr, 0)),
                outcome(hb_DeviceIoSharedMemoryWrite(d, 0x80, kSix, 0)),
                outcome(hb_DeviceIoAsyncEventRegister(d, 6, event_, 10, 20, 30, 5)),
                outcome(hb_DeviceIoAsyncEventDeregister(d, 6)),
                outcome(hb_DeviceIoAsyncEventRegister(d, 3, event_, 0, 0, 0, -1)),
                outcome(hb_DeviceIoAsyncEventRegister(d, 7, event_, 1, 2, 3, 0)),
                outcome(hb_DeviceIoVpWrite(d, kVpRequest, "to the VP", 9, &returned_)),
                outcome(hb_DeviceIoVpRead(d, fromVp_, 8, &returned_)),
                outcome(hb_DeviceIoAckVp(d)),
                outcome(hb_DeviceIoDebuggerBreak(d)),
                outcome(hb_DeviceIoGetHwInfo(d, &info_))};
    }

    AcceleratorBoard* handle_ = nullptr;
    HbHandle event_ = nullptr;
    uint32_t value_ = 0, word_ = 0, returned_ = 0;
    char fromVp_[8] = {};
    HwInfo info_{};
};

TEST_F(DriverRequestsTest, EachRequestCarriesTheContractsCodeAndBuffersAndTakesEffect) {
    auto vp = std::make_shared<Recorder>();
    board(0).setVpSide(vp);
    board(0).sendToHost("from the VP", 11);
    const int descriptors = countOpenDescriptors();
    for (const auto& [result, error] : sendAll(device()))
        EXPECT_EQ(result, 1) << error;
    board(0).setVpSide(nullptr);
    const auto h = uint32_t(reinterpret_cast<uintptr_t>(hb__EventOSHandle(event_)));
    const Bytes text{'t', 'o', ' ', 't', 'h', 'e', ' ', 'V', 'P'};
    const Seen expected[] = {
        {0x80012003, none, none, 0, 0, 0},
        {0x8001A009, words({0x44}), words({0xCAFE0002}), 0x44, 0, 0xCAFE0002},
        {0x80016004, words({0x44}), none, 0x44, 0, 0xCAFE0002},
        {0x8001A011, words({0x500}), Bytes(kSix, kSix + 6), 0x500, 6, 0x04030201},
        {0x8001600E, words({0xFFC}), none, 0xFFC, 4, 0xA1B2C3D4}, // stored before the reply
        {0x8001600E, words({0x40}), none, 0x40, 0, 0},            // an empty transfer is still sent
        {0x8001A011, words({0x80}), none, 0x80, 0, 0},
        {0x80012048, words({6, h, 20, 10, 30, 1}), none, 6, 0, 1}, // param2 first; flag 5 is 1
        {0x8001204C, words({6}), none, 6, 0, 0},
        {0x80012048, words({3, h, 0, 0, 0, 1}), none, 3, 0, 1}, // flag -1 is 1
        {0x80012048, words({7, h, 2, 1, 3, 0}), none, 7, 0, 0}, // flag 0 stays 0
        {0x80012059, Bytes(kVpRequest, kVpRequest + 16), text, 0, 9, 0x74206F74},
        {0x80012056, none, none, 0, 8, 0x6D6F7266},
        {0x8001A05C, words({1}), none, 0, 0, 1},
        {0x8001A05C, words({7}), none, 0, 0, 7},
        {0x8001A08C, none, none, 0, 0, 0},
    };
    const auto trace = board(0).trace();
    ASSERT_EQ(trace.size(), std::size(expected));
    for (size_t i = 0; i < trace.size(); ++i) {
        const vboard::TraceEntry& t = trace[i];
        EXPECT_EQ(Seen(t.controlCode, t.input, t.data, t.offset, t.length, t.value), expected[i])
            << t.text();
    }
    // What each request did; an empty write is nothing to the VP side.
    const std::vector<std::tuple<char, uint32_t, uint32_t>> shown = {
        {'r', 0, 0}, {'g', 0x44, 0xCAFE0002}, {'w', 0x500, 6}, {'s', 1, 0}, {'s', 7, 0}};
    EXPECT_EQ(vp->seen, shown);
    EXPECT_EQ(std::pair(board(0).registerValue(0x44), value_), std::pair(0xCAFE0002u, 0xCAFE0002u));
    char taken[16] = {};
    EXPECT_EQ(board(0).takeFromHost(taken, sizeof taken), 9u);
    EXPECT_STREQ(taken, "to the VP");
    EXPECT_EQ(std::string(fromVp_, returned_), "from the");
    EXPECT_EQ(hb_DeviceIoVpRead(device(), fromVp_, 8, &returned_), 1);
    EXPECT_EQ(std::string(fromVp_, returned_), " VP");
    EXPECT_EQ(hb_DeviceIoVpRead(device(), fromVp_, 8, &returned_), 1);
    EXPECT_EQ(returned_, 0u) << "nothing more sent: an empty read, not a wait";
    // The record: board type at byte 0, serial number, revision, memory
    // size, register space, and the bus width at byte 44.
    const auto* record = reinterpret_cast<const uint8_t*>(&info_);
    EXPECT_EQ(Bytes(record, record + 20), words({27, 0x48420001, 1, 0x1000, 0x200}));
    EXPECT_EQ(Bytes(record + 44, record + 48), words({1}));
    // Events 3 and 7 stay registered, each holding the event's eventfd on
    // the board; 6 was withdrawn. They go with the handle.
    EXPECT_EQ(countOpenDescriptors(), descriptors + 2);
    EXPECT_FALSE(board(0).raiseEvent(6));
    EXPECT_TRUE(board(0).raiseEvent(3));
    EXPECT_EQ(hb__EventLock(event_, 10.0), 0u);
    close(handle_);
    EXPECT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
    EXPECT_FALSE(board(0).isEventRegistered(3));
    EXPECT_EQ(countOpenDescriptors(), descriptors - 2) << "both ends of the socket went too";
}

TEST_F(DriverRequestsTest, RefusedRequestsSendNothing) {
    const auto all = reinterpret_cast<HbHandle>(uintptr_t{0xFFFFFFFF});
    for (HbHandle device : {HbHandle{nullptr}, HB_INVALID_HANDLE, all}) {
        for (const auto& result : sendAll(device))
            EXPECT_EQ(result, std::make_pair(0, HB_ERROR_INVALID_PARAMETER));
    }
    char buffer[16] = {};
    HbHandle mutex = hb__MutexCreate();
    hbSetLastError(0);
    const std::vector<std::pair<int32_t, uint32_t>> refusals = {
        outcome(hb_DeviceIoVpRead(device(), buffer, 4, nullptr)), // no count
        outcome(hb_DeviceIoVpWrite(device(), buffer, buffer, 4, nullptr)),
        outcome(hb_DeviceIoResetVp(event_)),                                    // no device
        outcome(hb_DeviceIoAsyncEventRegister(device(), 6, mutex, 0, 0, 0, 0)), // no event
        outcome(hb_DeviceIoAsyncEventRegister(device(), 6, nullptr, 0, 0, 0, 0)),
    };
    EXPECT_EQ(refusals, (std::vector<std::pair<int32_t, uint32_t>>{
                            {0, 87}, {0, 87}, {0, 6}, {0, 6}, {0, 6}}));
    hb__DeviceIoClose(event_); // no device: left alone
    EXPECT_EQ(hb__EventSet(event_), 0u);
    hb__MutexDestroy(mutex);
    EXPECT_TRUE(board(0).trace().empty());
}

// ---- Board handles ----------------------------------------------------------

using BoardHandleTest = VirtualBoardTest;

TEST_F(BoardHandleTest, AHandleOpensTheDeviceNamedByIndexPlusOneAndClosesItKeepingTheError) {
    const std::pair<int, std::string> cases[] = {{0, "1"}, {9, "10"}, {15, "16"}};
    for (const auto& [index, suffix] : cases)
        EXPECT_EQ(device_->addBoard(index, {}).socketPath(), base_ + suffix);
    const int before = countOpenDescriptors();
    for (const auto& [index, suffix] : cases) {
        AcceleratorBoard* handle = open(index);
        EXPECT_EQ(handle->boardIndex, index);
        HwInfo info{};
        ASSERT_TRUE(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info));
        EXPECT_EQ(countRequests(index, HB_IOCTL_GET_HW_INFO), 1u) << suffix;
        hbSetLastError(77);
        close(handle);
        EXPECT_EQ(hbGetLastError(), 77u);
        EXPECT_TRUE(eventually([&] { return board(index).connectionCount() == 0; }));
    }
    EXPECT_EQ(countOpenDescriptors(), before);
    hbAcceleratorBoardDestroy(nullptr);
    EXPECT_EQ(hbGetLastError(), 77u);
}

TEST_F(BoardHandleTest, CreateRefusesBadArgumentsAndMissingDevicesWithNothingLeftOpen) {
    device_->addBoard(0, {});
    const int before = countOpenDescriptors();
    hbSetLastError(1234);
    EXPECT_EQ(hb__DeviceIoOpen(nullptr, 0, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), -1, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), 1234u) << "no open attempted, last error untouched";

    // Board 2: nothing there. Board 3: a socket nobody listens on. Board 4: a
    // plain file. Board 5: something that accepts and hangs up at once.
    const int refusing = socketAt(base_ + "3", false);
    std::ofstream(base_ + "4") << "not a device";
    const int rude = socketAt(base_ + "5", true);
    ASSERT_GE(refusing, 0);
    ASSERT_GE(rude, 0);
    std::thread hangUp([&] { ::close(::accept(rude, nullptr, nullptr)); });
    const std::string longBase = directory_ + "/" + std::string(200, 'n');
    const std::tuple<const char*, int32_t, uint32_t> cases[] = {
        {base_.c_str(), 1, HB_ERROR_FILE_NOT_FOUND},
        {base_.c_str(), 2, HB_ERROR_ACCESS_DENIED},
        {base_.c_str(), 3, HB_ERROR_ACCESS_DENIED},
        {base_.c_str(), 4, HB_ERROR_DEVICE_NOT_CONNECTED},
        {longBase.c_str(), 0, HB_ERROR_FILENAME_EXCED_RANGE}};
    for (const auto& [base, index, openError] : cases) {
        EXPECT_EQ(hb__DeviceIoOpen(base, index, 0), HB_INVALID_HANDLE) << index;
        EXPECT_EQ(hbGetLastError(), openError) << index;
        if (index != 4) {
            EXPECT_EQ(hbAcceleratorBoardCreate(base, index, 0), nullptr) << index;
            EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK) << "9 replaces " << openError;
        }
    }
    hangUp.join();
    ::close(refusing);
    ::close(rude);
    for (int32_t index : {-1, 0}) {
        hbSetLastError(0);
        EXPECT_EQ(hbAcceleratorBoardCreate(index < 0 ? base_.c_str() : nullptr, index, 0), nullptr);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
    }
    // Indices past the per-board tables are refused before any open.
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 16, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(board(0).connectionCount(), 0u);
    EXPECT_EQ(countOpenDescriptors(), before);
}

} // namespace
} // namespace hb::test
