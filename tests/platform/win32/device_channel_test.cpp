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

    // Whether the channel opens the device while another user holds it open.
    bool opensBeside(DWORD access, DWORD share) {
        HANDLE other =
            CreateFileA(path_.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE);
        platform::setLastError(0);
        platform::Handle device = platform::deviceOpen(path_.c_str());
        EXPECT_TRUE(device != nullptr || platform::lastError() == HB_ERROR_SHARING_VIOLATION);
        if (device != nullptr)
            platform::deviceClose(device);
        CloseHandle(other);
        return device != nullptr;
    }

    std::string path_;
};

TEST_F(DeviceChannel, OpensOnlyAnExistingDeviceForSharedReadingAndWriting) {
    const std::string missing = path_ + ".missing";
    for (const std::string& name : {std::string("\\\\.\\hbsys9uNoSuchDevice1"), missing}) {
        platform::setLastError(0);
        EXPECT_EQ(platform::deviceOpen(name.c_str()), nullptr);
        EXPECT_EQ(platform::lastError(), HB_ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES) << "was created";

    const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
    EXPECT_TRUE(opensBeside(readWrite, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(opensBeside(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_FALSE(opensBeside(GENERIC_READ, FILE_SHARE_READ)) << "the channel asks to write";
    EXPECT_FALSE(opensBeside(readWrite, FILE_SHARE_READ));
}

TEST_F(DeviceChannel, ARequestTheObjectDoesNotServeFailsAndCloseLetsGo) {
    platform::Handle device = platform::deviceOpen(path_.c_str());
    ASSERT_NE(device, nullptr);
    platform::Handle second = platform::deviceOpen(path_.c_str());
    EXPECT_NE(second, nullptr) << "a second user of the same board";
    platform::deviceClose(second);
    HwInfo info{};
    uint32_t returned = 12345;
    platform::setLastError(0);
    EXPECT_FALSE(platform::deviceControl(device, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info,
                                         sizeof info, &returned));
    EXPECT_NE(platform::lastError(), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(DeleteFileA(path_.c_str())) << "no delete sharing while open";
    platform::deviceClose(device);
    EXPECT_TRUE(DeleteFileA(path_.c_str()));
}

} // namespace
