// hbrun: runs a VP program the way a host application does. It opens a board
// (an embedded virtual board by default, or a device with --device), starts
// the file-I/O service, hands the program its command line and its console,
// boots the image, waits for the program's exit and exits with its status.
//
// Exit status: the VP program's own (0..255); 125 when hbrun itself fails or
// the VP faults (the reason is on stderr as one line); 124 when --timeout
// runs out before the program exits.
#include "error_names.h"
#include "request_trace.h"
#include "vboard/emulated_vp.h"
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
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef HB_VERSION
#define HB_VERSION "0"
#endif

namespace {

using hb::tools::describeError;

constexpr int kOwnFailure = 125;
constexpr int kTimedOut = 124;
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
    std::string root;
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
};

void watchRequest(void* context, const HbFileIoTraceRecord* record) {
    auto* watch = static_cast<RunWatch*>(context);
    if (watch->sink != nullptr)
        watch->sink->line("fileio: " + hb::tools::describeFileIoRequest(*record));
    if (record->request == FileIoRequest_Exit) {
        watch->status.store(record->result & 0xFF);
        watch->exited.store(true);
    }
}

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
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
    OpenBoard(const std::string& base, int index) {
        board_ = hbAcceleratorBoardCreate(base.c_str(), index, 0);
        if (board_ == nullptr)
            fail("cannot open board " + std::to_string(index) + " of device '" + base +
                 "': " + describeError(hbGetLastError()) + " (no device answers there)");
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

    void startService() {
        const uint32_t code = hbFileIoStartup(board_);
        if (code != 0)
            fail("cannot start the file-I/O service: " + describeError(code));
        serviceRunning_ = true;
    }
    AcceleratorBoard* get() const { return board_; }

  private:
    AcceleratorBoard* board_ = nullptr;
    bool serviceRunning_ = false;
};

// ---- The run ---------------------------------------------------------------------

int run(const Options& options) {
    std::FILE* traceStream = nullptr;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, std::fclose);
    if (!options.traceFile.empty()) {
        traceFile.reset(std::fopen(options.traceFile.c_str(), "w"));
        if (!traceFile)
            fail("cannot open trace file '" + options.traceFile +
                 "': " + describeError(hb::tools::win32FromErrno(errno)));
        traceStream = traceFile.get();
    } else if (options.trace) {
        traceStream = stderr;
    }
    std::optional<hb::tools::TraceSink> sink;
    if (traceStream != nullptr)
        sink.emplace(traceStream);

    std::optional<EmbeddedBoard> embedded;
    if (options.device.empty())
        embedded.emplace(options);
    if (embedded && sink) {
        embedded->board().setTraceListener([&sink](const hb::vboard::TraceEntry& entry) {
            sink->line("driver: " + entry.text());
        });
    }
    const std::string base = embedded ? embedded->base() : options.device;

    OpenBoard board(base, options.boardIndex);
    board.startService();

    // The command line, the console, the root and the watch are set after
    // the service started: its first start in a process resets the slot.
    std::vector<const char*> argv{options.image.c_str()};
    size_t joined = options.image.size() + 1;
    for (const std::string& argument : options.arguments) {
        argv.push_back(argument.c_str());
        joined += argument.size() + 1;
    }
    argv.push_back(nullptr);
    if (joined > HB_FILEIO_COMMAND_LINE_SIZE - 1)
        std::fprintf(stderr, "hbrun: warning: the command line is cut to %u bytes\n",
                     HB_FILEIO_COMMAND_LINE_SIZE - 1);
    uint32_t code = hbFileIoSetCommandLine(board.get(), argv.data());
    if (code != 0)
        fail("cannot set the command line: " + describeError(code));
    code = hbFileIoSetStdOutFunctions(board.get(), writeStdout, writeStderr);
    if (code != 0)
        fail("cannot install the console writers: " + describeError(code));
    code = hbFileIoSetRootDirectory(board.get(),
                                    options.root.empty() ? nullptr : options.root.c_str());
    if (code != 0)
        fail("cannot confine file access to '" + options.root + "': " + describeError(code));
    RunWatch watch;
    watch.sink = sink ? &*sink : nullptr;
    code = hbFileIoSetTraceFunction(board.get(), watchRequest, &watch);
    if (code != 0)
        fail("cannot watch the file-I/O requests: " + describeError(code));

    hb::tools::clearFaultRecord(board.get());
    const double bootTimeout = options.timeout.value_or(kDefaultBootTimeout);
    if (hbBootVp(board.get(), options.image.c_str(), bootTimeout) == 0) {
        const uint32_t error = hbGetLastError();
        switch (error) {
        case HB_ERROR_PATH_NOT_FOUND:
            fail("cannot open image '" + options.image + "': " + describeError(error));
        case HB_ERROR_FILE_NOT_FOUND:
            fail("image '" + options.image + "' is no PE32 image the loader takes: " +
                 describeError(error) + " (hbpe check explains why)");
        case HB_ERROR_TIMEOUT:
            fail("the board monitor did not answer while loading '" + options.image +
                 "': " + describeError(error));
        default:
            fail("cannot boot image '" + options.image + "': " + describeError(error));
        }
    }

    // Waits in slices; between them a fault record, an ended processor, a
    // signal or the time-out end the wait.
    const auto started = std::chrono::steady_clock::now();
    while (!watch.exited.load()) {
        hbFileIoWaitForVpExit(board.get(), kPollSeconds);
        if (watch.exited.load())
            break;
        if (const auto fault = hb::tools::readFault(board.get()))
            fail(*fault);
        if (embedded) {
            const auto status = embedded->vp().status();
            if (status.state == hb::vboard::EmulatedVpState::Halted && !watch.exited.load())
                fail("the VP program ended without reporting an exit status (halt value " +
                     std::to_string(status.exitValue) + ")");
        }
        if (stopSignal != 0)
            fail(std::string("stopped by ") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM"),
                 128 + stopSignal);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (options.timeout && elapsed > *options.timeout)
            fail("the VP program did not exit within " + CLI::detail::to_string(*options.timeout) +
                     " s",
                 kTimedOut);
    }
    return watch.status.load();
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"hbrun: runs a VP program on a board as a host application does, with the "
                 "host's files and console, and exits with the program's exit status.\n"
                 "Exit status: the program's (0-255); 125 when hbrun fails or the VP faults; "
                 "124 when --timeout runs out."};
    app.set_version_flag("--version", std::string("hbrun ") + HB_VERSION);
    Options options;
    double timeout = 0;
    auto* device = app.add_option("--device", options.device,
                                  "device base name of an existing board (a running hbsim, or "
                                  "the board's driver); default: an embedded virtual board");
    app.add_option("--board", options.boardIndex, "board index on the device")
        ->check(CLI::Range(0, HB_MAX_BOARDS - 1));
    app.add_option("--board-type", options.boardType,
                   "board type of the embedded board: 22/26, 23/25, 27 (with --width), 24")
        ->check(CLI::Range(22, 27))
        ->excludes(device);
    app.add_option("--width", options.width, "bus width code of an embedded type-27 board")
        ->check(CLI::Range(1, 4))
        ->excludes(device);
    auto* timeoutOption =
        app.add_option("--timeout", timeout,
                       "seconds for each monitor command of the boot and for the whole run")
            ->check(CLI::PositiveNumber);
    app.add_flag("--trace", options.trace,
                 "print every driver request (embedded board) and every file-I/O request, "
                 "decoded, to stderr");
    app.add_option("--trace-file", options.traceFile, "write the trace to this file instead");
    app.add_option("--root", options.root, "confine the program's file access to this directory");
    app.add_option("image", options.image, "the VP program, a PE32 image")->required();
    app.add_option("args", options.arguments, "the program's arguments");
    app.positionals_at_end();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kOwnFailure;
    }
    if (timeoutOption->count() > 0)
        options.timeout = timeout;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
