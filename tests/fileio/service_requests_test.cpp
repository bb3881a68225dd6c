// Every request code end to end: the agent posts into the virtual board's
// file-I/O block, event 6 wakes the service thread, the dispatcher answers
// over the driver socket.
#include "little_endian.h"
#include "service_fixture.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using hbtest::RequestAgent;
using hbtest::ServiceFixture;
using Bytes = std::vector<uint8_t>;

class Requests : public ServiceFixture {};

TEST_F(Requests, OpenReadSeekCloseAnswerTheProtocolExample) {
    const std::string path = files_.write("data", std::string(140, 'd'));
    RequestAgent& vp = agent();
    const auto opened = vp.open(path, HB_O_RDONLY);
    ASSERT_GE(opened.value, 0);
    EXPECT_EQ(opened.error, 0u);
    EXPECT_EQ(vp.seek(opened.value, 100, 0).value, 100);

    // Read 100 with 40 left: 40 at 4, 0 at 8, the bytes at 12..51, marker last.
    const auto read = vp.read(opened.value, 100);
    EXPECT_EQ(vp.word(0), RequestAgent::kMarker);
    EXPECT_EQ(read.value, 40);
    EXPECT_EQ(read.error, 0u);
    EXPECT_EQ(read.data, Bytes(40, 'd'));

    const auto atEnd = vp.read(opened.value, 10);
    EXPECT_EQ(atEnd.value, 0);
    EXPECT_EQ(atEnd.error, 0u);
    const auto none = vp.read(opened.value, 0);
    EXPECT_EQ(none.value, 0);
    EXPECT_EQ(none.error, 0u);

    const auto end = vp.seek(opened.value, 0, 2);
    EXPECT_EQ(end.value, 140);
    EXPECT_EQ(end.error, 0u);
    EXPECT_EQ(vp.close(opened.value), 0);
    EXPECT_EQ(vp.close(opened.value), -1);
}

TEST_F(Requests, Open2TakesItsFlagsFromTheOtherWord) {
    RequestAgent& vp = agent();
    const std::string path = files_ / "created";
    const auto opened = vp.open2(path, HB_O_CREAT | HB_O_RDWR);
    ASSERT_GE(opened.value, 0);
    const auto written = vp.write(opened.value, "hello");
    EXPECT_EQ(written.value, 5);
    EXPECT_EQ(written.error, 0u);
    EXPECT_EQ(vp.close(opened.value), 0);
    EXPECT_EQ(files_.read("created"), "hello");
    EXPECT_EQ(vp.attributes(path).value & HB_FILE_ATTRIBUTE_READONLY, 0);
}

TEST_F(Requests, ErrorWordsFollowTheWin32Numbering) {
    RequestAgent& vp = agent();
    const std::string existing = files_.write("existing", "x");
    files_.write("other", "y");
    mkdir((files_ / "dir").c_str(), 0777);

    struct OpenCase {
        std::string path;
        uint32_t flags, error;
    } opens[] = {
        {files_ / "missing", HB_O_RDONLY, 2},
        {files_ / "nodir/file", HB_O_RDONLY, 3},
        {existing, HB_O_CREAT | HB_O_EXCL | HB_O_WRONLY, 80},
        {files_ / "dir", HB_O_WRONLY, 5},
    };
    for (const auto& c : opens) {
        const auto answer = vp.open(c.path, c.flags);
        EXPECT_EQ(answer.value, -1) << c.path;
        EXPECT_EQ(answer.error, c.error) << c.path;
    }
    EXPECT_EQ(vp.read(987, 4).error, 9u);
    EXPECT_EQ(vp.read(987, 4).value, -1);
    EXPECT_EQ(vp.write(987, "x").error, 9u);
    const auto seekBad = vp.seek(987, 0, 0);
    EXPECT_EQ(seekBad.value, -1);
    EXPECT_EQ(seekBad.error, 9u);

    const auto fd = vp.open(existing, HB_O_RDONLY).value;
    const auto badOrigin = vp.seek(fd, 0, 3);
    EXPECT_EQ(badOrigin.value, -1);
    EXPECT_EQ(badOrigin.error, 87u);
    vp.close(fd);

    EXPECT_EQ(vp.rename(existing, files_ / "other"), 183u);
    EXPECT_EQ(files_.read("existing"), "x");
    EXPECT_EQ(files_.read("other"), "y");
    EXPECT_EQ(vp.remove(files_ / "missing"), 2u);
    EXPECT_EQ(vp.remove(files_ / "dir"), 5u);

    const auto missingAttributes = vp.attributes(files_ / "missing");
    EXPECT_EQ(missingAttributes.error, 2u);
    EXPECT_EQ(static_cast<uint32_t>(missingAttributes.value), 0xFFFFFFFFu);
    EXPECT_EQ(vp.findFirst(files_ / "*.none").handleOrError, 0xFFFFFFFFu);
}

TEST_F(Requests, DeleteRenameAndAttributes) {
    RequestAgent& vp = agent();
    const std::string a = files_.write("a", "A");
    mkdir((files_ / "sub").c_str(), 0777);
    EXPECT_EQ(vp.rename(a, files_ / "sub/b"), 0u);
    EXPECT_EQ(files_.read("sub/b"), "A");
    const auto attributes = vp.attributes(files_ / "sub");
    EXPECT_EQ(attributes.error, 0u);
    EXPECT_EQ(static_cast<uint32_t>(attributes.value), HB_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(vp.remove(files_ / "sub/b"), 0u);
    EXPECT_NE(access((files_ / "sub/b").c_str(), F_OK), 0);
}

TEST_F(Requests, BackslashesSeparateAndADriveNeedsARoot) {
    RequestAgent& vp = agent();
    mkdir((files_ / "sub").c_str(), 0777);
    std::string base = files_.path();
    for (char& c : base)
        if (c == '/')
            c = '\\';
    const auto created = vp.open(base + "\\sub\\file.txt", HB_O_CREAT | HB_O_WRONLY);
    ASSERT_GE(created.value, 0);
    EXPECT_EQ(vp.write(created.value, "x").value, 1);
    vp.close(created.value);
    EXPECT_EQ(files_.read("sub/file.txt"), "x") << "no name with a backslash in it";
    EXPECT_EQ(vp.attributes(base + "\\sub").value,
              static_cast<int32_t>(HB_FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(vp.findFirst(base + "\\sub\\*.txt").name, "file.txt");
    EXPECT_EQ(vp.rename(base + "\\sub\\file.txt", base + "\\sub\\moved.txt"), 0u);
    EXPECT_EQ(vp.remove(base + "\\sub\\moved.txt"), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(files_ / "sub"));

    // Without a root directory a drive names no place on this host.
    const std::string drive = "C:\\" + files_.path();
    EXPECT_EQ(vp.open(drive, HB_O_RDONLY).error, HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(vp.remove(drive), HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(vp.rename(drive, files_ / "x"), HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(vp.attributes(drive).error, HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(vp.findFirst(drive + "\\*").handleOrError, 0xFFFFFFFFu);
}

TEST_F(Requests, WriteToAPipeWithoutReaderNeverEndsTheHostProcess) {
    // A host application of its own, which keeps SIGPIPE's default action.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL);
            alarm(20); // a hang fails too
            int pipeEnds[2];
            if (pipe(pipeEnds) != 0)
                std::_Exit(2);
            ::close(pipeEnds[0]);
            const auto answer = agent().write(pipeEnds[1], "lost");
            if (answer.value != -1 || answer.error != 109)
                std::_Exit(3);
            // Standard output a pipe whose reader is gone: the default writer's
            // stream meets it on the service thread once its buffer is full.
            if (pipe(pipeEnds) != 0 || dup2(pipeEnds[1], 1) != 1)
                std::_Exit(2);
            ::close(pipeEnds[0]);
            const std::string line(400, 'o');
            for (int i = 0; i < 40; ++i)
                agent().write(1, line);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Requests, FindRecordLayoutAndListing) {
    RequestAgent& vp = agent();
    const std::string file = files_.write("Entry.TXT", std::string(77, 'e'));
    const timespec stamp[2] = {{1213537530, 0}, {1213537530, 0}};
    utimensat(AT_FDCWD, file.c_str(), stamp, 0);

    const auto first = vp.findFirst(files_ / "*.txt");
    ASSERT_NE(first.handleOrError, 0xFFFFFFFFu);
    ASSERT_NE(first.handleOrError, 0u);
    // Raw offsets of the record inside the block.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vp.readBlock(4, 10).data()), 10),
              std::string("Entry.TXT\0", 10));
    EXPECT_EQ(vp.word(268), HB_FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(vp.word(272), 0x6DAFu);
    EXPECT_EQ(vp.word(276), 0x38CFu);
    EXPECT_EQ(vp.word(280), 77u);
    EXPECT_EQ(vp.word(284), first.handleOrError);

    const auto next = vp.findNext(first.handleOrError);
    EXPECT_EQ(next.handleOrError, 18u);
    vp.findClose(first.handleOrError);
    EXPECT_EQ(vp.findNext(first.handleOrError).handleOrError, 6u);

    std::vector<std::string> names;
    auto entry = vp.findFirst(files_ / "*.*");
    const uint32_t search = entry.handleOrError;
    while (entry.handleOrError != 18u) {
        names.push_back(entry.name);
        entry = vp.findNext(search);
    }
    vp.findClose(search);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "Entry.TXT"}));
}

TEST_F(Requests, EnvironmentBlockAndItsCuts) {
    setenv("HBFILEIO_E2E", "1", 1);
    RequestAgent& vp = agent();
    const uint32_t length = vp.environmentSize();
    ASSERT_GT(length, 8u);
    uint32_t count = 0;
    const Bytes whole = vp.environment(length + 100, &count);
    EXPECT_EQ(count, length);
    ASSERT_EQ(whole.size(), length);
    EXPECT_EQ(whole[length - 1], 0);
    EXPECT_EQ(whole[length - 2], 0);
    const std::string text(whole.begin(), whole.end());
    EXPECT_NE(text.find(std::string("HBFILEIO_E2E=1\0", 15)), std::string::npos);

    const Bytes six = vp.environment(6, &count);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(six[4], 0);
    EXPECT_EQ(six[5], 0);
    EXPECT_TRUE(std::equal(six.begin(), six.begin() + 4, whole.begin()));

    // A maximum of 1: one byte, the terminating zero, and nothing before it.
    const Bytes one = vp.environment(1, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(one, Bytes{0});
    EXPECT_EQ(vp.environment(0, &count).size(), 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(Requests, CommandLineIsJoinedAndCut) {
    const char* arguments[] = {"a", "bb", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), arguments), 0u);
    EXPECT_EQ(agent().commandLine(), "a bb ");
    const std::string longArgument(299, 'z');
    const char* tooLong[] = {longArgument.c_str(), nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), tooLong), 0u);
    EXPECT_EQ(agent().commandLine(), std::string(255, 'z'));
    EXPECT_EQ(agent().readBlock(4 + 255, 1), Bytes{0});
}

TEST_F(Requests, ExitStoresTheLowByteAndWakesTheWaiter) {
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), 0);
    agent().exit(0x134);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), 0x34);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), 0x34);
    agent().exit(200);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), -56);
    // The service goes on after Exit.
    EXPECT_EQ(agent().environmentSize() > 0, true);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), -0.5), -1);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), std::nan("")), -1);
    agent().exit(0);
}

TEST_F(Requests, UnknownCodesAndEmptyWakeUpsGetTheMarkerAlone) {
    RequestAgent& vp = agent();
    for (uint32_t code : {0u, 6u, 14u, 25u, 0x12345678u, 0xFFFFFFFFu}) {
        Bytes block(HB_FILEIO_BLOCK_SIZE, 0xAB);
        hb::putLe32(block.data(), code);
        ASSERT_TRUE(vp.post(block.data(), static_cast<uint32_t>(block.size()))) << code;
        EXPECT_EQ(vp.readBlock(4, 524), Bytes(524, 0xAB)) << code;
    }
}

TEST_F(Requests, CountsNeverReachPastTheBuffer) {
    RequestAgent& vp = agent();
    const uint32_t room = vp.layout().size - 12;
    const std::string path = files_.write("big", std::string(room + 500, 'b'));
    const int32_t fd = vp.open(path, HB_O_RDWR).value;
    const auto read = vp.read(fd, static_cast<int32_t>(room + 400));
    EXPECT_EQ(read.value, static_cast<int32_t>(room)) << "cut to the buffer";
    EXPECT_EQ(read.error, 0u);
    const auto refused =
        vp.write(fd, std::string(room + 1, 'w').data(), static_cast<int32_t>(room + 1));
    EXPECT_EQ(refused.value, 0);
    EXPECT_EQ(refused.error, 87u);
    const auto negative = vp.write(fd, "x", -5);
    EXPECT_EQ(negative.value, 0);
    EXPECT_EQ(negative.error, 87u);
    vp.close(fd);
    EXPECT_EQ(files_.read("big"), std::string(room + 500, 'b'));
}

TEST_F(Requests, CloseOfANeverOpenedDescriptorFails) {
    EXPECT_EQ(agent().close(4321), -1);
}

TEST_F(Requests, UseCustomerMemoryMovesTheBlock) {
    RequestAgent& vp = agent();
    const auto before = vp.layout();
    vp.useCustomerMemory(5);
    EXPECT_TRUE(vp.answered()) << "the marker stood at the old place";
    const auto after = vp.layout();
    EXPECT_NE(before.offset, after.offset);
    uint32_t size = 0;
    EXPECT_EQ(hb_GetFileIoBuffer(board(), &size), after.offset);
    EXPECT_GT(vp.environmentSize(), 0u) << "the next request is read at the new place";
    vp.useCustomerMemory(0);
    EXPECT_EQ(hb_GetFileIoBuffer(board(), &size), before.offset);
}

// Output of descriptors 1 and 2.
std::string installedOut;
int32_t captureOut(const void* data, int32_t length) {
    installedOut.append(static_cast<const char*>(data), static_cast<size_t>(length));
    return length;
}
int32_t refuseAll(const void*, int32_t) {
    return -1;
}

TEST_F(Requests, DefaultWritersStripCarriageReturns) {
    testing::internal::CaptureStdout();
    const auto written = agent().write(1, "a\r\nb\r\n");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb\n");
    EXPECT_EQ(written.value, 6);
    EXPECT_EQ(written.error, 0u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(agent().write(2, "e\r\n").value, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "e\n");
    EXPECT_EQ(agent().write(1, "", 0).value, 0);
}

TEST_F(Requests, InstalledWritersGetTheBytesUnchanged) {
    installedOut.clear();
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), captureOut, refuseAll), 0u);
    EXPECT_EQ(agent().write(1, "x\r\ny").value, 4);
    EXPECT_EQ(installedOut, "x\r\ny");
    const auto refused = agent().write(2, "zz");
    EXPECT_EQ(refused.value, -1);
    EXPECT_EQ(refused.error, 1006u);
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), nullptr, nullptr), 0u);
}

// A board whose file-I/O buffer (320 bytes) is smaller than the block.
class SmallBuffer : public ServiceFixture {
  protected:
    void SetUp() override {
        hb::vboard::BoardConfig config;
        config.boardType = 27;
        config.busWidth = 1;
        addBoard(1, config);
    }
};

TEST_F(SmallBuffer, NothingIsWrittenOutsideTheBuffer) {
    RequestAgent& vp = agent(1);
    const auto where = vp.layout();
    ASSERT_EQ(where.size, 0x140u);
    hb::vboard::Board& shared = virtualBoard(1);
    const uint32_t around = 0x100;
    const Bytes fence(around, 0x5A);
    shared.writeShared(where.offset + where.size, fence.data(), around);
    shared.writeShared(where.offset - around, fence.data(), around);

    const std::string path = files_.write("f", std::string(1000, 'q'));
    const int32_t fd = vp.open(path, HB_O_RDONLY).value;
    EXPECT_EQ(vp.read(fd, 1000).value, static_cast<int32_t>(where.size - 12));
    uint32_t count = 0;
    vp.environment(100000, &count);
    EXPECT_LE(count, where.size - 8);
    vp.close(fd);

    Bytes after(around), before(around);
    shared.readShared(where.offset + where.size, after.data(), around);
    shared.readShared(where.offset - around, before.data(), around);
    EXPECT_EQ(after, fence);
    EXPECT_EQ(before, fence);
}

} // namespace
