// One fuzz input for the VP debugger stub's protocol: an arbitrary byte
// stream from a debugger, answered against a small fake program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hbfuzz {

// Aborts when a reply is no well-formed packet, grows past the packet size
// or the session touches memory outside the fake program's.
void feedGdbPackets(const uint8_t* data, size_t size);

} // namespace hbfuzz
