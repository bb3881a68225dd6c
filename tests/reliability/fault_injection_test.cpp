// The virtual board's fault plan, seen through the library: each kind of
// request fault hits the requests it names and ends in the error the channel
// promises, and a late event finds no withdrawn registration.
#include "virtual_board_fixture.h"

#include <stdexcept>

namespace hb::test {
namespace {

using FaultInjection = VirtualBoardTest;

TEST_F(FaultInjection, EachRequestFaultHitsItsRequestsWithItsErrorAndEffect) {
    constexpr uint32_t kBroken = HB_ERROR_DEVICE_NOT_CONNECTED;
    const struct {
        const char* plan;
        std::vector<int32_t> results; // of five writes of a word each
        uint32_t error;               // after the first failure
        bool carriedOut;              // a failed write took effect all the same
    } cases[] = {
        {"fail:SharedMemoryWrite#2=1117", {1, 0, 1, 1, 1}, 1117, false},
        {"fail:any#2*2", {1, 0, 0, 1, 1}, 31, false},
        {"fail:0x8001A011#3*0", {1, 1, 0, 0, 0}, 31, false},
        {"fail:SharedMemoryRead", {1, 1, 1, 1, 1}, 0, false},
        {"corrupt:SharedMemoryWrite#2", {1, 0, 1, 1, 1}, 0xFFFFFFFF, true}, // the status word
        {"corrupt:SharedMemoryWrite#2=1", {1, 0, 0, 0, 0}, kBroken, true},  // another request's
        {"close:SharedMemoryWrite#2", {1, 0, 0, 0, 0}, kBroken, true},
        {"close-mid:SharedMemoryWrite#2", {1, 0, 0, 0, 0}, kBroken, true},
        {"delay:SharedMemoryWrite#2=50", {1, 1, 1, 1, 1}, 0, false},
    };
    device_->addBoard(0, {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plan);
        ASSERT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        const int descriptors = countOpenDescriptors();
        AcceleratorBoard* b = open(0);
        ASSERT_NE(b, nullptr);
        board(0).setFaultPlan(vboard::parseFaultPlan(c.plan));
        uint32_t error = 0;
        for (uint32_t i = 0; i < 5; ++i) {
            const uint32_t value = 0xC0DE0000 + i;
            ASSERT_TRUE(board(0).writeSharedWord(0x100 + 4 * i, 0));
            const int32_t result =
                hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x100 + 4 * i, &value, 4);
            EXPECT_EQ(result, c.results[i]) << "write " << i;
            error = error != 0 || result != 0 ? error : hbGetLastError();
            const bool took = result != 0 || (c.carriedOut && i == 1);
            EXPECT_EQ(board(0).readSharedWord(0x100 + 4 * i), took ? value : 0) << "write " << i;
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(board(0).faultCounts().requestsSeen, c.error == kBroken ? 2u : 5u);
        board(0).setFaultPlan({});
        close(b);
        EXPECT_TRUE(eventually([&] { return countOpenDescriptors() == descriptors; }))
            << "both ends of the connection are released";
    }
    EXPECT_THROW(vboard::parseFaultPlan("fail:NoSuchRequest"), std::invalid_argument);
    EXPECT_THROW(vboard::parseFaultPlan("short:VpRead"), std::invalid_argument);
    EXPECT_THROW(vboard::parseFaultPlan("corrupt:any=9"), std::invalid_argument);
    EXPECT_THROW(vboard::parseFaultPlan("event-delay:6"), std::invalid_argument);
}

TEST_F(FaultInjection, ALateEventForAWithdrawnRegistrationGoesNowhere) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    HbHandle event = hb__EventCreate(0);
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(b->deviceHandle, 9, event, 0, 0, 0, 0), 1);
    board(0).setFaultPlan(vboard::parseFaultPlan("event-delay:9=100"));
    EXPECT_TRUE(board(0).raiseEvent(9)) << "the VP cannot tell";
    ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(b->deviceHandle, 9), 1);
    EXPECT_EQ(hb__EventLock(event, 0.4), HB_ERROR_SEM_TIMEOUT);
    EXPECT_EQ(board(0).faultCounts().eventsHit, 1u);
    hb__EventDestroy(event);
}

} // namespace
} // namespace hb::test
