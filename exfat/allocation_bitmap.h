// The exFAT allocation bitmap, found through its entry in the root directory,
// and the look at the root directory's first sector that tells whether the
// boot sector's root cluster is real.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "core/node.h"
#include "exfat/boot_geometry.h"
#include "volume/byte_view.h"

namespace ostrel {

class ntfs_bitmap;

namespace exfat {

inline constexpr uint8_t entry_end = 0x00;
inline constexpr uint8_t entry_allocation_bitmap = 0x81;
inline constexpr uint8_t entry_upcase_table = 0x82;
inline constexpr uint8_t entry_volume_label = 0x83;
inline constexpr size_t entry_bytes = 32;

// The largest bitmap a volume can have: one bit for each of 2^32 clusters.
inline constexpr uint64_t max_bitmap_bytes = (uint64_t(1) << 32) / 8;

// The byte offset of the allocation bitmap entry in one root directory
// sector: the first entry when it is one, otherwise the first such entry
// after it, giving up at an end-of-directory entry (type 0). The first entry
// itself is not taken as the end. Nothing when there is none.
std::optional<size_t> find_bitmap_entry(byte_view root_sector);

// Whether one root directory sector opens like a root directory: walking
// its entries, an allocation bitmap or volume label entry comes before an
// end-of-directory entry and before the end of the sector.
bool looks_like_root_directory(byte_view root_sector);

// Up to `count` clusters that the allocation bitmap leaves free, from
// `first_cluster` on (bit 0 stands for cluster 2), in runs; the clusters of
// live files are skipped. Nothing when `first_cluster` itself is in use or
// outside the heap of `cluster_count` clusters; fewer when the heap ends.
//
// A deleted file whose chain was cleared keeps only its first cluster; it was
// laid into the free clusters of its day, around the live files, so it is
// rebuilt from the clusters still free rather than read straight on into
// the live files' data.
run_list free_clusters_from(const ntfs_bitmap& bitmap, uint64_t cluster_count, uint64_t first_cluster,
                            uint64_t count);

// Reads the allocation bitmap that the root directory's first sector names:
// DataLength rounded up to whole 512-byte sectors, read in full at the
// entry's first cluster. Null when the root sector cannot be read, holds no
// bitmap entry, names no readable position, or the read falls short.
// Throws std::bad_alloc.
std::shared_ptr<ntfs_bitmap> load_allocation_bitmap(int32_t fd, const exfat_geometry& geometry,
                                                    uint64_t volume_offset);

}  // namespace exfat
}  // namespace ostrel
