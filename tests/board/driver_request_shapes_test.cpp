// Every driver request as the driver receives it (control code and buffers),
// through the in-process fake driver: the same program runs on every
// platform, so the requests and the event handed to the driver are checked
// on each backend's own handles.
#include "support/fake_device.h"

#include "hbsys9u.h"
#include "little_endian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using hbtest::FakeBoard;
using hbtest::FakeDevice;
using hbtest::FakeRequest;

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    return hb::getLe32(bytes.data() + offset);
}

class DriverRequestShapes : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_.addBoard(3);
        board_ = hbAcceleratorBoardCreate(fake_.baseName().c_str(), 3, 0);
        ASSERT_NE(board_, nullptr);
        device_ = board_->deviceHandle;
    }
    void TearDown() override { hbAcceleratorBoardDestroy(board_); }

    FakeBoard& fake() { return *fake_.board(3); }
    FakeRequest last() { return fake().requests().back(); }

    FakeDevice fake_;
    AcceleratorBoard* board_ = nullptr;
    HbHandle device_ = nullptr;
};

TEST_F(DriverRequestShapes, BoardHandlesOpenTheDeviceByIndexAndCloseIt) {
    EXPECT_EQ(fake().openHandles(), 1u);
    AcceleratorBoard* second = hbAcceleratorBoardCreate(fake_.baseName().c_str(), 3, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(fake().openHandles(), 2u);
    hbAcceleratorBoardDestroy(second);
    EXPECT_EQ(fake().openHandles(), 1u);

    hbSetLastError(0);
    EXPECT_EQ(hbAcceleratorBoardCreate(fake_.baseName().c_str(), 4, 0), nullptr) << "no board 4";
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
}

TEST_F(DriverRequestShapes, NoDeviceOrMissingCountSendsNothing) {
    uint8_t buffer[16] = {};
    uint32_t returned = 0;
    for (HbHandle device : {HbHandle{nullptr}, HB_INVALID_HANDLE}) {
        hbSetLastError(0);
        EXPECT_EQ(hb_DeviceIoResetVp(device), 0);
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, buffer, 4), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    hbSetLastError(0);
    EXPECT_EQ(hb_DeviceIoVpRead(device_, buffer, 4, nullptr), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb_DeviceIoVpWrite(device_, buffer, buffer, 4, nullptr), 0);
    EXPECT_EQ(fake().requestCount(), 0u);
    EXPECT_EQ(hb_DeviceIoVpWrite(device_, buffer, buffer, 4, &returned), 1);
    EXPECT_EQ(last().controlCode, HB_IOCTL_VP_WRITE);
    EXPECT_EQ(last().inSize, 16u);
    EXPECT_EQ(returned, 4u);
}

TEST_F(DriverRequestShapes, RegistrationRecordAndTheEventTheDriverSignals) {
    HbHandle event = hb__EventCreate(0);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(device_, HB_EVENT_MONITOR_REPLY, event, 10, 20, 30, 5),
              1);
    const FakeRequest registration = last();
    EXPECT_EQ(registration.controlCode, HB_IOCTL_ASYNC_EVENT_REGISTER);
    ASSERT_EQ(registration.input.size(), 24u);
    EXPECT_EQ(wordAt(registration.input, 0), HB_EVENT_MONITOR_REPLY);
    EXPECT_EQ(wordAt(registration.input, 4),
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hb__EventOSHandle(event))));
    EXPECT_EQ(wordAt(registration.input, 8), 20u) << "param2 first";
    EXPECT_EQ(wordAt(registration.input, 12), 10u);
    EXPECT_EQ(wordAt(registration.input, 16), 30u);
    EXPECT_EQ(wordAt(registration.input, 20), 1u) << "the flag as 0 or 1";

    // The handle value the record carries names the event.
    EXPECT_EQ(hb__EventLock(event, 0.0), HB_ERROR_SEM_TIMEOUT);
    ASSERT_TRUE(fake().raiseEvent(HB_EVENT_MONITOR_REPLY));
    EXPECT_EQ(hb__EventLock(event, 0.0), 0u);
    hb__EventReset(event);

    ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(device_, HB_EVENT_MONITOR_REPLY), 1);
    EXPECT_EQ(last().input, std::vector<uint8_t>({3, 0, 0, 0}));
    EXPECT_FALSE(fake().raiseEvent(HB_EVENT_MONITOR_REPLY));
    hbSetLastError(0);
    EXPECT_EQ(hb_DeviceIoAsyncEventDeregister(device_, HB_EVENT_MONITOR_REPLY), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER) << "the driver's code";
    hb__EventDestroy(event);
}

TEST_F(DriverRequestShapes, SharedMemoryRegistersSignalsResetAndHardwareInformation) {
    const uint8_t data[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device_, 0x100, data, sizeof data), 1);
    EXPECT_EQ(last().argument, 0x100u);
    EXPECT_EQ(last().length, 5u);
    uint8_t back[5] = {};
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(device_, 0x100, back, sizeof back), 1);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(device_, 0x100, nullptr, 0), 1);
    EXPECT_EQ(last().controlCode, HB_IOCTL_SHARED_MEMORY_READ) << "zero length still sent";
    EXPECT_EQ(last().length, 0u);

    ASSERT_EQ(hb_DeviceIoPlxRegisterWrite(device_, 0x44, 0xCAFE), 1);
    EXPECT_EQ(fake().registerValue(0x44), 0xCAFEu);
    uint32_t value = 0;
    ASSERT_EQ(hb_DeviceIoPlxRegisterRead(device_, 0x44, &value), 1);
    EXPECT_EQ(value, 0xCAFEu);

    ASSERT_EQ(hb_DeviceIoAckVp(device_), 1);
    EXPECT_EQ(last().controlCode, HB_IOCTL_SIGNAL_VP);
    EXPECT_EQ(last().input, std::vector<uint8_t>({1, 0, 0, 0}));
    ASSERT_EQ(hb_DeviceIoDebuggerBreak(device_), 1);
    EXPECT_EQ(last().controlCode, HB_IOCTL_SIGNAL_VP);
    EXPECT_EQ(last().input, std::vector<uint8_t>({7, 0, 0, 0}));

    ASSERT_EQ(hb_DeviceIoResetVp(device_), 1);
    EXPECT_EQ(last().inSize, 0u);
    EXPECT_EQ(fake().resets(), 1u);

    HwInfo info{};
    ASSERT_EQ(hb_DeviceIoGetHwInfo(device_, &info), 1);
    EXPECT_EQ(last().length, 68u);
    EXPECT_EQ(info.boardType, 22u);
    EXPECT_EQ(info.busWidth, 4u);

    fake().failNext(HB_IOCTL_RESET_VP, 1167);
    hbSetLastError(0);
    EXPECT_EQ(hb_DeviceIoResetVp(device_), 0);
    EXPECT_EQ(hbGetLastError(), 1167u) << "the driver's code stays";
    EXPECT_EQ(fake().resets(), 1u);
}

} // namespace
