// hbsim: the virtual board as a daemon. Serves boards at BASE1 .. BASEn until
// SIGINT, SIGTERM or SIGHUP, then removes its sockets. Any host application reaches
// the boards as it reaches the board's driver: hbrun --device, the tests, a
// program of one's own linked with the library.
#include "option_checks.h"
#include "vboard/board.h"
#include "vboard/emulated_vp.h"
#include "vboard/faults.h"
#include "vboard/gdb_stub.h"
#include "vboard/monitor.h"

#include "chrome_trace.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#ifndef HB_VERSION
#define HB_VERSION "0"
#endif

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 125;

// Whether a device answers at `path` right now (a live hbsim or driver).
bool somethingServes(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return false;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool live =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return live;
}

// The fault plans of the --fault options, one per board: "PLAN" goes to every
// board, "B@PLAN" to board B only. Throws std::invalid_argument naming the
// option that is wrong.
std::vector<hb::vboard::FaultPlan> faultPlans(const std::vector<std::string>& options, int boards) {
    std::vector<hb::vboard::FaultPlan> plans(static_cast<size_t>(boards));
    for (const std::string& option : options) {
        std::string text = option;
        int only = -1;
        const auto at = option.find('@');
        if (at != std::string::npos) {
            const std::string index = option.substr(0, at);
            if (index.empty() || index.size() > 2 ||
                index.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(index) >= boards) {
                throw std::invalid_argument("--fault '" + option + "': board '" + index +
                                            "' is not one of the boards served (0 to " +
                                            std::to_string(boards - 1) + ")");
            }
            only = std::stoi(index);
            text = option.substr(at + 1);
        }
        hb::vboard::FaultPlan plan;
        try {
            plan = hb::vboard::parseFaultPlan(text);
        } catch (const std::invalid_argument& e) {
            std::string reason = e.what();
            if (reason.rfind("fault: ", 0) == 0)
                reason.erase(0, 7);
            throw std::invalid_argument("--fault '" + option + "': " + reason);
        }
        if (plan.empty())
            throw std::invalid_argument("--fault '" + option + "': no fault given");
        for (int i = 0; i < boards; ++i) {
            if (only >= 0 && i != only)
                continue;
            auto& into = plans[static_cast<size_t>(i)];
            into.requests.insert(into.requests.end(), plan.requests.begin(), plan.requests.end());
            into.events.insert(into.events.end(), plan.events.begin(), plan.events.end());
        }
    }
    return plans;
}

// Whether the board kind has a shared-memory layout (and so a file-I/O block).
bool hasLayout(const hb::vboard::BoardConfig& config) {
    if (config.boardType == 27)
        return config.busWidth >= 1 && config.busWidth <= 3;
    return config.boardType != 24;
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "SIGTERM";
    }
}

// The --gdb options, "[B@]PORT" each: the port of each debugged board.
// Throws std::invalid_argument naming the option that is wrong.
std::map<int, uint16_t> gdbPorts(const std::vector<std::string>& options, int boards) {
    std::map<int, uint16_t> ports;
    for (const std::string& option : options) {
        const auto at = option.find('@');
        const std::string board = at == std::string::npos ? "0" : option.substr(0, at);
        const std::string port = at == std::string::npos ? option : option.substr(at + 1);
        auto number = [&](const std::string& text, size_t digits) {
            if (text.empty() || text.size() > digits ||
                text.find_first_not_of("0123456789") != std::string::npos)
                return -1;
            return std::stoi(text);
        };
        const int b = number(board, 2);
        const int p = number(port, 5);
        if (b < 0 || b >= boards)
            throw std::invalid_argument("--gdb '" + option + "': board '" + board +
                                        "' is not one of the boards served (0 to " +
                                        std::to_string(boards - 1) + ")");
        if (p < 0 || p > 65535)
            throw std::invalid_argument("--gdb '" + option + "': '" + port +
                                        "' is no TCP port (0 to 65535)");
        if (!ports.emplace(b, uint16_t(p)).second)
            throw std::invalid_argument("--gdb '" + option + "': board " + board +
                                        " has a debugger port already");
    }
    return ports;
}

std::string sizeText(uint32_t bytes) {
    return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " B";
}

// The command line's choices.
struct Options {
    std::string base;
    int boards = 1;
    uint32_t boardType = 22;
    uint32_t width = 4;
    bool trace = false;
    std::string traceJson;
    bool noEvent3 = false;
    unsigned replyDelayMs = 0;
    bool neverAnswer = false;
    uint32_t memoryMiB = 16;
    uint32_t contextLength = 376;
    uint32_t replyExcess = 0;
    std::vector<std::string> faults;
    std::vector<std::string> gdbOptions;
    std::string transport = "mapped";
};

void addBoardOptions(CLI::App& app, Options& o) {
    using hb::tools::wholeNumberIn;
    app.add_option("--path", o.base, "device base name; board i is served at BASE<i+1>")
        ->required();
    app.add_option("--boards", o.boards, "number of boards (default 1)")
        ->check(wholeNumberIn(1, 16));
    app.add_option("--board-type", o.boardType,
                   "hardware board type code (default 22): 22/26 (bus type 2), 23/25 (bus type "
                   "3), 27 (bus type 1, width from --width), 24 (unknown). Boards of type 24, and "
                   "of type 27 with width 4, have no shared-memory layout: the driver requests "
                   "work, but no VP program can be served there")
        ->check(wholeNumberIn(22, 27));
    app.add_option("--width", o.width,
                   "bus width code reported for board type 27 (default 4, which has no layout; "
                   "1, 2 or 3 have one)")
        ->check(wholeNumberIn(1, 4));
    app.add_option("--transport", o.transport,
                   "how hosts reach the shared memory: 'mapped' (handed to each host that takes "
                   "it, so its reads and writes are memory copies) or 'socket' (every access a "
                   "request over the socket)")
        ->check(CLI::IsMember({"mapped", "socket"}));
    app.add_flag("--trace", o.trace, "print every driver request, decoded, like a bus analyser");
    app.add_option("--trace-json", o.traceJson,
                   "write every driver request to this file as trace-event JSON, for "
                   "ui.perfetto.dev or chrome://tracing")
        ->check(hb::tools::nonEmpty());
}

void addMonitorAndFaultOptions(CLI::App& app, Options& o) {
    using hb::tools::wholeNumberIn;
    app.add_flag("--no-event3", o.noEvent3,
                 "the monitor answers without raising board event 3 (the host must poll)");
    app.add_option("--reply-delay", o.replyDelayMs, "the monitor answers this many ms late")
        ->check(wholeNumberIn(0, 600000));
    app.add_flag("--never-answer", o.neverAnswer, "the monitor takes requests and never answers");
    app.add_option("--memory", o.memoryMiB, "MiB of VP memory (default 16)")
        ->check(wholeNumberIn(1, 256));
    app.add_option("--monitor-context-length", o.contextLength,
                   "the monitor answers MON_GET_CONTEXT with this many bytes (4 to 376)")
        ->check(wholeNumberIn(4, 376));
    app.add_option("--monitor-reply-excess", o.replyExcess,
                   "every monitor reply claims this many bytes more in MessageLength than it "
                   "holds (a wrong length the host must not follow past its buffer or the area)")
        ->check(wholeNumberIn(0, UINT32_MAX));
    app.add_option("--fault", o.faults,
                   "a fault the board commits, counted from the start: [B@]KIND:TARGET[#N][*TIMES]"
                   "[=VALUE][,...], e.g. 'fail:SharedMemoryRead#3=1167', 'short:VpRead#1*0=2', "
                   "'event-drop:6', '1@close:ResetVp' (board 1 only; without B@ every board). "
                   "KIND: fail, delay, corrupt, close, close-mid, short, event-drop, event-delay, "
                   "event-dup. Repeatable")
        ->allow_extra_args(false);
    app.add_option("--gdb", o.gdbOptions,
                   "[B@]PORT: board B (default 0) stops each program it starts before the "
                   "first instruction and waits for gdb on 127.0.0.1:PORT (0: a free port, "
                   "named at start). Repeatable, once per board")
        ->allow_extra_args(false);
}

// The boards being served and what serves them. Members go in reverse order:
// the VPs, then the device, then the trace file its listeners write to.
struct Served {
    std::mutex outputLock;
    std::unique_ptr<hb::tools::ChromeTraceFile> json;
    std::unique_ptr<hb::vboard::Device> device;
    std::vector<std::shared_ptr<hb::vboard::EmulatedVp>> vps;
};

// One line on stdout, kept whole beside the trace lines.
void say(Served& served, const std::string& line) {
    std::lock_guard guard(served.outputLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool anyPathServed(const Options& o) {
    for (int i = 0; i < o.boards; ++i) {
        const std::string path = o.base + std::to_string(i + 1);
        if (somethingServes(path)) {
            std::fprintf(stderr, "hbsim: %s is already served by a live device\n", path.c_str());
            return true;
        }
    }
    return false;
}

// Signals are taken by sigwait; every thread started from here on inherits
// the mask.
sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

hb::vboard::MonitorOptions monitorOptionsOf(const Options& o) {
    hb::vboard::MonitorOptions monitorOptions;
    monitorOptions.memorySize = o.memoryMiB * 1024u * 1024u;
    monitorOptions.raiseEvent3 = !o.noEvent3;
    monitorOptions.replyDelay = std::chrono::milliseconds(o.replyDelayMs);
    monitorOptions.neverAnswer = o.neverAnswer;
    monitorOptions.contextReplyLength = o.contextLength;
    monitorOptions.replyLengthExcess = o.replyExcess;
    return monitorOptions;
}

bool openJsonTrace(Served& served, const std::string& path) {
    try {
        if (!path.empty())
            served.json = std::make_unique<hb::tools::ChromeTraceFile>(path);
        return true;
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "hbsim: cannot open JSON trace file '%s': %s\n", path.c_str(),
                     e.code().message().c_str());
        return false;
    }
}

// --trace prints each request as the board takes it; --trace-json writes it.
void traceLive(Served& served, hb::vboard::Board& board, int i, bool trace) {
    if (served.json)
        hb::tools::nameBoardTracks(*served.json, i, true, false);
    if (!trace && !served.json)
        return;
    board.setTraceListener([i, trace, &served](const hb::vboard::TraceEntry& entry) {
        if (served.json)
            hb::tools::traceDriverRequest(*served.json, i, entry);
        if (!trace)
            return;
        std::lock_guard guard(served.outputLock);
        std::printf("board %d: %s\n", i, entry.text().c_str());
        std::fflush(stdout);
    });
}

// Board i with its monitor, emulated VP, fault plan and trace, announced.
void addBoard(Served& served, const Options& o, int i, const hb::vboard::FaultPlan& plan) {
    hb::vboard::BoardConfig config;
    config.boardType = o.boardType;
    config.busWidth = o.boardType == 27 ? o.width : 4;
    config.transport = o.transport == "socket" ? hb::vboard::MemoryTransport::Socket
                                               : hb::vboard::MemoryTransport::Mapped;
    hb::vboard::Board& board = served.device->addBoard(i, config);
    board.setTracing(false); // --trace listens live; nothing keeps the requests
    // The monitor answers boots; started images run on the emulated VP.
    served.vps.push_back(hb::vboard::attachEmulatedVp(board, {monitorOptionsOf(o)}));
    if (!plan.empty())
        board.setFaultPlan(plan);
    traceLive(served, board, i, o.trace);
    std::printf("hbsim: board %d at %s (type %u, bus width %u, %s shared memory%s)\n", i,
                board.socketPath().c_str(), config.boardType, config.busWidth,
                sizeText(board.sharedMemorySize()).c_str(),
                hasLayout(config) ? "" : "; no layout, no VP program can be served");
}

bool attachDebuggers(Served& served, const std::map<int, uint16_t>& debugged) {
    for (const auto& [i, port] : debugged) {
        try {
            auto stub = std::make_shared<hb::vboard::GdbStub>(port, [i](const std::string& at) {
                std::fprintf(stderr, "hbsim: board %d: waiting for gdb on %s\n", i, at.c_str());
            });
            std::printf("hbsim: board %d: gdb at %s\n", i, stub->address().c_str());
            served.vps[size_t(i)]->setDebugger(std::move(stub));
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "hbsim: board %d: cannot listen for gdb on %s\n", i, e.what());
            return false;
        }
    }
    return true;
}

void stopServing(Served& served, int boards) {
    for (auto& vp : served.vps) {
        vp->shutdown();
    }
    served.device->stop(); // stops serving and removes the sockets
    for (int i = 0; i < boards; ++i)
        served.device->board(i)->setVpSide(nullptr);
    served.vps.clear();
    served.device.reset();
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "hbsim: serves virtual accelerator boards at BASE1 .. BASEn, as the board's "
        "driver would, until SIGINT, SIGTERM or SIGHUP.\n"
        "Exit status: 0 after a stop signal; 125 when the boards cannot be served; 2 for a "
        "usage error."};
    app.set_version_flag("--version", std::string("hbsim ") + HB_VERSION);
    Options o;
    addBoardOptions(app, o);
    addMonitorAndFaultOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "hbsim: %s (see --help)\n", e.what());
        return kExitUsage;
    }
    std::vector<hb::vboard::FaultPlan> plans;
    std::map<int, uint16_t> debugged;
    try {
        plans = faultPlans(o.faults, o.boards);
        debugged = gdbPorts(o.gdbOptions, o.boards);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "hbsim: %s\n", e.what());
        return kExitUsage;
    }
    if (anyPathServed(o))
        return kExitFailure;

    const sigset_t stopSignals = blockStopSignals();
    Served served;
    if (!openJsonTrace(served, o.traceJson))
        return kExitFailure;
    try {
        served.device = hb::vboard::Device::create(o.base);
        for (int i = 0; i < o.boards; ++i)
            addBoard(served, o, i, plans[static_cast<size_t>(i)]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hbsim: cannot serve %s: %s\n", o.base.c_str(), e.what());
        return kExitFailure;
    }
    if (!attachDebuggers(served, debugged))
        return kExitFailure;
    say(served, "hbsim: ready");

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    say(served, std::string("hbsim: ") + signalName(received) + ", stopping");
    stopServing(served, o.boards);
    return 0;
}
