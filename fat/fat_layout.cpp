#include "fat/fat_layout.h"


namespace ostrel {

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
    return layout;
}

uint64_t fat_layout::first_data_sector() const {
    const uint64_t tables = uint64_t{reserved_sectors} + uint64_t{fat_count} * sectors_per_fat;
    return is_fat32 ? tables : tables + 32;
}

uint64_t fat_layout::cluster_offset(uint64_t cluster) const {
    if (cluster < 2) return 0;
    return ((cluster - 2) * sectors_per_cluster + first_data_sector()) * bytes_per_sector + volume_offset;
}

uint64_t fat_layout::root_directory_offset() const {
    return (uint64_t{reserved_sectors} + uint64_t{fat_count} * sectors_per_fat) * bytes_per_sector + volume_offset;
}

}  // namespace ostrel
