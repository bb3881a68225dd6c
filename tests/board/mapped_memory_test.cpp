// Shared memory mapped into the driver channel: the copy is the board's
// memory both ways for every host, bounds hold, and watched requests travel
// as frames again.
#include "virtual_board_fixture.h"

#include <cstring>

namespace hb::test {
namespace {

class MappedMemoryTest : public VirtualBoardTest {
  protected:
    // A board handle on an untraced board that hands over its memory.
    HbHandle openMapped(int index = 0,
                        vboard::MemoryTransport transport = vboard::MemoryTransport::Mapped) {
        vboard::BoardConfig config;
        config.transport = transport;
        device_->addBoard(index, config).setTracing(false);
        AcceleratorBoard* handle = open(index);
        return handle != nullptr ? handle->deviceHandle : HB_INVALID_HANDLE;
    }
};

TEST_F(MappedMemoryTest, EveryHostAndTheVpSideSeeOneMemoryWithoutAFrame) {
    const HbHandle device = openMapped();
    ASSERT_NE(device, HB_INVALID_HANDLE);
    const uint32_t word = 0x12345678;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 0x100, &word, 4), 1);
    EXPECT_EQ(board(0).readSharedWord(0x100), word) << "visible when the call returns";
    ASSERT_TRUE(board(0).writeSharedWord(0x200, 0xCAFEF00D));
    uint32_t back = 0;
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(device, 0x200, &back, 4), 1);
    EXPECT_EQ(back, 0xCAFEF00Du);

    // A second host of a mapped board, and two hosts of a socket board.
    const HbHandle socket = openMapped(1, vboard::MemoryTransport::Socket);
    const std::pair<HbHandle, HbHandle> pairs[] = {{device, open(0)->deviceHandle},
                                                   {socket, open(1)->deviceHandle}};
    for (const auto& [first, second] : pairs) {
        ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(first, 0x10, &word, 4), 1);
        ASSERT_EQ(hb_DeviceIoSharedMemoryRead(second, 0x10, &back, 4), 1);
        EXPECT_EQ(back, word);
    }
    board(0).setTracing(true);
    EXPECT_EQ(board(0).trace().size(), 0u) << "the copies sent no request";
}

TEST_F(MappedMemoryTest, TransfersBeyondTheMemoryAreRefusedAndTouchNothing) {
    const HbHandle device = openMapped();
    ASSERT_NE(device, HB_INVALID_HANDLE);
    const uint32_t size = board(0).sharedMemorySize();
    uint8_t bytes[8];
    std::memset(bytes, 0x5A, sizeof bytes);
    const struct {
        uint32_t offset, length;
    } outside[] = {{size - 4, 8}, {size, 1}, {0xFFFFFFFC, 8}, {size + 4096, 4}};
    for (const auto& o : outside) {
        SCOPED_TRACE(o.offset);
        EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(device, o.offset, bytes, o.length), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, o.offset, bytes, o.length), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(board(0).readSharedWord(size - 4), 0u);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(device, size, bytes, 0), 1) << "empty, at the end";
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, size - 4, bytes, 4), 1) << "the last word";
}

TEST_F(MappedMemoryTest, WatchedRequestsTravelAsFramesAndAreTracedAndFaulted) {
    const HbHandle device = openMapped();
    ASSERT_NE(device, HB_INVALID_HANDLE);
    uint32_t word = 0;
    board(0).setFaultPlan(vboard::parseFaultPlan("fail:SharedMemoryRead#2=1167"));
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, &word, 4), 1);
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, &word, 4), 0) << "the plan's second read";
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(board(0).faultCounts().requestsHit, 1u);
    board(0).setFaultPlan({});

    board(0).setTracing(true);
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 8, &word, 4), 1);
    EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_WRITE), 1u);
    board(0).setTracing(false);
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 8, &word, 4), 1);
    board(0).setTracing(true);
    EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_WRITE), 1u) << "untraced: a copy again";
}

} // namespace
} // namespace hb::test
