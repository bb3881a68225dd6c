// The VP's GDB stub: a TCP listener on the loopback address and one debugger
// connection at a time, served on the processor's thread while the program
// is stopped and polled for an interrupt while it runs.
#include "vboard/gdb_stub.h"

#include "gdb_protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace hb::vboard {

namespace {

// How often a wait looks whether the board wants the processor back.
constexpr int kWaitSliceMs = 50;
// A debugger that takes no replies for this long counts as gone.
constexpr int kSendLimitSeconds = 5;
constexpr size_t kReceiveChunk = 4096;
constexpr int kChunksPerPoll = 8;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Waits up to one slice for `fd` to have something to read; false when not.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kWaitSliceMs) > 0;
}

} // namespace

GdbStub::GdbStub(uint16_t port, Announce announce) : announce_(std::move(announce)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throwErrno("socket");
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listener_);
        errno = error;
        throwErrno("127.0.0.1:" + std::to_string(port));
    }
    port_ = ntohs(address.sin_port);
}

GdbStub::~GdbStub() {
    drop();
    ::close(listener_);
}

std::string GdbStub::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

VpResume GdbStub::stopped(VpDebugTarget& target, const VpStop& stop) {
    if (stop.reason == VpStop::Reason::Started) {
        drop(); // a debugger of an earlier program
        if (!awaitConnection(target))
            return VpResume::Detach;
        session_->stopped(stop); // gdb asks with '?'
    } else if (connection_ < 0 || !send(session_->stopped(stop))) {
        drop();
        return VpResume::Detach;
    }
    std::string out;
    for (;;) {
        if (pending_.empty() && !receive(target))
            return VpResume::Detach;
        out.clear();
        const auto result = session_->feed(
            target, reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size(), out);
        pending_.erase(0, result.consumed);
        if (!out.empty() && !send(out)) {
            drop();
            return VpResume::Detach;
        }
        if (result.resume) {
            if (*result.resume == VpResume::Detach || *result.resume == VpResume::Kill)
                drop();
            return *result.resume;
        }
    }
}

VpPoll GdbStub::poll() {
    if (connection_ < 0)
        return VpPoll::Detach;
    bool interrupt =
        session_->interruptIn(reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size());
    pending_.clear();
    char buffer[kReceiveChunk];
    // A few chunks at most: a debugger that never stops sending does not
    // hold the program up for longer.
    for (int chunks = 0; chunks < kChunksPerPoll;) {
        const ssize_t got = ::recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            interrupt =
                session_->interruptIn(reinterpret_cast<const uint8_t*>(buffer), size_t(got)) ||
                interrupt;
            ++chunks;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            drop();
            return VpPoll::Detach;
        }
        break;
    }
    return interrupt ? VpPoll::Stop : VpPoll::Run;
}

void GdbStub::ended(const VpEnd& end) {
    if (connection_ >= 0)
        send(gdb::frame(gdb::endReply(end)));
    drop();
}

// Announces the wait, then waits for a debugger until the board wants the
// processor back.
bool GdbStub::awaitConnection(const VpDebugTarget& target) {
    if (announce_)
        announce_(address());
    while (!target.stopRequested()) {
        if (!readable(listener_))
            continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) { // out of descriptors, say: the next try comes a slice later
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const timeval limit{kSendLimitSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        connection_ = fd;
        session_ = std::make_unique<gdb::Session>();
        pending_.clear();
        return true;
    }
    return false;
}

// Waits for bytes from the debugger; false (and the connection dropped) when
// it went away, false when the board wants the processor back.
bool GdbStub::receive(const VpDebugTarget& target) {
    char buffer[kReceiveChunk];
    while (!target.stopRequested()) {
        if (!readable(connection_))
            continue;
        const ssize_t got = ::recv(connection_, buffer, sizeof buffer, 0);
        if (got > 0) {
            pending_.assign(buffer, size_t(got));
            return true;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        drop();
        return false;
    }
    return false;
}

bool GdbStub::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put =
            ::send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += size_t(put);
    }
    return true;
}

void GdbStub::drop() {
    if (connection_ >= 0)
        ::close(connection_);
    connection_ = -1;
    session_.reset();
    pending_.clear();
}

} // namespace hb::vboard
