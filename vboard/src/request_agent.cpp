#include "vboard/request_agent.h"

#include <algorithm>
#include <cstring>

namespace hb::vboard {

namespace {

constexpr uint32_t kFileIoEvent = 6;

enum Code : uint32_t {
    Open = 7,
    Read = 8,
    Write = 9,
    Close = 10,
    Seek = 11,
    Open2 = 12,
    Delete = 13,
    CommandLine = 15,
    Exit = 16,
    FindFirst = 17,
    FindNext = 18,
    FindClose = 19,
    Attributes = 20,
    Rename = 21,
    EnvironmentSize = 22,
    Environment = 23,
    UseCustomerMemory = 24,
};

// Bus type and width as the library derives them from the hardware information.
struct Bus {
    int type = 0;
    uint32_t width = 0;
};

Bus busOf(const BoardConfig& config) {
    switch (config.boardType) {
    case 27:
        return {1, config.busWidth};
    case 22:
    case 26:
        return {2, 4};
    case 23:
    case 25:
        return {3, 4};
    default:
        return {};
    }
}

} // namespace

FileIoLayout fileIoLayout(const BoardConfig& config, bool useCustomerMemory) {
    const Bus bus = busOf(config);
    if (bus.type == 1 && bus.width == 1)
        return useCustomerMemory ? FileIoLayout{0x0, 0x400} : FileIoLayout{0x500, 0x140};
    if (bus.type == 1 && (bus.width == 2 || bus.width == 3))
        return useCustomerMemory ? FileIoLayout{0x0, 0x1000} : FileIoLayout{0x1100, 0x400};
    if ((bus.type == 2 || bus.type == 3) && bus.width == 4)
        return useCustomerMemory ? FileIoLayout{0x400, 0x4000} : FileIoLayout{0x4500, 0x4000};
    return {};
}

RequestAgent::RequestAgent(Board& board, bool useCustomerMemory, std::chrono::milliseconds timeout)
    : board_(board), useCustomerMemory_(useCustomerMemory), timeout_(timeout) {}

void RequestAgent::Block::word(uint32_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void RequestAgent::Block::text(uint32_t offset, const std::string& value, uint32_t field) {
    const size_t length = std::min<size_t>(value.size(), field);
    std::memcpy(bytes.data() + offset, value.data(), length);
    if (length < field)
        bytes[offset + length] = 0;
}

RequestAgent::Block RequestAgent::request(uint32_t code) const {
    Block block;
    block.word(0, code);
    return block;
}

bool RequestAgent::post(const void* block, uint32_t length) {
    answered_ = false;
    const FileIoLayout where = layout();
    if (!board_.writeShared(where.offset, block, length))
        return false;
    if (!board_.raiseEvent(kFileIoEvent))
        return false;
    answered_ = board_.waitForSharedWord(where.offset, kMarker, timeout_);
    return answered_;
}

std::vector<uint8_t> RequestAgent::readBlock(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> bytes(length);
    board_.readShared(layout().offset + offset, bytes.data(), length);
    return bytes;
}

uint32_t RequestAgent::word(uint32_t offset) const {
    const auto bytes = readBlock(offset, 4);
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

RequestAgent::Result RequestAgent::wordPair() const {
    return {static_cast<int32_t>(word(4)), word(8)};
}

RequestAgent::Result RequestAgent::open(const std::string& path, uint32_t flags) {
    Block block = request(Open);
    block.text(4, path);
    block.word(272, flags);
    send(block);
    return wordPair();
}

RequestAgent::Result RequestAgent::open2(const std::string& path, uint32_t flags) {
    Block block = request(Open2);
    block.text(4, path);
    block.word(268, flags);
    send(block);
    return wordPair();
}

RequestAgent::ReadResult RequestAgent::read(int32_t descriptor, int32_t count) {
    Block block = request(Read);
    block.word(4, static_cast<uint32_t>(descriptor));
    block.word(8, static_cast<uint32_t>(count));
    send(block);
    ReadResult result;
    static_cast<Result&>(result) = wordPair();
    if (result.value > 0)
        result.data = readBlock(12, static_cast<uint32_t>(result.value));
    return result;
}

RequestAgent::Result RequestAgent::write(int32_t descriptor, const void* data, int32_t count) {
    const FileIoLayout where = layout();
    // The data goes behind the words, as far as the buffer reaches.
    Block block = request(Write);
    block.word(4, static_cast<uint32_t>(descriptor));
    block.word(8, static_cast<uint32_t>(count));
    if (count > 0) {
        const uint32_t room = where.size > 12 ? where.size - 12 : 0;
        const uint32_t length = std::min(static_cast<uint32_t>(count), room);
        board_.writeShared(where.offset + 12, data, length);
        block.bytes.resize(12); // the data written above stays as it is
    }
    post(block.bytes.data(), static_cast<uint32_t>(block.bytes.size()));
    return wordPair();
}

RequestAgent::Result RequestAgent::write(int32_t descriptor, const std::string& text) {
    return write(descriptor, text.data(), static_cast<int32_t>(text.size()));
}

int32_t RequestAgent::close(int32_t descriptor) {
    Block block = request(Close);
    block.word(4, static_cast<uint32_t>(descriptor));
    send(block);
    return static_cast<int32_t>(word(4));
}

RequestAgent::Result RequestAgent::seek(int32_t descriptor, int32_t offset, int32_t origin) {
    Block block = request(Seek);
    block.word(4, static_cast<uint32_t>(descriptor));
    block.word(8, static_cast<uint32_t>(offset));
    block.word(12, static_cast<uint32_t>(origin));
    send(block);
    return wordPair();
}

uint32_t RequestAgent::remove(const std::string& path) {
    Block block = request(Delete);
    block.text(4, path);
    send(block);
    return word(4);
}

std::string RequestAgent::commandLine() {
    send(request(CommandLine));
    const auto bytes = readBlock(4, 256);
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

void RequestAgent::exit(uint32_t status) {
    Block block = request(Exit);
    block.word(4, status);
    send(block);
}

RequestAgent::FindResult RequestAgent::findRecord() const {
    const auto bytes = readBlock(4, 284);
    FindResult result;
    const auto end = std::find(bytes.begin(), bytes.begin() + 264, uint8_t{0});
    result.name.assign(bytes.begin(), end);
    result.attributes = word(268);
    result.dosTime = word(272);
    result.dosDate = word(276);
    result.sizeLow = word(280);
    result.handleOrError = word(284);
    return result;
}

RequestAgent::FindResult RequestAgent::findFirst(const std::string& pattern) {
    Block block = request(FindFirst);
    block.text(4, pattern);
    send(block);
    return findRecord();
}

RequestAgent::FindResult RequestAgent::findNext(uint32_t search) {
    Block block = request(FindNext);
    block.word(4, search);
    send(block);
    return findRecord();
}

void RequestAgent::findClose(uint32_t search) {
    Block block = request(FindClose);
    block.word(4, search);
    send(block);
}

RequestAgent::Result RequestAgent::attributes(const std::string& path) {
    Block block = request(Attributes);
    block.text(4, path);
    send(block);
    return {static_cast<int32_t>(word(8)), word(4)};
}

uint32_t RequestAgent::rename(const std::string& oldPath, const std::string& newPath) {
    Block block = request(Rename);
    block.text(4, oldPath);
    block.text(265, newPath);
    send(block);
    return word(4);
}

uint32_t RequestAgent::environmentSize() {
    send(request(EnvironmentSize));
    return word(4);
}

std::vector<uint8_t> RequestAgent::environment(uint32_t maximum, uint32_t* count) {
    Block block = request(Environment);
    block.word(4, maximum);
    send(block);
    const uint32_t n = word(4);
    if (count != nullptr)
        *count = n;
    return n > 0 ? readBlock(8, n) : std::vector<uint8_t>{};
}

void RequestAgent::useCustomerMemory(uint32_t flag) {
    Block block = request(UseCustomerMemory);
    block.word(4, flag);
    send(block);
    // The marker stands at the old place; the next request goes to the new one.
    useCustomerMemory_ = flag != 0;
}

} // namespace hb::vboard
