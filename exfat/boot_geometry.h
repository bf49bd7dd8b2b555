// The geometry of an exFAT volume as its boot sector gives it.
#pragma once

#include <cstdint>
#include <optional>

#include "volume/boot_sector.h"

namespace ostrel {

namespace exfat_boot {
inline constexpr size_t volume_length = 0x48;              // u64, sectors
inline constexpr size_t fat_offset = 0x50;                 // u32, sectors
inline constexpr size_t fat_length = 0x54;                 // u32, sectors
inline constexpr size_t cluster_heap_offset = 0x58;        // u32, sectors
inline constexpr size_t cluster_count = 0x5C;              // u32
inline constexpr size_t root_cluster = 0x60;               // u32
inline constexpr size_t bytes_per_sector_shift = 0x6C;     // u8
inline constexpr size_t sectors_per_cluster_shift = 0x6D;  // u8
}  // namespace exfat_boot

struct exfat_geometry {
    uint64_t volume_length = 0;  // sectors
    uint32_t fat_offset = 0;     // sectors from the volume's start
    uint32_t fat_length = 0;     // sectors
    uint32_t cluster_heap_offset = 0;
    uint32_t cluster_count = 0;
    uint32_t root_cluster = 0;
    uint8_t bytes_per_sector_shift = 0;
    uint8_t sectors_per_cluster_shift = 0;

    // 2 to the power of the shift; 0 for a shift of 32 or more, which no
    // volume can have (the product with anything is then refused too).
    uint64_t bytes_per_sector() const;
    uint64_t sectors_per_cluster() const;
    // Bytes per cluster; 0 when it does not fit 32 bits.
    uint32_t cluster_size() const;
    // Sectors of 512 to 4096 bytes and clusters of at most 32 MiB, as every
    // exFAT volume has them.
    bool plausible() const;
    // VolumeLength × bytes per sector; 0 when that overflows.
    uint64_t volume_bytes() const;
    // Device byte offset of `cluster` on a volume starting at `volume_offset`:
    // ((cluster - 2) × sectors per cluster + heap offset) × bytes per sector +
    // volume offset. Nothing for clusters 0 and 1, which name no position,
    // and when the arithmetic overflows.
    std::optional<uint64_t> cluster_offset(uint64_t cluster, uint64_t volume_offset) const;
    // Where the FAT starts and how many bytes it has; nothing on overflow.
    std::optional<uint64_t> fat_position(uint64_t volume_offset) const;
    std::optional<uint64_t> fat_bytes() const;
};

exfat_geometry parse_exfat_geometry(const _boot_sector& boot);

}  // namespace ostrel
