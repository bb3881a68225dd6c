/* Where each named region lies in a board's shared memory, for the three
 * layouts (by bus type and width): one table, read by the library's region
 * getters, the virtual board and the tests' scripted VP. Plain C. */
#ifndef HB_PROTOCOL_SHARED_MEMORY_LAYOUT_H
#define HB_PROTOCOL_SHARED_MEMORY_LAYOUT_H

#include "driver_requests.h"

#include <stdint.h>

typedef enum HbLayout {
    HB_LAYOUT_TYPE1_WIDTH1,
    HB_LAYOUT_TYPE1_WIDTH2_OR_3,
    HB_LAYOUT_TYPE2_OR_3_WIDTH4,
    HB_LAYOUT_COUNT,
    HB_LAYOUT_NONE = HB_LAYOUT_COUNT
} HbLayout;

typedef enum HbRegion {
    HB_REGION_MONITOR_DATA,
    HB_REGION_CUSTOMER_MEMORY,
    HB_REGION_FAIL_MESSAGE,
    HB_REGION_FILE_IO_BUFFER,
    HB_REGION_DIRECT_BUFFER,
    HB_REGION_BUFFER_TO_VP,
    HB_REGION_DESCRIPTORS_TO_VP,
    HB_REGION_PARAMETERS_TO_VP,
    HB_REGION_BUFFER_TO_HOST,
    HB_REGION_DESCRIPTORS_TO_HOST,
    HB_REGION_PARAMETERS_TO_HOST,
    HB_REGION_DESCRIPTORS_CHANNEL0,
    HB_REGION_PARAMETERS_CHANNEL0,
    HB_REGION_RT_COMM_ACQ,
    HB_REGION_RT_COMM_INSP,
    HB_REGION_ACQ_FIFO_CONTROL,
    HB_REGION_FIFO_HOLDING_BUFFER,
    HB_REGION_COUNT
} HbRegion;

typedef struct HbRegionCell {
    uint32_t offset;
    uint32_t size; /* bytes, entries or 1 for a record; 0 marks an absent region */
} HbRegionCell;

#define HB_REGION_ABSENT                                                                           \
    { 0, 0 }

/* Columns: bus type 1 width 1, bus type 1 width 2 or 3, bus types 2 and 3
 * width 4. */
static const HbRegionCell hbSharedMemoryLayout[HB_REGION_COUNT][HB_LAYOUT_COUNT] = {
    /* MONITOR_DATA         */ {{0x0, 1}, {0x0, 1}, {0x0, 1}},
    /* CUSTOMER_MEMORY      */ {{0x0, 0x400}, {0x0, 0x1000}, {0x400, 0x4000}},
    /* FAIL_MESSAGE         */ {{0x400, 1}, {0x1000, 1}, {0x4400, 1}},
    /* FILE_IO_BUFFER       */ {{0x500, 0x140}, {0x1100, 0x400}, {0x4500, 0x4000}},
    /* DIRECT_BUFFER        */ {{0x640, 0x40}, {0x1500, 0x40}, {0x8500, 0x40}},
    /* BUFFER_TO_VP         */ {{0x680, 0x80}, {0x1540, 0x1000}, {0x8540, 0x8000}},
    /* DESCRIPTORS_TO_VP    */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x10540, 13}},
    /* PARAMETERS_TO_VP     */ {{0x700, 1}, {0x2540, 1}, {0x10610, 1}},
    /* BUFFER_TO_HOST       */ {{0x724, 0x80}, {0x2564, 0x1000}, {0x10650, 0x8000}},
    /* DESCRIPTORS_TO_HOST  */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x18650, 13}},
    /* PARAMETERS_TO_HOST   */ {{0x7A4, 1}, {0x3564, 1}, {0x18720, 1}},
    /* DESCRIPTORS_CHANNEL0 */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x18760, 4352}},
    /* PARAMETERS_CHANNEL0  */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x29760, 1}},
    /* RT_COMM_ACQ          */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x317B8, 1}},
    /* RT_COMM_INSP         */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x31964, 1}},
    /* ACQ_FIFO_CONTROL     */ {HB_REGION_ABSENT, {0x3588, 1}, {0x31B10, 1}},
    /* FIFO_HOLDING_BUFFER  */ {HB_REGION_ABSENT, HB_REGION_ABSENT, {0x31C1C, 0x800}},
};

/* The layout of a bus type and width; HB_LAYOUT_NONE for any other pair. */
static inline HbLayout hbLayoutOf(int32_t busType, int32_t busWidth) {
    if (busType == HB_BUS_TYPE_1 && busWidth == 1) {
        return HB_LAYOUT_TYPE1_WIDTH1;
    }
    if (busType == HB_BUS_TYPE_1 && (busWidth == 2 || busWidth == 3)) {
        return HB_LAYOUT_TYPE1_WIDTH2_OR_3;
    }
    if ((busType == HB_BUS_TYPE_2 || busType == HB_BUS_TYPE_3) && busWidth == 4) {
        return HB_LAYOUT_TYPE2_OR_3_WIDTH4;
    }
    return HB_LAYOUT_NONE;
}

/* The layout of a board as its hardware information describes it. */
static inline HbLayout hbLayoutOfBoardType(uint32_t boardType, uint32_t busWidth) {
    const int32_t busType = hbBusTypeOfBoardType(boardType);
    return hbLayoutOf(busType, busType == HB_BUS_TYPE_1 ? (int32_t)busWidth : 4);
}

/* Where the file-I/O block lies: the file-I/O buffer, or the customer memory
 * region while the customer-memory switch is on. Size 0: no layout. */
static inline HbRegionCell hbFileIoBlockCell(HbLayout layout, int useCustomerMemory) {
    const HbRegionCell none = HB_REGION_ABSENT;
    if (layout >= HB_LAYOUT_COUNT) {
        return none;
    }
    return hbSharedMemoryLayout[useCustomerMemory ? HB_REGION_CUSTOMER_MEMORY
                                                  : HB_REGION_FILE_IO_BUFFER][layout];
}

#endif
