// One fuzz input for the file-I/O dispatcher: a sequence of 528-byte blocks
// posted through a virtual board to a running service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hbfuzz {

// Posts the blocks of `data` (528 bytes each, the last one padded) and checks
// that every one is answered and that no byte around the file-I/O buffer
// changed; aborts on a violation.
void postFileIoBlocks(const uint8_t* data, size_t size);

} // namespace hbfuzz
