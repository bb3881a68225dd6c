// A device process that is killed while the library waits on it: the request
// fails promptly with 1167, later ones too, and no SIGPIPE ends the host.
#include "virtual_board_fixture.h"

#include <atomic>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace hb::test {
namespace {

// On the device's side of the fork: reports each write on a pipe, then hangs
// the request until the process is killed.
class HangingVp : public vboard::VpSide {
  public:
    explicit HangingVp(int report) : report_(report) {}
    void onSharedMemoryWrite(vboard::Board&, uint32_t, uint32_t) override {
        const char byte = 'w';
        [[maybe_unused]] const ssize_t n = ::write(report_, &byte, 1);
        for (;;) {
            ::pause();
        }
    }

  private:
    int report_;
};

class DeviceLossTest : public VirtualBoardTest {
  protected:
    // Forks a process that serves board 0 and hangs every shared-memory write.
    // Mapped: an untraced board that hands over its memory, so that shared-
    // memory requests are copies.
    void startDeviceProcess(bool mapped = false) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(reports_), 0);
        child_ = ::fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            auto device = vboard::Device::create(base_);
            vboard::BoardConfig config;
            config.transport =
                mapped ? vboard::MemoryTransport::Mapped : vboard::MemoryTransport::Default;
            vboard::Board& board = device->addBoard(0, config);
            board.setVpSide(std::make_shared<HangingVp>(reports_[1]));
            board.setTracing(!mapped);
            board.setWriteNotices(!mapped);
            const char byte = 'r';
            [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
    }

    void killDeviceProcess() {
        ::kill(child_, SIGKILL);
        int status = 0;
        ::waitpid(child_, &status, 0);
        child_ = -1;
    }

    void TearDown() override {
        if (child_ > 0) {
            killDeviceProcess();
        }
        VirtualBoardTest::TearDown();
    }

    pid_t child_ = -1;
    int reports_[2] = {-1, -1};
};

TEST_F(DeviceLossTest, KilledDeviceFailsThePendingRequestAndAllLaterOnes) {
    startDeviceProcess();
    AcceleratorBoard* handle = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(handle, nullptr);
    boards_.push_back(handle);
    HwInfo info{};
    ASSERT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 1);

    std::atomic<uint32_t> error{0};
    std::atomic<int32_t> result{-1};
    std::thread writer([&] {
        const uint32_t word = 1;
        result = hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4);
        error = hbGetLastError();
    });
    char byte = 0;
    ASSERT_EQ(::read(reports_[0], &byte, 1), 1) << "the write reached the device";
    killDeviceProcess();
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, HB_ERROR_DEVICE_NOT_CONNECTED);

    EXPECT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(DeviceLossTest, RequestToADeadDeviceRaisesNoSignal) {
    startDeviceProcess();
    AcceleratorBoard* handle = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(handle, nullptr);
    boards_.push_back(handle);
    killDeviceProcess();
    // The peer is gone before the request is sent: the send itself fails.
    std::vector<uint8_t> block(256 * 1024, 7);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, block.data(),
                                           static_cast<uint32_t>(block.size())),
              0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    uint32_t returned = 0;
    EXPECT_EQ(hb_DeviceIoVpRead(handle->deviceHandle, block.data(), 4, &returned), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
}

// The host holds the board's memory mapped: nothing waits on the device, yet
// the next request after its death fails.
TEST_F(DeviceLossTest, AKilledDeviceFailsTheRequestsOfAMappedHostAtOnce) {
    startDeviceProcess(/*mapped=*/true);
    AcceleratorBoard* handle = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(handle, nullptr);
    boards_.push_back(handle);
    uint32_t word = 1;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4), 1);
    killDeviceProcess();
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
}

} // namespace
} // namespace hb::test
