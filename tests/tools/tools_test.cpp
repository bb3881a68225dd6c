// hbrun, hbsim and hbpe as a user runs them: started as processes, judged by
// their output, their files and their exit status.
#include "process.h"

#include "../fileio/scratch_directory.h"
#include "hbsys9u.h"
#include "support/pe_image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
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
const std::string kHbpe = HBPE_PATH;

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

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

    done = hbrun({"--device", work_ / "nothing", kVp + "/hello.exe"});
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err.rfind("hbrun: cannot open board 0 of device '", 0), 0u) << done.err;

    done = hbrun({"--root", work_ / "none", kVp + "/hello.exe"});
    EXPECT_EQ(done.status, 125);
    EXPECT_NE(done.err.find("error 3, path not found"), std::string::npos) << done.err;
    EXPECT_EQ(hbrun({"--version"}).status, 0);
}

// Each bad option value is one line naming the option and what it takes,
// status 2, and nothing runs.
TEST_F(Tools, BadOptionValuesAreUsageErrorsNamingTheOptionAndRange) {
    const std::string image = kVp + "/hello.exe";
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{kHbrun, "--timeout", "nan", image},
         "hbrun: --timeout: 'nan' is not a number from 0.001 to 1000000"},
        {{kHbrun, "--timeout", "-1", image}, "hbrun: --timeout: '-1' is not a number from "},
        {{kHbrun, "--timeout", "inf", image}, "hbrun: --timeout: 'inf' is not a number from "},
        {{kHbrun, "--timeout", "1e309", image}, "hbrun: --timeout: '1e309' is not a number from "},
        {{kHbrun, "--board", "16", image},
         "hbrun: --board: '16' is not a whole number from 0 to 15"},
        {{kHbrun, "--board-type", "1e309", image}, "hbrun: --board-type: '1e309' is not a whole"},
        {{kHbrun, "--width", "-1", image},
         "hbrun: --width: '-1' is not a whole number from 1 to 4"},
        {{kHbrun, "--root", "", image}, "hbrun: --root: '' is empty"},
        {{kHbrun, "--device", "", image}, "hbrun: --device: '' is empty"},
        {{kHbrun}, "hbrun: image is required"},
        {{kHbsim, "--path", work_ / "x", "--boards", "17"},
         "hbsim: --boards: '17' is not a whole number from 1 to 16"},
        {{kHbsim, "--path", work_ / "x", "--memory", "1e309"},
         "hbsim: --memory: '1e309' is not a whole"},
        {{kHbsim, "--path", work_ / "x", "--reply-delay", "-1"},
         "hbsim: --reply-delay: '-1' is not a whole"},
        {{kHbsim, "--path", work_ / "x", "--monitor-reply-excess", "nan"},
         "hbsim: --monitor-reply-excess: 'nan'"},
        {{kHbsim, "--path", work_ / "x", "--width", "inf"},
         "hbsim: --width: 'inf' is not a whole number from 1 to 4"},
        {{kHbpe, "check"}, "hbpe: a mode (check or fix) and an image are required"},
        {{kHbpe, "fix", image, "--lfanew", "-1"}, "hbpe: --lfanew: '-1' is not a whole number"},
        {{kHbsim}, "hbsim: --path is required"},
    };
    for (const auto& c : cases) {
        const Finished done = hbtest::run(c.arguments, work_.path(), 20s);
        EXPECT_EQ(done.status, 2) << c.line << "\n" << done.err;
        EXPECT_EQ(done.err.rfind(c.line, 0), 0u) << done.err;
        EXPECT_EQ(lineCount(done.err), 1u) << done.err;
        EXPECT_EQ(done.out, "") << c.line;
    }
    EXPECT_FALSE(std::filesystem::exists(work_ / "x1")) << "nothing was served";
}

// One line, each fact once: "VP fault: KIND at eip 0xE[, address 0xA]".
TEST_F(Tools, HbrunsFaultLineSaysEachFactOnce) {
    const struct {
        const char* mode;
        std::string start, end;
    } cases[] = {
        {"fault", "hbrun: VP fault: unmapped write at eip 0x", ", address 0xDEAD0000\n"},
        {"invalid", "hbrun: VP fault: invalid instruction at eip 0x", "\n"},
    };
    for (const auto& c : cases) {
        const Finished done = hbrun({kVp + "/behave.exe", c.mode});
        EXPECT_EQ(done.status, 125);
        EXPECT_EQ(done.err.rfind(c.start, 0), 0u) << done.err;
        ASSERT_GT(done.err.size(), c.start.size() + c.end.size()) << done.err;
        EXPECT_TRUE(done.err.ends_with(c.end)) << done.err;
        const std::string eip =
            done.err.substr(c.start.size(), done.err.size() - c.start.size() - c.end.size());
        EXPECT_EQ(eip.find_first_not_of("0123456789ABCDEF"), std::string::npos)
            << "nothing but the eip between kind and address: " << done.err;
    }
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
    EXPECT_EQ(second.status, 125);
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

TEST_F(Tools, HbsimRemovesItsSocketsOnSigintAndSighup) {
    for (const auto& [signal, name] : {std::pair{SIGINT, "SIGINT"}, std::pair{SIGHUP, "SIGHUP"}}) {
        Process sim({kHbsim, "--path", work_ / name}, work_.path());
        ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s));
        sim.signal(signal);
        const Finished ended = sim.finish(20s);
        EXPECT_EQ(ended.status, 0) << name;
        EXPECT_NE(ended.out.find(std::string("hbsim: ") + name + ", stopping"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(work_ / (std::string(name) + "1"))) << name;
    }
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
    refused({"--reply-delay", "soon"}, "hbsim: --reply-delay: 'soon' is not a whole number");
    refused({"--fault"}, "hbsim: --fault: ");
}

// An hbsim serving `base`, ready when constructed.
class Sim {
  public:
    Sim(const std::string& base, const std::string& directory,
        std::vector<std::string> options = {})
        : process_(arguments(base, std::move(options)), directory) {
        EXPECT_TRUE(process_.waitForOutput("hbsim: ready", 30s)) << process_.out();
    }
    Process& process() { return process_; }

  private:
    static std::vector<std::string> arguments(const std::string& base,
                                              std::vector<std::string> options) {
        options.insert(options.begin(), {kHbsim, "--path", base});
        return options;
    }
    Process process_;
};

TEST_F(Tools, HbrunNoticesItsDeviceEndingAndKeepsTheOutput) {
    for (const int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal == SIGKILL ? "SIGKILL" : "SIGTERM");
        const std::string base = work_ / ("lost" + std::to_string(signal));
        Sim sim(base, work_.path());
        Process run({kHbrun, "--device", base, "--timeout", "60", kVp + "/behave.exe", "hold",
                     work_ / "never"},
                    work_.path());
        ASSERT_TRUE(run.waitForOutput("holding\n", 30s)) << run.out();
        sim.process().signal(signal);
        const Finished done = run.finish(15s);
        EXPECT_EQ(done.status, 125) << done.err;
        EXPECT_EQ(done.out, "holding\n");
        EXPECT_EQ(done.err, "hbrun: lost the device: board 0 of device '" + base +
                                "' stopped answering (error 1167, device not connected)\n");
    }
}

TEST_F(Tools, ASecondClientIsRefusedWhileTheFirstHoldsTheBoard) {
    const std::string base = work_ / "shared";
    Sim sim(base, work_.path(), {"--trace"});
    const std::string go = work_ / "go";
    Process first({kHbrun, "--device", base, kVp + "/behave.exe", "hold", go}, work_.path());
    ASSERT_TRUE(first.waitForOutput("holding\n", 30s)) << first.out();

    const Finished second = hbtest::run(
        {kHbrun, "--device", base, kVp + "/behave.exe", "exit", "3"}, work_.path(), 20s);
    EXPECT_EQ(second.status, 125);
    EXPECT_EQ(second.err, "hbrun: board 0 of device '" + base +
                              "' is busy: another client is using it (error 170, busy)\n");
    // Any host application: the device, not hbrun, refuses the second owner.
    AcceleratorBoard* board = hbAcceleratorBoardCreate(base.c_str(), 0, 0);
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(hbFileIoStartup(board), 170u);
    EXPECT_EQ(hbBootVp(board, (kVp + "/hello.exe").c_str(), 5.0), 0);
    EXPECT_EQ(hbGetLastError(), 170u);
    hbAcceleratorBoardDestroy(board);
    EXPECT_NE(sim.process().out().find("status=170"), std::string::npos)
        << "refusals are traced, before they are answered";

    work_.write("go", "");
    const Finished done = first.finish(30s);
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "holding\nreleased\n");

    // A client that dies holding the board releases it.
    std::filesystem::remove(go);
    Process dying({kHbrun, "--device", base, kVp + "/behave.exe", "hold", go}, work_.path());
    ASSERT_TRUE(dying.waitForOutput("holding\n", 30s)) << dying.out();
    dying.signal(SIGKILL);
    dying.finish(10s);
    const Finished after = hbtest::run({kHbrun, "--device", base, kVp + "/behave.exe", "exit", "4"},
                                       work_.path(), 30s);
    EXPECT_EQ(after.status, 4) << after.err;
}

TEST_F(Tools, BoardKindsWithoutAFileIoBlockAreRefusedAtOnce) {
    const std::string refusal = "hbrun: cannot serve a program on this board kind: ";
    Sim sim(work_ / "kind", work_.path(), {"--board-type", "24"});
    EXPECT_NE(sim.process().out().find("no layout, no VP program can be served"), std::string::npos)
        << sim.process().out();
    const std::vector<std::string> runs[] = {
        {kHbrun, "--board-type", "24", kVp + "/hello.exe"},
        {kHbrun, "--board-type", "27", "--width", "4", kVp + "/hello.exe"},
        {kHbrun, "--device", work_ / "kind", kVp + "/hello.exe"},
    };
    for (const auto& arguments : runs) {
        const Finished done = hbtest::run(arguments, work_.path(), 20s);
        EXPECT_EQ(done.status, 125) << done.err;
        EXPECT_EQ(done.err.rfind(refusal, 0), 0u) << done.err;
        EXPECT_EQ(lineCount(done.err), 1u) << done.err;
    }
    const Finished help = hbtest::run({kHbsim, "--help"}, work_.path(), 20s);
    EXPECT_NE(help.out.find("(default 4, which has no layout"), std::string::npos) << help.out;
}

TEST_F(Tools, ArgumentsReachTheProgramExactlyAsGiven) {
    const std::vector<std::string> arguments = {"two words",  "",          "say \"hi\"", "a\\b",
                                                "c\\\\\"d\\", "tab\there", "end\\"};
    std::vector<std::string> command{kHbrun, kVp + "/hello.exe"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Finished done = hbtest::run(command, work_.path(), 20s);
    EXPECT_EQ(done.status, 0) << done.err;
    std::string expected = "hello from the VP\nargv[0] = " + kVp + "/hello.exe\n";
    for (size_t i = 0; i < arguments.size(); ++i)
        expected += "argv[" + std::to_string(i + 1) + "] = " + arguments[i] + "\n";
    EXPECT_EQ(done.out, expected + "HBVP_GREETING = (not set)\n");
    EXPECT_EQ(done.err, "");

    // A line cut to the slot keeps its one-line warning.
    done = hbrun({kVp + "/hello.exe", std::string(300, 'x')});
    EXPECT_EQ(done.err, "hbrun: warning: the command line is cut to 255 bytes\n");
}

TEST_F(Tools, ImagesTheLoaderCannotTakeAreRefusedWithTheReason) {
    const auto image = [&](const std::string& name, auto change) {
        hb::test::PeImage pe = hb::test::referenceImage();
        change(pe);
        EXPECT_TRUE(hb::test::writeFile(work_ / name, pe.build()));
        return work_ / name;
    };
    const struct {
        std::string path, reason;
    } cases[] = {
        {work_.write("text.exe", "this is no image"), "no MS-DOS header"},
        {image("pe32plus.exe", [](hb::test::PeImage& pe) { pe.optionalMagic = 0x20B; }),
         "not a PE32 image"},
        {image("amd64.exe", [](hb::test::PeImage& pe) { pe.machine = 0x8664; }),
         "not an i386 image"},
        {image("wraps.exe",
               [](hb::test::PeImage& pe) {
                   pe.addSection(".idata", 0xFFFFF000u - pe.imageBase,
                                 hb::test::patternBytes(0x2000, 1), 0x40);
               }),
         "ends beyond the 32-bit address space"},
        {image("claims.exe",
               [](hb::test::PeImage& pe) {
                   pe.addSection(".idata", 0xF00000, hb::test::patternBytes(16, 2), 0x40)
                       .sizeOfRawData = 64u << 20;
               }),
         "its data runs past the end of the file"},
    };
    for (const auto& c : cases) {
        const Finished done = hbtest::run({kHbrun, c.path}, work_.path(), 20s);
        EXPECT_EQ(done.status, 125) << c.path;
        EXPECT_EQ(done.err.rfind("hbrun: image '" + c.path + "' is not a valid image: ", 0), 0u)
            << done.err;
        EXPECT_NE(done.err.find(c.reason), std::string::npos) << done.err;
        EXPECT_EQ(lineCount(done.err), 1u) << done.err;
    }
}

TEST_F(Tools, HbpeEndsWithOneLineOnWhatItCannotRead) {
    std::filesystem::create_directory(work_ / "dir");
    for (const std::string& path : {work_ / "dir", work_ / "missing.exe"}) {
        const Finished done = hbtest::run({kHbpe, "check", path}, work_.path(), 20s);
        EXPECT_EQ(done.status, 125) << done.err;
        EXPECT_EQ(done.err.rfind("hbpe: cannot read '" + path + "': ", 0), 0u) << done.err;
        EXPECT_EQ(lineCount(done.err), 1u) << done.err;
    }
    EXPECT_EQ(hbtest::run({kHbpe, "check", kVp + "/hello.exe"}, work_.path(), 20s).status, 0);
}

// The README's hbrun examples, run as written from a tree whose build
// directory is this build.
TEST_F(Tools, ReadmeExamplesRunAsWritten) {
    std::ifstream readme(README_PATH);
    std::stringstream text;
    text << readme.rdbuf();
    const std::string all = text.str();
    const auto section = all.find("## Running a VP program");
    ASSERT_NE(section, std::string::npos);
    const auto begin = all.find("```sh\n", section);
    const auto end = all.find("```\n", begin + 6);
    ASSERT_NE(end, std::string::npos);
    std::filesystem::create_directory_symlink(BUILD_DIR, work_ / "build");
    std::istringstream lines(all.substr(begin + 6, end - begin - 6));
    int run = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const Finished done = hbtest::run(
            {"/bin/bash", "-c", "cd '" + work_.path() + "' && " + line}, work_.path(), 30s);
        EXPECT_EQ(done.status, 0) << line << "\n" << done.err;
        ++run;
    }
    EXPECT_GE(run, 3);
}

} // namespace
