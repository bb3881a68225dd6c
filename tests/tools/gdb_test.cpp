// Debugging VP programs: hbrun --gdb and hbsim --gdb with Debian's gdb in
// batch mode, and with a raw client that speaks the remote protocol badly.
#include "process.h"

#include "../fileio/scratch_directory.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <regex>
#include <thread>

namespace {

using hbtest::Finished;
using hbtest::Process;
using hbtest::ScratchDirectory;
using namespace std::chrono_literals;

const std::string kHbrun = HBRUN_PATH;
const std::string kHbsim = HBSIM_PATH;
const std::string kGdb = GDB_PATH;
const std::string kVp = VP_DIR;

// The port of the last "127.0.0.1:PORT" in `text`.
std::string portIn(const std::string& text) {
    static const std::regex address("127\\.0\\.0\\.1:([0-9]+)");
    std::string port;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), address);
         m != std::sregex_iterator(); ++m)
        port = (*m)[1];
    return port;
}

// A client of the stub that writes raw bytes and reads what comes back.
class RawClient {
  public:
    explicit RawClient(const std::string& port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const timeval limit{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawClient() { close(); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes) {
        (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // Reads until `text` came (or 20 s passed); everything read so far.
    std::string readUntil(const std::string& text) {
        char buffer[4096];
        while (received_.find(text) == std::string::npos) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            received_.append(buffer, size_t(got));
        }
        return received_;
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string received_;
};

std::string packet(const std::string& payload) {
    unsigned sum = 0;
    for (char c : payload)
        sum += uint8_t(c);
    char check[3];
    std::snprintf(check, sizeof check, "%02x", sum & 0xFF);
    return "$" + payload + "#" + check;
}

class Gdb : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kGdb.empty())
            GTEST_SKIP() << "no gdb (scripts/setup.sh installs it)";
    }
    // hbrun --gdb 0 ARGS, once it waits for a debugger; port_ names the port.
    std::unique_ptr<Process> debugged(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {kHbrun, "--timeout", "60", "--gdb", "0"});
        auto process = std::make_unique<Process>(arguments, work_.path());
        EXPECT_TRUE(process->waitForError("hbrun: waiting for gdb on 127.0.0.1:", 30s))
            << process->err();
        port_ = portIn(process->err());
        return process;
    }
    // gdb in batch mode on `image`, connected to port_, running `commands`.
    Finished gdb(const std::string& image, const std::vector<std::string>& commands) {
        std::vector<std::string> argv = {kGdb,
                                         "-nx",
                                         "-batch",
                                         "-ex",
                                         "set pagination off",
                                         "-ex",
                                         "set confirm off",
                                         "-ex",
                                         "target remote 127.0.0.1:" + port_};
        for (const std::string& command : commands) {
            argv.push_back("-ex");
            argv.push_back(command);
        }
        argv.push_back(image);
        return hbtest::run(argv, work_.path(), 60s);
    }
    ScratchDirectory work_;
    std::string port_;
};

TEST_F(Gdb, BreaksStepsReadsAndWritesMemoryAndRegistersThenRunsToTheEnd) {
    const std::string hello = kVp + "/hello.exe";
    auto hbrun = debugged({hello, "one"});
    const Finished session =
        gdb(hello, {"break main", "continue", "next", "print argv[1]", "set var argv[1][0] = 'J'",
                    "print argv[1]", "set var $eax = 0x1234abcd", "print/x $eax", "stepi",
                    "info registers eip", "continue"});
    const std::string& out = session.out;
    EXPECT_EQ(session.status, 0) << out << session.err;
    EXPECT_TRUE(
        std::regex_search(out, std::regex("Breakpoint 1, main \\(argc=2, argv=0x[0-9a-f]+[^)]*\\)"
                                          " at .*hello\\.c:[0-9]+\n.*\n6\t")))
        << out << session.err;
    EXPECT_NE(out.find("\"one\""), std::string::npos) << "memory read\n" << out;
    EXPECT_NE(out.find("\"Jne\""), std::string::npos) << "memory written\n" << out;
    EXPECT_NE(out.find("= 0x1234abcd"), std::string::npos) << "register written\n" << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("eip +0x[0-9a-f]+ +0x[0-9a-f]+ <main\\+")))
        << out;
    EXPECT_NE(out.find("exited normally"), std::string::npos) << out;

    const Finished run = hbrun->finish(30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("argv[1] = Jne\n"), std::string::npos) << run.out;
}

TEST_F(Gdb, SeesAVpFaultAsSigsegvAtTheFaultingLineAndTheHostStillGetsIt) {
    const std::string fault = kVp + "/fault.exe";
    auto hbrun = debugged({fault, "write"});
    const Finished session = gdb(fault, {"continue", "info registers eip", "continue"});
    EXPECT_NE((session.out + session.err)
                  .find("VP fault: write to unmapped address 0x40000000 at eip 0x"),
              std::string::npos)
        << session.out << session.err;
    EXPECT_NE(session.out.find("Program received signal SIGSEGV"), std::string::npos)
        << session.out << session.err;
    EXPECT_TRUE(std::regex_search(session.out, std::regex("main \\(.*\\) at .*fault\\.c:[0-9]+")))
        << session.out;
    EXPECT_NE(session.out.find("Program terminated with signal SIGSEGV"), std::string::npos)
        << session.out;

    const Finished run = hbrun->finish(30s);
    EXPECT_EQ(run.status, 125);
    EXPECT_NE(run.err.find("\nhbrun: VP fault: unmapped write at eip 0x"), std::string::npos)
        << run.err; // as without a debugger
}

TEST_F(Gdb, InterruptStopsASpinningProgramAndKillEndsHbrunWith125) {
    auto hbrun = debugged({kVp + "/behave.exe", "spin"});
    RawClient client(port_);
    ASSERT_TRUE(client.connected());
    client.send("+" + packet("?"));
    EXPECT_NE(client.readUntil("#").find("$T05"), std::string::npos);
    client.send("+" + packet("c"));
    std::this_thread::sleep_for(200ms);
    client.send("\x03");
    EXPECT_NE(client.readUntil("$T02").find("$T02"), std::string::npos) << "no stop for ^C";
    client.send("+" + packet("k"));

    const Finished run = hbrun->finish(30s);
    EXPECT_EQ(run.status, 125);
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex("\nhbrun: the debugger killed the VP program at eip 0x[0-9A-F]+\n$")))
        << run.err;
}

TEST_F(Gdb, BadPacketsAndADebuggerThatVanishesMidPacketLeaveTheProgramRunning) {
    auto hbrun = debugged({kVp + "/hello.exe"});
    RawClient client(port_);
    ASSERT_TRUE(client.connected());
    client.send("$g#00");                                      // bad checksum
    client.send("$" + std::string(70000, 'm') + "#00garbage"); // overlong
    client.send(packet("m0,fffffffff") + packet("Z0,zz,1") + packet("G00"));
    EXPECT_NE(client.readUntil("-").find('-'), std::string::npos) << "no nack";
    client.send("$m1000,4"); // and gone
    client.close();

    const Finished run = hbrun->finish(30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("hello from the VP\n"), std::string::npos);
}

TEST_F(Gdb, HbsimWaitsForADebuggerAtEveryBootOfTheBoard) {
    Process hbsim({kHbsim, "--path", work_ / "sim", "--boards", "2", "--gdb", "1@0"}, work_.path());
    ASSERT_TRUE(hbsim.waitForOutput("hbsim: ready", 30s)) << hbsim.out();
    const std::string port = portIn(hbsim.out());
    ASSERT_FALSE(port.empty()) << hbsim.out();
    for (int boot = 1; boot <= 2; ++boot) {
        SCOPED_TRACE(boot);
        Process hbrun({kHbrun, "--timeout", "60", "--device", work_ / "sim", "--board", "1",
                       kVp + "/hello.exe"},
                      work_.path());
        RawClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(packet("QStartNoAckMode"));
        client.send(packet("D"));
        EXPECT_NE(client.readUntil("$OK#9a$OK#9a").find("$OK#9a$OK#9a"), std::string::npos);
        const Finished run = hbrun.finish(30s);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("hello from the VP\n"), std::string::npos);
    }
    EXPECT_TRUE(hbsim.waitForError("hbsim: board 1: waiting for gdb on 127.0.0.1:" + port +
                                       "\n"
                                       "hbsim: board 1: waiting for gdb on 127.0.0.1:" +
                                       port + "\n",
                                   10s))
        << hbsim.err();
    hbsim.signal(SIGTERM);
    EXPECT_EQ(hbsim.finish(30s).status, 0);
}

TEST_F(Gdb, GdbOptionsThatCannotWorkAreRefusedWithOneLine) {
    // A port that is taken.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    Finished done = hbtest::run({kHbrun, "--gdb", port, kVp + "/hello.exe"}, work_.path(), 30s);
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err,
              "hbrun: cannot listen for gdb on 127.0.0.1:" + port + ": Address already in use\n");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {kHbrun, "--gdb", "65536", kVp + "/hello.exe"},
             {kHbrun, "--gdb", "0", "--device", work_ / "none", kVp + "/hello.exe"}}) {
        done = hbtest::run(arguments, work_.path(), 30s);
        EXPECT_EQ(done.status, 2) << done.err; // usage errors
        EXPECT_EQ(std::count(done.err.begin(), done.err.end(), '\n'), 1) << done.err;
    }
    for (const std::string option : {"2@0", "x", "0@70000"}) {
        done = hbtest::run({kHbsim, "--path", work_ / "sim", "--boards", "2", "--gdb", option},
                           work_.path(), 30s);
        EXPECT_EQ(done.status, 2) << option;
        EXPECT_EQ(done.err.rfind("hbsim: --gdb '" + option + "': ", 0), 0u) << done.err;
    }
    done = hbtest::run({kHbsim, "--path", work_ / "sim", "--gdb", port}, work_.path(), 30s);
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err, "hbsim: board 0: cannot listen for gdb on 127.0.0.1:" + port +
                            ": Address already in use\n");
    ::close(taken);
}

} // namespace
