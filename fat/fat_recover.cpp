#include "fat/fat_recover.h"

#include "engine/log.h"
#include "fat/dir_entry.h"
#include "fat/fat_nodes.h"
#include "volume/device_io.h"

namespace ostrel {

fat_recover::fat_recover(int32_t fd, int32_t type, std::shared_ptr<const _boot_sector> boot, uint64_t offset,
                         bool deep_scan_flag)
    : recover_impl(fd, std::move(boot), offset, deep_scan_flag), type_(type) {
    if (boot_sector) layout_ = fat_layout::from_boot_sector(*boot_sector, type_, volume_offset);
    const uint64_t first = boot_sector ? volume_offset / 512 : 0;
    const uint64_t count = sector_count();
    log_recovery(type_ == 3 ? "volume: fat32, sectors: %I64d - %I64d, count: %I64d\n"
                            : "volume: fat16, sectors: %I64d - %I64d, count: %I64d\n",
                 {static_cast<long long>(first), static_cast<long long>(boot_sector ? first + count : 0),
                  static_cast<long long>(count)});
}

uint64_t fat_recover::sector_count() const { return boot_sector ? layout_.total_sectors : 0; }

uint64_t fat_recover::volume_size() const { return uint64_t{layout_.bytes_per_sector} * sector_count(); }

void fat_recover::geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const {
    if (!boot_sector) return;
    fd = d_scan;
    offset = volume_offset;
    // The sweep counts 512-byte sectors; volumes with larger logical sectors
    // (1024 to 4096 bytes) hold more of them than their boot sector counts.
    sectors = layout_.bytes_per_sector > 512 ? volume_size() / 512 : sector_count();
}

uint32_t fat_recover::cluster_size() const {
    return boot_sector ? static_cast<uint32_t>(layout_.cluster_bytes()) : 0;
}

uint64_t fat_recover::cluster_to_offset(uint64_t cluster) const {
    return boot_sector ? layout_.cluster_offset(cluster) : 0;
}

bool fat_recover::validate() {
    if (!boot_sector || d_scan < 1) return false;
    const uint64_t root = layout_.is_fat32 ? layout_.cluster_offset(layout_.root_cluster)
                                           : layout_.root_directory_offset();
    uint8_t sector[512];
    if (read_at(d_scan, sector, root, sizeof sector) != static_cast<int32_t>(sizeof sector)) return false;
    if (sector[fat_entry_field::attributes] == fat_attribute_label) return true;
    return is_fat_directory_sector(byte_view(sector, sizeof sector), layout_.cluster_count());
}

std::shared_ptr<tagFolderInfo> fat_recover::make_folder() const { return std::make_shared<tagFatFolderInfoEx>(); }

}  // namespace ostrel
