// Download speed of hbBootVp against the virtual board: a 1 MiB code section,
// in event mode and in polling mode, set against the protocol floor measured
// in the same run: the driver requests one 400-byte command needs, times the
// round trip of one driver request.
//
// Both transports of the virtual board in one run: every request a frame on
// the socket, and the shared memory mapped into the driver channel.
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

// One board of the given transport with a bare monitor, a handle on it, and
// the big image's downloads.
class BootBench {
  public:
    BootBench(const std::string& base, hb::vboard::MemoryTransport transport,
              const std::string& image)
        : image_(image) {
        device_ = hb::vboard::Device::create(base);
        hb::vboard::BoardConfig config;
        config.transport = transport;
        vb_ = &device_->addBoard(0, config);
        monitor_ = std::make_shared<hb::vboard::Monitor>();
        vb_->setVpSide(monitor_);
        board_ = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
        if (board_ == nullptr) {
            std::fprintf(stderr, "cannot open the virtual board\n");
            std::exit(1);
        }
        // One traced boot counts the requests per command; the measured ones
        // run untraced (a traced mapped host sends its requests as frames).
        counted_ = download(false);
        vb_->setTracing(false);
    }
    ~BootBench() {
        hbAcceleratorBoardDestroy(board_);
        monitor_->stop();
    }

    // One driver round trip: a 4-byte shared-memory read.
    double roundTrip() {
        uint8_t word[4];
        const int rounds = 2000;
        const auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            hb_DeviceIoSharedMemoryRead(board_->deviceHandle, 0, word, 4);
        }
        return seconds(Clock::now() - start) / rounds;
    }

    Run download(bool polling) {
        hb::setTransferWaitStateForTest(polling ? hb::WAIT_POLL : hb::WAIT_EVENT, 0);
        vb_->clearTrace();
        monitor_->clearCommands();
        const auto start = Clock::now();
        const int32_t ok = hbBootVp(board_, image_.c_str(), HB_INFINITE_TIMEOUT);
        Run run{seconds(Clock::now() - start), vb_->trace().size(), monitor_->commands().size()};
        if (ok != 1 ||
            hb::transferWaitModeForTest() != (polling ? hb::WAIT_POLL : hb::WAIT_EVENT)) {
            std::fprintf(stderr, "boot failed: %u\n", hbGetLastError());
            std::exit(1);
        }
        return run;
    }

    const Run& counted() const { return counted_; }

  private:
    std::string image_;
    std::unique_ptr<hb::vboard::Device> device_;
    hb::vboard::Board* vb_ = nullptr;
    std::shared_ptr<hb::vboard::Monitor> monitor_;
    AcceleratorBoard* board_ = nullptr;
    Run counted_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const auto dir =
        std::filesystem::temp_directory_path() / ("hbbench" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    hb::test::PeImage image = hb::test::referenceImage();
    image.sections[0].data = hb::test::patternBytes(kCodeBytes, 1);
    const std::string path = (dir / "big.exe").string();
    hb::test::writeFile(path, image.build());

    BootBench socket((dir / "s").string(), hb::vboard::MemoryTransport::Socket, path);
    BootBench mapped((dir / "m").string(), hb::vboard::MemoryTransport::Mapped, path);
    BootBench* benches[] = {&socket, &mapped};
    const char* names[] = {"socket", "mapped"};
    const double mb = kCodeBytes / 1e6;
    auto floorRate = [](double requests, double rtt) {
        return kCommandBytes / (requests * rtt) / 1e6;
    };
    // Per transport: round trip, event MB/s, polling MB/s; the transports
    // alternate so that a busy moment of the machine hits both.
    std::vector<double> rtt[2], event[2], poll[2];
    for (int r = 0; r < repetitions; ++r) {
        for (int t = 0; t < 2; ++t) {
            rtt[t].push_back(benches[t]->roundTrip());
            event[t].push_back(mb / benches[t]->download(false).seconds);
            poll[t].push_back(mb / benches[t]->download(true).seconds);
            std::printf("run %d %s: round trip %.2f us | event %.2f MB/s (floor %.2f) | "
                        "polling %.2f MB/s (floor %.2f)\n",
                        r + 1, names[t], rtt[t].back() * 1e6, event[t].back(),
                        floorRate(kEventRequests, rtt[t].back()), poll[t].back(),
                        floorRate(kPollRequests, rtt[t].back()));
        }
    }
    const size_t commands = socket.counted().commands;
    std::printf("\n1 MiB code section, %zu commands per boot, %.2f driver requests per command; "
                "medians of %d runs\n",
                commands, static_cast<double>(socket.counted().requests) / commands, repetitions);
    std::printf("%-22s %12s %12s %8s\n", "", "socket", "mapped", "ratio");
    const double rs = median(rtt[0]) * 1e6, rm = median(rtt[1]) * 1e6;
    std::printf("%-22s %12.2f %12.2f %8.2f\n", "round trip (us)", rs, rm, rm / rs);
    const double es = median(event[0]), em = median(event[1]);
    std::printf("%-22s %12.2f %12.2f %8.2f\n", "event mode (MB/s)", es, em, em / es);
    const double ps = median(poll[0]), pm = median(poll[1]);
    std::printf("%-22s %12.2f %12.2f %8.2f\n", "polling mode (MB/s)", ps, pm, pm / ps);
    std::filesystem::remove_all(dir);
    return 0;
}
