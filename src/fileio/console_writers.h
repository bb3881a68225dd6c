// The console writers a board's slot holds until the host application
// installs its own: the VP program's output, CR LF pairs turned into LF, on
// the host's standard streams.
#pragma once

#include <cstdint>

namespace hb {

// A new buffer (the caller frees it with std::free) holding `data` with every
// CR LF pair replaced by LF; *count becomes its length. nullptr with last
// error 8 (count unchanged) when the buffer cannot be allocated.
uint8_t* stripCarriageReturns(const uint8_t* data, uint32_t* count);

int32_t defaultStdoutWriter(const void* data, int32_t length);
int32_t defaultStderrWriter(const void* data, int32_t length);

} // namespace hb
