// The device transport: several threads on one handle, frames that a device
// must refuse, and replies or shared memory that the library must refuse.
#include "virtual_board_fixture.h"

#include "device_socket.h"
#include "device_wire.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace hb::test {
namespace {

using TransportTest = VirtualBoardTest;
using Bytes = std::vector<uint8_t>;

TEST_F(TransportTest, ThreadsSharingOneHandleEachReceiveTheirOwnReplies) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    constexpr int kThreads = 4, kRounds = 300;
    std::atomic<int> failures{0}, mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes mine(96 + 32 * t), back(mine.size());
            const uint32_t offset = 0x1000 * static_cast<uint32_t>(t + 1);
            const auto size = static_cast<uint32_t>(mine.size());
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < mine.size(); ++i) {
                    mine[i] = static_cast<uint8_t>(t * 64 + round + i);
                }
                if (!hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, offset, mine.data(),
                                                  size) ||
                    !hb_DeviceIoSharedMemoryRead(handle->deviceHandle, offset, back.data(), size)) {
                    ++failures;
                } else if (back != mine) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(board(0).trace().size(), size_t{kThreads} * kRounds * 2);
}

// ---- Frames that a device must refuse --------------------------------------

enum class Attach { None, EventFd, Pipe, TwoEventFds };
constexpr uint32_t kClosed = 0xFFFFFFFF;

Bytes word(uint32_t value) {
    Bytes bytes(4);
    wire::putLe32(bytes.data(), value);
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

wire::FrameHeader request(uint32_t code, uint32_t input, uint32_t data, uint32_t capacity,
                          uint32_t flags = 0, uint32_t total = 0) {
    wire::FrameHeader h;
    h.totalSize = total; // 0: computed from the payload
    h.controlCode = code;
    h.inputSize = input;
    h.dataSize = data;
    h.outputCapacity = capacity;
    h.flags = flags;
    return h;
}

wire::FrameHeader hello() {
    return request(0, wire::kHelloPayloadSize, 0, wire::kHelloReplyPayloadSize, wire::kFlagHello);
}

// A hello's payload: magic, version, and no wish for the mapping.
Bytes greeting(uint32_t magic = wire::kMagic, uint32_t version = wire::kProtocolVersion) {
    return word(magic) + word(version) + word(0);
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    return address;
}

// A host end that speaks the wire format by hand.
class RawClient {
  public:
    explicit RawClient(const std::string& path) {
        const sockaddr_un address = addressOf(path);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~RawClient() { ::close(fd_); }

    bool send(wire::FrameHeader header, const Bytes& payload, Attach attach = Attach::None) {
        if (header.totalSize == 0) {
            header.totalSize = wire::kHeaderSize + static_cast<uint32_t>(payload.size());
        }
        header.requestId = ++lastId_;
        Bytes frame(wire::kHeaderSize);
        wire::encodeHeader(header, frame.data());
        frame = frame + payload;
        std::vector<int> attached, closeAlso;
        for (int i = attach == Attach::TwoEventFds ? 2
                     : attach == Attach::EventFd   ? 1
                                                   : 0;
             i > 0; --i) {
            attached.push_back(::eventfd(0, EFD_CLOEXEC));
        }
        if (attach == Attach::Pipe) {
            int ends[2];
            EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
            attached.push_back(ends[1]);
            closeAlso.push_back(ends[0]);
        }
        iovec iov{frame.data(), frame.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        wire::DescriptorRoom<2> room;
        wire::attachDescriptors(msg, room, std::span<const int>(attached));
        const bool sent = ::sendmsg(fd_, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
        for (const auto& fds : {attached, closeAlso}) {
            std::for_each(fds.begin(), fds.end(), ::close);
        }
        return sent;
    }
    bool sendRaw(const Bytes& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The status of the next reply, which must answer request `id`, or
    // kClosed when the device ends the connection instead.
    uint32_t receive(uint32_t id, Bytes& payload) {
        uint8_t header[wire::kHeaderSize];
        if (!readExactly(header, sizeof header)) {
            return kClosed;
        }
        const wire::FrameHeader reply = wire::decodeHeader(header);
        EXPECT_EQ(reply.requestId, id);
        EXPECT_NE(reply.flags & wire::kFlagReply, 0u);
        payload.resize(reply.payloadSize());
        return readExactly(payload.data(), payload.size()) ? reply.status : kClosed;
    }
    uint32_t receive() {
        Bytes payload;
        return receive(lastId_, payload);
    }
    bool greet() { return send(hello(), greeting()) && receive() == 0; }

  private:
    bool readExactly(uint8_t* out, size_t length) {
        for (size_t got = 0; got < length;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) {
                ADD_FAILURE() << "device neither answered nor closed";
                return false;
            }
            const ssize_t n = ::recv(fd_, out + got, length - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint32_t lastId_ = 0;
};

struct BadFrame {
    const char* what;
    wire::FrameHeader header;
    Bytes payload;
    uint32_t expected; // reply status, or kClosed
    Attach attach = Attach::None;
    bool greet = true;
};

std::vector<BadFrame> badFrames() {
    using namespace wire;
    constexpr uint32_t kHw = 0x8001A08C, kRead = 0x8001600E, kWrite = 0x8001A011;
    constexpr uint32_t kRegRead = 0x80016004, kRegWrite = 0x8001A009, kRegister = 0x80012048;
    const Bytes record = word(6) + Bytes(20);
    return {
        {"total size below the header", request(kHw, 0, 0, 68, 0, 20), {}, kClosed},
        {"payload beyond the limit",
         request(0x80012059, 16, kMaxPayload, kMaxPayload, 0, kHeaderSize + 16 + kMaxPayload),
         {},
         kClosed},
        {"sizes that do not add up", request(kRead, 4, 0, 4, 0, kHeaderSize + 8), Bytes(8),
         kClosed},
        {"unknown flag", request(kHw, 0, 0, 68, 0x100), {}, kClosed},
        {"reply flag on a request", request(kHw, 0, 0, 68, kFlagReply), {}, kClosed},
        {"data with a code that returns data", request(kRead, 4, 4, 4), Bytes(8), kClosed},
        {"written data unequal to the second buffer", request(kWrite, 4, 4, 8), Bytes(8), kClosed},
        {"output capacity beyond the limit", request(kRead, 4, 0, kMaxPayload + 1), word(0),
         kClosed},
        {"request before the hello", request(kHw, 0, 0, 68), {}, kClosed, Attach::None, false},
        {"second hello", hello(), greeting(), kClosed},
        {"hello with a wrong magic", hello(), greeting(0x12345678), kClosed, Attach::None, false},
        {"hello with another version", hello(), greeting(kMagic, kProtocolVersion + 1),
         kStatusRevisionMismatch, Attach::None, false},
        {"hello carrying a descriptor", hello(), greeting(), kClosed, Attach::EventFd, false},
        {"unknown control code", request(0x80012FFC, 0, 0, 0), {}, kStatusInvalidFunction},
        {"input too short", request(kRead, 2, 0, 4), Bytes(2), kStatusInvalidParameter},
        {"input where none belongs", request(kHw, 4, 0, 68), word(0), kStatusInvalidParameter},
        {"read past the end", request(kRead, 4, 0, 8), word((256u << 10) - 4),
         kStatusInvalidParameter},
        {"write wrapping around 32 bits", request(kWrite, 4, 2, 2), word(0xFFFFFFFF) + Bytes(2),
         kStatusInvalidParameter},
        {"unaligned register", request(kRegRead, 4, 0, 4), word(0x41), kStatusInvalidParameter},
        {"register just outside the space", request(kRegWrite, 4, 4, 4), word(0x200) + word(1),
         kStatusInvalidParameter},
        {"register value of 2 bytes", request(kRegWrite, 4, 2, 2), word(0x40) + Bytes(2),
         kStatusInvalidParameter},
        {"register read without room", request(kRegRead, 4, 0, 2), word(0x40),
         kStatusInvalidParameter},
        {"hardware information without room", request(kHw, 0, 0, 67), {}, kStatusInvalidParameter},
        {"descriptor with a request that takes none",
         request(kHw, 0, 0, 68, kFlagDescriptor),
         {},
         kStatusInvalidParameter,
         Attach::EventFd},
        {"descriptor without the flag",
         request(kHw, 0, 0, 68),
         {},
         kStatusInvalidParameter,
         Attach::EventFd},
        {"registration flagged but without a descriptor",
         request(kRegister, 24, 0, 0, kFlagDescriptor), record, kStatusInvalidParameter},
        {"registration of a pipe", request(kRegister, 24, 0, 0, kFlagDescriptor), record,
         kStatusInvalidParameter, Attach::Pipe},
        {"registration with two descriptors", request(kRegister, 24, 0, 0, kFlagDescriptor), record,
         kStatusInvalidParameter, Attach::TwoEventFds},
        {"registration record too short", request(kRegister, 20, 0, 0, kFlagDescriptor), Bytes(20),
         kStatusInvalidParameter, Attach::EventFd},
        {"deregistration of nothing", request(0x8001204C, 4, 0, 0), word(6),
         kStatusInvalidParameter},
    };
}

TEST_F(TransportTest, MalformedFramesAreRefusedAndNoDescriptorIsLeaked) {
    device_->addBoard(0, {});
    const int baseline = countOpenDescriptors();
    for (const BadFrame& frame : badFrames()) {
        SCOPED_TRACE(frame.what);
        {
            RawClient client(board(0).socketPath());
            if (frame.greet) {
                ASSERT_TRUE(client.greet());
            }
            ASSERT_TRUE(client.send(frame.header, frame.payload, frame.attach));
            EXPECT_EQ(client.receive(), frame.expected);
            if (frame.expected == wire::kStatusRevisionMismatch) {
                EXPECT_EQ(client.receive(), kClosed);
            } else if (frame.expected != kClosed) {
                // Refused, and the connection still serves.
                ASSERT_TRUE(client.send(request(HB_IOCTL_GET_HW_INFO, 0, 0, 68), {}));
                EXPECT_EQ(client.receive(), 0u);
            }
        }
        EXPECT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        EXPECT_EQ(countOpenDescriptors(), baseline);
        EXPECT_FALSE(board(0).isEventRegistered(6));
    }
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HwInfo info{};
    EXPECT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 1) << "the board still serves";
}

TEST_F(TransportTest, FramesSplitAcrossWritesAndBatchedTogetherAreAnsweredInOrder) {
    device_->addBoard(0, {});
    board(0).writeSharedWord(0x10, 0x11223344);
    RawClient client(board(0).socketPath());
    ASSERT_TRUE(client.greet());
    auto frame = [](uint32_t id, uint32_t code, const Bytes& input, uint32_t capacity) {
        wire::FrameHeader h = request(code, 4, 0, capacity, 0, wire::kHeaderSize + 4);
        h.requestId = id;
        Bytes bytes(wire::kHeaderSize);
        wire::encodeHeader(h, bytes.data());
        return bytes + input;
    };
    // Two requests in one write, then a third byte by byte.
    ASSERT_TRUE(client.sendRaw(frame(7, HB_IOCTL_SHARED_MEMORY_READ, word(0x10), 4) +
                               frame(8, HB_IOCTL_SIGNAL_VP, word(1), 0)));
    for (uint8_t byte : frame(9, HB_IOCTL_SIGNAL_VP, word(7), 0)) {
        ASSERT_TRUE(client.sendRaw({byte}));
    }
    Bytes payload;
    EXPECT_EQ(client.receive(7, payload), 0u);
    EXPECT_EQ(payload, word(0x11223344));
    EXPECT_EQ(client.receive(8, payload), 0u);
    EXPECT_EQ(client.receive(9, payload), 0u);
    EXPECT_EQ(board(0).signalsReceived(), (std::vector<uint32_t>{1, 7}));
}

// ---- Replies and memory that the library must refuse -----------------------

// A device at `path` that greets, handing over `memory` (taken; -1 for none)
// as `memorySize` bytes of shared memory, then answers the first request
// with the bytes `answer` builds from it.
class RogueDevice {
  public:
    using Answer = std::function<Bytes(const wire::FrameHeader&)>;
    RogueDevice(const std::string& path, Answer answer, int memory = -1, uint32_t memorySize = 0)
        : answer_(std::move(answer)), memory_(memory), memorySize_(memorySize) {
        ::unlink(path.c_str());
        const sockaddr_un address = addressOf(path);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~RogueDevice() {
        thread_.join();
        ::close(listener_);
    }

  private:
    void serve() {
        const int fd = ::accept(listener_, nullptr, nullptr);
        uint8_t frame[wire::kHeaderSize + 64];
        const ssize_t helloSize = wire::kHeaderSize + wire::kHelloPayloadSize;
        if (::recv(fd, frame, helloSize, MSG_WAITALL) == helloSize) {
            answerHello(fd, frame);
        }
        if (::recv(fd, frame, wire::kHeaderSize, MSG_WAITALL) == wire::kHeaderSize) {
            const wire::FrameHeader request = wire::decodeHeader(frame);
            Bytes rest(request.payloadSize());
            ::recv(fd, rest.data(), rest.size(), MSG_WAITALL);
            const Bytes reply = answer_(request);
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        while (::recv(fd, frame, sizeof frame, 0) > 0) {
        }
        ::close(fd);
    }
    void answerHello(int fd, uint8_t* frame) {
        wire::FrameHeader hello = wire::decodeHeader(frame);
        hello.flags |= wire::kFlagReply | (memory_ >= 0 ? wire::kFlagDescriptor : 0);
        hello.bytesReturned = wire::kHelloReplyPayloadSize;
        hello.totalSize = wire::kHeaderSize + wire::kHelloReplyPayloadSize;
        wire::encodeHeader(hello, frame);
        uint8_t* payload = frame + wire::kHeaderSize;
        wire::putLe32(payload, wire::kMagic);
        wire::putLe32(payload + 4, wire::kProtocolVersion);
        wire::putLe32(payload + 8, memory_ >= 0 ? wire::kFeatureMappedMemory : 0);
        wire::putLe32(payload + 12, memorySize_);
        iovec iov{frame, hello.totalSize};
        wire::sendWhole(fd, &iov, 1, memory_);
        if (memory_ >= 0) {
            ::close(memory_);
        }
    }

    Answer answer_;
    int memory_;
    uint32_t memorySize_;
    int listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread thread_;
};

TEST_F(TransportTest, RepliesThatDoNotFitTheRequestBreakTheConnectionAndNothingMore) {
    const struct {
        const char* what;
        uint32_t payload;
        std::function<void(wire::FrameHeader&)> spoil;
    } cases[] = {
        {"more bytes than the caller has room for", 8, [](wire::FrameHeader&) {}},
        {"count unequal to the bytes carried", 4, [](auto& h) { h.bytesReturned = 3; }},
        {"answer to another request", 4, [](auto& h) { ++h.requestId; }},
        {"not marked as a reply", 4, [](auto& h) { h.flags = 0; }},
        {"total size below the header", 0, [](auto& h) { h.totalSize = 8; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RogueDevice rogue(base_ + "1", [&](const wire::FrameHeader& request) {
            wire::FrameHeader reply;
            reply.totalSize = wire::kHeaderSize + c.payload;
            reply.requestId = request.requestId;
            reply.flags = wire::kFlagReply;
            reply.bytesReturned = c.payload;
            c.spoil(reply);
            Bytes bytes(wire::kHeaderSize + c.payload, 0xAB);
            wire::encodeHeader(reply, bytes.data());
            return bytes;
        });
        HbHandle device = hb__DeviceIoOpen(base_.c_str(), 0, 0);
        ASSERT_NE(device, HB_INVALID_HANDLE);
        uint8_t buffer[12];
        std::memset(buffer, 0x11, sizeof buffer);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, buffer, 4), 0);
            EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        }
        EXPECT_EQ(Bytes(buffer + 4, buffer + 12), Bytes(8, 0x11)) << "beyond the caller's length";
        hb__DeviceIoClose(device);
    }
}

// A memfd of `size` bytes, sealed against shrinking or not.
int memfd(off_t size, bool sealed) {
    const int fd = ::memfd_create("rogue", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    EXPECT_EQ(sealed ? ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) : 0, 0);
    return fd;
}

TEST_F(TransportTest, SharedMemoryThatCouldShrinkOrIsNoMemfdIsRefusedAtOpen) {
    const off_t whole = static_cast<off_t>(wire::mappedFileSize(0x1000));
    const struct {
        const char* what;
        std::function<int()> memory;
        uint32_t size;
    } cases[] = {
        {"unsealed: the device could shrink it", [&] { return memfd(whole, false); }, 0x1000},
        {"smaller than the memory and its control page", [&] { return memfd(whole - 1, true); },
         0x1000},
        {"larger than any board's memory", [&] { return memfd(whole, true); }, 0x40000001},
        {"no memory at all", [&] { return memfd(whole, true); }, 0},
        {"a pipe, not a memfd",
         [] {
             int fds[2];
             EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
             ::close(fds[1]);
             return fds[0];
         },
         0x1000},
        {"a plain file", [] { return ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC); }, 0x1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RogueDevice rogue(
            base_ + "1", [](const wire::FrameHeader&) { return Bytes{}; }, c.memory(), c.size);
        EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 0, 0), HB_INVALID_HANDLE);
        EXPECT_EQ(hbGetLastError(), wire::kStatusInvalidData);
    }
}

} // namespace
} // namespace hb::test
