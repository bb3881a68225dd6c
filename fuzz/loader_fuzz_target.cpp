// Fuzz target: arbitrary bytes as the image file that hbBootVp downloads to
// a virtual board with its monitor, in this process. Besides crashes and
// sanitizer reports it stops on a boot whose result and last error disagree.
#include "boot/boot_internal.h"
#include "hbsys9u.h"
#include "vboard/board.h"
#include "vboard/monitor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

struct Harness {
    Harness() {
        dir = std::filesystem::temp_directory_path() / ("hbfuzz" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        const std::string base = (dir / "b").string();
        device = hb::vboard::Device::create(base);
        vb = &device->addBoard(0, {});
        hb::vboard::MonitorOptions options;
        options.memorySize = 0x600000; // enough for images at 0x400000, quick to clear
        monitor = std::make_shared<hb::vboard::Monitor>(options);
        vb->setVpSide(monitor);
        board = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
        imagePath = (dir / "image.exe").string();
        if (board == nullptr) {
            std::fprintf(stderr, "cannot open the virtual board\n");
            std::abort();
        }
    }
    ~Harness() {
        hbAcceleratorBoardDestroy(board);
        monitor->stop();
        device.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::filesystem::path dir;
    std::unique_ptr<hb::vboard::Device> device;
    hb::vboard::Board* vb = nullptr;
    std::shared_ptr<hb::vboard::Monitor> monitor;
    AcceleratorBoard* board = nullptr;
    std::string imagePath;
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "loader fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    std::FILE* f = std::fopen(harness.imagePath.c_str(), "wb");
    check(f != nullptr, "cannot write the image file");
    if (size != 0) {
        std::fwrite(data, 1, size, f);
    }
    std::fclose(f);

    hbSetLastError(0);
    const int32_t booted = hbBootVp(harness.board, harness.imagePath.c_str(), 10.0);
    const uint32_t error = hbGetLastError();
    if (booted == 1) {
        check(harness.monitor->startedImage().has_value(), "boot succeeded without MON_START");
    } else {
        check(booted == 0, "result neither 0 nor 1");
        check(error == HB_ERROR_FILE_NOT_FOUND, "a refused image must end with last error 2");
        check(!harness.monitor->startedImage().has_value(), "refused image was started");
    }
    check(hb::transferWaitModeForTest() == hb::WAIT_EVENT, "the board raises events");
    harness.monitor->clearCommands();
    harness.vb->clearTrace();
    return 0;
}
