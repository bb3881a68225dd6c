// The device goes away: in the middle of a request with others queued behind
// it, while a handle is idle or holds the memory mapped, before and during the
// file-I/O service, in the middle of a boot's download. Every call then
// returns promptly with a device error (1167 for requests on the old handle,
// 1460 for a boot), no SIGPIPE ends the host, nothing is left open, and a
// board handle to a new device works. (A device process killed while hbrun
// serves its program: tests/tools.)
#include "boot/boot_internal.h"
#include "support/pe_image_writer.h"
#include "vboard/monitor.h"
#include "virtual_board_fixture.h"

#include <atomic>
#include <future>

namespace hb::test {
namespace {

constexpr uint32_t kGone = HB_ERROR_DEVICE_NOT_CONNECTED;

// The VP side that makes the board vanish: at the host's shared-memory write
// at `at` (kAnywhere: any), or at its monitor's `nth` command, it drops the
// board's connections without answering; with `hold` it first waits until
// released.
class Vanishing : public vboard::VpSide {
  public:
    static constexpr uint32_t kAnywhere = 0xFFFFFFFF;
    explicit Vanishing(uint32_t at, bool hold = false,
                       std::shared_ptr<vboard::Monitor> monitor = {}, size_t nth = 0)
        : released(!hold), at_(at), monitor_(std::move(monitor)), nth_(nth) {}
    void onReset(vboard::Board& board) override {
        if (monitor_)
            monitor_->onReset(board);
    }
    void onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) override {
        if (monitor_)
            monitor_->onSharedMemoryWrite(board, offset, length);
        if (monitor_ ? monitor_->commands().size() != nth_ || entered
                     : at_ != kAnywhere && offset != at_)
            return;
        entered = true;
        while (!released)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        board.dropConnections();
    }
    void onDetach(vboard::Board&) override {
        if (monitor_)
            monitor_->stop();
    }
    std::atomic<bool> entered = false;
    std::atomic<bool> released;

  private:
    uint32_t at_;
    std::shared_ptr<vboard::Monitor> monitor_;
    size_t nth_;
};

// Runs `call`; one that does not return within a generous limit is a hang,
// which ends the program (a hanging call cannot be abandoned).
void promptly(const char* what, const std::function<void()>& call) {
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << what << " hangs after the device went away";
        std::abort();
    }
    done.get();
}

class DeviceLossTest : public VirtualBoardTest {
  protected:
    // The device goes for good; a new one serves the same names.
    void replaceDevice() {
        device_->stop();
        device_ = vboard::Device::create(base_);
    }
};

TEST_F(DeviceLossTest, AGoneBoardFailsTheRequestInFlightEveryQueuedAndEveryLaterOne) {
    AcceleratorBoard* handle = open(0);
    AcceleratorBoard* idle = open(0);
    ASSERT_TRUE(handle && idle);
    auto vp = std::make_shared<Vanishing>(Vanishing::kAnywhere, true);
    board(0).setVpSide(vp);
    const auto later = [&](const std::function<int32_t()>& call) {
        return std::async(std::launch::async, [=] { return call() ? 0u : hbGetLastError(); });
    };
    const uint32_t one = 1;
    std::vector<std::future<uint32_t>> requests;
    requests.push_back(
        later([&] { return hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &one, 4); }));
    ASSERT_TRUE(eventually([&] { return vp->entered.load(); }));
    for (int i = 0; i < 3; ++i)
        requests.push_back(later([&] { return hb_DeviceIoResetVp(handle->deviceHandle); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them queue up
    vp->released = true;
    for (auto& request : requests)
        EXPECT_EQ(request.get(), kGone);
    board(0).setVpSide(nullptr);
    uint32_t word = 0;
    EXPECT_EQ(failure(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0, &word, 4)), kGone);
    EXPECT_EQ(board(0).readSharedWord(0), 1u) << "the interrupted write had taken effect";

    // The idle handle's next request is sent to the gone peer: no SIGPIPE.
    std::vector<uint8_t> block(256 * 1024, 7);
    EXPECT_EQ(
        failure(hb_DeviceIoSharedMemoryWrite(idle->deviceHandle, 0, block.data(), 256 * 1024)),
        kGone);
    // A host that holds the memory mapped waits on nothing, yet its next
    // request after the device went fails too.
    AcceleratorBoard* fresh = open(0);
    AcceleratorBoard* copying = open(1, {.transport = vboard::MemoryTransport::Mapped});
    ASSERT_TRUE(fresh && copying) << "the board still takes new connections";
    board(1).setTracing(false);
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(copying->deviceHandle, 0, &one, 4), 1);
    replaceDevice();
    uint32_t returned = 0;
    EXPECT_EQ(failure(hb_DeviceIoVpRead(fresh->deviceHandle, block.data(), 4, &returned)), kGone);
    EXPECT_EQ(failure(hb_DeviceIoSharedMemoryRead(copying->deviceHandle, 0, &word, 4)), kGone);
}

// The file-I/O service and a gone device: startup fails with 1167 and leaves
// the board's slot free; a shutdown while the service's answer is on its way
// to a device that then goes ends.
TEST_F(DeviceLossTest, TheFileIoServiceNeitherStartsNorHangsOnAGoneDevice) {
    AcceleratorBoard* gone = open(0);
    board(0).dropConnections();
    EXPECT_EQ(hbFileIoStartup(gone), kGone);
    AcceleratorBoard* serving = open(0);
    ASSERT_EQ(hbFileIoStartup(serving), 0u) << "the failed startup left the slot free";
    auto vp = std::make_shared<Vanishing>(Vanishing::kAnywhere, true);
    board(0).setVpSide(vp);
    const uint32_t environmentSize = 22; // the request
    board(0).writeShared(hb_GetFileIoBuffer(serving, nullptr), &environmentSize, 4);
    board(0).raiseEvent(HB_EVENT_FILEIO_REQUEST);
    ASSERT_TRUE(eventually([&] { return vp->entered.load(); })) << "no answer on its way";
    promptly("a shutdown while the device goes", [&] {
        std::thread going([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            vp->released = true;
        });
        hbFileIoShutdown(serving);
        going.join();
    });
    board(0).setVpSide(nullptr);
}

// Waiting on events or polling, with no time limit: the boot returns 0 with
// 1460, and the image file and the connection are released.
TEST_F(DeviceLossTest, ADeviceGoneDuringABootsDownloadEndsTheBootWith1460) {
    const std::string image = directory_ + "/image.exe";
    ASSERT_TRUE(writeFile(image, referenceImage().build()));
    const int descriptorsBefore = countOpenDescriptors();
    for (const bool polling : {false, true}) {
        SCOPED_TRACE(polling ? "polling" : "waiting on events");
        hb::setTransferWaitStateForTest(polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 1);
        // A late monitor; the board goes at its 8th command, unanswered yet.
        const vboard::MonitorOptions late{.raiseEvent3 = !polling,
                                          .replyDelay = std::chrono::milliseconds(20)};
        device_->addBoard(0, {}).setVpSide(
            std::make_shared<Vanishing>(0, false, std::make_shared<vboard::Monitor>(late), 8));
        AcceleratorBoard* b = open(0);
        promptly("the boot", [&] {
            EXPECT_EQ(failure(hbBootVp(b, image.c_str(), HB_INFINITE_TIMEOUT)), HB_ERROR_TIMEOUT);
        });
        close(b);
        replaceDevice();
        EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
    }
    hb::resetTransferWaitStateForTest();
    device_->addBoard(0, {}).setVpSide(std::make_shared<vboard::Monitor>());
    AcceleratorBoard* again = open(0);
    EXPECT_EQ(hbBootVp(again, image.c_str(), 5.0), 1) << hbGetLastError();
}

} // namespace
} // namespace hb::test
