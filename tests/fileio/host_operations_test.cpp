// Host operations against a scratch directory: open flags, the runtime-call
// pattern's codes, the errno -> Win32 mapping, searches and attributes.
#include "fileio/host_operations.h"
#include "scratch_directory.h"
#include "support/host_operations_without_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using hbtest::ScratchDirectory;

struct FoundEntry {
    char name[hb::kFindNameSize] = {};
    uint32_t attributes = 0, sizeLow = 0, dosDate = 0, dosTime = 0;
};

uint32_t findFirst(const std::string& pattern, FoundEntry& entry) {
    return hb::hostFindFirst(pattern.c_str(), entry.name, &entry.attributes, &entry.sizeLow,
                             &entry.dosDate, &entry.dosTime);
}

std::vector<std::string> listAll(const std::string& pattern) {
    std::vector<std::string> names;
    FoundEntry entry;
    const uint32_t search = findFirst(pattern, entry);
    if (search == 0xFFFFFFFFu)
        return names;
    do {
        names.emplace_back(entry.name);
    } while (hb::hostFindNext(search, entry.name, &entry.attributes, &entry.sizeLow, &entry.dosDate,
                              &entry.dosTime) == 0);
    EXPECT_EQ(hbGetLastError(), 18u);
    EXPECT_EQ(hb::hostFindClose(search), 0u);
    return names;
}

TEST(HostOpen, TranslatesTheRuntimeFlagsAndCreatesWritableFiles) {
    ScratchDirectory dir;
    const std::string path = dir / "new.bin";
    // Write-only with the VP's own bit 15 and create: a writable, not read-only file.
    const int32_t fd = hb::hostOpen(path.c_str(), 0x8001 | HB_O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(hb::hostGetAttributes(path.c_str()) & HB_FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(hb::hostWrite(fd, "a\r\nb", 4, nullptr, nullptr), 4); // untranslated
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_EQ(dir.read("new.bin"), "a\r\nb");

    // Bit 16 dropped: read-write.
    const int32_t rw = hb::hostOpen(path.c_str(), 0x10002);
    ASSERT_GE(rw, 0);
    EXPECT_EQ(fcntl(rw, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(hb::hostClose(rw), 0);

    // Append and truncate.
    const int32_t app = hb::hostOpen(path.c_str(), HB_O_WRONLY | HB_O_APPEND);
    EXPECT_EQ(hb::hostWrite(app, "!", 1, nullptr, nullptr), 1);
    hb::hostClose(app);
    EXPECT_EQ(dir.read("new.bin"), "a\r\nb!");
    const int32_t trunc = hb::hostOpen(path.c_str(), HB_O_WRONLY | HB_O_TRUNC);
    hb::hostClose(trunc);
    EXPECT_EQ(dir.read("new.bin"), "");
}

TEST(HostPaths, FailuresCarryWin32CodesAndChangeNothing) {
    ScratchDirectory dir;
    const std::string exists = dir.write("exists", "x"), readOnly = dir.write("ro", "x");
    chmod(readOnly.c_str(), 0444);
    mkdir((dir / "sub").c_str(), 0777);
    const auto open = [](const std::string& path, uint32_t flags) {
        return [=] { return hb::hostOpen(path.c_str(), flags) == -1 ? hbGetLastError() : 0u; };
    };
    const struct {
        const char* what;
        std::function<uint32_t()> fail;
        uint32_t code;
    } cases[] = {
        {"open beneath a file", open(dir / "exists/file", HB_O_RDONLY), 3},
        {"open a directory", open(dir / "sub", HB_O_RDONLY), 5},
        {"open a long name", open(dir / std::string(300, 'n'), HB_O_RDONLY), 206},
        {"open access mode 3", open(exists, 3), 87},
        {"truncate read-only", open(exists, HB_O_RDONLY | HB_O_TRUNC), 87},
        {"delete beneath missing", [&] { return hb::hostDelete((dir / "no/f").c_str()); }, 3},
        {"delete read-only", [&] { return hb::hostDelete(readOnly.c_str()); }, 5},
        {"rename beneath missing",
         [&] { return hb::hostRename(exists.c_str(), (dir / "no/c").c_str()); }, 3},
    };
    for (const auto& c : cases) {
        hbSetLastError(0);
        EXPECT_EQ(c.fail(), c.code) << c.what;
        EXPECT_EQ(hbGetLastError(), c.code) << c.what;
    }
    EXPECT_EQ(dir.read("exists") + dir.read("ro"), "xx");
}

TEST(HostOpen, TemporaryFileGoesWhenItsDescriptorClosesAndNoOtherDoes) {
    constexpr uint32_t kTemporary = 0x40;
    ScratchDirectory dir;
    const std::string path = dir / "scratch.tmp";
    const int32_t fd = hb::hostOpen(path.c_str(), HB_O_RDWR | HB_O_CREAT | kTemporary);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hb::hostWrite(fd, "abc", 3, nullptr, nullptr), 3);
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

TEST(HostRuntimeCalls, ReportTheirOwnCodes) {
    ScratchDirectory dir;
    const std::string path = dir.write("ten", "0123456789");
    const int32_t fd = hb::hostOpen(path.c_str(), HB_O_RDONLY);
    char buffer[16];
    // A short read returns the count, with the mapping's 1006 left behind.
    EXPECT_EQ(hb::hostRead(fd, buffer, 16), 10);
    EXPECT_EQ(hbGetLastError(), 1006u);
    EXPECT_EQ(hb::hostSeek(fd, 0, 2), 10);
    EXPECT_EQ(hb::hostSeek(fd, -4, 1), 6);
    EXPECT_EQ(hb::hostSeek(fd, 0, 3), -1);
    EXPECT_EQ(hbGetLastError(), 87u);
    EXPECT_EQ(hb::hostSeek(fd, -100, 0), -1);
    EXPECT_EQ(hbGetLastError(), 87u);
    EXPECT_EQ(hb::hostSeek(fd, 0, 1), 6) << "a failed seek does not move";
    // Writing to a read-only descriptor: EBADF, carried over as 9.
    EXPECT_EQ(hb::hostWrite(fd, "x", 1, nullptr, nullptr), -1);
    EXPECT_EQ(hbGetLastError(), 9u);
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_EQ(hb::hostClose(fd), -1);
    EXPECT_EQ(hbGetLastError(), 9u);
    EXPECT_EQ(hb::hostRead(fd, buffer, 1), -1);
    EXPECT_EQ(hbGetLastError(), 9u);
    EXPECT_EQ(hb::hostSeek(fd, 0, 0), -1);
    EXPECT_EQ(hbGetLastError(), 9u);
}

TEST(HostRuntimeCalls, StaleErrnoNeverDecidesTheMapping) {
    int32_t (*shortWriter)(const void*, int32_t) = [](const void*, int32_t n) { return n - 1; };
    errno = EBADF;
    hbSetLastError(55);
    EXPECT_EQ(hb::hostWrite(1, "abc", 3, shortWriter, nullptr), 2);
    EXPECT_EQ(hbGetLastError(), 1006u);
}

// A scratch directory on /dev/shm, when that is another file system than
// the temporary directory's.
class OtherFileSystem {
  public:
    OtherFileSystem() {
        char pattern[] = "/dev/shm/hbfileio-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
    }
    ~OtherFileSystem() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    bool differsFrom(const std::string& other) const {
        struct stat here {};
        struct stat there {};
        return !path_.empty() && stat(path_.c_str(), &here) == 0 &&
               stat(other.c_str(), &there) == 0 && here.st_dev != there.st_dev;
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HostRename, FileMovesToAnotherFileSystemWholeOrNotAtAll) {
    ScratchDirectory dir;
    OtherFileSystem other;
    if (!other.differsFrom(dir.path()))
        GTEST_SKIP() << "no second file system at /dev/shm";
    const std::string source = dir.write("a", "moved content");
    const timespec times[2] = {{1213537530, 0}, {1213537530, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    ASSERT_EQ(hb::hostRename(source.c_str(), (other / "a").c_str()), 0u);
    EXPECT_NE(access(source.c_str(), F_OK), 0);
    struct stat moved {};
    ASSERT_EQ(stat((other / "a").c_str(), &moved), 0);
    EXPECT_EQ(moved.st_mtim.tv_sec, 1213537530);
    EXPECT_EQ(contentOf(other / "a"), "moved content");

    // Never over an existing file; directories do not cross.
    const std::string second = dir.write("b", "B");
    EXPECT_EQ(hb::hostRename(second.c_str(), (other / "a").c_str()), 183u);
    EXPECT_EQ(dir.read("b"), "B");
    mkdir((dir / "d").c_str(), 0777);
    EXPECT_EQ(hb::hostRename((dir / "d").c_str(), (other / "d").c_str()), 17u);

    // A copy that fails half-way (the file-size limit) leaves no part behind.
    const std::string big = dir.write("big", std::string(256 * 1024, 'b'));
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const uint32_t failed = hb::hostRename(big.c_str(), (other / "big").c_str());
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(failed, 223u);
    EXPECT_NE(access((other / "big").c_str(), F_OK), 0);
    EXPECT_EQ(dir.read("big"), std::string(256 * 1024, 'b'));
}

TEST(HostAttributes, FollowTheFileKindAndPermissions) {
    ScratchDirectory dir;
    const std::string file = dir.write("plain.txt", "x");
    const std::string hidden = dir.write(".hidden", "x");
    const std::string readOnly = dir.write("ro", "x");
    chmod(readOnly.c_str(), 0444);
    mkdir((dir / "sub").c_str(), 0777);
    mkfifo((dir / "fifo").c_str(), 0666);
    EXPECT_EQ(hb::hostGetAttributes(file.c_str()), HB_FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(hb::hostGetAttributes(hidden.c_str()),
              HB_FILE_ATTRIBUTE_ARCHIVE | HB_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(hb::hostGetAttributes(readOnly.c_str()),
              HB_FILE_ATTRIBUTE_ARCHIVE | HB_FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(hb::hostGetAttributes((dir / "sub").c_str()), HB_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(hb::hostGetAttributes((dir / "sub/").c_str()), HB_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(hb::hostGetAttributes((dir / "fifo").c_str()), HB_FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(hb::hostGetAttributes((dir / "none").c_str()), HB_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(hbGetLastError(), 2u);
    EXPECT_EQ(hb::hostGetAttributes((dir / "none/x").c_str()), HB_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(hbGetLastError(), 3u);
}

TEST(HostFind, UsesTheWildcardRulesOfTheVpPlatform) {
    ScratchDirectory dir;
    for (const char* name : {"Alpha.TXT", "beta.txt", "gamma.dat", "noext", "a.b.c"})
        dir.write(name, "x");
    mkdir((dir / "Sub").c_str(), 0777);
    using Names = std::vector<std::string>;
    EXPECT_EQ(listAll(dir / "*"),
              (Names{".", "..", "a.b.c", "Alpha.TXT", "beta.txt", "gamma.dat", "noext", "Sub"}));
    EXPECT_EQ(listAll(dir / "*.*"), listAll(dir / "*"));
    EXPECT_EQ(listAll(dir / "*.txt"), (Names{"Alpha.TXT", "beta.txt"}));
    EXPECT_EQ(listAll(dir / "?eta.*"), (Names{"beta.txt"}));
    EXPECT_EQ(listAll(dir / "noext.*"), (Names{"noext"}));
    EXPECT_EQ(listAll(dir / "SUB"), (Names{"Sub"}));
    EXPECT_EQ(listAll(dir / "*.c"), (Names{"a.b.c"}));
    EXPECT_EQ(listAll(dir / "a*c"), (Names{"a.b.c"}));
}

TEST(HostFind, QuestionMarksAndTrailingDotsMatchAsOnTheVpPlatform) {
    ScratchDirectory dir;
    for (const char* name : {"data.txt", "data1.txt", "data12.txt", "note", "note1", "a.txt"})
        dir.write(name, "x");
    using Names = std::vector<std::string>;
    EXPECT_EQ(listAll(dir / "*."), (Names{".", "..", "note", "note1"}));
    EXPECT_EQ(listAll(dir / "data?.txt"), (Names{"data.txt", "data1.txt"}));
    EXPECT_EQ(listAll(dir / "note?"), (Names{"note", "note1"}));
    EXPECT_EQ(listAll(dir / "*.*").size(), 8u);
    EXPECT_EQ(listAll(dir / "?.txt"), (Names{"a.txt"}));
    EXPECT_EQ(listAll(dir / "data*.txt"), (Names{"data.txt", "data1.txt", "data12.txt"}));
}

TEST(HostFind, FailuresAndEntryFields) {
    ScratchDirectory dir;
    FoundEntry entry;
    std::memcpy(entry.name, "untouched", 10);
    EXPECT_EQ(findFirst(dir / "*.none", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), 2u);
    EXPECT_EQ(findFirst(dir / "nodir/*", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), 3u);
    EXPECT_STREQ(entry.name, "untouched");
    EXPECT_EQ(hb::hostFindNext(12345, entry.name, &entry.attributes, &entry.sizeLow, &entry.dosDate,
                               &entry.dosTime),
              6u);
    EXPECT_EQ(hb::hostFindClose(12345), 6u);

    // 15 June 2008 13:45:30 universal time, 5 GiB + 3 bytes.
    const std::string big = dir / "big";
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, (5LL << 30) + 3), 0);
    const timespec times[2] = {{1213537530, 0}, {1213537530, 0}};
    futimens(fd, times);
    close(fd);
    const uint32_t search = findFirst(big, entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    EXPECT_STREQ(entry.name, "big");
    EXPECT_EQ(entry.sizeLow, 0x40000003u);
    EXPECT_EQ(entry.dosDate, 0x38CFu);
    EXPECT_EQ(entry.dosTime, 0x6DAFu);
    EXPECT_EQ(entry.attributes, HB_FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(hb::hostFindNext(search, entry.name, &entry.attributes, &entry.sizeLow,
                               &entry.dosDate, &entry.dosTime),
              18u);
    EXPECT_STREQ(entry.name, "big") << "a failed step writes nothing";
    EXPECT_EQ(hb::hostFindClose(search), 0u);
    EXPECT_EQ(hb::hostFindClose(search), 6u);
}

} // namespace
