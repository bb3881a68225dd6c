// The default console writers: the VP program's output on the host's standard
// streams, CR LF pairs turned into LF.
#include "fileio/console_writers.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace hb {

uint8_t* stripCarriageReturns(const uint8_t* data, uint32_t* count) {
    const uint32_t length = *count;
    // One byte at least, so that an empty write still has a buffer to free.
    auto* converted = static_cast<uint8_t*>(std::malloc(length > 0 ? length : 1));
    if (converted == nullptr) {
        platform::setLastError(8);
        return nullptr;
    }
    uint32_t emitted = 0;
    for (uint32_t at = 0; at < length;) {
        if (at + 1 < length && data[at] == '\r' && data[at + 1] == '\n') {
            converted[emitted++] = '\n';
            at += 2;
        } else {
            converted[emitted++] = data[at++];
        }
    }
    *count = emitted;
    return converted;
}

namespace {

int32_t writeConverted(std::FILE* stream, const void* data, int32_t length) {
    uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
    uint8_t* converted = stripCarriageReturns(static_cast<const uint8_t*>(data), &count);
    if (converted == nullptr)
        return -1;
    if (count > 0)
        std::fwrite(converted, 1, count, stream);
    std::free(converted);
    return length;
}

} // namespace

int32_t defaultStdoutWriter(const void* data, int32_t length) {
    return writeConverted(stdout, data, length);
}

int32_t defaultStderrWriter(const void* data, int32_t length) {
    return writeConverted(stderr, data, length);
}

} // namespace hb
