// The shared memory map of every kind of board and the bus caches it rests
// on, against virtual boards of each type and bus width. The bus caches live
// as long as the process, which may run every case: a board index always
// names the same kind of board here.
#include "virtual_board_fixture.h"

#include <map>

namespace hb::test {
namespace {

// What a getter's size value counts: 1 for a record, bytes, or table entries
// 16 bytes apart.
enum class Unit { Record, Bytes, Entries };

struct Getter {
    const char* name;
    uint32_t (*get)(const AcceleratorBoard*, uint32_t*);
    Unit unit;
};

const Getter kGetters[] = {
    {"MonitorData", hb_GetMonitorData, Unit::Record},
    {"CustomerMemoryRegion", hb_GetCustomerMemoryRegion, Unit::Bytes},
    {"FailMessage", hb_GetFailMessage, Unit::Record},
    {"FileIoBuffer", hb_GetFileIoBuffer, Unit::Bytes},
    {"DirectBuffer", hb_GetDirectBuffer, Unit::Bytes},
    {"BufferToVp", hb_GetBufferToVp, Unit::Bytes},
    {"DescriptorsToVp", hb_GetDescriptorsToVp, Unit::Entries},
    {"ParametersToVp", hb_GetParametersToVp, Unit::Record},
    {"BufferToHost", hb_GetBufferToHost, Unit::Bytes},
    {"DescriptorsToHost", hb_GetDescriptorsToHost, Unit::Entries},
    {"ParametersToHost", hb_GetParametersToHost, Unit::Record},
    {"DescriptorsChannel0", hb_GetDescriptorsChannel0, Unit::Entries},
    {"ParametersChannel0", hb_GetParametersChannel0, Unit::Record},
    {"RTCommAcq", hb_GetRTCommAcq, Unit::Record},
    {"RTCommInsp", hb_GetRTCommInsp, Unit::Record},
    {"AcqFifoControl", hb_GetAcqFifoControl, Unit::Record},
    {"FifoHoldingBuffer", hb_GetFifoHoldingBuffer, Unit::Bytes},
};

constexpr uint32_t kUntouched = 0xDEADBEEF;

struct Region {
    std::string name;
    Unit unit;
    uint32_t offset, size;
    uint64_t end; // past its bytes; a record counts as one word
};

// The regions `board` offers, in address order. An absent region must answer
// 0 and leave the size alone; a null size must not change an answer.
std::vector<Region> regionsOf(const AcceleratorBoard* board) {
    std::vector<Region> found;
    for (const Getter& g : kGetters) {
        uint32_t size = kUntouched;
        const uint32_t offset = g.get(board, &size);
        EXPECT_EQ(g.get(board, nullptr), offset) << g.name << " without a size";
        EXPECT_TRUE(size != kUntouched || offset == 0) << g.name << " is absent";
        const uint64_t bytes = g.unit == Unit::Bytes     ? size
                               : g.unit == Unit::Entries ? 16ull * size
                                                         : 4;
        if (size != kUntouched)
            found.push_back({g.name, g.unit, offset, size, offset + bytes});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Region& a, const Region& b) { return a.offset < b.offset; });
    return found;
}

// Each region's offset and size value, by name.
std::map<std::string, std::pair<uint32_t, uint32_t>> cellsOf(const AcceleratorBoard* board) {
    std::map<std::string, std::pair<uint32_t, uint32_t>> cells;
    for (const Region& r : regionsOf(board))
        cells[r.name] = {r.offset, r.size};
    return cells;
}

using Cell = std::pair<uint32_t, uint32_t>;

struct Kind {
    int index;
    uint32_t boardType, busWidth;
    int32_t busType;
    size_t regions;     // how many regions the layout offers
    uint32_t fileIo;    // where the file-I/O buffer lies
    const char* last;   // the last region of the layout
    size_t hwInfoAsked; // type 27 asks for its width apart
};
const Kind kKinds[] = {
    {0, 27, 1, 1, 9, 0x500, "ParametersToHost", 2},
    {1, 27, 2, 1, 10, 0x1100, "AcqFifoControl", 2},
    {2, 27, 3, 1, 10, 0x1100, "AcqFifoControl", 2},
    {3, 22, 4, 2, 17, 0x4500, "FifoHoldingBuffer", 1},
    {4, 23, 4, 3, 17, 0x4500, "FifoHoldingBuffer", 1},
    {5, 25, 4, 3, 17, 0x4500, "FifoHoldingBuffer", 1},
    {6, 26, 9, 2, 17, 0x4500, "FifoHoldingBuffer", 1},
};

class SharedMemoryMapTest : public VirtualBoardTest {
  protected:
    void TearDown() override {
        hb_FileIoUseCustomerMemory(0);
        VirtualBoardTest::TearDown();
    }
    AcceleratorBoard* open(int index, uint32_t boardType, uint32_t busWidth) {
        return VirtualBoardTest::open(index, {boardType, busWidth});
    }
    AcceleratorBoard* open(const Kind& kind) {
        return open(kind.index, kind.boardType, kind.busWidth);
    }
    size_t hwInfoRequests(int index) { return countRequests(index, HB_IOCTL_GET_HW_INFO); }
};

// What a wrong cell of a layout breaks: a region off its word, a record whose
// size value is not 1, a region running into the next, or a gap behind a
// buffer or table (the layouts are packed; only records have room behind
// them). The monitor data area lies at 0; on bus type 1 the customer memory
// covers it, so the walk starts behind it.
void expectPacked(const std::vector<Region>& regions) {
    ASSERT_GE(regions.size(), 2u);
    EXPECT_EQ(regions[0].name, "MonitorData");
    EXPECT_EQ(Cell(regions[0].offset, regions[0].size), Cell(0, 1));
    for (size_t i = 1; i < regions.size(); ++i) {
        const Region& r = regions[i];
        EXPECT_EQ(r.offset % 4 + r.end % 4, 0u) << r.name;
        EXPECT_TRUE(r.unit != Unit::Record || r.size == 1) << r.name;
        const uint64_t next = i + 1 < regions.size() ? regions[i + 1].offset : r.end;
        EXPECT_TRUE(r.unit == Unit::Record ? r.end <= next : r.end == next)
            << r.name << " runs into the next region or leaves a gap";
    }
}

TEST_F(SharedMemoryMapTest, EveryLayoutIsPackedOnWordsAndAskedOfTheDriverOnlyOnce) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE("board type " + std::to_string(kind.boardType));
        AcceleratorBoard* handle = open(kind);
        const std::vector<Region> regions = regionsOf(handle);
        expectPacked(regions);
        EXPECT_EQ(regions.size(), kind.regions);
        EXPECT_EQ(regions.back().name, kind.last);
        EXPECT_EQ(hb_GetFileIoBuffer(handle, nullptr), kind.fileIo);
        EXPECT_EQ(hbBusType(handle), kind.busType);
        EXPECT_EQ(hwInfoRequests(kind.index), kind.hwInfoAsked);
        regionsOf(handle);
        EXPECT_EQ(hwInfoRequests(kind.index), kind.hwInfoAsked) << "the getters use the cache";
    }
    // A few cells as the board's contract gives them.
    EXPECT_EQ(cellsOf(open(kKinds[0]))["FileIoBuffer"], Cell(0x500, 0x140));
    EXPECT_EQ(cellsOf(open(kKinds[1]))["AcqFifoControl"], Cell(0x3588, 1));
    EXPECT_EQ(cellsOf(open(kKinds[3]))["FifoHoldingBuffer"], Cell(0x31C1C, 0x800));
}

TEST_F(SharedMemoryMapTest, BoardsWithoutALayoutOrAUsableRecordOfferNoRegion) {
    const std::pair<uint32_t, uint32_t> kinds[] = {{27, 4}, {27, 0}, {24, 4}, {21, 1}, {28, 1}};
    int index = 7;
    for (const auto& [boardType, busWidth] : kinds)
        EXPECT_TRUE(regionsOf(open(index++, boardType, busWidth)).empty()) << boardType;
    EXPECT_TRUE(regionsOf(nullptr).empty());
    EXPECT_EQ(hbBusType(nullptr) + hbBusWidth(nullptr), 0);
    // Indices past the per-board tables: no request; the getters leave the
    // last error alone, the bus queries set 87.
    const size_t before = board(7).trace().size();
    for (const int32_t outside : {16, -1}) {
        const AcceleratorBoard record{outside, boards_.front()->deviceHandle};
        hbSetLastError(0);
        EXPECT_TRUE(regionsOf(&record).empty());
        EXPECT_EQ(hbGetLastError(), 0u);
        EXPECT_EQ(hbBusType(&record) + hbBusWidth(&record), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(board(7).trace().size(), before);
    // No device: the channel refuses with 87; the invalid value sends nothing.
    const AcceleratorBoard noDevice{15, nullptr}, invalid{15, HB_INVALID_HANDLE};
    hbSetLastError(0);
    EXPECT_EQ(hbBusType(&noDevice), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    hbSetLastError(5);
    EXPECT_EQ(hbBusType(&invalid) + hbBusWidth(&invalid), 0);
    EXPECT_EQ(hbGetLastError(), 5u);
}

TEST_F(SharedMemoryMapTest, OnlyDeterminedBusTypesAndWidthsAreCachedAndOutliveTheHandle) {
    // Bus type 0 (board type 24): asked again at every look-up.
    AcceleratorBoard* unknown = open(9, 24, 4);
    const size_t start = hwInfoRequests(9);
    EXPECT_EQ(hbBusType(unknown) + hbBusType(unknown) + hbBusWidth(unknown), 0);
    EXPECT_EQ(hwInfoRequests(9), start + 3);
    // Bus type 1 with width 0: the type is cached, the width asked each time.
    AcceleratorBoard* noWidth = open(8, 27, 0);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    const size_t typed = hwInfoRequests(8);
    EXPECT_EQ(hbBusWidth(noWidth) + hbBusWidth(noWidth), 0);
    EXPECT_EQ(hbBusType(noWidth), HB_BUS_TYPE_1);
    EXPECT_EQ(hwInfoRequests(8), typed + 2);
    // Bus type 1 known, no device to ask: width 2.
    EXPECT_EQ(hbBusType(open(13, 27, 0)), HB_BUS_TYPE_1);
    const AcceleratorBoard noDevice{13, HB_INVALID_HANDLE};
    EXPECT_EQ(hbBusWidth(&noDevice), 2);
    // Bus type 2 is width 4 whatever the record says; a second handle of the
    // index asks nothing.
    for (int handle = 0; handle < 2; ++handle) {
        AcceleratorBoard* wide = open(14, 22, 0);
        EXPECT_EQ(hbBusType(wide), HB_BUS_TYPE_2);
        EXPECT_EQ(hbBusWidth(wide), 4);
    }
    EXPECT_EQ(hwInfoRequests(14), 1u);
}

TEST_F(SharedMemoryMapTest, AFailedHardwareQueryIsNotCachedAndKeepsTheDriversCode) {
    AcceleratorBoard* handle = open(12, 23, 4);
    board(12).setFaultPlan(vboard::parseFaultPlan("fail:GetHwInfo=31"));
    hbSetLastError(0);
    uint32_t size = kUntouched;
    EXPECT_EQ(hb_GetFileIoBuffer(handle, &size), 0u);
    EXPECT_EQ(size, kUntouched);
    EXPECT_EQ(hbGetLastError(), 31u);
    EXPECT_EQ(hb_GetFileIoBuffer(handle, nullptr), 0x4500u);
    EXPECT_EQ(hbBusType(handle), HB_BUS_TYPE_3);
    EXPECT_EQ(hwInfoRequests(12), 2u);
}

TEST_F(SharedMemoryMapTest, CustomerMemorySwitchMovesOnlyTheFileIoBuffer) {
    for (const Kind& kind : {kKinds[0], kKinds[2], kKinds[3]}) { // the three layouts
        SCOPED_TRACE(kind.busWidth);
        AcceleratorBoard* handle = open(kind);
        const auto off = cellsOf(handle);
        hb_FileIoUseCustomerMemory(2);
        const auto on = cellsOf(handle);
        hb_FileIoUseCustomerMemory(0);
        auto expected = off;
        expected["FileIoBuffer"] = off.at("CustomerMemoryRegion");
        if (kind.busWidth == 3) // offered apart no longer
            expected.erase("CustomerMemoryRegion");
        EXPECT_EQ(on, expected);
        EXPECT_EQ(cellsOf(handle), off) << "switched off again";
    }
    hb_FileIoUseCustomerMemory(1);
    EXPECT_EQ(cellsOf(open(kKinds[3]))["FileIoBuffer"], Cell(0x400, 0x4000));
}

} // namespace
} // namespace hb::test
