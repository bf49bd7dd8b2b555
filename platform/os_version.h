// Whether the machine counts as Windows 10 or later, which decides how
// recycle-bin companion records are read.
#pragma once

#include <cstdint>

namespace ostrel::platform {

bool query_is_windows10();

// The rule applied to a reported version: major 10 or later, or one of the
// Windows 10 technical previews that still reported 6.4 (builds 9841, 9860,
// 9879).
bool counts_as_windows10(uint32_t major, uint32_t minor, uint32_t build);

}  // namespace ostrel::platform
