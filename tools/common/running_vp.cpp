#include "running_vp.h"

namespace hb::tools {

RunningVp::RunningVp(vboard::Board& board, const vboard::MonitorOptions& options)
    : monitor_(std::make_shared<vboard::Monitor>(options)), cpu_(board) {
    monitor_->setStartHandler([this](vboard::Board&, const vboard::StartedImage&) {
        std::string error;
        const bool started = cpu_.start(monitor_->vpStart(), &error);
        std::lock_guard guard(lock_);
        startError_ = started ? std::string() : error;
    });
}

RunningVp::~RunningVp() {
    cpu_.stop();
    monitor_->stop();
}

void RunningVp::onReset(vboard::Board& board) {
    // The program goes first: the monitor's reset renews the memory it runs in.
    cpu_.stop();
    monitor_->onReset(board);
}

void RunningVp::onSharedMemoryWrite(vboard::Board& board, uint32_t offset, uint32_t length) {
    monitor_->onSharedMemoryWrite(board, offset, length);
}

std::string RunningVp::startError() const {
    std::lock_guard guard(lock_);
    return startError_;
}

std::shared_ptr<RunningVp> attachRunningVp(vboard::Board& board,
                                           const vboard::MonitorOptions& options) {
    auto vp = std::make_shared<RunningVp>(board, options);
    board.setVpSide(vp);
    return vp;
}

} // namespace hb::tools
