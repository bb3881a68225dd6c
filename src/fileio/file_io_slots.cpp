// The slot table, its one-time initialisation and the two setters.
#include "fileio/file_io_slots.h"

#include "fileio/console_writers.h"

#include <cstring>

namespace hb {

namespace {

FileIoBoardSlot slots[HB_MAX_BOARDS];
std::once_flag tablesOnce;
std::atomic<int32_t> tablesReady{0};

} // namespace

FileIoBoardSlot* fileIoSlot(int32_t boardIndex) {
    if (boardIndex < 0 || boardIndex >= HB_MAX_BOARDS)
        return nullptr;
    return &slots[boardIndex];
}

void initFileIoTables() {
    std::call_once(tablesOnce, [] {
        for (FileIoBoardSlot& slot : slots) {
            slot.stdoutWriter.store(defaultStdoutWriter);
            slot.stderrWriter.store(defaultStderrWriter);
            slot.exitEvent.store(kNoEvent);
            slot.requestEvent.store(kNoEvent);
            slot.serviceThread.store(kNoThread);
            slot.board.store(nullptr);
            std::lock_guard guard(slot.commandLineLock);
            slot.commandLine[0] = '\0';
        }
        tablesReady.store(1);
    });
}

bool fileIoTablesReady() {
    return tablesReady.load() != 0;
}

void copyCommandLine(FileIoBoardSlot& slot, char* out) {
    std::memset(out, 0, HB_FILEIO_COMMAND_LINE_SIZE);
    std::lock_guard guard(slot.commandLineLock);
    const size_t length = strnlen(slot.commandLine, HB_FILEIO_COMMAND_LINE_SIZE - 1);
    std::memcpy(out, slot.commandLine, length);
}

} // namespace hb

using hb::FileIoBoardSlot;

extern "C" uint32_t hbFileIoSetCommandLine(const AcceleratorBoard* board,
                                           const char* const* arguments) {
    if (board == nullptr || arguments == nullptr || arguments[0] == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    // Set before the first startup, the text stays: the tables are made
    // ready now, not by that startup over it.
    hb::initFileIoTables();

    // Each argument followed by one blank, cut to 255 bytes and a NUL.
    char text[HB_FILEIO_COMMAND_LINE_SIZE] = {};
    constexpr size_t kLimit = HB_FILEIO_COMMAND_LINE_SIZE - 1;
    size_t length = 0;
    for (const char* const* argument = arguments; *argument != nullptr && length < kLimit;
         ++argument) {
        for (const char* c = *argument; *c != '\0' && length < kLimit; ++c)
            text[length++] = *c;
        if (length < kLimit)
            text[length++] = ' ';
    }
    text[length] = '\0';

    std::lock_guard guard(slot->commandLineLock);
    std::memcpy(slot->commandLine, text, sizeof text);
    return HB_ERROR_SUCCESS;
}

extern "C" uint32_t hbFileIoSetStdOutFunctions(const AcceleratorBoard* board,
                                               StdOutFunction stdoutFunction,
                                               StdOutFunction stderrFunction) {
    if (board == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    FileIoBoardSlot* slot = hb::fileIoSlot(board->boardIndex);
    if (slot == nullptr)
        return HB_ERROR_INVALID_PARAMETER;
    hb::initFileIoTables(); // writers set before the first startup stay
    slot->stdoutWriter.store(stdoutFunction != nullptr ? stdoutFunction : hb::defaultStdoutWriter);
    slot->stderrWriter.store(stderrFunction != nullptr ? stderrFunction : hb::defaultStderrWriter);
    return HB_ERROR_SUCCESS;
}
