// The shared memory map of every kind of board and the bus caches it rests
// on, with hardware information from the in-process fake driver, so that the
// same program runs on every platform. The bus caches live as long as the
// process, which may run every case: a board index always names the same kind
// of board here.
#include "shared_memory_map.h"
#include "support/fake_device.h"

#include <string>

namespace hb::test {
namespace {

constexpr uint32_t kHwInfo = 0x8001A08C;

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
            fake_.addBoard(index, {boardType, busWidth});
        }
        AcceleratorBoard* board = hbAcceleratorBoardCreate(fake_.baseName().c_str(), index, 0);
        if (board != nullptr) {
            boards_.push_back(board);
        }
        return board;
    }
    size_t hwInfoRequests(int index) { return fake_.board(index)->count(kHwInfo); }

    hbtest::FakeDevice fake_;
    std::vector<AcceleratorBoard*> boards_;
};

struct Kind {
    int index;
    uint32_t boardType, busWidth;
    size_t regions;     // how many regions the layout offers
    uint32_t fileIo;    // where the file-I/O buffer lies
    const char* last;   // the last region of the layout
    size_t hwInfoAsked; // type 27 asks for its width apart
};
const Kind kKinds[] = {
    {0, 27, 1, 9, 0x500, "ParametersToHost", 2},    {1, 27, 2, 10, 0x1100, "AcqFifoControl", 2},
    {2, 27, 3, 10, 0x1100, "AcqFifoControl", 2},    {3, 22, 4, 17, 0x4500, "FifoHoldingBuffer", 1},
    {4, 23, 4, 17, 0x4500, "FifoHoldingBuffer", 1}, {5, 25, 4, 17, 0x4500, "FifoHoldingBuffer", 1},
    {6, 26, 9, 17, 0x4500, "FifoHoldingBuffer", 1},
};

// What a wrong cell of a layout breaks: a region off its word, a record whose
// size value is not 1, a region running into the next, or a gap behind a
// buffer or table (the layouts are packed; only records have room behind
// them). The monitor data area lies at 0; on bus type 1 the customer memory
// covers it, so the walk starts behind it.
void expectPacked(const std::vector<Region>& regions) {
    ASSERT_GE(regions.size(), 2u);
    EXPECT_STREQ(regions[0].name, "MonitorData");
    EXPECT_EQ(regions[0].offset, 0u);
    EXPECT_EQ(regions[0].size, 1u);
    for (size_t i = 1; i < regions.size(); ++i) {
        const Region& r = regions[i];
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.offset % 4, 0u);
        EXPECT_EQ(r.end % 4, 0u);
        if (r.unit == Unit::Record) {
            EXPECT_EQ(r.size, 1u);
        }
        if (i + 1 == regions.size()) {
            break;
        }
        if (r.unit == Unit::Record) {
            EXPECT_LE(r.end, regions[i + 1].offset) << "runs into " << regions[i + 1].name;
        } else {
            EXPECT_EQ(r.end, regions[i + 1].offset)
                << "gap or overlap before " << regions[i + 1].name;
        }
    }
}

TEST_F(SharedMemoryMapTest, EveryLayoutIsPackedOnWordsAndAskedOfTheDriverOnlyOnce) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE("board type " + std::to_string(kind.boardType) + " width " +
                     std::to_string(kind.busWidth));
        AcceleratorBoard* handle = open(kind.index, kind.boardType, kind.busWidth);
        ASSERT_NE(handle, nullptr);
        const std::vector<Region> regions = regionsOf(handle);
        expectPacked(regions);
        EXPECT_EQ(regions.size(), kind.regions);
        EXPECT_STREQ(regions.back().name, kind.last);
        EXPECT_EQ(hb_GetFileIoBuffer(handle, nullptr), kind.fileIo);
        EXPECT_EQ(hwInfoRequests(kind.index), kind.hwInfoAsked);
        regionsOf(handle);
        EXPECT_EQ(hwInfoRequests(kind.index), kind.hwInfoAsked) << "the getters use the cache";
    }
    // A few cells as the board's contract gives them.
    uint32_t size = 0;
    EXPECT_EQ(hb_GetAcqFifoControl(open(1, 27, 2), &size), 0x3588u);
    EXPECT_EQ(hb_GetFifoHoldingBuffer(open(3, 22, 4), &size), 0x31C1Cu);
    EXPECT_EQ(size, 0x800u);
    EXPECT_EQ(hb_GetParametersToHost(open(0, 27, 1), &size), 0x7A4u);
    EXPECT_EQ(hb_GetFileIoBuffer(open(0, 27, 1), &size), 0x500u);
    EXPECT_EQ(size, 0x140u);
}

TEST_F(SharedMemoryMapTest, BoardsWithoutALayoutOrAUsableRecordOfferNoRegion) {
    const std::pair<uint32_t, uint32_t> kinds[] = {{27, 4}, {27, 0}, {24, 4}, {21, 1}, {28, 1}};
    int index = 7;
    for (const auto& [boardType, busWidth] : kinds) {
        EXPECT_TRUE(regionsOf(open(index++, boardType, busWidth)).empty()) << boardType;
    }
    EXPECT_TRUE(regionsOf(nullptr).empty());
    EXPECT_EQ(hbBusType(nullptr), 0);
    EXPECT_EQ(hbBusWidth(nullptr), 0);

    // Indices past the per-board tables: no request, and the getters leave
    // the last error alone while the bus queries set 87.
    const size_t before = fake_.board(7)->requestCount();
    for (int32_t outside : {16, 1000, -1}) {
        const AcceleratorBoard record{outside, boards_.front()->deviceHandle};
        hbSetLastError(0);
        EXPECT_TRUE(regionsOf(&record).empty());
        EXPECT_EQ(hbGetLastError(), 0u);
        EXPECT_EQ(hbBusType(&record), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
        hbSetLastError(0);
        EXPECT_EQ(hbBusWidth(&record), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(fake_.board(7)->requestCount(), before);

    // No device: the channel refuses with 87; the invalid value sends nothing.
    const AcceleratorBoard noDevice{15, nullptr};
    hbSetLastError(0);
    EXPECT_EQ(hbBusType(&noDevice), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    const AcceleratorBoard invalid{15, HB_INVALID_HANDLE};
    hbSetLastError(5);
    EXPECT_EQ(hbBusType(&invalid), 0);
    EXPECT_EQ(hbBusWidth(&invalid), 0);
    EXPECT_EQ(hbGetLastError(), 5u);
}

TEST_F(SharedMemoryMapTest, OnlyDeterminedBusTypesAndWidthsAreCachedAndOutliveTheHandle) {
    // Bus type 0 (board type 24): asked again at every look-up.
    AcceleratorBoard* unknown = open(9, 24, 4);
    const size_t start = hwInfoRequests(9);
    EXPECT_EQ(hbBusType(unknown), HB_BUS_TYPE_UNKNOWN);
    EXPECT_EQ(hbBusType(unknown), HB_BUS_TYPE_UNKNOWN);
    EXPECT_EQ(hbBusWidth(unknown), 0);
    EXPECT_EQ(hwInfoRequests(9), start + 3);

    // Bus type 1 with width 0: the type is cached, the width asked each time.
    AcceleratorBoard* noWidth = open(8, 27, 0);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    const size_t typed = hwInfoRequests(8);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(hbBusWidth(noWidth), 0);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    EXPECT_EQ(hwInfoRequests(8), typed + 2);

    // Bus type 2 is width 4 whatever the record says; a second handle of the
    // index asks nothing.
    AcceleratorBoard* first = open(14, 22, 0);
    EXPECT_EQ(hbBusType(first), HB_BUS_TYPE_2);
    EXPECT_EQ(hbBusWidth(first), 4);
    AcceleratorBoard* second = open(14, 22, 0);
    EXPECT_EQ(hbBusType(second), HB_BUS_TYPE_2);
    EXPECT_EQ(hbBusWidth(second), 4);
    EXPECT_EQ(hwInfoRequests(14), 1u);

    const std::pair<uint32_t, int32_t> busTypes[] = {{27, 1}, {22, 2}, {26, 2}, {23, 3}, {25, 3}};
    for (const auto& [boardType, busType] : busTypes) {
        const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                       [&](const Kind& k) { return k.boardType == boardType; });
        EXPECT_EQ(hbBusType(open(kind->index, boardType, kind->busWidth)), busType) << boardType;
    }
}

TEST_F(SharedMemoryMapTest, AFailedHardwareQueryIsNotCachedAndKeepsTheDriversCode) {
    AcceleratorBoard* handle = open(12, 23, 4);
    ASSERT_NE(handle, nullptr);
    fake_.board(12)->failNext(kHwInfo, 31);
    hbSetLastError(0);
    uint32_t size = kUntouched;
    EXPECT_EQ(hb_GetFileIoBuffer(handle, &size), 0u);
    EXPECT_EQ(size, kUntouched);
    EXPECT_EQ(hbGetLastError(), 31u);
    EXPECT_EQ(hb_GetFileIoBuffer(handle, &size), 0x4500u);
    EXPECT_EQ(hbBusType(handle), HB_BUS_TYPE_3);
    EXPECT_EQ(hwInfoRequests(12), 2u);
}

TEST_F(SharedMemoryMapTest, CustomerMemorySwitchMovesOnlyTheFileIoBuffer) {
    const Kind* kinds[] = {&kKinds[0], &kKinds[2], &kKinds[3]}; // the three layouts
    for (const Kind* kind : kinds) {
        SCOPED_TRACE(kind->busWidth);
        AcceleratorBoard* handle = open(kind->index, kind->boardType, kind->busWidth);
        std::vector<Region> off = regionsOf(handle);
        uint32_t customerSize = 0;
        const uint32_t customer = hb_GetCustomerMemoryRegion(handle, &customerSize);

        hb_FileIoUseCustomerMemory(2);
        uint32_t size = 0;
        EXPECT_EQ(hb_GetFileIoBuffer(handle, &size), customer);
        EXPECT_EQ(size, customerSize);
        // On bus type 1 width 2 or 3 the region is no longer offered apart.
        const bool shared = kind->busWidth == 3;
        size = kUntouched;
        EXPECT_EQ(hb_GetCustomerMemoryRegion(handle, &size), shared ? 0 : customer);
        EXPECT_EQ(size, shared ? kUntouched : customerSize);
        std::vector<Region> on = regionsOf(handle);
        const auto moved = [](const Region& r) {
            return std::string(r.name) == "FileIoBuffer" ||
                   std::string(r.name) == "CustomerMemoryRegion";
        };
        std::erase_if(off, moved);
        std::erase_if(on, moved);
        ASSERT_EQ(on.size(), off.size());
        for (size_t i = 0; i < on.size(); ++i) {
            EXPECT_EQ(on[i].offset, off[i].offset) << on[i].name;
        }

        hb_FileIoUseCustomerMemory(0);
        EXPECT_EQ(hb_GetFileIoBuffer(handle, nullptr), kind->fileIo);
        EXPECT_EQ(hb_GetCustomerMemoryRegion(handle, &size), customer);
    }
    // The contract's values with the switch on.
    hb_FileIoUseCustomerMemory(1);
    uint32_t size = 0;
    EXPECT_EQ(hb_GetFileIoBuffer(open(3, 22, 4), &size), 0x400u);
    EXPECT_EQ(size, 0x4000u);
    EXPECT_EQ(hb_GetFileIoBuffer(open(2, 27, 3), &size), 0u);
    EXPECT_EQ(size, 0x1000u);
}

} // namespace
} // namespace hb::test
