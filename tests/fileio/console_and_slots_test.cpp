// Console writers, CR LF stripping, the command-line setter, MS-DOS times.
#include "fileio/console_writers.h"
#include "fileio/dos_date_time.h"
#include "fileio/file_io_slots.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string strip(const std::string& in) {
    uint32_t count = static_cast<uint32_t>(in.size());
    uint8_t* out = hb::stripCarriageReturns(reinterpret_cast<const uint8_t*>(in.data()), &count);
    std::string result(reinterpret_cast<char*>(out), count);
    std::free(out);
    return result;
}

TEST(StripCarriageReturns, TurnsPairsIntoLineFeedsOnly) {
    EXPECT_EQ(strip("a\r\nb\r\n"), "a\nb\n");
    EXPECT_EQ(strip("\r\r\n"), "\r\n");
    EXPECT_EQ(strip("a\rb\n"), "a\rb\n");
    EXPECT_EQ(strip("end\r"), "end\r");
    EXPECT_EQ(strip(""), "");
}

TEST(DefaultWriters, WriteConvertedBytesToTheStandardStreams) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(hb::defaultStdoutWriter("a\r\nb\r\n", 6), 6);
    EXPECT_EQ(hb::defaultStdoutWriter("", 0), 0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(hb::defaultStderrWriter("e\r\n", 3), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "e\n");
}

std::string commandLineOf(const AcceleratorBoard& board) {
    char text[HB_FILEIO_COMMAND_LINE_SIZE];
    hb::copyCommandLine(*hb::fileIoSlot(board.boardIndex), text);
    EXPECT_EQ(text[HB_FILEIO_COMMAND_LINE_SIZE - 1], '\0');
    return text;
}

TEST(CommandLine, JoinsArgumentsEachFollowedByABlank) {
    hb::initFileIoTables();
    AcceleratorBoard board{3, nullptr};
    const char* three[] = {"prog", "-v", "x.dat", nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, three), 0u);
    EXPECT_EQ(commandLineOf(board), "prog -v x.dat ");
    const char* empty[] = {"", nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, empty), 0u);
    EXPECT_EQ(commandLineOf(board), " ");

    const std::string longArgument(299, 'x'); // 300 bytes with its blank
    const char* tooLong[] = {longArgument.c_str(), nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, tooLong), 0u);
    EXPECT_EQ(commandLineOf(board), std::string(255, 'x'));

    const char* none[] = {nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&board, none), 87u);
    EXPECT_EQ(hbFileIoSetCommandLine(&board, nullptr), 87u);
    EXPECT_EQ(hbFileIoSetCommandLine(nullptr, three), 87u);
    EXPECT_EQ(commandLineOf(board), std::string(255, 'x')) << "a refused call changes nothing";

    AcceleratorBoard outside{16, nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&outside, three), 87u);
    AcceleratorBoard negative{-1, nullptr};
    EXPECT_EQ(hbFileIoSetCommandLine(&negative, three), 87u);
}

int32_t customWriter(const void*, int32_t n) {
    return n;
}

TEST(StdOutFunctions, NullRestoresTheDefaults) {
    hb::initFileIoTables();
    AcceleratorBoard board{4, nullptr};
    hb::FileIoBoardSlot& slot = *hb::fileIoSlot(4);
    EXPECT_EQ(hbFileIoSetStdOutFunctions(&board, customWriter, nullptr), 0u);
    EXPECT_EQ(slot.stdoutWriter.load(), &customWriter);
    EXPECT_EQ(slot.stderrWriter.load(), &hb::defaultStderrWriter);
    EXPECT_EQ(hbFileIoSetStdOutFunctions(&board, nullptr, nullptr), 0u);
    EXPECT_EQ(slot.stdoutWriter.load(), &hb::defaultStdoutWriter);
    EXPECT_EQ(hbFileIoSetStdOutFunctions(nullptr, customWriter, customWriter), 87u);
    AcceleratorBoard outside{99, nullptr};
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

TEST(DosDateTime, ConvertsUniversalTimeAndClampsToTheFormat) {
    const hb::DosDateTime example = hb::dosDateTimeFromUnixSeconds(1213537530);
    EXPECT_EQ(example.date, 0x38CF);
    EXPECT_EQ(example.time, 0x6DAF);
    const hb::DosDateTime first = hb::dosDateTimeFromUnixSeconds(315532800);
    EXPECT_EQ(first.date, 0x0021);
    EXPECT_EQ(first.time, 0);
    const hb::DosDateTime leap = hb::dosDateTimeFromUnixSeconds(951825599); // 2000-02-29 11:59:59
    EXPECT_EQ(leap.date, (20 << 9) | (2 << 5) | 29);
    EXPECT_EQ(leap.time, (11 << 11) | (59 << 5) | 29);
    EXPECT_EQ(hb::dosDateTimeFromUnixSeconds(0).date, 0x0021);
    EXPECT_EQ(hb::dosDateTimeFromUnixSeconds(-5).time, 0);
    const hb::DosDateTime last = hb::dosDateTimeFromUnixSeconds(int64_t{1} << 40);
    EXPECT_EQ(last.date, 0xFF9F);
    EXPECT_EQ(last.time, 0xBF7D);
}

} // namespace
