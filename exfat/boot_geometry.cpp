#include "exfat/boot_geometry.h"

#include <limits>

#include "volume/checked_math.h"

namespace ostrel {

namespace {

uint64_t power_of_two(uint8_t shift) { return shift < 32 ? uint64_t(1) << shift : 0; }

}  // namespace

uint64_t exfat_geometry::bytes_per_sector() const { return power_of_two(bytes_per_sector_shift); }

uint64_t exfat_geometry::sectors_per_cluster() const { return power_of_two(sectors_per_cluster_shift); }

uint32_t exfat_geometry::cluster_size() const {
    const uint64_t bytes = bytes_per_sector() * sectors_per_cluster();  // both below 2^32
    return bytes <= std::numeric_limits<uint32_t>::max() ? static_cast<uint32_t>(bytes) : 0;
}

bool exfat_geometry::plausible() const {
    return bytes_per_sector_shift >= 9 && bytes_per_sector_shift <= 12 &&
           sectors_per_cluster_shift <= 25 - bytes_per_sector_shift;
}

uint64_t exfat_geometry::volume_bytes() const {
    return checked_mul(volume_length, bytes_per_sector()).value_or(0);
}

std::optional<uint64_t> exfat_geometry::cluster_offset(uint64_t cluster, uint64_t volume_offset) const {
    if (cluster < 2) return std::nullopt;
    const auto heap_sectors = checked_mul(cluster - 2, sectors_per_cluster());
    const auto sectors = heap_sectors ? checked_add(*heap_sectors, cluster_heap_offset) : std::nullopt;
    const auto bytes = sectors ? checked_mul(*sectors, bytes_per_sector()) : std::nullopt;
    return bytes ? checked_add(*bytes, volume_offset) : std::nullopt;
}

std::optional<uint64_t> exfat_geometry::fat_position(uint64_t volume_offset) const {
    const auto bytes = checked_mul(fat_offset, bytes_per_sector());
    return bytes ? checked_add(*bytes, volume_offset) : std::nullopt;
}

std::optional<uint64_t> exfat_geometry::fat_bytes() const { return checked_mul(fat_length, bytes_per_sector()); }

exfat_geometry parse_exfat_geometry(const _boot_sector& boot) {
    const byte_view view = boot.view();
    exfat_geometry g;
    g.volume_length = view.u64_or(exfat_boot::volume_length);
    g.fat_offset = view.u32_or(exfat_boot::fat_offset);
    g.fat_length = view.u32_or(exfat_boot::fat_length);
    g.cluster_heap_offset = view.u32_or(exfat_boot::cluster_heap_offset);
    g.cluster_count = view.u32_or(exfat_boot::cluster_count);
    g.root_cluster = view.u32_or(exfat_boot::root_cluster);
    g.bytes_per_sector_shift = view.u8_or(exfat_boot::bytes_per_sector_shift);
    g.sectors_per_cluster_shift = view.u8_or(exfat_boot::sectors_per_cluster_shift);
    return g;
}

}  // namespace ostrel
