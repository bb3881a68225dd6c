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
    for (const auto& [offset, text] : texts)
        std::copy_n(text.begin(), std::min<size_t>(text.size(), HB_FILEIO_PATH_SIZE),
                    bytes.begin() + offset);
    for (const auto& [offset, value] : words)
        hb::putLe32(bytes.data() + offset, static_cast<uint32_t>(value));
    return bytes;
}

bool ScriptedVp::post(const void* block, uint32_t length) {
    answered_ = false;
    // The body first and the code word last, as the VP runtime posts: a host
    // that looks at the block meanwhile never sees a new code over old words.
    const uint32_t at = blockOffset();
    const auto* bytes = static_cast<const uint8_t*>(block);
    const uint32_t code = std::min<uint32_t>(length, 4);
    if ((length > code && !board_.writeShared(at + code, bytes + code, length - code)) ||
        !board_.writeShared(at, bytes, code))
        return false;
    return answered_ = board_.ring(at, timeout_);
}

ScriptedVp::Result ScriptedVp::ask(uint32_t code, Words words, Texts texts) {
    const std::vector<uint8_t> bytes = block(code, words, texts);
    post(bytes.data(), std::min(kBlockSize, blockSize()));
    return {static_cast<int32_t>(word(HB_FILEIO_ARGUMENT)), word(HB_FILEIO_SECOND)};
}

std::vector<uint8_t> ScriptedVp::readBlock(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> bytes(length);
    board_.readShared(blockOffset() + offset, bytes.data(), length);
    return bytes;
}

uint32_t ScriptedVp::word(uint32_t offset) const {
    return hb::getLe32(readBlock(offset, 4).data());
}

ScriptedVp::ReadResult ScriptedVp::read(int32_t descriptor, int32_t count) {
    ReadResult result;
    static_cast<Result&>(result) =
        ask(FileIoRequest_Read, {{HB_FILEIO_ARGUMENT, descriptor}, {HB_FILEIO_SECOND, count}});
    if (result.value > 0)
        result.data = readBlock(HB_FILEIO_READ_WRITE_DATA, static_cast<uint32_t>(result.value));
    return result;
}

ScriptedVp::Result ScriptedVp::write(int32_t descriptor, const void* data, int32_t count) {
    const FileIoLayout where = layout();
    std::vector<uint8_t> bytes =
        block(FileIoRequest_Write, {{HB_FILEIO_ARGUMENT, descriptor}, {HB_FILEIO_SECOND, count}});
    if (count > 0) {
        const uint32_t room =
            where.size > HB_FILEIO_READ_WRITE_DATA ? where.size - HB_FILEIO_READ_WRITE_DATA : 0;
        board_.writeShared(where.offset + HB_FILEIO_READ_WRITE_DATA, data,
                           std::min(static_cast<uint32_t>(count), room));
        bytes.resize(HB_FILEIO_READ_WRITE_DATA); // the data written above stays as it is
    }
    post(bytes.data(), std::min(static_cast<uint32_t>(bytes.size()), where.size));
    return {static_cast<int32_t>(word(HB_FILEIO_ARGUMENT)), word(HB_FILEIO_SECOND)};
}

std::string ScriptedVp::commandLine() {
    ask(FileIoRequest_CommandLine);
    const auto bytes = readBlock(HB_FILEIO_COMMAND_LINE, HB_FILEIO_COMMAND_LINE_SIZE);
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
}

ScriptedVp::FindResult ScriptedVp::find(uint32_t code, Words words, Texts texts) {
    ask(code, words, texts);
    const auto bytes = readBlock(HB_FILEIO_FIND_RECORD, HB_FILEIO_FIND_RECORD_SIZE);
    const auto at = [&](uint32_t offset) { return hb::getLe32(bytes.data() + offset); };
    const auto end = std::find(bytes.begin(), bytes.begin() + HB_FIND_RECORD_NAME_SIZE, uint8_t{0});
    return {std::string(bytes.begin(), end), at(HB_FIND_RECORD_ATTRIBUTES),
            at(HB_FIND_RECORD_DOS_TIME),     at(HB_FIND_RECORD_DOS_DATE),
            at(HB_FIND_RECORD_SIZE_LOW),     at(HB_FIND_RECORD_HANDLE_OR_ERROR)};
}

std::vector<uint8_t> ScriptedVp::environment(uint32_t maximum, uint32_t* count) {
    const auto n = static_cast<uint32_t>(
        ask(FileIoRequest_Environment, {{HB_FILEIO_ARGUMENT, maximum}}).value);
    if (count != nullptr)
        *count = n;
    const uint32_t size = blockSize();
    const uint32_t room = size > HB_FILEIO_ENVIRONMENT_DATA ? size - HB_FILEIO_ENVIRONMENT_DATA : 0;
    return readBlock(HB_FILEIO_ENVIRONMENT_DATA, std::min(n, room));
}

void ScriptedVp::useCustomerMemory(uint32_t flag) {
    // The marker stands at the old place; the next request goes to the new one.
    ask(FileIoRequest_UseCustomerMemory, {{HB_FILEIO_ARGUMENT, flag}});
    if (answered_)
        useCustomerMemory_ = flag != 0;
}

} // namespace hbtest
