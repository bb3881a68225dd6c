// File-I/O requests per second and MB/s through the request agent, and in the
// same run the protocol floor: the driver round trips one request needs (the
// 528-byte block read, response words, data, marker) plus one event wake-up,
// made by a bare loop on a second board without a host operation. The ratio
// service / floor says how much the service adds to the protocol's own cost.
// Both transports of the virtual board in one run: every request a frame on
// the socket, and the shared memory mapped into the driver channel.
#include "hbsys9u.h"
#include "support/request_agent.h"
#include "vboard/board.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using hbtest::RequestAgent;

constexpr double kSecondsPerCase = 0.5;

template <class Request> double requestsPerSecond(Request&& request) {
    for (int i = 0; i < 50; ++i)
        request(); // warm up
    long count = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < kSecondsPerCase) {
        for (int i = 0; i < 100; ++i)
            request();
        count += 100;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return count / elapsed;
}

// The protocol's own cost on `board`: a thread woken by event 6 that copies
// the block, writes response words and `dataBytes` of data and the marker.
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
        while (true) {
            hb__EventLock(event_, HB_INFINITE_TIMEOUT);
            if (stop_)
                return;
            hb_DeviceIoSharedMemoryRead(board_->deviceHandle, offset_, block, sizeof block);
            hb__EventReset(event_);
            hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_ + 4, block + 4, 12);
            if (!data_.empty())
                hb_DeviceIoSharedMemoryWrite(board_->deviceHandle, offset_ + 12, data_.data(),
                                             static_cast<uint32_t>(data_.size()));
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

struct Row {
    const char* name;
    uint32_t bytes;
    double rate; // requests per second
};

// The table for boards whose shared memory reaches the host by `transport`;
// empty when the boards cannot be served.
std::vector<Row> measure(const std::string& root, hb::vboard::MemoryTransport transport,
                         const char* title) {
    std::vector<Row> rows;
    std::filesystem::create_directories(root);
    auto device = hb::vboard::Device::create(root + "/board");
    hb::vboard::BoardConfig config;
    config.transport = transport;
    hb::vboard::Board& served = device->addBoard(0, config);
    hb::vboard::Board& bare = device->addBoard(1, config);
    served.setTracing(false);
    bare.setTracing(false);
    AcceleratorBoard* board = hbAcceleratorBoardCreate(device->basePath().c_str(), 0, 0);
    AcceleratorBoard* floorBoard = hbAcceleratorBoardCreate(device->basePath().c_str(), 1, 0);
    if (board == nullptr || floorBoard == nullptr || hbFileIoStartup(board) != 0) {
        std::fprintf(stderr, "no board\n");
        return rows;
    }
    RequestAgent vp(served);
    RequestAgent floorVp(bare);
    const uint32_t maximum = vp.layout().size - 12;

    const std::string source = root + "/source.bin";
    {
        const int32_t fd = vp.open(source, HB_O_CREAT | HB_O_WRONLY).value;
        const std::vector<uint8_t> fill(maximum, 0x33);
        for (int i = 0; i < 64; ++i)
            vp.write(fd, fill.data(), static_cast<int32_t>(fill.size()));
        vp.close(fd);
    }
    const int32_t readFd = vp.open(source, HB_O_RDONLY).value;
    const int32_t writeFd = vp.open(root + "/sink.bin", HB_O_CREAT | HB_O_WRONLY).value;
    const std::vector<uint8_t> payload(maximum, 0x44);

    std::printf("%s\n%-12s %8s %14s %10s %14s %8s\n", title, "request", "bytes", "requests/s",
                "MB/s", "floor req/s", "ratio");
    for (const uint32_t bytes : {0u, 256u, maximum}) {
        ProtocolFloor floor(floorBoard, floorVp.layout().offset, bytes);
        std::vector<uint8_t> floorBlock(HB_FILEIO_BLOCK_SIZE, 0);
        floorBlock[0] = 8; // any code: the bare loop only moves bytes
        // A Seek back to the start now and then keeps the files small; it is
        // one request in 64 and counted with the others.
        int round = 0;
        auto readRequest = [&] {
            if (++round % 64 == 0)
                vp.seek(readFd, 0, 0);
            else
                vp.read(readFd, static_cast<int32_t>(bytes));
        };
        auto writeRequest = [&] {
            if (++round % 64 == 0)
                vp.seek(writeFd, 0, 0);
            else
                vp.write(writeFd, payload.data(), static_cast<int32_t>(bytes));
        };
        // Interleaved rounds, best of each, so that a busy moment of the
        // machine does not fall on one side only.
        double floorRate = 0, readRate = 0, writeRate = 0;
        for (int pass = 0; pass < 3; ++pass) {
            floorRate = std::max(floorRate, requestsPerSecond([&] {
                                     floorVp.post(floorBlock.data(), HB_FILEIO_BLOCK_SIZE);
                                 }));
            readRate = std::max(readRate, requestsPerSecond(readRequest));
            writeRate = std::max(writeRate, requestsPerSecond(writeRequest));
        }
        rows.push_back({"Read", bytes, readRate});
        rows.push_back({"Write", bytes, writeRate});
        for (const auto& [name, rate] :
             {std::pair{"Read", readRate}, std::pair{"Write", writeRate}})
            std::printf("%-12s %8u %14.0f %10.2f %14.0f %8.2f\n", name, bytes, rate,
                        rate * bytes / 1e6, floorRate, rate / floorRate);
    }

    vp.close(readFd);
    vp.close(writeFd);
    hbFileIoShutdown(board);
    hbAcceleratorBoardDestroy(board);
    hbAcceleratorBoardDestroy(floorBoard);
    return rows;
}

} // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hbbench-XXXXXX").string();
    const std::string root = mkdtemp(pattern.data());
    const auto socket =
        measure(root + "/s", hb::vboard::MemoryTransport::Socket, "socket: every request a frame");
    const auto mapped = measure(root + "/m", hb::vboard::MemoryTransport::Mapped,
                                "mapped: shared memory in the driver channel");
    std::filesystem::remove_all(root);
    if (socket.size() != mapped.size() || socket.empty())
        return 1;
    std::printf("\nrequests/s      %8s %12s %12s %8s\n", "bytes", "socket", "mapped", "ratio");
    for (size_t i = 0; i < socket.size(); ++i)
        std::printf("%-15s %8u %12.0f %12.0f %8.2f\n", socket[i].name, socket[i].bytes,
                    socket[i].rate, mapped[i].rate, mapped[i].rate / socket[i].rate);
    std::printf("(one request in 64 is a Seek back to the start of the file)\n");
    return 0;
}
