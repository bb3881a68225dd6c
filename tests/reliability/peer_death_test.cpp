// The device process dies: while the library is idle, in the middle of a
// file-I/O request that the service thread is handling, and in the middle of
// a boot's download. Every call then returns promptly with a device error
// (1167 for requests on the old handle, 9 for a board handle that cannot be
// opened, 1460 for the boot, whose monitor transfer fails), and a board
// handle to a restarted device works again.
#include "boot/boot_internal.h"
#include "hbsys9u.h"
#include "support/pe_image_writer.h"
#include "support/request_agent.h"
#include "vboard/board.h"
#include "vboard/monitor.h"
#include "virtual_board_fixture.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace hb::test {
namespace {

using Clock = std::chrono::steady_clock;

// Hangs the device thread when the host answers a file-I/O request, and
// reports it on a pipe.
class HangOnAnswer : public vboard::VpSide {
  public:
    HangOnAnswer(uint32_t answerOffset, int report)
        : answerOffset_(answerOffset), report_(report) {}
    void onSharedMemoryWrite(vboard::Board&, uint32_t offset, uint32_t) override {
        if (offset != answerOffset_)
            return;
        const char byte = 'h';
        [[maybe_unused]] const ssize_t n = ::write(report_, &byte, 1);
        for (;;)
            ::pause();
    }

  private:
    uint32_t answerOffset_;
    int report_;
};

// The board monitor, reporting on a pipe when it has taken its Nth command.
class ReportingMonitor : public vboard::VpSide {
  public:
    ReportingMonitor(vboard::MonitorOptions options, size_t reportAt, int report)
        : monitor_(std::make_shared<vboard::Monitor>(options)), reportAt_(reportAt),
          report_(report) {}
    void onReset(vboard::Board& board) override { monitor_->onReset(board); }
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override {
        monitor_->onSharedMemoryWrite(board, offset, length);
        if (!reported_ && reportAt_ != 0 && monitor_->commands().size() >= reportAt_) {
            reported_ = true;
            const char byte = 'c';
            [[maybe_unused]] const ssize_t n = ::write(report_, &byte, 1);
        }
    }

  private:
    std::shared_ptr<vboard::Monitor> monitor_;
    size_t reportAt_;
    int report_;
    bool reported_ = false;
};

// A device serving board 0 in a process of its own.
class DeviceProcess {
  public:
    // With `postRequest`, the VP side posts one file-I/O request as soon as
    // the host registers its event, and the device hangs on the answer.
    void start(const std::string& base, bool postRequest) {
        spawn(base, [postRequest](vboard::Board& board, int ready, int report) {
            const hbtest::FileIoLayout where = hbtest::fileIoLayout(board.config(), false);
            board.setVpSide(std::make_shared<HangOnAnswer>(where.offset + 4, report));
            const char byte = 'r';
            [[maybe_unused]] ssize_t n = ::write(ready, &byte, 1);
            if (postRequest) {
                while (!board.isEventRegistered(6))
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const uint32_t environmentSize = 22;
                board.writeShared(where.offset, &environmentSize, 4);
                board.raiseEvent(6);
            }
        });
    }

    // A board monitor answering `replyDelay` late, reporting when it has
    // taken its `reportAt`th command (0: never).
    void startMonitor(const std::string& base, std::chrono::milliseconds replyDelay,
                      size_t reportAt, bool raiseEvent3 = true) {
        spawn(base, [=](vboard::Board& board, int ready, int report) {
            vboard::MonitorOptions options;
            options.replyDelay = replyDelay;
            options.raiseEvent3 = raiseEvent3;
            board.setVpSide(std::make_shared<ReportingMonitor>(options, reportAt, report));
            const char byte = 'r';
            [[maybe_unused]] ssize_t n = ::write(ready, &byte, 1);
        });
    }
    void waitForHang() {
        char byte = 0;
        ASSERT_EQ(::read(reports_[0], &byte, 1), 1);
    }
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        ::close(reports_[0]);
        ::close(reports_[1]);
    }
    ~DeviceProcess() { kill(); }

  private:
    // Forks the device process: `serve` sets board 0 up and writes a byte to
    // `ready`; the process then serves until it is killed.
    template <class Serve> void spawn(const std::string& base, Serve serve) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(reports_), 0);
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            auto device = vboard::Device::create(base);
            vboard::Board& board = device->addBoard(0, {});
            board.setTracing(false); // a mapped host copies its shared-memory requests
            serve(board, ready[1], reports_[1]);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
    }

    pid_t pid_ = -1;
    int reports_[2] = {-1, -1};
};

class PeerDeath : public VirtualBoardTest {
  protected:
    // Runs `call` and records how long it took; a call that does not return
    // within a generous bound is a hang.
    void timed(const char* what, const std::function<void()>& call) {
        std::atomic<bool> done{false};
        const auto start = Clock::now();
        std::thread runner([&] {
            call();
            done = true;
        });
        const bool returned = eventually([&] { return done.load(); }, std::chrono::seconds(10));
        if (!returned) {
            ADD_FAILURE() << what << " hangs";
            std::abort(); // the thread cannot be joined
        }
        runner.join();
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        std::printf("%-40s returned after %lld us\n", what, static_cast<long long>(took.count()));
    }

    void expectDeviceGone(AcceleratorBoard* b) {
        timed("shared-memory read", [&] {
            uint32_t word = 0;
            EXPECT_EQ(hb_DeviceIoSharedMemoryRead(b->deviceHandle, 0, &word, 4), 0);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        });
        timed("hardware information", [&] {
            HwInfo info{};
            EXPECT_EQ(hb_DeviceIoGetHwInfo(b->deviceHandle, &info), 0);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        });
        timed("board create on the dead device", [&] {
            EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 0, 0), nullptr);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
        });
    }

    void expectRestartWorks() {
        DeviceProcess restarted;
        restarted.start(base_, false);
        AcceleratorBoard* again = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
        ASSERT_NE(again, nullptr);
        HwInfo info{};
        EXPECT_EQ(hb_DeviceIoGetHwInfo(again->deviceHandle, &info), 1);
        EXPECT_EQ(info.boardType, 22u);
        EXPECT_EQ(hbFileIoStartup(again), 0u);
        hbFileIoShutdown(again);
        hbAcceleratorBoardDestroy(again);
        restarted.kill();
    }
};

TEST_F(PeerDeath, WhileIdle) {
    const int descriptorsBefore = countOpenDescriptors();
    DeviceProcess device;
    device.start(base_, false);
    AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(hbFileIoStartup(b), 0u);
    device.kill();
    expectDeviceGone(b);
    timed("file-I/O shutdown", [&] { hbFileIoShutdown(b); });
    timed("board destroy", [&] { hbAcceleratorBoardDestroy(b); });
    expectRestartWorks();
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
}

TEST_F(PeerDeath, DuringAFileIoRequest) {
    const int descriptorsBefore = countOpenDescriptors();
    DeviceProcess device;
    device.start(base_, true);
    AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(hbFileIoStartup(b), 0u);
    device.waitForHang(); // the service thread now waits for its answer's reply
    device.kill();
    expectDeviceGone(b);
    timed("file-I/O shutdown", [&] { hbFileIoShutdown(b); });
    timed("wait for VP exit", [&] { EXPECT_EQ(hbFileIoWaitForVpExit(b, 0.0), 0); });
    timed("board destroy", [&] { hbAcceleratorBoardDestroy(b); });
    expectRestartWorks();
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
}

TEST_F(PeerDeath, StartupAgainstADeadDeviceFailsAndLeavesNothing) {
    const int descriptorsBefore = countOpenDescriptors();
    DeviceProcess device;
    device.start(base_, false);
    AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(b, nullptr);
    device.kill();
    timed("file-I/O startup on a dead device",
          [&] { EXPECT_EQ(hbFileIoStartup(b), HB_ERROR_DEVICE_NOT_CONNECTED); });
    timed("file-I/O shutdown", [&] { hbFileIoShutdown(b); });
    hbAcceleratorBoardDestroy(b);
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
    expectRestartWorks();
}

// The device dies while the monitor works through a boot's download, with a
// finite and with an unlimited time-out, waiting on events and polling: the
// boot returns 0 with 1460 (its monitor transfer failed), the image file and
// the connection are released, and a restarted device boots.
TEST_F(PeerDeath, DuringABootsDownload) {
    const std::string image = directory_ + "/image.exe";
    ASSERT_TRUE(writeFile(image, referenceImage().build()));
    const int descriptorsBefore = countOpenDescriptors();
    struct Case {
        double timeout;
        bool polling;
    };
    for (const Case c :
         {Case{5.0, false}, Case{HB_INFINITE_TIMEOUT, false}, Case{HB_INFINITE_TIMEOUT, true}}) {
        SCOPED_TRACE("time-out " + std::to_string(c.timeout) + (c.polling ? ", polling" : ""));
        hb::setTransferWaitStateForTest(c.polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 1);
        DeviceProcess device;
        // A late monitor, so that the download is under way for a while;
        // the report comes when the monitor has taken its 8th command, of
        // which the answer is still to come.
        device.startMonitor(base_, std::chrono::milliseconds(20), 8, !c.polling);
        AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
        ASSERT_NE(b, nullptr);
        std::atomic<bool> done{false};
        int32_t result = -1;
        uint32_t error = 0;
        std::thread boot([&] {
            hbSetLastError(0);
            result = hbBootVp(b, image.c_str(), c.timeout);
            error = hbGetLastError();
            done = true;
        });
        device.waitForHang();
        device.kill();
        if (!eventually([&] { return done.load(); }, std::chrono::seconds(10))) {
            ADD_FAILURE() << "the boot hangs after the device died";
            std::abort(); // the thread cannot be joined
        }
        boot.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error, HB_ERROR_TIMEOUT);
        hbAcceleratorBoardDestroy(b);
        EXPECT_EQ(countOpenDescriptors(), descriptorsBefore)
            << "the image file and the connection are released";
    }

    hb::resetTransferWaitStateForTest();
    DeviceProcess restarted;
    restarted.startMonitor(base_, std::chrono::milliseconds(0), 0);
    AcceleratorBoard* again = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(hbBootVp(again, image.c_str(), 5.0), 1) << hbGetLastError();
    hbAcceleratorBoardDestroy(again);
    restarted.kill();
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
}

} // namespace
} // namespace hb::test
