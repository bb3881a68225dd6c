// The virtual board's shared memory holds the whole layout of its kind.
#include "shared_memory_map.h"
#include "virtual_board_fixture.h"

namespace hb::test {
namespace {

class VirtualBoardLayout : public VirtualBoardTest {};

TEST_F(VirtualBoardLayout, SharedMemoryHoldsEveryRegionOfTheLayout) {
    struct Kind {
        uint32_t boardType, busWidth;
        int layout;
    };
    const Kind kinds[] = {{27, 1, 0}, {27, 2, 1}, {27, 3, 1}, {22, 4, 2},
                          {23, 4, 2}, {25, 4, 2}, {26, 9, 2}};
    int index = 0;
    for (const Kind& kind : kinds) {
        const vboard::Board& board =
            device_->addBoard(index++, boardOfType(kind.boardType, kind.busWidth));
        EXPECT_LE(layoutEnd(kind.layout), board.sharedMemorySize())
            << "board type " << kind.boardType << " width " << kind.busWidth;
    }
}

} // namespace
} // namespace hb::test
