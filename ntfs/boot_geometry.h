// The geometry of an NTFS volume as its boot sector gives it: sector and
// cluster sizes, the MFT record and index record sizes, the volume's length
// and where $MFT starts.
#pragma once

#include <cstdint>

#include "volume/boot_sector.h"

namespace ostrel {

namespace ntfs_boot {
inline constexpr size_t bytes_per_sector = 0x0B;             // u16
inline constexpr size_t sectors_per_cluster = 0x0D;          // i8, encoded
inline constexpr size_t total_sectors = 0x28;                // u64
inline constexpr size_t mft_cluster = 0x30;                  // u64
inline constexpr size_t clusters_per_mft_record = 0x40;      // i8, encoded
inline constexpr size_t clusters_per_index_record = 0x44;    // i8, encoded
}  // namespace ntfs_boot

// The largest MFT or index record the engine reads. Real volumes use 1 KiB
// or 4 KiB records; a boot sector asking for more is damaged, and reading
// it would mean allocating whatever the field claims.
inline constexpr uint32_t max_ntfs_record_bytes = 64 * 1024;

struct ntfs_geometry {
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t record_size = 0;        // one MFT record, bytes
    uint32_t index_record_size = 0;  // one "INDX" record, bytes
    uint64_t total_sectors = 0;
    uint64_t mft_cluster = 0;

    // Bytes per cluster; 0 when either factor is 0 or the product does not
    // fit 32 bits (such a boot sector describes no usable volume).
    uint32_t cluster_size() const;
    // Total sectors ÷ sectors per cluster (0 without a cluster size).
    uint64_t total_clusters() const;
};

// Sectors per cluster from the signed byte at 0x0D: a positive value as is,
// 0x80 as 128, any other value v (0 or negative) as 2 to the power -v. A power
// that does not fit 32 bits gives 0.
uint32_t decode_sectors_per_cluster(int8_t encoded);

// An MFT or index record size from its signed byte (0x40 or 0x44): v < 0
// gives 2 to the power -v bytes, otherwise v clusters. A size that does not
// fit 32 bits gives 0.
uint32_t decode_record_size(int8_t encoded, uint32_t bytes_per_sector, uint32_t sectors_per_cluster);

ntfs_geometry parse_ntfs_geometry(const _boot_sector& boot);

}  // namespace ostrel
