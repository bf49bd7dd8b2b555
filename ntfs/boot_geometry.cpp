#include "ntfs/boot_geometry.h"

#include <limits>

namespace ostrel {

namespace {

// 2 to the power `exponent`, or 0 when that does not fit 32 bits.
uint32_t power_of_two(int exponent) {
    return exponent >= 0 && exponent < 32 ? uint32_t(1) << exponent : 0;
}

}  // namespace

// decode_sectors_per_cluster is shared with FAT: volume/boot_sector.cpp.

uint32_t decode_record_size(int8_t encoded, uint32_t bytes_per_sector, uint32_t sectors_per_cluster) {
    if (encoded < 0) return power_of_two(-int(encoded));
    const uint64_t bytes = uint64_t(uint8_t(encoded)) * bytes_per_sector * sectors_per_cluster;
    return bytes <= std::numeric_limits<uint32_t>::max() ? static_cast<uint32_t>(bytes) : 0;
}

uint32_t ntfs_geometry::cluster_size() const {
    const uint64_t bytes = uint64_t(bytes_per_sector) * sectors_per_cluster;
    return bytes <= std::numeric_limits<uint32_t>::max() ? static_cast<uint32_t>(bytes) : 0;
}

uint64_t ntfs_geometry::total_clusters() const {
    return sectors_per_cluster ? total_sectors / sectors_per_cluster : 0;
}

ntfs_geometry parse_ntfs_geometry(const _boot_sector& boot) {
    const byte_view view = boot.view();
    ntfs_geometry g;
    g.bytes_per_sector = view.u16_or(ntfs_boot::bytes_per_sector);
    g.sectors_per_cluster = decode_sectors_per_cluster(static_cast<int8_t>(view.u8_or(ntfs_boot::sectors_per_cluster)));
    g.total_sectors = view.u64_or(ntfs_boot::total_sectors);
    g.mft_cluster = view.u64_or(ntfs_boot::mft_cluster);
    g.record_size = decode_record_size(static_cast<int8_t>(view.u8_or(ntfs_boot::clusters_per_mft_record)),
                                       g.bytes_per_sector, g.sectors_per_cluster);
    g.index_record_size = decode_record_size(static_cast<int8_t>(view.u8_or(ntfs_boot::clusters_per_index_record)),
                                             g.bytes_per_sector, g.sectors_per_cluster);
    return g;
}

}  // namespace ostrel
