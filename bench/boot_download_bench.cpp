// Download speed of hbBootVp against the virtual board: a 1 MiB code section,
// in event mode and in polling mode, set against the protocol floor measured
// in the same run: the driver requests one 400-byte command needs, times the
// round trip of one driver request.
//
//   boot_download_bench [repetitions]
#include "boot/boot_internal.h"
#include "hbsys9u.h"
#include "support/pe_image_writer.h"
#include "vboard/board.h"
#include "vboard/monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCodeBytes = 1u << 20;
constexpr double kCommandBytes = HB_MON_WRITE_MAX_DATA;
// Driver requests of one transfer whose reply is ready at the first look:
// event mode registers, posts (3 writes), reads state, length and reply,
// deregisters; polling mode does the same without the two registrations.
constexpr double kEventRequests = 8;
constexpr double kPollRequests = 6;

struct Run {
    double seconds = 0;
    size_t requests = 0;
    size_t commands = 0;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const auto dir =
        std::filesystem::temp_directory_path() / ("hbbench" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string base = (dir / "b").string();
    auto device = hb::vboard::Device::create(base);
    hb::vboard::Board& vb = device->addBoard(0, {});
    auto monitor = std::make_shared<hb::vboard::Monitor>();
    vb.setVpSide(monitor);
    AcceleratorBoard* board = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
    if (board == nullptr) {
        std::fprintf(stderr, "cannot open the virtual board\n");
        return 1;
    }

    hb::test::PeImage image = hb::test::referenceImage();
    image.sections[0].data = hb::test::patternBytes(kCodeBytes, 1);
    const std::string path = (dir / "big.exe").string();
    hb::test::writeFile(path, image.build());

    // One driver round trip: a 4-byte shared-memory read.
    uint8_t word[4];
    for (int i = 0; i < 200; ++i) {
        hb_DeviceIoSharedMemoryRead(board->deviceHandle, 0, word, 4);
    }
    const int rounds = 5000;
    double roundTrip = 1e9;
    for (int r = 0; r < repetitions; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            hb_DeviceIoSharedMemoryRead(board->deviceHandle, 0, word, 4);
        }
        roundTrip = std::min(roundTrip, seconds(Clock::now() - start) / rounds);
    }

    auto download = [&](bool polling) {
        Run best;
        best.seconds = 1e9;
        for (int r = 0; r < repetitions; ++r) {
            hb::setTransferWaitStateForTest(polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 0);
            vb.clearTrace();
            monitor->clearCommands();
            const auto start = Clock::now();
            const int32_t ok = hbBootVp(board, path.c_str(), HB_INFINITE_TIMEOUT);
            const double s = seconds(Clock::now() - start);
            if (ok != 1) {
                std::fprintf(stderr, "boot failed: %u\n", hbGetLastError());
                std::exit(1);
            }
            if (s < best.seconds) {
                best = Run{s, vb.trace().size(), monitor->commands().size()};
            }
        }
        return best;
    };
    const Run event = download(false);
    const Run poll = download(true);

    const double mb = kCodeBytes / 1e6;
    std::printf("driver round trip (4-byte shared-memory read): %.2f us\n", roundTrip * 1e6);
    auto report = [&](const char* name, const Run& run, double floorRequests) {
        const double rate = mb / run.seconds;
        // The floor moves only the 400-byte commands; the boot's other
        // commands ride along in the measured time.
        const double floorRate = kCommandBytes / (floorRequests * roundTrip) / 1e6;
        std::printf("%-7s %8.2f MB/s  (%zu commands, %.2f driver requests per command, "
                    "%.1f ms)\n",
                    name, rate, run.commands,
                    static_cast<double>(run.requests) / static_cast<double>(run.commands),
                    run.seconds * 1e3);
        std::printf("        floor %6.2f MB/s  (%g requests x %.2f us per 400 bytes)  "
                    "ratio %.2f\n",
                    floorRate, floorRequests, roundTrip * 1e6, rate / floorRate);
    };
    report("event", event, kEventRequests);
    report("polling", poll, kPollRequests);

    hbAcceleratorBoardDestroy(board);
    monitor->stop();
    device.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
