// The board monitor: serves monitor commands from the monitor data area.
#include "vboard/monitor.h"

#include "driver_requests.h"
#include "little_endian.h"
#include "monitor_data.h"

#include <algorithm>
#include <cstring>

namespace hb::vboard {

namespace {

constexpr uint16_t kGetContext = MON_GET_CONTEXT;
constexpr uint16_t kSetContext = MON_SET_CONTEXT;
constexpr uint16_t kWriteMemory = MON_WRITE_MEMORY;
constexpr uint16_t kGetDescriptor = MON_GET_DESCRIPTOR;
constexpr uint16_t kStart = MON_START;
constexpr uint16_t kPrepare = MON_PREPARE;
constexpr uint16_t kSetVariable = MON_SET_VARIABLE;

std::vector<uint8_t> headerOnly(uint16_t opcode) {
    std::vector<uint8_t> reply(4);
    putLe16(reply.data(), 4);
    putLe16(reply.data() + 2, opcode);
    return reply;
}

// Access bytes and flags of the three segments the monitor sets up.
constexpr uint8_t kCodeAccess = 0x9A;    // present, ring 0, code, readable
constexpr uint8_t kDataAccess = 0x92;    // present, ring 0, data, writable
constexpr uint8_t kFlat32Flags = 0xC;    // 4 KiB granularity, 32-bit
constexpr uint8_t kByteGranular32 = 0x4; // byte granularity, 32-bit

} // namespace

namespace descriptors {

uint64_t encode(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags) {
    uint64_t d = 0;
    d |= static_cast<uint64_t>(limit & 0xFFFF);
    d |= static_cast<uint64_t>(base & 0xFFFFFF) << 16;
    d |= static_cast<uint64_t>(access) << 40;
    d |= static_cast<uint64_t>((limit >> 16) & 0xF) << 48;
    d |= static_cast<uint64_t>(flags & 0xF) << 52;
    d |= static_cast<uint64_t>(base >> 24) << 56;
    return d;
}

uint32_t base(uint64_t d) {
    return static_cast<uint32_t>(((d >> 16) & 0xFFFFFF) | ((d >> 56) << 24));
}

uint32_t limitBytes(uint64_t d) {
    uint32_t limit = static_cast<uint32_t>((d & 0xFFFF) | (((d >> 48) & 0xF) << 16));
    bool pages = ((d >> 55) & 1) != 0;
    return pages ? (limit << 12) | 0xFFF : limit;
}

} // namespace descriptors

Monitor::Monitor(MonitorOptions options) : options_(options), memory_(options.memorySize, 0) {
    resetLocked();
    resets_ = 0;
    worker_ = std::thread([this] { workerLoop(); });
}

Monitor::~Monitor() {
    stop();
}

void Monitor::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.reset();
    }
    workerWake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void Monitor::resetLocked() {
    std::fill(memory_.begin(), memory_.end(), uint8_t{0});
    context_.fill(0);
    auto at = [this](uint32_t messageOffset) { return context_.data() + messageOffset - 4; };
    putLe16(at(10), 1);
    putLe32(at(context::kEsp), descriptors::kMonitorStackTop);
    putLe16(at(context::kCs), 0x18);
    putLe16(at(context::kDs), 0x20);
    putLe16(at(context::kEs), 0x20);
    putLe16(at(context::kSs), 0x20);
    putLe16(at(context::kFs), 0x28);
    putLe16(at(context::kGs), 0x20);
    putLe32(at(context::kEip), descriptors::kMonitorEntry);
    putLe32(at(context::kEflags), 0x00000246); // IF, ZF, PF and the reserved bit 1
    putLe16(at(context::kFpuControl), 0x037F);
    variables_.fill(0);
    gdt_.fill(0);
    gdt_[0x18 / 8] = descriptors::encode(0, 0xFFFFF, kCodeAccess, kFlat32Flags);
    gdt_[0x20 / 8] = descriptors::encode(0, 0xFFFFF, kDataAccess, kFlat32Flags);
    gdt_[0x28 / 8] = descriptors::encode(descriptors::kStartupBase, descriptors::kStartupLimit,
                                         kDataAccess, kByteGranular32);
    writeDescriptorTableLocked();
    started_.reset();
    inMonitor_ = true;
    pending_.reset();
    ++resets_;
}

void Monitor::writeDescriptorTableLocked() {
    if (memory_.size() < descriptors::kGdtAddress + gdt_.size() * 8) {
        return;
    }
    for (size_t i = 0; i < gdt_.size(); ++i) {
        putLe64(memory_.data() + descriptors::kGdtAddress + i * 8, gdt_[i]);
    }
}

uint32_t Monitor::areaRoom(const Board& board) const {
    if (options_.areaRoom != 0) {
        return options_.areaRoom;
    }
    // Bus type 1 (board type 27) with width 2 or 3 gives the monitor data
    // area 0x1000 bytes; every other layout 0x400.
    const BoardConfig& config = board.config();
    if (config.boardType == 27 && (config.busWidth == 2 || config.busWidth == 3)) {
        return 0x1000;
    }
    return 0x400;
}

void Monitor::onReset(Board&) {
    std::lock_guard lock(mutex_);
    resetLocked();
}

VpSide::WriteRange Monitor::writesOfInterest() const {
    return {options_.areaOffset + HB_MONITOR_MESSAGE_STATE, 4};
}

void Monitor::onSharedMemoryWrite(Board& board, uint32_t offset, uint32_t length) {
    const uint32_t stateWord = options_.areaOffset + HB_MONITOR_MESSAGE_STATE;
    // Only a write that covers the handshake word can post a request.
    if (static_cast<uint64_t>(offset) + length <= stateWord || offset > stateWord + 3) {
        return;
    }
    std::unique_lock lock(mutex_);
    if (!inMonitor_ || stopping_) {
        return;
    }
    if (board.readSharedWord(stateWord) != MSG_REQUEST_POSTED) {
        return;
    }
    // A new request supersedes a delayed reply that is still waiting.
    pending_.reset();

    MonitorCommand command;
    const uint32_t room = areaRoom(board);
    const uint32_t bodyRoom = room > HB_MONITOR_MESSAGE_BODY ? room - HB_MONITOR_MESSAGE_BODY : 0;
    command.messageLength = board.readSharedWord(options_.areaOffset + HB_MONITOR_MESSAGE_LENGTH);
    const uint32_t taken = std::min(command.messageLength, bodyRoom);
    command.body.resize(taken);
    if (taken != 0 && !board.readShared(options_.areaOffset + HB_MONITOR_MESSAGE_BODY,
                                        command.body.data(), taken)) {
        command.body.clear();
    }

    bool leaveMonitor = false;
    std::vector<uint8_t> reply;
    if (command.messageLength > bodyRoom || command.body.size() != command.messageLength) {
        if (command.body.size() >= 4) {
            command.length = getLe16(command.body.data());
            command.opcode = getLe16(command.body.data() + 2);
        }
        reply = errorReply(command, MonitorError::BadLength);
    } else {
        reply = execute(command, board, leaveMonitor);
    }

    if (leaveMonitor) {
        // MON_START: the VP leaves the monitor; nothing answers.
        inMonitor_ = false;
        commands_.push_back(std::move(command));
        auto handler = startHandler_;
        auto image = started_;
        lock.unlock();
        if (handler && image) {
            handler(board, *image);
        }
        return;
    }
    if (options_.neverAnswer) {
        commands_.push_back(std::move(command));
        return;
    }
    command.answered = true;
    commands_.push_back(std::move(command));
    if (options_.replyDelay.count() > 0) {
        pending_ = Reply{std::move(reply), std::chrono::steady_clock::now() + options_.replyDelay,
                         ++serial_};
        pendingBoard_ = &board;
        pendingRaise_ = options_.raiseEvent3;
        workerWake_.notify_all();
        return;
    }
    publish(board, reply, options_.raiseEvent3);
}

void Monitor::publish(Board& board, const std::vector<uint8_t>& reply, bool raiseEvent) {
    // The handshake word goes last, so the host never sees 1 before the
    // reply is complete.
    if (!reply.empty()) {
        board.writeShared(options_.areaOffset + HB_MONITOR_MESSAGE_BODY, reply.data(),
                          static_cast<uint32_t>(reply.size()));
    }
    const uint64_t claimed = reply.size() + static_cast<uint64_t>(options_.replyLengthExcess);
    board.writeSharedWord(options_.areaOffset + HB_MONITOR_MESSAGE_LENGTH,
                          static_cast<uint32_t>(std::min<uint64_t>(claimed, UINT32_MAX)));
    board.writeSharedWord(options_.areaOffset + HB_MONITOR_MESSAGE_STATE, MSG_REPLY_READY);
    if (raiseEvent) {
        board.raiseEvent(HB_EVENT_MONITOR_REPLY);
    }
}

void Monitor::workerLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!pending_) {
            workerWake_.wait(lock);
            continue;
        }
        const uint64_t serial = pending_->serial;
        const auto due = pending_->due;
        if (std::chrono::steady_clock::now() < due) {
            workerWake_.wait_until(lock, due);
            continue;
        }
        if (pending_ && pending_->serial == serial && pendingBoard_ != nullptr) {
            Reply reply = std::move(*pending_);
            pending_.reset();
            publish(*pendingBoard_, reply.body, pendingRaise_);
        }
    }
}

std::vector<uint8_t> Monitor::errorReply(MonitorCommand& command, MonitorError error) const {
    command.error = error;
    std::vector<uint8_t> reply(8);
    putLe16(reply.data(), 8);
    putLe16(reply.data() + 2, kMonitorErrorOpcode);
    putLe16(reply.data() + 4, command.opcode);
    putLe16(reply.data() + 6, static_cast<uint16_t>(error));
    return reply;
}

std::vector<uint8_t> Monitor::execute(MonitorCommand& command, Board& board, bool& leaveMonitor) {
    const std::vector<uint8_t>& m = command.body;
    if (m.size() < 4) {
        return errorReply(command, MonitorError::BadLength);
    }
    command.length = getLe16(m.data());
    command.opcode = getLe16(m.data() + 2);
    if (command.length != m.size()) {
        return errorReply(command, MonitorError::BadLength);
    }
    switch (command.opcode) {
    case kGetContext:
        return contextReply(command);
    case kSetContext:
        return takeContext(command);
    case kWriteMemory:
        return writeImageBytes(command);
    case kGetDescriptor:
        return descriptorReply(command, board);
    case kStart:
        return startImage(command, leaveMonitor);
    case kPrepare:
        return prepareForImage(command);
    case kSetVariable:
        return setVariable(command);
    default:
        return errorReply(command, MonitorError::UnknownOpcode);
    }
}

std::vector<uint8_t> Monitor::contextReply(MonitorCommand& command) const {
    if (command.body.size() != 4) {
        return errorReply(command, MonitorError::BadLength);
    }
    std::vector<uint8_t> reply(context::kMessageSize);
    const uint32_t replyLength =
        std::clamp<uint32_t>(options_.contextReplyLength, 4, context::kMessageSize);
    putLe16(reply.data() + 2, kGetContext);
    std::memcpy(reply.data() + 4, context_.data(), context_.size());
    reply.resize(replyLength);
    putLe16(reply.data(), static_cast<uint16_t>(replyLength));
    return reply;
}

std::vector<uint8_t> Monitor::takeContext(MonitorCommand& command) {
    if (command.body.size() != context::kMessageSize) {
        return errorReply(command, MonitorError::BadLength);
    }
    std::memcpy(context_.data(), command.body.data() + 4, context_.size());
    return headerOnly(kSetContext);
}

// Bytes of the image to VP memory, at an address within a segment of the
// descriptor table.
std::vector<uint8_t> Monitor::writeImageBytes(MonitorCommand& command) {
    const std::vector<uint8_t>& m = command.body;
    if (m.size() < HB_MON_WRITE_HEADER_SIZE) {
        return errorReply(command, MonitorError::BadLength);
    }
    const uint32_t address = getLe32(m.data() + 4);
    const uint16_t selector = getLe16(m.data() + 8);
    const uint32_t count = getLe32(m.data() + 10);
    if (static_cast<uint64_t>(count) + HB_MON_WRITE_HEADER_SIZE != m.size()) {
        return errorReply(command, MonitorError::BadLength);
    }
    const size_t slot = selector / 8;
    if ((selector & 7) != 0 || slot == 0 || slot >= gdt_.size() || gdt_[slot] == 0) {
        return errorReply(command, MonitorError::BadSelector);
    }
    const uint64_t limit = descriptors::limitBytes(gdt_[slot]);
    const uint64_t linear = static_cast<uint64_t>(descriptors::base(gdt_[slot])) + address;
    if ((count != 0 && static_cast<uint64_t>(address) + count - 1 > limit) ||
        linear + count > memory_.size()) {
        return errorReply(command, MonitorError::OutsideMemory);
    }
    if (count != 0) {
        std::memcpy(memory_.data() + linear, m.data() + HB_MON_WRITE_HEADER_SIZE, count);
    }
    return headerOnly(kWriteMemory);
}

// A run of descriptor-table entries, as many as the area has room for.
std::vector<uint8_t> Monitor::descriptorReply(MonitorCommand& command, const Board& board) const {
    const std::vector<uint8_t>& m = command.body;
    if (m.size() != 10) {
        return errorReply(command, MonitorError::BadLength);
    }
    const uint16_t selector = getLe16(m.data() + 4);
    const uint32_t count = getLe32(m.data() + 6);
    const size_t first = selector / 8;
    const uint32_t room = areaRoom(board);
    const uint64_t replySize = 4 + static_cast<uint64_t>(count) * 8;
    if ((selector & 7) != 0 || count == 0 || first + count > gdt_.size() ||
        replySize + HB_MONITOR_MESSAGE_BODY > room) {
        return errorReply(command, MonitorError::BadSelector);
    }
    std::vector<uint8_t> reply(static_cast<size_t>(replySize));
    putLe16(reply.data(), static_cast<uint16_t>(replySize));
    putLe16(reply.data() + 2, kGetDescriptor);
    for (uint32_t i = 0; i < count; ++i) {
        putLe64(reply.data() + 4 + 8 * i, gdt_[first + i]);
    }
    return reply;
}

// Leaves the monitor for the image the context in force describes; no reply.
std::vector<uint8_t> Monitor::startImage(MonitorCommand& command, bool& leaveMonitor) {
    if (command.body.size() != 4) {
        return errorReply(command, MonitorError::BadLength);
    }
    StartedImage image;
    image.context = context_;
    auto at = [this](uint32_t messageOffset) { return context_.data() + messageOffset - 4; };
    image.entryAddress = getLe32(at(context::kEip));
    image.stackPointer = getLe32(at(context::kEsp));
    image.flags = getLe32(at(context::kEflags));
    image.codeSelector = getLe16(at(context::kCs));
    image.dataSelector = getLe16(at(context::kDs));
    started_ = image;
    leaveMonitor = true;
    return {};
}

std::vector<uint8_t> Monitor::prepareForImage(MonitorCommand& command) {
    if (command.body.size() != 4) {
        return errorReply(command, MonitorError::BadLength);
    }
    // A fresh descriptor table for the image to come.
    writeDescriptorTableLocked();
    started_.reset();
    return headerOnly(kPrepare);
}

std::vector<uint8_t> Monitor::setVariable(MonitorCommand& command) {
    const std::vector<uint8_t>& m = command.body;
    if (m.size() != 16) {
        return errorReply(command, MonitorError::BadLength);
    }
    const uint32_t index = getLe32(m.data() + 4);
    const uint32_t size = getLe32(m.data() + 8);
    const uint32_t value = getLe32(m.data() + 12);
    if (index >= kVariableCount || size == 0 || size > 4) {
        return errorReply(command, MonitorError::BadVariable);
    }
    const uint32_t mask = size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
    variables_[index] = value & mask;
    return headerOnly(kSetVariable);
}

void Monitor::setRaiseEvent3(bool raise) {
    std::lock_guard lock(mutex_);
    options_.raiseEvent3 = raise;
}

void Monitor::setReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    options_.replyDelay = delay;
}

void Monitor::setNeverAnswer(bool never) {
    std::lock_guard lock(mutex_);
    options_.neverAnswer = never;
}

void Monitor::setStartHandler(std::function<void(Board&, const StartedImage&)> handler) {
    std::lock_guard lock(mutex_);
    startHandler_ = std::move(handler);
}

VpStart Monitor::vpStart() {
    std::lock_guard lock(mutex_);
    VpStart start;
    start.memory = memory_.data();
    start.memorySize = static_cast<uint32_t>(memory_.size());
    for (size_t slot = 1; slot < gdt_.size(); ++slot) {
        if (gdt_[slot] == 0) {
            continue;
        }
        VpSegment segment;
        segment.selector = static_cast<uint16_t>(slot * 8);
        segment.base = descriptors::base(gdt_[slot]);
        segment.limit = descriptors::limitBytes(gdt_[slot]);
        segment.code = ((gdt_[slot] >> 43) & 1) != 0; // executable bit of the access byte
        start.segments.push_back(segment);
    }
    std::array<uint8_t, context::kMessageSize> message{};
    putLe16(message.data(), context::kMessageSize);
    putLe16(message.data() + 2, kSetContext);
    std::memcpy(message.data() + 4, context_.data(), context_.size());
    if (auto registers = VpRegisters::fromContextMessage(message.data(), message.size())) {
        start.registers = *registers;
    }
    return start;
}

uint32_t Monitor::memorySize() const {
    return static_cast<uint32_t>(memory_.size());
}

std::vector<uint8_t> Monitor::readMemory(uint32_t address, uint32_t length) const {
    std::lock_guard lock(mutex_);
    if (static_cast<uint64_t>(address) + length > memory_.size()) {
        return {};
    }
    return {memory_.begin() + address, memory_.begin() + address + length};
}

std::array<uint8_t, context::kSize> Monitor::context() const {
    std::lock_guard lock(mutex_);
    return context_;
}

uint32_t Monitor::contextWord(uint32_t messageOffset) const {
    std::lock_guard lock(mutex_);
    if (messageOffset < 4 || messageOffset + 4 > context::kMessageSize) {
        return 0;
    }
    return getLe32(context_.data() + messageOffset - 4);
}

uint16_t Monitor::contextHalf(uint32_t messageOffset) const {
    std::lock_guard lock(mutex_);
    if (messageOffset < 4 || messageOffset + 2 > context::kMessageSize) {
        return 0;
    }
    return getLe16(context_.data() + messageOffset - 4);
}

std::optional<uint32_t> Monitor::variable(uint32_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= kVariableCount) {
        return std::nullopt;
    }
    return variables_[index];
}

uint64_t Monitor::descriptor(uint16_t selector) const {
    std::lock_guard lock(mutex_);
    const size_t slot = selector / 8;
    return slot < gdt_.size() ? gdt_[slot] : 0;
}

std::vector<MonitorCommand> Monitor::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void Monitor::clearCommands() {
    std::lock_guard lock(mutex_);
    commands_.clear();
}

std::optional<StartedImage> Monitor::startedImage() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool Monitor::requestWaiting(const Board& board) const {
    std::lock_guard lock(mutex_);
    return inMonitor_ && !stopping_ && !options_.neverAnswer && !pending_ &&
           board.readSharedWord(options_.areaOffset + HB_MONITOR_MESSAGE_STATE) ==
               MSG_REQUEST_POSTED;
}

bool Monitor::inMonitor() const {
    std::lock_guard lock(mutex_);
    return inMonitor_;
}

uint32_t Monitor::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

} // namespace hb::vboard
