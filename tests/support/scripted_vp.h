// The VP program's side of the file-I/O protocol, scripted by tests,
// benchmarks and fuzz targets: writes a request into the board's file-I/O
// block, rings the board and reads the answer once the completion marker
// stands. Built on the wire format of file_io_block.h alone; the board it
// talks to (the virtual board, request_agent.h) comes through VpBoard.
//
// The block's place follows the board's layout (board type and bus width)
// and the customer-memory switch, which the VP tracks when it sends
// UseCustomerMemory itself; a test that flips the switch from the host side
// says so with setCustomerMemory.
#pragma once

#include "file_io_block.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hbtest {

// What a scripted VP needs of a board: its kind, and its shared memory and
// file-I/O event.
class VpBoard {
  public:
    VpBoard(uint32_t type, uint32_t width) : boardType(type), busWidth(width) {}
    virtual ~VpBoard() = default;
    const uint32_t boardType, busWidth;
    virtual bool writeShared(uint32_t offset, const void* data, uint32_t length) = 0;
    virtual void readShared(uint32_t offset, void* data, uint32_t length) const = 0;
    // Raises the file-I/O event and waits until the completion marker stands
    // in the code word at `offset`. False when the event is not registered or
    // the marker does not come.
    virtual bool ring(uint32_t offset, std::chrono::milliseconds timeout) = 0;
};

struct FileIoLayout {
    uint32_t offset = 0; // of the file-I/O buffer in shared memory
    uint32_t size = 0;   // of the buffer, in bytes; 0 when the board has none
};

// Where a board's file-I/O buffer lies for the switch setting.
FileIoLayout fileIoLayout(uint32_t boardType, uint32_t busWidth, bool useCustomerMemory);

class ScriptedVp {
  public:
    static constexpr uint32_t kBlockSize = HB_FILEIO_BLOCK_SIZE;
    static constexpr uint32_t kMarker = HB_FILEIO_COMPLETION_MARKER;

    ScriptedVp(VpBoard& board, bool useCustomerMemory, std::chrono::milliseconds timeout)
        : board_(board), useCustomerMemory_(useCustomerMemory), timeout_(timeout) {}
    virtual ~ScriptedVp() = default;
    ScriptedVp(const ScriptedVp&) = delete;
    ScriptedVp& operator=(const ScriptedVp&) = delete;

    FileIoLayout layout() const {
        return fileIoLayout(board_.boardType, board_.busWidth, useCustomerMemory_);
    }
    uint32_t blockOffset() const { return layout().offset; }
    uint32_t blockSize() const { return layout().size; }
    void setCustomerMemory(bool on) { useCustomerMemory_ = on; }

    // Raw form: writes `length` bytes (a whole or malformed block, the code
    // word first) at the block, rings and waits for the marker.
    bool post(const void* block, uint32_t length);
    // Reads from the block after an answer.
    std::vector<uint8_t> readBlock(uint32_t offset, uint32_t length) const;
    uint32_t word(uint32_t offset) const;
    // Whether the last post saw its marker.
    bool answered() const { return answered_; }

    struct Result {
        int32_t value = 0;  // descriptor, count, position or attribute bits
        uint32_t error = 0; // the error word
    };
    struct ReadResult : Result {
        std::vector<uint8_t> data;
    };
    struct FindResult {
        std::string name;
        uint32_t attributes = 0, dosTime = 0, dosDate = 0, sizeLow = 0, handleOrError = 0;
    };

    Result open(const std::string& path, uint32_t flags) {
        return ask(FileIoRequest_Open, {{HB_FILEIO_OPEN_FLAGS, flags}}, {{HB_FILEIO_PATH, path}});
    }
    Result open2(const std::string& path, uint32_t flags) {
        return ask(FileIoRequest_Open2, {{HB_FILEIO_OPEN2_FLAGS, flags}}, {{HB_FILEIO_PATH, path}});
    }
    ReadResult read(int32_t descriptor, int32_t count);
    // The data goes behind the words, as far as the buffer reaches.
    Result write(int32_t descriptor, const void* data, int32_t count);
    Result write(int32_t descriptor, const std::string& text) {
        return write(descriptor, text.data(), static_cast<int32_t>(text.size()));
    }
    Result write(int32_t descriptor, int32_t count) { // count as sent, no data
        return ask(FileIoRequest_Write,
                   {{HB_FILEIO_ARGUMENT, descriptor}, {HB_FILEIO_SECOND, count}});
    }
    int32_t close(int32_t descriptor) {
        return ask(FileIoRequest_Close, {{HB_FILEIO_ARGUMENT, descriptor}}).value;
    }
    Result seek(int32_t descriptor, int32_t offset, int32_t origin) {
        return ask(FileIoRequest_Seek, {{HB_FILEIO_ARGUMENT, descriptor},
                                        {HB_FILEIO_SECOND, offset},
                                        {HB_FILEIO_THIRD, origin}});
    }
    uint32_t remove(const std::string& path) { // Delete
        return uint32_t(ask(FileIoRequest_Delete, {}, {{HB_FILEIO_PATH, path}}).value);
    }
    std::string commandLine();
    void exit(uint32_t status) { ask(FileIoRequest_Exit, {{HB_FILEIO_ARGUMENT, status}}); }
    FindResult findFirst(const std::string& pattern) {
        return find(FileIoRequest_FindFirst, {}, {{HB_FILEIO_PATH, pattern}});
    }
    FindResult findNext(uint32_t search) {
        return find(FileIoRequest_FindNext, {{HB_FILEIO_ARGUMENT, search}});
    }
    void findClose(uint32_t search) {
        ask(FileIoRequest_FindClose, {{HB_FILEIO_ARGUMENT, search}});
    }
    Result attributes(const std::string& path) { // value: the bits
        const Result r = ask(FileIoRequest_Attributes, {}, {{HB_FILEIO_PATH, path}});
        return {static_cast<int32_t>(r.error), static_cast<uint32_t>(r.value)}; // error word first
    }
    uint32_t rename(const std::string& oldPath, const std::string& newPath) {
        return uint32_t(ask(FileIoRequest_Rename, {},
                            {{HB_FILEIO_PATH, oldPath}, {HB_FILEIO_SECOND_PATH, newPath}})
                            .value);
    }
    uint32_t environmentSize() { return uint32_t(ask(FileIoRequest_EnvironmentSize).value); }
    // The count answered, and that many bytes (as far as the buffer reaches).
    std::vector<uint8_t> environment(uint32_t maximum, uint32_t* count = nullptr);
    std::string environmentText(uint32_t maximum, uint32_t* count = nullptr) {
        const auto bytes = environment(maximum, count);
        return std::string(bytes.begin(), bytes.end());
    }
    void useCustomerMemory(uint32_t flag);

  private:
    using Words = std::initializer_list<std::pair<uint32_t, int64_t>>;          // offset, value
    using Texts = std::initializer_list<std::pair<uint32_t, std::string_view>>; // offset, text
    // A block with the code, the texts (cut to the path size) and the words.
    static std::vector<uint8_t> block(uint32_t code, Words words, Texts texts = {});
    // Posts the block (the VP keeps its request inside a buffer smaller than
    // the block) and reads the answer's first two words.
    Result ask(uint32_t code, Words words = {}, Texts texts = {});
    FindResult find(uint32_t code, Words words, Texts texts = {});

    VpBoard& board_;
    bool useCustomerMemory_;
    std::chrono::milliseconds timeout_;
    bool answered_ = false;
};

} // namespace hbtest
