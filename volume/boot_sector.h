// The 512-byte boot sector of a volume, kept by its engine. The layouts of
// NTFS, FAT32, FAT16 and exFAT overlap in these bytes; each reader takes the
// fields of its own layout through a byte_view.
#pragma once

#include <array>
#include <cstdint>

#include "volume/byte_view.h"

namespace ostrel {

// Sectors per cluster from the signed byte NTFS and FAT keep at 0x0D:
// positive as is, 0x80 is 128, otherwise 2 to the power of minus the value
// (0 gives 1, 0xF8 gives 256); 0 when that power does not fit 32 bits.
uint32_t decode_sectors_per_cluster(int8_t encoded);

struct _boot_sector {
    std::array<uint8_t, 512> bytes{};

    byte_view view() const { return byte_view(bytes.data(), bytes.size()); }
};

}  // namespace ostrel
