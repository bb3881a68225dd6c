// A fake device on a socket answers whatever the library asks with a reply
// built from the fuzz input; the library must take every reply apart safely.
//
// Input: byte 0 the number of calls (low 3 bits + 1), then one byte per call
// naming it, then reply descriptions that the device takes in order, one per
// request it receives (the opening exchange first):
//   byte  mode: bit 0 answer the request id, bit 1 set the reply flag (and the
//         hello flag when the request had it), bit 2 make totalSize fit the
//         payload, bit 3 make bytesReturned equal the payload size, bit 4 send
//         nothing and close, bit 5 send only the first half and close,
//         bit 6 status 0, bit 7 attach a descriptor as the board's shared
//         memory, made after the next byte: bit 0 a memfd (else a pipe),
//         bit 1 sealed against shrinking, bit 2 one byte too small; the
//         memory size is the payload's fourth word
//   36    header bytes (the fields the mode does not fix)
//   byte  payload length / 4 (at most 255 * 4 bytes)
//   ...   payload bytes (zero-padded when the input ends)
// When the input runs out the device closes the connection.
#include "library_replies_fuzz.h"

#include "device_socket.h"
#include "device_wire.h"
#include "hbsys9u.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace hbfuzz {

namespace {

namespace wire = hb::wire;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "library replies fuzz: %s\n", what);
    std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    bool empty() const { return at >= size; }
};

bool readExactly(int fd, uint8_t* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, out + got, length - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A descriptor for the library to take as shared memory of `size` bytes.
int makeMemory(uint8_t kind, uint32_t size) {
    if ((kind & 1) == 0) {
        int pair[2];
        if (::pipe2(pair, O_CLOEXEC) != 0)
            return -1;
        ::close(pair[1]);
        return pair[0];
    }
    const int fd = ::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    // Never more than a few MiB, whatever the size claims.
    const uint64_t whole = std::min<uint64_t>(wire::mappedFileSize(size), 4u << 20);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(whole - ((kind & 4) ? 1 : 0))) != 0 ||
        ((kind & 2) && ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) != 0)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool sendWithDescriptor(int fd, const uint8_t* data, size_t length, int descriptor) {
    iovec iov{const_cast<uint8_t*>(data), length};
    return hb::wire::sendWhole(fd, &iov, 1, descriptor);
}

// The fake device: one connection, one reply per request until the input or
// the connection ends.
void serve(int listener, Input replies) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0)
        return;
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::vector<uint8_t> frame;
    while (!replies.empty()) {
        uint8_t header[wire::kHeaderSize];
        if (!readExactly(fd, header, sizeof header))
            break;
        const wire::FrameHeader request = wire::decodeHeader(header);
        if (request.totalSize < wire::kHeaderSize || request.totalSize > wire::kMaxFrameSize)
            fail("the library sent a malformed frame");
        frame.resize(request.payloadSize());
        if (!readExactly(fd, frame.data(), frame.size()))
            break;

        const uint8_t mode = replies.byte();
        uint8_t raw[wire::kHeaderSize];
        for (uint8_t& b : raw)
            b = replies.byte();
        wire::FrameHeader reply = wire::decodeHeader(raw);
        const size_t length = size_t{replies.byte()} * 4;
        std::vector<uint8_t> payload(length);
        for (uint8_t& b : payload)
            b = replies.byte();
        const uint8_t memoryKind = (mode & 0x80) ? replies.byte() : 0;
        if (mode & 0x10)
            break;
        if (mode & 1)
            reply.requestId = request.requestId;
        if (mode & 2)
            reply.flags = wire::kFlagReply | (request.flags & wire::kFlagHello);
        if (mode & 4)
            reply.totalSize = wire::kHeaderSize + static_cast<uint32_t>(length);
        if (mode & 8)
            reply.bytesReturned = static_cast<uint32_t>(length);
        if (mode & 0x40)
            reply.status = 0;
        if (mode & 0x80)
            reply.flags |= wire::kFlagDescriptor;
        std::vector<uint8_t> out(wire::kHeaderSize + length);
        wire::encodeHeader(reply, out.data());
        std::copy(payload.begin(), payload.end(), out.begin() + wire::kHeaderSize);
        const size_t sendLength = (mode & 0x20) ? out.size() / 2 : out.size();
        const int memory =
            (mode & 0x80) ? makeMemory(memoryKind, length >= 16 ? wire::getLe32(&payload[12]) : 0)
                          : -1;
        const bool sent = sendWithDescriptor(fd, out.data(), sendLength, memory);
        if (memory >= 0)
            ::close(memory);
        if (!sent || (mode & 0x20))
            break;
    }
    ::close(fd);
}

struct Harness {
    Harness() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hbfuzzlib-XXXXXX").string();
        root = mkdtemp(pattern.data());
        const std::string path = root + "/d1";
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 4) != 0)
            fail("cannot listen");
    }
    ~Harness() {
        ::close(listener);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
    int listener = -1;
};

Harness& harness() {
    static Harness instance;
    return instance;
}

constexpr size_t kFence = 16;
constexpr uint8_t kFenceByte = 0xA5;

// A caller's buffer with fences on both sides.
struct Guarded {
    explicit Guarded(size_t length) : bytes(length + 2 * kFence, kFenceByte), size(length) {}
    uint8_t* data() { return bytes.data() + kFence; }
    void check() const {
        for (size_t i = 0; i < kFence; ++i)
            if (bytes[i] != kFenceByte || bytes[kFence + size + i] != kFenceByte)
                fail("a reply was written outside the caller's buffer");
    }
    std::vector<uint8_t> bytes;
    size_t size;
};

void call(AcceleratorBoard* board, uint8_t which) {
    const HbHandle device = board->deviceHandle;
    const uint32_t length = (which >> 4) * 7u; // 0 .. 105 bytes
    switch (which & 0xF) {
    case 0: {
        Guarded info(sizeof(HwInfo));
        hb_DeviceIoGetHwInfo(device, reinterpret_cast<HwInfo*>(info.data()));
        info.check();
        break;
    }
    case 1: {
        Guarded buffer(length);
        hb_DeviceIoSharedMemoryRead(device, 0, buffer.data(), length);
        buffer.check();
        break;
    }
    case 2: {
        std::vector<uint8_t> data(length, 1);
        hb_DeviceIoSharedMemoryWrite(device, 0, data.data(), length);
        break;
    }
    case 3: {
        Guarded buffer(length);
        uint32_t returned = 0xDEADBEEF;
        if (hb_DeviceIoVpRead(device, buffer.data(), length, &returned) != 0 && returned > length)
            fail("a VP read reports more bytes than the caller has room for");
        buffer.check();
        break;
    }
    case 4: {
        std::vector<uint8_t> data(length, 2);
        const uint8_t request[16] = {};
        uint32_t returned = 0xDEADBEEF;
        if (hb_DeviceIoVpWrite(device, request, data.data(), length, &returned) != 0 &&
            returned > length)
            fail("a VP write reports more bytes than were given");
        break;
    }
    case 5: {
        Guarded value(4);
        hb_DeviceIoPlxRegisterRead(device, 0x40, reinterpret_cast<uint32_t*>(value.data()));
        value.check();
        break;
    }
    case 6:
        hb_DeviceIoPlxRegisterWrite(device, 0x44, 6);
        break;
    case 7: {
        HbHandle event = hb__EventCreate(0);
        hb_DeviceIoAsyncEventRegister(device, 6, event, 0, 0, 0, 0);
        hb__EventDestroy(event);
        break;
    }
    case 8:
        hb_DeviceIoAsyncEventDeregister(device, 6);
        break;
    case 9:
        hb_DeviceIoResetVp(device);
        break;
    case 10:
        hb_DeviceIoAckVp(device);
        break;
    case 11:
        hbBusType(board);
        hbBusWidth(board);
        break;
    default: {
        uint32_t size = 0;
        hb_GetFileIoBuffer(board, &size);
        break;
    }
    }
}

} // namespace

void answerLibraryRequests(const uint8_t* data, size_t size) {
    Harness& h = harness();
    Input input{data, size};
    const int calls = (input.byte() & 7) + 1;
    std::vector<uint8_t> which;
    for (int i = 0; i < calls; ++i)
        which.push_back(input.byte());
    std::thread device(serve, h.listener, Input{data + input.at, size - std::min(size, input.at)});
    AcceleratorBoard* board = hbAcceleratorBoardCreate((h.root + "/d").c_str(), 0, 0);
    if (board != nullptr) {
        for (const uint8_t w : which)
            call(board, w);
        hbAcceleratorBoardDestroy(board);
    }
    device.join();
}

} // namespace hbfuzz
