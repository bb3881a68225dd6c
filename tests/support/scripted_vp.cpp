// The scripted VP's requests and the decoding of their answers, offsets and
// codes from file_io_block.h.
#include "support/scripted_vp.h"

#include "little_endian.h"
#include "shared_memory_layout.h"

#include <algorithm>

namespace hbtest {

FileIoLayout fileIoLayout(uint32_t boardType, uint32_t busWidth, bool useCustomerMemory) {
    const HbRegionCell cell =
        hbFileIoBlockCell(hbLayoutOfBoardType(boardType, busWidth), useCustomerMemory);
    return {cell.offset, cell.size};
}

std::vector<uint8_t> ScriptedVp::block(uint32_t code, Words words, Texts texts) {
    std::vector<uint8_t> bytes(kBlockSize, 0);
    hb::putLe32(bytes.data() + HB_FILEIO_CODE, code);
    for (const auto& [offset, text] : texts) {
        std::copy_n(text.begin(), std::min<size_t>(text.size(), HB_FILEIO_PATH_SIZE),
                    bytes.begin() + offset);
    }
    for (const auto& [offset, value] : words) {
        hb::putLe32(bytes.data() + offset, value);
    }
    return bytes;
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

bool ScriptedVp::send(uint32_t code, Words words, Texts texts) {
    const std::vector<uint8_t> bytes = block(code, words, texts);
    return post(bytes.data(), std::min(kBlockSize, blockSize()));
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
    send(FileIoRequest_Open, {{HB_FILEIO_OPEN_FLAGS, flags}}, {{HB_FILEIO_PATH, path}});
    return wordPair();
}

ScriptedVp::Result ScriptedVp::open2(const std::string& path, uint32_t flags) {
    send(FileIoRequest_Open2, {{HB_FILEIO_OPEN2_FLAGS, flags}}, {{HB_FILEIO_PATH, path}});
    return wordPair();
}

ScriptedVp::ReadResult ScriptedVp::read(int32_t descriptor, int32_t count) {
    send(FileIoRequest_Read, {{HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor)},
                              {HB_FILEIO_SECOND, static_cast<uint32_t>(count)}});
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
    std::vector<uint8_t> bytes =
        block(FileIoRequest_Write, {{HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor)},
                                    {HB_FILEIO_SECOND, static_cast<uint32_t>(count)}});
    if (count > 0) {
        const uint32_t room =
            where.size > HB_FILEIO_READ_WRITE_DATA ? where.size - HB_FILEIO_READ_WRITE_DATA : 0;
        board_.writeShared(where.offset + HB_FILEIO_READ_WRITE_DATA, data,
                           std::min(static_cast<uint32_t>(count), room));
        bytes.resize(HB_FILEIO_READ_WRITE_DATA); // the data written above stays as it is
    }
    post(bytes.data(), std::min(static_cast<uint32_t>(bytes.size()), where.size));
    return wordPair();
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, const std::string& text) {
    return write(descriptor, text.data(), static_cast<int32_t>(text.size()));
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, int32_t count) {
    send(FileIoRequest_Write, {{HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor)},
                               {HB_FILEIO_SECOND, static_cast<uint32_t>(count)}});
    return wordPair();
}

int32_t ScriptedVp::close(int32_t descriptor) {
    send(FileIoRequest_Close, {{HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor)}});
    return static_cast<int32_t>(word(HB_FILEIO_ARGUMENT));
}

ScriptedVp::Result ScriptedVp::seek(int32_t descriptor, int32_t offset, int32_t origin) {
    send(FileIoRequest_Seek, {{HB_FILEIO_ARGUMENT, static_cast<uint32_t>(descriptor)},
                              {HB_FILEIO_SECOND, static_cast<uint32_t>(offset)},
                              {HB_FILEIO_THIRD, static_cast<uint32_t>(origin)}});
    return wordPair();
}

uint32_t ScriptedVp::remove(const std::string& path) {
    send(FileIoRequest_Delete, {}, {{HB_FILEIO_PATH, path}});
    return word(HB_FILEIO_ARGUMENT);
}

std::string ScriptedVp::commandLine() {
    send(FileIoRequest_CommandLine);
    const auto bytes = readBlock(HB_FILEIO_COMMAND_LINE, HB_FILEIO_COMMAND_LINE_SIZE);
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
}

void ScriptedVp::exit(uint32_t status) {
    send(FileIoRequest_Exit, {{HB_FILEIO_ARGUMENT, status}});
}

ScriptedVp::FindResult ScriptedVp::findRecord() const {
    const auto bytes = readBlock(HB_FILEIO_FIND_RECORD, HB_FILEIO_FIND_RECORD_SIZE);
    const auto at = [&](uint32_t offset) { return hb::getLe32(bytes.data() + offset); };
    const auto end = std::find(bytes.begin(), bytes.begin() + HB_FIND_RECORD_NAME_SIZE, uint8_t{0});
    return {std::string(bytes.begin(), end), at(HB_FIND_RECORD_ATTRIBUTES),
            at(HB_FIND_RECORD_DOS_TIME),     at(HB_FIND_RECORD_DOS_DATE),
            at(HB_FIND_RECORD_SIZE_LOW),     at(HB_FIND_RECORD_HANDLE_OR_ERROR)};
}

ScriptedVp::FindResult ScriptedVp::findFirst(const std::string& pattern) {
    send(FileIoRequest_FindFirst, {}, {{HB_FILEIO_PATH, pattern}});
    return findRecord();
}

ScriptedVp::FindResult ScriptedVp::findNext(uint32_t search) {
    send(FileIoRequest_FindNext, {{HB_FILEIO_ARGUMENT, search}});
    return findRecord();
}

void ScriptedVp::findClose(uint32_t search) {
    send(FileIoRequest_FindClose, {{HB_FILEIO_ARGUMENT, search}});
}

ScriptedVp::Result ScriptedVp::attributes(const std::string& path) {
    send(FileIoRequest_Attributes, {}, {{HB_FILEIO_PATH, path}});
    // The error word comes first in this answer.
    return {static_cast<int32_t>(word(HB_FILEIO_SECOND)), word(HB_FILEIO_ARGUMENT)};
}

uint32_t ScriptedVp::rename(const std::string& oldPath, const std::string& newPath) {
    send(FileIoRequest_Rename, {}, {{HB_FILEIO_PATH, oldPath}, {HB_FILEIO_SECOND_PATH, newPath}});
    return word(HB_FILEIO_ARGUMENT);
}

uint32_t ScriptedVp::environmentSize() {
    send(FileIoRequest_EnvironmentSize);
    return word(HB_FILEIO_ARGUMENT);
}

std::vector<uint8_t> ScriptedVp::environment(uint32_t maximum, uint32_t* count) {
    send(FileIoRequest_Environment, {{HB_FILEIO_ARGUMENT, maximum}});
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
    // The marker stands at the old place; the next request goes to the new one.
    if (send(FileIoRequest_UseCustomerMemory, {{HB_FILEIO_ARGUMENT, flag}})) {
        useCustomerMemory_ = flag != 0;
    }
}

} // namespace hbtest
