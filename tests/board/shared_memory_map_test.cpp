// The shared memory map of every kind of board, with boards of each kind
// served by the virtual board.
#include "virtual_board_fixture.h"

namespace hb::test {
namespace {

using Getter = uint32_t (*)(const AcceleratorBoard*, uint32_t*);

struct Cell {
    uint32_t offset;
    uint32_t size; // 0: absent
};

struct Row {
    const char* name;
    Getter getter;
    Cell layouts[3]; // type 1 width 1; type 1 width 2 or 3; types 2 and 3 width 4
};

constexpr Cell kAbsent{0, 0};

// The published map, switch off.
const Row kMap[] = {
    {"MonitorData", hb_GetMonitorData, {{0x0, 1}, {0x0, 1}, {0x0, 1}}},
    {"CustomerMemoryRegion",
     hb_GetCustomerMemoryRegion,
     {{0x0, 0x400}, {0x0, 0x1000}, {0x400, 0x4000}}},
    {"FailMessage", hb_GetFailMessage, {{0x400, 1}, {0x1000, 1}, {0x4400, 1}}},
    {"FileIoBuffer", hb_GetFileIoBuffer, {{0x500, 0x140}, {0x1100, 0x400}, {0x4500, 0x4000}}},
    {"DirectBuffer", hb_GetDirectBuffer, {{0x640, 0x40}, {0x1500, 0x40}, {0x8500, 0x40}}},
    {"BufferToVp", hb_GetBufferToVp, {{0x680, 0x80}, {0x1540, 0x1000}, {0x8540, 0x8000}}},
    {"DescriptorsToVp", hb_GetDescriptorsToVp, {kAbsent, kAbsent, {0x10540, 13}}},
    {"ParametersToVp", hb_GetParametersToVp, {{0x700, 1}, {0x2540, 1}, {0x10610, 1}}},
    {"BufferToHost", hb_GetBufferToHost, {{0x724, 0x80}, {0x2564, 0x1000}, {0x10650, 0x8000}}},
    {"DescriptorsToHost", hb_GetDescriptorsToHost, {kAbsent, kAbsent, {0x18650, 13}}},
    {"ParametersToHost", hb_GetParametersToHost, {{0x7A4, 1}, {0x3564, 1}, {0x18720, 1}}},
    {"DescriptorsChannel0", hb_GetDescriptorsChannel0, {kAbsent, kAbsent, {0x18760, 4352}}},
    {"ParametersChannel0", hb_GetParametersChannel0, {kAbsent, kAbsent, {0x29760, 1}}},
    {"RTCommAcq", hb_GetRTCommAcq, {kAbsent, kAbsent, {0x317B8, 1}}},
    {"RTCommInsp", hb_GetRTCommInsp, {kAbsent, kAbsent, {0x31964, 1}}},
    {"AcqFifoControl", hb_GetAcqFifoControl, {kAbsent, {0x3588, 1}, {0x31B10, 1}}},
    {"FifoHoldingBuffer", hb_GetFifoHoldingBuffer, {kAbsent, kAbsent, {0x31C1C, 0x800}}},
};

constexpr uint32_t kUntouched = 0xDEADBEEF;

void expectCell(const AcceleratorBoard* board, const Row& row, Cell cell,
                const std::string& where) {
    uint32_t size = kUntouched;
    EXPECT_EQ(row.getter(board, &size), cell.offset) << row.name << " " << where;
    EXPECT_EQ(size, cell.size != 0 ? cell.size : kUntouched) << row.name << " " << where;
    EXPECT_EQ(row.getter(board, nullptr), cell.offset) << row.name << " without size";
}

class SharedMemoryMapTest : public VirtualBoardTest {
  protected:
    void TearDown() override {
        hb_FileIoUseCustomerMemory(0);
        VirtualBoardTest::TearDown();
    }
};

TEST_F(SharedMemoryMapTest, EveryCellOfEveryLayout) {
    struct Kind {
        uint32_t boardType, busWidth;
        int layout;
    };
    const Kind kinds[] = {{27, 1, 0}, {27, 2, 1}, {27, 3, 1}, {22, 4, 2},
                          {23, 4, 2}, {25, 4, 2}, {26, 9, 2}};
    int index = 0;
    for (const Kind& kind : kinds) {
        AcceleratorBoard* handle = open(index, boardOfType(kind.boardType, kind.busWidth));
        ASSERT_NE(handle, nullptr);
        const std::string where = "board type " + std::to_string(kind.boardType) + " width " +
                                  std::to_string(kind.busWidth);
        for (const Row& row : kMap) {
            expectCell(handle, row, row.layouts[kind.layout], where);
        }
        // The board's memory holds its whole layout.
        uint32_t size = 0;
        for (const Row& row : kMap) {
            const Cell cell = row.layouts[kind.layout];
            size = std::max(size, cell.offset + (cell.size > 1 ? cell.size : 4));
        }
        EXPECT_LE(size, board(index).sharedMemorySize()) << where;
        // Only the first look-ups reached the driver.
        EXPECT_LE(countRequests(index, HB_IOCTL_GET_HW_INFO), 2u) << where;
        ++index;
    }
}

TEST_F(SharedMemoryMapTest, BoardsWithoutALayoutOfferNoRegion) {
    // The bus caches live as long as the process: each test uses indices of its own.
    const std::pair<uint32_t, uint32_t> kinds[] = {{27, 4}, {27, 0}, {24, 4}, {99, 1}};
    int index = 7;
    for (const auto& [boardType, busWidth] : kinds) {
        AcceleratorBoard* handle = open(index++, boardOfType(boardType, busWidth));
        ASSERT_NE(handle, nullptr);
        for (const Row& row : kMap) {
            expectCell(handle, row, kAbsent, "board type " + std::to_string(boardType));
        }
    }
    for (const Row& row : kMap) {
        expectCell(nullptr, row, kAbsent, "null board");
    }
    AcceleratorBoard outside{16, boards_.front()->deviceHandle};
    hbSetLastError(0);
    for (const Row& row : kMap) {
        expectCell(&outside, row, kAbsent, "index 16");
    }
    EXPECT_EQ(hbGetLastError(), 0u) << "getters never set the last error";
}

TEST_F(SharedMemoryMapTest, CustomerMemorySwitchMovesOnlyTheFileIoBuffer) {
    AcceleratorBoard* width1 = open(11, boardOfType(27, 1));
    AcceleratorBoard* width3 = open(12, boardOfType(27, 3));
    AcceleratorBoard* type2 = open(13, boardOfType(22, 4));
    ASSERT_TRUE(width1 && width3 && type2);

    hb_FileIoUseCustomerMemory(2);
    expectCell(type2, kMap[3], {0x400, 0x4000}, "switch on");
    expectCell(type2, kMap[1], {0x400, 0x4000}, "switch on");
    expectCell(width3, kMap[3], {0x0, 0x1000}, "switch on");
    expectCell(width3, kMap[1], kAbsent, "switch on");
    expectCell(width1, kMap[3], {0x0, 0x400}, "switch on");
    expectCell(width1, kMap[1], {0x0, 0x400}, "switch on");
    for (AcceleratorBoard* handle : {width1, width3, type2}) {
        const int layout = handle == width1 ? 0 : handle == width3 ? 1 : 2;
        for (size_t i = 0; i < std::size(kMap); ++i) {
            if (i != 1 && i != 3) {
                expectCell(handle, kMap[i], kMap[i].layouts[layout], "unaffected by the switch");
            }
        }
    }

    hb_FileIoUseCustomerMemory(0);
    expectCell(width3, kMap[3], {0x1100, 0x400}, "switch off again");
    expectCell(width3, kMap[1], {0x0, 0x1000}, "switch off again");
    expectCell(type2, kMap[3], {0x4500, 0x4000}, "switch off again");
}

} // namespace
} // namespace hb::test
