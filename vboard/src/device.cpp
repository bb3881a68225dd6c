// A device serving boards, each at base path + decimal (index + 1).
#include "board_server.h"
#include "board_state.h"
#include "vboard/board.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace hb::vboard {

namespace {

constexpr uint32_t kMaxSharedMemorySize = 1u << 30;

class DeviceImpl final : public Device {
  public:
    explicit DeviceImpl(std::string basePath) : basePath_(std::move(basePath)) {}
    ~DeviceImpl() override { stop(); }

    Board& addBoard(int index, const BoardConfig& config) override {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            throw std::logic_error("device stopped");
        }
        if (index < 0 || boards_.count(index) != 0) {
            throw std::invalid_argument("board index negative or already served");
        }
        if (config.sharedMemorySize > kMaxSharedMemorySize) {
            throw std::invalid_argument("shared memory larger than 1 GiB");
        }
        const std::string path = basePath_ + std::to_string(static_cast<long long>(index) + 1);
        Entry entry;
        entry.state = std::make_unique<detail::BoardState>(index, config, path);
        entry.server = std::make_unique<detail::BoardServer>(*entry.state);
        Board& board = *entry.state;
        boards_.emplace(index, std::move(entry));
        return board;
    }

    Board* board(int index) override {
        std::lock_guard lock(mutex_);
        const auto it = boards_.find(index);
        return it != boards_.end() ? it->second.state.get() : nullptr;
    }

    const std::string& basePath() const override { return basePath_; }

    void stop() override {
        std::vector<detail::BoardState*> detach;
        {
            std::lock_guard lock(mutex_);
            if (!stopped_) {
                for (auto& [index, entry] : boards_) {
                    detach.push_back(entry.state.get());
                }
            }
            stopped_ = true;
            for (auto& [index, entry] : boards_) {
                entry.server->stop();
            }
        }
        // With the servers' threads ended no hook runs any more; the VP
        // sides stop working on their boards while the boards still exist.
        // The boards themselves stay until the device goes away.
        for (detail::BoardState* state : detach) {
            if (const auto vp = state->vpSide()) {
                vp->onDetach(*state);
            }
        }
    }

  private:
    struct Entry {
        std::unique_ptr<detail::BoardState> state; // outlives its server
        std::unique_ptr<detail::BoardServer> server;
    };

    const std::string basePath_;
    std::mutex mutex_;
    std::map<int, Entry> boards_;
    bool stopped_ = false;
};

} // namespace

std::unique_ptr<Device> Device::create(std::string basePath) {
    return std::make_unique<DeviceImpl>(std::move(basePath));
}

} // namespace hb::vboard
