// Host operations against a scratch directory, on every platform: opens, the
// runtime calls' codes, the Win32 codes of failed path operations, searches
// and their entries. Cases of one platform's own files are in posix/, win32/.
#include "host_operations_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <tuple>

namespace {

using hbtest::FailedOperation;
using hbtest::findFirst;
using hbtest::findNext;
using hbtest::FoundEntry;
using hbtest::ScratchDirectory;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

// Every name a search of `pattern` delivers, in the VP platform's order.
Names listAll(const std::string& pattern) {
    Names names;
    FoundEntry entry;
    const uint32_t search = findFirst(pattern, entry);
    if (search == 0xFFFFFFFFu)
        return names;
    do {
        names.emplace_back(entry.name);
    } while (findNext(search, entry) == 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_NO_MORE_FILES);
    EXPECT_EQ(hb::hostFindClose(search), 0u);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](char x, char y) { return std::tolower(x) < std::tolower(y); });
    });
    return names;
}

void setReadOnly(const std::string& path, bool readOnly) {
    fs::permissions(path, fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

TEST(HostOpen, TranslatesTheRuntimeFlagsAndCreatesWritableUntranslatedFiles) {
    ScratchDirectory dir;
    const std::string path = dir / "new.bin";
    // Write-only, with the VP's own bit 15, the runtime's text bit and create.
    const int32_t fd = hb::hostOpen(path.c_str(), 0x8001 | 0x4000 | HB_O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hb::hostGetAttributes(path.c_str()) & HB_FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(hb::hostWrite(fd, "a\r\nb\x1a", 5, nullptr, nullptr), 5);
    char content[8] = {};
    EXPECT_EQ(hb::hostRead(fd, content, 1), -1) << "write-only";
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_EQ(dir.read("new.bin"), "a\r\nb\x1a");

    // Bit 16 dropped: read-write, no end-of-file mark, no line-end change.
    const int32_t rw = hb::hostOpen(path.c_str(), 0x10002);
    ASSERT_GE(rw, 0);
    EXPECT_EQ(hb::hostRead(rw, content, 8), 5);
    EXPECT_STREQ(content, "a\r\nb\x1a");
    EXPECT_EQ(hb::hostWrite(rw, "c", 1, nullptr, nullptr), 1);
    EXPECT_EQ(hb::hostClose(rw), 0);

    const int32_t app = hb::hostOpen(path.c_str(), HB_O_WRONLY | HB_O_APPEND);
    EXPECT_EQ(hb::hostWrite(app, "!", 1, nullptr, nullptr), 1);
    hb::hostClose(app);
    EXPECT_EQ(dir.read("new.bin"), "a\r\nb\x1a"
                                   "c!");
    hb::hostClose(hb::hostOpen(path.c_str(), HB_O_WRONLY | HB_O_TRUNC));
    EXPECT_EQ(dir.read("new.bin"), "");
}

uint32_t openError(const std::string& path, uint32_t flags) {
    return hb::hostOpen(path.c_str(), flags) == -1 ? hbGetLastError() : 0u;
}

uint32_t attributesError(const std::string& path) {
    return hb::hostGetAttributes(path.c_str()) == HB_INVALID_FILE_ATTRIBUTES ? hbGetLastError() : 0;
}

TEST(HostPaths, FailuresCarryWin32CodesAndChangeNothing) {
    using D = const ScratchDirectory&;
    std::vector<FailedOperation> cases = {
        {"open missing", [](D d) { return openError(d / "missing", HB_O_RDONLY); }, 2},
        {"open beneath missing", [](D d) { return openError(d / "no/f", HB_O_RDONLY); }, 3},
        {"open a directory", [](D d) { return openError(d / "sub", HB_O_RDONLY); }, 5},
        {"open exclusive existing",
         [](D d) { return openError(d / "exists", HB_O_WRONLY | HB_O_CREAT | HB_O_EXCL); }, 80},
        {"delete missing", [](D d) { return hb::hostDelete((d / "missing").c_str()); }, 2},
        {"delete beneath missing", [](D d) { return hb::hostDelete((d / "no/f").c_str()); }, 3},
        {"delete a directory", [](D d) { return hb::hostDelete((d / "sub").c_str()); }, 5},
        {"delete read-only",
         [](D d) {
             setReadOnly(d / "exists", true);
             const uint32_t code = hb::hostDelete((d / "exists").c_str());
             setReadOnly(d / "exists", false);
             return code;
         },
         5},
        {"rename onto existing",
         [](D d) { return hb::hostRename((d / "exists").c_str(), d.write("b", "b").c_str()); },
         183},
        {"rename beneath missing",
         [](D d) { return hb::hostRename((d / "exists").c_str(), (d / "no/c").c_str()); }, 3},
        {"attributes of missing", [](D d) { return attributesError(d / "missing"); }, 2},
        {"attributes beneath missing", [](D d) { return attributesError(d / "no/f"); }, 3},
    };
    for (const FailedOperation& row : hbtest::platformFailures())
        cases.push_back(row);
    for (const auto& c : cases) {
        ScratchDirectory dir;
        dir.write("exists", "x");
        fs::create_directory(dir / "sub");
        hbSetLastError(0);
        EXPECT_EQ(c.fail(dir), c.code) << c.what;
        EXPECT_EQ(hbGetLastError(), c.code) << c.what;
        EXPECT_EQ(dir.read("exists"), "x") << c.what;
    }
}

TEST(HostPaths, RenameMovesFilesAndDirectoriesAndDeleteRemovesAFile) {
    ScratchDirectory dir;
    fs::create_directory(dir / "sub");
    EXPECT_EQ(hb::hostRename(dir.write("a", "first").c_str(), (dir / "sub/c").c_str()), 0u);
    EXPECT_EQ(hb::hostRename((dir / "sub").c_str(), (dir / "sub2").c_str()), 0u);
    EXPECT_EQ(dir.read("sub2/c"), "first");
    EXPECT_EQ(hb::hostDelete((dir / "sub2/c").c_str()), 0u);
    EXPECT_FALSE(fs::exists(dir / "sub2/c"));
}

TEST(HostRuntimeCalls, ShortReadsRefusedSeeksAndBadDescriptorsReportTheirOwnCodes) {
    ScratchDirectory dir;
    const int32_t fd = hb::hostOpen(dir.write("ten", "0123456789").c_str(), HB_O_RDONLY);
    char buffer[16];
    // A short read returns the count, with the mapping's 1006 left behind.
    EXPECT_EQ(hb::hostRead(fd, buffer, 16), 10);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeFileInvalid);
    EXPECT_EQ(hb::hostRead(fd, buffer, 16), 0);
    EXPECT_EQ(hb::hostSeek(fd, 0, 2), 10);
    EXPECT_EQ(hb::hostSeek(fd, -4, 1), 6);
    // Refused seeks stay put: a bad origin, a negative position, a position
    // past what a signed 32-bit answer holds.
    EXPECT_EQ(hb::hostSeek(fd, 0x7FFFFFFE, 0), 0x7FFFFFFE);
    for (const auto& [offset, origin] : {std::pair{0, 3}, {-100, 0}, {2, 1}}) {
        EXPECT_EQ(hb::hostSeek(fd, offset, origin), -1) << offset << " from " << origin;
        EXPECT_EQ(hbGetLastError(), hb::kRuntimeInvalidArgument);
        EXPECT_EQ(hb::hostSeek(fd, 0, 1), 0x7FFFFFFE) << offset << " from " << origin;
    }
    EXPECT_EQ(hb::hostWrite(fd, "x", 1, nullptr, nullptr), -1) << "read-only";
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostClose(fd), 0);
    const std::function<int32_t(int32_t)> calls[] = {
        [](int32_t d) { return hb::hostClose(d); },
        [&](int32_t d) { return hb::hostRead(d, buffer, 1); },
        [](int32_t d) { return hb::hostWrite(d, "x", 1, nullptr, nullptr); },
        [](int32_t d) { return hb::hostSeek(d, 0, 0); },
    };
    for (const int32_t bad : {fd, 1234, -5}) {
        for (const auto& call : calls) {
            hbSetLastError(0);
            EXPECT_EQ(call(bad), -1) << bad;
            EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor) << bad;
        }
    }
}

// Which writer each console descriptor reaches: service_requests_test.
TEST(HostWrite, AShortConsoleWriteKeepsItsCountAndStaleErrnoNeverDecidesTheMapping) {
    errno = EBADF;
    hbSetLastError(55);
    const auto shortWriter = [](const void*, int32_t n) { return n - 1; };
    EXPECT_EQ(hb::hostWrite(1, "abc", 3, shortWriter, nullptr), 2);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeFileInvalid);
}

TEST(HostFind, UsesTheWildcardRulesOfTheVpPlatform) {
    ScratchDirectory dir;
    // The same names as the platform rows' (platformPatterns).
    for (const char* name :
         {"Alpha.TXT", "beta.txt", "data1.txt", "data12.txt", "noext", "note1", "a.b.c", "a.txt"})
        dir.write(name, "x");
    fs::create_directory(dir / "Sub");
    std::vector<hbtest::PatternCase> cases = {
        {"*",
         {".", "..", "a.b.c", "a.txt", "Alpha.TXT", "beta.txt", "data1.txt", "data12.txt", "noext",
          "note1", "Sub"}},
        {"*.txt", {"a.txt", "Alpha.TXT", "beta.txt", "data1.txt", "data12.txt"}},
        {"?eta.*", {"beta.txt"}},
        {"noext.*", {"noext"}},
        {"SUB", {"Sub"}},
        {"a*c", {"a.b.c"}},
        {"*.c", {"a.b.c"}},
        {"data?.txt", {"data1.txt"}},
        {"note?", {"note1"}},
        {"?.txt", {"a.txt"}},
        {"data*.txt", {"data1.txt", "data12.txt"}},
    };
    for (const auto& row : hbtest::platformPatterns())
        cases.push_back(row);
    for (const auto& c : cases)
        EXPECT_EQ(listAll(dir / c.pattern), c.names) << c.pattern;
    EXPECT_EQ(listAll(dir / "*.*"), listAll(dir / "*"));
}

TEST(HostFind, FailuresWriteNothingAndEndedOrMadeUpSearchesAreRefused) {
    ScratchDirectory dir;
    FoundEntry entry;
    std::memcpy(entry.name, "untouched", 10);
    EXPECT_EQ(findFirst(dir / "*.none", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(findFirst(dir / "nodir/*", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_PATH_NOT_FOUND);
    EXPECT_STREQ(entry.name, "untouched");
    EXPECT_EQ(entry.attributes, 0xAAAAAAAAu);
    for (uint32_t bogus : {0u, 1u, 12345u, 0x12345678u, 0xFFFFFFFFu}) {
        EXPECT_EQ(findNext(bogus, entry), HB_ERROR_INVALID_HANDLE) << bogus;
        EXPECT_EQ(hb::hostFindClose(bogus), HB_ERROR_INVALID_HANDLE) << bogus;
    }

    const uint32_t search = findFirst(dir.write("one", "1"), entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    ASSERT_NE(search, 0u);
    EXPECT_EQ(findNext(search, entry), HB_ERROR_NO_MORE_FILES);
    EXPECT_EQ(findNext(search, entry), HB_ERROR_NO_MORE_FILES);
    EXPECT_STREQ(entry.name, "one") << "a failed step writes nothing";
    EXPECT_EQ(hb::hostFindClose(search), 0u);
    EXPECT_EQ(hb::hostFindClose(search), HB_ERROR_INVALID_HANDLE) << "ended already";
    EXPECT_EQ(findNext(search, entry), HB_ERROR_INVALID_HANDLE);
}

TEST(HostFind, EntryGivesUniversalDosTimeAndTheLow32BitsOfTheSize) {
    ScratchDirectory dir;
    const std::string path = dir.write("big", "");
    fs::resize_file(path, (5ULL << 30) + 3); // sparse where the file system allows
    using namespace std::chrono;
    // An odd second rounds down; the conversion's own rows: DosDateTime.
    fs::last_write_time(path, file_clock::from_sys(sys_days{2008y / 6 / 15} + 13h + 45min + 31s));
    FoundEntry entry;
    const uint32_t search = findFirst(path, entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    EXPECT_EQ(std::tuple(std::string(entry.name), entry.sizeLow, entry.dosDate, entry.dosTime,
                         entry.attributes & HB_FILE_ATTRIBUTE_DIRECTORY),
              std::tuple("big", 0x40000003u, 0x38CFu, 0x6DAFu, 0u));
    hb::hostFindClose(search);
}

} // namespace
