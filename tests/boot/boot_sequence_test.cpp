// hbPreInit and hbBootVp: the order of driver requests a boot makes, the
// argument checks, booting in either wait mode and booting again.
#include "monitor_board_fixture.h"

#include <cmath>
#include <limits>

namespace {

using namespace hb::test;

class BootSequenceTest : public MonitorBoardTest {
  protected:
    void SetUp() override {
        MonitorBoardTest::SetUp();
        writeImage(referenceImage());
    }
};

TEST_F(BootSequenceTest, DriverSeesTheAnnouncementResetRegistersThenTheLoader) {
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);
    const auto t = requests();
    ASSERT_GE(t.size(), 8u);
    EXPECT_EQ(t[0].controlCode, HB_IOCTL_PLX_REGISTER_WRITE);
    EXPECT_EQ(t[0].offset, 0x44u);
    EXPECT_EQ(t[0].value, 0u);
    EXPECT_EQ(t[1].controlCode, HB_IOCTL_SHARED_MEMORY_WRITE);
    EXPECT_EQ(t[1].offset, HB_MONITOR_MESSAGE_STATE);
    EXPECT_EQ(t[1].data, (std::vector<uint8_t>{MSG_PREINIT, 0, 0, 0}));
    EXPECT_EQ(t[2].controlCode, HB_IOCTL_PLX_REGISTER_WRITE);
    EXPECT_EQ(t[2].offset, 0x44u);
    EXPECT_EQ(t[2].value, 5u);
    EXPECT_EQ(t[3].controlCode, HB_IOCTL_RESET_VP);
    EXPECT_EQ(t[4].controlCode, HB_IOCTL_PLX_REGISTER_WRITE);
    EXPECT_EQ(t[4].offset, 0x40u);
    EXPECT_EQ(t[4].value, 0u);
    EXPECT_EQ(t[5].controlCode, HB_IOCTL_PLX_REGISTER_WRITE);
    EXPECT_EQ(t[5].offset, 0x44u);
    EXPECT_EQ(t[5].value, 6u);
    // The loader's first command: registration for the reply, then its body.
    EXPECT_EQ(t[6].controlCode, HB_IOCTL_ASYNC_EVENT_REGISTER);
    EXPECT_EQ(t[7].controlCode, HB_IOCTL_SHARED_MEMORY_WRITE);
    EXPECT_EQ(t[7].offset, HB_MONITOR_MESSAGE_BODY);
    EXPECT_EQ(t[7].data, monitorMessage(MON_SET_VARIABLE, {0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(vb->registerValue(0x44), 6u);
    EXPECT_EQ(vb->resetCount(), 1u);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT);
}

TEST_F(BootSequenceTest, BadArgumentsSet87AndSendNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const AcceleratorBoard* board;
        const char* path;
        double timeout;
    };
    for (const Case& c : {Case{nullptr, imagePath.c_str(), 1.0}, Case{board, nullptr, 1.0},
                          Case{board, imagePath.c_str(), -0.5}, Case{board, imagePath.c_str(), nan},
                          Case{board, imagePath.c_str(), -HB_INFINITE_TIMEOUT}}) {
        hbSetLastError(0);
        EXPECT_EQ(hbBootVp(c.board, c.path, c.timeout), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    }
    hbPreInit(nullptr);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(vb->resetCount(), 0u);
}

TEST_F(BootSequenceTest, PreInitAloneWritesTheAnnouncement) {
    hbPreInit(board);
    const auto t = requests();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].offset, HB_MONITOR_MESSAGE_STATE);
    EXPECT_EQ(vb->readSharedWord(HB_MONITOR_MESSAGE_STATE), MSG_PREINIT);
    EXPECT_EQ(vb->registerValue(0x44), 5u);
}

TEST_F(BootSequenceTest, BootsByPollingWhenTheBoardNeverRaisesTheEvent) {
    monitor->setRaiseEvent3(false);
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), 5.0), 1);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);
    // Only the first transfer tried the event.
    EXPECT_EQ(countRequests(HB_IOCTL_ASYNC_EVENT_REGISTER), 1u);
    ASSERT_TRUE(monitor->startedImage());
}

TEST_F(BootSequenceTest, BootingAgainResetsAndRepeatsTheWholeSequence) {
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);
    const size_t first = monitor->commands().size();
    ASSERT_EQ(hbBootVp(board, imagePath.c_str(), HB_INFINITE_TIMEOUT), 1);
    EXPECT_EQ(vb->resetCount(), 2u);
    EXPECT_EQ(monitor->commands().size(), 2 * first);
    ASSERT_TRUE(monitor->startedImage());
    EXPECT_EQ(monitor->startedImage()->entryAddress, 0x00401010u);
}

} // namespace
