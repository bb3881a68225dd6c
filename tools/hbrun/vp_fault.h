// A VP fault as the board reports it: the fault record in the fail-message
// region of shared memory, read through the driver, so that it is seen on
// any board, embedded or reached through a device.
#pragma once

#include "hbsys9u.h"

#include <optional>
#include <string>

namespace hb::tools {

// Clears the record's magic before a boot, so that no old fault is taken for
// a new one. False when the board has no fail-message region.
bool clearFaultRecord(const AcceleratorBoard* board);

// "VP fault: unmapped read at eip 0x100023, address 0xDEAD0000: <text>", or
// nothing while no fault record stands in the region.
std::optional<std::string> readFault(const AcceleratorBoard* board);

} // namespace hb::tools
