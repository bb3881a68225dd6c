// The device transport: several threads on one handle, a device that goes
// away mid-request, and frames that a device must refuse.
#include "virtual_board_fixture.h"

#include "device_socket.h"
#include "device_wire.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
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

TEST_F(TransportTest, ThreadsSharingOneHandleEachReceiveTheirOwnReplies) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> mine(96 + 32 * t);
            std::vector<uint8_t> back(mine.size());
            const uint32_t offset = 0x1000 * static_cast<uint32_t>(t + 1);
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < mine.size(); ++i) {
                    mine[i] = static_cast<uint8_t>(t * 64 + round + i);
                }
                const auto size = static_cast<uint32_t>(mine.size());
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

// Holds the first shared-memory write on the device's thread until released,
// then lets the board go away without answering it.
class VanishingBoard : public vboard::VpSide {
  public:
    void onSharedMemoryWrite(vboard::Board& board, uint32_t, uint32_t) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        board.dropConnections();
    }
    void waitUntilEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

TEST_F(TransportTest, BoardGoneMidRequestFailsThatRequestAndAllWaitingOnes) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    auto vp = std::make_shared<VanishingBoard>();
    board(0).setVpSide(vp);

    std::atomic<uint32_t> writeError{0};
    std::thread writer([&] {
        const uint32_t word = 1;
        if (!hb_DeviceIoSharedMemoryWrite(handle->deviceHandle, 0, &word, 4)) {
            writeError = hbGetLastError();
        }
    });
    vp->waitUntilEntered();
    std::vector<uint32_t> queuedErrors(3, 0);
    std::vector<std::thread> queued;
    for (size_t i = 0; i < queuedErrors.size(); ++i) {
        queued.emplace_back([&, i] {
            HwInfo info{};
            if (!hb_DeviceIoGetHwInfo(handle->deviceHandle, &info)) {
                queuedErrors[i] = hbGetLastError();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them queue up
    vp->release();
    writer.join();
    for (auto& thread : queued) {
        thread.join();
    }
    EXPECT_EQ(writeError, HB_ERROR_DEVICE_NOT_CONNECTED);
    for (uint32_t error : queuedErrors) {
        EXPECT_EQ(error, HB_ERROR_DEVICE_NOT_CONNECTED);
    }
    board(0).setVpSide(nullptr);

    // Later requests on the handle fail at once; a new handle works.
    uint32_t word = 0;
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle->deviceHandle, 0, &word, 4), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    AcceleratorBoard* fresh = open(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(fresh->deviceHandle, 0, &word, 4), 1);
    EXPECT_EQ(word, 1u) << "the interrupted write had taken effect";
}

TEST_F(TransportTest, StoppedDeviceFailsLaterRequests) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    board(0).dropConnections();
    HwInfo info{};
    EXPECT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);

    AcceleratorBoard* other = open(0);
    ASSERT_NE(other, nullptr);
    device_->stop();
    EXPECT_EQ(hb_DeviceIoGetHwInfo(other->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 0, 0), nullptr) << "socket removed";
}

// ---- Frames that a device must refuse --------------------------------------

enum class Attach { None, EventFd, Pipe, TwoEventFds };
constexpr uint32_t kClosed = 0xFFFFFFFF;

struct BadFrame {
    const char* what;
    bool greet;
    wire::FrameHeader header; // totalSize 0: computed from the payload
    std::vector<uint8_t> payload;
    Attach attach;
    uint32_t expected; // reply status, or kClosed
};

std::vector<uint8_t> word(uint32_t value) {
    std::vector<uint8_t> bytes(4);
    wire::putLe32(bytes.data(), value);
    return bytes;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

wire::FrameHeader request(uint32_t code, uint32_t input, uint32_t data, uint32_t capacity,
                          uint32_t flags = 0) {
    wire::FrameHeader h;
    h.totalSize = 0;
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
std::vector<uint8_t> greeting(uint32_t magic, uint32_t version) {
    return concat(concat(word(magic), word(version)), word(0));
}

std::vector<uint8_t> registration(uint32_t eventId) {
    std::vector<uint8_t> record(24, 0);
    wire::putLe32(record.data(), eventId);
    return record;
}

const std::vector<BadFrame>& badFrames() {
    using namespace wire;
    static const std::vector<BadFrame> frames = [] {
        std::vector<BadFrame> f;
        auto withTotal = [](FrameHeader h, uint32_t total) {
            h.totalSize = total;
            return h;
        };
        f.push_back({"total size below the header",
                     true,
                     withTotal(request(HB_IOCTL_GET_HW_INFO, 0, 0, 68), 20),
                     {},
                     Attach::None,
                     kClosed});
        f.push_back({"payload beyond the limit",
                     true,
                     withTotal(request(HB_IOCTL_VP_WRITE, 16, kMaxPayload, kMaxPayload),
                               kHeaderSize + 16 + kMaxPayload),
                     {},
                     Attach::None,
                     kClosed});
        f.push_back({"sizes that do not add up", true,
                     withTotal(request(HB_IOCTL_SHARED_MEMORY_READ, 4, 0, 4), kHeaderSize + 8),
                     std::vector<uint8_t>(8), Attach::None, kClosed});
        f.push_back({"unknown flag",
                     true,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 68, 0x100),
                     {},
                     Attach::None,
                     kClosed});
        f.push_back({"reply flag on a request",
                     true,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 68, kFlagReply),
                     {},
                     Attach::None,
                     kClosed});
        f.push_back({"data with a code that returns data", true,
                     request(HB_IOCTL_SHARED_MEMORY_READ, 4, 4, 4), std::vector<uint8_t>(8),
                     Attach::None, kClosed});
        f.push_back({"written data unequal to the second buffer", true,
                     request(HB_IOCTL_SHARED_MEMORY_WRITE, 4, 4, 8), std::vector<uint8_t>(8),
                     Attach::None, kClosed});
        f.push_back({"output capacity beyond the limit", true,
                     request(HB_IOCTL_SHARED_MEMORY_READ, 4, 0, kMaxPayload + 1), word(0),
                     Attach::None, kClosed});
        f.push_back({"request before the hello",
                     false,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 68),
                     {},
                     Attach::None,
                     kClosed});
        f.push_back({"second hello", true, hello(), greeting(kMagic, kProtocolVersion),
                     Attach::None, kClosed});
        f.push_back({"hello with a wrong magic", false, hello(),
                     greeting(0x12345678, kProtocolVersion), Attach::None, kClosed});
        f.push_back({"hello with another version", false, hello(),
                     greeting(kMagic, kProtocolVersion + 1), Attach::None,
                     kStatusRevisionMismatch});
        f.push_back({"hello carrying a descriptor", false, hello(),
                     greeting(kMagic, kProtocolVersion), Attach::EventFd, kClosed});
        f.push_back({"unknown control code",
                     true,
                     request(0x80012FFC, 0, 0, 0),
                     {},
                     Attach::None,
                     kStatusInvalidFunction});
        f.push_back({"input too short", true, request(HB_IOCTL_SHARED_MEMORY_READ, 2, 0, 4),
                     std::vector<uint8_t>(2), Attach::None, kStatusInvalidParameter});
        f.push_back({"input where none belongs", true, request(HB_IOCTL_GET_HW_INFO, 4, 0, 68),
                     word(0), Attach::None, kStatusInvalidParameter});
        f.push_back({"read past the end", true, request(HB_IOCTL_SHARED_MEMORY_READ, 4, 0, 8),
                     word((256u << 10) - 4), Attach::None, kStatusInvalidParameter});
        f.push_back({"write wrapping around 32 bits", true,
                     request(HB_IOCTL_SHARED_MEMORY_WRITE, 4, 2, 2),
                     concat(word(0xFFFFFFFF), {1, 2}), Attach::None, kStatusInvalidParameter});
        f.push_back({"unaligned register", true, request(HB_IOCTL_PLX_REGISTER_READ, 4, 0, 4),
                     word(0x41), Attach::None, kStatusInvalidParameter});
        f.push_back({"register outside the space", true,
                     request(HB_IOCTL_PLX_REGISTER_WRITE, 4, 4, 4), concat(word(0x10000), word(1)),
                     Attach::None, kStatusInvalidParameter});
        f.push_back({"register value of 2 bytes", true,
                     request(HB_IOCTL_PLX_REGISTER_WRITE, 4, 2, 2), concat(word(0x40), {1, 2}),
                     Attach::None, kStatusInvalidParameter});
        f.push_back({"register read without room", true,
                     request(HB_IOCTL_PLX_REGISTER_READ, 4, 0, 2), word(0x40), Attach::None,
                     kStatusInvalidParameter});
        f.push_back({"hardware information without room",
                     true,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 67),
                     {},
                     Attach::None,
                     kStatusInvalidParameter});
        f.push_back({"descriptor with a request that takes none",
                     true,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 68, kFlagDescriptor),
                     {},
                     Attach::EventFd,
                     kStatusInvalidParameter});
        f.push_back({"descriptor without the flag",
                     true,
                     request(HB_IOCTL_GET_HW_INFO, 0, 0, 68),
                     {},
                     Attach::EventFd,
                     kStatusInvalidParameter});
        f.push_back({"registration flagged but without a descriptor", true,
                     request(HB_IOCTL_ASYNC_EVENT_REGISTER, 24, 0, 0, kFlagDescriptor),
                     registration(6), Attach::None, kStatusInvalidParameter});
        f.push_back({"registration of a pipe", true,
                     request(HB_IOCTL_ASYNC_EVENT_REGISTER, 24, 0, 0, kFlagDescriptor),
                     registration(6), Attach::Pipe, kStatusInvalidParameter});
        f.push_back({"registration with two descriptors", true,
                     request(HB_IOCTL_ASYNC_EVENT_REGISTER, 24, 0, 0, kFlagDescriptor),
                     registration(6), Attach::TwoEventFds, kStatusInvalidParameter});
        f.push_back({"registration record too short", true,
                     request(HB_IOCTL_ASYNC_EVENT_REGISTER, 20, 0, 0, kFlagDescriptor),
                     std::vector<uint8_t>(20), Attach::EventFd, kStatusInvalidParameter});
        f.push_back({"deregistration of nothing", true,
                     request(HB_IOCTL_ASYNC_EVENT_DEREGISTER, 4, 0, 0), word(6), Attach::None,
                     kStatusInvalidParameter});
        return f;
    }();
    return frames;
}

// A host end that speaks the wire format by hand.
class RawClient {
  public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }

    bool send(wire::FrameHeader header, const std::vector<uint8_t>& payload, Attach attach) {
        if (header.totalSize == 0) {
            header.totalSize = wire::kHeaderSize + static_cast<uint32_t>(payload.size());
        }
        header.requestId = ++lastId_;
        std::vector<uint8_t> frame(wire::kHeaderSize);
        wire::encodeHeader(header, frame.data());
        frame.insert(frame.end(), payload.begin(), payload.end());

        std::vector<int> attached;
        if (attach == Attach::EventFd || attach == Attach::TwoEventFds) {
            attached.push_back(::eventfd(0, EFD_CLOEXEC));
        }
        if (attach == Attach::TwoEventFds) {
            attached.push_back(::eventfd(0, EFD_CLOEXEC));
        }
        int pipeEnds[2] = {-1, -1};
        if (attach == Attach::Pipe) {
            EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
            attached.push_back(pipeEnds[1]);
        }
        iovec iov{frame.data(), frame.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        wire::DescriptorRoom<2> room;
        wire::attachDescriptors(msg, room, std::span<const int>(attached));
        const bool sent = ::sendmsg(fd_, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
        for (int fd : attached) {
            ::close(fd);
        }
        if (pipeEnds[0] >= 0) {
            ::close(pipeEnds[0]);
        }
        return sent;
    }

    bool sendRaw(const std::vector<uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The status of the next reply, which must answer request `id`, or
    // kClosed when the device ends the connection instead.
    uint32_t receiveReply(uint32_t id, std::vector<uint8_t>& payload) {
        uint8_t header[wire::kHeaderSize];
        if (!readExactly(header, sizeof header)) {
            return kClosed;
        }
        const wire::FrameHeader reply = wire::decodeHeader(header);
        EXPECT_EQ(reply.requestId, id);
        EXPECT_NE(reply.flags & wire::kFlagReply, 0u);
        payload.resize(reply.payloadSize());
        if (!readExactly(payload.data(), payload.size())) {
            return kClosed;
        }
        return reply.status;
    }

    uint32_t receive() {
        std::vector<uint8_t> payload;
        return receiveReply(lastId_, payload);
    }

    bool greet() {
        return send(hello(), greeting(wire::kMagic, wire::kProtocolVersion), Attach::None) &&
               receive() == 0;
    }

  private:
    bool readExactly(uint8_t* out, size_t length) {
        size_t got = 0;
        while (got < length) {
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

    int fd_ = -1;
    bool connected_ = false;
    uint32_t lastId_ = 0;
};

TEST_F(TransportTest, MalformedFramesAreRefusedAndNoDescriptorIsLeaked) {
    device_->addBoard(0, {});
    const std::string path = board(0).socketPath();
    const int baseline = countOpenDescriptors();
    for (const BadFrame& frame : badFrames()) {
        SCOPED_TRACE(frame.what);
        {
            RawClient client(path);
            ASSERT_TRUE(client.connected());
            if (frame.greet) {
                ASSERT_TRUE(client.greet());
            }
            ASSERT_TRUE(client.send(frame.header, frame.payload, frame.attach));
            EXPECT_EQ(client.receive(), frame.expected);
            if (frame.expected == wire::kStatusRevisionMismatch) {
                EXPECT_EQ(client.receive(), kClosed);
            } else if (frame.expected != kClosed) {
                // Refused, and the connection still serves.
                ASSERT_TRUE(client.send(request(HB_IOCTL_GET_HW_INFO, 0, 0, 68), {}, Attach::None));
                EXPECT_EQ(client.receive(), 0u);
            }
        }
        EXPECT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        EXPECT_EQ(countOpenDescriptors(), baseline);
        EXPECT_FALSE(board(0).isEventRegistered(6));
    }
    // The board still serves the library.
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HwInfo info{};
    EXPECT_EQ(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info), 1);
}

TEST_F(TransportTest, FramesSplitAcrossWritesAndBatchedTogetherAreAnsweredInOrder) {
    device_->addBoard(0, {});
    board(0).writeSharedWord(0x10, 0x11223344);
    RawClient client(board(0).socketPath());
    ASSERT_TRUE(client.greet());
    auto frame = [](uint32_t id, uint32_t code, const std::vector<uint8_t>& input,
                    uint32_t capacity) {
        wire::FrameHeader h = request(code, static_cast<uint32_t>(input.size()), 0, capacity);
        h.totalSize = wire::kHeaderSize + h.inputSize;
        h.requestId = id;
        std::vector<uint8_t> bytes(wire::kHeaderSize);
        wire::encodeHeader(h, bytes.data());
        return concat(bytes, input);
    };
    // Two requests in one write, then a third byte by byte.
    const auto batch = concat(frame(7, HB_IOCTL_SHARED_MEMORY_READ, word(0x10), 4),
                              frame(8, HB_IOCTL_SIGNAL_VP, word(1), 0));
    ASSERT_TRUE(client.sendRaw(batch));
    const auto split = frame(9, HB_IOCTL_SIGNAL_VP, word(7), 0);
    for (uint8_t byte : split) {
        ASSERT_TRUE(client.sendRaw({byte}));
    }
    std::vector<uint8_t> payload;
    EXPECT_EQ(client.receiveReply(7, payload), 0u);
    EXPECT_EQ(payload, word(0x11223344));
    EXPECT_EQ(client.receiveReply(8, payload), 0u);
    EXPECT_EQ(client.receiveReply(9, payload), 0u);
    EXPECT_EQ(board(0).signalsReceived(), (std::vector<uint32_t>{1, 7}));
}

// ---- Replies that the library must refuse ------------------------------------

// A device that greets properly, then answers the first request with whatever
// `answer` builds from it.
class RogueDevice {
  public:
    using Answer = std::function<std::vector<uint8_t>(const wire::FrameHeader&)>;

    // `memory` (taken; -1 for none) goes with the hello's answer as the
    // board's shared memory of `memorySize` bytes.
    RogueDevice(const std::string& path, Answer answer, int memory = -1,
                uint32_t memorySize = 0x1000)
        : answer_(std::move(answer)), memory_(memory), memorySize_(memorySize) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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
        if (::recv(fd, frame, wire::kHeaderSize + wire::kHelloPayloadSize, MSG_WAITALL) ==
            wire::kHeaderSize + wire::kHelloPayloadSize) {
            answerHello(fd, frame);
        }
        // The first request: its header, then whatever follows.
        if (::recv(fd, frame, wire::kHeaderSize, MSG_WAITALL) == wire::kHeaderSize) {
            const wire::FrameHeader request = wire::decodeHeader(frame);
            std::vector<uint8_t> rest(request.payloadSize());
            ::recv(fd, rest.data(), rest.size(), MSG_WAITALL);
            const auto reply = answer_(request);
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
    int listener_ = -1;
    std::thread thread_;
};

std::vector<uint8_t> replyFrame(const wire::FrameHeader& request, size_t payload,
                                std::function<void(wire::FrameHeader&)> spoil) {
    wire::FrameHeader reply;
    reply.totalSize = wire::kHeaderSize + static_cast<uint32_t>(payload);
    reply.requestId = request.requestId;
    reply.flags = wire::kFlagReply;
    reply.bytesReturned = static_cast<uint32_t>(payload);
    spoil(reply);
    std::vector<uint8_t> bytes(wire::kHeaderSize + payload, 0xAB);
    wire::encodeHeader(reply, bytes.data());
    return bytes;
}

TEST_F(TransportTest, RepliesThatDoNotFitTheRequestBreakTheConnectionAndNothingMore) {
    struct Case {
        const char* what;
        size_t payload;
        std::function<void(wire::FrameHeader&)> spoil;
    };
    const Case cases[] = {
        {"more bytes than the caller has room for", 8, [](wire::FrameHeader&) {}},
        {"count unequal to the bytes carried", 4, [](auto& h) { h.bytesReturned = 3; }},
        {"answer to another request", 4, [](auto& h) { ++h.requestId; }},
        {"not marked as a reply", 4, [](auto& h) { h.flags = 0; }},
        {"total size below the header", 0, [](auto& h) { h.totalSize = 8; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = base_ + "1";
        ::unlink(path.c_str());
        RogueDevice rogue(path, [&](const wire::FrameHeader& request) {
            return replyFrame(request, c.payload, c.spoil);
        });
        HbHandle device = hb__DeviceIoOpen(base_.c_str(), 0, 0);
        ASSERT_NE(device, HB_INVALID_HANDLE);
        uint8_t buffer[12];
        std::memset(buffer, 0x11, sizeof buffer);
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, buffer, 4), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        for (size_t i = 4; i < sizeof buffer; ++i) {
            EXPECT_EQ(buffer[i], 0x11) << "byte " << i << " lies beyond the caller's length";
        }
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, buffer, 4), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        hb__DeviceIoClose(device);
    }
}

// A memfd of `size` bytes, sealed against shrinking or not.
int memfd(off_t size, bool sealed) {
    const int fd = ::memfd_create("rogue", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    if (sealed) {
        EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    }
    return fd;
}

TEST_F(TransportTest, SharedMemoryThatCouldShrinkOrIsNoMemfdIsRefusedAtOpen) {
    const off_t whole = static_cast<off_t>(wire::mappedFileSize(0x1000));
    struct Case {
        const char* what;
        std::function<int()> memory;
        uint32_t size;
    };
    const Case cases[] = {
        {"unsealed: the device could shrink it under the mapping",
         [&] { return memfd(whole, false); }, 0x1000},
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = base_ + "1";
        ::unlink(path.c_str());
        RogueDevice rogue(
            path, [](const wire::FrameHeader&) { return std::vector<uint8_t>{}; }, c.memory(),
            c.size);
        EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 0, 0), HB_INVALID_HANDLE);
        EXPECT_EQ(hbGetLastError(), wire::kStatusInvalidData);
    }
}

} // namespace
} // namespace hb::test
