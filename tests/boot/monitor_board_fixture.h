// A virtual board with its monitor, opened through the library as an
// application opens a real one, and a fresh process-wide transfer state.
#pragma once

#include "board/virtual_board_fixture.h"
#include "boot/boot_internal.h"
#include "little_endian.h"
#include "support/pe_image_writer.h"
#include "vboard/monitor.h"

namespace hb::test {

inline uint32_t word(const std::vector<uint8_t>& b, size_t at) {
    (void)b.at(at + 3); // throws outside the bytes
    return hb::getLe32(b.data() + at);
}
inline uint16_t half(const std::vector<uint8_t>& b, size_t at) {
    (void)b.at(at + 1);
    return hb::getLe16(b.data() + at);
}

class MonitorBoardTest : public VirtualBoardTest {
  protected:
    void SetUp() override { open(vboard::MonitorOptions{}); }
    void TearDown() override {
        close();
        VirtualBoardTest::TearDown();
        hb::resetTransferWaitStateForTest();
    }

    // A new device whose board `index` runs a monitor with `options`, opened.
    void open(const vboard::MonitorOptions& options, vboard::BoardConfig config = {},
              int index = 0) {
        close();
        device_ = vboard::Device::create(base_);
        vb = &device_->addBoard(index, config);
        monitor = std::make_shared<vboard::Monitor>(options);
        vb->setVpSide(monitor);
        board = VirtualBoardTest::open(index);
        imagePath = directory_ + "/image.exe";
        hb::resetTransferWaitStateForTest();
        vb->clearTrace();
    }
    void close() {
        VirtualBoardTest::close(board);
        board = nullptr;
        if (monitor)
            monitor->stop();
        device_.reset();
    }

    void writeImage(const PeImage& image) { writeBytes(image.build()); }
    void writeBytes(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(writeFile(imagePath, bytes)); }

    // The host's requests, without the hardware-information queries that
    // the bus caches make once per process.
    std::vector<vboard::TraceEntry> requests() const {
        std::vector<vboard::TraceEntry> out = vb->trace();
        std::erase_if(out, [](const auto& e) { return e.controlCode == HB_IOCTL_GET_HW_INFO; });
        return out;
    }

    vboard::Board* vb = nullptr;
    std::shared_ptr<vboard::Monitor> monitor;
    AcceleratorBoard* board = nullptr;
    std::string imagePath;
};

} // namespace hb::test
