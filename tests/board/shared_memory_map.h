// The seventeen region getters of the shared memory map, and the regions a
// board offers through them.
#pragma once

#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace hb::test {

// What a getter's size value counts: 1 for a record, bytes, or table entries
// 16 bytes apart.
enum class Unit { Record, Bytes, Entries };

struct Getter {
    const char* name;
    uint32_t (*get)(const AcceleratorBoard*, uint32_t*);
    Unit unit;
};

inline const Getter kGetters[] = {
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

inline constexpr uint32_t kUntouched = 0xDEADBEEF;

struct Region {
    std::string name;
    Unit unit;
    uint32_t offset, size;
    uint64_t end; // past its bytes; a record counts as one word
};

// The regions `board` offers, in address order. An absent region must answer
// 0 and leave the size alone; a null size must not change an answer.
inline std::vector<Region> regionsOf(const AcceleratorBoard* board) {
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
inline std::map<std::string, std::pair<uint32_t, uint32_t>> cellsOf(const AcceleratorBoard* board) {
    std::map<std::string, std::pair<uint32_t, uint32_t>> cells;
    for (const Region& r : regionsOf(board))
        cells[r.name] = {r.offset, r.size};
    return cells;
}

} // namespace hb::test
