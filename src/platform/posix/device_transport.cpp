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
#include "device_wire.h"
#include "hbsys9u.h"
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/library_descriptors.h"
#include "platform/posix/object_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/socket.h>
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

// Sends the whole of `iov` (modified as it goes), attaching `descriptor` to
// the first bytes when it is not -1.
bool sendAll(int fd, iovec* iov, int count, int descriptor) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    bool attach = descriptor >= 0;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        if (attach) {
            std::memset(control, 0, sizeof control);
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&msg);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(cm), &descriptor, sizeof(int));
        }
        const ssize_t sent = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        attach = false;
        auto left = static_cast<size_t>(sent);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

// Receives one reply frame to `request`: the header into `reply`, the payload
// straight into `out` (at most `capacity` bytes). False when the connection
// ends or the reply is not a valid answer to the request.
bool receiveReply(int fd, const wire::FrameHeader& request, wire::FrameHeader& reply, void* out,
                  uint32_t capacity) {
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

class DeviceConnection final : public Object {
  public:
    explicit DeviceConnection(int fd) : Object(ObjectKind::Device), fd_(fd) {}
    ~DeviceConnection() override { posix::closeClaimedDescriptor(fd_); }

    // The opening exchange: both sides name the protocol version.
    bool handshake() {
        timeval limit{kHandshakeSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

        wire::FrameHeader hello;
        hello.flags = wire::kFlagHello;
        hello.inputSize = wire::kHelloPayloadSize;
        hello.totalSize = wire::kHeaderSize + wire::kHelloPayloadSize;
        hello.requestId = nextRequestId_++;
        uint8_t frame[wire::kHeaderSize + wire::kHelloPayloadSize];
        wire::encodeHeader(hello, frame);
        wire::putLe32(frame + wire::kHeaderSize, wire::kMagic);
        wire::putLe32(frame + wire::kHeaderSize + 4, wire::kProtocolVersion);
        iovec iov{frame, sizeof frame};

        wire::FrameHeader reply;
        uint8_t answer[wire::kHelloPayloadSize] = {};
        hello.outputCapacity = wire::kHelloPayloadSize;
        if (!sendAll(fd_, &iov, 1, -1) || !receiveReply(fd_, hello, reply, answer, sizeof answer)) {
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        if (reply.status != wire::kStatusSuccess) {
            setLastError(reply.status);
            return false;
        }
        if (reply.payloadSize() != wire::kHelloPayloadSize ||
            wire::getLe32(answer) != wire::kMagic ||
            wire::getLe32(answer + 4) != wire::kProtocolVersion) {
            setLastError(wire::kStatusRevisionMismatch);
            return false;
        }
        timeval none{0, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
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
        if (broken_) {
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
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
        if (!sendAll(fd_, iov, count, descriptor) ||
            !receiveReply(fd_, request, reply, toDevice ? nullptr : outBuffer,
                          toDevice ? 0 : request.outputCapacity)) {
            // Nothing more can be trusted on this stream: the device is gone or
            // no longer speaks the protocol.
            broken_ = true;
            ::shutdown(fd_, SHUT_RDWR);
            setLastError(wire::kStatusDeviceNotConnected);
            return false;
        }
        if (reply.status != wire::kStatusSuccess) {
            setLastError(reply.status);
            return false;
        }
        *bytesReturned = reply.bytesReturned;
        return true;
    }

  private:
    std::mutex mutex_;
    int fd_;
    bool broken_ = false;
    uint32_t nextRequestId_ = 1;
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
    const bool ok = connection->control(controlCode, inBuffer, inSize, outBuffer, outSize,
                                        bytesReturned, descriptor);
    if (descriptor >= 0) {
        posix::closeClaimedDescriptor(descriptor);
    }
    return ok;
}

} // namespace hb::platform
