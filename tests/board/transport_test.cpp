// The device transport: several threads on one handle; shared memory mapped
// into the channel, the board's memory both ways for every host, within its
// bounds, and watched requests as frames again; frames in pieces or batched;
// frames that a device must refuse, and replies or shared memory that the
// library must refuse.
#include "virtual_board_fixture.h"

#include "device_socket.h"
#include "device_wire.h"

#include <atomic>
#include <initializer_list>

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>

namespace hb::test {
namespace {

using TransportTest = VirtualBoardTest;
constexpr uint32_t kGone = HB_ERROR_DEVICE_NOT_CONNECTED;

TEST_F(TransportTest, ThreadsSharingOneHandleEachReceiveTheirOwnReplies) {
    const HbHandle device = open(0)->deviceHandle;
    constexpr int kThreads = 4, kRounds = 300;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes mine(96 + 32 * t), back(mine.size());
            const uint32_t size = static_cast<uint32_t>(mine.size()), at = 0x1000u * (t + 1);
            for (int round = 0; round < kRounds; ++round) {
                std::fill(mine.begin(), mine.end(), static_cast<uint8_t>(t * 64 + round));
                wrong += !hb_DeviceIoSharedMemoryWrite(device, at, mine.data(), size) ||
                         !hb_DeviceIoSharedMemoryRead(device, at, back.data(), size) ||
                         back != mine;
            }
        });
    }
    std::for_each(threads.begin(), threads.end(), [](std::thread& t) { t.join(); });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(board(0).trace().size(), size_t{kThreads} * kRounds * 2);
}

// ---- Shared memory mapped into the channel ---------------------------------

TEST_F(TransportTest, AMappedHostCopiesTheOneMemoryWithinItsBoundsUntilWatched) {
    device_->addBoard(0, {.transport = vboard::MemoryTransport::Mapped}).setTracing(false);
    device_->addBoard(1, {.transport = vboard::MemoryTransport::Socket}).setTracing(false);
    const HbHandle device = open(0)->deviceHandle;
    uint32_t word = 0x12345678, back = 0;
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 0x100, &word, 4), 1);
    EXPECT_EQ(board(0).readSharedWord(0x100), word) << "visible when the call returns";
    ASSERT_TRUE(board(0).writeSharedWord(0x200, 0xCAFEF00D));
    ASSERT_EQ(hb_DeviceIoSharedMemoryRead(device, 0x200, &back, 4), 1);
    EXPECT_EQ(back, 0xCAFEF00Du);
    // A second host of the mapped board, and two hosts of a socket board.
    const std::pair<HbHandle, HbHandle> pairs[] = {{device, open(0)->deviceHandle},
                                                   {open(1)->deviceHandle, open(1)->deviceHandle}};
    for (const auto& [first, second] : pairs) {
        uint32_t at = 0x10, written = 0; // the bytes a write reports, mapped or as a frame
        ASSERT_TRUE(hb__DeviceIoControl(first, HB_IOCTL_SHARED_MEMORY_WRITE, &at, 4, &word, 4,
                                        &written, nullptr));
        ASSERT_EQ(hb_DeviceIoSharedMemoryRead(second, 0x10, &back, 4), 1);
        EXPECT_EQ(std::pair(back, written), std::pair(word, 4u));
    }
    // Beyond the memory: refused with 87, nothing touched; the last word and an
    // empty transfer at the end are inside.
    const uint32_t size = board(0).sharedMemorySize();
    const std::pair<uint32_t, uint32_t> outside[] = {
        {size - 4, 8}, {size, 1}, {0xFFFFFFFC, 8}, {size + 4096, 4}};
    for (const auto& [offset, length] : outside) {
        uint8_t bytes[8] = {0x5A};
        EXPECT_EQ(failure(hb_DeviceIoSharedMemoryWrite(device, offset, bytes, length)), 87u)
            << offset;
        EXPECT_EQ(failure(hb_DeviceIoSharedMemoryRead(device, offset, bytes, length)), 87u)
            << offset;
    }
    EXPECT_EQ(board(0).readSharedWord(size - 4), 0u);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(device, size, &word, 0), 1);
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, size - 4, &word, 4), 1);
    board(0).setTracing(true);
    EXPECT_EQ(board(0).trace().size(), 0u) << "the copies sent no request";

    // Watched by a trace or a fault plan, requests travel as frames again.
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 8, &word, 4), 1);
    EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_WRITE), 1u);
    board(0).setTracing(false);
    ASSERT_EQ(hb_DeviceIoSharedMemoryWrite(device, 8, &word, 4), 1);
    board(0).setFaultPlan(vboard::parseFaultPlan("fail:SharedMemoryRead#2=1167"));
    EXPECT_EQ(hb_DeviceIoSharedMemoryRead(device, 0, &word, 4), 1);
    EXPECT_EQ(failure(hb_DeviceIoSharedMemoryRead(device, 0, &word, 4)), kGone)
        << "the plan's second read";
    board(0).setTracing(true);
    EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_WRITE), 1u) << "untraced: a copy again";
}

// The owner of a mapped board posts the reply event's registration and its
// withdrawal: in place for its next request, withdrawn after; what the device
// could refuse, or a plan wants to see, still waits for its answer.
TEST_F(TransportTest, APostedRegistrationTakesEffectInOrderAndOnlyWhereItCannotFail) {
    device_->addBoard(0, {.transport = vboard::MemoryTransport::Mapped}).setTracing(false);
    const HbHandle device = open(0)->deviceHandle, event = hb__EventCreate(0);
    const auto registerReply = [&] {
        return hb_DeviceIoAsyncEventRegister(device, HB_EVENT_MONITOR_REPLY, event, 0, 0, 0, 1);
    };
    EXPECT_EQ(failure(hb_DeviceIoAsyncEventDeregister(device, HB_EVENT_MONITOR_REPLY)), 87u);
    ASSERT_EQ(hb_DeviceIoResetVp(device), 1); // the board is this process's now
    uint32_t value = 0;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(registerReply(), 1);
        ASSERT_EQ(hb_DeviceIoPlxRegisterRead(device, 0, &value), 1); // the next request
        EXPECT_TRUE(board(0).raiseEvent(HB_EVENT_MONITOR_REPLY));
        EXPECT_EQ(hb__EventLock(event, 10.0), 0u);
        hb__EventReset(event);
        ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(device, HB_EVENT_MONITOR_REPLY), 1);
        ASSERT_EQ(hb_DeviceIoPlxRegisterRead(device, 0, &value), 1);
        EXPECT_FALSE(board(0).isEventRegistered(HB_EVENT_MONITOR_REPLY));
    }
    EXPECT_EQ(failure(hb_DeviceIoAsyncEventDeregister(device, HB_EVENT_MONITOR_REPLY)), 87u);
    board(0).setFaultPlan(vboard::parseFaultPlan("fail:AsyncEventRegister#1=1450"));
    EXPECT_EQ(failure(registerReply()), 1450u);
    hb__EventDestroy(event);
}

// ---- Frames that a device must refuse --------------------------------------

constexpr uint32_t kClosed = 0xFFFFFFFF;
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A frame header; a total size of 0 is computed from the payload.
wire::FrameHeader header(uint32_t code, uint32_t input, uint32_t data, uint32_t capacity,
                         uint32_t flags = 0, uint32_t total = 0) {
    return {total, 0, code, flags, 0, input, data, capacity, 0};
}

const wire::FrameHeader kHello =
    header(0, wire::kHelloPayloadSize, 0, wire::kHelloReplyPayloadSize, wire::kFlagHello);

// A hello's payload: magic, version, and no wish for the mapping.
Bytes greeting(uint32_t magic = wire::kMagic, uint32_t version = wire::kProtocolVersion) {
    return words({magic, version, 0});
}

// The bytes of a frame; a total size of 0 is computed from the payload.
Bytes frame(wire::FrameHeader h, const Bytes& payload, uint32_t id) {
    h.totalSize = h.totalSize != 0 ? h.totalSize : wire::kHeaderSize + payload.size();
    h.requestId = id;
    Bytes bytes(wire::kHeaderSize);
    wire::encodeHeader(h, bytes.data());
    return bytes + payload;
}

// Sends `bytes` cut at `cuts`, pausing after each piece so that it arrives
// on a read of its own (a peer that hung up meanwhile gets no more).
void sendInPieces(int fd, const Bytes& bytes, std::initializer_list<size_t> cuts) {
    size_t from = 0;
    for (const size_t cut : cuts) {
        ::send(fd, bytes.data() + from, cut - from, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        from = cut;
    }
    ::send(fd, bytes.data() + from, bytes.size() - from, MSG_NOSIGNAL);
}

// A host end that speaks the wire format by hand.
class RawClient {
  public:
    explicit RawClient(const std::string& path) {
        const sockaddr_un address = addressOf(path);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        const timeval limit{10, 0}; // a device that neither answers nor closes fails the test
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawClient() { ::close(fd_); }

    // `attach`: how many eventfds go with the frame.
    bool send(wire::FrameHeader h, const Bytes& body, int attach = 0) {
        return sendBytes(frame(h, body, ++lastId_), attach);
    }
    bool sendBytes(Bytes bytes, int attach) {
        std::vector<int> fds;
        while (static_cast<int>(fds.size()) < attach)
            fds.push_back(::eventfd(0, EFD_CLOEXEC));
        iovec iov{bytes.data(), bytes.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        wire::DescriptorRoom<1> room;
        wire::attachDescriptors(msg, room, std::span<const int>(fds));
        const bool sent = ::sendmsg(fd_, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
        std::for_each(fds.begin(), fds.end(), ::close);
        return sent;
    }

    void sendPieces(const Bytes& bytes, std::initializer_list<size_t> cuts) {
        sendInPieces(fd_, bytes, cuts);
    }

    // The status of the reply to the next request in order, or kClosed when
    // the device ends the connection instead.
    uint32_t receive() {
        Bytes bytes(wire::kHeaderSize);
        if (!readExactly(bytes))
            return kClosed;
        const wire::FrameHeader h = wire::decodeHeader(bytes.data());
        EXPECT_EQ(h.requestId, ++answered_);
        EXPECT_NE(h.flags & wire::kFlagReply, 0u);
        bytes.resize(h.payloadSize());
        return readExactly(bytes) ? h.status : kClosed;
    }
    bool greet() { return send(kHello, greeting()) && receive() == 0; }

  private:
    bool readExactly(Bytes& bytes) {
        return bytes.empty() || ::recv(fd_, bytes.data(), bytes.size(), MSG_WAITALL) ==
                                    static_cast<ssize_t>(bytes.size());
    }

    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint32_t lastId_ = 0, answered_ = 0;
};

// One refusal of each kind; the fuzzers take arbitrary frames.
struct BadFrame {
    const char* what;
    wire::FrameHeader header;
    Bytes payload;
    uint32_t expected; // reply status, or kClosed
    int attach = 0;    // eventfds sent along
};

TEST_F(TransportTest, MalformedFramesAreRefusedAndNoDescriptorIsLeaked) {
    using namespace wire;
    constexpr uint32_t kHw = HB_IOCTL_GET_HW_INFO, kRead = HB_IOCTL_SHARED_MEMORY_READ;
    const BadFrame badFrames[] = {
        {"hello, wrong magic", kHello, greeting(0x12345678), kClosed},
        {"hello, other version", kHello, greeting(kMagic, kProtocolVersion + 1),
         kStatusRevisionMismatch},
        {"total below the header", header(kHw, 0, 0, 68, 0, 20), none, kClosed},
        {"payload beyond the limit",
         header(0x80012059, 16, kMaxPayload, kMaxPayload, 0, kHeaderSize + 16 + kMaxPayload), none,
         kClosed},
        {"read past the end", header(kRead, 4, 0, 8), words({(256u << 10) - 4}),
         kStatusInvalidParameter},
        {"descriptor without the flag", header(kHw, 0, 0, 68), none, kStatusInvalidParameter, 1},
        {"unknown control code", header(0x80012FFC, 0, 0, 0), none, kStatusInvalidFunction},
        {"a read posted", header(kRead, 4, 0, 0, kFlagPosted), words({0}), kClosed},
        {"posted without the mapping",
         header(HB_IOCTL_ASYNC_EVENT_REGISTER, 24, 0, 0, kFlagDescriptor | kFlagPosted),
         words({HB_EVENT_MONITOR_REPLY, 0, 0, 0, 0, 1}), kClosed, 1},
    };
    device_->addBoard(0, {});
    const int baseline = countOpenDescriptors();
    for (const BadFrame& frame : badFrames) {
        SCOPED_TRACE(frame.what);
        {
            RawClient client(board(0).socketPath());
            ASSERT_TRUE((frame.header.flags & kFlagHello) != 0 || client.greet());
            ASSERT_TRUE(client.send(frame.header, frame.payload, frame.attach));
            EXPECT_EQ(client.receive(), frame.expected);
            // Refused, and the connection still serves, unless closed.
            const bool serving = frame.expected != kClosed && frame.expected != 1306;
            client.send(header(kHw, 0, 0, 68), none); // may meet a closed end
            EXPECT_EQ(client.receive(), serving ? 0 : kClosed);
        }
        EXPECT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        EXPECT_EQ(countOpenDescriptors(), baseline);
    }
    for (uint32_t size : {kNoticePayloadSize, kNoticePayloadSize + 4}) // a notice: offset, length
        EXPECT_EQ(requestSizesValid(header(HB_IOCTL_SHARED_MEMORY_WRITE, size, 0, 0, kFlagNotice,
                                           kHeaderSize + size)),
                  size == kNoticePayloadSize);
}

TEST_F(TransportTest, AFrameSplitAcrossReadsOrSeveralInOneReadAreEachAnswered) {
    device_->addBoard(0, {});
    RawClient client(board(0).socketPath());
    client.sendPieces(frame(kHello, greeting(), 1),
                      {1, wire::kHeaderSize - 1, wire::kHeaderSize + 2});
    EXPECT_EQ(client.receive(), 0u);
    Bytes batch;
    for (uint32_t id = 2; id <= 4; ++id)
        batch = batch + frame(header(HB_IOCTL_GET_HW_INFO, 0, 0, 68), none, id);
    // An eventfd sent with the first byte of the next frame goes with that frame.
    const size_t cut = batch.size() + 1;
    batch = batch + frame(header(HB_IOCTL_ASYNC_EVENT_REGISTER, 24, 0, 0, wire::kFlagDescriptor),
                          words({6, 0, 0, 0, 0, 1}), 5);
    client.sendBytes(Bytes(batch.begin(), batch.begin() + cut), 1);
    client.sendPieces(Bytes(batch.begin() + cut, batch.end()), {});
    for (int reply = 2; reply <= 5; ++reply)
        EXPECT_EQ(client.receive(), 0u) << reply;
}

// The board belongs to the process that changed it first as long as it stays connected.
TEST_F(TransportTest, AnotherProcessIsRefusedTheBoardWhileItsOwnerIsConnected) {
    ASSERT_EQ(hb_DeviceIoResetVp(open(0)->deviceHandle), 1);
    const pid_t child = ::fork();
    if (child == 0) { // a raw client only: no threads in the child; its status is the reply's
        RawClient other(board(0).socketPath());
        ::_exit(other.greet() && other.send(header(HB_IOCTL_RESET_VP, 0, 0, 0), none)
                    ? int(other.receive())
                    : 1);
    }
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && WEXITSTATUS(status) == 170) << status;
}

// ---- Replies and memory that the library must refuse -----------------------

// What a rogue device does wrong: the shared memory it hands over with the
// hello (a memfd not sealed against shrinking), or its reply to the first
// request, carrying `payload` bytes (in pieces).
struct Rogue {
    const char* what;
    bool unsealedMemory;
    uint32_t payload = 0;
};

// Serves one connection at `path` as `rogue` says, on a thread of its own.
std::thread serveRogue(const std::string& path, const Rogue& rogue) {
    ::unlink(path.c_str());
    const int listener = socketAt(path, true);
    EXPECT_GE(listener, 0);
    return std::thread([listener, &rogue] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int memory = rogue.unsealedMemory ? ::memfd_create("rogue", MFD_CLOEXEC) : -1;
        EXPECT_EQ(memory < 0 ? 0 : ::ftruncate(memory, off_t(wire::mappedFileSize(0x1000))), 0);
        uint8_t in[wire::kHeaderSize + wire::kHelloPayloadSize];
        ::recv(fd, in, sizeof in, MSG_WAITALL);
        wire::FrameHeader reply = wire::decodeHeader(in);
        reply.flags |= wire::kFlagReply | (memory >= 0 ? wire::kFlagDescriptor : 0);
        reply.totalSize = 0;
        reply.bytesReturned = wire::kHelloReplyPayloadSize;
        Bytes out =
            frame(reply,
                  words({wire::kMagic, wire::kProtocolVersion,
                         memory >= 0 ? wire::kFeatureMappedMemory : 0, memory >= 0 ? 0x1000u : 0}),
                  reply.requestId);
        iovec iov{out.data(), out.size()};
        wire::sendWhole(fd, &iov, 1, memory);
        ::close(memory);
        if (::recv(fd, in, wire::kHeaderSize, MSG_WAITALL) == wire::kHeaderSize) {
            const wire::FrameHeader request = wire::decodeHeader(in);
            reply = header(0, 0, 0, 0, wire::kFlagReply, wire::kHeaderSize + rogue.payload);
            reply.requestId = request.requestId;
            reply.bytesReturned = rogue.payload;
            out.assign(wire::kHeaderSize + rogue.payload, 0xAB);
            wire::encodeHeader(reply, out.data());
            sendInPieces(fd, out, {7, wire::kHeaderSize + 1});
        }
        while (::recv(fd, in, sizeof in, 0) > 0) {
        }
        ::close(fd);
    });
}

TEST_F(TransportTest, ARogueDevicesMemoryOrRepliesAreRefusedAndAReplyInPiecesIsTaken) {
    const Rogue rogues[] = {
        {"unsealed memory: refused at open with 13", true},
        // The reply to a 4-byte read carries 8: the connection breaks, the
        // caller's buffer beyond its length stays as it was.
        {"more bytes than the caller has room for", false, 8},
        {"none: a good reply, in pieces", false, 4},
    };
    for (const Rogue& rogue : rogues) {
        SCOPED_TRACE(rogue.what);
        std::thread device = serveRogue(base_ + "1", rogue);
        HbHandle handle = hb__DeviceIoOpen(base_.c_str(), 0, 0);
        if (rogue.unsealedMemory) {
            EXPECT_EQ(handle, HB_INVALID_HANDLE);
            EXPECT_EQ(hbGetLastError(), wire::kStatusInvalidData);
        } else if (rogue.payload == 4) {
            uint32_t word = 0;
            EXPECT_EQ(hb_DeviceIoSharedMemoryRead(handle, 0, &word, 4), 1);
            EXPECT_EQ(word, 0xABABABABu);
        } else {
            Bytes buffer(12, 0x11);
            for (int attempt = 0; attempt < 2; ++attempt)
                EXPECT_EQ(failure(hb_DeviceIoSharedMemoryRead(handle, 0, buffer.data(), 4)), kGone);
            EXPECT_EQ(Bytes(buffer.begin() + 4, buffer.end()), Bytes(8, 0x11));
        }
        hb__DeviceIoClose(handle);
        device.join();
    }
}

} // namespace
} // namespace hb::test
