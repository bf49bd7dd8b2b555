#include "exfat/exfat_recover.h"

#include <new>

#include "engine/log.h"
#include "exfat/allocation_bitmap.h"
#include "exfat/exfat_nodes.h"

namespace ostrel {

namespace {

constexpr const char* volume_message = "volume: exfat, sectors: %I64d - %I64d, count: %I64d\n";

}  // namespace

exfat_recover::exfat_recover(int32_t fd, std::shared_ptr<const _boot_sector> boot, uint64_t offset, bool deep)
    : recover_impl(fd, std::move(boot), offset, deep) {
    if (boot_sector) geometry_ = parse_exfat_geometry(*boot_sector);
    // Without a boot sector all three numbers are 0, the first included.
    const uint64_t first = boot_sector ? volume_offset / 512 : 0;
    log_recovery(volume_message, {static_cast<long long>(first), static_cast<long long>(first + geometry_.volume_length),
                                  static_cast<long long>(geometry_.volume_length)});
}

void exfat_recover::geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const {
    if (!boot_sector) return;
    fd = d_scan;
    offset = volume_offset;
    sectors = geometry_.volume_length;
}

uint64_t exfat_recover::cluster_to_offset(uint64_t cluster) const {
    if (!boot_sector) return 0;
    return geometry_.cluster_offset(cluster, volume_offset).value_or(0);
}

bool exfat_recover::validate() {
    if (d_scan <= 0 || !boot_sector || !geometry_.plausible()) return false;
    // Clusters below 2 name no position: such a root cannot be read.
    const auto root = geometry_.cluster_offset(geometry_.root_cluster, volume_offset);
    uint8_t sector[512];
    if (!root || read_at(d_scan, sector, *root, sizeof sector) != static_cast<int32_t>(sizeof sector)) return false;
    return exfat::looks_like_root_directory(byte_view(sector, sizeof sector));
}

exfat::table_load exfat_recover::load_table() {
    const auto position = geometry_.fat_position(volume_offset);
    const auto size = geometry_.fat_bytes();
    if (!boot_sector || !position || !size) {
        table.reset();
        return exfat::table_load::unreadable;
    }
    return exfat::load_allocation_table(d_scan, *position, *size, table);
}

bool exfat_recover::load_bitmap() {
    volume_bitmap.reset();
    if (!boot_sector) return false;
    try {
        volume_bitmap = exfat::load_allocation_bitmap(d_scan, geometry_, volume_offset);
    } catch (const std::bad_alloc&) {
        volume_bitmap.reset();
    }
    return volume_bitmap != nullptr;
}

run_list exfat_recover::chain_extents(uint32_t first_cluster) const {
    return table ? exfat::follow_chain(*table, first_cluster) : run_list{};
}

run_list exfat_recover::root_extents() const {
    return table ? exfat::root_directory_extents(*table, volume_bitmap.get(), geometry_.root_cluster) : run_list{};
}

std::shared_ptr<tagFolderInfo> exfat_recover::make_folder() const {
    return std::make_shared<tagExFatFolderInfoEx>();
}

void exfat_recover::on_destination_created(int32_t error) const {
    log_recovery("创建本地文件err值：%d", {error});  // the message carries no newline
}

}  // namespace ostrel
