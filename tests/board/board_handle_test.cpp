// Board handles and the driver channel against the virtual board: device
// naming, what opening refuses, closing, and the board's memory holding the
// whole layout of its kind.
#include "shared_memory_map.h"
#include "virtual_board_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace hb::test {
namespace {

using BoardHandleTest = VirtualBoardTest;

TEST_F(BoardHandleTest, AHandleOpensTheDeviceNamedByIndexPlusOneAndClosesItKeepingTheError) {
    const std::pair<int, std::string> cases[] = {{0, "1"}, {9, "10"}, {15, "16"}};
    for (const auto& [index, suffix] : cases)
        EXPECT_EQ(device_->addBoard(index, {}).socketPath(), base_ + suffix);
    const int before = countOpenDescriptors();
    for (const auto& [index, suffix] : cases) {
        AcceleratorBoard* handle = open(index);
        ASSERT_NE(handle, nullptr) << suffix;
        EXPECT_EQ(handle->boardIndex, index);
        HwInfo info{};
        ASSERT_TRUE(hb_DeviceIoGetHwInfo(handle->deviceHandle, &info));
        EXPECT_EQ(countRequests(index, HB_IOCTL_GET_HW_INFO), 1u) << suffix;
        hbSetLastError(77);
        close(handle);
        EXPECT_EQ(hbGetLastError(), 77u);
        EXPECT_TRUE(eventually([&] { return board(index).connectionCount() == 0; }));
    }
    EXPECT_EQ(countOpenDescriptors(), before);
    hbAcceleratorBoardDestroy(nullptr);
    EXPECT_EQ(hbGetLastError(), 77u);
}

// A Unix-domain socket at `path`, listening or not; -1 when it cannot be made.
int socketAt(const std::string& path, bool listening) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 1) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(BoardHandleTest, CreateRefusesBadArgumentsAndMissingDevicesWithNothingLeftOpen) {
    device_->addBoard(0, {});
    const int before = countOpenDescriptors();
    hbSetLastError(1234);
    EXPECT_EQ(hb__DeviceIoOpen(nullptr, 0, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hb__DeviceIoOpen(base_.c_str(), -1, 0), HB_INVALID_HANDLE);
    EXPECT_EQ(hbGetLastError(), 1234u) << "no open attempted, last error untouched";

    // Board 2: nothing there. Board 3: a socket nobody listens on. Board 4: a
    // plain file. Board 5: something that accepts and hangs up at once.
    const int refusing = socketAt(base_ + "3", false);
    std::ofstream(base_ + "4") << "not a device";
    const int rude = socketAt(base_ + "5", true);
    ASSERT_GE(refusing, 0);
    ASSERT_GE(rude, 0);
    std::thread hangUp([&] { ::close(::accept(rude, nullptr, nullptr)); });
    const std::string longBase = directory_ + "/" + std::string(200, 'n');
    const struct {
        const char* base;
        int32_t index;
        uint32_t openError;
    } cases[] = {{base_.c_str(), 1, HB_ERROR_FILE_NOT_FOUND},
                 {base_.c_str(), 2, HB_ERROR_ACCESS_DENIED},
                 {base_.c_str(), 3, HB_ERROR_ACCESS_DENIED},
                 {base_.c_str(), 4, HB_ERROR_DEVICE_NOT_CONNECTED},
                 {longBase.c_str(), 0, HB_ERROR_FILENAME_EXCED_RANGE}};
    for (const auto& c : cases) {
        EXPECT_EQ(hb__DeviceIoOpen(c.base, c.index, 0), HB_INVALID_HANDLE) << c.index;
        EXPECT_EQ(hbGetLastError(), c.openError) << c.index;
        if (c.index != 4) {
            EXPECT_EQ(hbAcceleratorBoardCreate(c.base, c.index, 0), nullptr) << c.index;
            EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK) << "9 replaces " << c.openError;
        }
    }
    hangUp.join();
    ::close(refusing);
    ::close(rude);
    for (int32_t index : {-1, 0}) {
        hbSetLastError(0);
        EXPECT_EQ(hbAcceleratorBoardCreate(index < 0 ? base_.c_str() : nullptr, index, 0), nullptr);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_BLOCK);
    }
    // Indices past the per-board tables are refused before any open.
    EXPECT_EQ(hbAcceleratorBoardCreate(base_.c_str(), 16, 0), nullptr);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(board(0).connectionCount(), 0u);
    EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(BoardHandleTest, EveryRegionOfEveryKindOfBoardLiesInsideItsMemory) {
    const std::pair<uint32_t, uint32_t> kinds[] = {{27, 1}, {27, 2}, {27, 3}, {22, 4},
                                                   {23, 4}, {25, 4}, {26, 9}};
    int index = 1;
    for (const auto& [boardType, busWidth] : kinds) {
        AcceleratorBoard* handle = open(index, boardOfType(boardType, busWidth));
        ASSERT_NE(handle, nullptr);
        const std::vector<Region> regions = regionsOf(handle);
        ASSERT_FALSE(regions.empty()) << boardType;
        for (const Region& region : regions)
            EXPECT_LE(region.end, board(index).sharedMemorySize()) << region.name << boardType;
        ++index;
    }
}

} // namespace
} // namespace hb::test
