// Frames on the device's Unix-domain socket (POSIX): sending the whole of a
// frame with a descriptor attached to its first bytes (SCM_RIGHTS), and the
// walk over the descriptors that came with a received message.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>

#include <sys/socket.h>
#include <sys/uio.h>

namespace hb::wire {

// Room for the control data of one message that carries up to N descriptors.
template <size_t N> struct DescriptorRoom {
    alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(int) * N)];
};

// Makes `msg` carry `descriptors` (at most N) in `room`; none: no control data.
template <size_t N>
void attachDescriptors(msghdr& msg, DescriptorRoom<N>& room, std::span<const int> descriptors) {
    msg.msg_control = nullptr;
    msg.msg_controllen = 0;
    if (descriptors.empty() || descriptors.size() > N) {
        return;
    }
    std::memset(room.bytes, 0, sizeof room.bytes);
    msg.msg_control = room.bytes;
    msg.msg_controllen = CMSG_SPACE(descriptors.size() * sizeof(int));
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
    std::memcpy(CMSG_DATA(cm), descriptors.data(), descriptors.size() * sizeof(int));
}

// Sends the whole of `iov` (advanced as it goes), `descriptor` (when not -1)
// attached to the first bytes. False when the peer is gone or stopped reading
// (errno tells); never raises SIGPIPE.
inline bool sendWhole(int fd, iovec* iov, size_t count, int descriptor) {
    DescriptorRoom<1> room;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        if (descriptor >= 0) {
            attachDescriptors(msg, room, std::span<const int>(&descriptor, 1));
        }
        const ssize_t sent = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        descriptor = -1; // it went with the first bytes
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

// Calls `take(descriptor)` for every descriptor that came with `msg`.
template <typename Take> void forEachReceivedDescriptor(msghdr& msg, Take take) {
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
            take(descriptor);
        }
    }
}

} // namespace hb::wire
