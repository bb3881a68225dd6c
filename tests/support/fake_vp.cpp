#include "support/fake_vp.h"

#include "hbsys9u.h"

#include <algorithm>
#include <cstring>

namespace hbtest {

namespace {

void putWord(std::vector<uint8_t>& block, uint32_t at, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) {
        block[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string textOf(const std::vector<uint8_t>& bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

void putText(std::vector<uint8_t>& block, uint32_t at, const std::string& text) {
    const size_t n = std::min<size_t>(text.size(), 260);
    std::memcpy(block.data() + at, text.data(), n);
    block[at + n] = 0;
}

struct Cell {
    uint32_t offset, size;
};

// The file-I/O buffer of each layout, switch off and on.
Cell fileIoBuffer(const FakeBoardConfig& config, bool useCustomerMemory) {
    if (config.boardType == 27 && config.busWidth == 1) {
        return useCustomerMemory ? Cell{0x0, 0x400} : Cell{0x500, 0x140};
    }
    if (config.boardType == 27 && (config.busWidth == 2 || config.busWidth == 3)) {
        return useCustomerMemory ? Cell{0x0, 0x1000} : Cell{0x1100, 0x400};
    }
    if (config.boardType == 22 || config.boardType == 23 || config.boardType == 25 ||
        config.boardType == 26) {
        return useCustomerMemory ? Cell{0x400, 0x4000} : Cell{0x4500, 0x4000};
    }
    return {0, 0};
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
    putWord(block, 272, flags);
    send(block);
    return wordPair();
}

FakeVp::Result FakeVp::open2(const std::string& path, uint32_t flags) {
    auto block = request(FileIoRequest_Open2);
    putText(block, 4, path);
    putWord(block, 268, flags);
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
    putText(block, 265, newPath);
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
    const auto name = readBlock(4, 264);
    FindResult result;
    result.name = textOf(name);
    result.attributes = word(268);
    result.dosTime = word(272);
    result.dosDate = word(276);
    result.sizeLow = word(280);
    result.handleOrError = word(284);
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
    return textOf(readBlock(4, 256));
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
