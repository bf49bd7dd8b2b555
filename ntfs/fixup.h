// The update-sequence fixup of NTFS multi-sector records (MFT "FILE"
// records; index and log pages use the same scheme).
#pragma once

#include <cstdint>
#include <span>

namespace ostrel {

// Puts back the bytes that the update sequence array saved from the ends of
// the record's first two 512-byte sectors. Returns 0 when the record is
// refused (510 bytes or fewer, or an array offset above size - 6; the record
// is then left untouched), otherwise the array offset + 2.
//
// Sector ends are restored without comparing them with the update sequence
// number, so a torn or stale record is still read; only the first two
// sectors are repaired, whatever the record size.
uint32_t apply_fixup(std::span<uint8_t> record);

}  // namespace ostrel
