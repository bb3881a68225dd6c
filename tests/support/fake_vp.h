// The VP program's side of the file-I/O protocol on a fake board: writes a
// request into the board's file-I/O block, raises board event 6, waits until
// the service has written the completion marker and reads the answer.
//
// The block's place follows the board's layout (from its board type and bus
// width) and the customer-memory switch, which the VP tracks when it sends
// UseCustomerMemory itself.
#pragma once

#include "support/fake_device.h"

#include "file_io_block.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hbtest {

class FakeVp {
  public:
    static constexpr uint32_t kBlockSize = HB_FILEIO_BLOCK_SIZE;
    static constexpr uint32_t kMarker = HB_FILEIO_COMPLETION_MARKER;

    explicit FakeVp(FakeBoard& board) : board_(board) {}

    // The file-I/O buffer: offset and size in bytes; size 0 without a layout.
    uint32_t blockOffset() const;
    uint32_t blockSize() const;
    void setCustomerMemory(bool on) { useCustomerMemory_ = on; }

    // Writes `length` bytes at the block (the code word first), raises event 6
    // and waits for the marker. False when the event is not registered or the
    // marker does not come.
    bool post(const void* block, uint32_t length);
    std::vector<uint8_t> readBlock(uint32_t offset, uint32_t length) const;
    uint32_t word(uint32_t offset) const;
    // Where the log stood before the last post's request.
    size_t requestsBefore() const { return requestsBefore_; }

    struct Result {
        int32_t value = 0;  // descriptor, count, position or attribute bits
        uint32_t error = 0; // the error word
    };
    struct FindResult {
        std::string name;
        uint32_t attributes = 0, dosTime = 0, dosDate = 0, sizeLow = 0, handleOrError = 0;
    };

    Result open(const std::string& path, uint32_t flags);
    Result open2(const std::string& path, uint32_t flags); // flags at 268
    Result read(int32_t descriptor, int32_t count, std::string* data = nullptr);
    Result write(int32_t descriptor, const std::string& data);
    Result write(int32_t descriptor, int32_t count); // count as sent, no data
    int32_t close(int32_t descriptor);
    Result seek(int32_t descriptor, int32_t offset, int32_t origin);
    uint32_t remove(const std::string& path);
    uint32_t rename(const std::string& oldPath, const std::string& newPath);
    Result attributes(const std::string& path);
    FindResult findFirst(const std::string& pattern);
    FindResult findNext(uint32_t search);
    void findClose(uint32_t search);
    std::string commandLine();
    void exit(uint32_t status);
    uint32_t environmentSize();
    std::string environment(uint32_t maximum, uint32_t* count);
    void useCustomerMemory(uint32_t flag);

  private:
    std::vector<uint8_t> request(uint32_t code) const;
    bool send(const std::vector<uint8_t>& block);
    Result wordPair() const;
    FindResult findRecord() const;

    FakeBoard& board_;
    bool useCustomerMemory_ = false;
    size_t requestsBefore_ = 0;
    std::chrono::milliseconds timeout_ = std::chrono::seconds(20);
};

} // namespace hbtest
