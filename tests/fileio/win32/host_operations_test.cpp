// Host operations on Windows: the Microsoft runtime's descriptors and the
// system's file calls, with the error codes they really give.
#include "fileio/dos_date_time.h"
#include "fileio/host_operations.h"
#include "scratch_directory.h"
#include "support/host_operations_without_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using hbtest::ScratchDirectory;

struct FoundEntry {
    char name[hb::kFindNameSize] = {};
    uint32_t attributes = 0xAAAAAAAA, sizeLow = 0xAAAAAAAA, dosDate = 0xAAAAAAAA,
             dosTime = 0xAAAAAAAA;
};

uint32_t findFirst(const std::string& pattern, FoundEntry& entry) {
    return hb::hostFindFirst(pattern.c_str(), entry.name, &entry.attributes, &entry.sizeLow,
                             &entry.dosDate, &entry.dosTime);
}

uint32_t findNext(uint32_t search, FoundEntry& entry) {
    return hb::hostFindNext(search, entry.name, &entry.attributes, &entry.sizeLow, &entry.dosDate,
                            &entry.dosTime);
}

TEST(Win32HostOpen, EveryFileIsUntranslatedAndCreatedWritable) {
    ScratchDirectory dir;
    const std::string path = dir / "new.bin";
    // Write-only, with the VP's own bit 15, the runtime's text bit and create.
    const int32_t fd = hb::hostOpen(path.c_str(), 0x8001 | 0x4000 | HB_O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hb::hostGetAttributes(path.c_str()) & HB_FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(hb::hostWrite(fd, "a\nb\x1a", 4, nullptr, nullptr), 4);
    char byte;
    EXPECT_EQ(hb::hostRead(fd, &byte, 1), -1) << "write-only";
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_EQ(dir.read("new.bin"), "a\nb\x1a");

    // Bit 16 dropped: read-write.
    const int32_t rw = hb::hostOpen(path.c_str(), 0x10002);
    ASSERT_GE(rw, 0);
    char content[8] = {};
    EXPECT_EQ(hb::hostRead(rw, content, 4), 4);
    EXPECT_STREQ(content, "a\nb\x1a") << "no end-of-file mark, no line-end change";
    EXPECT_EQ(hb::hostWrite(rw, "c", 1, nullptr, nullptr), 1);
    EXPECT_EQ(hb::hostClose(rw), 0);
}

TEST(Win32HostOpen, FailuresLeaveTheSystemsCode) {
    ScratchDirectory dir;
    EXPECT_EQ(hb::hostOpen((dir / "missing.txt").c_str(), HB_O_RDONLY), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hb::hostOpen((dir / "no\\such\\dir.txt").c_str(), HB_O_RDONLY), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_PATH_NOT_FOUND);
    CreateDirectoryA((dir / "sub").c_str(), nullptr);
    EXPECT_EQ(hb::hostOpen((dir / "sub").c_str(), HB_O_RDONLY), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_ACCESS_DENIED);
    dir.write("there.txt", "x");
    EXPECT_EQ(hb::hostOpen((dir / "there.txt").c_str(), HB_O_WRONLY | HB_O_CREAT | HB_O_EXCL), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_EXISTS);
}

TEST(Win32HostRuntimeCalls, BadDescriptorsGiveNine) {
    char buffer[4];
    EXPECT_EQ(hb::hostRead(1234, buffer, 4), -1);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostWrite(1234, "x", 1, nullptr, nullptr), -1);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostSeek(1234, 0, 0), -1);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
    EXPECT_EQ(hb::hostClose(-5), -1);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);

    ScratchDirectory dir;
    const int32_t fd = hb::hostOpen(dir.write("f", "").c_str(), HB_O_RDONLY);
    EXPECT_EQ(hb::hostClose(fd), 0);
    EXPECT_EQ(hb::hostClose(fd), -1) << "closed twice";
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeBadDescriptor);
}

TEST(Win32HostRuntimeCalls, ShortReadSetsFileInvalid) {
    ScratchDirectory dir;
    const int32_t fd = hb::hostOpen(dir.write("f", "abc").c_str(), HB_O_RDONLY);
    char buffer[8];
    EXPECT_EQ(hb::hostRead(fd, buffer, 8), 3);
    EXPECT_EQ(hbGetLastError(), hb::kRuntimeFileInvalid);
    EXPECT_EQ(hb::hostRead(fd, buffer, 8), 0);
    hb::hostClose(fd);
}

TEST(Win32HostSeek, OriginsLengthAndRefusals) {
    ScratchDirectory dir;
    const int32_t fd = hb::hostOpen(dir.write("f", "0123456789").c_str(), HB_O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hb::hostSeek(fd, 0, 2), 10) << "the length";
    EXPECT_EQ(hb::hostSeek(fd, 3, 0), 3);
    EXPECT_EQ(hb::hostSeek(fd, 2, 1), 5);
    EXPECT_EQ(hb::hostSeek(fd, 0, 3), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb::hostSeek(fd, -20, 0), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb::hostSeek(fd, 0, 1), 5) << "a refused seek stays put";

    // A position past what a signed 32-bit answer holds is refused, and the
    // position stays where it was.
    EXPECT_EQ(hb::hostSeek(fd, 0x7FFFFFFF, 0), 0x7FFFFFFF);
    EXPECT_EQ(hb::hostSeek(fd, 1, 1), -1);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb::hostSeek(fd, 0, 1), 0x7FFFFFFF);
    hb::hostClose(fd);
}

int32_t capturedCount = -1;
int32_t captureWriter(const void*, int32_t count) {
    capturedCount = count;
    return count;
}

TEST(Win32HostWrite, ConsoleDescriptorsGoToTheWriters) {
    capturedCount = -1;
    EXPECT_EQ(hb::hostWrite(1, "hello", 5, captureWriter, nullptr), 5);
    EXPECT_EQ(capturedCount, 5);
    capturedCount = -1;
    EXPECT_EQ(hb::hostWrite(2, "err", 3, nullptr, captureWriter), 3);
    EXPECT_EQ(capturedCount, 3);
}

TEST(Win32HostDeleteRename, SystemCodes) {
    ScratchDirectory dir;
    EXPECT_EQ(hb::hostDelete((dir / "missing").c_str()), HB_ERROR_FILE_NOT_FOUND);
    CreateDirectoryA((dir / "sub").c_str(), nullptr);
    EXPECT_EQ(hb::hostDelete((dir / "sub").c_str()), HB_ERROR_ACCESS_DENIED) << "files only";

    dir.write("a", "first");
    dir.write("b", "second");
    EXPECT_EQ(hb::hostRename((dir / "a").c_str(), (dir / "b").c_str()), HB_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(dir.read("a"), "first");
    EXPECT_EQ(dir.read("b"), "second");
    EXPECT_EQ(hb::hostRename((dir / "a").c_str(), (dir / "sub\\c").c_str()), 0u) << "moves";
    EXPECT_EQ(dir.read("sub\\c"), "first");
    EXPECT_EQ(hb::hostRename((dir / "sub").c_str(), (dir / "sub2").c_str()), 0u) << "directories";
    EXPECT_EQ(hb::hostDelete((dir / "sub2\\c").c_str()), 0u);
    EXPECT_EQ(hb::hostGetAttributes((dir / "sub2\\c").c_str()), HB_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_NOT_FOUND);
}

TEST(Win32HostAttributes, SystemBits) {
    ScratchDirectory dir;
    CreateDirectoryA((dir / "sub").c_str(), nullptr);
    EXPECT_NE(hb::hostGetAttributes((dir / "sub").c_str()) & HB_FILE_ATTRIBUTE_DIRECTORY, 0u);
    const std::string file = dir.write("ro", "x");
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(hb::hostGetAttributes(file.c_str()) & HB_FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(hb::hostGetAttributes((dir / "none\\x").c_str()), HB_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_PATH_NOT_FOUND);
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL); // so that it can go
}

TEST(Win32HostFind, ListsWithTheSystemsWildcardsThenEighteen) {
    ScratchDirectory dir;
    dir.write("one.txt", "1");
    dir.write("two.TXT", "22");
    dir.write("three.bin", "333");
    FoundEntry entry;
    const uint32_t search = findFirst(dir / "*.txt", entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    ASSERT_NE(search, 0u);
    std::vector<std::string> names{entry.name};
    while (findNext(search, entry) == 0) {
        names.emplace_back(entry.name);
        EXPECT_EQ(entry.attributes & HB_FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    EXPECT_EQ(hbGetLastError(), HB_ERROR_NO_MORE_FILES);
    EXPECT_EQ(findNext(search, entry), HB_ERROR_NO_MORE_FILES);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"one.txt", "two.TXT"}));
    EXPECT_EQ(hb::hostFindClose(search), 0u);
    EXPECT_EQ(hb::hostFindClose(search), HB_ERROR_INVALID_HANDLE) << "ended already";
    EXPECT_EQ(findNext(search, entry), HB_ERROR_INVALID_HANDLE);
}

TEST(Win32HostFind, FailuresWriteNothing) {
    ScratchDirectory dir;
    FoundEntry entry;
    EXPECT_EQ(findFirst(dir / "*.none", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(findFirst(dir / "missing\\*", entry), 0xFFFFFFFFu);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(entry.attributes, 0xAAAAAAAAu);
    EXPECT_EQ(entry.name[0], '\0');
}

TEST(Win32HostFind, MadeUpSearchValuesAreRefusedNotFollowed) {
    FoundEntry entry;
    for (uint32_t bogus : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
        EXPECT_EQ(findNext(bogus, entry), HB_ERROR_INVALID_HANDLE) << bogus;
        EXPECT_EQ(hb::hostFindClose(bogus), HB_ERROR_INVALID_HANDLE) << bogus;
    }
    EXPECT_EQ(entry.attributes, 0xAAAAAAAAu);
}

void setLastWrite(const std::string& path, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                  WORD second) {
    SYSTEMTIME when{};
    when.wYear = year;
    when.wMonth = month;
    when.wDay = day;
    when.wHour = hour;
    when.wMinute = minute;
    when.wSecond = second;
    FILETIME stamp;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &stamp));
    HANDLE file =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
    CloseHandle(file);
}

TEST(Win32HostFind, EntryTimeIsUniversalDosTimeAsTheSystemConvertsIt) {
    ScratchDirectory dir;
    const std::string path = dir.write("dated", "x");
    setLastWrite(path, 2008, 6, 15, 13, 45, 30);
    FoundEntry entry;
    const uint32_t search = findFirst(path, entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    EXPECT_EQ(entry.dosDate, 0x38CFu);
    EXPECT_EQ(entry.dosTime, 0x6DAFu);
    EXPECT_EQ(entry.sizeLow, 1u);
    hb::hostFindClose(search);

    // The same words as the system's own conversion, odd seconds included.
    setLastWrite(path, 2099, 12, 31, 23, 59, 59);
    WIN32_FIND_DATAA data;
    HANDLE system = FindFirstFileA(path.c_str(), &data);
    ASSERT_NE(system, INVALID_HANDLE_VALUE);
    FindClose(system);
    WORD date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(&data.ftLastWriteTime, &date, &time));
    const uint32_t again = findFirst(path, entry);
    EXPECT_EQ(entry.dosDate, date);
    EXPECT_EQ(entry.dosTime, time);
    hb::hostFindClose(again);
}

TEST(Win32HostFind, SizeKeepsItsLow32Bits) {
    ScratchDirectory dir;
    const std::string path = dir / "big";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 5LL << 30; // 5 GiB, sparse where the file system allows
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    FoundEntry entry;
    const uint32_t search = findFirst(path, entry);
    ASSERT_NE(search, 0xFFFFFFFFu);
    EXPECT_EQ(entry.sizeLow, 0x40000000u);
    hb::hostFindClose(search);
}

TEST(Win32HostEnvironment, BlockOfTheProcess) {
    ASSERT_TRUE(SetEnvironmentVariableA("HBSYS9U_WIN32_TEST", "value 1"));
    char* block = hb::hostEnvironment();
    ASSERT_NE(block, nullptr);
    bool found = false;
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) {
        found = found || std::strcmp(entry, "HBSYS9U_WIN32_TEST=value 1") == 0;
    }
    EXPECT_TRUE(found);
    hb::hostFreeEnvironment(block);
    SetEnvironmentVariableA("HBSYS9U_WIN32_TEST", nullptr);
}

} // namespace
