// MS-DOS date and time words of a directory entry's last-write time.
#pragma once

#include <cstdint>

namespace hb {

struct DosDateTime {
    uint16_t date; // bits 0-4 day, 5-8 month, 9-15 years since 1980
    uint16_t time; // bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours
};

// Converts universal time (seconds since 1970-01-01) without any change of
// time zone. Times the format cannot hold are clamped to its range:
// 1980-01-01 00:00:00 below, 2107-12-31 23:59:58 above.
DosDateTime dosDateTimeFromUnixSeconds(int64_t seconds);

} // namespace hb
