// Hand-built exFAT volumes for tests: a boot sector, a 1 MiB image with a
// FAT, an allocation bitmap and a root directory, and directory entry sets.
#pragma once

#include "tests/ntfs/ntfs_test_images.h"

namespace ostrel::test {

// 512-byte sectors, 4 KiB clusters, the FAT at sector 8 (8 sectors, 1024
// entries), the cluster heap at sector 32; the bitmap in cluster 2, the
// up-case table in 3, the root directory in 4.
namespace exfat_layout {
inline constexpr size_t fat_pos = 8 * 512;
inline constexpr size_t cluster_pos(uint64_t cluster) { return size_t((cluster - 2) * 8 + 32) * 512; }
inline constexpr size_t root_pos = cluster_pos(4);
inline constexpr size_t bitmap_entry = root_pos + 32;  // the root's second entry
}  // namespace exfat_layout

inline _boot_sector exfat_boot_sector(uint32_t root_cluster = 4, uint8_t sector_shift = 9, uint8_t cluster_shift = 3) {
    _boot_sector boot;
    put(boot.bytes, 0x48, 2048, 8);  // volume length, sectors
    put(boot.bytes, 0x50, 8, 4);     // FAT offset
    put(boot.bytes, 0x54, 8, 4);     // FAT length
    put(boot.bytes, 0x58, 32, 4);    // cluster heap offset
    put(boot.bytes, 0x5C, 250, 4);   // cluster count
    put(boot.bytes, 0x60, root_cluster, 4);
    boot.bytes[0x6C] = sector_shift;
    boot.bytes[0x6D] = cluster_shift;
    return boot;
}

// The bitmap, up-case table and root one cluster each (end of chain); a
// bitmap of DataLength `bitmap_length` holding 0xA0, 0xA1, ...; the root's
// entries: volume label, bitmap, up-case table.
inline std::vector<uint8_t> exfat_volume_image(uint64_t bitmap_length = 32) {
    using namespace exfat_layout;
    std::vector<uint8_t> image(2048 * 512, 0);
    for (uint32_t cluster : {0u, 1u, 2u, 3u, 4u}) put(image, fat_pos + 4 * cluster, 0xFFFFFFFF, 4);
    for (size_t i = 0; i < bitmap_length; ++i) image[cluster_pos(2) + i] = uint8_t(0xA0 + i);
    image[root_pos] = 0x83;
    image[bitmap_entry] = 0x81;
    put(image, bitmap_entry + 20, 2, 4);  // first cluster
    put(image, bitmap_entry + 24, bitmap_length, 8);
    image[root_pos + 64] = 0x82;
    return image;
}

// One File / Stream Extension / File Name entry set, as a writer lays it out:
// enough name entries for the name, SecondaryCount counting them and the
// stream. `deleted` clears the in-use bit of every entry.
struct entry_set_spec {
    std::u16string name = u"file.txt";
    uint16_t attributes = 0x20;
    uint8_t flags = 3;  // contiguous; 1 for a FAT chain
    uint32_t first_cluster = 10;
    uint64_t size = 100;
    bool deleted = false;
};

inline std::vector<uint8_t> entry_set(const entry_set_spec& spec) {
    const size_t names = (spec.name.size() + 14) / 15;
    std::vector<uint8_t> set((names + 2) * 32, 0);
    const uint8_t in_use = spec.deleted ? 0x00 : 0x80;
    set[0] = 0x05 | in_use;
    set[1] = uint8_t(names + 1);
    put(set, 4, spec.attributes, 2);
    put(set, 8, 0x56F24A10, 4);   // created 2023-07-18 09:16:32
    put(set, 12, 0x56F24A21, 4);  // modified 2023-07-18 09:17:02
    put(set, 16, 0x56F24000, 4);  // accessed 2023-07-18 08:00:00
    set[20] = 150;                // created 1.5 s later
    set[32] = 0x40 | in_use;
    set[33] = spec.flags;
    set[35] = uint8_t(spec.name.size());
    put(set, 40, spec.size, 8);
    put(set, 52, spec.first_cluster, 4);
    put(set, 56, spec.size, 8);
    for (size_t i = 0; i < spec.name.size(); ++i) put(set, 64 + 32 * (i / 15) + 2 + 2 * (i % 15), spec.name[i], 2);
    for (size_t n = 0; n < names; ++n) set[64 + 32 * n] = 0x41 | in_use;
    return set;
}

}  // namespace ostrel::test
