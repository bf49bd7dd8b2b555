#include <algorithm>
#include <cmath>
#include <cstring>

#include "exfat/boot_geometry.h"
#include "fat/fat_layout.h"
#include "ntfs/boot_geometry.h"
#include "volume/byte_view.h"
#include "volume/checked_math.h"
#include "volume/volume_discovery.h"

namespace ostrel {

namespace {

// Where each boot code keeps its loader's name, "BOOTMGR ".
constexpr char boot_loader_name[] = "BOOTMGR ";

// FAT counts its sectors in the boot sector's own sector size, which
// formatting tools set to 512 up to 4096 bytes.
uint64_t fat_sector_bytes(const byte_view& sector) {
    const uint32_t bytes = sector.u16_or(11);
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 ? bytes : 512;
}

bool has_loader_name_utf16(const byte_view& sector, size_t offset) {
    static constexpr char16_t units[] = {u'B', u'O', u'O', u'T', u'M', u'G', u'R', 0x0A0D};
    for (size_t i = 0; i < 8; ++i) {
        if (sector.u16_or(offset + 2 * i) != units[i]) return false;
    }
    return true;
}

}  // namespace

int32_t classify_boot_sector(const uint8_t* bytes) {
    if (!bytes) return fs_none;
    const byte_view sector(bytes, 512);
    if (sector.u16_or(510) != 0xAA55) return fs_none;
    if (sector.matches(3, "NTFS")) return fs_ntfs;
    if (sector.matches(82, "FAT32")) return fs_fat32;
    if (sector.matches(54, "FAT16")) return fs_fat16;
    if (sector.matches(3, "EXFAT")) return fs_exfat;
    // FAT12 (floppies, small partitions, some memory cards) carries "FAT12",
    // some other text or none; its geometry tells it, and it is scanned by
    // the FAT engine under the FAT16 code.
    if (is_fat12_boot_sector(sector)) return fs_fat16;
    // Without a type text, the boot code's loader name tells the type.
    if (sector.matches(425, boot_loader_name)) return fs_ntfs;
    if (sector.matches(365, boot_loader_name)) return fs_fat32;
    if (sector.matches(417, boot_loader_name)) return fs_fat16;
    if (has_loader_name_utf16(sector, 350)) return fs_exfat;
    return fs_none;
}

uint64_t boot_sector_volume_length(int32_t type, const _boot_sector& boot) {
    const byte_view b = boot.view();
    switch (type) {
        case fs_ntfs: return b.u64_or(40) * 512;
        case fs_exfat: return b.u64_or(72) * 512;
        case fs_fat32: return uint64_t{b.u32_or(32)} * fat_sector_bytes(b);
        case fs_fat16: {
            const uint32_t total32 = b.u32_or(32);
            return uint64_t{total32 ? total32 : b.u16_or(19)} * fat_sector_bytes(b);
        }
        default: return 0;
    }
}

uint64_t boot_sector_metadata_length(int32_t type, const _boot_sector& boot) {
    // Only a boot sector whose sizes are ones real volumes have gets a bound:
    // a volume taken although it is longer than its source must not make its
    // cluster or volume size, which size buffers, whatever the sector says.
    switch (type) {
        case fs_fat16:
        case fs_fat32: {
            const fat_layout layout = fat_layout::from_boot_sector(boot, type, 0);
            return layout.is_sound() ? layout.metadata_bytes() : 0;
        }
        case fs_ntfs: {
            // $MFT's first sixteen records: the metadata files, the root
            // folder among them. Clusters reach 2 MiB on NTFS.
            const ntfs_geometry geometry = parse_ntfs_geometry(boot);
            const auto start = checked_mul(geometry.mft_cluster, geometry.cluster_size());
            const auto records = start ? checked_add(*start, uint64_t{16} * geometry.record_size) : std::nullopt;
            const bool sound = geometry.cluster_size() != 0 && geometry.cluster_size() <= (2u << 20) &&
                               geometry.record_size >= 256 && geometry.record_size <= max_ntfs_record_bytes;
            return records && sound ? *records : 0;
        }
        case fs_exfat: {
            // The allocation table and the root directory's first sector.
            const exfat_geometry geometry = parse_exfat_geometry(boot);
            const auto table = geometry.fat_position(0);
            const auto table_bytes = geometry.fat_bytes();
            const auto table_end = table && table_bytes ? checked_add(*table, *table_bytes) : std::nullopt;
            const auto root = geometry.cluster_offset(geometry.root_cluster, 0);
            const auto root_end = root ? checked_add(*root, geometry.bytes_per_sector()) : std::nullopt;
            return table_end && root_end && geometry.plausible() ? std::max(*table_end, *root_end) : 0;
        }
        default: return 0;
    }
}

}  // namespace ostrel
