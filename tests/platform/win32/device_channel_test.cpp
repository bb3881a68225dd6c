// The device channel of the Win32 backend opens an existing device by name for
// shared reading and writing, sends synchronous requests and closes it. A
// plain file stands in for the device: the system treats both alike when they
// are opened.
#include "platform/platform.h"

#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace platform = hb::platform;

namespace {

class DeviceChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        char directory[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
        char name[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(directory, "hbd", 0, name), 0u); // creates it
        path_ = name;
    }
    void TearDown() override { DeleteFileA(path_.c_str()); }

    HANDLE holdOpen(DWORD access, DWORD share) {
        return CreateFileA(path_.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    std::string path_;
};

TEST_F(DeviceChannel, MissingDeviceIsNeitherOpenedNorCreated) {
    platform::setLastError(0);
    EXPECT_EQ(platform::deviceOpen("\\\\.\\hbsys9uNoSuchDevice1"), nullptr);
    EXPECT_EQ(platform::lastError(), HB_ERROR_FILE_NOT_FOUND);

    std::string missing = path_ + ".missing";
    EXPECT_EQ(platform::deviceOpen(missing.c_str()), nullptr);
    EXPECT_EQ(platform::lastError(), HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES) << "was created";
}

TEST_F(DeviceChannel, OpensForSharedReadingAndWriting) {
    platform::Handle first = platform::deviceOpen(path_.c_str());
    ASSERT_NE(first, nullptr);
    platform::Handle second = platform::deviceOpen(path_.c_str());
    ASSERT_NE(second, nullptr) << "a second user of the same board";
    HANDLE other = holdOpen(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "others may read and write beside the channel";
    CloseHandle(other);
    platform::deviceClose(first);
    platform::deviceClose(second);
}

TEST_F(DeviceChannel, AsksForWriteAccess) {
    HANDLE readersOnly = holdOpen(GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(readersOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::deviceOpen(path_.c_str()), nullptr);
    EXPECT_EQ(platform::lastError(), HB_ERROR_SHARING_VIOLATION);
    CloseHandle(readersOnly);

    HANDLE noWriters = holdOpen(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(noWriters, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::deviceOpen(path_.c_str()), nullptr);
    EXPECT_EQ(platform::lastError(), HB_ERROR_SHARING_VIOLATION);
    CloseHandle(noWriters);

    HANDLE writersWelcome = holdOpen(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(writersWelcome, INVALID_HANDLE_VALUE);
    platform::Handle device = platform::deviceOpen(path_.c_str());
    EXPECT_NE(device, nullptr);
    platform::deviceClose(device);
    CloseHandle(writersWelcome);
}

TEST_F(DeviceChannel, RequestTheObjectDoesNotServeFailsWithTheSystemsCode) {
    platform::Handle device = platform::deviceOpen(path_.c_str());
    ASSERT_NE(device, nullptr);
    HwInfo info{};
    uint32_t returned = 12345;
    platform::setLastError(0);
    EXPECT_FALSE(platform::deviceControl(device, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info,
                                         sizeof info, &returned));
    EXPECT_NE(platform::lastError(), 0u);
    EXPECT_EQ(returned, 0u);
    platform::deviceClose(device);
}

TEST_F(DeviceChannel, CloseLetsGoOfTheDevice) {
    platform::Handle device = platform::deviceOpen(path_.c_str());
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(DeleteFileA(path_.c_str())) << "no delete sharing while open";
    platform::deviceClose(device);
    EXPECT_TRUE(DeleteFileA(path_.c_str()));
}

} // namespace
