// hb_SendRawData against the virtual board's monitor: event mode, the
// process-wide fall-back to polling, time-outs, debugger breaks, limits.
#include "monitor_board_fixture.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace {

using namespace hb::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class RawDataTransferTest : public MonitorBoardTest {
  protected:
    int32_t send(const std::vector<uint8_t>& request, void* reply, uint32_t capacity,
                 double timeout = HB_INFINITE_TIMEOUT, volatile int32_t* breakRequest = nullptr) {
        return hb_SendRawData(board, request.data(), static_cast<uint32_t>(request.size()), reply,
                              capacity, breakRequest, timeout);
    }
    std::vector<uint8_t> prepare = monitorMessage(MON_PREPARE);
    uint8_t scratch[4] = {};
};

TEST_F(RawDataTransferTest, EventModeRegistersBeforePostingAndCopiesTheReply) {
    std::vector<uint8_t> reply(HB_VPCONTEXT_SIZE);
    ASSERT_EQ(send(monitorMessage(MON_GET_CONTEXT), reply.data(), HB_VPCONTEXT_SIZE), 1);
    EXPECT_EQ(half(reply, 0), HB_VPCONTEXT_SIZE);
    EXPECT_EQ(half(reply, HB_VPCONTEXT_CODE_SELECTOR), HB_SELECTOR_CODE);

    const auto trace = requests();
    ASSERT_GE(trace.size(), 8u);
    EXPECT_EQ(trace[0].controlCode, HB_IOCTL_ASYNC_EVENT_REGISTER);
    EXPECT_EQ(trace[0].offset, HB_EVENT_MONITOR_REPLY);
    EXPECT_EQ(trace[1].controlCode, HB_IOCTL_SHARED_MEMORY_WRITE); // body
    EXPECT_EQ(trace[1].offset, HB_MONITOR_MESSAGE_BODY);
    EXPECT_EQ(trace[2].offset, HB_MONITOR_MESSAGE_LENGTH);
    EXPECT_EQ(trace[3].offset, HB_MONITOR_MESSAGE_STATE);
    EXPECT_EQ(trace[3].value, MSG_REQUEST_POSTED);
    EXPECT_EQ(trace.back().controlCode, HB_IOCTL_ASYNC_EVENT_DEREGISTER);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT);
    EXPECT_EQ(hb::noEventYetForTest(), 0u);
}

TEST_F(RawDataTransferTest, ReplyLongerThanTheBufferIsCutToItsCapacity) {
    std::vector<uint8_t> reply(HB_VPCONTEXT_SIZE, 0xAA);
    ASSERT_EQ(send(monitorMessage(MON_GET_CONTEXT), reply.data(), 100), 1);
    EXPECT_EQ(half(reply, 0), HB_VPCONTEXT_SIZE);
    for (size_t i = 100; i < reply.size(); ++i) {
        ASSERT_EQ(reply[i], 0xAA) << "byte " << i << " lies beyond the capacity";
    }
}

TEST_F(RawDataTransferTest, RequestsTheAreaCannotHoldAreRefusedUnsent) {
    std::vector<uint8_t> big(0x400 - 8 + 1, 0);
    hbSetLastError(0);
    EXPECT_EQ(send(big, scratch, sizeof scratch), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(requests().empty());

    big.pop_back(); // exactly the room: sent (the monitor refuses it in its reply)
    EXPECT_EQ(send(big, scratch, sizeof scratch), 1);

    EXPECT_EQ(hb_SendRawData(nullptr, prepare.data(), 4, scratch, 4, nullptr, 1.0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hb_SendRawData(board, nullptr, 4, scratch, 4, nullptr, 1.0), 0);
    EXPECT_EQ(hb_SendRawData(board, prepare.data(), 4, nullptr, 4, nullptr, 1.0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
}

TEST_F(RawDataTransferTest, BoardOfTheLargerLayoutTakesLargerRequests) {
    hb::vboard::BoardConfig config;
    config.boardType = 27; // bus type 1
    config.busWidth = 2;
    // An index of its own: the bus caches are per index and per process.
    open(hb::vboard::MonitorOptions{}, config, 5);
    std::vector<uint8_t> request = monitorMessage(MON_WRITE_MEMORY, std::vector<uint8_t>(10, 0));
    request.resize(0x800);
    request[0] = 0x00;
    request[1] = 0x08;
    // VP address 0, selector 0x20, count 0x800 - 14.
    request[8] = 0x20;
    const uint32_t count = 0x800 - 14;
    request[10] = static_cast<uint8_t>(count);
    request[11] = static_cast<uint8_t>(count >> 8);
    request[14] = 0x5A;
    uint8_t reply[8] = {};
    ASSERT_EQ(send(request, reply, sizeof reply), 1);
    EXPECT_EQ(half({reply, reply + 8}, 2), MON_WRITE_MEMORY);
    EXPECT_EQ(monitor->readMemory(0, 1), std::vector<uint8_t>{0x5A});
}

TEST_F(RawDataTransferTest, WithoutEventsTheFirstTransferFallsBackAndLaterOnesPoll) {
    monitor->setRaiseEvent3(false);
    const auto start = Clock::now();
    ASSERT_EQ(send(prepare, scratch, sizeof scratch), 1);
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);
    EXPECT_EQ(hb::noEventYetForTest(), 1u);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));

    vb->clearTrace();
    ASSERT_EQ(send(prepare, scratch, sizeof scratch), 1);
    EXPECT_EQ(countRequests(HB_IOCTL_ASYNC_EVENT_REGISTER), 0u);
    EXPECT_EQ(half({scratch, scratch + 4}, 2), MON_PREPARE);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);
}

TEST_F(RawDataTransferTest, TimeoutZeroWhilePollingReadsTheStateOnce) {
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    ASSERT_EQ(send(prepare, scratch, sizeof scratch, 0.0), 1) << "a reply ready at once";

    monitor->setReplyDelay(300ms);
    vb->clearTrace();
    hbSetLastError(0);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 0.0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(countRequests(HB_IOCTL_SHARED_MEMORY_WRITE), 3u);
    EXPECT_EQ(countRequests(HB_IOCTL_SHARED_MEMORY_READ), 1u);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT)
        << "a timed-out poll hands the next transfer to the event strategy";
}

TEST_F(RawDataTransferTest, NegativeTimeoutIsTakenAndOnlyNanIsRefused) {
    // Event mode goes on to the monitor's reply, past a first 0.5 s pass.
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    monitor->setReplyDelay(700ms);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, -1.0), 1);

    // Polling ends on the first pass that finds no reply.
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    vb->clearTrace();
    hbSetLastError(0);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, -0.5), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(countRequests(HB_IOCTL_SHARED_MEMORY_READ), 1u);

    vb->clearTrace();
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, std::nan("")), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(requests().empty());
}

TEST_F(RawDataTransferTest, BreakRequestWhilePollingBreaksTheVpAndLimitsTheWait) {
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    monitor->setNeverAnswer(true);
    volatile int32_t breakRequest = 1;
    const auto start = Clock::now();
    hbSetLastError(0);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, HB_INFINITE_TIMEOUT, &breakRequest), 0);
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(breakRequest, 0);
    EXPECT_EQ(vb->signalsReceived(), std::vector<uint32_t>{HB_SIGNAL_DEBUGGER_BREAK});
}

TEST_F(RawDataTransferTest, BreakRequestFromAnotherThreadWhileWaitingOnEvents) {
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    monitor->setNeverAnswer(true);
    volatile int32_t breakRequest = 0;
    std::thread breaker([&] {
        std::this_thread::sleep_for(100ms);
        std::atomic_ref<int32_t>(const_cast<int32_t&>(breakRequest)).store(1);
    });
    const auto start = Clock::now();
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 1.2, &breakRequest), 0);
    breaker.join();
    EXPECT_GE(secondsSince(start), 1.2) << "a break does not end an event-mode wait";
    EXPECT_EQ(vb->signalsReceived(), std::vector<uint32_t>{HB_SIGNAL_DEBUGGER_BREAK});
}

TEST_F(RawDataTransferTest, EventAndFallbackWaitsEndAtAFiniteTimeout) {
    monitor->setNeverAnswer(true);
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    hbSetLastError(0);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 0.7), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));

    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 1);
    monitor->setRaiseEvent3(false);
    const auto start = Clock::now();
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 1.0), 0);
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);
}

TEST_F(RawDataTransferTest, CleanUpFollowsTheStrategyTheTransferSetUp) {
    // Another transfer's polling time-out changes the shared mode while this
    // event-mode transfer waits; this one must still withdraw its event.
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    monitor->setNeverAnswer(true);
    std::thread other([] {
        std::this_thread::sleep_for(200ms);
        hb::setTransferWaitStateForTest(hb::WAIT_POLL_TIMED_OUT, 0);
    });
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 0.8), 0);
    other.join();
    EXPECT_EQ(countRequests(HB_IOCTL_ASYNC_EVENT_DEREGISTER), 1u);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));
}

TEST_F(RawDataTransferTest, FailedDeviceEndsTheTransferWith1460) {
    device->stop();
    hbSetLastError(0);
    EXPECT_EQ(send(prepare, scratch, sizeof scratch, 1.0), 0);
    EXPECT_EQ(hbGetLastError(), HB_ERROR_TIMEOUT);
}

} // namespace
