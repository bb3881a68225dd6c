#include "support/fake_vp.h"

#include "hbsys9u.h"
#include "little_endian.h"
#include "shared_memory_layout.h"

#include <algorithm>
#include <cstring>

namespace hbtest {

namespace {

void putWord(std::vector<uint8_t>& block, uint32_t at, uint32_t value) {
    hb::putLe32(block.data() + at, value);
}

std::string textOf(const std::vector<uint8_t>& bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

void putText(std::vector<uint8_t>& block, uint32_t at, const std::string& text) {
    const size_t n = std::min<size_t>(text.size(), HB_FILEIO_PATH_SIZE - 1);
    std::memcpy(block.data() + at, text.data(), n);
    block[at + n] = 0;
}

// The file-I/O buffer of the board's layout, switch off and on.
HbRegionCell fileIoBuffer(const FakeBoardConfig& config, bool useCustomerMemory) {
    return hbFileIoBlockCell(hbLayoutOfBoardType(config.boardType, config.busWidth),
                             useCustomerMemory);
}

} // namespace

uint32_t FakeVp::blockOffset() const {
    return fileIoBuffer(board_.config(), useCustomerMemory_).offset;
}

uint32_t FakeVp::blockSize() const {
    return fileIoBuffer(board_.config(), useCustomerMemory_).size;
}

bool FakeVp::post(const void* block, uint32_t length) {
    const uint32_t at = blockOffset();
    requestsBefore_ = board_.requestCount();
    board_.writeShared(at, block, length);
    if (!board_.raiseEvent(HB_EVENT_FILEIO_REQUEST)) {
        return false;
    }
    // The marker is the service's last write of the request.
    return board_.waitForRequest(
        requestsBefore_,
        [at](const FakeRequest& r) {
            return r.controlCode == HB_IOCTL_SHARED_MEMORY_WRITE && r.argument == at &&
                   r.length == 4 && r.value == kMarker;
        },
        timeout_);
}

std::vector<uint8_t> FakeVp::readBlock(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> bytes(length);
    board_.readShared(blockOffset() + offset, bytes.data(), length);
    return bytes;
}

uint32_t FakeVp::word(uint32_t offset) const {
    return board_.sharedWord(blockOffset() + offset);
}

std::vector<uint8_t> FakeVp::request(uint32_t code) const {
    std::vector<uint8_t> block(kBlockSize, 0);
    putWord(block, 0, code);
    return block;
}

// The VP keeps its request inside the buffer where the buffer is smaller than
// the block.
bool FakeVp::send(const std::vector<uint8_t>& block) {
    return post(block.data(), std::min(kBlockSize, blockSize()));
}

FakeVp::Result FakeVp::wordPair() const {
    return {static_cast<int32_t>(word(4)), word(8)};
}

FakeVp::Result FakeVp::open(const std::string& path, uint32_t flags) {
    auto block = request(FileIoRequest_Open);
    putText(block, 4, path);
    putWord(block, HB_FILEIO_OPEN_FLAGS, flags);
    send(block);
    return wordPair();
}

FakeVp::Result FakeVp::open2(const std::string& path, uint32_t flags) {
    auto block = request(FileIoRequest_Open2);
    putText(block, 4, path);
    putWord(block, HB_FILEIO_OPEN2_FLAGS, flags);
    send(block);
    return wordPair();
}

FakeVp::Result FakeVp::read(int32_t descriptor, int32_t count, std::string* data) {
    auto block = request(FileIoRequest_Read);
    putWord(block, 4, static_cast<uint32_t>(descriptor));
    putWord(block, 8, static_cast<uint32_t>(count));
    send(block);
    const Result result = wordPair();
    if (data != nullptr) {
        data->clear();
        if (result.value > 0) {
            const auto bytes = readBlock(12, static_cast<uint32_t>(result.value));
            data->assign(bytes.begin(), bytes.end());
        }
    }
    return result;
}

FakeVp::Result FakeVp::write(int32_t descriptor, const std::string& data) {
    auto block = request(FileIoRequest_Write);
    putWord(block, 4, static_cast<uint32_t>(descriptor));
    putWord(block, 8, static_cast<uint32_t>(data.size()));
    block.resize(std::max<size_t>(block.size(), 12 + data.size()));
    std::copy(data.begin(), data.end(), block.begin() + 12);
    post(block.data(), std::min(static_cast<uint32_t>(block.size()), blockSize()));
    return wordPair();
}

FakeVp::Result FakeVp::write(int32_t descriptor, int32_t count) {
    auto block = request(FileIoRequest_Write);
    putWord(block, 4, static_cast<uint32_t>(descriptor));
    putWord(block, 8, static_cast<uint32_t>(count));
    send(block);
    return wordPair();
}

int32_t FakeVp::close(int32_t descriptor) {
    auto block = request(FileIoRequest_Close);
    putWord(block, 4, static_cast<uint32_t>(descriptor));
    send(block);
    return static_cast<int32_t>(word(4));
}

FakeVp::Result FakeVp::seek(int32_t descriptor, int32_t offset, int32_t origin) {
    auto block = request(FileIoRequest_Seek);
    putWord(block, 4, static_cast<uint32_t>(descriptor));
    putWord(block, 8, static_cast<uint32_t>(offset));
    putWord(block, 12, static_cast<uint32_t>(origin));
    send(block);
    return wordPair();
}

uint32_t FakeVp::remove(const std::string& path) {
    auto block = request(FileIoRequest_Delete);
    putText(block, 4, path);
    send(block);
    return word(4);
}

uint32_t FakeVp::rename(const std::string& oldPath, const std::string& newPath) {
    auto block = request(FileIoRequest_Rename);
    putText(block, 4, oldPath);
    putText(block, HB_FILEIO_SECOND_PATH, newPath);
    send(block);
    return word(4);
}

FakeVp::Result FakeVp::attributes(const std::string& path) {
    auto block = request(FileIoRequest_Attributes);
    putText(block, 4, path);
    send(block);
    // The error word comes first in this answer.
    return {static_cast<int32_t>(word(8)), word(4)};
}

FakeVp::FindResult FakeVp::findRecord() const {
    const auto bytes = readBlock(HB_FILEIO_FIND_RECORD, HB_FILEIO_FIND_RECORD_SIZE);
    FindResult result;
    result.name = textOf({bytes.begin(), bytes.begin() + HB_FIND_RECORD_NAME_SIZE});
    result.attributes = hb::getLe32(bytes.data() + HB_FIND_RECORD_ATTRIBUTES);
    result.dosTime = hb::getLe32(bytes.data() + HB_FIND_RECORD_DOS_TIME);
    result.dosDate = hb::getLe32(bytes.data() + HB_FIND_RECORD_DOS_DATE);
    result.sizeLow = hb::getLe32(bytes.data() + HB_FIND_RECORD_SIZE_LOW);
    result.handleOrError = hb::getLe32(bytes.data() + HB_FIND_RECORD_HANDLE_OR_ERROR);
    return result;
}

FakeVp::FindResult FakeVp::findFirst(const std::string& pattern) {
    auto block = request(FileIoRequest_FindFirst);
    putText(block, 4, pattern);
    send(block);
    return findRecord();
}

FakeVp::FindResult FakeVp::findNext(uint32_t search) {
    auto block = request(FileIoRequest_FindNext);
    putWord(block, 4, search);
    send(block);
    return findRecord();
}

void FakeVp::findClose(uint32_t search) {
    auto block = request(FileIoRequest_FindClose);
    putWord(block, 4, search);
    send(block);
}

std::string FakeVp::commandLine() {
    send(request(FileIoRequest_CommandLine));
    return textOf(readBlock(HB_FILEIO_COMMAND_LINE, HB_FILEIO_COMMAND_LINE_SIZE));
}

void FakeVp::exit(uint32_t status) {
    auto block = request(FileIoRequest_Exit);
    putWord(block, 4, status);
    send(block);
}

uint32_t FakeVp::environmentSize() {
    send(request(FileIoRequest_EnvironmentSize));
    return word(4);
}

std::string FakeVp::environment(uint32_t maximum, uint32_t* count) {
    auto block = request(FileIoRequest_Environment);
    putWord(block, 4, maximum);
    send(block);
    *count = word(4);
    const auto bytes = readBlock(8, std::min(*count, blockSize() - 8));
    return std::string(bytes.begin(), bytes.end());
}

void FakeVp::useCustomerMemory(uint32_t flag) {
    auto block = request(FileIoRequest_UseCustomerMemory);
    putWord(block, 4, flag);
    if (send(block)) {
        useCustomerMemory_ = flag != 0;
    }
}

} // namespace hbtest
