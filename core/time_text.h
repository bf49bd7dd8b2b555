// Timestamp texts of item records: "YYYY/MM/DD hh:mm:ss" in 20-unit areas.
#pragma once

#include <cstdint>

namespace ostrel {

// A FAT or exFAT stamp: 16-bit date and time words and, where the format has
// one, a count of 10-millisecond units. Nothing is written when the date is
// 0; only the date when the time is 0. Printed as stored, with no time-zone
// conversion.
void write_fat_time_text(char16_t* area, uint16_t date, uint16_t time, uint8_t ten_ms = 0);

// An NTFS stamp (100-ns units since 1601-01-01 UTC), converted to local time.
// Nothing is written for 0 or for a time that cannot be represented.
void write_ntfs_time_text(char16_t* area, uint64_t ntfs_time);

}  // namespace ostrel
