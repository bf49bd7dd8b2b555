// The geometry of a FAT12, FAT16 or FAT32 volume, decoded once from its boot
// sector. Later code reads these fields instead of re-testing the type code.
#pragma once

#include <cstdint>

#include "volume/boot_sector.h"
#include "volume/byte_view.h"

namespace ostrel {

// Volumes with fewer data clusters than this have 12-bit tables: the cluster
// count alone decides the table width of a FAT12 or FAT16 volume.
inline constexpr uint64_t fat12_cluster_limit = 4085;

struct fat_layout {
    bool is_fat32 = false;
    uint32_t entry_bits = 16;        // table entry width: 12, 16 or 32
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t reserved_sectors = 0;
    uint32_t fat_count = 0;
    uint32_t root_entries = 0;       // FAT12/16: entries of the fixed root directory
    uint32_t sectors_per_fat = 0;    // the 16-bit field on FAT12/16, the 32-bit one on FAT32
    uint64_t total_sectors = 0;      // the 32-bit count; FAT12/16 fall back on the 16-bit one
    uint32_t root_cluster = 0;       // FAT32: first cluster of the root directory
    uint64_t volume_offset = 0;      // device byte offset of the volume

    // `type` 3 is FAT32; any other code takes the FAT12/16 paths, the table
    // width then following from the cluster count.
    static fat_layout from_boot_sector(const _boot_sector& boot, int32_t type, uint64_t volume_offset);

    uint64_t cluster_bytes() const { return uint64_t{bytes_per_sector} * sectors_per_cluster; }
    // Sectors of FAT12/16's fixed root directory (0 on FAT32).
    uint64_t root_directory_sectors() const;
    // Sector (from the volume start) that holds cluster 2.
    uint64_t first_data_sector() const;
    // Device byte offset of a cluster's first byte; 0 for clusters 0 and 1.
    uint64_t cluster_offset(uint64_t cluster) const;
    // Clusters of the whole volume (reserved and table areas included), the
    // bound plausible cluster numbers stay below.
    uint64_t cluster_count() const { return sectors_per_cluster ? total_sectors / sectors_per_cluster : 0; }
    // Clusters of the data area alone; the highest cluster number is this + 1.
    uint64_t data_cluster_count() const;
    uint64_t table_offset() const { return volume_offset + uint64_t{reserved_sectors} * bytes_per_sector; }
    uint64_t table_bytes() const { return uint64_t{bytes_per_sector} * sectors_per_fat; }
    // FAT12/16's fixed root directory.
    uint64_t root_directory_offset() const;
    uint64_t root_directory_bytes() const { return uint64_t{root_entries} * 32; }
    // Bytes from the volume start that hold the boot sector, the tables and
    // the start of the root directory: what a scan needs before anything else.
    uint64_t metadata_bytes() const;
    // Sizes every formatting tool stays within: sectors of 512 to 4096
    // bytes, 1 to 128 sectors per cluster, a table with an entry for every
    // cluster.
    bool is_sound() const;
};

// Whether a 512-byte sector is the boot sector of a FAT12 volume, told by
// its geometry alone (sound sizes, a table large enough, fewer than 4085 data
// clusters), whatever type text it carries.
bool is_fat12_boot_sector(byte_view sector);

}  // namespace ostrel
