// The per-board slots (command line, writers) before and without a service,
// and MS-DOS times.
#include "fileio/console_writers.h"
#include "fileio/dos_date_time.h"
#include "fileio/file_io_slots.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace {

std::string commandLineOf(const AcceleratorBoard& board) {
    std::string text(HB_FILEIO_COMMAND_LINE_SIZE, 'x'); // whatever the buffer held goes
    hb::copyCommandLine(*hb::fileIoSlot(board.boardIndex), text.data());
    return text.c_str();
}

TEST(CommandLine, EachArgumentIsFollowedByABlankAndARefusedCallChangesNothing) {
    hb::initFileIoTables();
    AcceleratorBoard board{3, nullptr};
    const char* three[] = {"prog", "-v", "x.dat", nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, three), 0u);
    EXPECT_EQ(commandLineOf(board), "prog -v x.dat ");
    const char* empty[] = {"", nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, empty), 0u);
    EXPECT_EQ(commandLineOf(board), " ");
    AcceleratorBoard outside{16, nullptr}, negative{-1, nullptr};
    const char* none[] = {nullptr};
    const std::pair<AcceleratorBoard*, const char**> refused[] = {
        {&board, none}, {&board, nullptr}, {nullptr, three}, {&outside, three}, {&negative, three}};
    for (const auto& [where, arguments] : refused)
        EXPECT_EQ(hbFileIoSetCommandLine(where, arguments), 87u);
    EXPECT_EQ(commandLineOf(board), " ");
}

int32_t customWriter(const void*, int32_t n) {
    return n;
}

// (Writers reaching the console: service_requests_test; a null stderr writer
// kept as the default: SlotsBeforeTheFirstStartup.)
TEST(StdOutFunctions, NullRestoresTheDefaultsAndBadBoardsAreRefused) {
    hb::initFileIoTables();
    AcceleratorBoard board{4, nullptr};
    EXPECT_EQ(hbFileIoSetStdOutFunctions(&board, customWriter, nullptr), 0u);
    EXPECT_EQ(hbFileIoSetStdOutFunctions(&board, nullptr, nullptr), 0u);
    EXPECT_EQ(hb::fileIoSlot(4)->stdoutWriter.load(), &hb::defaultStdoutWriter);
    AcceleratorBoard outside{99, nullptr};
    EXPECT_EQ(hbFileIoSetStdOutFunctions(nullptr, customWriter, customWriter), 87u);
    EXPECT_EQ(hbFileIoSetStdOutFunctions(&outside, customWriter, customWriter), 87u);
}

// Exits 0 when what is set before the first startup is still there after it.
[[noreturn]] void setBeforeTheFirstStartup() {
    if (hb::fileIoTablesReady())
        std::_Exit(2);
    AcceleratorBoard board{6, nullptr};
    const char* arguments[] = {"prog", "x", nullptr};
    if (hbFileIoSetCommandLine(&board, arguments) != 0 ||
        hbFileIoSetStdOutFunctions(&board, customWriter, nullptr) != 0)
        std::_Exit(3);
    hbFileIoStartup(&board); // fails without a device, after the tables are ready
    const hb::FileIoBoardSlot& slot = *hb::fileIoSlot(6);
    const bool kept = hb::fileIoTablesReady() && commandLineOf(board) == "prog x " &&
                      slot.stdoutWriter.load() == &customWriter &&
                      slot.stderrWriter.load() == &hb::defaultStderrWriter;
    std::_Exit(kept ? 0 : 1);
}

TEST(SlotsBeforeTheFirstStartup, KeepTheCommandLineAndWritersSetThere) {
    // A process of its own, whose first startup is still to come.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(setBeforeTheFirstStartup(), ::testing::ExitedWithCode(0), "");
}

// (2008-06-15 13:45:30 as a search's entry gives it: host_operations_test,
// service_requests_test.)
TEST(DosDateTime, ConvertsUniversalTimeAndClampsToTheFormat) {
    const struct {
        int64_t seconds;
        uint16_t date, time;
    } cases[] = {
        {315532800, 0x0021, 0}, // 1980-01-01, the first
        {951825599, (20 << 9) | (2 << 5) | 29, (11 << 11) | (59 << 5) | 29}, // 2000-02-29
        {4107542400, (120 << 9) | (3 << 5) | 1, 0}, // 2100-03-01: 2100 has no 29 February
        {0, 0x0021, 0},                             // before: the first
        {-5, 0x0021, 0},
        {int64_t{1} << 40, 0xFF9F, 0xBF7D}, // after 2107: the last
    };
    for (const auto& c : cases) {
        const hb::DosDateTime converted = hb::dosDateTimeFromUnixSeconds(c.seconds);
        EXPECT_EQ(std::pair(converted.date, converted.time), std::pair(c.date, c.time))
            << c.seconds;
    }
}

} // namespace
