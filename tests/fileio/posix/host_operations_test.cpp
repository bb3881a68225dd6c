// Host operations on POSIX: the failures of its own paths, temporary files,
// moves to another file system and the attributes of hidden and special files.
#include "host_operations_cases.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hbtest {

std::vector<FailedOperation> platformFailures() {
    const auto open = [](const char* name, uint32_t flags) {
        return [=](const ScratchDirectory& d) {
            return hb::hostOpen((d / name).c_str(), flags) == -1 ? hbGetLastError() : 0u;
        };
    };
    static const std::string longName(300, 'n');
    return {
        {"open beneath a file", open("exists/file", HB_O_RDONLY), 3},
        {"open a long name", open(longName.c_str(), HB_O_RDONLY), 206},
        {"open access mode 3", open("exists", 3), 87},
        {"truncate read-only", open("exists", HB_O_RDONLY | HB_O_TRUNC), 87},
    };
}

// A trailing dot finds the names without an extension, as on the VP platform;
// a '*' behind the last dot runs to the name's end.
std::vector<PatternCase> platformPatterns() {
    return {{"*.", {".", "..", "noext", "note1", "Sub"}},
            {"*.t*.", {"a.txt", "Alpha.TXT", "beta.txt", "data1.txt", "data12.txt"}}};
}

} // namespace hbtest

namespace {

using hbtest::ScratchDirectory;

TEST(PosixHostOpen, TemporaryFileGoesWhenItsDescriptorClosesAndNoOtherDoes) {
    constexpr uint32_t kTemporary = 0x40;
    ScratchDirectory dir;
    const std::string path = dir / "scratch.tmp";
    const int32_t fd = hb::hostOpen(path.c_str(), HB_O_RDWR | HB_O_CREAT | kTemporary);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the name stays while the file is open";
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // The host application closes a temporary descriptor itself, and its
    // number comes back for another file: closing that one removes nothing.
    const std::string other = dir.write("other", "x");
    const int32_t temporary = hb::hostOpen(path.c_str(), HB_O_RDWR | HB_O_CREAT | kTemporary);
    ASSERT_GE(temporary, 0);
    close(temporary);
    const int32_t reused = hb::hostOpen(other.c_str(), HB_O_RDONLY);
    ASSERT_EQ(reused, temporary);
    EXPECT_EQ(hb::hostClose(reused), 0);
    EXPECT_EQ(dir.read("other"), "x");
}

TEST(PosixHostRename, FileMovesToAnotherFileSystemWholeOrNotAtAll) {
    ScratchDirectory dir;
    struct stat here {};
    struct stat there {};
    if (stat("/dev/shm", &there) != 0 || stat(dir.path().c_str(), &here) != 0 ||
        here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    const ScratchDirectory other("/dev/shm");
    EXPECT_EQ(hb::hostRename(dir.write("a", "moved").c_str(), (other / "a").c_str()), 0u);
    EXPECT_EQ(hb::hostRename(dir.write("b", "B").c_str(), (other / "a").c_str()), 183u);
    EXPECT_EQ(dir.read("a") + dir.read("b") + other.read("a"), "Bmoved") << "never over a file";

    // A copy that fails half-way (the file-size limit) leaves no part behind.
    const std::string big = dir.write("big", std::string(256 * 1024, 'b'));
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    const rlimit limited{64 * 1024, before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const uint32_t failed = hb::hostRename(big.c_str(), (other / "big").c_str());
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(failed, 223u);
    EXPECT_EQ(access((other / "big").c_str(), F_OK), -1);
    EXPECT_EQ(dir.read("big"), std::string(256 * 1024, 'b'));
}

// Of a path and of a search's entry alike; a link to nothing shows its own.
TEST(PosixHostAttributes, FollowTheFileKindPermissionsAndLeadingDot) {
    ScratchDirectory dir;
    dir.write("plain.txt", "x");
    dir.write(".hidden", "x");
    chmod(dir.write("ro", "x").c_str(), 0444);
    mkdir((dir / "sub").c_str(), 0777);
    mkdir((dir / ".h").c_str(), 0777);
    symlink("none", (dir / "dangling").c_str());
    mkfifo((dir / "fifo").c_str(), 0666);
    const struct {
        const char* name;
        uint32_t attributes;
    } cases[] = {
        {"plain.txt", HB_FILE_ATTRIBUTE_ARCHIVE},
        {".hidden", HB_FILE_ATTRIBUTE_ARCHIVE | HB_FILE_ATTRIBUTE_HIDDEN},
        {"ro", HB_FILE_ATTRIBUTE_ARCHIVE | HB_FILE_ATTRIBUTE_READONLY},
        {"sub", HB_FILE_ATTRIBUTE_DIRECTORY},
        {".h/", HB_FILE_ATTRIBUTE_DIRECTORY | HB_FILE_ATTRIBUTE_HIDDEN},
        {"dangling", HB_FILE_ATTRIBUTE_NORMAL}, // the link's own
        {"fifo", HB_FILE_ATTRIBUTE_NORMAL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hb::hostGetAttributes((dir / c.name).c_str()), c.attributes) << c.name;
        hbtest::FoundEntry found;
        hb::hostFindClose(hbtest::findFirst(dir / c.name, found));
        EXPECT_TRUE(c.name[std::strlen(c.name) - 1] == '/' || found.attributes == c.attributes)
            << c.name;
    }
}

} // namespace
