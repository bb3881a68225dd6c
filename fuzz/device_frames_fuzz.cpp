// Arbitrary byte streams, with arbitrary descriptors attached, sent to the
// virtual board's socket. The board must answer or close, never crash, keep
// no descriptor of a closed connection, and go on serving new connections.
//
// Input: byte 0 options (bit 0: open with a valid hello; bits 1-2: how many
// descriptors ride on the first bytes; bit 3: they are pipes instead of
// eventfds, and the valid hello takes the board's shared memory, so that
// notices of mapped writes count; bits 4-7: the stream is sent in that many + 1 pieces), then the
// stream.
#include "device_frames_fuzz.h"

#include "device_wire.h"
#include "hbsys9u.h"
#include "vboard/board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace hbfuzz {

namespace {

int openDescriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
    return count - 1;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "device frames fuzz: %s\n", what);
    std::abort();
}

struct Harness {
    Harness() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hbfuzzdev-XXXXXX").string();
        root = mkdtemp(pattern.data());
        device = hb::vboard::Device::create(root + "/b");
        board = &device->addBoard(0, {});
        board->setTracing(false);
        path = root + "/b1";
        // One whole connection first, so that the device's thread has started
        // (a sanitizer's thread start opens a descriptor for a moment) and
        // everything made once is made before the first count.
        checkStillServing();
    }
    ~Harness() {
        device.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    int connectRaw() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            fail("cannot connect");
        const timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        return fd;
    }

    // The library's own handshake and a request.
    void checkStillServing() const {
        AcceleratorBoard* b = hbAcceleratorBoardCreate((root + "/b").c_str(), 0, 0);
        if (b == nullptr)
            fail("the board no longer serves");
        HwInfo info{};
        if (hb_DeviceIoGetHwInfo(b->deviceHandle, &info) != 1 || info.boardType != 22)
            fail("the board no longer answers");
        hbAcceleratorBoardDestroy(b);
        waitUntilClosed();
    }

    void waitUntilClosed() const {
        for (int i = 0; i < 10000 && board->connectionCount() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (board->connectionCount() != 0)
            fail("the board keeps a connection whose peer has gone");
    }

    std::string root, path;
    std::unique_ptr<hb::vboard::Device> device;
    hb::vboard::Board* board = nullptr;
};

Harness& harness() {
    static Harness instance;
    return instance;
}

void sendWithDescriptors(int fd, const uint8_t* data, size_t size, const std::vector<int>& fds) {
    iovec iov{const_cast<uint8_t*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * 4), 0);
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cm), fds.data(), sizeof(int) * fds.size());
    }
    // The board may close at any point: a failed send ends the stream.
    [[maybe_unused]] const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
}

} // namespace

void feedDeviceFrames(const uint8_t* data, size_t size) {
    Harness& h = harness();
    if (size == 0)
        return;
    const uint8_t options = data[0];
    ++data;
    --size;
    const int descriptorsBefore = openDescriptors();

    const int fd = h.connectRaw();
    std::vector<uint8_t> stream;
    if (options & 1) {
        hb::wire::FrameHeader hello;
        hello.flags = hb::wire::kFlagHello;
        hello.inputSize = hb::wire::kHelloPayloadSize;
        hello.totalSize = hb::wire::kHeaderSize + hello.inputSize;
        stream.resize(hello.totalSize);
        hb::wire::encodeHeader(hello, stream.data());
        hb::wire::putLe32(stream.data() + hb::wire::kHeaderSize, hb::wire::kMagic);
        hb::wire::putLe32(stream.data() + hb::wire::kHeaderSize + 4, hb::wire::kProtocolVersion);
        hb::wire::putLe32(stream.data() + hb::wire::kHeaderSize + 8,
                          (options & 8) ? hb::wire::kFeatureMappedMemory : 0);
    }
    stream.insert(stream.end(), data, data + size);

    std::vector<int> attached;
    for (int i = 0; i < ((options >> 1) & 3); ++i) {
        int pair[2] = {-1, -1};
        if (options & 8) {
            if (::pipe(pair) == 0) {
                attached.push_back(pair[0]);
                ::close(pair[1]);
            }
        } else {
            attached.push_back(::eventfd(0, EFD_CLOEXEC));
        }
    }
    // Replies are read on a thread of their own, so that the board never
    // blocks on a full socket while the stream is still being sent.
    std::thread reader([fd] {
        std::vector<uint8_t> sink(1 << 16);
        while (::recv(fd, sink.data(), sink.size(), 0) > 0) {
        }
    });
    const size_t pieces = (options >> 4) + 1u;
    const size_t step = stream.size() / pieces + 1;
    for (size_t at = 0; at < stream.size(); at += step) {
        sendWithDescriptors(fd, stream.data() + at, std::min(step, stream.size() - at),
                            at == 0 ? attached : std::vector<int>{});
    }
    if (stream.empty() && !attached.empty()) {
        const uint8_t nothing = 0;
        sendWithDescriptors(fd, &nothing, 0, attached);
    }
    for (const int descriptor : attached)
        ::close(descriptor);
    ::shutdown(fd, SHUT_WR);
    reader.join();
    ::close(fd);
    h.waitUntilClosed();
    uint8_t drain[4096];
    while (h.board->takeFromHost(drain, sizeof drain) > 0) {
    }
    if (openDescriptors() != descriptorsBefore)
        fail("descriptors left open");

    h.checkStillServing();
}

} // namespace hbfuzz
