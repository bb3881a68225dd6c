// One fuzz input for the virtual board's frame handling: an arbitrary byte
// stream with descriptors, sent on one connection to a served board.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hbfuzz {

// Aborts when the board crashes, keeps a descriptor or stops serving.
void feedDeviceFrames(const uint8_t* data, size_t size);

} // namespace hbfuzz
