// Conversion of a Unix time to the MS-DOS date and time words of a directory
// entry, through the civil calendar.
#include "fileio/dos_date_time.h"

namespace hb {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kFirstDosSecond = 315532800;   // 1980-01-01 00:00:00
constexpr int64_t kLastDosSecond = 4354819199;   // 2107-12-31 23:59:59
constexpr DosDateTime kEarliest{0x0021, 0x0000}; // 1980-01-01 00:00:00
constexpr DosDateTime kLatest{0xFF9F, 0xBF7D};   // 2107-12-31 23:59:58

struct CivilDate {
    int64_t year;
    unsigned month; // 1..12
    unsigned day;   // 1..31
};

// Days since 1970-01-01 to the proleptic Gregorian calendar (H. Hinnant's
// days-to-civil algorithm).
CivilDate civilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

} // namespace

DosDateTime dosDateTimeFromUnixSeconds(int64_t seconds) {
    if (seconds < kFirstDosSecond)
        return kEarliest;
    if (seconds > kLastDosSecond)
        return kLatest;
    const int64_t days = seconds / kSecondsPerDay;
    const auto secondOfDay = static_cast<unsigned>(seconds % kSecondsPerDay);
    const CivilDate civil = civilFromDays(days);
    const unsigned hour = secondOfDay / 3600;
    const unsigned minute = secondOfDay / 60 % 60;
    const unsigned second = secondOfDay % 60;
    DosDateTime result{};
    result.date =
        static_cast<uint16_t>(((civil.year - 1980) << 9) | (civil.month << 5) | civil.day);
    result.time = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    return result;
}

} // namespace hb
