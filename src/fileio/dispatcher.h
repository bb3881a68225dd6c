// The file-I/O request dispatcher: one request of the VP program, read from
// the board's file-I/O block, carried out on the host and answered in place.
#pragma once

#include "hbsys9u.h"

#include <cstdint>

namespace hb {

// Handles the request standing in the board's file-I/O block and resets the
// board's request event. Runs on the board's service thread.
void dispatchFileIoRequest(const AcceleratorBoard* board);

// Length of a block of NUL-terminated strings ended by an empty string, both
// final NULs included.
uint32_t environmentBlockLength(const char* block);

} // namespace hb
