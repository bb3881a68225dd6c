// The service's lifecycle: startup and shutdown rules, waiting for the VP
// program's exit, a shutdown while a request is in flight, and sixteen boards
// served at once by their own threads.
#include "fileio/file_io_slots.h"
#include "service_fixture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <tuple>

namespace {

using hbtest::RequestAgent;
using hbtest::ServiceFixture;

class Lifecycle : public ServiceFixture {};

std::atomic<int> keptWrites{0};
int32_t keptWriter(const void*, int32_t length) {
    ++keptWrites;
    return length;
}

TEST_F(Lifecycle, RestartKeepsCommandLineWritersAndExitStatus) {
    const char* arguments[] = {"prog", "-x", nullptr};
    ASSERT_EQ(hbFileIoSetCommandLine(board(), arguments), 0u);
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), keptWriter, nullptr), 0u);
    agent().exit(3);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), 3);

    hb::FileIoBoardSlot& slot = *hb::fileIoSlot(0);
    const HbHandle firstEvent = slot.requestEvent.load();
    EXPECT_EQ(hbFileIoStartup(board()), 0u) << "the same handle again";
    EXPECT_EQ(slot.requestEvent.load(), firstEvent) << "nothing new was created";

    hbFileIoShutdown(board());
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), 3) << "no service: at once";

    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    EXPECT_EQ(agent().commandLine(), "prog -x ");
    keptWrites = 0;
    EXPECT_EQ(agent().write(1, "out").value, 3);
    EXPECT_EQ(keptWrites.load(), 1);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), 0.0), 3);
}

TEST_F(Lifecycle, RefusedCallsLeaveTheCallersLastErrorAndAFailedStartupTheSlotFree) {
    AcceleratorBoard outside{16, board()->deviceHandle};
    AcceleratorBoard noDevice{5, nullptr};
    hbSetLastError(1234);
    EXPECT_EQ(hbFileIoWaitForVpExit(&outside, 0.0), -1);
    EXPECT_EQ(hbFileIoWaitForVpExit(nullptr, 0.0), -1);
    hbFileIoShutdown(&outside);
    hbFileIoShutdown(nullptr);
    EXPECT_EQ(hbGetLastError(), 1234u);
    for (AcceleratorBoard* refused : {static_cast<AcceleratorBoard*>(nullptr), &outside, &noDevice})
        EXPECT_EQ(hbFileIoStartup(refused), 87u);
    // No service holds the slot: no wait. (The slot taken again after a
    // failed startup: device_loss_test, allocation_failure_test.)
    EXPECT_EQ(hbFileIoWaitForVpExit(&noDevice, HB_INFINITE_TIMEOUT), 0) << "nothing to wait for";
}

TEST_F(Lifecycle, StartupRegistersEventSixOnceAndFailsWhenTheLayoutCannotBeLearnt) {
    hbFileIoShutdown(board());
    virtualBoard().setTracing(true);
    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    hbFileIoShutdown(board());
    std::vector<std::pair<std::string, uint32_t>> events;
    for (const auto& e : virtualBoard().trace())
        if (e.name.starts_with("AsyncEvent"))
            events.emplace_back(e.name, e.offset);
    EXPECT_EQ(events, (decltype(events){{"AsyncEventRegister", 6}, {"AsyncEventDeregister", 6}}));
    // Index 9 alone: its bus type is still unknown, and the board refuses to tell.
    hb::vboard::Board& unknown = device_->addBoard(9, {});
    unknown.setFaultPlan(hb::vboard::parseFaultPlan("fail:GetHwInfo=31"));
    AcceleratorBoard* handle = open(9);
    EXPECT_EQ(hbFileIoStartup(handle), 31u);
    EXPECT_FALSE(unknown.isEventRegistered(6));
}

TEST_F(Lifecycle, AnyHandleOfTheBoardShutsItsServiceDown) {
    // A second handle of the running board: its startup is refused, the
    // running service stays, and its shutdown takes that service down.
    AcceleratorBoard* second = open(0);
    EXPECT_EQ(hbFileIoStartup(second), hb::kErrorBusy);
    EXPECT_EQ(hb::fileIoSlot(0)->board.load(), board());
    EXPECT_GT(agent().environmentSize(), 0u);
    hbFileIoShutdown(second);
    EXPECT_FALSE(virtualBoard().isEventRegistered(6));
}

TEST_F(Lifecycle, CallerTellsTheProgramsExitFromATimeOut) {
    hbFileIoWaitForVpExit(board(), 0.05); // the status stored from before
    EXPECT_EQ(hbFileIoVpHasExited(board()), 0) << "the time-out ran out";
    agent().exit(0);
    EXPECT_EQ(hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT), 0);
    EXPECT_EQ(hbFileIoVpHasExited(board()), 1) << "the program reported status 0";
    hbFileIoShutdown(board());
    EXPECT_EQ(hbFileIoVpHasExited(board()), 1) << "still after the shutdown";
    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    EXPECT_EQ(hbFileIoVpHasExited(board()), 0) << "a new run of the service";
    EXPECT_EQ(hbFileIoVpHasExited(nullptr), -1);
}

// The status is stored before the exit event is set. The service thread runs
// at idle priority on the waiter's processor, so the woken waiter runs before
// the service thread's next step.
TEST_F(Lifecycle, AWaiterWokenByTheExitReadsThatExitsStatus) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    for (uint32_t status = 1; status <= 10; ++status) {
        hbFileIoShutdown(board());
        std::thread([&] {
            const sched_param none{};
            pthread_setaffinity_np(pthread_self(), sizeof one, &one);
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
            EXPECT_EQ(hbFileIoStartup(board()), 0u);
        }).join();
        auto waiter = std::async(std::launch::async, [&] {
            pthread_setaffinity_np(pthread_self(), sizeof one, &one);
            return hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // mostly waiting by now
        agent().exit(status);
        EXPECT_EQ(waiter.get(), static_cast<int8_t>(status));
    }
}

TEST_F(Lifecycle, ShutdownReleasesAWaiter) {
    auto waiter = std::async(
        std::launch::async, [this] { return hbFileIoWaitForVpExit(board(), HB_INFINITE_TIMEOUT); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hbFileIoShutdown(board());
    EXPECT_EQ(waiter.get(), 0);
}

std::promise<void> writerEntered;
std::shared_future<void> writerRelease;
int32_t blockingWriter(const void*, int32_t length) {
    writerEntered.set_value();
    writerRelease.wait();
    return length;
}

TEST_F(Lifecycle, ShutdownWaitsForTheRequestInFlight) {
    writerEntered = std::promise<void>();
    std::promise<void> release;
    writerRelease = release.get_future().share();
    ASSERT_EQ(hbFileIoSetStdOutFunctions(board(), blockingWriter, nullptr), 0u);

    auto request = std::async(std::launch::async, [this] { return agent().write(1, "slow"); });
    writerEntered.get_future().wait();
    std::atomic<bool> shutDown{false};
    std::thread stopper([&] {
        hbFileIoShutdown(board());
        shutDown = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(shutDown.load()) << "the request is still being handled";
    release.set_value();
    stopper.join();
    const auto answer = request.get();
    EXPECT_EQ(std::tuple(agent().answered(), answer.value, answer.error), std::tuple(true, 4, 0u));
    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    hbFileIoSetStdOutFunctions(board(), nullptr, nullptr);
}

TEST_F(Lifecycle, SixteenBoardsAreServedConcurrentlyEachByItsOwnThreadFromItsOwnSlot) {
    for (int i = 1; i < HB_MAX_BOARDS; ++i)
        addBoard(i, {});
    std::vector<std::thread> vps;
    std::atomic<int> failures{0};
    for (int i = 0; i < HB_MAX_BOARDS; ++i) {
        const std::string name = std::to_string(i);
        const char* arguments[] = {name.c_str(), nullptr};
        EXPECT_EQ(hbFileIoSetCommandLine(board(i), arguments), 0u);
        vps.emplace_back([this, i, name, &failures] {
            RequestAgent& vp = agent(i);
            failures += vp.commandLine() != name + " ";
            const std::string path = files_ / ("board" + name), content = "board " + name;
            for (int round = 0; round < 20; ++round) {
                const int32_t fd = vp.open(path, HB_O_CREAT | HB_O_TRUNC | HB_O_RDWR).value;
                vp.write(fd, content);
                vp.seek(fd, 0, 0);
                const auto read = vp.read(fd, 100);
                failures += std::string(read.data.begin(), read.data.end()) != content;
                failures += vp.close(fd) != 0;
            }
            vp.exit(static_cast<uint32_t>(i + 1));
        });
    }
    for (auto& vp : vps)
        vp.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < HB_MAX_BOARDS; ++i)
        EXPECT_EQ(hbFileIoWaitForVpExit(board(i), HB_INFINITE_TIMEOUT), i + 1);
}

} // namespace
