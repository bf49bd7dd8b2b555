// Hand-built exFAT volumes for tests: a boot sector and a small image with a
// FAT, an allocation bitmap and a root directory sector.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/ntfs/ntfs_test_images.h"
#include "volume/boot_sector.h"

namespace ostrel::test {

// The layout of the image exfat_volume_image builds: 512-byte sectors, 4 KiB
// clusters, FAT at sector 8 (8 sectors, 1024 entries), cluster heap at
// sector 32, bitmap in cluster 2, up-case table in cluster 3, root
// directory in cluster 4, 1 MiB in all.
struct exfat_layout {
    static constexpr uint64_t volume_sectors = 2048;
    static constexpr uint32_t fat_offset = 8, fat_length = 8, heap_offset = 32, cluster_count = 250;
    static constexpr uint32_t bitmap_cluster = 2, root_cluster = 4;
    static constexpr size_t cluster_bytes = 4096;
    static constexpr size_t cluster_pos(uint64_t cluster) { return size_t((cluster - 2) * 8 + heap_offset) * 512; }
    static constexpr size_t fat_pos = fat_offset * 512;
    static constexpr size_t root_pos = size_t((root_cluster - 2) * 8 + heap_offset) * 512;
};

inline _boot_sector exfat_boot_sector(uint32_t root_cluster = exfat_layout::root_cluster,
                                      uint8_t sector_shift = 9, uint8_t cluster_shift = 3) {
    _boot_sector boot;
    auto& b = boot.bytes;
    b[0] = 0xEB, b[1] = 0x76, b[2] = 0x90;
    std::memcpy(b.data() + 3, "EXFAT   ", 8);
    put64(b, 0x48, exfat_layout::volume_sectors);
    put32(b, 0x50, exfat_layout::fat_offset);
    put32(b, 0x54, exfat_layout::fat_length);
    put32(b, 0x58, exfat_layout::heap_offset);
    put32(b, 0x5C, exfat_layout::cluster_count);
    put32(b, 0x60, root_cluster);
    b[0x6C] = sector_shift;
    b[0x6D] = cluster_shift;
    put16(b, 510, 0xAA55);
    return boot;
}

// A 32-byte root directory entry of `type`.
inline void put_entry(std::vector<uint8_t>& image, size_t at, uint8_t type) { image.at(at) = type; }

// The image: FAT entries for the bitmap, up-case table and root (each one
// cluster, end of chain), a bitmap of DataLength `bitmap_length`, and the
// root's first entries: volume label, bitmap, up-case table.
inline std::vector<uint8_t> exfat_volume_image(uint64_t bitmap_length = 32) {
    using L = exfat_layout;
    std::vector<uint8_t> image(L::volume_sectors * 512, 0);
    const _boot_sector boot = exfat_boot_sector();
    std::memcpy(image.data(), boot.bytes.data(), 512);
    put32(image, L::fat_pos + 0, 0xFFFFFFF8);
    put32(image, L::fat_pos + 4, 0xFFFFFFFF);
    for (uint32_t cluster : {2u, 3u, 4u}) put32(image, L::fat_pos + 4 * cluster, 0xFFFFFFFF);
    for (size_t i = 0; i < bitmap_length; ++i) image[L::cluster_pos(L::bitmap_cluster) + i] = uint8_t(0xA0 + i);
    put_entry(image, L::root_pos, 0x83);
    put_entry(image, L::root_pos + 32, 0x81);
    put32(image, L::root_pos + 32 + 20, L::bitmap_cluster);
    put64(image, L::root_pos + 32 + 24, bitmap_length);
    put_entry(image, L::root_pos + 64, 0x82);
    put32(image, L::root_pos + 64 + 20, 3);
    return image;
}

}  // namespace ostrel::test
