// Tests against the virtual board over real sockets: a device serving boards
// in a fresh temporary directory, and helpers to look at the process and to
// make sockets by hand.
#pragma once

#include "fileio/scratch_directory.h"
#include "hbsys9u.h"
#include "vboard/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace hb::test {

using Bytes = std::vector<uint8_t>;
const Bytes none;

// 32-bit little-endian words, as every buffer of the device's contract holds them.
inline Bytes words(std::initializer_list<uint32_t> values) {
    Bytes bytes;
    for (uint32_t v : values)
        bytes.insert(bytes.end(),
                     {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    return bytes;
}

// Entries of a /proc/self directory, less the descriptor that lists them.
inline int countEntries(const char* directory) {
    const auto entries = std::filesystem::directory_iterator(directory);
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}
// Descriptors the process holds right now.
inline int countOpenDescriptors() {
    return countEntries("/proc/self/fd") - 1;
}
// Threads the process runs right now.
inline int threadCount() {
    return countEntries("/proc/self/task");
}

// The last error that a call which must fail left; 0 when it succeeded.
inline uint32_t failure(int32_t result) {
    return result != 0 ? 0 : hbGetLastError();
}

// Polls `condition` until it holds or `limit` passes (for effects on the
// device's thread, which follow a reply or a close without ordering).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    return address;
}

// A Unix-domain socket at `path`, listening or not; -1 when it cannot be made.
inline int socketAt(const std::string& path, bool listening) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 1) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class VirtualBoardTest : public ::testing::Test {
  protected:
    void TearDown() override {
        std::for_each(boards_.begin(), boards_.end(), hbAcceleratorBoardDestroy);
        device_.reset();
    }

    // Serves a board at `index` and opens a board handle on it; a board that
    // does not open ends the test.
    AcceleratorBoard* open(int index, const vboard::BoardConfig& config = {}) {
        if (device_->board(index) == nullptr)
            device_->addBoard(index, config);
        AcceleratorBoard* board = hbAcceleratorBoardCreate(base_.c_str(), index, 0);
        if (board == nullptr)
            throw std::runtime_error("board " + std::to_string(index) + " does not open");
        return boards_.emplace_back(board);
    }

    void close(AcceleratorBoard* board) {
        std::erase(boards_, board);
        hbAcceleratorBoardDestroy(board);
    }

    vboard::Board& board(int index) { return *device_->board(index); }

    size_t countRequests(int index, uint32_t controlCode) {
        const auto trace = board(index).trace();
        return std::count_if(trace.begin(), trace.end(),
                             [&](const auto& entry) { return entry.controlCode == controlCode; });
    }

    hbtest::ScratchDirectory scratch_;
    std::string directory_ = scratch_.path();
    std::string base_ = directory_ + "/hb";
    std::unique_ptr<vboard::Device> device_ = vboard::Device::create(base_);
    std::vector<AcceleratorBoard*> boards_;
};

} // namespace hb::test
