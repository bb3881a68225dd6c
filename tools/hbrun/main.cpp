// hbrun: runs a VP program the way a host application does. It opens a board
// (an embedded virtual board by default, or a device with --device), starts
// the file-I/O service, hands the program its command line and its console,
// boots the image, waits for the program's exit and exits with its status.
//
// Exit status: the VP program's own (0..255); 125 when hbrun itself fails or
// the VP faults (the reason is on stderr as one line); 124 when --timeout
// runs out before the program exits; 2 for a usage error; 128 + N when
// stopped by signal N (SIGINT, SIGTERM, SIGHUP).
#include "command_line.h"
#include "error_names.h"
#include "option_checks.h"
#include "pe_image.h"
#include "request_trace.h"
#include "vboard/emulated_vp.h"
#include "vboard/gdb_stub.h"
#include "vp_fault.h"

#include "hbsys9u.h"
#include "vboard/board.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#ifndef HB_VERSION
#define HB_VERSION "0"
#endif

namespace {

using hb::tools::describeError;

constexpr int kOwnFailure = 125;
constexpr int kTimedOut = 124;
constexpr int kUsage = 2;
constexpr uint32_t kErrorBusy = 170; // the device refused a second owner of the VP
constexpr double kDefaultBootTimeout = 30.0;
constexpr double kPollSeconds = 0.05;

// hbrun's own failure: one line on stderr and exit status 125.
struct Failure {
    std::string message;
    int status = kOwnFailure;
};

[[noreturn]] void fail(const std::string& message, int status = kOwnFailure) {
    throw Failure{message, status};
}

struct Options {
    std::string image;
    std::vector<std::string> arguments;
    std::string device;
    int boardIndex = 0;
    uint32_t boardType = 22;
    uint32_t width = 4;
    std::optional<double> timeout;
    bool trace = false;
    std::string traceFile;
    std::string traceJson;
    std::string root;
    int gdbPort = -1; // --gdb: the port a debugger connects to
};

// ---- The program's console --------------------------------------------------

// Whole writes of `data` to `fd`, CR LF turned into LF as the library's own
// writers do. The count taken, or -1.
int32_t writeConsole(int fd, const void* data, int32_t length) {
    if (length < 0)
        return -1;
    const auto* bytes = static_cast<const char*>(data);
    std::string text;
    text.reserve(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        if (bytes[i] == '\r' && i + 1 < length && bytes[i + 1] == '\n')
            continue;
        text += bytes[i];
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return -1;
        done += static_cast<size_t>(put);
    }
    return length;
}

int32_t writeStdout(const void* data, int32_t length) {
    return writeConsole(STDOUT_FILENO, data, length);
}
int32_t writeStderr(const void* data, int32_t length) {
    return writeConsole(STDERR_FILENO, data, length);
}

// ---- Watching the requests ----------------------------------------------------

// What the service thread tells the waiting main thread. The Exit request
// is seen here before the VP program sees its answer.
struct RunWatch {
    std::atomic<bool> exited{false};
    std::atomic<int> status{0};
    hb::tools::TraceSink* sink = nullptr;
    hb::tools::ChromeTraceFile* json = nullptr;
};

void watchRequest(void* context, const HbFileIoTraceRecord* record) {
    auto* watch = static_cast<RunWatch*>(context);
    if (watch->sink != nullptr)
        watch->sink->line("fileio: " + hb::tools::describeFileIoRequest(*record));
    if (watch->json != nullptr)
        hb::tools::traceFileIoRequest(*watch->json, *record);
    if (record->request == FileIoRequest_Exit) {
        watch->status.store(record->result & 0xFF);
        watch->exited.store(true);
    }
}

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
}

const char* signalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM";
}

// ---- The board ------------------------------------------------------------------

// A virtual board in this process, served from a private directory that goes
// with it.
class EmbeddedBoard {
  public:
    EmbeddedBoard(const Options& options) {
        std::string pattern = (std::filesystem::temp_directory_path() / "hbrun-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            fail("cannot create a directory for the embedded board: " +
                 describeError(hb::tools::win32FromErrno(errno)));
        directory_ = pattern;
        base_ = directory_ + "/hbboard";
        hb::vboard::BoardConfig config;
        config.boardType = options.boardType;
        config.busWidth = options.boardType == 27 ? options.width : 4;
        try {
            device_ = hb::vboard::Device::create(base_);
            board_ = &device_->addBoard(options.boardIndex, config);
            // --trace listens live; nothing keeps the requests of a long run.
            board_->setTracing(false);
            vp_ = hb::vboard::attachEmulatedVp(*board_);
        } catch (const std::exception& e) {
            removeDirectory();
            fail(std::string("cannot start the embedded board: ") + e.what());
        }
    }
    ~EmbeddedBoard() {
        vp_->shutdown();
        board_->setTraceListener({});
        device_->stop();
        board_->setVpSide(nullptr);
        device_.reset();
        removeDirectory();
    }
    EmbeddedBoard(const EmbeddedBoard&) = delete;
    EmbeddedBoard& operator=(const EmbeddedBoard&) = delete;

    const std::string& base() const { return base_; }
    hb::vboard::Board& board() { return *board_; }
    hb::vboard::EmulatedVp& vp() { return *vp_; }

    // The program stops before its first instruction for gdb on 127.0.0.1:port.
    void listenForGdb(int port) {
        try {
            vp_->setDebugger(std::make_shared<hb::vboard::GdbStub>(
                uint16_t(port), [](const std::string& address) {
                    std::fprintf(stderr, "hbrun: waiting for gdb on %s\n", address.c_str());
                }));
        } catch (const std::system_error& e) {
            fail("cannot listen for gdb on 127.0.0.1:" + std::to_string(port) + ": " +
                 e.code().message());
        }
    }

  private:
    void removeDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    std::string directory_, base_;
    std::unique_ptr<hb::vboard::Device> device_;
    hb::vboard::Board* board_ = nullptr;
    std::shared_ptr<hb::vboard::EmulatedVp> vp_;
};

// The board handle and its file-I/O service, taken down in the right order.
class OpenBoard {
  public:
    // `name` says which board this is in messages.
    OpenBoard(const std::string& base, int index, std::string name) : name_(std::move(name)) {
        board_ = hbAcceleratorBoardCreate(base.c_str(), index, 0);
        if (board_ == nullptr)
            fail("cannot open " + name_ + ": " + describeError(hbGetLastError()) +
                 " (no device answers there)");
    }
    ~OpenBoard() {
        if (serviceRunning_) {
            hbFileIoSetTraceFunction(board_, nullptr, nullptr);
            hbFileIoShutdown(board_);
        }
        hbAcceleratorBoardDestroy(board_);
    }
    OpenBoard(const OpenBoard&) = delete;
    OpenBoard& operator=(const OpenBoard&) = delete;

    // A board kind without a file-I/O block cannot serve a program: it
    // would boot and then wait forever for requests that cannot come.
    void requireFileIoBlock() const {
        uint32_t size = 0;
        hb_GetFileIoBuffer(board_, &size);
        if (size == 0)
            fail("cannot serve a program on this board kind: " + name_ +
                 " has no file-I/O block (bus type " + std::to_string(hbBusType(board_)) +
                 ", bus width " + std::to_string(hbBusWidth(board_)) + ")");
    }
    void startService() {
        const uint32_t code = hbFileIoStartup(board_);
        if (code == kErrorBusy)
            fail(name_ + " is busy: another client is using it (" + describeError(code) + ")");
        if (code != 0)
            fail("cannot start the file-I/O service: " + describeError(code));
        serviceRunning_ = true;
    }
    // Ends the run when the device has gone away (its connection broke).
    void failIfLost(uint32_t readError) const {
        if (readError == HB_ERROR_DEVICE_NOT_CONNECTED)
            fail("lost the device: " + name_ + " stopped answering (" + describeError(readError) +
                 ")");
    }
    AcceleratorBoard* get() const { return board_; }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    AcceleratorBoard* board_ = nullptr;
    bool serviceRunning_ = false;
};

// ---- The run ---------------------------------------------------------------------

// Hands the program its command line, each argument quoted so that the VP
// runtime splits it back exactly; warns when the line is cut to the slot.
void setCommandLine(AcceleratorBoard* board, const Options& options) {
    const std::vector<std::string> quoted =
        hb::tools::quoteCommandLine(options.image, options.arguments);
    std::vector<const char*> argv;
    size_t joined = 0;
    for (const std::string& word : quoted) {
        argv.push_back(word.c_str());
        joined += word.size() + 1;
    }
    argv.push_back(nullptr);
    if (joined > HB_FILEIO_COMMAND_LINE_SIZE - 1)
        std::fprintf(stderr, "hbrun: warning: the command line is cut to %u bytes\n",
                     HB_FILEIO_COMMAND_LINE_SIZE - 1);
    const uint32_t code = hbFileIoSetCommandLine(board, argv.data());
    if (code != 0)
        fail("cannot set the command line: " + describeError(code));
}

// Why the loader refused the image: the loader's refusals as hbpe check
// words them, on one line.
std::string imageProblem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) {
        return "it cannot be read";
    }
    std::string text;
    for (const hb::pe::Problem& problem : hb::pe::loaderRefusals(bytes))
        text += (text.empty() ? "" : "; ") + problem.text;
    return text.empty() ? "the loader refused it" : text;
}

void boot(const OpenBoard& board, const Options& options) {
    hb::tools::clearFaultRecord(board.get());
    const double bootTimeout = options.timeout.value_or(kDefaultBootTimeout);
    if (hbBootVp(board.get(), options.image.c_str(), bootTimeout) != 0)
        return;
    const uint32_t error = hbGetLastError();
    board.failIfLost(hb::tools::readFault(board.get()).readError);
    switch (error) {
    case HB_ERROR_PATH_NOT_FOUND:
        fail("cannot open image '" + options.image + "': " + describeError(error));
    case HB_ERROR_FILE_NOT_FOUND:
        fail("image '" + options.image + "' is not a valid image: " + imageProblem(options.image));
    case kErrorBusy:
        fail(board.name() + " is busy: another client is using it (" + describeError(error) + ")");
    case HB_ERROR_TIMEOUT:
        fail("the board monitor did not answer while loading '" + options.image +
             "': " + describeError(error));
    default:
        fail("cannot boot image '" + options.image + "': " + describeError(error));
    }
}

// Waits in slices; between them a fault record, a lost device, an ended
// processor, a signal or the time-out end the wait.
int waitForExit(const OpenBoard& board, const Options& options, const RunWatch& watch,
                EmbeddedBoard* embedded) {
    // Under a debugger the wait lasts until the processor has stopped too, so
    // that gdb sees the end.
    const auto finished = [&] {
        return watch.exited.load() &&
               (options.gdbPort < 0 || embedded == nullptr ||
                embedded->vp().status().state != hb::vboard::EmulatedVpState::Running);
    };
    const auto started = std::chrono::steady_clock::now();
    while (!finished()) {
        if (watch.exited.load())
            embedded->vp().waitUntilEnded(std::chrono::milliseconds(50));
        else
            hbFileIoWaitForVpExit(board.get(), kPollSeconds);
        if (finished())
            break;
        const hb::tools::FaultCheck check = hb::tools::readFault(board.get());
        if (check.fault)
            fail(*check.fault);
        board.failIfLost(check.readError);
        if (embedded != nullptr) {
            const auto status = embedded->vp().status();
            if (status.state == hb::vboard::EmulatedVpState::Halted && !watch.exited.load())
                fail("the VP program ended without reporting an exit status (halt value " +
                     std::to_string(status.exitValue) + ")");
        }
        if (stopSignal != 0)
            fail(std::string("stopped by ") + signalName(stopSignal), 128 + stopSignal);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (options.timeout && elapsed > *options.timeout)
            fail("the VP program did not exit within " + CLI::detail::to_string(*options.timeout) +
                     " s",
                 kTimedOut);
    }
    return watch.status.load();
}

void openTrace(const Options& options, std::unique_ptr<std::FILE, int (*)(std::FILE*)>& file,
               std::optional<hb::tools::TraceSink>& sink) {
    if (!options.traceFile.empty()) {
        file.reset(std::fopen(options.traceFile.c_str(), "w"));
        if (!file)
            fail("cannot open trace file '" + options.traceFile +
                 "': " + describeError(hb::tools::win32FromErrno(errno)));
        sink.emplace(file.get());
    } else if (options.trace) {
        sink.emplace(stderr);
    }
}

int run(const Options& options) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, std::fclose);
    std::optional<hb::tools::TraceSink> sink;
    openTrace(options, traceFile, sink);
    std::optional<hb::tools::ChromeTraceFile> json;
    if (!options.traceJson.empty()) {
        try {
            json.emplace(options.traceJson);
        } catch (const std::system_error& e) {
            fail("cannot open JSON trace file '" + options.traceJson +
                 "': " + describeError(hb::tools::win32FromErrno(e.code().value())));
        }
        hb::tools::nameBoardTracks(*json, options.boardIndex, options.device.empty(), true);
    }

    std::optional<EmbeddedBoard> embedded;
    if (options.device.empty())
        embedded.emplace(options);
    if (embedded && options.gdbPort >= 0)
        embedded->listenForGdb(options.gdbPort);
    if (embedded && (sink || json)) {
        embedded->board().setTraceListener(
            [&sink, &json, index = options.boardIndex](const hb::vboard::TraceEntry& entry) {
                if (sink)
                    sink->line("driver: " + entry.text());
                if (json)
                    hb::tools::traceDriverRequest(*json, index, entry);
            });
    }
    const std::string base = embedded ? embedded->base() : options.device;
    const std::string name =
        embedded ? "the embedded board (type " + std::to_string(options.boardType) + ")"
                 : "board " + std::to_string(options.boardIndex) + " of device '" + base + "'";

    OpenBoard board(base, options.boardIndex, name);
    board.requireFileIoBlock();
    board.startService();

    // The command line, the console, the root and the watch are set after
    // the service started: its first start in a process resets the slot.
    setCommandLine(board.get(), options);
    uint32_t code = hbFileIoSetStdOutFunctions(board.get(), writeStdout, writeStderr);
    if (code != 0)
        fail("cannot install the console writers: " + describeError(code));
    code = hbFileIoSetRootDirectory(board.get(),
                                    options.root.empty() ? nullptr : options.root.c_str());
    if (code != 0)
        fail("cannot confine file access to '" + options.root + "': " + describeError(code));
    RunWatch watch;
    watch.sink = sink ? &*sink : nullptr;
    watch.json = json ? &*json : nullptr;
    code = hbFileIoSetTraceFunction(board.get(), watchRequest, &watch);
    if (code != 0)
        fail("cannot watch the file-I/O requests: " + describeError(code));

    boot(board, options);
    return waitForExit(board, options, watch, embedded ? &*embedded : nullptr);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"hbrun: runs a VP program on a board as a host application does, with the "
                 "host's files and console, and exits with the program's exit status. Each "
                 "argument reaches the program's argv as given.\n"
                 "Exit status: the program's (0-255); 125 when hbrun fails, the VP faults, the "
                 "board is busy or the device is lost (one line on stderr); 124 when --timeout "
                 "runs out; 2 for a usage error; 128 + N when stopped by signal N."};
    app.set_version_flag("--version", std::string("hbrun ") + HB_VERSION);
    Options options;
    double timeout = 0;
    using hb::tools::wholeNumberIn;
    const CLI::Validator nonEmpty = hb::tools::nonEmpty();
    auto* device = app.add_option("--device", options.device,
                                  "device base name of an existing board (a running hbsim, or "
                                  "the board's driver); default: an embedded virtual board")
                       ->check(nonEmpty);
    app.add_option("--board", options.boardIndex, "board index on the device (default 0)")
        ->check(wholeNumberIn(0, HB_MAX_BOARDS - 1));
    app.add_option("--board-type", options.boardType,
                   "board type of the embedded board (default 22): 22/26, 23/25, 27 (with "
                   "--width); 24 and 27 with width 4 have no file-I/O block and are refused")
        ->check(wholeNumberIn(22, 27))
        ->excludes(device);
    app.add_option("--width", options.width,
                   "bus width code of an embedded type-27 board: 1, 2 or 3 (the default, 4, has "
                   "no layout and is refused)")
        ->check(wholeNumberIn(1, 4))
        ->excludes(device);
    auto* timeoutOption =
        app.add_option("--timeout", timeout,
                       "seconds for each monitor command of the boot and for the whole run")
            ->check(hb::tools::decimalIn(0.001, 1e6));
    app.add_flag("--trace", options.trace,
                 "print every driver request (embedded board) and every file-I/O request, "
                 "decoded, to stderr");
    app.add_option("--trace-file", options.traceFile, "write the trace to this file instead")
        ->check(nonEmpty);
    app.add_option("--trace-json", options.traceJson,
                   "also write the traced requests to this file as trace-event JSON, for "
                   "ui.perfetto.dev or chrome://tracing")
        ->check(nonEmpty);
    app.add_option("--root", options.root, "confine the program's file access to this directory")
        ->check(nonEmpty);
    app.add_option("--gdb", options.gdbPort,
                   "stop the program before its first instruction and wait for gdb on "
                   "127.0.0.1:PORT (0: a free port, named on stderr); then: gdb IMAGE, "
                   "target remote :PORT")
        ->check(wholeNumberIn(0, 65535))
        ->excludes(device);
    app.add_option("image", options.image, "the VP program, a PE32 image")->required();
    app.add_option("args", options.arguments, "the program's arguments");
    app.positionals_at_end();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "hbrun: %s (see --help)\n", e.what());
        return kUsage;
    }
    if (timeoutOption->count() > 0)
        options.timeout = timeout;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        const int status = run(options);
        std::fflush(stdout);
        return status;
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "hbrun: %s\n", failure.message.c_str());
        return failure.status;
    }
}
