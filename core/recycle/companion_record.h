// The "$I" companion of a recycled item: a small record that Windows writes
// next to the item's "$R" data when it moves the item to the recycle bin. It
// holds the item's former size and its full path before deletion.
//
//   offset  size  meaning (little-endian)
//        0     8  version (not examined)
//        8     8  former size of the item
//       16     8  deletion time (not examined)
//       24     …  older layout: the former path, UTF-16, NUL-terminated
//       24     4  Windows 10 layout: path length in units (not examined)
//       28     …  Windows 10 layout: the former path, UTF-16, NUL-terminated
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ostrel {

// Shorter records carry no path; they are rejected.
inline constexpr size_t companion_min_bytes = 30;

// The most of a companion the restoration reads. The older layout is a fixed
// 544 bytes (a 260-unit path area); the Windows 10 layout is 28 bytes plus a
// path of at most 32,767 units and its terminator, 65,564 bytes. Anything
// larger is not a real record, and a hostile size field must not make the
// engine allocate it: only this much is read.
inline constexpr uint64_t companion_read_limit = 28 + 2 * 32768;

struct companion_record {
    uint64_t former_size = 0;
    std::u16string former_path;  // the whole path, drive first ("C:\a\b.txt")
    std::u16string former_name;  // the text after its last backslash ("b.txt")
};

// Decodes a companion's bytes. `windows10_layout` admits the newer layout
// (path at 28), tried first; the older one (path at 24) is always tried.
// Rejected (nullopt): fewer than companion_min_bytes, a former size not
// below `volume_size`, no drive letter and colon where a path should start,
// a path without a backslash, or an empty name after the last backslash.
std::optional<companion_record> parse_companion(std::span<const uint8_t> bytes, uint64_t volume_size,
                                                bool windows10_layout);

}  // namespace ostrel
