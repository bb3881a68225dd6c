// Every request costs one 528-byte copy of the block, at most two writes back
// (response words, then data) and the 4-byte completion marker, which is
// always the last write. Data travels through a host buffer of exactly its
// size, and no count ever reaches past the board's file-I/O buffer: Read and
// Environment are cut to fit it, a Write that does not fit is refused with 87.
//
// Beneath a root directory (an extension) every path is resolved inside it,
// and the VP program may use only what it opened itself: its own descriptors
// (0, 1 and 2 for reading and writing) and its own searches. A trace function
// (the other extension) sees each request just before its completion marker.
#include "fileio/dispatcher.h"

#include "fileio/block_access.h"
#include "fileio/file_io_slots.h"
#include "fileio/host_operations.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace hb {

namespace {

using namespace fileio_block;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using HostBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

HostBuffer allocate(uint32_t size) {
    return HostBuffer(static_cast<uint8_t*>(std::malloc(size)));
}

// A path field ends within its 261 bytes even when the VP left out the NUL.
struct PathField {
    explicit PathField(const uint8_t* block, uint32_t at) {
        std::memcpy(text, block + at, HB_FILEIO_PATH_SIZE);
        text[HB_FILEIO_PATH_SIZE] = '\0';
    }
    char text[HB_FILEIO_PATH_SIZE + 1];
};

bool listHolds(ListNode* list, uint32_t item) {
    if (list == nullptr)
        return false;
    for (ListNode* node = hb_listGetNextNode(list); node != nullptr;
         node = hb_listGetNextNode(node))
        if (hb_listItem(node) == item)
            return true;
    return false;
}

uint32_t currentErrorOr(uint32_t fallback) {
    const uint32_t code = platform::lastError();
    return code != 0 ? code : fallback;
}

class Exchange {
  public:
    Exchange(const AcceleratorBoard* board, FileIoBoardSlot& slot, uint32_t offset,
             uint32_t capacity, const uint8_t* block, platform::HostRootRef root)
        : device_(board->deviceHandle), slot_(slot), offset_(offset), capacity_(capacity),
          block_(block), root_(std::move(root)) {
        trace_.boardIndex = board->boardIndex;
        trace_.request = word(kCode);
    }

    void carryOut();
    HbFileIoTraceRecord& trace() { return trace_; }
    // The answer never reached the VP (its marker could not be written):
    // what the request opened would stay open for good, so close it.
    void withdraw();

  private:
    uint32_t word(uint32_t at) const { return readWord(block_, at); }
    int32_t signedWord(uint32_t at) const { return static_cast<int32_t>(word(at)); }

    // Room for data that starts `dataOffset` bytes into the buffer.
    uint32_t room(uint32_t dataOffset) const {
        return capacity_ > dataOffset ? capacity_ - dataOffset : 0;
    }
    bool respond(const uint8_t* words, uint32_t length) const {
        return hb_DeviceIoSharedMemoryWrite(device_, offset_ + kArgument, words, length) != 0;
    }
    bool respondWords(uint32_t first, uint32_t second) const {
        uint8_t words[8];
        writeWord(words, 0, first);
        writeWord(words, 4, second);
        return respond(words, sizeof words);
    }
    void respondWord(uint32_t value) const {
        uint8_t words[4];
        writeWord(words, 0, value);
        respond(words, sizeof words);
    }
    void respondData(uint32_t dataOffset, const uint8_t* data, uint32_t length) const {
        hb_DeviceIoSharedMemoryWrite(device_, offset_ + dataOffset, data, length);
    }

    // The request's path fields, kept for the trace.
    const char* firstPath() {
        firstPath_.emplace(block_, kArgument);
        trace_.path = firstPath_->text;
        return firstPath_->text;
    }
    const char* secondPath() {
        secondPath_.emplace(block_, kSecondPath);
        trace_.secondPath = secondPath_->text;
        return secondPath_->text;
    }
    void traceArguments(int32_t first, int32_t second = 0, int32_t third = 0) {
        trace_.arguments[0] = first;
        trace_.arguments[1] = second;
        trace_.arguments[2] = third;
    }
    void traceAnswer(int32_t result, uint32_t error) {
        trace_.result = result;
        trace_.error = error;
    }

    // Beneath a root the VP program uses only what it opened itself.
    bool mayUseDescriptor(int32_t descriptor, bool closing) const {
        if (!root_)
            return true;
        if (descriptor >= 0 && descriptor <= 2)
            return !closing;
        return listHolds(slot_.openFiles, static_cast<uint32_t>(descriptor));
    }
    bool mayUseSearch(uint32_t search) const {
        return !root_ || listHolds(slot_.openSearches, search);
    }

    void open(uint32_t flagsOffset);
    void remove();
    void commandLine();
    void exit();
    void findClose();
    void rename();
    void useCustomerMemory();
    void read();
    void write();
    void close();
    void seek();
    void findFirst();
    void findNext();
    void attributes();
    void environmentSize();
    void environment();

    HbHandle device_;
    FileIoBoardSlot& slot_;
    uint32_t offset_;
    uint32_t capacity_;
    const uint8_t* block_;
    platform::HostRootRef root_;
    HbFileIoTraceRecord trace_{};
    std::optional<PathField> firstPath_, secondPath_;
    HostBuffer data_; // Read and Write data, kept for the trace
    char commandLine_[HB_FILEIO_COMMAND_LINE_SIZE] = {};
    int32_t openedFile_ = -1;
    uint32_t openedSearch_ = platform::kInvalidSearch;
};

void Exchange::withdraw() {
    if (openedFile_ != -1) {
        hostClose(openedFile_);
        hb_listRemove(static_cast<uint32_t>(openedFile_), slot_.openFiles);
    }
    if (openedSearch_ != platform::kInvalidSearch) {
        hostFindClose(openedSearch_);
        hb_listRemove(openedSearch_, slot_.openSearches);
    }
}

void Exchange::carryOut() {
    switch (word(kCode)) {
    case FileIoRequest_Open:
        return open(kOpenFlags);
    case FileIoRequest_Open2:
        return open(kOpen2Flags);
    case FileIoRequest_Read:
        return read();
    case FileIoRequest_Write:
        return write();
    case FileIoRequest_Close:
        return close();
    case FileIoRequest_Seek:
        return seek();
    case FileIoRequest_Delete:
        return remove();
    case FileIoRequest_CommandLine:
        return commandLine();
    case FileIoRequest_Exit:
        return exit();
    case FileIoRequest_FindFirst:
        return findFirst();
    case FileIoRequest_FindNext:
        return findNext();
    case FileIoRequest_FindClose:
        return findClose();
    case FileIoRequest_Attributes:
        return attributes();
    case FileIoRequest_Rename:
        return rename();
    case FileIoRequest_EnvironmentSize:
        return environmentSize();
    case FileIoRequest_Environment:
        return environment();
    case FileIoRequest_UseCustomerMemory:
        return useCustomerMemory();
    default:
        return; // unknown codes, 14 among them: the marker alone
    }
}

void Exchange::open(uint32_t flagsOffset) {
    traceArguments(signedWord(flagsOffset));
    const int32_t descriptor = hostOpen(root_, firstPath(), word(flagsOffset));
    uint32_t error = 0;
    if (descriptor != -1)
        hb_listInsert(static_cast<uint32_t>(descriptor), slot_.openFiles);
    else
        error = platform::lastError();
    traceAnswer(descriptor, error);
    if (!respondWords(static_cast<uint32_t>(descriptor), error) && descriptor != -1) {
        // The VP never learns the descriptor, so nobody would ever close it.
        hostClose(descriptor);
        hb_listRemove(static_cast<uint32_t>(descriptor), slot_.openFiles);
    } else if (descriptor != -1) {
        openedFile_ = descriptor;
    }
}

void Exchange::remove() {
    const uint32_t code = hostDelete(root_, firstPath());
    traceAnswer(static_cast<int32_t>(code), code);
    respondWord(code);
}

void Exchange::commandLine() {
    copyCommandLine(slot_, commandLine_);
    trace_.path = commandLine_;
    respond(reinterpret_cast<const uint8_t*>(commandLine_), sizeof commandLine_);
}

void Exchange::exit() {
    traceArguments(signedWord(kArgument));
    // The status first, so that a waiter woken by the event reads it.
    const auto status = static_cast<int8_t>(block_[kArgument]);
    slot_.exitStatus.store(status);
    slot_.exitReported.store(true);
    hb__EventSet(slot_.exitEvent.load());
    traceAnswer(static_cast<uint8_t>(status), 0);
}

void Exchange::findClose() {
    const uint32_t search = word(kArgument);
    traceArguments(static_cast<int32_t>(search));
    if (!mayUseSearch(search)) {
        traceAnswer(0, HB_ERROR_INVALID_HANDLE);
        return;
    }
    const uint32_t code = hostFindClose(search);
    hb_listRemove(search, slot_.openSearches);
    traceAnswer(0, code);
}

void Exchange::rename() {
    const char* from = firstPath();
    const uint32_t code = hostRename(root_, from, secondPath());
    traceAnswer(static_cast<int32_t>(code), code);
    respondWord(code);
}

void Exchange::useCustomerMemory() {
    traceArguments(signedWord(kArgument));
    hb_FileIoUseCustomerMemory(word(kArgument) != 0 ? 1u : 0u);
}

void Exchange::read() {
    const int32_t descriptor = signedWord(kArgument);
    const int32_t requested = signedWord(kSecond);
    traceArguments(descriptor, requested);
    int32_t result = 0;
    uint32_t error = 0;
    HostBuffer& buffer = data_;
    if (!mayUseDescriptor(descriptor, false)) {
        platform::setLastError(kRuntimeBadDescriptor);
        result = -1;
        error = kRuntimeBadDescriptor;
    } else if (requested > 0) {
        // A count beyond the buffer is cut: the VP sees a short read.
        const uint32_t count = std::min(static_cast<uint32_t>(requested), room(kReadWriteData));
        if (count > 0) {
            buffer = allocate(count);
            if (!buffer) {
                platform::setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
                error = HB_ERROR_NOT_ENOUGH_MEMORY;
            } else {
                result = hostRead(descriptor, buffer.get(), count);
                error = result >= 0 ? 0 : platform::lastError();
            }
        }
    }
    traceAnswer(result, error);
    uint8_t words[12] = {};
    writeWord(words, 0, static_cast<uint32_t>(result));
    writeWord(words, 4, error);
    respond(words, sizeof words);
    if (buffer && result > 0) {
        respondData(kReadWriteData, buffer.get(), static_cast<uint32_t>(result));
        trace_.data = buffer.get();
        trace_.dataLength = static_cast<uint32_t>(result);
    }
}

void Exchange::write() {
    const int32_t descriptor = signedWord(kArgument);
    const int32_t count = signedWord(kSecond);
    traceArguments(descriptor, count);
    int32_t result = 0;
    uint32_t error = 0;
    if (!mayUseDescriptor(descriptor, false)) {
        platform::setLastError(kRuntimeBadDescriptor);
        result = -1;
        error = kRuntimeBadDescriptor;
    } else if (count < 0 || static_cast<uint32_t>(count) > room(kReadWriteData)) {
        // Negative, or data that cannot lie inside the buffer: refused unread.
        platform::setLastError(HB_ERROR_INVALID_PARAMETER);
        error = HB_ERROR_INVALID_PARAMETER;
    } else if (count > 0) {
        HostBuffer& buffer = data_;
        buffer = allocate(static_cast<uint32_t>(count));
        if (!buffer) {
            platform::setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
            error = HB_ERROR_NOT_ENOUGH_MEMORY;
        } else {
            platform::setLastError(0);
            if (hb_DeviceIoSharedMemoryRead(device_, offset_ + kReadWriteData, buffer.get(),
                                            static_cast<uint32_t>(count)) == 0) {
                // Never write bytes that did not come from the VP.
                error = currentErrorOr(HB_ERROR_FILE_INVALID);
            } else {
                trace_.data = buffer.get();
                trace_.dataLength = static_cast<uint32_t>(count);
                result = hostWrite(descriptor, buffer.get(), static_cast<uint32_t>(count),
                                   slot_.stdoutWriter.load(), slot_.stderrWriter.load());
                error = result == count ? 0 : platform::lastError();
            }
        }
    }
    traceAnswer(result, error);
    respondWords(static_cast<uint32_t>(result), error);
}

void Exchange::close() {
    const int32_t descriptor = signedWord(kArgument);
    traceArguments(descriptor);
    int32_t result = -1;
    if (mayUseDescriptor(descriptor, true)) {
        result = hostClose(descriptor);
        hb_listRemove(static_cast<uint32_t>(descriptor), slot_.openFiles);
    } else {
        platform::setLastError(kRuntimeBadDescriptor);
    }
    traceAnswer(result, result == -1 ? platform::lastError() : 0);
    respondWord(static_cast<uint32_t>(result));
}

void Exchange::seek() {
    const int32_t descriptor = signedWord(kArgument);
    traceArguments(descriptor, signedWord(kSecond), signedWord(kThird));
    int32_t position = -1;
    if (mayUseDescriptor(descriptor, false))
        position = hostSeek(descriptor, signedWord(kSecond), signedWord(kThird));
    else
        platform::setLastError(kRuntimeBadDescriptor);
    const uint32_t error = position == -1 ? platform::lastError() : 0;
    traceAnswer(position, error);
    respondWords(static_cast<uint32_t>(position), error);
}

static_assert(sizeof(FindRecord) == kFindRecordSize &&
              offsetof(FindRecord, attributes) == HB_FIND_RECORD_ATTRIBUTES &&
              offsetof(FindRecord, dosTime) == HB_FIND_RECORD_DOS_TIME &&
              offsetof(FindRecord, dosDate) == HB_FIND_RECORD_DOS_DATE &&
              offsetof(FindRecord, sizeLow) == HB_FIND_RECORD_SIZE_LOW &&
              offsetof(FindRecord, handleOrError) == HB_FIND_RECORD_HANDLE_OR_ERROR);

void Exchange::findFirst() {
    uint8_t record[kFindRecordSize] = {};
    uint32_t attributes = 0, sizeLow = 0, dosDate = 0, dosTime = 0;
    const uint32_t search = hostFindFirst(root_, firstPath(), reinterpret_cast<char*>(record),
                                          &attributes, &sizeLow, &dosDate, &dosTime);
    if (search != platform::kInvalidSearch)
        hb_listInsert(search, slot_.openSearches);
    traceAnswer(static_cast<int32_t>(search),
                search == platform::kInvalidSearch ? platform::lastError() : 0);
    writeWord(record, HB_FIND_RECORD_ATTRIBUTES, attributes);
    writeWord(record, HB_FIND_RECORD_DOS_TIME, dosTime);
    writeWord(record, HB_FIND_RECORD_DOS_DATE, dosDate);
    writeWord(record, HB_FIND_RECORD_SIZE_LOW, sizeLow);
    writeWord(record, HB_FIND_RECORD_HANDLE_OR_ERROR, search);
    if (!respond(record, sizeof record) && search != platform::kInvalidSearch) {
        // The VP never learns the search, so nobody would ever end it.
        hostFindClose(search);
        hb_listRemove(search, slot_.openSearches);
    } else if (search != platform::kInvalidSearch) {
        openedSearch_ = search;
    }
}

void Exchange::findNext() {
    uint8_t record[kFindRecordSize] = {};
    uint32_t attributes = 0, sizeLow = 0, dosDate = 0, dosTime = 0;
    const uint32_t search = word(kArgument);
    traceArguments(static_cast<int32_t>(search));
    uint32_t result = HB_ERROR_INVALID_HANDLE;
    if (mayUseSearch(search))
        result = hostFindNext(search, reinterpret_cast<char*>(record), &attributes, &sizeLow,
                              &dosDate, &dosTime);
    else
        platform::setLastError(result);
    traceAnswer(static_cast<int32_t>(result), result);
    writeWord(record, HB_FIND_RECORD_ATTRIBUTES, attributes);
    writeWord(record, HB_FIND_RECORD_DOS_TIME, dosTime);
    writeWord(record, HB_FIND_RECORD_DOS_DATE, dosDate);
    writeWord(record, HB_FIND_RECORD_SIZE_LOW, sizeLow);
    writeWord(record, HB_FIND_RECORD_HANDLE_OR_ERROR, result);
    respond(record, sizeof record);
}

void Exchange::attributes() {
    const uint32_t bits = hostGetAttributes(root_, firstPath());
    const uint32_t error = bits == HB_INVALID_FILE_ATTRIBUTES ? platform::lastError() : 0;
    traceAnswer(static_cast<int32_t>(bits), error);
    // The error word comes first in this answer.
    respondWords(error, bits);
}

void Exchange::environmentSize() {
    char* block = hostEnvironment();
    const uint32_t length = block != nullptr ? environmentBlockLength(block) : 0;
    if (block != nullptr)
        hostFreeEnvironment(block);
    traceAnswer(static_cast<int32_t>(length), 0);
    respondWord(length);
}

void Exchange::environment() {
    char* block = hostEnvironment();
    const uint32_t length = block != nullptr ? environmentBlockLength(block) : 0;
    traceArguments(signedWord(kArgument));
    uint32_t count = std::min({length, word(kArgument), room(kEnvironmentData)});
    HostBuffer copy;
    if (count > 0) {
        copy = allocate(count);
        if (!copy) {
            count = 0;
        } else {
            std::memcpy(copy.get(), block, count);
            if (count < length) {
                // The copy still ends in an empty string, as far as it can.
                copy.get()[count - 1] = 0;
                if (count >= 2)
                    copy.get()[count - 2] = 0;
            }
        }
    }
    if (block != nullptr)
        hostFreeEnvironment(block);
    traceAnswer(static_cast<int32_t>(count), 0);
    respondWords(count, 0);
    if (count > 0)
        respondData(kEnvironmentData, copy.get(), count);
}

} // namespace

uint32_t environmentBlockLength(const char* block) {
    uint32_t at = 0;
    while (block[at] != '\0' || block[at + 1] != '\0')
        ++at;
    return at + 2;
}

namespace {

void reportToTrace(FileIoBoardSlot& slot, HbFileIoTraceRecord& record,
                   std::chrono::steady_clock::time_point began) {
    std::lock_guard guard(slot.traceLock);
    if (slot.traceFunction == nullptr)
        return;
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    slot.traceFunction(slot.traceContext, &record);
}

} // namespace

void dispatchFileIoRequest(const AcceleratorBoard* board) {
    const auto began = std::chrono::steady_clock::now();
    FileIoBoardSlot* slot = fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return;
    uint32_t capacity = 0;
    const uint32_t offset = hb_GetFileIoBuffer(board, &capacity);

    // Zeroed, so that a copy that fails holds no request.
    uint8_t block[HB_FILEIO_BLOCK_SIZE] = {};
    const auto copy = [&] {
        return hb_DeviceIoSharedMemoryRead(board->deviceHandle, offset, block, sizeof block) != 0;
    };
    bool copied = capacity != 0 && copy();
    hb__EventReset(slot->requestEvent.load());
    if (capacity == 0)
        return; // the board has no file-I/O buffer: nowhere to answer
    if (!copied)
        copied = copy(); // one passing failure of the driver must not cost the VP its request
    if (copied && readWord(block, kCode) == HB_FILEIO_COMPLETION_MARKER) {
        // No request: a repeated or late event. A request posted between the
        // copy and the reset lost its wake-up to the reset, so look once more;
        // if there is still none, write nothing, since a marker written now
        // could cover a request that the VP posts at this very moment.
        if (!copy() || readWord(block, kCode) == HB_FILEIO_COMPLETION_MARKER)
            return;
    }
    std::optional<Exchange> exchange;
    if (copied) {
        exchange.emplace(board, *slot, offset, capacity, block, currentRoot(*slot));
        exchange->carryOut();
    }

    // Reported before the marker: once the VP sees its answer, the trace has
    // seen the request.
    if (exchange)
        reportToTrace(*slot, exchange->trace(), began);
    uint8_t marker[4];
    writeWord(marker, 0, HB_FILEIO_COMPLETION_MARKER);
    if (hb_DeviceIoSharedMemoryWrite(board->deviceHandle, offset + kCode, marker, sizeof marker) ==
            0 &&
        exchange)
        exchange->withdraw();
}

} // namespace hb
