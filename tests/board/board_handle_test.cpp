// Board handles, device naming and the bus caches, against the virtual board.
#include "virtual_board_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace hb::test {
namespace {

using BoardHandleTest = VirtualBoardTest;

TEST_F(BoardHandleTest, DeviceNameIsBaseNameFollowedByIndexPlusOne) {
    const std::pair<int, std::string> cases[] = {{0, "1"}, {9, "10"}, {15, "16"}};
    for (const auto& [index, suffix] : cases) {
        device_->addBoard(index, {});
        EXPECT_EQ(board(index).socketPath(), base_ + suffix);
    }
    for (const auto& [index, suffix] : cases) {
        AcceleratorBoard* handle = open(index);
        ASSERT_NE(handle, nullptr) << suffix;
        EXPECT_EQ(handle->boardIndex, index);
        HwInfo info{};
        ASSERT_TRUE(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info));
        for (const auto& [other, unused] : cases) {
            EXPECT_EQ(countRequests(other, HB_IOCTL_GET_HW_INFO), other <= index ? 1u : 0u)
                << "request for index " << index << " reached index " << other;
        }
    }
}

TEST_F(BoardHandleTest, CreateRefusesBadArgumentsAndMissingDevicesWithNothingLeftOpen) {
    device_->addBoard(0, {});
    const int before = countOpenDescriptors();

    hbSetLastError(1234);
    EXPECT_EQ(hb__DeviceIoOpen(nullptr, 0, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), -1, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), 1234u) << "no open attempted, last error untouched";

    EXPECT_EQ(hbAcceleratorBoardCreate(nullptr, 0, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
    hbSetLastError(0);
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), -1, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);

    // No board 2 is served: the path does not exist.
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 1, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 1, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK) << "9 replaces the system's code";

    // A socket that nobody listens on refuses; so does a plain file.
    const std::string refusing = base_ + "3";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, refusing.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 2, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_ACCESS_DENIED);
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 2, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
    ::close(fd);
    std::ofstream(base_ + "4") << "not a device";
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 3, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_ACCESS_DENIED);

    // Something that accepts but does not speak the device protocol.
    const std::string silent = base_ + "5";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    std::strcpy(address.sun_path, silent.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::thread rude([&] { ::close(::accept(listener, nullptr, nullptr)); });
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), 4, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
    rude.join();
    ::close(listener);

    // A name longer than a socket path can be.
    const std::string longBase = directory_ + "/" + std::string(200, 'n');
    EXPECT_EQ(hb__DeviceIoOpen(longBase.c_str(), 0, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(hbAcceleratorBoardCreate(longBase.c_str(), 0, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);

    // Indices past the per-board tables are refused before any open.
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 16, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(board(0).connectionCount(), 0u);

    EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(BoardHandleTest, DestroyClosesTheDeviceAndLeavesTheLastError) {
    hbSetLastError(77);
    hbAcceleratorBoardDestroy(nullptr);
    EXPECT_EQ(hbGetLastError(), 77u);

    device_->addBoard(1, {});
    const int before = countOpenDescriptors();
    AcceleratorBoard* handle = open(1);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(eventually([&] { return board(1).connectionCount() == 1; }));
    hbSetLastError(77);
    close(handle);
    EXPECT_EQ(hbGetLastError(), 77u);
    EXPECT_TRUE(eventually([&] { return board(1).connectionCount() == 0; }));
    EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(BoardHandleTest, KnownBusTypeIsAskedOnceAndServesLaterHandlesOfTheIndex) {
    AcceleratorBoard* first = open(2, boardOfType(22, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(hbBusType(first), HB_BUS_TYPE_2);
    EXPECT_EQ(hbBusWidth(first), 4) << "width 4 for bus type 2, whatever the record says";
    EXPECT_EQ(hbBusType(first), HB_BUS_TYPE_2);
    EXPECT_EQ(hbBusWidth(first), 4);
    EXPECT_EQ(countRequests(2, HB_IOCTL_GET_HW_INFO), 1u);

    close(first);
    AcceleratorBoard* second = open(2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(hbBusType(second), HB_BUS_TYPE_2);
    EXPECT_EQ(hbBusWidth(second), 4);
    EXPECT_EQ(countRequests(2, HB_IOCTL_GET_HW_INFO), 1u) << "the cache outlives the handle";
}

TEST_F(BoardHandleTest, UndeterminedAnswersAreNeverCached) {
    AcceleratorBoard* unknown = open(4, boardOfType(24, 4));
    ASSERT_NE(unknown, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hbBusType(unknown), HB_BUS_TYPE_UNKNOWN);
    }
    EXPECT_EQ(countRequests(4, HB_IOCTL_GET_HW_INFO), 3u);
    EXPECT_EQ(hbBusWidth(unknown), 0);
    EXPECT_EQ(countRequests(4, HB_IOCTL_GET_HW_INFO), 4u);

    // Bus type 1 reporting width code 0: type cached, width asked every time.
    AcceleratorBoard* noWidth = open(5, boardOfType(27, 0));
    ASSERT_NE(noWidth, nullptr);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(countRequests(5, HB_IOCTL_GET_HW_INFO), 2u);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(countRequests(5, HB_IOCTL_GET_HW_INFO), 3u);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    EXPECT_EQ(countRequests(5, HB_IOCTL_GET_HW_INFO), 3u);

    // Bus type 1 reporting width 3: both cached after the first answers.
    AcceleratorBoard* wide = open(6, boardOfType(27, 3));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(hbBusWidth(wide), 3);
    EXPECT_EQ(hbBusWidth(wide), 3);
    EXPECT_EQ(hbBusType(wide), HB_BUS_TYPE_1);
    EXPECT_EQ(countRequests(6, HB_IOCTL_GET_HW_INFO), 2u);
}

TEST_F(BoardHandleTest, BoardTypeCodesMapToBusTypes) {
    const std::pair<uint32_t, int32_t> cases[] = {{22, 2}, {23, 3}, {24, 0}, {25, 3},
                                                  {26, 2}, {27, 1}, {21, 0}, {28, 0}};
    int index = 7;
    for (const auto& [boardType, busType] : cases) {
        AcceleratorBoard* handle = open(index++, boardOfType(boardType, 1));
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(hbBusType(handle), busType) << "board type " << boardType;
    }
}

TEST_F(BoardHandleTest, QueriesOnRecordsWithoutAUsableDeviceOrIndex) {
    EXPECT_EQ(hbBusType(nullptr), 0);
    EXPECT_EQ(hbBusWidth(nullptr), 0);

    AcceleratorBoard noDevice{15, nullptr};
    hbSetLastError(0);
    EXPECT_EQ(hbBusType(&noDevice), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER) << "set by the channel";

    AcceleratorBoard invalid{15, HB_INVALID_HANDLE};
    hbSetLastError(5);
    EXPECT_EQ(hbBusType(&invalid), 0);
    EXPECT_EQ(hbBusWidth(&invalid), 0);
    EXPECT_EQ(hbGetLastError(), 5u) << "no request, last error untouched";

    AcceleratorBoard* real = open(0);
    ASSERT_NE(real, nullptr);
    for (int32_t index : {16, 1000, -1}) {
        AcceleratorBoard outside{index, real->deviceHandle};
        hbSetLastError(0);
        EXPECT_EQ(hbBusType(&outside), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
        hbSetLastError(0);
        EXPECT_EQ(hbBusWidth(&outside), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(countRequests(0, HB_IOCTL_GET_HW_INFO), 0u);
}

TEST_F(BoardHandleTest, ChannelRefusesNoDeviceHandlesAndMissingCountsWithoutARequest) {
    AcceleratorBoard* handle = open(0);
    ASSERT_NE(handle, nullptr);
    HwInfo info{};
    uint32_t returned = 0;
    const HbHandle noDevice[] = {nullptr, HB_INVALID_HANDLE,
                                 reinterpret_cast<HbHandle>(uintptr_t{0xFFFFFFFFu})};
    for (HbHandle device : noDevice) {
        hbSetLastError(0);
        EXPECT_EQ(hb__DeviceIoControl(device, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info, sizeof info,
                                      &returned, nullptr),
                  0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    hbSetLastError(0);
    EXPECT_EQ(hb__DeviceIoControl(handle->deviceHandle, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info,
                                  sizeof info, nullptr, nullptr),
              0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(board(0).trace().empty());

    // A handle of another kind of object is not a device.
    HbHandle event = hb__EventCreate(0);
    EXPECT_EQ(hb__DeviceIoControl(event, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info, sizeof info,
                                  &returned, nullptr),
              0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_HANDLE);
    hb__DeviceIoClose(event); // not a device: left alone
    EXPECT_EQ(hb__EventSet(event), 0u) << "the event still works";
    hb__EventDestroy(event);

    EXPECT_EQ(hb__DeviceIoControl(handle->deviceHandle, HB_IOCTL_GET_HW_INFO, nullptr, 0, &info,
                                  sizeof info, &returned, nullptr),
              1);
    EXPECT_EQ(returned, sizeof info);
}

} // namespace
} // namespace hb::test
