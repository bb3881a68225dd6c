// The shared memory map of every kind of board, and the bus caches it rests
// on, with boards whose hardware information comes from the in-process fake
// driver: the same program runs on every platform.
//
// The bus caches live as long as the process, and one process may run every
// case of this program: each case uses board indices of its own.
#include "shared_memory_map.h"
#include "support/fake_device.h"

namespace hb::test {
namespace {

using hbtest::FakeBoard;
using hbtest::FakeBoardConfig;
using hbtest::FakeDevice;

class SharedMemoryMapTest : public ::testing::Test {
  protected:
    void TearDown() override {
        hb_FileIoUseCustomerMemory(0);
        for (AcceleratorBoard* board : boards_) {
            hbAcceleratorBoardDestroy(board);
        }
    }

    AcceleratorBoard* open(int index, uint32_t boardType, uint32_t busWidth) {
        if (fake_.board(index) == nullptr) {
            FakeBoardConfig config;
            config.boardType = boardType;
            config.busWidth = busWidth;
            fake_.addBoard(index, config);
        }
        return open(index);
    }
    AcceleratorBoard* open(int index) {
        AcceleratorBoard* board = hbAcceleratorBoardCreate(fake_.baseName().c_str(), index, 0);
        if (board != nullptr) {
            boards_.push_back(board);
        }
        return board;
    }
    void close(AcceleratorBoard* board) {
        std::erase(boards_, board);
        hbAcceleratorBoardDestroy(board);
    }
    size_t hwInfoRequests(int index) { return fake_.board(index)->count(HB_IOCTL_GET_HW_INFO); }

    FakeDevice fake_;
    std::vector<AcceleratorBoard*> boards_;
};

std::string kindOf(uint32_t boardType, uint32_t busWidth) {
    return "board type " + std::to_string(boardType) + " width " + std::to_string(busWidth);
}

TEST_F(SharedMemoryMapTest, EveryCellOfEveryLayoutFromTheHardwareInformation) {
    struct Kind {
        uint32_t boardType, busWidth;
        int layout;
        size_t hwInfoRequests; // type 1 asks for the width apart
    };
    const Kind kinds[] = {{27, 1, 0, 2}, {27, 2, 1, 2}, {27, 3, 1, 2}, {22, 4, 2, 1},
                          {23, 4, 2, 1}, {25, 4, 2, 1}, {26, 9, 2, 1}};
    int index = 0;
    for (const Kind& kind : kinds) {
        AcceleratorBoard* handle = open(index, kind.boardType, kind.busWidth);
        ASSERT_NE(handle, nullptr);
        const std::string where = kindOf(kind.boardType, kind.busWidth);
        for (const Row& row : kMap) {
            expectCell(handle, row, row.layouts[kind.layout], where);
        }
        // Only the first look-ups reached the driver; a second pass over every
        // getter sends nothing at all.
        EXPECT_EQ(hwInfoRequests(index), kind.hwInfoRequests) << where;
        const size_t before = fake_.board(index)->requestCount();
        for (const Row& row : kMap) {
            expectCell(handle, row, row.layouts[kind.layout], where);
        }
        EXPECT_EQ(fake_.board(index)->requestCount(), before) << where;
        ++index;
    }
}

TEST_F(SharedMemoryMapTest, BoardsWithoutALayoutOfferNoRegion) {
    const std::pair<uint32_t, uint32_t> kinds[] = {{27, 4}, {27, 0}, {24, 4}, {99, 1}};
    int index = 7;
    for (const auto& [boardType, busWidth] : kinds) {
        AcceleratorBoard* handle = open(index++, boardType, busWidth);
        ASSERT_NE(handle, nullptr);
        for (const Row& row : kMap) {
            expectCell(handle, row, kAbsent, kindOf(boardType, busWidth));
        }
    }
    for (const Row& row : kMap) {
        expectCell(nullptr, row, kAbsent, "null board");
    }
    AcceleratorBoard outside{16, boards_.front()->deviceHandle};
    hbSetLastError(0);
    const size_t before = fake_.board(7)->requestCount();
    for (const Row& row : kMap) {
        expectCell(&outside, row, kAbsent, "index 16");
    }
    EXPECT_EQ(hbGetLastError(), 0u) << "getters never set the last error";
    EXPECT_EQ(fake_.board(7)->requestCount(), before) << "nothing asked for index 16";
}

TEST_F(SharedMemoryMapTest, UndeterminedBusTypeOrWidthIsAskedAgainEveryTime) {
    // The same boards at the same indices as above: whichever case ran first,
    // the caches hold the same.
    // Bus type 0 (board type 24): never cached, every look-up asks the driver.
    AcceleratorBoard* unknown = open(9, 24, 4);
    ASSERT_NE(unknown, nullptr);
    const size_t start = hwInfoRequests(9);
    EXPECT_EQ(hbBusType(unknown), HB_BUS_TYPE_UNKNOWN);
    EXPECT_EQ(hbBusType(unknown), HB_BUS_TYPE_UNKNOWN);
    EXPECT_EQ(hwInfoRequests(9), start + 2);
    expectCell(unknown, kMap[kFileIoBufferRow], kAbsent, "bus type 0");
    EXPECT_GT(hwInfoRequests(9), start + 2);

    // Bus type 1 with width 0: the type is cached, the width asked each time.
    AcceleratorBoard* noWidth = open(8, 27, 0);
    ASSERT_NE(noWidth, nullptr);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    const size_t typed = hwInfoRequests(8);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    EXPECT_EQ(hwInfoRequests(8), typed + 2);
}

TEST_F(SharedMemoryMapTest, CustomerMemorySwitchMovesOnlyTheFileIoBuffer) {
    AcceleratorBoard* width1 = open(11, 27, 1);
    AcceleratorBoard* width3 = open(12, 27, 3);
    AcceleratorBoard* type2 = open(13, 22, 4);
    ASSERT_TRUE(width1 && width3 && type2);
    const Row& customer = kMap[kCustomerMemoryRow];
    const Row& fileIo = kMap[kFileIoBufferRow];

    hb_FileIoUseCustomerMemory(2);
    expectCell(type2, fileIo, {0x400, 0x4000}, "switch on");
    expectCell(type2, customer, {0x400, 0x4000}, "switch on");
    expectCell(width3, fileIo, {0x0, 0x1000}, "switch on");
    expectCell(width3, customer, kAbsent, "switch on");
    expectCell(width1, fileIo, {0x0, 0x400}, "switch on");
    expectCell(width1, customer, {0x0, 0x400}, "switch on");
    const std::pair<AcceleratorBoard*, int> layouts[] = {{width1, 0}, {width3, 1}, {type2, 2}};
    for (const auto& [handle, layout] : layouts) {
        for (size_t i = 0; i < std::size(kMap); ++i) {
            if (i != kCustomerMemoryRow && i != kFileIoBufferRow) {
                expectCell(handle, kMap[i], kMap[i].layouts[layout], "unaffected by the switch");
            }
        }
    }

    hb_FileIoUseCustomerMemory(0);
    expectCell(width3, fileIo, {0x1100, 0x400}, "switch off again");
    expectCell(width3, customer, {0x0, 0x1000}, "switch off again");
    expectCell(type2, fileIo, {0x4500, 0x4000}, "switch off again");
}

TEST_F(SharedMemoryMapTest, ASecondHandleOfTheIndexUsesTheCache) {
    AcceleratorBoard* first = open(14, 27, 2);
    ASSERT_NE(first, nullptr);
    expectCell(first, kMap[kFileIoBufferRow], {0x1100, 0x400}, "first handle");
    EXPECT_EQ(hwInfoRequests(14), 2u);
    close(first);

    AcceleratorBoard* second = open(14);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(hbBusType(second), HB_BUS_TYPE_1);
    EXPECT_EQ(hbBusWidth(second), 2);
    expectCell(second, kMap[kFileIoBufferRow], {0x1100, 0x400}, "second handle");
    EXPECT_EQ(hwInfoRequests(14), 2u) << "the cache outlives the handle";
}

TEST_F(SharedMemoryMapTest, AFailedHardwareQueryIsNotCached) {
    AcceleratorBoard* handle = open(15, 23, 4);
    ASSERT_NE(handle, nullptr);
    fake_.board(15)->failNext(HB_IOCTL_GET_HW_INFO, 31);
    hbSetLastError(0);
    uint32_t size = kUntouched;
    EXPECT_EQ(hb_GetFileIoBuffer(handle, &size), 0u);
    EXPECT_EQ(size, kUntouched);
    EXPECT_EQ(hbGetLastError(), 31u) << "the driver's code stays";
    expectCell(handle, kMap[kFileIoBufferRow], {0x4500, 0x4000}, "answered query");
    EXPECT_EQ(hbBusType(handle), HB_BUS_TYPE_3);
    EXPECT_EQ(hwInfoRequests(15), 2u);
}

} // namespace
} // namespace hb::test
