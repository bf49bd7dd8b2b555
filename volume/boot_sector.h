// The 512-byte boot sector of a volume, kept by its engine. The layouts of
// NTFS, FAT32, FAT16 and exFAT overlap in these bytes; each reader takes the
// fields of its own layout through a byte_view.
#pragma once

#include <array>
#include <cstdint>

#include "volume/byte_view.h"

namespace ostrel {

struct _boot_sector {
    std::array<uint8_t, 512> bytes{};

    byte_view view() const { return byte_view(bytes.data(), bytes.size()); }
};

}  // namespace ostrel
