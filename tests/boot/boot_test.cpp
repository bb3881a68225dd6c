// Booting through the library against the virtual board's monitor: hbBootVp's
// driver requests, the loader's commands, VP memory and context afterwards and
// every refused image; hb_SendRawData's waits, time-outs and limits; the
// monitor's refusals and its late replies.
#include "monitor_board_fixture.h"
#include "pe_image.h"
#include "vboard/faults.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

namespace {

using namespace hb::test;
namespace vboard = hb::vboard;
namespace descriptors = hb::vboard::descriptors;
using Error = hb::vboard::MonitorError;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kBase = 0x00400000;

// One monitor command, readable: "W 00401000 18 400" is a memory write.
std::string describe(const vboard::MonitorCommand& c) {
    static const std::map<uint16_t, std::string> names = {{MON_PREPARE, "PREPARE"},
                                                          {MON_GET_CONTEXT, "GET_CONTEXT"},
                                                          {MON_SET_CONTEXT, "SET_CONTEXT"},
                                                          {MON_START, "START"}};
    const auto& b = c.body;
    char text[64];
    if (c.opcode == MON_SET_VARIABLE) {
        std::snprintf(text, sizeof text, "V %u=%u", word(b, 4), word(b, 12));
    } else if (c.opcode == MON_WRITE_MEMORY) {
        std::snprintf(text, sizeof text, "W %08X %02X %u", word(b, 4), half(b, 8), word(b, 10));
    } else if (c.opcode == MON_GET_DESCRIPTOR) {
        std::snprintf(text, sizeof text, "DESC %02X %u", half(b, 4), word(b, 6));
    } else {
        return names.contains(c.opcode) ? names.at(c.opcode) : "op " + std::to_string(c.opcode);
    }
    return text;
}

class BootTest : public MonitorBoardTest {
  protected:
    std::vector<std::string> commandList() const {
        std::vector<std::string> out;
        for (auto& c : monitor->commands())
            out.push_back(describe(c));
        return out;
    }
    bool sent(const std::string& command) const {
        const auto list = commandList();
        return std::find(list.begin(), list.end(), command) != list.end();
    }
    std::vector<uint8_t> vp(uint32_t address, uint32_t length) const {
        return monitor->readMemory(address, length);
    }
    int32_t boot(double timeout = HB_INFINITE_TIMEOUT) {
        hbSetLastError(0);
        return hbBootVp(board, imagePath.c_str(), timeout);
    }
    void expectRefused(uint32_t code) {
        EXPECT_EQ(failure(boot()), code);
        EXPECT_FALSE(sent("START"));
    }
};

TEST_F(BootTest, BadArgumentsSendNothingABootAnnouncesResetsSetsTheBridgeThenLoads) {
    const std::tuple<const AcceleratorBoard*, const char*, double> bad[] = {
        {nullptr, imagePath.c_str(), 1.0},
        {board, nullptr, 1.0},
        {board, imagePath.c_str(), std::nan("")},
        {board, imagePath.c_str(), -HB_INFINITE_TIMEOUT}};
    for (const auto& [b, path, timeout] : bad) {
        hbSetLastError(0);
        EXPECT_EQ(failure(hbBootVp(b, path, timeout)), HB_ERROR_INVALID_PARAMETER);
    }
    hbPreInit(nullptr);
    EXPECT_TRUE(requests().empty());

    writeImage(referenceImage());
    ASSERT_EQ(boot(), 1);
    const auto t = requests();
    constexpr uint32_t kAny = ~0u; // below: code, offset, value
    const uint32_t expected[][3] = {
        {HB_IOCTL_PLX_REGISTER_WRITE, 0x44, 0},
        {HB_IOCTL_SHARED_MEMORY_WRITE, HB_MONITOR_MESSAGE_STATE, MSG_PREINIT},
        {HB_IOCTL_PLX_REGISTER_WRITE, 0x44, 5},
        {HB_IOCTL_RESET_VP, 0, 0},
        {HB_IOCTL_PLX_REGISTER_WRITE, 0x40, 0},
        {HB_IOCTL_PLX_REGISTER_WRITE, 0x44, 6},
        {HB_IOCTL_ASYNC_EVENT_REGISTER, HB_EVENT_MONITOR_REPLY, kAny}, // the loader's first
    };
    ASSERT_GE(t.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto [code, offset, value] = expected[i];
        EXPECT_EQ(std::pair(t[i].controlCode, t[i].offset), std::pair(code, offset)) << i;
        EXPECT_TRUE(value == kAny || t[i].value == value) << i;
    }
}

TEST_F(BootTest, EveryBootResetsAndLoadsAgainInEitherWaitModeUnlessTheBoardIsBusy) {
    writeImage(referenceImage());
    vb->setFaultPlan(vboard::parseFaultPlan("fail:ResetVp=170"));
    monitor->clearCommands();
    EXPECT_EQ(failure(boot()), 170u);
    EXPECT_TRUE(monitor->commands().empty()) << "no image over another host's program";

    vb->setFaultPlan({});
    ASSERT_EQ(boot(0.0), 1) << "event mode, a monitor that answers at once";
    const size_t first = monitor->commands().size();
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    ASSERT_EQ(boot(0.0), 1) << "polling mode";
    EXPECT_EQ(vb->resetCount(), 2u);
    EXPECT_EQ(monitor->commands().size(), 2 * first);
    EXPECT_EQ(monitor->startedImage().value().entryAddress, kBase + 0x1010);
}

TEST_F(BootTest, ReferenceImageGoesAsTheExactCommandsAndLandsRebased) {
    const PeImage image = referenceImage();
    const auto file = image.build();
    writeImage(image);
    ASSERT_EQ(boot(), 1);
    EXPECT_TRUE(hb::pe::loaderRefusals(file).empty());
    const std::vector<std::string> expected = {
        "V 0=0", "V 6=1", "PREPARE", "GET_CONTEXT", "SET_CONTEXT",
        // .text: 1000 bytes of code as three writes; .idata as data
        "W 00401000 18 400", "W 00401190 18 400", "W 00401320 18 200", "W 00403000 20 64",
        // MS-DOS header, the stretch 864 .. e_lfanew, NT headers, section table
        "W 00400000 20 64", "W 00400360 20 32", "W 00400380 20 248", "W 00400478 20 200",
        "SET_CONTEXT", "DESC 28 1",
        // VpStartupBlock at the base of the start-up segment
        "W 00001000 20 12", "V 7=0", "V 2=0", "V 3=0", "V 5=4096", "V 6=0", "START"};
    EXPECT_EQ(commandList(), expected);
    EXPECT_EQ(vp(0x401000, 1000), image.sections[0].data);
    EXPECT_EQ(vp(0x403000, 64), image.sections[1].data);
    EXPECT_EQ(vp(kBase, 64), std::vector<uint8_t>(file.begin(), file.begin() + 64));
    // Header words in VP memory: entry, BaseOfCode, BaseOfData and nonzero
    // directories made absolute; ImageBase, sizes, a zero directory as they were;
    // the section table's VirtualAddress made absolute, VirtualSize as it was.
    const auto headers = vp(kBase + 0x380, 248 + 200);
    const uint32_t words[] = {0,   0x4550,         40,  kBase + 0x1010, 44,  kBase + 0x1000,
                              48,  kBase + 0x2000, 52,  kBase,          120, 0,
                              128, kBase + 0x3000, 132, 0x28,           260, kBase + 0x1000,
                              376, 0x8000,         380, kBase + 0x10000}; // offset, value
    for (size_t i = 0; i < std::size(words); i += 2)
        EXPECT_EQ(word(headers, words[i]), words[i + 1]) << "offset " << words[i];
    const auto startup = vp(descriptors::kStartupBase, 12);
    EXPECT_EQ(startup, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x42, 0x00, 0x00,
                                             0x00, 0x41, 0x00}))
        << "0xFFFFFFFF, debugAddress, stackAddress";

    // Both context writes: the loader's fields; the rest keeps the monitor's values.
    std::vector<std::vector<uint8_t>> contexts;
    for (auto& c : monitor->commands())
        if (c.opcode == MON_SET_CONTEXT)
            contexts.push_back(c.body);
    ASSERT_EQ(contexts.size(), 2u);
    // Offset, first write, final write: 16-bit fields below 6, at 10, from 44
    // to 54 and at 64 (the monitor's 0x37F), the rest 32-bit; the flags are
    // the monitor's 0x246 without 0x7D5, then 0x202; the registers 12 to 36 zero.
    const uint32_t stack = kBase + 0x18000, entry = kBase + 0x1010;
    std::vector<uint32_t> fields = {
        0,  376,  376,  2,  16,    16,    4,  0,    0,     6,  0,    0,     10, 1,    1,
        44, 0x18, 0x18, 46, 0x20,  0x20,  48, 0x20, 0x20,  50, 0x20, 0x20,  52, 0x28, 0x28,
        54, 0x20, 0x20, 64, 0x37F, 0x37F, 60, 2,    0x202, 40, 0,    stack, 56, 0,    entry};
    for (uint32_t at = 12; at <= 36; at += 4)
        fields.insert(fields.end(), {at, 0, 0});
    for (size_t f = 0; f < fields.size(); f += 3) {
        const uint32_t at = fields[f];
        const bool narrow = at < 6 || at == 10 || (at >= 44 && at <= 54) || at == 64;
        for (size_t i = 0; i < 2; ++i)
            EXPECT_EQ(narrow ? half(contexts[i], at) : word(contexts[i], at), fields[f + 1 + i])
                << "context " << i << ", offset " << at;
    }
}

// The board's monitor, except that MON_GET_DESCRIPTOR gets `reply`.
class DescriptorReplyOf : public vboard::Monitor {
  public:
    explicit DescriptorReplyOf(std::vector<uint8_t> reply) : reply_(std::move(reply)) {}
    void onSharedMemoryWrite(vboard::Board& b, uint32_t offset, uint32_t length) override {
        uint8_t header[4] = {};
        b.readShared(HB_MONITOR_MESSAGE_BODY, header, 4);
        if (b.readSharedWord(HB_MONITOR_MESSAGE_STATE) != MSG_REQUEST_POSTED ||
            hb::getLe16(header + 2) != MON_GET_DESCRIPTOR) {
            return Monitor::onSharedMemoryWrite(b, offset, length);
        }
        b.writeShared(HB_MONITOR_MESSAGE_BODY, reply_.data(), uint32_t(reply_.size()));
        b.writeSharedWord(HB_MONITOR_MESSAGE_LENGTH, uint32_t(reply_.size()));
        b.writeSharedWord(HB_MONITOR_MESSAGE_STATE, MSG_REPLY_READY);
        b.raiseEvent(HB_EVENT_MONITOR_REPLY);
    }

  private:
    std::vector<uint8_t> reply_;
};

// The start-up segment's base comes from reply bytes 6..7 (bits 0..15) and 8
// (bits 16..23); byte 11 (bits 24..31 of an x86 descriptor) plays no part.
TEST_F(BootTest, StartupBlockGoesToTheBaseOfDescriptorReplyBytes6To8Only) {
    // Base 0x9C412000 in the descriptor: the block belongs at 0x412000, right
    // behind a .text of 68 KiB.
    monitor->stop();
    monitor = std::make_shared<DescriptorReplyOf>(std::vector<uint8_t>{
        12, 0, MON_GET_DESCRIPTOR, 0, 0xFF, 0x0F, 0x00, 0x20, 0x41, 0x92, 0x40, 0x9C});
    vb->setVpSide(monitor);
    PeImage image = referenceImage();
    image.sections[0].data = patternBytes(0x11000, 5);
    writeImage(image);
    ASSERT_EQ(boot(), 1);
    EXPECT_TRUE(sent("W 00412000 20 12"));
    EXPECT_EQ(word(vp(0x412000, 12), 8), kBase + 0x10000) << "stackAddress in the block";
    EXPECT_EQ(vp(0x411000, 0x1000), std::vector<uint8_t>(image.sections[0].data.end() - 0x1000,
                                                         image.sections[0].data.end()))
        << "the end of the code stays whole";
}

TEST_F(BootTest, AShortContextReplyLeavesZerosAndASilentMonitorEndsTheLoadWith1460) {
    open({.contextReplyLength = 40});
    writeImage(referenceImage());
    ASSERT_EQ(boot(), 1);
    const auto first = monitor->commands().at(4).body;
    EXPECT_EQ(std::count(first.begin() + 60, first.end(), 0), int(HB_VPCONTEXT_SIZE) - 60)
        << "no stale bytes past the reply";

    monitor->setNeverAnswer(true);
    monitor->clearCommands();
    EXPECT_EQ(failure(boot(0.6)), HB_ERROR_TIMEOUT);
    EXPECT_EQ(commandList(), std::vector<std::string>{"V 0=0"}) << "the load stops at once";
}

// Refusals with 3 (no file) or 2 (no usable image), before the image's first
// byte reaches the VP or, for what shows only later in the file, before START;
// one case per stage (each reason of the shared loader rules: the hbpe test).
TEST_F(BootTest, ImagesAreRefusedWith2Or3AndNeverStartedButTakenAtTheLimits) {
    enum { Cut = 0, NoFile = 1, BeforeAnyWrite, BeforeStart }; // kinds; else bytes patched
    const std::tuple<const char*, uint32_t, uint32_t, uint32_t, uint32_t> cases[] = {
        // What, at, value, size, outcome.
        // Offsets in the reference image: NT headers at 0x380, section table at 0x478.
        {"no file", 0, 0, NoFile, BeforeAnyWrite},
        {"bad MZ", 0, 0x4D5A, 2, BeforeAnyWrite},
        {"PE32+ image", 0x380 + 24, 0x20B, 2, BeforeAnyWrite},
        {"code past the end", 0x478 + 16, 5000, 4, BeforeStart},
        {"section table cut short", 0x478 + 40 * 2 + 10, 0, Cut, BeforeStart},
    };
    for (const auto& [what, at, value, size, outcome] : cases) {
        SCOPED_TRACE(what);
        open(vboard::MonitorOptions{});
        auto bytes = referenceImage().build();
        if (size == Cut)
            bytes.resize(at);
        else if (size == 2)
            hb::putLe16(&bytes[at], uint16_t(value));
        else if (size == 4)
            hb::putLe32(&bytes[at], value);
        if (size != NoFile) {
            writeBytes(bytes);
            EXPECT_FALSE(hb::pe::loaderRefusals(bytes).empty())
                << "hbpe takes what the loader refuses";
        }
        expectRefused(size == NoFile ? HB_ERROR_PATH_NOT_FOUND : HB_ERROR_FILE_NOT_FOUND);
        if (outcome == BeforeAnyWrite) {
            EXPECT_EQ(commandList(), (std::vector<std::string>{"V 0=0", "V 6=1", "PREPARE",
                                                               "GET_CONTEXT", "SET_CONTEXT"}));
        }
    }
    for (uint32_t lfanew : {864u, 1264u}) { // the stretch from 864 to e_lfanew goes as it is
        open(vboard::MonitorOptions{});
        PeImage image = referenceImage();
        image.eLfanew = lfanew;
        const auto file = image.build();
        writeImage(image);
        ASSERT_EQ(boot(), 1) << lfanew;
        EXPECT_EQ(vp(kBase + 864, lfanew - 864),
                  std::vector<uint8_t>(file.begin() + 864, file.begin() + lfanew));
        EXPECT_EQ(word(vp(kBase + lfanew, 4), 0), 0x4550u);
    }
}

TEST_F(BootTest, SectionsGoByCodeBitAndExactNameAndNoStackFailsOnlyAfterTheHeaders) {
    PeImage image = referenceImage();
    image.sections[3].characteristics |= kSectionCode; // code now, not the stack
    image.sections[3].data = patternBytes(8, 9);
    image.addSection(".idataXY", 0x5000, patternBytes(8, 5), kSectionInitialized);
    image.addSection(".bss", 0x6000, patternBytes(8, 6), kSectionUninitialized);
    image.addSection(".edata", 0x7000, patternBytes(8, 7), kSectionInitialized);
    for (int i = 0; i < 5; ++i) // debugging information under long names: 13 sections
        image.addSection("/" + std::to_string(4 + 14 * i), 0x30000 + 0x1000 * i,
                         patternBytes(16, uint8_t(i)), kSectionInitialized);
    writeImage(image);
    expectRefused(HB_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sent("W 00410000 18 8")) << ".stack with the code bit goes as code";
    EXPECT_TRUE(sent("W 00407000 20 8")) << ".edata";
    EXPECT_FALSE(sent("W 00405000 20 8")) << ".idataXY is not .idata";
    EXPECT_FALSE(sent("W 00406000 20 8")) << "uninitialised data is not written";
    EXPECT_FALSE(sent("W 00430000 20 16")) << "debugging information stays out";
    const auto list = commandList();
    EXPECT_EQ(std::vector<std::string>(list.end() - 4, list.end()),
              (std::vector<std::string>{"W 00400478 20 400", "W 00400608 20 120", "SET_CONTEXT",
                                        "DESC 28 1"}));
    const auto table = vp(kBase + 0x478, 13 * 40);
    for (uint32_t i = 0; i < 13; ++i)
        EXPECT_EQ(word(table, 40 * i + 12), kBase + image.sections[i].virtualAddress) << i;
    EXPECT_EQ(vp(descriptors::kStartupBase, 12), std::vector<uint8_t>(12, 0));
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A request with the header length given, so that it may disagree.
std::vector<uint8_t> message(uint16_t opcode, uint16_t length, std::vector<uint32_t> words = {},
                             size_t bytes = 0) {
    std::vector<uint8_t> m(4 + 4 * words.size() + bytes, 0);
    hb::putLe16(&m[0], length);
    hb::putLe16(&m[2], opcode);
    for (size_t i = 0; i < words.size(); ++i)
        hb::putLe32(&m[4 + 4 * i], words[i]);
    return m;
}

// A memory write: VP address, u16 selector, count, then `bytes` bytes of 0xEE.
std::vector<uint8_t> memoryWrite(uint32_t address, uint16_t selector, uint32_t count,
                                 size_t bytes = 5) {
    auto m = message(MON_WRITE_MEMORY, uint16_t(14 + bytes), {address, selector, 0}, bytes - 2);
    hb::putLe32(&m[10], count);
    std::fill(m.begin() + 14, m.end(), 0xEE);
    return m;
}

class MonitorTransferTest : public MonitorBoardTest {
  protected:
    int32_t send(const std::vector<uint8_t>& request, void* reply, uint32_t capacity,
                 double timeout = HB_INFINITE_TIMEOUT, volatile int32_t* breakRequest = nullptr) {
        return hb_SendRawData(board, request.data(), static_cast<uint32_t>(request.size()), reply,
                              capacity, breakRequest, timeout);
    }
    int32_t sendPrepare(double timeout, volatile int32_t* breakRequest = nullptr) {
        return send(message(MON_PREPARE, 4), scratch, sizeof scratch, timeout, breakRequest);
    }
    void failsWith(uint32_t error, double timeout, volatile int32_t* breakRequest = nullptr) {
        hbSetLastError(0);
        EXPECT_EQ(failure(sendPrepare(timeout, breakRequest)), error);
    }
    // As the host posts: body, MessageLength, then MessageState 2; the monitor is told.
    void post(const std::vector<uint8_t>& request, uint32_t messageLength) {
        vb->writeShared(HB_MONITOR_MESSAGE_BODY, request.data(), uint32_t(request.size()));
        vb->writeSharedWord(HB_MONITOR_MESSAGE_LENGTH, messageLength);
        vb->writeSharedWord(HB_MONITOR_MESSAGE_STATE, MSG_REQUEST_POSTED);
        monitor->onSharedMemoryWrite(*vb, HB_MONITOR_MESSAGE_STATE, 4);
    }
    uint8_t scratch[4] = {};
};

TEST_F(MonitorTransferTest, EventModeRegistersBeforePostingAndCopiesNoMoreThanTheCapacity) {
    std::vector<uint8_t> reply(HB_VPCONTEXT_SIZE, 0xAA);
    ASSERT_EQ(send(message(MON_GET_CONTEXT, 4), reply.data(), 100), 1);
    EXPECT_EQ(half(reply, 0), HB_VPCONTEXT_SIZE);
    EXPECT_EQ(std::count(reply.begin() + 100, reply.end(), 0xAA), int(HB_VPCONTEXT_SIZE) - 100)
        << "bytes beyond the capacity stay";
    const auto trace = requests();
    EXPECT_EQ(trace.front().controlCode, HB_IOCTL_ASYNC_EVENT_REGISTER);
    EXPECT_EQ(trace.back().controlCode, HB_IOCTL_ASYNC_EVENT_DEREGISTER);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT);
    EXPECT_EQ(hb::noEventYetForTest(), 0u);
}

TEST_F(MonitorTransferTest, RequestsTheAreaCannotHoldAndNullArgumentsAreRefusedUnsent) {
    std::vector<uint8_t> big(0x400 - 8 + 1, 0);
    hbSetLastError(0);
    EXPECT_EQ(failure(send(big, scratch, sizeof scratch)), HB_ERROR_INVALID_PARAMETER);
    const auto prepare = message(MON_PREPARE, 4);
    EXPECT_EQ(hb_SendRawData(nullptr, prepare.data(), 4, scratch, 4, nullptr, 1.0), 0);
    EXPECT_EQ(hb_SendRawData(board, nullptr, 4, scratch, 4, nullptr, 1.0), 0);
    EXPECT_EQ(failure(hb_SendRawData(board, prepare.data(), 4, nullptr, 4, nullptr, 1.0)),
              HB_ERROR_INVALID_PARAMETER);
    failsWith(HB_ERROR_INVALID_PARAMETER, std::nan(""));
    EXPECT_TRUE(requests().empty());

    big.pop_back(); // exactly the room: sent (the monitor refuses it in its reply)
    EXPECT_EQ(send(big, scratch, sizeof scratch), 1);
}

TEST_F(MonitorTransferTest, BoardOfTheLargerLayoutTakesLargerRequests) {
    // An index of its own: the bus caches are per index and per process.
    open(vboard::MonitorOptions{}, vboard::BoardConfig{.boardType = 27, .busWidth = 2}, 5);
    ASSERT_EQ(send(memoryWrite(0, 0x20, 0x800 - 14, 0x800 - 14), scratch, sizeof scratch), 1);
    EXPECT_EQ(hb::getLe16(scratch + 2), MON_WRITE_MEMORY);
    EXPECT_EQ(monitor->readMemory(0x800 - 15, 1), std::vector<uint8_t>{0xEE}) << "the last byte";
}

TEST_F(MonitorTransferTest, WithoutEventsTheFirstTransferFallsBackAndLaterOnesPoll) {
    monitor->setRaiseEvent3(false);
    const auto start = Clock::now();
    ASSERT_EQ(sendPrepare(HB_INFINITE_TIMEOUT), 1);
    EXPECT_GE(secondsSince(start), 0.5) << "the event is given its half second";
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);
    EXPECT_EQ(hb::noEventYetForTest(), 1u);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));
    vb->clearTrace();
    ASSERT_EQ(sendPrepare(HB_INFINITE_TIMEOUT), 1);
    EXPECT_EQ(countRequests(0, HB_IOCTL_ASYNC_EVENT_REGISTER), 0u);
    EXPECT_EQ(hb::getLe16(scratch + 2), MON_PREPARE);
}

TEST_F(MonitorTransferTest, ZeroOrNegativeTimeoutsWhilePollingReadTheStateOnce) {
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    ASSERT_EQ(sendPrepare(0.0), 1) << "a reply ready at once";
    monitor->setReplyDelay(300ms);
    for (double timeout : {0.0, -0.5}) {
        hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
        vb->clearTrace();
        failsWith(HB_ERROR_TIMEOUT, timeout);
        EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_WRITE), 3u);
        EXPECT_EQ(countRequests(0, HB_IOCTL_SHARED_MEMORY_READ), 1u);
        EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT)
            << "a timed-out poll hands the next transfer to the event strategy";
    }
    // Event mode goes on to the monitor's reply, past a first 0.5 s pass.
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    monitor->setReplyDelay(700ms);
    EXPECT_EQ(sendPrepare(-1.0), 1);
}

TEST_F(MonitorTransferTest, BreakRequestsBreakTheVpAndEndOnlyAPollingWait) {
    hb::setTransferWaitStateForTest(hb::WAIT_POLL, 1);
    monitor->setNeverAnswer(true);
    volatile int32_t breakRequest = 1;
    failsWith(HB_ERROR_TIMEOUT, HB_INFINITE_TIMEOUT, &breakRequest);
    EXPECT_EQ(breakRequest, 0);
    EXPECT_EQ(vb->signalsReceived(), std::vector<uint32_t>{HB_SIGNAL_DEBUGGER_BREAK});

    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    breakRequest = 0;
    std::thread breaker([&] {
        std::this_thread::sleep_for(100ms);
        std::atomic_ref<int32_t>(const_cast<int32_t&>(breakRequest)).store(1);
    });
    const auto start = Clock::now();
    failsWith(HB_ERROR_TIMEOUT, 1.2, &breakRequest);
    breaker.join();
    EXPECT_GE(secondsSince(start), 1.2) << "a break does not end an event-mode wait";
    EXPECT_EQ(vb->signalsReceived(), std::vector<uint32_t>(2, HB_SIGNAL_DEBUGGER_BREAK));
}

TEST_F(MonitorTransferTest, EventAndFallbackWaitsEndAtAFiniteTimeoutWithTheEventWithdrawn) {
    monitor->setNeverAnswer(true);
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0); // an event came before
    failsWith(HB_ERROR_TIMEOUT, 0.7);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_EVENT);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));

    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 1);
    monitor->setRaiseEvent3(false);
    const auto start = Clock::now();
    failsWith(HB_ERROR_TIMEOUT, 1.0);
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_EQ(hb::transferWaitModeForTest(), hb::WAIT_POLL);

    // Another transfer's polling time-out changes the shared mode while this
    // event-mode transfer waits; this one must still withdraw its event.
    hb::setTransferWaitStateForTest(hb::WAIT_EVENT, 0);
    vb->clearTrace();
    std::thread other([] {
        std::this_thread::sleep_for(200ms);
        hb::setTransferWaitStateForTest(hb::WAIT_POLL_TIMED_OUT, 0);
    });
    failsWith(HB_ERROR_TIMEOUT, 0.8);
    other.join();
    EXPECT_EQ(countRequests(0, HB_IOCTL_ASYNC_EVENT_DEREGISTER), 1u);
    EXPECT_FALSE(vb->isEventRegistered(HB_EVENT_MONITOR_REPLY));
}

TEST_F(MonitorTransferTest, ADelayedReplyNeverOverwritesTheAnswerToALaterRequest) {
    monitor->setReplyDelay(300ms);
    post(message(99, 4), 4); // a refusal, late
    monitor->setReplyDelay(0ms);
    post(message(MON_PREPARE, 4), 4);
    std::this_thread::sleep_for(500ms); // past the time of the late one
    std::vector<uint8_t> reply(4);
    vb->readShared(HB_MONITOR_MESSAGE_BODY, reply.data(), 4);
    EXPECT_EQ(half(reply, 2), MON_PREPARE);
}

TEST_F(MonitorTransferTest, MonitorRefusesMalformedCommandsWithTheirReasonAndChangesNothing) {
    open(vboard::MonitorOptions{.memorySize = 0x100000});
    const std::pair<std::vector<uint8_t>, Error> cases[] = {
        {memoryWrite(0x100000 - 4, 0x20, 5), Error::OutsideMemory},
        {memoryWrite(descriptors::kStartupLimit - 1, 0x28, 5), Error::OutsideMemory},
        {memoryWrite(0x2000, 0x30, 5), Error::BadSelector},
        {memoryWrite(0x2000, 0x20, 6), Error::BadLength}, // the count disagrees
        {message(MON_SET_VARIABLE, 16, {16, 4, 1}), Error::BadVariable},
        {message(99, 4), Error::UnknownOpcode},
        {{1, 0}, Error::BadLength}, // shorter than a header
    };
    for (const auto& [request, error] : cases) {
        SCOPED_TRACE(::testing::PrintToString(request));
        post(request, uint32_t(request.size()));
        std::vector<uint8_t> reply(8);
        vb->readShared(HB_MONITOR_MESSAGE_BODY, reply.data(), 8);
        EXPECT_EQ(vb->readSharedWord(HB_MONITOR_MESSAGE_LENGTH), 8u);
        EXPECT_EQ(half(reply, 2), vboard::kMonitorErrorOpcode);
        EXPECT_EQ(half(reply, 6), uint16_t(error));
    }
    EXPECT_EQ(monitor->readMemory(0x100000 - 4, 4), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(monitor->readMemory(descriptors::kStartupBase + descriptors::kStartupLimit - 1, 1),
              std::vector<uint8_t>{0});
    // MessageLength larger than the area: only the area is read.
    post(message(MON_PREPARE, 4), 0xFFFFFFF0);
    EXPECT_EQ(monitor->commands().back().error, Error::BadLength);
    EXPECT_EQ(monitor->commands().back().body.size(), 0x400u - 8);
    // A one-byte variable keeps the low byte.
    post(message(MON_SET_VARIABLE, 16, {6, 1, 0x1FF}), 16);
    EXPECT_EQ(monitor->variable(6), 0xFFu);
}

} // namespace
