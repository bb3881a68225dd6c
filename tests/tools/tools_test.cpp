// hbrun and hbsim as a user runs them: started as processes, judged by their
// output, their files and their exit status.
#include "process.h"

#include "../fileio/scratch_directory.h"

#include <gtest/gtest.h>

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

} // namespace
