// The virtual board's fault plan, seen through the library: each kind of
// fault ends in the error code the channel promises, and nothing else breaks.
#include "hbsys9u.h"
#include "vboard/board.h"
#include "virtual_board_fixture.h"

#include <chrono>
#include <stdexcept>
#include <vector>

namespace hb::test {
namespace {

using vboard::FaultPlan;
using vboard::parseFaultPlan;
using vboard::RequestFault;
using vboard::RequestFaultKind;

class FaultInjection : public VirtualBoardTest {
  protected:
    uint32_t readWord(AcceleratorBoard* b, uint32_t offset, int32_t* ok) {
        uint32_t word = 0;
        *ok = hb_DeviceIoSharedMemoryRead(b->deviceHandle, offset, &word, 4);
        return word;
    }
};

TEST_F(FaultInjection, TheNthRequestOfACodeFailsWithTheChosenStatusAndNoEffect) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    board(0).setFaultPlan(parseFaultPlan("fail:SharedMemoryWrite#2=1117"));
    const uint32_t values[] = {11, 22, 33};
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x100, &values[0], 4), 1);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x104, &values[1], 4), 0);
    EXPECT_EQ(hbGetLastError(), 1117u);
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x108, &values[2], 4), 1);
    EXPECT_EQ(board(0).readSharedWord(0x100), 11u);
    EXPECT_EQ(board(0).readSharedWord(0x104), 0u) << "a refused request has no effect";
    EXPECT_EQ(board(0).readSharedWord(0x108), 33u);
    // Requests of other codes are counted but not hit.
    int32_t ok = 0;
    readWord(b, 0, &ok);
    EXPECT_EQ(ok, 1);
    const vboard::FaultCounts counts = board(0).faultCounts();
    EXPECT_EQ(counts.requestsSeen, 4u);
    EXPECT_EQ(counts.requestsHit, 1u);
    // An empty plan turns injection off.
    board(0).setFaultPlan({});
    EXPECT_EQ(hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x104, &values[1], 4), 1);
}

TEST_F(FaultInjection, RepeatedFaultsHitTheirRunAndEveryOneWithZeroTimes) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    board(0).setFaultPlan(parseFaultPlan("fail:any#2*2"));
    std::vector<int32_t> results;
    for (int i = 0; i < 5; ++i) {
        int32_t ok = 0;
        readWord(b, 0, &ok);
        results.push_back(ok);
    }
    EXPECT_EQ(results, (std::vector<int32_t>{1, 0, 0, 1, 1}));
    board(0).setFaultPlan(parseFaultPlan("fail:SharedMemoryRead#3*0"));
    results.clear();
    for (int i = 0; i < 5; ++i) {
        int32_t ok = 0;
        readWord(b, 0, &ok);
        results.push_back(ok);
    }
    EXPECT_EQ(results, (std::vector<int32_t>{1, 1, 0, 0, 0}));
}

TEST_F(FaultInjection, ACorruptedStatusIsReportedAndACorruptedFrameBreaksTheConnection) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    HwInfo info{};
    // Word 4 is the status: 0 XOR 5 reads as "access denied", the stream stays sound.
    RequestFault status;
    status.kind = RequestFaultKind::CorruptReply;
    status.controlCode = HB_IOCTL_GET_HW_INFO;
    status.word = 4;
    status.mask = 5;
    board(0).setFaultPlan({{status}, {}});
    EXPECT_EQ(hb_DeviceIoGetHwInfo(b->deviceHandle, &info), 0);
    EXPECT_EQ(hbGetLastError(), 5u);
    EXPECT_EQ(hb_DeviceIoGetHwInfo(b->deviceHandle, &info), 1);

    // Any other header word: the reply cannot answer the request.
    for (uint32_t word : {0u, 1u, 3u, 8u}) {
        AcceleratorBoard* fresh = open(0);
        ASSERT_NE(fresh, nullptr);
        RequestFault broken = status;
        broken.word = word;
        broken.mask = 0x10000001u;
        board(0).setFaultPlan({{broken}, {}});
        info = {};
        EXPECT_EQ(hb_DeviceIoGetHwInfo(fresh->deviceHandle, &info), 0) << word;
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED) << word;
        board(0).setFaultPlan({});
        EXPECT_EQ(hb_DeviceIoGetHwInfo(fresh->deviceHandle, &info), 0) << "broken for good";
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        close(fresh);
    }
}

TEST_F(FaultInjection, AConnectionClosedBeforeOrDuringTheReplyFailsWith1167AndANewHandleWorks) {
    device_->addBoard(0, {});
    for (const char* plan :
         {"close:SharedMemoryWrite", "close-mid:SharedMemoryWrite", "close-mid:SharedMemoryRead"}) {
        ASSERT_TRUE(eventually([&] { return board(0).connectionCount() == 0; }));
        const int descriptorsBefore = countOpenDescriptors();
        AcceleratorBoard* b = open(0);
        ASSERT_NE(b, nullptr);
        board(0).setFaultPlan(parseFaultPlan(plan));
        const uint32_t value = 0xC0FFEE;
        uint8_t buffer[64] = {};
        const bool isWrite = std::string(plan).find("Write") != std::string::npos;
        const int32_t result =
            isWrite ? hb_DeviceIoSharedMemoryWrite(b->deviceHandle, 0x200, &value, 4)
                    : hb_DeviceIoSharedMemoryRead(b->deviceHandle, 0x200, buffer, sizeof buffer);
        EXPECT_EQ(result, 0) << plan;
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED) << plan;
        if (isWrite) {
            EXPECT_EQ(board(0).readSharedWord(0x200), value) << "the write took effect";
        }
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(b->deviceHandle, 0, buffer, 4), 0);
        EXPECT_EQ(hbGetLastError(), HB_ERROR_DEVICE_NOT_CONNECTED);
        close(b);
        EXPECT_TRUE(eventually([&] { return countOpenDescriptors() == descriptorsBefore; }))
            << "both ends of the connection are released " << countOpenDescriptors() << " vs "
            << descriptorsBefore;
        system("ls -l /proc/$PPID/fd >/dev/null");
        board(0).setFaultPlan({});
        AcceleratorBoard* again = open(0);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(hb_DeviceIoSharedMemoryRead(again->deviceHandle, 0x200, buffer, 4), 1);
        close(again);
    }
}

TEST_F(FaultInjection, ALateReplyIsWaitedFor) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    board(0).setFaultPlan(parseFaultPlan("delay:GetHwInfo=300"));
    HwInfo info{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hb_DeviceIoGetHwInfo(b->deviceHandle, &info), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(info.boardType, 22u);
}

TEST_F(FaultInjection, ShortVpTransfersAnswerTheCountMovedAndLoseNothing) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    const uint8_t fromVp[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    board(0).sendToHost(fromVp, sizeof fromVp);
    board(0).setFaultPlan(parseFaultPlan("short:VpRead=3,short:VpWrite=4"));
    uint8_t got[10] = {};
    uint32_t returned = 0;
    ASSERT_EQ(hb_DeviceIoVpRead(b->deviceHandle, got, sizeof got, &returned), 1);
    EXPECT_EQ(returned, 3u);
    ASSERT_EQ(hb_DeviceIoVpRead(b->deviceHandle, got + 3, 7, &returned), 1);
    EXPECT_EQ(returned, 7u) << "the rest is still there";
    EXPECT_EQ(std::vector<uint8_t>(got, got + 10), std::vector<uint8_t>(fromVp, fromVp + 10));

    const uint8_t request[16] = {};
    ASSERT_EQ(hb_DeviceIoVpWrite(b->deviceHandle, request, fromVp, sizeof fromVp, &returned), 1);
    EXPECT_EQ(returned, 4u);
    uint8_t taken[16] = {};
    EXPECT_EQ(board(0).takeFromHost(taken, sizeof taken), 4u) << "only what was answered moved";
}

TEST_F(FaultInjection, EventFaultsDropDelayAndDoubleWhatTheVpRaises) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    HbHandle event = hb__EventCreate(0);
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(b->deviceHandle, 9, event, 0, 0, 0, 0), 1);
    board(0).setFaultPlan(parseFaultPlan("event-drop:9#1,event-delay:9#2=200,event-dup:9#3=50"));
    EXPECT_TRUE(board(0).raiseEvent(9)) << "the VP cannot tell";
    EXPECT_EQ(hb__EventLock(event, 0.3), HB_ERROR_SEM_TIMEOUT) << "dropped";
    EXPECT_TRUE(board(0).raiseEvent(9));
    EXPECT_EQ(hb__EventLock(event, 10.0), 0u) << "late, but it comes";
    hb__EventReset(event);
    EXPECT_TRUE(board(0).raiseEvent(9));
    EXPECT_EQ(hb__EventLock(event, 10.0), 0u);
    hb__EventReset(event);
    EXPECT_EQ(hb__EventLock(event, 10.0), 0u) << "and once more";
    const vboard::FaultCounts counts = board(0).faultCounts();
    EXPECT_EQ(counts.eventsSeen, 3u);
    EXPECT_EQ(counts.eventsHit, 3u);
    EXPECT_EQ(hb_DeviceIoAsyncEventDeregister(b->deviceHandle, 9), 1);
    hb__EventDestroy(event);
}

TEST_F(FaultInjection, ALateEventForAWithdrawnRegistrationGoesNowhere) {
    AcceleratorBoard* b = open(0);
    ASSERT_NE(b, nullptr);
    HbHandle event = hb__EventCreate(0);
    ASSERT_EQ(hb_DeviceIoAsyncEventRegister(b->deviceHandle, 9, event, 0, 0, 0, 0), 1);
    board(0).setFaultPlan(parseFaultPlan("event-delay:9=100"));
    board(0).raiseEvent(9);
    ASSERT_EQ(hb_DeviceIoAsyncEventDeregister(b->deviceHandle, 9), 1);
    EXPECT_EQ(hb__EventLock(event, 0.4), HB_ERROR_SEM_TIMEOUT);
    hb__EventDestroy(event);
}

TEST(FaultPlanText, ParsesEveryKindAndRefusesWhatItCannotRead) {
    const FaultPlan plan = parseFaultPlan(
        "fail:SharedMemoryRead#3*2=1167,delay:any=20,corrupt:0x8001A08C=1,close:ResetVp,"
        "close-mid:VpRead#4,short:VpWrite*0=8,event-drop:6,event-delay:3#2=15,event-dup:6=5");
    ASSERT_EQ(plan.requests.size(), 6u);
    ASSERT_EQ(plan.events.size(), 3u);
    EXPECT_EQ(plan.requests[0].kind, RequestFaultKind::Fail);
    EXPECT_EQ(plan.requests[0].controlCode, HB_IOCTL_SHARED_MEMORY_READ);
    EXPECT_EQ(plan.requests[0].nth, 3u);
    EXPECT_EQ(plan.requests[0].times, 2u);
    EXPECT_EQ(plan.requests[0].status, 1167u);
    EXPECT_EQ(plan.requests[1].controlCode, vboard::kAnyRequest);
    EXPECT_EQ(plan.requests[1].delay, std::chrono::milliseconds(20));
    EXPECT_EQ(plan.requests[2].controlCode, HB_IOCTL_GET_HW_INFO);
    EXPECT_EQ(plan.requests[2].word, 1u);
    EXPECT_EQ(plan.requests[3].kind, RequestFaultKind::CloseBeforeReply);
    EXPECT_EQ(plan.requests[4].kind, RequestFaultKind::CloseMidReply);
    EXPECT_EQ(plan.requests[5].limit, 8u);
    EXPECT_EQ(plan.requests[5].times, 0u);
    EXPECT_EQ(plan.events[1].eventId, 3u);
    EXPECT_EQ(plan.events[1].nth, 2u);
    EXPECT_EQ(plan.events[2].kind, vboard::EventFaultKind::Duplicate);
    EXPECT_TRUE(parseFaultPlan("").empty());

    for (const char* bad :
         {"fail", "boom:any", "fail:NoSuchRequest", "fail:any#0", "delay:any", "short:VpRead",
          "corrupt:any=9", "fail:any=x", "event-drop:six", "fail:#2", "event-delay:6"}) {
        EXPECT_THROW(parseFaultPlan(bad), std::invalid_argument) << bad;
    }
}

} // namespace
} // namespace hb::test
