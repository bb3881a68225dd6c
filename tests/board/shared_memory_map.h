// The shared memory map of every kind of board as the tests expect it, one
// row per region getter.
#pragma once

#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace hb::test {

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

inline constexpr Cell kAbsent{0, 0};

// The published map, switch off.
inline const Row kMap[] = {
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
inline constexpr size_t kCustomerMemoryRow = 1;
inline constexpr size_t kFileIoBufferRow = 3;

// The end of the last region of a layout (a record counted as one word).
inline uint32_t layoutEnd(int layout) {
    uint32_t end = 0;
    for (const Row& row : kMap) {
        const Cell cell = row.layouts[layout];
        end = std::max(end, cell.offset + (cell.size > 1 ? cell.size : 4));
    }
    return end;
}

inline constexpr uint32_t kUntouched = 0xDEADBEEF;

inline void expectCell(const AcceleratorBoard* board, const Row& row, Cell cell,
                       const std::string& where) {
    uint32_t size = kUntouched;
    EXPECT_EQ(row.getter(board, &size), cell.offset) << row.name << " " << where;
    EXPECT_EQ(size, cell.size != 0 ? cell.size : kUntouched) << row.name << " " << where;
    EXPECT_EQ(row.getter(board, nullptr), cell.offset) << row.name << " without size";
}

} // namespace hb::test
