// Every driver request as the board receives it, and its effect on the board.
#include "little_endian.h"
#include "virtual_board_fixture.h"

#include <atomic>
#include <cstring>
#include <future>
#include <vector>

namespace hb::test {
namespace {

using DriverRequestsTest = VirtualBoardTest;

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    return hb::getLe32(bytes.data() + offset);
}

TEST_F(DriverRequestsTest, NoDeviceHandleOrMissingCountSendsNothing) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HbHandle event = hb__EventCreate(0);
    uint8_t buffer[16] = {};
    uint32_t value = 0;
    uint32_t returned = 0;
    HwInfo info{};
    for (HbHandle device : {HbHandle{nullptr}, HB_INVALID_HANDLE}) {
        const int32_t results[] = {
            hb_DeviceIoResetVp(device),
            hb_DeviceIoPlxRegisterRead(device, 0x40, &value),
            hb_DeviceIoPlxRegisterWrite(device, 0x40, 1),
            hb_DeviceIoSharedMemoryRead(device, 0, buffer, 4),
            hb_DeviceIoSharedMemoryWrite(device, 0, buffer, 4),
            hb_DeviceIoAsyncEventRegister(device, 6, event, 0, 0, 0, 0),
            hb_DeviceIoAsyncEventDeregister(device, 6),
            hb_DeviceIoVpRead(device, buffer, 4, &returned),
            hb_DeviceIoVpWrite(device, buffer, buffer, 4, &returned),
            hb_DeviceIoAckVp(device),
            hb_DeviceIoDebuggerBreak(device),
            hb_DeviceIoGetHwInfo(device, &info),
        };
        for (int32_t result : results) {
            EXPECT_EQ(result, 0);
        }
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    hbSetLastError(0);
    EXPECT_EQ(hb_DeviceIoVpRead(handle->deviceHandle, buffer, 4, nullptr), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    hbSetLastError(0);
    EXPECT_EQ(hb_DeviceIoVpWrite(handle->deviceHandle, buffer, buffer, 4, nullptr), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(board(0).trace().empty());
    hb__EventDestroy(event);
}

TEST_F(DriverRequestsTest, RegistrationRecordAndARealEventSignalledUntilDeregistered) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HbHandle event = hb__EventCreate(0);
    ASSERT_NE(event, nullptr);
    const int before = countOpenDescriptors();

    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(handle->deviceHandle, 6, event, 10, 20, 30, 5), 1);
    const auto trace = board(0).trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].controlCode, HB_IOCTL_ASYNC_EVENT_REGISTER);
    EXPECT_EQ(trace[0].name, "AsyncEventRegister");
    ASSERT_EQ(trace[0].input.size(), 24u);
    EXPECT_EQ(wordAt(trace[0].input, 0), 6u);
    EXPECT_EQ(wordAt(trace[0].input, 4),
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hb__EventOSHandle(event))));
    EXPECT_EQ(wordAt(trace[0].input, 8), 20u) << "param2 comes first";
    EXPECT_EQ(wordAt(trace[0].input, 12), 10u);
    EXPECT_EQ(wordAt(trace[0].input, 16), 30u);
    EXPECT_EQ(wordAt(trace[0].input, 20), 1u) << "flag 5 travels as 1";
    EXPECT_TRUE(trace[0].data.empty());
    EXPECT_TRUE(board(0).isEventRegistered(6));
    EXPECT_EQ(countOpenDescriptors(), before + 1) << "the board holds the event's eventfd";

    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    EXPECT_TRUE(board(0).raiseEvent(6));
    EXPECT_EQ(hb__EventLock(event, 10.0), 0u);
    EXPECT_FALSE(board(0).raiseEvent(3)) << "nothing registered for 3";

    ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(handle->deviceHandle, 6), 1);
    EXPECT_EQ(board(0).trace().back().name, "AsyncEventDeregister");
    EXPECT_EQ(board(0).trace().back().input, (std::vector<uint8_t>{6, 0, 0, 0}));
    EXPECT_FALSE(board(0).isEventRegistered(6));
    EXPECT_FALSE(board(0).raiseEvent(6));
    EXPECT_EQ(countOpenDescriptors(), before) << "deregistration releases the eventfd";

    // Deregistering again matches nothing.
    EXPECT_EQ(hb_DeviceIoAsyncEventDeregister(handle->deviceHandle, 6), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);

    // Flag 0 stays 0; a registration goes when its handle is closed.
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(handle->deviceHandle, 3, event, 0, 0, 0, 0), 1);
    EXPECT_EQ(wordAt(board(0).trace().back().input, 20), 0u);
    close(handle);
    EXPECT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
    EXPECT_FALSE(board(0).isEventRegistered(3));
    EXPECT_EQ(countOpenDescriptors(), before - 2) << "both ends of the handle's socket went too";
    hb__EventDestroy(event);
}

TEST_F(DriverRequestsTest, RegisteringSomethingThatIsNotAnEventFailsWithoutARequest) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HbHandle mutex = hb__MutexCreate();
    EXPECT_EQ(hb_DeviceIoAsyncEventRegister(handle->deviceHandle, 6, mutex, 0, 0, 0, 0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_HANDLE);
    EXPECT_EQ(hb_DeviceIoAsyncEventRegister(handle->deviceHandle, 6, nullptr, 0, 0, 0, 0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_HANDLE);
    EXPECT_TRUE(board(0).trace().empty());
    hb__MutexDestroy(mutex);
}

TEST_F(DriverRequestsTest, AcknowledgeAndDebuggerBreakDifferOnlyInTheSignalCode) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(hb_DeviceIoAckVp(handle->deviceHandle), 1);
    ASSERT_EQ(hb_DeviceIoDebuggerBreak(handle->deviceHandle), 1);
    const auto trace = board(0).trace();
    ASSERT_EQ(trace.size(), 2u);
    for (const auto& entry : trace) {
        EXPECT_EQ(entry.controlCode, HB_IOCTL_SIGNAL_VP);
        EXPECT_EQ(entry.input.size(), 4u);
        EXPECT_TRUE(entry.data.empty());
    }
    EXPECT_EQ(wordAt(trace[0].input, 0), HB_SIGNAL_ACK);
    EXPECT_EQ(wordAt(trace[1].input, 0), HB_SIGNAL_DEBUGGER_BREAK);
    EXPECT_EQ(board(0).signalsReceived(), (std::vector<uint32_t>{1, 7}));
}

TEST_F(DriverRequestsTest, SharedMemoryMovesBytesBothWaysAndRefusesOutOfRange) {
    AcceleratorBoard* handle = open(0, boardOfType(27, 1)); // 4 KiB
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(board(0).sharedMemorySize(), 4096u);
    const uint8_t block[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x500, block, sizeof block), 1);
    uint8_t seen[6] = {};
    ASSERT_TRUE(board(0).readShared(0x500, seen, sizeof seen));
    EXPECT_EQ(std::memcmp(seen, block, sizeof block), 0);

    ASSERT_TRUE(board(0).writeSharedWord(0xFFC, 0xA1B2C3D4));
    uint32_t word = 0;
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0xFFC, &word, 4), 1);
    EXPECT_EQ(word, 0xA1B2C3D4u);

    auto trace = board(0).trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].name, "SharedMemoryWrite");
    EXPECT_EQ(trace[0].offset, 0x500u);
    EXPECT_EQ(trace[0].length, 6u);
    EXPECT_EQ(trace[0].value, 0x04030201u);
    EXPECT_EQ(trace[0].input, (std::vector<uint8_t>{0x00, 0x05, 0, 0}));
    EXPECT_EQ(trace[0].data, std::vector<uint8_t>(block, block + 6));
    EXPECT_EQ(trace[1].name, "SharedMemoryRead");
    EXPECT_EQ(trace[1].offset, 0xFFCu);
    EXPECT_EQ(trace[1].length, 4u);
    EXPECT_EQ(trace[1].value, 0xA1B2C3D4u);

    // Past the end, or wrapping around 32 bits: refused, nothing changed.
    board(0).clearTrace();
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0xFFE, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0xFFFFFFFF, block, 2), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x1000, block, 1), 0);
    EXPECT_EQ(board(0).readSharedWord(0xFFC), 0xA1B2C3D4u);
    trace = board(0).trace();
    ASSERT_EQ(trace.size(), 3u);
    for (const auto& entry : trace) {
        EXPECT_EQ(entry.status, HB_ERROR_INVALID_PARAMETER) << entry.text();
    }
}

TEST_F(DriverRequestsTest, ZeroLengthSharedMemoryRequestsStillReachTheBoard) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    uint8_t unused = 0x5A;
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0x40, &unused, 0), 1);
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x40, &unused, 0), 1);
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0x80, nullptr, 0), 1);
    EXPECT_EQ(unused, 0x5A);
    const auto trace = board(0).trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[0].name, "SharedMemoryRead");
    EXPECT_EQ(trace[0].offset, 0x40u);
    EXPECT_EQ(trace[0].length, 0u);
    EXPECT_EQ(trace[1].name, "SharedMemoryWrite");
    EXPECT_EQ(trace[1].length, 0u);
    EXPECT_TRUE(trace[1].data.empty());
    EXPECT_EQ(trace[2].offset, 0x80u);
}

TEST_F(DriverRequestsTest, BridgeRegistersResetAndHardwareInformation) {
    vboard::BoardConfig config = boardOfType(27, 2);
    config.serialNumber = 0x1234;
    config.revision = 3;
    AcceleratorBoard* handle = open(0, config);
    ASSERT_NE(handle, nullptr);

    ASSERT_EQ(hb_DeviceIoPlxRegisterWrite(handle->deviceHandle, 0x40, 0xCAFE0001), 1);
    ASSERT_EQ(hb_DeviceIoPlxRegisterWrite(handle->deviceHandle, 0x44, 0xCAFE0002), 1);
    uint32_t value = 0;
    ASSERT_EQ(hb_DeviceIoPlxRegisterRead(handle->deviceHandle, 0x44, &value), 1);
    EXPECT_EQ(value, 0xCAFE0002u);
    EXPECT_EQ(board(0).registerValue(0x40), 0xCAFE0001u);
    EXPECT_EQ(hb_DeviceIoPlxRegisterRead(handle->deviceHandle, 0x42, &value), 0)
        << "registers are 32-bit aligned";
    EXPECT_EQ(hb_DeviceIoPlxRegisterWrite(handle->deviceHandle, vboard::kRegisterSpaceSize, 1), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);

    ASSERT_EQ(hb_DeviceIoResetVp(handle->deviceHandle), 1);
    EXPECT_EQ(board(0).resetCount(), 1u);

    HwInfo info{};
    ASSERT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 1);
    EXPECT_EQ(info.boardType, 27u);
    EXPECT_EQ(info.busWidth, 2u);
    EXPECT_EQ(info.driverData1[0], 0x1234u);
    EXPECT_EQ(info.driverData1[1], 3u);
    EXPECT_EQ(info.driverData1[2], 16u * 1024u) << "shared memory size";

    // The driver sees, in this order:
    std::vector<std::string> names;
    for (const auto& entry : board(0).trace()) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"PlxRegisterWrite", "PlxRegisterWrite",
                                               "PlxRegisterRead", "PlxRegisterRead",
                                               "PlxRegisterWrite", "ResetVp", "GetHwInfo"}));
    const auto trace = board(0).trace();
    EXPECT_EQ(trace[0].input, (std::vector<uint8_t>{0x40, 0, 0, 0}));
    EXPECT_EQ(trace[0].data, (std::vector<uint8_t>{0x01, 0x00, 0xFE, 0xCA}));
    EXPECT_EQ(trace[2].value, 0xCAFE0002u);
    EXPECT_TRUE(trace[5].input.empty());
}

TEST_F(DriverRequestsTest, VpWritesAndReadsAreTwoByteQueues) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    const uint8_t vpRequest[16] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF};
    const char payload[] = "to the VP";
    uint32_t returned = 0;
    ASSERT_EQ(hb_DeviceIoVpWrite(handle->deviceHandle, vpRequest, payload, 9, &returned), 1);
    EXPECT_EQ(returned, 9u);
    const auto entry = board(0).trace().back();
    EXPECT_EQ(entry.name, "VpWrite");
    EXPECT_EQ(entry.input, std::vector<uint8_t>(vpRequest, vpRequest + 16));
    EXPECT_EQ(entry.data, std::vector<uint8_t>(payload, payload + 9));
    char taken[32] = {};
    EXPECT_EQ(board(0).takeFromHost(taken, 4), 4u);
    EXPECT_EQ(board(0).takeFromHost(taken + 4, sizeof taken - 4), 5u);
    EXPECT_STREQ(taken, "to the VP");

    char buffer[8] = {};
    ASSERT_EQ(hb_DeviceIoVpRead(handle->deviceHandle, buffer, sizeof buffer, &returned), 1);
    EXPECT_EQ(returned, 0u) << "nothing sent yet: an empty read, not a wait";
    board(0).sendToHost("from the VP", 11);
    ASSERT_EQ(hb_DeviceIoVpRead(handle->deviceHandle, buffer, sizeof buffer, &returned), 1);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(std::string(buffer, 8), "from the");
    ASSERT_EQ(hb_DeviceIoVpRead(handle->deviceHandle, buffer, sizeof buffer, &returned), 1);
    EXPECT_EQ(std::string(buffer, returned), " VP");
}

// A VP side that answers a request word as soon as the host writes it.
class Responder : public vboard::VpSide {
  public:
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override {
        writes.push_back({offset, length});
        if (offset == 0x100) {
            board.writeSharedWord(0x104, board.readSharedWord(0x100) + 1);
        }
    }
    void onReset(vboard::Board&) override { ++resets; }
    void onRegisterWrite(vboard::Board&, uint32_t offset, uint32_t value) override {
        registers.push_back({offset, value});
    }
    void onSignal(vboard::Board&, uint32_t code) override { signals.push_back(code); }

    std::vector<std::pair<uint32_t, uint32_t>> writes;
    std::vector<std::pair<uint32_t, uint32_t>> registers;
    std::vector<uint32_t> signals;
    int resets = 0;
};

TEST_F(DriverRequestsTest, VpSideSeesEachRequestBeforeItsReply) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    auto vp = std::make_shared<Responder>();
    board(0).setVpSide(vp);
    const uint32_t request = 41;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x100, &request, 4), 1);
    uint32_t answer = 0;
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0x104, &answer, 4), 1);
    EXPECT_EQ(answer, 42u) << "the hook ran before the write's reply";
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x200, &request, 0), 1);
    ASSERT_EQ(hb_DeviceIoResetVp(handle->deviceHandle), 1);
    ASSERT_EQ(hb_DeviceIoPlxRegisterWrite(handle->deviceHandle, 0x40, 9), 1);
    ASSERT_EQ(hb_DeviceIoDebuggerBreak(handle->deviceHandle), 1);
    board(0).setVpSide(nullptr);
    EXPECT_EQ(vp->writes, (std::vector<std::pair<uint32_t, uint32_t>>{{0x100, 4}}))
        << "an empty write changes nothing on the VP side";
    EXPECT_EQ(vp->resets, 1);
    EXPECT_EQ(vp->registers, (std::vector<std::pair<uint32_t, uint32_t>>{{0x40, 9}}));
    EXPECT_EQ(vp->signals, (std::vector<uint32_t>{7}));
}

TEST_F(DriverRequestsTest, WaitForSharedWordIsWokenByHostWrites) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    auto waiter = std::async(std::launch::async, [&] {
        return board(0).waitForSharedWord(0x4500, 0xFFFFFFFF, std::chrono::seconds(30));
    });
    const uint32_t marker = 0xFFFFFFFF;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0x4500, &marker, 4), 1);
    EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(board(0).waitForSharedWord(0x4504, 1, std::chrono::milliseconds(10)));
    EXPECT_FALSE(board(0).waitForSharedWord(board(0).sharedMemorySize() - 2, 0,
                                            std::chrono::milliseconds(10)))
        << "a word outside the memory never matches";
}

} // namespace
} // namespace hb::test
