// A board in memory for tests of the VP side: shared memory, events and a
// host that answers file-I/O doorbells through a callback on its own thread.
#pragma once

#include "little_endian.h"
#include "vboard/board.h"

#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace hb::vboard::testing {

class FakeBoard : public Board {
  public:
    explicit FakeBoard(BoardConfig config = {}, uint32_t sharedSize = 0x32500)
        : config_(config), shared_(sharedSize, 0) {}
    ~FakeBoard() override { stopHost(); }

    // Answers each event-6 ring on a host thread: `answer` reads the block
    // and writes the response and the marker, as the file-I/O service does.
    void startHost(std::function<void(FakeBoard&)> answer) {
        host_ = std::thread([this, answer] {
            std::unique_lock lock(mutex_);
            for (;;) {
                changed_.wait(lock, [&] { return hostStop_ || pendingFileIo_ > 0; });
                if (hostStop_) {
                    return;
                }
                --pendingFileIo_;
                lock.unlock();
                answer(*this);
                lock.lock();
            }
        });
    }
    void stopHost() {
        {
            std::lock_guard lock(mutex_);
            hostStop_ = true;
        }
        changed_.notify_all();
        if (host_.joinable()) {
            host_.join();
        }
    }

    void registerEvent(uint32_t id) {
        std::lock_guard lock(mutex_);
        registered_[id] = true;
    }
    int eventCount(uint32_t id) const {
        std::lock_guard lock(mutex_);
        auto it = raised_.find(id);
        return it == raised_.end() ? 0 : it->second;
    }

    int index() const override { return 0; }
    const BoardConfig& config() const override { return config_; }
    std::string socketPath() const override { return {}; }
    uint32_t sharedMemorySize() const override { return uint32_t(shared_.size()); }
    bool readShared(uint32_t offset, void* out, uint32_t length) const override {
        std::lock_guard lock(mutex_);
        if (uint64_t(offset) + length > shared_.size()) {
            return false;
        }
        std::memcpy(out, shared_.data() + offset, length);
        return true;
    }
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override {
        {
            std::lock_guard lock(mutex_);
            if (uint64_t(offset) + length > shared_.size()) {
                return false;
            }
            std::memcpy(shared_.data() + offset, data, length);
        }
        changed_.notify_all();
        return true;
    }
    uint32_t readSharedWord(uint32_t offset) const override {
        uint32_t v = 0;
        readShared(offset, &v, 4);
        return v;
    }
    bool writeSharedWord(uint32_t offset, uint32_t value) override {
        return writeShared(offset, &value, 4);
    }
    bool waitForSharedWord(uint32_t offset, uint32_t value,
                           std::chrono::milliseconds timeout) const override {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            uint32_t v = 0;
            if (uint64_t(offset) + 4 <= shared_.size()) {
                v = hb::getLe32(shared_.data() + offset);
            }
            return v == value;
        });
    }
    bool raiseEvent(uint32_t eventId) override {
        {
            std::lock_guard lock(mutex_);
            ++raised_[eventId];
            if (!registered_[eventId]) {
                return false;
            }
            if (eventId == 6) {
                ++pendingFileIo_;
            }
        }
        changed_.notify_all();
        return true;
    }
    bool isEventRegistered(uint32_t eventId) const override {
        std::lock_guard lock(mutex_);
        auto it = registered_.find(eventId);
        return it != registered_.end() && it->second;
    }
    uint32_t registerValue(uint32_t) const override { return 0; }
    uint32_t resetCount() const override { return 0; }
    std::vector<uint32_t> signalsReceived() const override { return {}; }
    size_t takeFromHost(void*, size_t) override { return 0; }
    void sendToHost(const void*, size_t) override {}
    std::vector<TraceEntry> trace() const override { return {}; }
    void clearTrace() override {}
    void setVpSide(std::shared_ptr<VpSide>) override {}
    // No host connections in memory: nothing to drop.
    void dropConnections() override {}
    size_t connectionCount() const override { return 0; }

  private:
    BoardConfig config_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> shared_;
    std::map<uint32_t, bool> registered_;
    std::map<uint32_t, int> raised_;
    int pendingFileIo_ = 0;
    bool hostStop_ = false;
    std::thread host_;
};

} // namespace hb::vboard::testing
