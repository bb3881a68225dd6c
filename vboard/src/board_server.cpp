// One board's socket server: connections, frames read and checked, requests
// handed to the request handler, replies sent.
#include "board_server.h"

#include "device_socket.h"
#include "device_wire.h"
#include "hbsys9u.h"
#include "request_handler.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace hb::vboard::detail {

namespace {

constexpr size_t kReadChunk = 64u << 10;
constexpr size_t kMaxConnections = 64;
// Descriptors a connection may have received ahead of the frames they belong
// to; a well-behaved host has at most one in flight.
constexpr size_t kMaxPendingDescriptors = 16;
// A host that stops reading its replies loses its connection after this long.
constexpr time_t kSendTimeoutSeconds = 10;
// A request that would change a board another process owns.
constexpr uint32_t kStatusBusy = 170;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw std::invalid_argument("socket path empty or too long: " + path);
    }
    std::memcpy(address.sun_path, path.data(), path.size()); // zero-filled: terminated
    return address;
}

// A socket left behind by a device that has ended is replaced; one that
// still answers belongs to a live device and is left alone.
void removeStaleSocket(const sockaddr_un& address) {
    struct stat st {};
    if (::lstat(address.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return;
    }
    const bool live =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int error = errno;
    ::close(probe);
    if (!live && error == ECONNREFUSED) {
        ::unlink(address.sun_path);
    }
}

void closeUnkept(std::vector<int>& descriptors) {
    for (int& descriptor : descriptors) {
        if (descriptor >= 0) {
            ::close(descriptor);
            descriptor = -1;
        }
    }
}

} // namespace

struct BoardServer::Connection {
    int fd = -1;
    ConnectionId id = 0;
    pid_t peer = 0;         // the connecting process
    bool ownsBoard = false; // has changed the board on behalf of the owner
    bool greeted = false;
    bool mapped = false; // holds the board's shared memory
    bool closed = false;
    std::vector<uint8_t> buffer; // bytes received and not yet handled: [0, used)
    size_t used = 0;
    uint64_t streamOffset = 0; // stream position of buffer[0]
    // Received descriptors, each with the stream position of the last byte
    // that arrived with it; a frame owns the descriptors within its bytes.
    std::deque<std::pair<uint64_t, int>> descriptors;
};

namespace {
// Waiters of dropConnections; one per process is plenty.
std::mutex dropMutex;
std::condition_variable dropDone;
} // namespace

BoardServer::BoardServer(BoardState& board) : board_(board) {
    const sockaddr_un address = socketAddress(board.socketPath());
    removeStaleSocket(address);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        throwErrno("socket");
    }
    struct stat st {};
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 || ::stat(address.sun_path, &st) != 0) {
        const int error = errno;
        ::close(listenFd_);
        errno = error;
        throwErrno("bind");
    }
    socketInode_ = st.st_ino;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event wakeEvent{EPOLLIN, {.ptr = &wakeFd_}};
    epoll_event listenEvent{EPOLLIN, {.ptr = &listenFd_}};
    if (wakeFd_ < 0 || epollFd_ < 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent) != 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listenEvent) != 0) {
        const int error = errno;
        ::close(listenFd_);
        ::close(wakeFd_);
        ::close(epollFd_);
        ::unlink(address.sun_path);
        errno = error;
        throwErrno("epoll");
    }
    board_.setDropHandler([this] { dropConnections(); });
    thread_ = std::thread(&BoardServer::run, this);
}

BoardServer::~BoardServer() {
    stop();
}

void BoardServer::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    board_.setDropHandler(nullptr);
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    struct stat st {};
    const std::string path = board_.socketPath();
    if (::stat(path.c_str(), &st) == 0 && st.st_ino == socketInode_) {
        ::unlink(path.c_str());
    }
    ::close(listenFd_);
    ::close(wakeFd_);
    ::close(epollFd_);
    board_.setConnectionCount(0);
    {
        std::lock_guard lock(dropMutex); // no waiter between its check and its sleep
    }
    dropDone.notify_all();
}

void BoardServer::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void BoardServer::dropConnections() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        dropPending_ = true; // from a hook: the request in progress goes unanswered
        return;
    }
    std::unique_lock lock(dropMutex);
    if (stopping_) {
        return;
    }
    const uint64_t target = ++dropsRequested_;
    wake();
    dropDone.wait(lock, [&] { return dropsDone_ >= target || stopping_; });
}

void BoardServer::run() {
    enterDeviceThread();
    epoll_event events[16];
    while (!stopping_) {
        int n = 0;
        // Frames of one transfer come microseconds apart: look for the next
        // before sleeping, sparing the host the wait for this thread's wake-up.
        if (!frameSpin_.look(
                [&] { return (n = ::epoll_wait(epollFd_, events, std::size(events), 0)) != 0; })) {
            n = ::epoll_wait(epollFd_, events, std::size(events), -1);
        }
        if (n < 0) {
            continue; // EINTR; nothing else can fail with a valid epoll set
        }
        bool incoming = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == &wakeFd_) {
                uint64_t count;
                [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
            } else if (events[i].data.ptr == &listenFd_) {
                incoming = true;
            }
        }
        if (stopping_) {
            break;
        }
        if (const uint64_t requested = dropsRequested_; dropsDone_ < requested) {
            closeAllConnections();
            {
                std::lock_guard lock(dropMutex);
                dropsDone_ = requested;
            }
            dropDone.notify_all();
        } else {
            for (int i = 0; i < n && !dropPending_; ++i) {
                void* tag = events[i].data.ptr;
                if (tag == &wakeFd_ || tag == &listenFd_) {
                    continue;
                }
                // Closed earlier in this batch: not yet erased, still safe to look at.
                auto& c = *static_cast<Connection*>(tag);
                if (!c.closed && !serviceConnection(c)) {
                    closeConnection(c);
                }
            }
            if (dropPending_) {
                closeAllConnections();
                dropPending_ = false;
            }
        }
        if (incoming) {
            acceptConnection();
        }
        const size_t before = connections_.size();
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
        if (incoming || connections_.size() != before) {
            board_.setConnectionCount(connections_.size());
        }
    }
    closeAllConnections();
    connections_.clear();
}

void BoardServer::acceptConnection() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (connections_.size() >= kMaxConnections) {
        ::close(fd);
        return;
    }
    const timeval limit{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->id = nextConnection_++;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
        c->peer = credentials.pid;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = c.get();
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(fd);
        return;
    }
    connections_.push_back(std::move(c));
}

// Whether `c` may change the board: its process owns it, or nobody does (any
// more), and then it becomes the owner.
bool BoardServer::claimBoard(Connection& c) {
    if (owner_ != 0 && owner_ != c.peer && ownerStillConnected()) {
        return false;
    }
    if (owner_ != c.peer) {
        for (auto& other : connections_) {
            other->ownsBoard = false;
        }
        owner_ = c.peer;
    }
    c.ownsBoard = true;
    return true;
}

// An owning connection whose peer has hung up but whose end this thread has
// not yet handled no longer holds the board.
bool BoardServer::ownerStillConnected() const {
    for (const auto& c : connections_) {
        if (!c->ownsBoard || c->closed) {
            continue;
        }
        pollfd probe{c->fd, POLLRDHUP, 0};
        if (::poll(&probe, 1, 0) == 0 || (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
            return true;
        }
    }
    return false;
}

void BoardServer::closeConnection(Connection& c) {
    if (c.closed) {
        return;
    }
    c.closed = true;
    if (c.ownsBoard) {
        c.ownsBoard = false;
        const bool held = std::any_of(connections_.begin(), connections_.end(),
                                      [](const auto& other) { return other->ownsBoard; });
        if (!held) {
            owner_ = 0;
        }
    }
    // Descriptors first: the host sees the connection end only once nothing
    // it sent is held any more.
    for (const auto& [position, descriptor] : c.descriptors) {
        ::close(descriptor);
    }
    c.descriptors.clear();
    board_.releaseConnection(c.id);
    // Removed explicitly: a forked process may still hold the socket open.
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.buffer = {};
}

void BoardServer::closeAllConnections() {
    for (auto& c : connections_) {
        closeConnection(*c);
    }
}

// Reads what has arrived and handles every complete frame. False ends the
// connection: the peer closed it, or sent a frame that cannot be trusted.
bool BoardServer::serviceConnection(Connection& c) {
    if (c.buffer.size() - c.used < kReadChunk) {
        c.buffer.resize(c.used + kReadChunk);
    }
    iovec iov{c.buffer.data() + c.used, c.buffer.size() - c.used};
    wire::DescriptorRoom<kMaxPendingDescriptors> room;
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = room.bytes;
    msg.msg_controllen = sizeof room.bytes;
    const ssize_t n = ::recvmsg(c.fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    const uint64_t lastPosition = c.streamOffset + c.used + static_cast<size_t>(n) - 1;
    wire::forEachReceivedDescriptor(
        msg, [&](int descriptor) { c.descriptors.emplace_back(lastPosition, descriptor); });
    if (n == 0 || (msg.msg_flags & MSG_CTRUNC) != 0 ||
        c.descriptors.size() > kMaxPendingDescriptors) {
        return false;
    }
    c.used += static_cast<size_t>(n);

    size_t position = 0;
    while (c.used - position >= wire::kHeaderSize) {
        const uint8_t* frame = c.buffer.data() + position;
        const wire::FrameHeader header = wire::decodeHeader(frame);
        if (!wire::requestSizesValid(header)) {
            return false;
        }
        if (c.used - position < header.totalSize) {
            break;
        }
        const uint64_t frameEnd = c.streamOffset + position + header.totalSize;
        std::vector<int> descriptors;
        while (!c.descriptors.empty() && c.descriptors.front().first < frameEnd) {
            descriptors.push_back(c.descriptors.front().second);
            c.descriptors.pop_front();
        }
        const bool keep = handleFrame(c, header, frame + wire::kHeaderSize, descriptors);
        closeUnkept(descriptors);
        if (!keep) {
            return false;
        }
        position += header.totalSize;
    }
    if (position > 0) {
        std::memmove(c.buffer.data(), c.buffer.data() + position, c.used - position);
        c.used -= position;
        c.streamOffset += position;
    }
    if (c.buffer.size() > 4 * kReadChunk && c.used < kReadChunk) {
        c.buffer.resize(kReadChunk);
        c.buffer.shrink_to_fit();
    }
    return true;
}

bool BoardServer::handleFrame(Connection& c, const wire::FrameHeader& header,
                              const uint8_t* payload, std::vector<int>& descriptors) {

    if (header.flags & wire::kFlagHello) {
        closeUnkept(descriptors);
        return greet(c, header, payload, !descriptors.empty());
    }
    if (!c.greeted) {
        return false;
    }
    if (header.flags & wire::kFlagNotice) {
        closeUnkept(descriptors);
        return descriptors.empty() && takeNotice(c, header, payload);
    }
    const bool flagged = (header.flags & wire::kFlagDescriptor) != 0;
    if (flagged != !descriptors.empty()) {
        closeUnkept(descriptors);
        return sendReply(c, header.requestId, 0, wire::kStatusInvalidParameter, 0, nullptr, 0);
    }

    const bool posted = (header.flags & wire::kFlagPosted) != 0;
    if (posted && !c.mapped) {
        closeUnkept(descriptors);
        return false; // only a host with the mapping knows when it may post
    }
    if (wire::changesBoard(header.controlCode) && !claimBoard(c)) {
        closeUnkept(descriptors);
        TraceEntry refused; // seen on the trace like any other answer
        refused.controlCode = header.controlCode;
        refused.name = requestName(header.controlCode);
        refused.status = kStatusBusy;
        board_.appendTrace(std::move(refused));
        return posted || sendReply(c, header.requestId, 0, kStatusBusy, 0, nullptr, 0);
    }

    RawRequest request;
    request.controlCode = header.controlCode;
    request.input = {payload, header.inputSize};
    request.data = {payload + header.inputSize, header.dataSize};
    request.outputCapacity =
        wire::secondBufferGoesToDevice(header.controlCode) ? 0 : header.outputCapacity;
    request.connection = c.id;
    Outcome outcome = handleRequest(board_, request, descriptors, replyPayload_);
    closeUnkept(descriptors); // before the reply: the host may count its descriptors then
    if (dropPending_) {
        return false; // the board went away while the request was in progress
    }
    if (replyPayload_.size() > request.outputCapacity) {
        outcome.status = wire::kStatusInvalidFunction;
        outcome.bytesReturned = 0; // never more than the caller has room for
        replyPayload_.clear();
    }
    // A posted request's outcome stays on the trace: the host made sure it
    // could not fail.
    return posted || sendReply(c, header.requestId, 0, outcome.status, outcome.bytesReturned,
                               replyPayload_.data(), replyPayload_.size(), outcome.replyFault);
}

// The opening exchange: the protocol version, and the shared memory for a
// host that takes it from a board that offers it.
bool BoardServer::greet(Connection& c, const wire::FrameHeader& header, const uint8_t* payload,
                        bool sentDescriptors) {
    if (c.greeted || sentDescriptors || wire::getLe32(payload) != wire::kMagic) {
        return false;
    }
    if (wire::getLe32(payload + 4) != wire::kProtocolVersion) {
        sendReply(c, header.requestId, wire::kFlagHello, wire::kStatusRevisionMismatch, 0, nullptr,
                  0);
        return false;
    }
    c.greeted = true;
    const int memory = board_.sharedMemoryDescriptor();
    c.mapped = memory >= 0 && (wire::getLe32(payload + 8) & wire::kFeatureMappedMemory) != 0;
    uint8_t answer[wire::kHelloReplyPayloadSize];
    wire::putLe32(answer, wire::kMagic);
    wire::putLe32(answer + 4, wire::kProtocolVersion);
    wire::putLe32(answer + 8, c.mapped ? wire::kFeatureMappedMemory : 0);
    wire::putLe32(answer + 12, board_.sharedMemorySize());
    return sendReply(c, header.requestId, wire::kFlagHello, wire::kStatusSuccess, sizeof answer,
                     answer, sizeof answer, {}, c.mapped ? memory : -1);
}

// A mapped host wrote shared memory: the board wakes its waiters and the VP
// side reacts as it does to a write request. No reply.
bool BoardServer::takeNotice(Connection& c, const wire::FrameHeader& header,
                             const uint8_t* payload) {
    const uint32_t offset = wire::getLe32(payload);
    const uint32_t length = wire::getLe32(payload + 4);
    if (!c.mapped || header.controlCode != HB_IOCTL_SHARED_MEMORY_WRITE ||
        !board_.noteMappedWrite(offset, length)) {
        return false; // a host that does not keep the protocol
    }
    if (length != 0) {
        if (const auto vp = board_.vpSide()) {
            vp->onSharedMemoryWrite(board_, offset, length);
        }
    }
    return !dropPending_;
}

bool BoardServer::sendReply(Connection& c, uint32_t requestId, uint32_t flags, uint32_t status,
                            uint32_t bytesReturned, const uint8_t* payload, size_t length,
                            const ReplyFault& fault, int descriptor) {
    using FaultKind = ReplyFault::Kind;
    if (fault.kind == FaultKind::CloseBefore) {
        return false; // the request took effect; its reply never comes
    }
    if (fault.kind == FaultKind::Delay) {
        std::this_thread::sleep_for(fault.delay);
    }
    wire::FrameHeader reply;
    reply.totalSize = wire::kHeaderSize + static_cast<uint32_t>(length);
    reply.requestId = requestId;
    reply.flags = flags | wire::kFlagReply;
    reply.status = status;
    reply.bytesReturned = bytesReturned;
    uint8_t header[wire::kHeaderSize];
    wire::encodeHeader(reply, header);
    if (fault.kind == FaultKind::Corrupt) {
        uint8_t* word = header + 4 * fault.word;
        wire::putLe32(word, wire::getLe32(word) ^ fault.mask);
    }
    if (descriptor >= 0) {
        reply.flags |= wire::kFlagDescriptor;
        wire::encodeHeader(reply, header);
    }
    iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(payload), length}};
    if (fault.kind == FaultKind::CloseMid) {
        // Half of the frame, then the connection ends.
        const size_t half = (sizeof header + length) / 2;
        iov[0].iov_len = std::min(half, sizeof header);
        iov[1].iov_len = half - iov[0].iov_len;
    }
    if (!wire::sendWhole(c.fd, iov, 2, descriptor)) {
        return false; // closed, or the host stopped reading
    }
    return fault.kind != FaultKind::CloseMid;
}

} // namespace hb::vboard::detail
