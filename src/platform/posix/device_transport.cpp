// The device channel on POSIX: a board device is a Unix-domain stream socket
// served by a user-space device (the virtual board), and one device-control
// request is one framed request and one reply (protocol/device_wire.h).
//
// Requests on one handle are serialised: a connection carries one request at a
// time, so each thread receives the reply to its own request. The device
// serves its requests one at a time anyway, so nothing is lost by this.
//
// A device that goes away (socket closed, process ended) breaks the
// connection: the request in flight and every later one on that handle fail
// with 1167 at once. Sends never raise SIGPIPE.
//
// A device that hands over the board's shared memory in the hello (a sealed
// memfd) has it mapped here, and shared-memory reads and writes become a
// bounds-checked copy, as a kernel driver would do them: no round trip, and
// for a write one notice frame when the device wants to react to it. While the
// device's control word asks for it (a fault plan or a trace watches these
// requests) they travel as frames again.
#include "device_socket.h"
#include "device_wire.h"
#include "hbsys9u.h"
#include "mapped_memory.h"
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/library_descriptors.h"
#include "platform/posix/object_table.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace hb::platform {

namespace {

using posix::Object;
using posix::ObjectKind;

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorNotEnoughMemory = 8;

// How long the opening handshake may take before the peer is taken to be
// something other than a board device.
constexpr time_t kHandshakeSeconds = 5;

uint32_t connectError(int error) {
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case ECONNREFUSED:
    case EACCES:
    case EPERM:
    case EPROTOTYPE:
        return kErrorAccessDenied;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    default:
        return posix::win32ErrorFromErrno(error);
    }
}

// Receives one reply frame to `request`: the header into `reply`, the payload
// straight into `out` (at most `capacity` bytes). False when the connection
// ends or the reply is not a valid answer to the request.
bool receiveReply(int fd, const wire::FrameHeader& request, wire::FrameHeader& reply, void* out,
                  uint32_t capacity, wire::SpinBudget& spin) {
    // A device thread that is awake answers within microseconds: looking for
    // the reply a short while spares this thread a sleep and a wake-up.
    spin.look([&] {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) != 0;
    });
    uint8_t header[wire::kHeaderSize];
    auto* payload = static_cast<uint8_t*>(out);
    size_t got = 0;
    size_t want = wire::kHeaderSize + size_t{capacity};
    bool headerKnown = false;
    while (got < want) {
        iovec iov[2];
        int count = 0;
        if (got < wire::kHeaderSize) {
            iov[count++] = {header + got, wire::kHeaderSize - got};
            if (want > wire::kHeaderSize) {
                iov[count++] = {payload, want - wire::kHeaderSize};
            }
        } else {
            iov[count++] = {payload + (got - wire::kHeaderSize), want - got};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
        if (!headerKnown && got >= wire::kHeaderSize) {
            reply = wire::decodeHeader(header);
            if (!wire::replySizesValid(reply, request)) {
                return false;
            }
            want = reply.totalSize;
            headerKnown = true;
            if (got > want) {
                return false; // bytes that no request asked for
            }
        }
    }
    return headerKnown;
}

// Receives the reply to the hello, and the one descriptor that may come with
// it (-1 when none did). False when the connection ends, the reply is not an
// answer to the hello, or more than one descriptor came.
bool receiveHelloReply(int fd, const wire::FrameHeader& hello, wire::FrameHeader& reply,
                       uint8_t (&payload)[wire::kHelloReplyPayloadSize], int& descriptor) {
    descriptor = -1;
    uint8_t frame[wire::kHeaderSize + wire::kHelloReplyPayloadSize];
    size_t got = 0;
    size_t want = wire::kHeaderSize;
    bool ok = true;
    while (ok && got < want) {
        iovec iov{frame + got, want - got};
        wire::DescriptorRoom<4> room;
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = room.bytes;
        msg.msg_controllen = sizeof room.bytes;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n >= 0) {
            wire::forEachReceivedDescriptor(msg, [&](int received) {
                if (descriptor < 0) {
                    descriptor = received;
                } else {
                    ::close(received);
                    ok = false;
                }
            });
        }
        if (n <= 0 || (msg.msg_flags & MSG_CTRUNC) != 0) {
            ok = false;
            break;
        }
        got += static_cast<size_t>(n);
        if (got == wire::kHeaderSize) {
            reply = wire::decodeHeader(frame);
            ok = wire::replySizesValid(reply, hello);
            want = reply.totalSize;
        }
    }
    if (ok) {
        std::memcpy(payload, frame + wire::kHeaderSize, got - wire::kHeaderSize);
    } else if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    return ok;
}

// Whether `fd` is a memfd that can no longer shrink below `size` bytes: only
// then is every access to its mapping safe (no SIGBUS).
bool trustworthyMemory(int fd, uint64_t size) {
    char link[40];
    char target[64] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0 || std::string_view(target, static_cast<size_t>(n)).rfind("/memfd:", 0) != 0) {
        return false;
    }
    const int seals = ::fcntl(fd, F_GET_SEALS);
    struct stat st {};
    return seals >= 0 && (seals & F_SEAL_SHRINK) != 0 && ::fstat(fd, &st) == 0 &&
           S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= size;
}

// The board's shared memory mapped into this process, with the device's
// control page behind it.
class SharedMapping {
  public:
    SharedMapping() = default;
    ~SharedMapping() {
        if (base_ != nullptr) {
            ::munmap(base_, length_);
        }
    }
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;

    // Maps `fd` (not taken) as `memorySize` bytes of shared memory. The
    // last-error code when it cannot be trusted or mapped.
    uint32_t map(int fd, uint32_t memorySize) {
        const uint64_t length = wire::mappedFileSize(memorySize);
        if (memorySize == 0 || memorySize > wire::kMaxMappedMemory ||
            !trustworthyMemory(fd, length)) {
            return wire::kStatusInvalidData;
        }
        void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) {
            return kErrorNotEnoughMemory;
        }
        base_ = static_cast<uint8_t*>(base);
        length_ = length;
        size_ = memorySize;
        control_ = wire::ControlPage(base_ + wire::controlPageOffset(memorySize));
        return wire::kStatusSuccess;
    }

    bool mapped() const { return base_ != nullptr; }
    // The device wants shared-memory requests as frames right now.
    bool routedThroughFrames() const { return control_.routedThroughFrames(); }
    uint32_t closes() const { return control_.closes(); }
    bool noticeWanted(uint32_t offset, uint32_t length) const {
        return control_.noticeWanted(offset, length);
    }
    bool inRange(uint32_t offset, uint32_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // Everything the device or the VP stored before it made this process
    // aware of it (an event, a reply) is seen by the copy.
    void read(uint32_t offset, void* out, uint32_t length) const {
        control_.observeWrites();
        if (length != 0) // a zero-length request may come with no buffer
            std::memcpy(out, base_ + offset, length);
    }
    // The bytes stand in the memory, ahead of every later store of this
    // thread (the notice, the next write), when this returns; a device
    // thread that waits for them is woken.
    void write(uint32_t offset, const void* data, uint32_t length) {
        if (length != 0)
            std::memcpy(base_ + offset, data, length);
        control_.announceWrite();
    }

  private:
    uint8_t* base_ = nullptr;
    size_t length_ = 0;
    uint32_t size_ = 0;
    wire::ControlPage control_;
};

class DeviceConnection final : public Object {
  public:
    explicit DeviceConnection(int fd) : Object(ObjectKind::Device), fd_(fd) {}
    ~DeviceConnection() override { posix::closeClaimedDescriptor(fd_); }

    // The opening exchange: both sides name the protocol version, and the
    // device may hand over the shared memory.
    bool handshake() {
        timeval limit{kHandshakeSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

        wire::FrameHeader hello;
        hello.flags = wire::kFlagHello;
        hello.inputSize = wire::kHelloPayloadSize;
        hello.totalSize = wire::kHeaderSize + wire::kHelloPayloadSize;
        hello.requestId = nextRequestId_++;
        hello.outputCapacity = wire::kHelloReplyPayloadSize;
        uint8_t frame[wire::kHeaderSize + wire::kHelloPayloadSize];
        wire::encodeHeader(hello, frame);
        wire::putLe32(frame + wire::kHeaderSize, wire::kMagic);
        wire::putLe32(frame + wire::kHeaderSize + 4, wire::kProtocolVersion);
        wire::putLe32(frame + wire::kHeaderSize + 8, wire::kFeatureMappedMemory);
        iovec iov{frame, sizeof frame};

        wire::FrameHeader reply;
        uint8_t answer[wire::kHelloReplyPayloadSize] = {};
        int memory = -1;
        if (!wire::sendWhole(fd_, &iov, 1, -1) ||
            !receiveHelloReply(fd_, hello, reply, answer, memory)) {
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        if (memory >= 0) {
            posix::claimDescriptor(memory);
        }
        const uint32_t code = acceptHello(reply, answer, memory);
        if (memory >= 0) {
            posix::closeClaimedDescriptor(memory); // the mapping keeps the memory
        }
        if (code != wire::kStatusSuccess) {
            setLastError(code);
            return false;
        }
        timeval none{0, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
        return true;
    }

    // SharedMemoryRead and SharedMemoryWrite on the mapping, when there is one
    // and the device does not want them as frames. False: send as a frame.
    bool mappedTransfer(uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                        void* outBuffer, uint32_t outSize, uint32_t* bytesReturned, bool& ok) {
        const bool read = controlCode == HB_IOCTL_SHARED_MEMORY_READ;
        if (!mapping_.mapped() || inSize != 4 ||
            (!read && controlCode != HB_IOCTL_SHARED_MEMORY_WRITE) ||
            mapping_.routedThroughFrames()) {
            return false;
        }
        const uint32_t offset = wire::getLe32(static_cast<const uint8_t*>(inBuffer));
        const uint32_t length = read ? std::min(outSize, wire::kMaxPayload) : outSize;
        ok = false;
        if (!deviceAlive()) {
            setLastError(wire::kStatusDeviceNotConnected);
        } else if (!mapping_.inRange(offset, length)) {
            setLastError(wire::kStatusInvalidParameter);
        } else if (read) {
            mapping_.read(offset, outBuffer, length);
            ok = true;
        } else {
            mapping_.write(offset, outBuffer, length);
            ok =
                length == 0 || !mapping_.noticeWanted(offset, length) || sendNotice(offset, length);
        }
        if (ok) {
            *bytesReturned = length;
        }
        return true;
    }

    bool control(uint32_t controlCode, const void* inBuffer, uint32_t inSize, void* outBuffer,
                 uint32_t outSize, uint32_t* bytesReturned, int descriptor) {
        const bool toDevice = wire::secondBufferGoesToDevice(controlCode);
        wire::FrameHeader request;
        request.controlCode = controlCode;
        request.inputSize = inSize;
        request.dataSize = toDevice ? outSize : 0;
        request.outputCapacity = std::min(outSize, wire::kMaxPayload);
        request.totalSize = wire::kHeaderSize + inSize + request.dataSize;
        if (descriptor >= 0) {
            request.flags |= wire::kFlagDescriptor;
        }

        std::lock_guard lock(mutex_);
        if (broken_.load(std::memory_order_relaxed)) {
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        const bool posted = mayPost(controlCode, inBuffer, inSize);
        if (posted) {
            request.flags |= wire::kFlagPosted;
            request.outputCapacity = 0;
        }
        request.requestId = nextRequestId_++;
        uint8_t header[wire::kHeaderSize];
        wire::encodeHeader(request, header);
        iovec iov[3];
        int count = 0;
        iov[count++] = {header, sizeof header};
        if (inSize > 0) {
            iov[count++] = {const_cast<void*>(inBuffer), inSize};
        }
        if (request.dataSize > 0) {
            iov[count++] = {outBuffer, request.dataSize};
        }
        wire::FrameHeader reply;
        if (!wire::sendWhole(fd_, iov, static_cast<size_t>(count), descriptor) ||
            (!posted && !receiveReply(fd_, request, reply, toDevice ? nullptr : outBuffer,
                                      toDevice ? 0 : request.outputCapacity, replySpin_))) {
            // Nothing more can be trusted on this stream: the device is gone or
            // no longer speaks the protocol.
            markBroken();
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        if (posted) {
            notePosted(controlCode);
            return true;
        }
        if (reply.status != wire::kStatusSuccess) {
            setLastError(reply.status);
            return false;
        }
        noteAnswered(controlCode, inBuffer, inSize);
        *bytesReturned = reply.bytesReturned;
        return true;
    }

  private:
    // What the device said to the hello: the protocol it speaks, and the
    // shared memory it hands over (`memory`, not taken), mapped here.
    uint32_t acceptHello(const wire::FrameHeader& reply, const uint8_t* answer, int memory) {
        if (reply.status != wire::kStatusSuccess) {
            return reply.status;
        }
        const wire::HelloReply hello = wire::decodeHelloReply(answer);
        if (reply.payloadSize() != wire::kHelloReplyPayloadSize || hello.magic != wire::kMagic ||
            hello.version != wire::kProtocolVersion) {
            return wire::kStatusRevisionMismatch;
        }
        const bool granted = (hello.features & wire::kFeatureMappedMemory) != 0;
        if ((hello.features & ~wire::kFeatureMappedMemory) != 0 || granted != (memory >= 0) ||
            granted != ((reply.flags & wire::kFlagDescriptor) != 0)) {
            return wire::kStatusInvalidData;
        }
        return granted ? mapping_.map(memory, hello.memorySize) : wire::kStatusSuccess;
    }

    // A device that went away shows as a hang-up on the socket, whether or
    // not a request is in flight. The socket is looked at when the device
    // has ended a connection since the last look (it says so on the control
    // page before it does), and at least every kAliveLook for a device that
    // died without a word; in between a mapped copy costs no system call.
    bool deviceAlive() {
        if (broken_.load(std::memory_order_acquire)) {
            return false;
        }
        const uint32_t closes = mapping_.closes();
        const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        if (closes == seenCloses_.load(std::memory_order_relaxed) &&
            now - lastLook_.load(std::memory_order_relaxed) < kAliveLook.count()) {
            return true;
        }
        pollfd p{fd_, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) {
            markBroken();
            return false;
        }
        seenCloses_.store(closes, std::memory_order_relaxed);
        lastLook_.store(now, std::memory_order_relaxed);
        return true;
    }
    static constexpr std::chrono::steady_clock::duration kAliveLook = std::chrono::milliseconds(50);

    void markBroken() {
        broken_.store(true, std::memory_order_release);
        ::shutdown(fd_, SHUT_RDWR);
    }

    // Whether a request may go without waiting for its answer, because the
    // device cannot refuse it: a registration of the posted event by a host
    // that owns the board, and the withdrawal of the one it made. Only while
    // the device does not want round trips (a fault plan, a trace).
    bool mayPost(uint32_t controlCode, const void* inBuffer, uint32_t inSize) const {
        if (!wire::mayBePosted(controlCode) || inSize < 4 || !ownsBoard_ || !mapping_.mapped() ||
            mapping_.routedThroughFrames() ||
            wire::getLe32(static_cast<const uint8_t*>(inBuffer)) != wire::kPostedEvent) {
            return false;
        }
        return controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER || postedEventRegistered_;
    }
    void notePosted(uint32_t controlCode) {
        postedEventRegistered_ = controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER;
    }
    // A board-changing request that succeeded made this process the board's
    // owner, for as long as this connection is open.
    void noteAnswered(uint32_t controlCode, const void* inBuffer, uint32_t inSize) {
        ownsBoard_ = ownsBoard_ || wire::changesBoard(controlCode);
        if (wire::mayBePosted(controlCode) && inSize >= 4 &&
            wire::getLe32(static_cast<const uint8_t*>(inBuffer)) == wire::kPostedEvent) {
            notePosted(controlCode);
        }
    }

    // Tells the device of a write that took place on the mapping.
    bool sendNotice(uint32_t offset, uint32_t length) {
        wire::FrameHeader notice;
        notice.flags = wire::kFlagNotice;
        notice.controlCode = HB_IOCTL_SHARED_MEMORY_WRITE;
        notice.inputSize = wire::kNoticePayloadSize;
        notice.totalSize = wire::kHeaderSize + wire::kNoticePayloadSize;
        uint8_t frame[wire::kHeaderSize + wire::kNoticePayloadSize];
        std::lock_guard lock(mutex_);
        if (broken_.load(std::memory_order_relaxed)) {
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        notice.requestId = nextRequestId_++;
        wire::encodeHeader(notice, frame);
        wire::putLe32(frame + wire::kHeaderSize, offset);
        wire::putLe32(frame + wire::kHeaderSize + 4, length);
        iovec iov{frame, sizeof frame};
        if (!wire::sendWhole(fd_, &iov, 1, -1)) {
            markBroken();
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        return true;
    }

    std::mutex mutex_;
    int fd_;
    std::atomic<bool> broken_{false};
    uint32_t nextRequestId_ = 1;
    std::atomic<uint32_t> seenCloses_{0};          // the device's count at the last look
    std::atomic<int64_t> lastLook_{INT64_MIN / 2}; // steady-clock ticks
    bool ownsBoard_ = false;                       // under mutex_
    bool postedEventRegistered_ = false;           // by this connection; under mutex_
    SharedMapping mapping_;
    wire::SpinBudget replySpin_; // how long a request looks for its reply before it sleeps
};

} // namespace

Handle deviceOpen(const char* name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length == 0) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    if (length >= sizeof address.sun_path) {
        setLastError(kErrorFilenameTooLong);
        return nullptr;
    }
    std::memcpy(address.sun_path, name, length + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setLastError(errno == EMFILE || errno == ENFILE ? HB_ERROR_TOO_MANY_OPEN_FILES
                                                        : kErrorGenFailure);
        return nullptr;
    }
    posix::claimDescriptor(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const uint32_t code = connectError(errno);
        posix::closeClaimedDescriptor(fd);
        setLastError(code);
        return nullptr;
    }
    std::shared_ptr<DeviceConnection> connection;
    try {
        connection = std::make_shared<DeviceConnection>(fd);
    } catch (const std::bad_alloc&) {
        posix::closeClaimedDescriptor(fd);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    if (!connection->handshake()) {
        return nullptr; // the connection's destructor closes the socket
    }
    return posix::insertObject(std::move(connection));
}

void deviceClose(Handle device) {
    if (posix::findObject(device, ObjectKind::Device) != nullptr) {
        posix::removeObject(device);
    }
}

bool deviceControl(Handle device, uint32_t controlCode, const void* inBuffer, uint32_t inSize,
                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    *bytesReturned = 0;
    if ((inSize > 0 && inBuffer == nullptr) || (outSize > 0 && outBuffer == nullptr) ||
        uint64_t{inSize} + (wire::secondBufferGoesToDevice(controlCode) ? outSize : 0) >
            wire::kMaxPayload) {
        setLastError(wire::kStatusInvalidParameter);
        return false;
    }
    auto connection = posix::find<DeviceConnection>(device, ObjectKind::Device);
    if (connection == nullptr) {
        setLastError(wire::kStatusInvalidHandle);
        return false;
    }
    // An event registration hands the device the event's eventfd; the record
    // names the event by its handle value at byte 4.
    int descriptor = -1;
    if (controlCode == HB_IOCTL_ASYNC_EVENT_REGISTER && inSize >= 8) {
        const uint32_t eventHandle = wire::getLe32(static_cast<const uint8_t*>(inBuffer) + 4);
        descriptor = posix::duplicateEventDescriptor(
            reinterpret_cast<Handle>(static_cast<uintptr_t>(eventHandle)));
        if (descriptor < 0) {
            setLastError(wire::kStatusInvalidHandle);
            return false;
        }
    }
    bool ok = false;
    if (descriptor < 0 && connection->mappedTransfer(controlCode, inBuffer, inSize, outBuffer,
                                                     outSize, bytesReturned, ok)) {
        return ok;
    }
    ok = connection->control(controlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                             descriptor);
    if (descriptor >= 0) {
        posix::closeClaimedDescriptor(descriptor);
    }
    return ok;
}

} // namespace hb::platform
