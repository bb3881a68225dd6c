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
#include <vector>

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
    size_t requests = 0; // driver requests the board saw
    size_t commands = 0; // monitor commands of the boot
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
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

    // One driver round trip: a 4-byte shared-memory read, measured right
    // before each download so that both see the same load on the machine.
    uint8_t word[4];
    auto roundTrip = [&] {
        const int rounds = 2000;
        const auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            hb_DeviceIoSharedMemoryRead(board->deviceHandle, 0, word, 4);
        }
        return seconds(Clock::now() - start) / rounds;
    };
    auto download = [&](bool polling) {
        hb::setTransferWaitStateForTest(polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 0);
        vb.clearTrace();
        monitor->clearCommands();
        const auto start = Clock::now();
        const int32_t ok = hbBootVp(board, path.c_str(), HB_INFINITE_TIMEOUT);
        Run run{seconds(Clock::now() - start), vb.trace().size(), monitor->commands().size()};
        if (ok != 1 ||
            hb::transferWaitModeForTest() != (polling ? hb::WAIT_POLL : hb::WAIT_EVENT)) {
            std::fprintf(stderr, "boot failed: %u\n", hbGetLastError());
            std::exit(1);
        }
        return run;
    };
    roundTrip();
    download(false); // warm-up

    struct Sample {
        double roundTrip, eventRate, eventRatio, pollRate, pollRatio;
        Run event, poll;
    };
    const double mb = kCodeBytes / 1e6;
    auto floorRate = [](double requests, double rtt) {
        return kCommandBytes / (requests * rtt) / 1e6;
    };
    std::vector<Sample> samples;
    for (int r = 0; r < repetitions; ++r) {
        Sample s{};
        s.roundTrip = roundTrip();
        s.event = download(false);
        s.poll = download(true);
        s.eventRate = mb / s.event.seconds;
        s.pollRate = mb / s.poll.seconds;
        s.eventRatio = s.eventRate / floorRate(kEventRequests, s.roundTrip);
        s.pollRatio = s.pollRate / floorRate(kPollRequests, s.roundTrip);
        samples.push_back(s);
        std::printf("run %d: round trip %.2f us | event %.2f MB/s (floor %.2f, ratio %.2f) | "
                    "polling %.2f MB/s (floor %.2f, ratio %.2f)\n",
                    r + 1, s.roundTrip * 1e6, s.eventRate, floorRate(kEventRequests, s.roundTrip),
                    s.eventRatio, s.pollRate, floorRate(kPollRequests, s.roundTrip), s.pollRatio);
    }
    // Medians over the runs, each mode on its own.
    auto median = [&](auto field) {
        std::vector<double> values;
        for (const Sample& s : samples) {
            values.push_back(field(s));
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const size_t commands = samples.front().event.commands;
    std::printf("\n1 MiB code section, %zu commands per boot; floor = 400 bytes / (driver "
                "requests per command x one round trip), measured before each run\n",
                commands);
    std::printf("median round trip %.2f us\n",
                median([](const Sample& s) { return s.roundTrip; }) * 1e6);
    std::printf("event   %6.2f MB/s  %.2f requests/command  ratio to floor %.2f\n",
                median([](const Sample& s) { return s.eventRate; }),
                static_cast<double>(samples.front().event.requests) / commands,
                median([](const Sample& s) { return s.eventRatio; }));
    std::printf("polling %6.2f MB/s  %.2f requests/command  ratio to floor %.2f\n",
                median([](const Sample& s) { return s.pollRate; }),
                static_cast<double>(samples.front().poll.requests) / commands,
                median([](const Sample& s) { return s.pollRatio; }));

    hbAcceleratorBoardDestroy(board);
    monitor->stop();
    device.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
