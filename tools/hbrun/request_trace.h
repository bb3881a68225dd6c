// The lines of hbrun --trace: each file-I/O request with its decoded
// arguments, result, error and duration, and (on the embedded board) each
// driver request the board received.
#pragma once

#include "hbsys9u.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace hb::tools {

// "Open path='x.txt' flags=0x8001 -> 3 error 0 (12 us)"
std::string describeFileIoRequest(const HbFileIoTraceRecord& record);

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
