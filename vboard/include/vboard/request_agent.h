// The VP program's side of the file-I/O protocol, in process: writes a
// request into the board's file-I/O block, raises board event 6, waits until
// the completion marker stands in the code word and returns the answer.
//
// The block's place follows the board's layout (bus type and width from its
// BoardConfig) and the customer-memory switch, which the agent tracks when it
// sends UseCustomerMemory itself; a test that flips the switch from the host
// side tells the agent with setCustomerMemory.
#pragma once

#include "vboard/board.h"

#include "file_io_block.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hb::vboard {

struct FileIoLayout {
    uint32_t offset = 0; // of the file-I/O buffer in shared memory
    uint32_t size = 0;   // of the buffer, in bytes; 0 when the board has none
};

// Where the board's file-I/O buffer lies for the switch setting.
FileIoLayout fileIoLayout(const BoardConfig& config, bool useCustomerMemory);

class RequestAgent {
  public:
    static constexpr uint32_t kBlockSize = HB_FILEIO_BLOCK_SIZE;
    static constexpr uint32_t kMarker = HB_FILEIO_COMPLETION_MARKER;

    explicit RequestAgent(Board& board, bool useCustomerMemory = false,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

    Board& board() { return board_; }
    FileIoLayout layout() const { return fileIoLayout(board_.config(), useCustomerMemory_); }
    void setCustomerMemory(bool on) { useCustomerMemory_ = on; }

    // Raw form: writes `length` bytes (a whole or malformed block, the code
    // word first) at the block, raises event 6 and waits for the marker.
    // False when the event is not registered or the marker does not come.
    bool post(const void* block, uint32_t length);
    // Reads from the block after an answer.
    std::vector<uint8_t> readBlock(uint32_t offset, uint32_t length) const;
    uint32_t word(uint32_t offset) const;
    // Whether the last post saw its marker.
    bool answered() const { return answered_; }

    struct Result {
        int32_t value = 0;  // descriptor, count or position
        uint32_t error = 0; // the error word
    };
    struct ReadResult : Result {
        std::vector<uint8_t> data;
    };
    struct FindResult {
        std::string name;
        uint32_t attributes = 0, dosTime = 0, dosDate = 0, sizeLow = 0, handleOrError = 0;
    };

    Result open(const std::string& path, uint32_t flags);
    Result open2(const std::string& path, uint32_t flags);
    ReadResult read(int32_t descriptor, int32_t count);
    Result write(int32_t descriptor, const void* data, int32_t count);
    Result write(int32_t descriptor, const std::string& text);
    int32_t close(int32_t descriptor);
    Result seek(int32_t descriptor, int32_t offset, int32_t origin);
    uint32_t remove(const std::string& path); // Delete
    std::string commandLine();
    void exit(uint32_t status);
    FindResult findFirst(const std::string& pattern);
    FindResult findNext(uint32_t search);
    void findClose(uint32_t search);
    Result attributes(const std::string& path); // value: the bits
    uint32_t rename(const std::string& oldPath, const std::string& newPath);
    uint32_t environmentSize();
    // The count answered, and that many bytes.
    std::vector<uint8_t> environment(uint32_t maximum, uint32_t* count = nullptr);
    void useCustomerMemory(uint32_t flag);

  private:
    struct Block {
        std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlockSize, 0);
        void word(uint32_t offset, uint32_t value);
        void text(uint32_t offset, const std::string& value, uint32_t field = HB_FILEIO_PATH_SIZE);
    };
    Block request(uint32_t code) const;
    // The VP keeps its request inside the buffer where the buffer is smaller
    // than the block.
    bool send(const Block& block) {
        return post(block.bytes.data(), std::min(kBlockSize, layout().size));
    }
    Result wordPair() const;
    FindResult findRecord() const;

    Board& board_;
    bool useCustomerMemory_;
    std::chrono::milliseconds timeout_;
    bool answered_ = false;
};

} // namespace hb::vboard
