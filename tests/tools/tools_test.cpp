// hbrun and hbsim as a user runs them: started as processes, judged by their
// output, their files and their exit status.
#include "process.h"

#include "../fileio/scratch_directory.h"
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using hbtest::Finished;
using hbtest::Process;
using hbtest::ScratchDirectory;
using namespace std::chrono_literals;

const std::string kHbrun = HBRUN_PATH;
const std::string kHbsim = HBSIM_PATH;
const std::string kVp = VP_DIR;

class Tools : public ::testing::Test {
  protected:
    Finished hbrun(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), kHbrun);
        return hbtest::run(arguments, work_.path());
    }
    ScratchDirectory work_;
};

TEST_F(Tools, HbrunRunsHelloOnTheEmbeddedBoard) {
    const Finished done = hbrun({kVp + "/hello.exe", "one", "-v", "--trace"});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "hello from the VP\n"
                        "argv[0] = " +
                            kVp +
                            "/hello.exe\n"
                            "argv[1] = one\n"
                            "argv[2] = -v\n"
                            "argv[3] = --trace\n"
                            "HBVP_GREETING = (not set)\n");
    EXPECT_EQ(done.err, "");
}

TEST_F(Tools, HbrunExitsWithTheProgramsStatus) {
    for (int status : {0, 7, 200, 255}) {
        const Finished done = hbrun({kVp + "/behave.exe", "exit", std::to_string(status)});
        EXPECT_EQ(done.status, status);
        EXPECT_EQ(done.err, "exiting with " + std::to_string(status) + "\n");
    }
}

TEST_F(Tools, HbrunsOwnFailuresExitWith125AndOneLine) {
    Finished done = hbrun({"missing.exe"});
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err, "hbrun: cannot open image 'missing.exe': error 3, path not found\n");

    const std::string text = work_.write("text.exe", "this is no image");
    done = hbrun({text});
    EXPECT_EQ(done.status, 125);
    EXPECT_NE(done.err.find("is no PE32 image the loader takes: error 2"), std::string::npos)
        << done.err;

    done = hbrun({"--device", work_ / "nothing", kVp + "/hello.exe"});
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err.rfind("hbrun: cannot open board 0 of device '", 0), 0u) << done.err;

    done = hbrun({"--root", work_ / "none", kVp + "/hello.exe"});
    EXPECT_EQ(done.status, 125);
    EXPECT_NE(done.err.find("error 3, path not found"), std::string::npos) << done.err;

    done = hbrun({"--board", "16", kVp + "/hello.exe"});
    EXPECT_EQ(done.status, 125);
    done = hbrun({});
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(hbrun({"--version"}).status, 0);
}

TEST_F(Tools, HbrunReportsAVpFaultWithItsKindAndAddress) {
    const Finished done = hbrun({kVp + "/behave.exe", "fault"});
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err.rfind("hbrun: VP fault: unmapped write at eip 0x", 0), 0u) << done.err;
    EXPECT_NE(done.err.find("address 0xDEAD0000"), std::string::npos) << done.err;
}

TEST_F(Tools, HbrunGivesUpAfterItsTimeout) {
    const Finished done = hbrun({"--timeout", "1", kVp + "/behave.exe", "spin"});
    EXPECT_EQ(done.status, 124);
    EXPECT_EQ(done.err, "hbrun: the VP program did not exit within 1 s\n");
}

TEST_F(Tools, HbrunTracesDriverAndFileRequestsDecoded) {
    const std::string traceFile = work_ / "trace.txt";
    const Finished done = hbrun({"--trace-file", traceFile, kVp + "/hello.exe"});
    ASSERT_EQ(done.status, 0) << done.err;
    const std::string trace = work_.read("trace.txt");
    const auto at = [&](const std::string& text) {
        const auto found = trace.find(text);
        EXPECT_NE(found, std::string::npos) << text << "\n" << trace;
        return found;
    };
    const auto reset = at("driver: ResetVp ");
    const auto commandLine = at("fileio: CommandLine -> '" + kVp + "/hello.exe '");
    const auto write = at("fileio: Write fd=1 count=18 data='hello from the VP\\n' -> 18 [");
    const auto exit = at("fileio: Exit status=0 -> 0 [");
    EXPECT_LT(reset, commandLine);
    EXPECT_LT(commandLine, write);
    EXPECT_LT(write, exit);
    // --trace-file leaves the console to the program.
    EXPECT_EQ(done.err, "");
}

TEST_F(Tools, HbrunConfinesTheProgramToItsRoot) {
    std::filesystem::create_directory(work_ / "root");
    work_.write("root/inside.txt", "inside\n");
    work_.write("secret.txt", "secret\n");
    Finished done = hbrun({"--root", work_ / "root", kVp + "/cat.exe", "inside.txt"});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "inside\n");
    for (const std::string& escape : {std::string("../secret.txt"), work_ / "secret.txt"}) {
        done = hbrun({"--root", work_ / "root", kVp + "/cat.exe", escape});
        EXPECT_NE(done.status, 0) << escape;
        EXPECT_EQ(done.out, "") << escape;
        EXPECT_NE(done.err.find("error 5"), std::string::npos) << done.err;
    }
}

// A socket file that nobody serves, as a crashed device leaves it.
void leaveStaleSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

TEST_F(Tools, HbsimServesUntilSignalledAndRemovesItsSockets) {
    const std::string base = work_ / "dev";
    leaveStaleSocket(base + "1");
    Process sim({kHbsim, "--path", base, "--boards", "2", "--trace"}, work_.path());
    ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
    EXPECT_NE(sim.out().find("hbsim: board 1 at " + base + "2"), std::string::npos);

    // A second daemon on the same path is refused.
    const Finished second = hbtest::run({kHbsim, "--path", base}, work_.path());
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "hbsim: " + base + "1 is already served by a live device\n");

    // hbrun boots through it, twice on the same board.
    for (const char* status : {"3", "4"}) {
        const Finished done =
            hbrun({"--device", base, "--board", "1", kVp + "/behave.exe", "exit", status});
        EXPECT_EQ(done.status, std::stoi(status)) << done.err;
    }
    const Finished faulted = hbrun({"--device", base, kVp + "/behave.exe", "fault"});
    EXPECT_EQ(faulted.status, 125);
    EXPECT_NE(faulted.err.find("VP fault: unmapped write"), std::string::npos) << faulted.err;

    sim.signal(SIGTERM);
    const Finished ended = sim.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_NE(ended.out.find("board 1: ResetVp "), std::string::npos);
    EXPECT_NE(ended.out.find("hbsim: SIGTERM, stopping"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(base + "1"));
    EXPECT_FALSE(std::filesystem::exists(base + "2"));
}

TEST_F(Tools, HbsimStopsOnSigintAndRefusesBadOptions) {
    Process sim({kHbsim, "--path", work_ / "int"}, work_.path());
    ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s));
    sim.signal(SIGINT);
    EXPECT_EQ(sim.finish().status, 0);
    EXPECT_FALSE(std::filesystem::exists(work_ / "int1"));

    EXPECT_EQ(hbtest::run({kHbsim, "--path", work_ / "x", "--boards", "17"}, work_.path()).status,
              2);
    EXPECT_EQ(hbtest::run({kHbsim}, work_.path()).status, 2);
}

TEST_F(Tools, HbsimServesTheSameCopyOverTheSocketAndThroughTheMapping) {
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + (i >> 9));
    work_.write("source.bin", data);
    for (const std::string transport : {"socket", "mapped"}) {
        SCOPED_TRACE(transport);
        const std::string base = work_ / transport;
        Process sim({kHbsim, "--path", base, "--transport", transport}, work_.path());
        ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
        const Finished done = hbrun({"--device", base, kVp + "/copy.exe", work_ / "source.bin",
                                     work_ / ("copy-" + transport)});
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_TRUE(work_.read("copy-" + transport) == data) << "the copy differs";
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.finish().status, 0);
    }
    EXPECT_EQ(
        hbtest::run({kHbsim, "--path", work_ / "x", "--transport", "pigeon"}, work_.path()).status,
        2);
}

// Boots `image` on board `index` of the device at `base` from this process,
// as any host application would; the last error on failure, 0 on success.
uint32_t bootThrough(const std::string& base, int index, const std::string& image, double timeout) {
    AcceleratorBoard* board = hbAcceleratorBoardCreate(base.c_str(), index, 0);
    if (board == nullptr) {
        ADD_FAILURE() << "no board " << index << " at " << base;
        return hbGetLastError();
    }
    hbSetLastError(0);
    const int32_t booted = hbBootVp(board, image.c_str(), timeout);
    const uint32_t error = booted != 0 ? 0 : hbGetLastError();
    EXPECT_TRUE(booted == 0 || booted == 1);
    hbAcceleratorBoardDestroy(board);
    return error;
}

TEST_F(Tools, HbsimFaultPlansReachTheHostBoardByBoard) {
    const std::string base = work_ / "faulty";
    // Every board fails its first shared-memory read (the first poll of the
    // first monitor transfer); board 1 also every reset.
    Process sim({kHbsim, "--path", base, "--boards", "2", "--fault", "fail:SharedMemoryRead#1=1117",
                 "--fault", "1@fail:ResetVp*0"},
                work_.path());
    ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
    const std::string image = kVp + "/behave.exe";
    for (int index : {0, 1}) {
        SCOPED_TRACE("board " + std::to_string(index));
        EXPECT_EQ(bootThrough(base, index, image, 5.0), 1460u)
            << "a failed monitor transfer ends the boot with 1460";
        // The plan hit the first read only; the reset the boot does not check.
        EXPECT_EQ(bootThrough(base, index, image, 5.0), 0u);
    }
    sim.signal(SIGTERM);
    const Finished ended = sim.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
}

TEST_F(Tools, HbsimMonitorFaults) {
    const std::string image = kVp + "/behave.exe";
    {
        // A silent monitor: a finite time-out ends the boot, whichever way
        // the library waits.
        Process sim({kHbsim, "--path", work_ / "silent", "--never-answer"}, work_.path());
        ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
        EXPECT_EQ(bootThrough(work_ / "silent", 0, image, 0.3), 1460u);
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.finish().status, 0);
    }
    {
        // Late, short-context, overlong replies: the boot still succeeds.
        Process sim({kHbsim, "--path", work_ / "odd", "--reply-delay", "2",
                     "--monitor-context-length", "4", "--monitor-reply-excess", "100000"},
                    work_.path());
        ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
        EXPECT_EQ(bootThrough(work_ / "odd", 0, image, 5.0), 0u);
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.finish().status, 0);
    }
}

TEST_F(Tools, HbsimRefusesBadFaultsWithOneLine) {
    const std::string base = work_ / "bad";
    const auto refused = [&](std::vector<std::string> arguments, const std::string& start) {
        arguments.insert(arguments.begin(), {kHbsim, "--path", base});
        const Finished done = hbtest::run(arguments, work_.path());
        EXPECT_EQ(done.status, 2) << done.err;
        EXPECT_EQ(done.err.rfind(start, 0), 0u) << done.err;
        EXPECT_EQ(std::count(done.err.begin(), done.err.end(), '\n'), 1) << done.err;
        EXPECT_FALSE(std::filesystem::exists(base + "1")) << "nothing was served";
    };
    refused({"--fault", "bogus"}, "hbsim: --fault 'bogus': expected KIND:TARGET");
    refused({"--fault", "fail:NoSuchRequest"}, "hbsim: --fault 'fail:NoSuchRequest': unknown");
    refused({"--fault", "delay:ResetVp"}, "hbsim: --fault 'delay:ResetVp': ");
    refused({"--fault", "fail:any#0"}, "hbsim: --fault 'fail:any#0': ");
    refused({"--boards", "2", "--fault", "2@fail:any"},
            "hbsim: --fault '2@fail:any': board '2' is not one of the boards served (0 to 1)");
    refused({"--fault", "x@fail:any"}, "hbsim: --fault 'x@fail:any': board 'x'");
    refused({"--fault", ""}, "hbsim: --fault '': ");
    refused({"--monitor-context-length", "3"}, "hbsim: --monitor-context-length: ");
    refused({"--monitor-context-length", "377"}, "hbsim: --monitor-context-length: ");
    refused({"--reply-delay", "soon"}, "hbsim: Could not convert: --reply-delay");
    refused({"--fault"}, "hbsim: --fault: ");
}

} // namespace
