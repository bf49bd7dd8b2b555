#include "fat/fat_layout.h"

#include <algorithm>

namespace ostrel {

namespace {

bool is_power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

fat_layout fat_layout::from_boot_sector(const _boot_sector& boot, int32_t type, uint64_t volume_offset) {
    const byte_view b = boot.view();
    fat_layout layout;
    layout.is_fat32 = type == 3;
    layout.bytes_per_sector = b.u16_or(0x0B);
    layout.sectors_per_cluster = decode_sectors_per_cluster(static_cast<int8_t>(b.u8_or(0x0D)));
    layout.reserved_sectors = b.u16_or(0x0E);
    layout.fat_count = b.u8_or(0x10);
    layout.root_entries = b.u16_or(0x11);
    layout.sectors_per_fat = layout.is_fat32 ? b.u32_or(0x24) : b.u16_or(0x16);
    const uint32_t total32 = b.u32_or(0x20);
    layout.total_sectors = (layout.is_fat32 || total32 != 0) ? total32 : b.u16_or(0x13);
    layout.root_cluster = layout.is_fat32 ? b.u32_or(0x2C) : 0;
    layout.volume_offset = volume_offset;
    // Floppies, small partitions and many memory cards are FAT12 and reach
    // this engine under the FAT16 code: as the FAT definition has it, the
    // number of data clusters decides the width of their table.
    if (layout.is_fat32) {
        layout.entry_bits = 32;
    } else {
        layout.entry_bits = layout.data_cluster_count() < fat12_cluster_limit ? 12 : 16;
    }
    return layout;
}

uint64_t fat_layout::root_directory_sectors() const {
    if (is_fat32 || bytes_per_sector == 0) return 0;
    return (root_directory_bytes() + bytes_per_sector - 1) / bytes_per_sector;
}

uint64_t fat_layout::first_data_sector() const {
    // The fixed root directory takes as many sectors as its entry count and
    // sector size give: formatting tools choose 112, 224, 512 or 1024 entries
    // and sectors of 512 to 4096 bytes, so no one size fits every volume.
    return uint64_t{reserved_sectors} + uint64_t{fat_count} * sectors_per_fat + root_directory_sectors();
}

uint64_t fat_layout::data_cluster_count() const {
    const uint64_t first = first_data_sector();
    if (sectors_per_cluster == 0 || total_sectors <= first) return 0;
    return (total_sectors - first) / sectors_per_cluster;
}

uint64_t fat_layout::cluster_offset(uint64_t cluster) const {
    if (cluster < 2) return 0;
    return ((cluster - 2) * sectors_per_cluster + first_data_sector()) * bytes_per_sector + volume_offset;
}

uint64_t fat_layout::root_directory_offset() const {
    return (uint64_t{reserved_sectors} + uint64_t{fat_count} * sectors_per_fat) * bytes_per_sector + volume_offset;
}

uint64_t fat_layout::metadata_bytes() const {
    const uint64_t tables_and_root = first_data_sector() * bytes_per_sector;
    if (!is_fat32) return tables_and_root;
    const uint64_t root = cluster_offset(root_cluster);
    if (root < volume_offset) return tables_and_root;
    return std::max(tables_and_root, root - volume_offset + bytes_per_sector);
}

bool fat_layout::is_sound() const {
    if (bytes_per_sector < 512 || bytes_per_sector > 4096 || !is_power_of_two(bytes_per_sector)) return false;
    if (!is_power_of_two(sectors_per_cluster) || sectors_per_cluster > 128 || fat_count == 0) return false;
    const uint64_t clusters = data_cluster_count();
    return clusters != 0 && table_bytes() * 8 >= (clusters + 2) * entry_bits;
}

bool is_fat12_boot_sector(byte_view sector) {
    if (sector.size() < 512 || (sector[0] != 0xEB && sector[0] != 0xE9)) return false;
    const uint32_t sectors_per_cluster = sector.u8_or(0x0D);
    const uint8_t media = sector.u8_or(0x15);
    if (sectors_per_cluster == 0 || sectors_per_cluster > 128) return false;  // no negative encodings
    if (sector.u16_or(0x0E) == 0 || sector.u8_or(0x10) > 2) return false;
    if (sector.u16_or(0x11) == 0 || sector.u16_or(0x16) == 0) return false;
    if (media != 0xF0 && media < 0xF8) return false;
    _boot_sector boot;
    std::copy(sector.data(), sector.data() + 512, boot.bytes.begin());
    const fat_layout layout = fat_layout::from_boot_sector(boot, 2, 0);
    return layout.is_sound() && layout.data_cluster_count() < fat12_cluster_limit;
}

}  // namespace ostrel
