// The SDK's `copy` program copying a 16 MiB file on a board whose VP runs it,
// served by the file-I/O service: MB/s of file copied. In the same run, the
// file-I/O protocol floor for the same work: per block of data, one request
// that brings data to the VP and one that takes data from it, each costing
// the driver round trips of the protocol (the 528-byte block read, response
// words, data, marker) and one event wake-up, made by a bare loop with the
// VP side in the benchmark itself. The ratio copy / floor says what the
// emulated processor and the host operations add to the protocol's cost.
// Both transports of the virtual board in one run: every request a frame on
// the socket, and the shared memory mapped into the driver channel.
#include "hbsys9u.h"
#include "support/request_agent.h"
#include "vboard/board.h"
#include "vboard/emulated_vp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFileSize = 16u << 20;
constexpr int kPasses = 3;

// The host half of the floor: woken by event 6, it copies the block and
// answers an odd request with `dataBytes` of data for the VP, an even one by
// taking `dataBytes` from the block, then writes the marker.
class ProtocolFloor {
  public:
    ProtocolFloor(AcceleratorBoard* board, uint32_t offset, uint32_t dataBytes)
        : board_(board), offset_(offset), data_(dataBytes, 0x5A) {
        event_ = hb__EventCreate(0);
        hb_DeviceIoAsyncEventRegister(board->deviceHandle, 6, hb__EventOSHandle(event_), 0, 0, 0,
                                      0);
        thread_ = std::thread([this] { serve(); });
    }
    ~ProtocolFloor() {
        stop_ = true;
        hb__EventSet(event_);
        thread_.join();
        hb_DeviceIoAsyncEventDeregister(board_->deviceHandle, 6);
        hb__EventDestroy(event_);
    }

  private:
    void serve() {
        uint8_t block[HB_FILEIO_BLOCK_SIZE];
        const uint32_t marker = 0xFFFFFFFFu;
        const uint32_t n = static_cast<uint32_t>(data_.size());
        for (uint64_t request = 1;; ++request) {
            hb__EventLock(event_, HB_INFINITE_TIMEOUT);
            if (stop_)
                return;
            hb_DeviceIoSharedMemoryRead(board_->deviceHandle, offset_, block, sizeof block);
            hb__EventReset(event_);
            if (request % 2 == 1) { // like Read: data to the VP
                hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_ + 4, block + 4, 8);
                hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_ + 12, data_.data(), n);
            } else { // like Write: data from the VP
                hb_DeviceIoSharedMemoryRead(board_->deviceHandle, offset_ + 12, data_.data(), n);
                hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_ + 4, block + 4, 8);
            }
            hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_, &marker, 4);
        }
    }

    AcceleratorBoard* board_;
    uint32_t offset_;
    std::vector<uint8_t> data_;
    HbHandle event_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

struct Result {
    bool ok = false;
    uint32_t chunk = 0;
    size_t requests = 0;
    double copy = 0;  // MB/s, best pass
    double floor = 0; // MB/s, best pass
};

// The copy and its floor on boards whose shared memory reaches the host by
// `transport`.
Result measure(const std::string& root, hb::vboard::MemoryTransport transport) {
    Result result;
    const std::string image = std::string(HB_VP_IMAGE_DIR) + "/copy.exe";
    auto device = hb::vboard::Device::create(root + "/board");
    hb::vboard::BoardConfig config;
    config.transport = transport;
    hb::vboard::Board& emulated = device->addBoard(0, config);
    hb::vboard::Board& bare = device->addBoard(1, config);
    emulated.setTracing(false);
    bare.setTracing(false);
    auto vp = hb::vboard::attachEmulatedVp(emulated);
    AcceleratorBoard* board = hbAcceleratorBoardCreate(device->basePath().c_str(), 0, 0);
    AcceleratorBoard* floorBoard = hbAcceleratorBoardCreate(device->basePath().c_str(), 1, 0);
    if (board == nullptr || floorBoard == nullptr || hbFileIoStartup(board) != 0) {
        std::fprintf(stderr, "no board\n");
        return result;
    }
    hbtest::RequestAgent floorVp(bare);
    const uint32_t chunk = floorVp.layout().size - 12; // what one Read or Write carries

    const std::string source = root + "/source.bin";
    const std::string target = root + "/target.bin";
    const char* argv[] = {"copy", source.c_str(), target.c_str(), nullptr};
    hbFileIoSetCommandLine(board, argv);
    hbFileIoSetStdOutFunctions(
        board, [](const void*, int32_t n) { return n; }, nullptr);

    const size_t requestsPerCopy = 2 * ((kFileSize + chunk - 1) / chunk);
    double copyBest = 0, floorBest = 0;
    bool ok = true;
    for (int pass = 0; pass < kPasses && ok; ++pass) {
        // The copy: boot to halt. The boot (a few KiB of image) is counted.
        std::filesystem::remove(target);
        auto start = Clock::now();
        if (hbBootVp(board, image.c_str(), 10.0) != 1) {
            std::fprintf(stderr, "boot failed: %u\n", hbGetLastError());
            ok = false;
            break;
        }
        const auto status = vp->waitUntilEnded(std::chrono::minutes(5));
        const double copySeconds = seconds(start);
        if (status.state != hb::vboard::EmulatedVpState::Halted || status.exitValue != 0 ||
            std::filesystem::file_size(target) != kFileSize) {
            std::fprintf(stderr, "copy failed: %s%s\n", toString(status.state),
                         status.fault ? (" " + status.fault->text).c_str() : "");
            ok = false;
            break;
        }
        copyBest = std::max(copyBest, kFileSize / copySeconds / 1e6);

        // The floor for the same number of requests, interleaved with the
        // copies so that a busy moment of the machine hits both sides.
        ProtocolFloor floor(floorBoard, floorVp.layout().offset, chunk);
        // The VP side moves the data as well: it reads what a Read brought
        // and writes what a Write takes, at the speed of memcpy.
        std::vector<uint8_t> readBlock(HB_FILEIO_BLOCK_SIZE, 0), writeBlock(chunk + 12, 0x77);
        readBlock[0] = 8;
        writeBlock[0] = 9;
        start = Clock::now();
        for (size_t i = 0; i < requestsPerCopy; ++i) {
            if (i % 2 == 0) {
                floorVp.post(readBlock.data(), HB_FILEIO_BLOCK_SIZE);
                floorVp.readBlock(12, chunk);
            } else {
                floorVp.post(writeBlock.data(), chunk + 12);
            }
        }
        floorBest = std::max(floorBest, kFileSize / seconds(start) / 1e6);
    }

    result = {ok, chunk, requestsPerCopy, copyBest, floorBest};
    hbFileIoShutdown(board);
    hbAcceleratorBoardDestroy(board);
    hbAcceleratorBoardDestroy(floorBoard);
    return result;
}

} // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hbbench-XXXXXX").string();
    const std::string root = mkdtemp(pattern.data());
    {
        std::vector<char> data(kFileSize);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7 + (i >> 12));
        std::ofstream(root + "/source.bin", std::ios::binary)
            .write(data.data(), std::streamsize(data.size()));
    }
    const Result socket = measure(root, hb::vboard::MemoryTransport::Socket);
    const Result mapped = measure(root, hb::vboard::MemoryTransport::Mapped);
    std::filesystem::remove_all(root);
    if (!socket.ok || !mapped.ok)
        return 1;
    std::printf("copy of %zu MiB in %u-byte requests (%zu requests), best of %d\n", kFileSize >> 20,
                mapped.chunk, mapped.requests, kPasses);
    std::printf("%-34s %12s %12s %8s\n", "MB/s", "socket", "mapped", "ratio");
    std::printf("%-34s %12.2f %12.2f %8.2f\n", "emulated copy program", socket.copy, mapped.copy,
                mapped.copy / socket.copy);
    std::printf("%-34s %12.2f %12.2f %8.2f\n", "file-I/O protocol floor", socket.floor,
                mapped.floor, mapped.floor / socket.floor);
    std::printf("%-34s %12.2f %12.2f\n", "ratio copy / floor", socket.copy / socket.floor,
                mapped.copy / mapped.floor);
    return 0;
}
