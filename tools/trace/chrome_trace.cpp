// The trace-event JSON file, and driver requests as its events.
#include "chrome_trace.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace hb::tools {

namespace {

constexpr const char* kHead = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
constexpr const char* kTail = "\n]}\n";

// Microseconds on the system's monotonic clock: files written by different
// tools of one run (hbsim and hbrun) line up.
double microseconds(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration<double, std::micro>(at.time_since_epoch()).count();
}

// To the nanosecond, which the clock gives: "31.517", not "31.517000000000003".
double nanosecondsKept(double microseconds) {
    return std::round(microseconds * 1000.0) / 1000.0;
}

bool writeAll(int fd, const std::string& text, int64_t at, bool positioned) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = positioned
                                ? ::pwrite(fd, text.data() + done, text.size() - done,
                                           static_cast<off_t>(at + static_cast<int64_t>(done)))
                                : ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

ChromeTraceFile::ChromeTraceFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(),
                                "cannot open JSON trace file '" + path + "'");
    // A pipe or terminal cannot be rewritten: there the tail comes at the end.
    seekable_ = ::lseek(fd_, 0, SEEK_CUR) >= 0;
    const std::string head = kHead;
    tail_ = static_cast<int64_t>(head.size());
    if (!writeAll(fd_, seekable_ ? head + "]}\n" : head, 0, seekable_)) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(),
                                "cannot write JSON trace file '" + path + "'");
    }
}

ChromeTraceFile::~ChromeTraceFile() {
    std::lock_guard guard(lock_);
    if (!seekable_ && !failed_)
        writeAll(fd_, kTail, 0, false);
    ::close(fd_);
}

void ChromeTraceFile::nameProcess(int pid, const std::string& name) {
    append({{"ph", "M"}, {"name", "process_name"}, {"pid", pid}, {"args", {{"name", name}}}});
}

void ChromeTraceFile::nameThread(int pid, int tid, const std::string& name) {
    append({{"ph", "M"},
            {"name", "thread_name"},
            {"pid", pid},
            {"tid", tid},
            {"args", {{"name", name}}}});
}

void ChromeTraceFile::complete(int pid, int tid, const std::string& category,
                               const std::string& name, std::chrono::steady_clock::time_point start,
                               double seconds, nlohmann::json args) {
    append({{"ph", "X"},
            {"cat", category},
            {"name", name},
            {"pid", pid},
            {"tid", tid},
            {"ts", nanosecondsKept(microseconds(start))},
            {"dur", seconds > 0 ? nanosecondsKept(seconds * 1e6) : 0.0},
            {"args", std::move(args)}});
}

// One write puts the event and the tail after the previous event: a run that
// ends at any point leaves a file that loads.
void ChromeTraceFile::append(const nlohmann::json& event) {
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard guard(lock_);
    if (failed_)
        return;
    const std::string piece = (first_ ? "" : ",\n") + text;
    const bool written =
        seekable_ ? writeAll(fd_, piece + kTail, tail_, true) : writeAll(fd_, piece, 0, false);
    if (!written) {
        failed_ = true;
        std::fprintf(stderr, "warning: trace file '%s' is incomplete: %s\n", path_.c_str(),
                     std::strerror(errno));
        return;
    }
    first_ = false;
    tail_ += static_cast<int64_t>(piece.size());
}

int boardProcess(int boardIndex) {
    return boardIndex + 1; // the viewers hide process 0
}

void nameBoardTracks(ChromeTraceFile& file, int boardIndex, bool driver, bool fileIo) {
    const int pid = boardProcess(boardIndex);
    file.nameProcess(pid, "board " + std::to_string(boardIndex));
    if (driver)
        file.nameThread(pid, kDriverThread, "driver requests");
    if (fileIo)
        file.nameThread(pid, kFileIoThread, "file-I/O service");
}

void traceDriverRequest(ChromeTraceFile& file, int boardIndex, const vboard::TraceEntry& entry) {
    const auto now = std::chrono::steady_clock::now();
    const auto start = entry.received.time_since_epoch().count() != 0 ? entry.received : now;
    nlohmann::json args = {{"code", hex(entry.controlCode)}, {"offset", hex(entry.offset)},
                           {"length", entry.length},         {"value", hex(entry.value)},
                           {"input", entry.input.size()},    {"data", entry.data.size()},
                           {"result", entry.status},         {"error", entry.status}};
    file.complete(boardProcess(boardIndex), kDriverThread, "driver", entry.name, start,
                  std::chrono::duration<double>(now - start).count(), std::move(args));
}

std::string clipped(const std::string& text, size_t limit) {
    return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

} // namespace hb::tools
