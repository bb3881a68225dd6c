// The device goes away: killed in its own process while a request waits, while
// the library is idle, in the middle of a file-I/O request or of a boot's
// download, or dropping its connections in this one. Every call then returns
// promptly with a device error (1167 for requests on the old handle, 9 for a
// board handle that cannot be opened, 1460 for a boot), no SIGPIPE ends the
// host, nothing is left open, and a board handle to a restarted device works.
#include "boot/boot_internal.h"
#include "support/pe_image_writer.h"
#include "support/request_agent.h"
#include "vboard/monitor.h"
#include "virtual_board_fixture.h"

#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>

#include <sys/wait.h>
#include <unistd.h>

namespace hb::test {
namespace {

// The VP side in the device's process: reports on a pipe when the host
// writes shared memory at `hangAt` (or anywhere, with kAnywhere) and hangs
// that request until the process is killed; or, with a monitor, reports once
// the monitor has taken its `reportAt`th command.
class DyingVp : public vboard::VpSide {
  public:
    static constexpr uint32_t kAnywhere = 0xFFFFFFFF;
    DyingVp(int report, uint32_t hangAt, std::shared_ptr<vboard::Monitor> monitor = nullptr,
            size_t reportAt = 0)
        : report_(report), hangAt_(hangAt), monitor_(std::move(monitor)), reportAt_(reportAt) {}
    void onReset(vboard::Board& board) override {
        if (monitor_) {
            monitor_->onReset(board);
        }
    }
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override {
        if (monitor_) {
            monitor_->onSharedMemoryWrite(board, offset, length);
            if (reportAt_ != 0 && monitor_->commands().size() == reportAt_) {
                report();
            }
        } else if (hangAt_ == kAnywhere || offset == hangAt_) {
            report();
            for (;;) {
                ::pause();
            }
        }
    }

  private:
    void report() { [[maybe_unused]] const ssize_t n = ::write(report_, "!", 1); }
    int report_;
    uint32_t hangAt_;
    std::shared_ptr<vboard::Monitor> monitor_;
    size_t reportAt_;
};

// A device serving board 0 in a process of its own.
class DeviceProcess {
  public:
    using SetUp = std::function<void(vboard::Board&, int report)>;
    DeviceProcess(const std::string& base, const SetUp& setUp, vboard::BoardConfig config = {}) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(reports_), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            auto device = vboard::Device::create(base);
            setUp(device->addBoard(0, config), reports_[1]);
            [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);
            for (;;) {
                ::pause();
            }
        }
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~DeviceProcess() { kill(); }
    void waitForReport() {
        char byte = 0;
        ASSERT_EQ(::read(reports_[0], &byte, 1), 1);
    }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            ::close(reports_[0]);
            ::close(reports_[1]);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int reports_[2] = {-1, -1};
};

// Runs `call`; one that does not return within a generous limit is a hang,
// which ends the program (a hanging call cannot be abandoned).
void promptly(const char* what, const std::function<void()>& call) {
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << what << " hangs after the device died";
        std::abort();
    }
    done.get();
}

// A board whose VP side hangs the first shared-memory write at `offset`; an
// untraced board leaves a mapped host its copies.
DeviceProcess::SetUp hangingAt(uint32_t offset, bool traced = true) {
    return [=](vboard::Board& board, int report) {
        board.setVpSide(std::make_shared<DyingVp>(report, offset));
        board.setTracing(traced);
    };
}

class DeviceLossTest : public VirtualBoardTest {
  protected:
    // A board handle on the device process's board 0.
    AcceleratorBoard* connect() {
        AcceleratorBoard* board = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
        if (board != nullptr) {
            boards_.push_back(board);
        }
        return board;
    }
};

TEST_F(DeviceLossTest, AKilledDeviceFailsThePendingRequestAndEveryLaterOneWithoutASignal) {
    DeviceProcess device(base_, hangingAt(DyingVp::kAnywhere));
    AcceleratorBoard* waiting = connect();
    AcceleratorBoard* idle = connect();
    ASSERT_TRUE(waiting && idle);
    auto pending = std::async(std::launch::async, [&] {
        const uint32_t word = 1;
        const int32_t result = hb_DeviceIoSharedMemoryWrite(waiting->deviceHandle, 0, &word, 4);
        return std::make_pair(result, hbGetLastError());
    });
    device.waitForReport(); // the write reached the device
    device.kill();
    EXPECT_EQ(pending.get(), std::make_pair(0, HB_ERROR_DEVICE_NOT_CONNECTED));
    HwInfo info{};
    EXPECT_EQ(hb_DeviceIoGetHwInfo(waiting->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    // The idle handle's first request is sent to the dead peer: no SIGPIPE.
    std::vector<uint8_t> block(256 * 1024, 7);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(idle->deviceHandle, 0, block.data(), 256 * 1024), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    uint32_t returned = 0;
    EXPECT_EQ(hb_DeviceIoVpRead(idle->deviceHandle, block.data(), 4, &returned), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
}

// The host holds the board's memory mapped: nothing waits on the device, yet
// the next request after its death fails.
TEST_F(DeviceLossTest, AKilledDeviceFailsTheCopiesOfAMappedHostAtOnce) {
    vboard::BoardConfig mapped;
    mapped.transport = vboard::MemoryTransport::Mapped;
    DeviceProcess device(
        base_, [](vboard::Board& board, int) { board.setTracing(false); }, mapped);
    AcceleratorBoard* handle = connect();
    ASSERT_NE(handle, nullptr);
    uint32_t word = 1;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4), 1);
    device.kill();
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
}

// Holds the first shared-memory write on the device's thread until released,
// then lets the board drop its connections without answering it.
class VanishingBoard : public vboard::VpSide {
  public:
    void onSharedMemoryWrite(vboard::Board& board, uint32_t, uint32_t) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        board.dropConnections();
    }
    void waitUntilEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false, released_ = false;
};

TEST_F(DeviceLossTest, ABoardGoneMidRequestFailsItAndEveryQueuedOneAndAStoppedDeviceAllLater) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    auto vp = std::make_shared<VanishingBoard>();
    board(0).setVpSide(vp);
    const auto failure = [&](const std::function<int32_t()>& call) {
        return std::async(std::launch::async, [=] { return call() ? 0u : hbGetLastError(); });
    };
    const uint32_t one = 1;
    auto writer =
        failure([&] { return hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &one, 4); });
    vp->waitUntilEntered();
    std::vector<std::future<uint32_t>> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(failure([&] {
            HwInfo info{};
            return hb_DeviceIoGetHwInfo(handle->deviceHandle, &info);
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them queue up
    vp->release();
    EXPECT_EQ(writer.get(), HB_ERROR_DEVICE_NOT_CONNECTED);
    for (auto& request : queued) {
        EXPECT_EQ(request.get(), HB_ERROR_DEVICE_NOT_CONNECTED);
    }
    board(0).setVpSide(nullptr);
    uint32_t word = 0;
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);

    AcceleratorBoard* fresh = open(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(fresh->deviceHandle, 0, &word, 4), 1);
    EXPECT_EQ(word, 1u) << "the interrupted write had taken effect";
    device_->stop();
    HwInfo info{};
    EXPECT_EQ(hb_DeviceIoGetHwInfo(fresh->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 0, 0), nullptr) << "socket removed";
}

TEST_F(DeviceLossTest, ADeadDeviceEndsEveryCallOfTheFileIoServicePromptly) {
    const hbtest::FileIoLayout block = hbtest::fileIoLayout(vboard::BoardConfig{}, false);
    // With a request: the VP posts one as soon as the host registers its
    // event, and the device hangs on its answer.
    const DeviceProcess::SetUp postRequest = [&](vboard::Board& board, int report) {
        hangingAt(block.offset + 4, false)(board, report);
        std::thread([&board, at = block.offset] {
            while (!board.isEventRegistered(6)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const uint32_t environmentSize = 22;
            board.writeShared(at, &environmentSize, 4);
            board.raiseEvent(6);
        }).detach();
    };
    const struct {
        const char* when;
        bool serviceFirst, request;
    } cases[] = {{"idle", true, false}, {"during a request", true, true}, {"before", false, false}};
    const int descriptorsBefore = countOpenDescriptors();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        auto device = std::make_unique<DeviceProcess>(
            base_, c.request ? postRequest : hangingAt(block.offset + 4, false));
        AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
        ASSERT_NE(b, nullptr);
        if (c.serviceFirst) {
            ASSERT_EQ(hbFileIoStartup(b), 0u);
        }
        if (c.request) {
            device->waitForReport(); // the service thread waits for its answer's reply
        }
        device.reset();
        promptly("the calls", [&] {
            uint32_t word = 0;
            EXPECT_EQ(hb_DeviceIoSharedMemoryRead(b->deviceHandle, 0, &word, 4), 0);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 0, 0), nullptr);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
            if (!c.serviceFirst) {
                EXPECT_EQ(hbFileIoStartup(b), HB_ERROR_DEVICE_NOT_CONNECTED);
            }
            hbFileIoShutdown(b);
            EXPECT_EQ(hbFileIoWaitForVpExit(b, 0.0), 0);
            hbAcceleratorBoardDestroy(b);
        });
        EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
    }
    DeviceProcess restarted(base_, hangingAt(block.offset + 4, false));
    AcceleratorBoard* again = connect();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(hbFileIoStartup(again), 0u);
    hbFileIoShutdown(again);
}

// Waiting on events or polling, with a finite or an unlimited time-out: the
// boot returns 0 with 1460, and the image file and connection are released.
TEST_F(DeviceLossTest, ADeviceDyingDuringABootsDownloadEndsTheBootWith1460) {
    const std::string image = directory_ + "/image.exe";
    ASSERT_TRUE(writeFile(image, referenceImage().build()));
    const int descriptorsBefore = countOpenDescriptors();
    const auto withMonitor = [](std::chrono::milliseconds delay, size_t reportAt, bool event3) {
        return [=](vboard::Board& board, int report) {
            vboard::MonitorOptions options;
            options.replyDelay = delay;
            options.raiseEvent3 = event3;
            board.setVpSide(std::make_shared<DyingVp>(
                report, 0, std::make_shared<vboard::Monitor>(options), reportAt));
            board.setTracing(false);
        };
    };
    const std::pair<double, bool> variants[] = {
        {5.0, false}, {HB_INFINITE_TIMEOUT, false}, {HB_INFINITE_TIMEOUT, true}};
    for (const auto& [timeout, polling] : variants) {
        SCOPED_TRACE(std::to_string(timeout) + (polling ? ", polling" : ""));
        hb::setTransferWaitStateForTest(polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 1);
        // A late monitor: the report comes with its 8th command, unanswered yet.
        DeviceProcess device(base_, withMonitor(std::chrono::milliseconds(20), 8, !polling));
        AcceleratorBoard* b = hbAcceleratorBoardCreate(base_.c_str(), 0, 0);
        ASSERT_NE(b, nullptr);
        auto boot = std::async(std::launch::async, [&, t = timeout] {
            hbSetLastError(0);
            const int32_t result = hbBootVp(b, image.c_str(), t);
            return std::make_pair(result, hbGetLastError());
        });
        device.waitForReport();
        device.kill();
        promptly("the boot", [&] { EXPECT_EQ(boot.get(), std::make_pair(0, HB_ERROR_TIMEOUT)); });
        hbAcceleratorBoardDestroy(b);
        EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
    }
    hb::resetTransferWaitStateForTest();
    DeviceProcess restarted(base_, withMonitor(std::chrono::milliseconds(0), 0, true));
    AcceleratorBoard* again = connect();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(hbBootVp(again, image.c_str(), 5.0), 1) << hbGetLastError();
}

} // namespace
} // namespace hb::test
