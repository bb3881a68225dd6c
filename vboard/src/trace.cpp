// One readable line per traced request, like a bus analyser shows it.
#include "vboard/board.h"

#include <cstdio>

namespace hb::vboard {

std::string TraceEntry::text() const {
    char line[200];
    std::snprintf(line, sizeof line,
                  "%-20s code=0x%08X offset=0x%X length=%u value=0x%08X input=%zu data=%zu "
                  "status=%u",
                  name.c_str(), controlCode, offset, length, value, input.size(), data.size(),
                  status);
    return line;
}

} // namespace hb::vboard
