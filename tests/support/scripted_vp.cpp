// The scripted VP's requests and the decoding of their answers, offsets and
// codes from file_io_block.h.
#include "support/scripted_vp.h"

#include "driver_requests.h"
#include "little_endian.h"
#include "shared_memory_layout.h"

#include <algorithm>
#include <cstring>

namespace hbtest {

FileIoLayout fileIoLayout(uint32_t boardType, uint32_t busWidth, bool useCustomerMemory) {
    const HbRegionCell cell =
        hbFileIoBlockCell(hbLayoutOfBoardType(boardType, busWidth), useCustomerMemory);
    return {cell.offset, cell.size};
}

void ScriptedVp::Block::word(uint32_t offset, uint32_t value) {
    hb::putLe32(bytes.data() + offset, value);
}

void ScriptedVp::Block::text(uint32_t offset, const std::string& value) {
    const size_t length = std::min<size_t>(value.size(), HB_FILEIO_PATH_SIZE);
    std::memcpy(bytes.data() + offset, value.data(), length);
    if (length < HB_FILEIO_PATH_SIZE) {
        bytes[offset + length] = 0;
    }
}

ScriptedVp::Block ScriptedVp::request(uint32_t code) {
    Block block;
    block.word(HB_FILEIO_CODE, code);
    return block;
}

bool ScriptedVp::post(const void* block, uint32_t length) {
    answered_ = false;
    const uint32_t at = blockOffset();
    if (!board_.writeShared(at, block, length)) {
        return false;
    }
    answered_ = board_.ring(at, timeout_);
    return answered_;
}

bool ScriptedVp::send(const Block& block) {
    return post(block.bytes.data(), std::min(kBlockSize, blockSize()));
}

std::vector<uint8_t> ScriptedVp::readBlock(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> bytes(length);
    board_.readShared(blockOffset() + offset, bytes.data(), length);
    return bytes;
}

uint32_t ScriptedVp::word(uint32_t offset) const {
    return hb::getLe32(readBlock(offset, 4).data());
}

ScriptedVp::Result ScriptedVp::wordPair() const {
    return {static_cast<int32_t>(word(HB_FILEIO_ARGUMENT)), word(HB_FILEIO_SECOND)};
}

ScriptedVp::Result ScriptedVp::open(const std::string& path, uint32_t flags) {
    Block block = request(FileIoRequest_Open);
    block.text(HB_FILEIO_PATH, path);
    block.word(HB_FILEIO_OPEN_FLAGS, flags);
    send(block);
    return wordPair();
}

ScriptedVp::Result ScriptedVp::open2(const std::string& path, uint32_t flags) {
    Block block = request(FileIoRequest_Open2);
    block.text(HB_FILEIO_PATH, path);
    block.word(HB_FILEIO_OPEN2_FLAGS, flags);
    send(block);
    return wordPair();
}

ScriptedVp::ReadResult ScriptedVp::read(int32_t descriptor, int32_t count) {
    Block block = request(FileIoRequest_Read);
    block.word(HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor));
    block.word(HB_FILEIO_SECOND, static_cast<uint32_t>(count));
    send(block);
    ReadResult result;
    static_cast<Result&>(result) = wordPair();
    if (result.value > 0) {
        result.data = readBlock(HB_FILEIO_READ_WRITE_DATA, static_cast<uint32_t>(result.value));
    }
    return result;
}

ScriptedVp::Result ScriptedVp::read(int32_t descriptor, int32_t count, std::string* data) {
    const ReadResult result = read(descriptor, count);
    if (data != nullptr) {
        data->assign(result.data.begin(), result.data.end());
    }
    return result;
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, const void* data, int32_t count) {
    const FileIoLayout where = layout();
    Block block = request(FileIoRequest_Write);
    block.word(HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor));
    block.word(HB_FILEIO_SECOND, static_cast<uint32_t>(count));
    if (count > 0) {
        const uint32_t room =
            where.size > HB_FILEIO_READ_WRITE_DATA ? where.size - HB_FILEIO_READ_WRITE_DATA : 0;
        const uint32_t length = std::min(static_cast<uint32_t>(count), room);
        board_.writeShared(where.offset + HB_FILEIO_READ_WRITE_DATA, data, length);
        block.bytes.resize(HB_FILEIO_READ_WRITE_DATA); // the data written above stays as it is
    }
    post(block.bytes.data(), std::min(static_cast<uint32_t>(block.bytes.size()), where.size));
    return wordPair();
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, const std::string& text) {
    return write(descriptor, text.data(), static_cast<int32_t>(text.size()));
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, int32_t count) {
    Block block = request(FileIoRequest_Write);
    block.word(HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor));
    block.word(HB_FILEIO_SECOND, static_cast<uint32_t>(count));
    send(block);
    return wordPair();
}

int32_t ScriptedVp::close(int32_t descriptor) {
    Block block = request(FileIoRequest_Close);
    block.word(HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor));
    send(block);
    return static_cast<int32_t>(word(HB_FILEIO_ARGUMENT));
}

ScriptedVp::Result ScriptedVp::seek(int32_t descriptor, int32_t offset, int32_t origin) {
    Block block = request(FileIoRequest_Seek);
    block.word(HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor));
    block.word(HB_FILEIO_SECOND, static_cast<uint32_t>(offset));
    block.word(HB_FILEIO_THIRD, static_cast<uint32_t>(origin));
    send(block);
    return wordPair();
}

uint32_t ScriptedVp::remove(const std::string& path) {
    Block block = request(FileIoRequest_Delete);
    block.text(HB_FILEIO_PATH, path);
    send(block);
    return word(HB_FILEIO_ARGUMENT);
}

std::string ScriptedVp::commandLine() {
    send(request(FileIoRequest_CommandLine));
    const auto bytes = readBlock(HB_FILEIO_COMMAND_LINE, HB_FILEIO_COMMAND_LINE_SIZE);
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

void ScriptedVp::exit(uint32_t status) {
    Block block = request(FileIoRequest_Exit);
    block.word(HB_FILEIO_ARGUMENT, status);
    send(block);
}

ScriptedVp::FindResult ScriptedVp::findRecord() const {
    const auto bytes = readBlock(HB_FILEIO_FIND_RECORD, HB_FILEIO_FIND_RECORD_SIZE);
    FindResult result;
    const auto end = std::find(bytes.begin(), bytes.begin() + HB_FIND_RECORD_NAME_SIZE, uint8_t{0});
    result.name.assign(bytes.begin(), end);
    result.attributes = hb::getLe32(bytes.data() + HB_FIND_RECORD_ATTRIBUTES);
    result.dosTime = hb::getLe32(bytes.data() + HB_FIND_RECORD_DOS_TIME);
    result.dosDate = hb::getLe32(bytes.data() + HB_FIND_RECORD_DOS_DATE);
    result.sizeLow = hb::getLe32(bytes.data() + HB_FIND_RECORD_SIZE_LOW);
    result.handleOrError = hb::getLe32(bytes.data() + HB_FIND_RECORD_HANDLE_OR_ERROR);
    return result;
}

ScriptedVp::FindResult ScriptedVp::findFirst(const std::string& pattern) {
    Block block = request(FileIoRequest_FindFirst);
    block.text(HB_FILEIO_PATH, pattern);
    send(block);
    return findRecord();
}

ScriptedVp::FindResult ScriptedVp::findNext(uint32_t search) {
    Block block = request(FileIoRequest_FindNext);
    block.word(HB_FILEIO_ARGUMENT, search);
    send(block);
    return findRecord();
}

void ScriptedVp::findClose(uint32_t search) {
    Block block = request(FileIoRequest_FindClose);
    block.word(HB_FILEIO_ARGUMENT, search);
    send(block);
}

ScriptedVp::Result ScriptedVp::attributes(const std::string& path) {
    Block block = request(FileIoRequest_Attributes);
    block.text(HB_FILEIO_PATH, path);
    send(block);
    // The error word comes first in this answer.
    return {static_cast<int32_t>(word(HB_FILEIO_SECOND)), word(HB_FILEIO_ARGUMENT)};
}

uint32_t ScriptedVp::rename(const std::string& oldPath, const std::string& newPath) {
    Block block = request(FileIoRequest_Rename);
    block.text(HB_FILEIO_PATH, oldPath);
    block.text(HB_FILEIO_SECOND_PATH, newPath);
    send(block);
    return word(HB_FILEIO_ARGUMENT);
}

uint32_t ScriptedVp::environmentSize() {
    send(request(FileIoRequest_EnvironmentSize));
    return word(HB_FILEIO_ARGUMENT);
}

std::vector<uint8_t> ScriptedVp::environment(uint32_t maximum, uint32_t* count) {
    Block block = request(FileIoRequest_Environment);
    block.word(HB_FILEIO_ARGUMENT, maximum);
    send(block);
    const uint32_t n = word(HB_FILEIO_ARGUMENT);
    if (count != nullptr) {
        *count = n;
    }
    const uint32_t size = blockSize();
    const uint32_t room = size > HB_FILEIO_ENVIRONMENT_DATA ? size - HB_FILEIO_ENVIRONMENT_DATA : 0;
    return readBlock(HB_FILEIO_ENVIRONMENT_DATA, std::min(n, room));
}

std::string ScriptedVp::environmentText(uint32_t maximum, uint32_t* count) {
    const auto bytes = environment(maximum, count);
    return std::string(bytes.begin(), bytes.end());
}

void ScriptedVp::useCustomerMemory(uint32_t flag) {
    Block block = request(FileIoRequest_UseCustomerMemory);
    block.word(HB_FILEIO_ARGUMENT, flag);
    // The marker stands at the old place; the next request goes to the new one.
    if (send(block)) {
        useCustomerMemory_ = flag != 0;
    }
}

} // namespace hbtest
