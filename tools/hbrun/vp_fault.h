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

// What one look at the fail-message region found.
struct FaultCheck {
    // "VP fault: unmapped read at eip 0x100023, address 0xDEAD0000", each
    // fact once; nothing while no fault record stands in the region.
    std::optional<std::string> fault;
    // The last error when the region could not be read (1167: the device is
    // gone); 0 when it was read.
    uint32_t readError = 0;
};
FaultCheck readFault(const AcceleratorBoard* board);

} // namespace hb::tools
