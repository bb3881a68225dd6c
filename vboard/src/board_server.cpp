#include "board_server.h"

#include "device_wire.h"
#include "request_handler.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <poll.h>
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

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw std::invalid_argument("socket path empty or too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
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

} // namespace

struct BoardServer::Connection {
    int fd = -1;
    ConnectionId id = 0;
    bool greeted = false;
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
    if (wakeFd_ < 0) {
        const int error = errno;
        ::close(listenFd_);
        ::unlink(address.sun_path);
        errno = error;
        throwErrno("eventfd");
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
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto& c : connections_) {
            fds.push_back({c->fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue; // EINTR; nothing else can fail with valid descriptors
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
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
            for (size_t i = 2; i < fds.size() && !dropPending_; ++i) {
                Connection& c = *connections_[i - 2];
                if (fds[i].revents != 0 && !serviceConnection(c)) {
                    closeConnection(c);
                }
            }
            if (dropPending_) {
                closeAllConnections();
                dropPending_ = false;
            }
            if (fds[1].revents & POLLIN) {
                acceptConnection();
            }
        }
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
        board_.setConnectionCount(connections_.size());
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
    connections_.push_back(std::move(c));
}

void BoardServer::closeConnection(Connection& c) {
    if (c.closed) {
        return;
    }
    c.closed = true;
    ::close(c.fd);
    for (const auto& [position, descriptor] : c.descriptors) {
        ::close(descriptor);
    }
    c.descriptors.clear();
    c.buffer = {};
    board_.releaseConnection(c.id);
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
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPendingDescriptors)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(c.fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    const uint64_t lastPosition = c.streamOffset + c.used + static_cast<size_t>(n) - 1;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
            c.descriptors.emplace_back(lastPosition, descriptor);
        }
    }
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
        const bool keep = handleFrame(c, frame, descriptors);
        for (const int descriptor : descriptors) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
        }
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

bool BoardServer::handleFrame(Connection& c, const uint8_t* frame, std::vector<int>& descriptors) {
    const wire::FrameHeader header = wire::decodeHeader(frame);
    const uint8_t* payload = frame + wire::kHeaderSize;

    if (header.flags & wire::kFlagHello) {
        if (c.greeted || !descriptors.empty() || wire::getLe32(payload) != wire::kMagic) {
            return false;
        }
        if (wire::getLe32(payload + 4) != wire::kProtocolVersion) {
            sendReply(c, header.requestId, wire::kFlagHello, wire::kStatusRevisionMismatch, 0,
                      nullptr, 0);
            return false;
        }
        c.greeted = true;
        uint8_t answer[wire::kHelloPayloadSize];
        wire::putLe32(answer, wire::kMagic);
        wire::putLe32(answer + 4, wire::kProtocolVersion);
        return sendReply(c, header.requestId, wire::kFlagHello, wire::kStatusSuccess, sizeof answer,
                         answer, sizeof answer);
    }
    if (!c.greeted) {
        return false;
    }
    const bool flagged = (header.flags & wire::kFlagDescriptor) != 0;
    if (flagged != !descriptors.empty()) {
        return sendReply(c, header.requestId, 0, wire::kStatusInvalidParameter, 0, nullptr, 0);
    }

    RawRequest request;
    request.controlCode = header.controlCode;
    request.input = {payload, header.inputSize};
    request.data = {payload + header.inputSize, header.dataSize};
    request.outputCapacity =
        wire::secondBufferGoesToDevice(header.controlCode) ? 0 : header.outputCapacity;
    request.connection = c.id;
    Outcome outcome = handleRequest(board_, request, descriptors, replyPayload_);
    if (dropPending_) {
        return false; // the board went away while the request was in progress
    }
    if (replyPayload_.size() > request.outputCapacity) {
        outcome = {wire::kStatusInvalidFunction, 0}; // never more than the caller has room for
        replyPayload_.clear();
    }
    return sendReply(c, header.requestId, 0, outcome.status, outcome.bytesReturned,
                     replyPayload_.data(), replyPayload_.size());
}

bool BoardServer::sendReply(Connection& c, uint32_t requestId, uint32_t flags, uint32_t status,
                            uint32_t bytesReturned, const uint8_t* payload, size_t length) {
    wire::FrameHeader reply;
    reply.totalSize = wire::kHeaderSize + static_cast<uint32_t>(length);
    reply.requestId = requestId;
    reply.flags = flags | wire::kFlagReply;
    reply.status = status;
    reply.bytesReturned = bytesReturned;
    uint8_t header[wire::kHeaderSize];
    wire::encodeHeader(reply, header);
    iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(payload), length}};
    size_t index = 0;
    while (index < 2) {
        msghdr msg{};
        msg.msg_iov = iov + index;
        msg.msg_iovlen = 2 - index;
        const ssize_t sent = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false; // closed, or the host stopped reading
        }
        auto left = static_cast<size_t>(sent);
        while (index < 2 && left >= iov[index].iov_len) {
            left -= iov[index].iov_len;
            ++index;
        }
        if (index < 2) {
            iov[index].iov_base = static_cast<char*>(iov[index].iov_base) + left;
            iov[index].iov_len -= left;
        }
    }
    return true;
}

} // namespace hb::vboard::detail
