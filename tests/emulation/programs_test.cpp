// The SDK's example programs, booted with hbBootVp onto boards whose VP runs
// them, served by the file-I/O service: console output, files, exit status.
#include "emulated_board_fixture.h"

#include <filesystem>
#include <regex>
#include <sys/stat.h>

using namespace hbtest;
using hb::vboard::EmulatedVpState;

namespace {

class ProgramsTest : public EmulatedBoardTest {};

std::string faultText(const hb::vboard::EmulatedVpStatus& s) {
    return std::string(toString(s.state)) + (s.fault ? ": " + s.fault->text : "");
}

TEST_F(ProgramsTest, HelloSeesItsArgumentsAndTheHostEnvironment) {
    Run r = run(0, "hello", {"world", "\"two words\""});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.status.exitValue, 0u);
    EXPECT_EQ(r.out, "hello from the VP\n"
                     "argv[0] = hello\n"
                     "argv[1] = world\n"
                     "argv[2] = two words\n"
                     "HBVP_GREETING = hello from the host\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(ProgramsTest, ExitStatusOfAFailingProgramReachesTheHost) {
    // copy with a missing source: status 1 and a message on standard error.
    Run r = run(0, "copy", {files_ / "missing", files_ / "target"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.status.exitValue, 1u);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(files_ / "target"));

    // Usage error: status 2.
    r = run(0, "copy", {});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 2);
}

TEST_F(ProgramsTest, CatWritesFilesToStandardOutputInLargeWrites) {
    // 200 KiB: several 64 KiB reads, each split into block-sized requests.
    const std::string a = patternData(200 * 1024 + 17, 1);
    const std::string b = "second file\r\nwith a CR LF\n";
    writeFile(files_ / "a.bin", a);
    writeFile(files_ / "b.txt", b);
    Run r = run(0, "cat", {files_ / "a.bin", files_ / "b.txt"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    ASSERT_EQ(r.out.size(), a.size() + b.size());
    EXPECT_TRUE(r.out == a + b); // the writers get the bytes unchanged
}

TEST_F(ProgramsTest, CopyMakesAnExactCopyOfALargeFile) {
    const std::string data = patternData(3 * 1024 * 1024 + 5, 2);
    writeFile(files_ / "source", data);
    Run r = run(0, "copy", {files_ / "source", files_ / "target"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "copied " + std::to_string(data.size()) + " bytes\n");
    const std::string copied = readFile(files_ / "target");
    ASSERT_EQ(copied.size(), data.size());
    EXPECT_TRUE(copied == data);
}

TEST_F(ProgramsTest, CopyOfAnEmptyFileMakesAnEmptyFile) {
    writeFile(files_ / "empty", "");
    writeFile(files_ / "target", "old content that must go");
    Run r = run(0, "copy", {files_ / "empty", files_ / "target"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(files_ / "target"), "");
}

TEST_F(ProgramsTest, LsListsNamesAttributesSizesAndDates) {
    writeFile(files_ / "one.dat", std::string(1234, 'x'));
    writeFile(files_ / "two.dat", "");
    std::filesystem::create_directory(files_ / "sub.dat");
    writeFile(files_ / "other.txt", "not listed");
    ::chmod((files_ / "two.dat").c_str(), 0444);

    Run r = run(0, "ls", {files_ / "*.dat"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    // "attrs size yyyy-mm-dd hh:mm:ss name" per entry, then the count.
    const std::regex line(R"(([-a-z]{5}) +(\d+) (\d{4})-(\d\d)-(\d\d) \d\d:\d\d:\d\d (\S+))");
    std::map<std::string, std::pair<std::string, std::string>> entries; // name -> attrs, size
    std::istringstream lines(r.out);
    std::string text;
    std::string last;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (std::regex_match(text, m, line)) {
            entries[m[6]] = {m[1], m[2]};
            const int year = std::stoi(m[3]);
            EXPECT_GE(year, 2020) << text; // the files were made just now
            EXPECT_GE(std::stoi(m[4]), 1) << text;
            EXPECT_LE(std::stoi(m[4]), 12) << text;
        }
        last = text;
    }
    EXPECT_EQ(last, "3 entries") << r.out;
    ASSERT_EQ(entries.size(), 3u) << r.out;
    EXPECT_EQ(entries["one.dat"].second, "1234");
    EXPECT_EQ(entries["one.dat"].first[0], '-');
    EXPECT_EQ(entries["two.dat"].second, "0");
    EXPECT_EQ(entries["two.dat"].first[1], 'r'); // read-only
    EXPECT_EQ(entries["sub.dat"].first[0], 'd');
    ::chmod((files_ / "two.dat").c_str(), 0644);

    // A pattern with no match: status 1 and a message.
    clearConsole(0);
    r = run(0, "ls", {files_ / "*.none"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("no match"), std::string::npos);
}

TEST_F(ProgramsTest, SelftestExercisesEveryRequestCode) {
    Run r = run(0, "selftest", {files_.path});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "selftest: stderr works\n");
    EXPECT_NE(r.out.find("selftest: stdout 42 ok beef\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("selftest: 0 failures\n"), std::string::npos) << r.out;
}

TEST_F(ProgramsTest, ProgramsRunOneAfterAnotherOnTheSameBoard) {
    for (int round = 0; round < 3; ++round) {
        clearConsole(0);
        Run r = run(0, "hello", {std::to_string(round)});
        ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
        EXPECT_NE(r.out.find("argv[1] = " + std::to_string(round) + "\n"), std::string::npos);
        EXPECT_EQ(r.status.programsStarted, uint32_t(round + 1));
    }
}

// Each layout: the runtime finds the file-I/O block (and the customer memory
// it moves to) from the board-information page.
class LayoutTest : public EmulatedBoardTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(addBoard(GetParam())); }
};

TEST_P(LayoutTest, SelftestAndCopyWorkWithTheLayoutsFileIoBlock) {
    const int index = GetParam();
    Run r = run(index, "selftest", {files_.path});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    const std::string data = patternData(100 * 1024 + 3, uint32_t(index));
    writeFile(files_ / "source", data);
    clearConsole(index);
    r = run(index, "copy", {files_ / "source", files_ / "target"});
    ASSERT_EQ(r.status.state, EmulatedVpState::Halted) << faultText(r.status);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(readFile(files_ / "target") == data);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, LayoutTest,
                         ::testing::Values(kType1Width1Index, kType1Width2Index, kType2Width4Index),
                         [](const ::testing::TestParamInfo<int>& p) {
                             switch (p.param) {
                             case kType1Width1Index:
                                 return std::string("BusType1Width1");
                             case kType1Width2Index:
                                 return std::string("BusType1Width2");
                             default:
                                 return std::string("BusType2Width4");
                             }
                         });

} // namespace
