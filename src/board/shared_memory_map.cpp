// Where each named region lies in a board's shared memory. The layout depends
// on the board's bus type and bus width; one table holds every region of the
// three layouts, and the getters look their row up in it.
#include "board/device_handle.h"
#include "hbsys9u.h"

#include <atomic>
#include <cstdint>

namespace {

enum Layout { kType1Width1, kType1Width2Or3, kType2Or3Width4, kLayoutCount, kNoLayout };

enum Region {
    kMonitorData,
    kCustomerMemory,
    kFailMessage,
    kFileIoBuffer,
    kDirectBuffer,
    kBufferToVp,
    kDescriptorsToVp,
    kParametersToVp,
    kBufferToHost,
    kDescriptorsToHost,
    kParametersToHost,
    kDescriptorsChannel0,
    kParametersChannel0,
    kRTCommAcq,
    kRTCommInsp,
    kAcqFifoControl,
    kFifoHoldingBuffer,
    kRegionCount
};

struct Cell {
    uint32_t offset;
    uint32_t size; // bytes, entries or 1 for a record; 0 marks an absent region
};

constexpr Cell kAbsent{0, 0};

// Columns: bus type 1 width 1, bus type 1 width 2 or 3, bus types 2 and 3 width 4.
constexpr Cell kMap[kRegionCount][kLayoutCount] = {
    /* kMonitorData         */ {{0x0, 1}, {0x0, 1}, {0x0, 1}},
    /* kCustomerMemory      */ {{0x0, 0x400}, {0x0, 0x1000}, {0x400, 0x4000}},
    /* kFailMessage         */ {{0x400, 1}, {0x1000, 1}, {0x4400, 1}},
    /* kFileIoBuffer        */ {{0x500, 0x140}, {0x1100, 0x400}, {0x4500, 0x4000}},
    /* kDirectBuffer        */ {{0x640, 0x40}, {0x1500, 0x40}, {0x8500, 0x40}},
    /* kBufferToVp          */ {{0x680, 0x80}, {0x1540, 0x1000}, {0x8540, 0x8000}},
    /* kDescriptorsToVp     */ {kAbsent, kAbsent, {0x10540, 13}},
    /* kParametersToVp      */ {{0x700, 1}, {0x2540, 1}, {0x10610, 1}},
    /* kBufferToHost        */ {{0x724, 0x80}, {0x2564, 0x1000}, {0x10650, 0x8000}},
    /* kDescriptorsToHost   */ {kAbsent, kAbsent, {0x18650, 13}},
    /* kParametersToHost    */ {{0x7A4, 1}, {0x3564, 1}, {0x18720, 1}},
    /* kDescriptorsChannel0 */ {kAbsent, kAbsent, {0x18760, 4352}},
    /* kParametersChannel0  */ {kAbsent, kAbsent, {0x29760, 1}},
    /* kRTCommAcq           */ {kAbsent, kAbsent, {0x317B8, 1}},
    /* kRTCommInsp          */ {kAbsent, kAbsent, {0x31964, 1}},
    /* kAcqFifoControl      */ {kAbsent, {0x3588, 1}, {0x31B10, 1}},
    /* kFifoHoldingBuffer   */ {kAbsent, kAbsent, {0x31C1C, 0x800}},
};

// Process-wide; written by the application and by the file-I/O service.
std::atomic<uint32_t> useCustomerMemory{0};

Layout layoutOf(const AcceleratorBoard* board) {
    // A record whose index lies outside the per-board tables has no layout;
    // the getters report that without touching the last error.
    if (board == nullptr || !hb::isTableIndex(board->boardIndex)) {
        return kNoLayout;
    }
    switch (hbBusType(board)) {
    case HB_BUS_TYPE_1:
        switch (hbBusWidth(board)) {
        case 1:
            return kType1Width1;
        case 2:
        case 3:
            return kType1Width2Or3;
        default:
            return kNoLayout;
        }
    case HB_BUS_TYPE_2:
    case HB_BUS_TYPE_3:
        return hbBusWidth(board) == 4 ? kType2Or3Width4 : kNoLayout;
    default:
        return kNoLayout;
    }
}

// The cell that answers for `region` now, with the customer-memory switch
// applied: the file-I/O buffer moves onto the customer memory region, and on
// bus type 1 width 2 or 3 that region is then no longer offered on its own.
Cell locate(const AcceleratorBoard* board, Region region) {
    const Layout layout = layoutOf(board);
    if (layout == kNoLayout) {
        return kAbsent;
    }
    const bool switchOn = useCustomerMemory.load(std::memory_order_relaxed) != 0;
    if (switchOn && region == kFileIoBuffer) {
        return kMap[kCustomerMemory][layout];
    }
    if (switchOn && region == kCustomerMemory && layout == kType1Width2Or3) {
        return kAbsent;
    }
    return kMap[region][layout];
}

uint32_t answer(const AcceleratorBoard* board, uint32_t* size, Region region) {
    const Cell cell = locate(board, region);
    if (cell.size == 0) {
        return 0;
    }
    if (size != nullptr) {
        *size = cell.size;
    }
    return cell.offset;
}

} // namespace

extern "C" {

uint32_t hb_GetMonitorData(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kMonitorData);
}
uint32_t hb_GetCustomerMemoryRegion(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kCustomerMemory);
}
uint32_t hb_GetFailMessage(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kFailMessage);
}
uint32_t hb_GetFileIoBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kFileIoBuffer);
}
uint32_t hb_GetDirectBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kDirectBuffer);
}
uint32_t hb_GetBufferToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kBufferToVp);
}
uint32_t hb_GetDescriptorsToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kDescriptorsToVp);
}
uint32_t hb_GetParametersToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kParametersToVp);
}
uint32_t hb_GetBufferToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kBufferToHost);
}
uint32_t hb_GetDescriptorsToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kDescriptorsToHost);
}
uint32_t hb_GetParametersToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kParametersToHost);
}
uint32_t hb_GetDescriptorsChannel0(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kDescriptorsChannel0);
}
uint32_t hb_GetParametersChannel0(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kParametersChannel0);
}
uint32_t hb_GetRTCommAcq(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kRTCommAcq);
}
uint32_t hb_GetRTCommInsp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kRTCommInsp);
}
uint32_t hb_GetAcqFifoControl(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kAcqFifoControl);
}
uint32_t hb_GetFifoHoldingBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, kFifoHoldingBuffer);
}

void hb_FileIoUseCustomerMemory(uint32_t value) {
    useCustomerMemory.store(value, std::memory_order_relaxed);
}

} // extern "C"
