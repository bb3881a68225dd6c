// A GDB remote-protocol stub for the programs of one emulated VP, listening
// on 127.0.0.1:PORT.
#pragma once

#include "vboard/vp_debug.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace hb::vboard {

namespace gdb {
class Session;
}

// Each program the VP starts waits before its first instruction for a
// debugger to connect, then runs as the debugger says; a debugger that
// detaches or goes away lets it run on to its end.
//
//   auto stub = std::make_shared<hb::vboard::GdbStub>(port, announce);
//   vp->setDebugger(stub);   // before the boot
class GdbStub final : public VpDebugger {
  public:
    // Called with "127.0.0.1:PORT" each time a program waits for a debugger.
    using Announce = std::function<void(const std::string& address)>;

    // Listens on 127.0.0.1:`port` (0: a free port). Throws std::system_error
    // when the port cannot be had.
    GdbStub(uint16_t port, Announce announce);
    ~GdbStub() override;
    GdbStub(const GdbStub&) = delete;
    GdbStub& operator=(const GdbStub&) = delete;

    uint16_t port() const { return port_; }
    std::string address() const;

    // VpDebugger; on the processor's thread.
    VpResume stopped(VpDebugTarget& target, const VpStop& stop) override;
    VpPoll poll() override;
    void ended(const VpEnd& end) override;

  private:
    bool awaitConnection(const VpDebugTarget& target);
    bool receive(const VpDebugTarget& target);
    bool send(const std::string& bytes);
    void drop();

    int listener_ = -1;
    int connection_ = -1;
    uint16_t port_ = 0;
    Announce announce_;
    std::unique_ptr<gdb::Session> session_; // one per connection
    std::string pending_;                   // received, not yet handled
};

} // namespace hb::vboard
