#include "vboard/request_agent.h"

#include "driver_requests.h"
#include "file_io_block.h"
#include "little_endian.h"
#include "shared_memory_layout.h"

#include <algorithm>
#include <cstring>

namespace hb::vboard {

FileIoLayout fileIoLayout(const BoardConfig& config, bool useCustomerMemory) {
    const HbRegionCell cell = hbFileIoBlockCell(
        hbLayoutOfBoardType(config.boardType, config.busWidth), useCustomerMemory);
    return {cell.offset, cell.size};
}

RequestAgent::RequestAgent(Board& board, bool useCustomerMemory, std::chrono::milliseconds timeout)
    : board_(board), useCustomerMemory_(useCustomerMemory), timeout_(timeout) {}

void RequestAgent::Block::word(uint32_t offset, uint32_t value) {
    putLe32(bytes.data() + offset, value);
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
    if (!board_.raiseEvent(HB_EVENT_FILEIO_REQUEST))
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
    return getLe32(bytes.data());
}

RequestAgent::Result RequestAgent::wordPair() const {
    return {static_cast<int32_t>(word(4)), word(8)};
}

RequestAgent::Result RequestAgent::open(const std::string& path, uint32_t flags) {
    Block block = request(FileIoRequest_Open);
    block.text(4, path);
    block.word(HB_FILEIO_OPEN_FLAGS, flags);
    send(block);
    return wordPair();
}

RequestAgent::Result RequestAgent::open2(const std::string& path, uint32_t flags) {
    Block block = request(FileIoRequest_Open2);
    block.text(4, path);
    block.word(HB_FILEIO_OPEN2_FLAGS, flags);
    send(block);
    return wordPair();
}

RequestAgent::ReadResult RequestAgent::read(int32_t descriptor, int32_t count) {
    Block block = request(FileIoRequest_Read);
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
    Block block = request(FileIoRequest_Write);
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
    Block block = request(FileIoRequest_Close);
    block.word(4, static_cast<uint32_t>(descriptor));
    send(block);
    return static_cast<int32_t>(word(4));
}

RequestAgent::Result RequestAgent::seek(int32_t descriptor, int32_t offset, int32_t origin) {
    Block block = request(FileIoRequest_Seek);
    block.word(4, static_cast<uint32_t>(descriptor));
    block.word(8, static_cast<uint32_t>(offset));
    block.word(12, static_cast<uint32_t>(origin));
    send(block);
    return wordPair();
}

uint32_t RequestAgent::remove(const std::string& path) {
    Block block = request(FileIoRequest_Delete);
    block.text(4, path);
    send(block);
    return word(4);
}

std::string RequestAgent::commandLine() {
    send(request(FileIoRequest_CommandLine));
    const auto bytes = readBlock(HB_FILEIO_COMMAND_LINE, HB_FILEIO_COMMAND_LINE_SIZE);
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

void RequestAgent::exit(uint32_t status) {
    Block block = request(FileIoRequest_Exit);
    block.word(4, status);
    send(block);
}

RequestAgent::FindResult RequestAgent::findRecord() const {
    const auto bytes = readBlock(HB_FILEIO_FIND_RECORD, HB_FILEIO_FIND_RECORD_SIZE);
    FindResult result;
    const auto end = std::find(bytes.begin(), bytes.begin() + HB_FIND_RECORD_NAME_SIZE, uint8_t{0});
    result.name.assign(bytes.begin(), end);
    result.attributes = getLe32(bytes.data() + HB_FIND_RECORD_ATTRIBUTES);
    result.dosTime = getLe32(bytes.data() + HB_FIND_RECORD_DOS_TIME);
    result.dosDate = getLe32(bytes.data() + HB_FIND_RECORD_DOS_DATE);
    result.sizeLow = getLe32(bytes.data() + HB_FIND_RECORD_SIZE_LOW);
    result.handleOrError = getLe32(bytes.data() + HB_FIND_RECORD_HANDLE_OR_ERROR);
    return result;
}

RequestAgent::FindResult RequestAgent::findFirst(const std::string& pattern) {
    Block block = request(FileIoRequest_FindFirst);
    block.text(4, pattern);
    send(block);
    return findRecord();
}

RequestAgent::FindResult RequestAgent::findNext(uint32_t search) {
    Block block = request(FileIoRequest_FindNext);
    block.word(4, search);
    send(block);
    return findRecord();
}

void RequestAgent::findClose(uint32_t search) {
    Block block = request(FileIoRequest_FindClose);
    block.word(4, search);
    send(block);
}

RequestAgent::Result RequestAgent::attributes(const std::string& path) {
    Block block = request(FileIoRequest_Attributes);
    block.text(4, path);
    send(block);
    return {static_cast<int32_t>(word(8)), word(4)};
}

uint32_t RequestAgent::rename(const std::string& oldPath, const std::string& newPath) {
    Block block = request(FileIoRequest_Rename);
    block.text(4, oldPath);
    block.text(HB_FILEIO_SECOND_PATH, newPath);
    send(block);
    return word(4);
}

uint32_t RequestAgent::environmentSize() {
    send(request(FileIoRequest_EnvironmentSize));
    return word(4);
}

std::vector<uint8_t> RequestAgent::environment(uint32_t maximum, uint32_t* count) {
    Block block = request(FileIoRequest_Environment);
    block.word(4, maximum);
    send(block);
    const uint32_t n = word(4);
    if (count != nullptr)
        *count = n;
    return n > 0 ? readBlock(8, n) : std::vector<uint8_t>{};
}

void RequestAgent::useCustomerMemory(uint32_t flag) {
    Block block = request(FileIoRequest_UseCustomerMemory);
    block.word(4, flag);
    send(block);
    // The marker stands at the old place; the next request goes to the new one.
    useCustomerMemory_ = flag != 0;
}

} // namespace hb::vboard
