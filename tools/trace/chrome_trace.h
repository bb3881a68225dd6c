// A trace-event JSON file (the format chrome://tracing and the Perfetto UI
// open), written one event at a time so that it loads at every moment: each
// event goes in with the closing "]}" after it, in one write.
#pragma once

#include "vboard/board.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace hb::tools {

class ChromeTraceFile {
  public:
    // Creates or truncates `path`; throws std::system_error naming the file
    // and carrying the cause.
    explicit ChromeTraceFile(const std::string& path);
    ~ChromeTraceFile();
    ChromeTraceFile(const ChromeTraceFile&) = delete;
    ChromeTraceFile& operator=(const ChromeTraceFile&) = delete;

    // Metadata events: the names the viewer gives a process and a thread.
    void nameProcess(int pid, const std::string& name);
    void nameThread(int pid, int tid, const std::string& name);
    // A complete event that started at `start` and lasted `seconds`.
    void complete(int pid, int tid, const std::string& category, const std::string& name,
                  std::chrono::steady_clock::time_point start, double seconds, nlohmann::json args);

  private:
    void append(const nlohmann::json& event);

    std::mutex lock_;
    std::string path_;
    int fd_ = -1;
    bool seekable_ = false;
    bool first_ = true;
    bool failed_ = false;
    int64_t tail_ = 0; // where the closing "]}" starts
};

// The tracks of one board: process "board N", its driver requests and the
// requests of its file-I/O service as two threads.
int boardProcess(int boardIndex);
constexpr int kDriverThread = 1;
constexpr int kFileIoThread = 2;
void nameBoardTracks(ChromeTraceFile& file, int boardIndex, bool driver, bool fileIo);

// A driver request the board received, as one event on its board's track.
// Called as the request is traced, right after it took effect.
void traceDriverRequest(ChromeTraceFile& file, int boardIndex, const vboard::TraceEntry& entry);

// Text as a JSON string holds it: at most `limit` bytes ("..." after a cut),
// bytes that are no UTF-8 replaced when written.
std::string clipped(const std::string& text, size_t limit);

} // namespace hb::tools
