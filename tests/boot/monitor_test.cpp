// The board monitor on its own, driven through an in-memory board: the
// command set, malformed requests, reset, the test options.
#include "vboard/monitor.h"

#include "little_endian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace hb::vboard;
using namespace std::chrono_literals;

// Shared memory and events only; every request is made by the test itself.
class MemoryBoard : public Board {
  public:
    explicit MemoryBoard(BoardConfig config = {}) : config_(config), shared_(0x40000, 0) {}

    int index() const override { return 0; }
    const BoardConfig& config() const override { return config_; }
    std::string socketPath() const override { return {}; }
    uint32_t sharedMemorySize() const override { return static_cast<uint32_t>(shared_.size()); }
    bool readShared(uint32_t offset, void* out, uint32_t length) const override {
        std::lock_guard lock(mutex_);
        if (static_cast<uint64_t>(offset) + length > shared_.size()) {
            return false;
        }
        std::memcpy(out, shared_.data() + offset, length);
        return true;
    }
    bool writeShared(uint32_t offset, const void* data, uint32_t length) override {
        std::lock_guard lock(mutex_);
        if (static_cast<uint64_t>(offset) + length > shared_.size()) {
            return false;
        }
        std::memcpy(shared_.data() + offset, data, length);
        return true;
    }
    uint32_t readSharedWord(uint32_t offset) const override {
        uint32_t v = 0;
        readShared(offset, &v, 4);
        return v;
    }
    bool writeSharedWord(uint32_t offset, uint32_t value) override {
        return writeShared(offset, &value, 4);
    }
    bool waitForSharedWord(uint32_t offset, uint32_t value,
                           std::chrono::milliseconds timeout) const override {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (readSharedWord(offset) != value) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    bool raiseEvent(uint32_t eventId) override {
        std::lock_guard lock(mutex_);
        events_.push_back(eventId);
        return true;
    }
    bool isEventRegistered(uint32_t) const override { return true; }
    uint32_t registerValue(uint32_t) const override { return 0; }
    uint32_t resetCount() const override { return 0; }
    std::vector<uint32_t> signalsReceived() const override { return {}; }
    size_t takeFromHost(void*, size_t) override { return 0; }
    void sendToHost(const void*, size_t) override {}
    std::vector<TraceEntry> trace() const override { return {}; }
    void clearTrace() override {}
    void setVpSide(std::shared_ptr<VpSide>) override {}
    void dropConnections() override {}
    size_t connectionCount() const override { return 0; }

    std::vector<uint32_t> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    BoardConfig config_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> shared_;
    std::vector<uint32_t> events_;
};

struct Message {
    std::vector<uint8_t> bytes;
    Message& u16(uint16_t v) {
        bytes.resize(bytes.size() + 2);
        hb::putLe16(bytes.data() + bytes.size() - 2, v);
        return *this;
    }
    Message& u32(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        hb::putLe32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    Message& raw(const std::vector<uint8_t>& data) {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
};

Message command(uint16_t opcode, uint16_t length) {
    return Message{}.u16(length).u16(opcode);
}

uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
    return hb::getLe16(b.data() + at);
}

class MonitorTest : public ::testing::Test {
  protected:
    // Posts like the host: body, length, then MessageState 2.
    void post(const std::vector<uint8_t>& request, uint32_t messageLength) {
        board.writeShared(8, request.data(), static_cast<uint32_t>(request.size()));
        board.writeSharedWord(0, messageLength);
        board.writeSharedWord(4, 2);
        monitor->onSharedMemoryWrite(board, 4, 4);
    }
    std::vector<uint8_t> exchange(const std::vector<uint8_t>& request) {
        post(request, static_cast<uint32_t>(request.size()));
        EXPECT_EQ(board.readSharedWord(4), 1u);
        std::vector<uint8_t> reply(board.readSharedWord(0));
        board.readShared(8, reply.data(), static_cast<uint32_t>(reply.size()));
        return reply;
    }
    static void expectError(const std::vector<uint8_t>& reply, MonitorError error) {
        ASSERT_EQ(reply.size(), 8u);
        EXPECT_EQ(get16(reply, 2), kMonitorErrorOpcode);
        EXPECT_EQ(get16(reply, 6), static_cast<uint16_t>(error));
    }

    MemoryBoard board;
    std::shared_ptr<Monitor> monitor =
        std::make_shared<Monitor>(MonitorOptions{.memorySize = 0x100000});
};

TEST_F(MonitorTest, ContextRoundTripAndResetValues) {
    auto reply = exchange(command(15, 4).bytes);
    ASSERT_EQ(reply.size(), 376u);
    EXPECT_EQ(get16(reply, 0), 376);
    EXPECT_EQ(get16(reply, 44), 0x18);
    EXPECT_EQ(get16(reply, 46), 0x20);
    EXPECT_EQ(get16(reply, 52), 0x28);
    EXPECT_EQ(get16(reply, 60) & 0x2, 0x2); // the reserved flag bit

    std::vector<uint8_t> context(reply.begin() + 4, reply.end());
    context[56 - 4] = 0x78; // entry address low byte
    auto set = exchange(command(16, 376).raw(context).bytes);
    EXPECT_EQ(get16(set, 2), 16);
    EXPECT_EQ(monitor->contextWord(56) & 0xFF, 0x78u);
    EXPECT_EQ(board.events(), (std::vector<uint32_t>{3, 3}));
}

TEST_F(MonitorTest, WritesMemoryThroughSelectorsAndRefusesWritesOutside) {
    auto data = std::vector<uint8_t>{1, 2, 3, 4, 5};
    exchange(command(18, 19).u32(0x2000).u16(0x20).u32(5).raw(data).bytes);
    EXPECT_EQ(monitor->readMemory(0x2000, 5), data);

    // The start-up segment is based at kStartupBase.
    exchange(command(18, 19).u32(0).u16(0x28).u32(5).raw(data).bytes);
    EXPECT_EQ(monitor->readMemory(descriptors::kStartupBase, 5), data);

    // Ends one byte past VP memory; the address wraps; beyond the segment limit.
    expectError(exchange(command(18, 19).u32(0x100000 - 4).u16(0x20).u32(5).raw(data).bytes),
                MonitorError::OutsideMemory);
    expectError(exchange(command(18, 19).u32(0xFFFFFFFE).u16(0x18).u32(5).raw(data).bytes),
                MonitorError::OutsideMemory);
    expectError(
        exchange(
            command(18, 19).u32(descriptors::kStartupLimit - 1).u16(0x28).u32(5).raw(data).bytes),
        MonitorError::OutsideMemory);
    expectError(exchange(command(18, 19).u32(0x2000).u16(0x30).u32(5).raw(data).bytes),
                MonitorError::BadSelector);
    // The count disagrees with the length.
    expectError(exchange(command(18, 19).u32(0x2000).u16(0x20).u32(6).raw(data).bytes),
                MonitorError::BadLength);
    EXPECT_EQ(monitor->readMemory(0x100000 - 4, 4), std::vector<uint8_t>(4, 0));
}

TEST_F(MonitorTest, DescriptorReplyCarriesTheSegmentBase) {
    auto reply = exchange(command(23, 10).u16(0x28).u32(1).bytes);
    ASSERT_EQ(reply.size(), 12u);
    const uint32_t base = get16(reply, 6) | (static_cast<uint32_t>(reply[8]) << 16);
    EXPECT_EQ(base, descriptors::kStartupBase);
    EXPECT_NE(base, 0u);
    // The same table stands in VP memory for a CPU to load.
    auto gdt = monitor->readMemory(descriptors::kGdtAddress + 0x28, 8);
    EXPECT_TRUE(std::equal(gdt.begin(), gdt.end(), reply.begin() + 4));
    EXPECT_EQ(descriptors::base(monitor->descriptor(0x18)), 0u);
    EXPECT_EQ(descriptors::limitBytes(monitor->descriptor(0x20)), 0xFFFFFFFFu);

    expectError(exchange(command(23, 10).u16(0x28).u32(2).bytes), MonitorError::BadSelector);
    expectError(exchange(command(23, 10).u16(0x29).u32(1).bytes), MonitorError::BadSelector);
}

TEST_F(MonitorTest, StartDescriptionForTheProcessorFollowsTableAndContext) {
    std::vector<uint8_t> context(372, 0);
    context[56 - 4] = 0x34;
    context[57 - 4] = 0x12; // EIP 0x1234
    context[40 - 4] = 0x00;
    context[41 - 4] = 0x80; // ESP 0x8000
    context[44 - 4] = 0x18;
    context[46 - 4] = 0x20;
    exchange(command(16, 376).raw(context).bytes);
    const VpStart start = monitor->vpStart();
    EXPECT_EQ(start.memorySize, 0x100000u);
    EXPECT_EQ(start.registers.eip, 0x1234u);
    EXPECT_EQ(start.registers.esp, 0x8000u);
    ASSERT_EQ(start.segments.size(), 3u);
    EXPECT_EQ(start.segments[0].selector, 0x18);
    EXPECT_TRUE(start.segments[0].code);
    EXPECT_EQ(start.segments[0].limit, 0xFFFFFFFFu);
    EXPECT_FALSE(start.segments[1].code);
    EXPECT_EQ(start.segments[2].selector, 0x28);
    EXPECT_EQ(start.segments[2].base, descriptors::kStartupBase);
    EXPECT_EQ(start.segments[2].limit, descriptors::kStartupLimit);
    monitor->writeMemory(0x10, "\x5A", 1);
    EXPECT_EQ(start.memory[0x10], 0x5A);
}

TEST_F(MonitorTest, VariablesAndMalformedCommands) {
    exchange(command(60, 16).u32(5).u32(4).u32(4096).bytes);
    EXPECT_EQ(monitor->variable(5), 4096u);
    exchange(command(60, 16).u32(6).u32(1).u32(0x1FF).bytes);
    EXPECT_EQ(monitor->variable(6), 0xFFu);
    expectError(exchange(command(60, 16).u32(16).u32(4).u32(1).bytes), MonitorError::BadVariable);
    expectError(exchange(command(60, 16).u32(1).u32(8).u32(1).bytes), MonitorError::BadVariable);

    expectError(exchange(command(99, 4).bytes), MonitorError::UnknownOpcode);
    expectError(exchange(command(15, 6).u16(0).bytes), MonitorError::BadLength);
    // MessageLength and the header length disagree.
    expectError(exchange(command(42, 8).bytes), MonitorError::BadLength);
    expectError(exchange({1, 0}), MonitorError::BadLength);
    // MessageLength larger than the area: only the area is read.
    post(command(42, 4).bytes, 0xFFFFFFF0);
    EXPECT_EQ(board.readSharedWord(4), 1u);
    EXPECT_EQ(monitor->commands().back().error, MonitorError::BadLength);
    EXPECT_EQ(monitor->commands().back().body.size(), 0x400u - 8);
}

TEST_F(MonitorTest, StartLeavesTheMonitorUntilReset) {
    exchange(command(16, 376).raw(std::vector<uint8_t>(372, 0)).bytes);
    std::vector<uint8_t> context(372, 0);
    context[56 - 4] = 0x10;
    context[57 - 4] = 0x10;
    context[58 - 4] = 0x40; // entry 0x401010
    exchange(command(16, 376).raw(context).bytes);
    monitor->writeMemory(0x3000, "\x7", 1);

    post(command(35, 4).bytes, 4);
    EXPECT_EQ(board.readSharedWord(4), 2u) << "MON_START is not answered";
    ASSERT_TRUE(monitor->startedImage());
    EXPECT_EQ(monitor->startedImage()->entryAddress, 0x401010u);
    EXPECT_FALSE(monitor->inMonitor());
    post(command(42, 4).bytes, 4);
    EXPECT_EQ(board.readSharedWord(4), 2u) << "the image runs, not the monitor";

    monitor->onReset(board);
    EXPECT_TRUE(monitor->inMonitor());
    EXPECT_FALSE(monitor->startedImage());
    EXPECT_EQ(monitor->readMemory(0x3000, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(monitor->contextHalf(44), 0x18);
    exchange(command(42, 4).bytes);
}

TEST_F(MonitorTest, OptionsSilenceTheEventDelayOrDropTheReply) {
    monitor->setRaiseEvent3(false);
    exchange(command(42, 4).bytes);
    EXPECT_TRUE(board.events().empty());

    monitor->setNeverAnswer(true);
    post(command(42, 4).bytes, 4);
    EXPECT_EQ(board.readSharedWord(4), 2u);
    EXPECT_EQ(monitor->commands().size(), 2u);

    monitor->setNeverAnswer(false);
    monitor->setRaiseEvent3(true);
    monitor->setReplyDelay(100ms);
    post(command(42, 4).bytes, 4);
    EXPECT_TRUE(board.waitForSharedWord(4, 1, 5s));
    EXPECT_EQ(board.events(), std::vector<uint32_t>{3});
}

TEST_F(MonitorTest, NewRequestSupersedesADelayedReply) {
    monitor->setReplyDelay(300ms);
    post(command(99, 4).bytes, 4); // would answer with an error
    monitor->setReplyDelay(0ms);
    post(command(42, 4).bytes, 4);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(board.readSharedWord(0), 4u) << "the stale error reply must not come back";
    monitor->stop();
}

} // namespace
