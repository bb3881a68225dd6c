// The lines of hbrun --trace and the events of --trace-json: each file-I/O
// request with its decoded arguments, result, error and duration, and (on the
// embedded board) each driver request the board received.
#pragma once

#include "chrome_trace.h"
#include "hbsys9u.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace hb::tools {

// One decoded value: as the text trace shows it, and as JSON holds it.
struct TraceField {
    std::string key;
    std::string text;
    nlohmann::json value;
};

struct DecodedFileIoRequest {
    std::string name; // "Open", or "Unknown(99)"
    std::vector<TraceField> arguments;
    TraceField result;
    uint32_t error = 0;
    double seconds = 0;
};

DecodedFileIoRequest decodeFileIoRequest(const HbFileIoTraceRecord& record);

// "Open path='x.txt' flags=0x8001 -> 3 error 0 (12 us)"
std::string describeFileIoRequest(const HbFileIoTraceRecord& record);
// {"path": "x.txt", "flags": "0x8001", "result": 3, "error": 0}
nlohmann::json fileIoRequestArgs(const DecodedFileIoRequest& decoded);
// The request as one event on its board's file-I/O track; called as the
// request is answered.
void traceFileIoRequest(ChromeTraceFile& file, const HbFileIoTraceRecord& record);

// Writes trace lines to one stream, one whole line at a time.
class TraceSink {
  public:
    explicit TraceSink(std::FILE* stream) : stream_(stream) {}
    void line(const std::string& text);

  private:
    std::mutex lock_;
    std::FILE* stream_;
};

} // namespace hb::tools
