// Round trip of a shared-memory read through the library and the virtual
// board, against a bare Unix-socket ping-pong carrying the same payload (the
// transport floor), measured in the same run. Prints the ratios at the end.
#include "hbsys9u.h"
#include "vboard/board.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct Setup {
    std::string directory;
    std::unique_ptr<hb::vboard::Device> device;
    AcceleratorBoard* board = nullptr;

    Setup() {
        char pattern[] = "/tmp/hbbench-XXXXXX";
        directory = ::mkdtemp(pattern);
        device = hb::vboard::Device::create(directory + "/hb");
        device->addBoard(0, {}); // board type 22: 256 KiB of shared memory
        board = hbAcceleratorBoardCreate((directory + "/hb").c_str(), 0, 0);
        if (board == nullptr) {
            std::fprintf(stderr, "cannot open the virtual board\n");
            std::exit(1);
        }
    }
    ~Setup() {
        hbAcceleratorBoardDestroy(board);
        device.reset();
        std::filesystem::remove_all(directory);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

void sharedMemoryRead(benchmark::State& state) {
    const auto length = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buffer(length);
    HbHandle device = setup().board->deviceHandle;
    for (auto _ : state) {
        if (!hb_DeviceIoSharedMemoryRead(device, 0x100, buffer.data(), length)) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    setup().device->board(0)->clearTrace();
}

bool readExactly(int fd, uint8_t* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, out + got, length - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// A 4-byte request answered by `length` bytes, over a Unix-domain stream
// socket with a serving thread, as the device does.
void barePingPong(benchmark::State& state) {
    const auto length = static_cast<size_t>(state.range(0));
    const std::string path = setup().directory + "/bare";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ::unlink(path.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<uint8_t> reply(length, 0x5A);
        uint8_t request[4];
        while (readExactly(fd, request, sizeof request)) {
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
        }
        ::close(fd);
    });
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<uint8_t> buffer(length);
    const uint8_t request[4] = {1, 2, 3, 4};
    for (auto _ : state) {
        ::send(client, request, sizeof request, MSG_NOSIGNAL);
        if (!readExactly(client, buffer.data(), length)) {
            state.SkipWithError("ping-pong broke");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    ::close(client);
    server.join();
    ::close(listener);
    ::unlink(path.c_str());
}

BENCHMARK(barePingPong)->Arg(4)->Arg(528)->Arg(65536)->UseRealTime();
BENCHMARK(sharedMemoryRead)->Arg(4)->Arg(528)->Arg(65536)->UseRealTime();

// Keeps each run's time per iteration to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the run; otherwise its one figure.
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times[name] = run.GetAdjustedRealTime();
                medians.insert(name);
            } else if (run.run_type == Run::RT_Iteration && medians.count(name) == 0) {
                times[name] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
    std::set<std::string> medians;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    setup();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nshared-memory read round trip / bare ping-pong of the same payload:\n");
    for (const char* size : {"4", "528", "65536"}) {
        const auto library =
            reporter.times.find(std::string("sharedMemoryRead/") + size + "/real_time");
        const auto bare = reporter.times.find(std::string("barePingPong/") + size + "/real_time");
        if (library != reporter.times.end() && bare != reporter.times.end()) {
            std::printf("  %6s B: %.2fx\n", size, library->second / bare->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
