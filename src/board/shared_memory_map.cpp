// Where each named region lies in a board's shared memory. The layout depends
// on the board's bus type and bus width; the getters look their row up in the
// layout table of the shared-memory wire format.
#include "board/device_handle.h"
#include "hbsys9u.h"
#include "shared_memory_layout.h"

#include <atomic>
#include <cstdint>

namespace {

using Layout = HbLayout;
using Region = HbRegion;
using Cell = HbRegionCell;

constexpr Cell kAbsent{0, 0};

// Process-wide; written by the application and by the file-I/O service.
std::atomic<uint32_t> useCustomerMemory{0};

Layout layoutOf(const AcceleratorBoard* board) {
    // A record whose index lies outside the per-board tables has no layout;
    // the getters report that without touching the last error.
    if (board == nullptr || !hb::isTableIndex(board->boardIndex)) {
        return HB_LAYOUT_NONE;
    }
    // The width is asked only of a board whose bus type is known.
    const int32_t busType = hbBusType(board);
    if (busType == HB_BUS_TYPE_UNKNOWN) {
        return HB_LAYOUT_NONE;
    }
    return hbLayoutOf(busType, hbBusWidth(board));
}

// The cell that answers for `region` now, with the customer-memory switch
// applied: the file-I/O buffer moves onto the customer memory region, and on
// bus type 1 width 2 or 3 that region is then no longer offered on its own.
Cell locate(const AcceleratorBoard* board, Region region) {
    const Layout layout = layoutOf(board);
    if (layout == HB_LAYOUT_NONE) {
        return kAbsent;
    }
    const bool switchOn = useCustomerMemory.load(std::memory_order_relaxed) != 0;
    if (switchOn && region == HB_REGION_FILE_IO_BUFFER) {
        return hbFileIoBlockCell(layout, 1);
    }
    if (switchOn && region == HB_REGION_CUSTOMER_MEMORY && layout == HB_LAYOUT_TYPE1_WIDTH2_OR_3) {
        return kAbsent;
    }
    return hbSharedMemoryLayout[region][layout];
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
    return answer(board, size, HB_REGION_MONITOR_DATA);
}
uint32_t hb_GetCustomerMemoryRegion(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_CUSTOMER_MEMORY);
}
uint32_t hb_GetFailMessage(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_FAIL_MESSAGE);
}
uint32_t hb_GetFileIoBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_FILE_IO_BUFFER);
}
uint32_t hb_GetDirectBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_DIRECT_BUFFER);
}
uint32_t hb_GetBufferToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_BUFFER_TO_VP);
}
uint32_t hb_GetDescriptorsToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_DESCRIPTORS_TO_VP);
}
uint32_t hb_GetParametersToVp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_PARAMETERS_TO_VP);
}
uint32_t hb_GetBufferToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_BUFFER_TO_HOST);
}
uint32_t hb_GetDescriptorsToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_DESCRIPTORS_TO_HOST);
}
uint32_t hb_GetParametersToHost(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_PARAMETERS_TO_HOST);
}
uint32_t hb_GetDescriptorsChannel0(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_DESCRIPTORS_CHANNEL0);
}
uint32_t hb_GetParametersChannel0(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_PARAMETERS_CHANNEL0);
}
uint32_t hb_GetRTCommAcq(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_RT_COMM_ACQ);
}
uint32_t hb_GetRTCommInsp(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_RT_COMM_INSP);
}
uint32_t hb_GetAcqFifoControl(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_ACQ_FIFO_CONTROL);
}
uint32_t hb_GetFifoHoldingBuffer(const AcceleratorBoard* board, uint32_t* size) {
    return answer(board, size, HB_REGION_FIFO_HOLDING_BUFFER);
}

void hb_FileIoUseCustomerMemory(uint32_t value) {
    useCustomerMemory.store(value, std::memory_order_relaxed);
}

} // extern "C"
