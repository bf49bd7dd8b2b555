#include "exfat/allocation_bitmap.h"

#include <vector>

#include "exfat/allocation_table.h"
#include "ntfs/ntfs_bitmap.h"
#include "volume/device_io.h"

namespace ostrel::exfat {

namespace {

namespace bitmap_entry {
constexpr size_t first_cluster = 20;  // u32
constexpr size_t data_length = 24;    // u64
}  // namespace bitmap_entry

}  // namespace

std::optional<size_t> find_bitmap_entry(byte_view root_sector) {
    if (root_sector.u8(0) == entry_allocation_bitmap) return 0;
    for (size_t offset = entry_bytes; root_sector.contains(offset, entry_bytes); offset += entry_bytes) {
        const uint8_t type = root_sector[offset];
        if (type == entry_end) return std::nullopt;
        if (type == entry_allocation_bitmap) return offset;
    }
    return std::nullopt;
}

bool looks_like_root_directory(byte_view root_sector) {
    for (size_t offset = 0; root_sector.contains(offset, entry_bytes); offset += entry_bytes) {
        const uint8_t type = root_sector[offset];
        if (type == entry_allocation_bitmap || type == entry_volume_label) return true;
        if (type == entry_end) return false;
    }
    return false;
}

run_list free_clusters_from(const ntfs_bitmap& bitmap, uint64_t cluster_count, uint64_t first_cluster,
                            uint64_t count) {
    run_list runs;
    const uint64_t heap_end = cluster_count + 2;
    auto in_use = [&](uint64_t cluster) { return bitmap.test(cluster - 2); };
    if (first_cluster < 2 || first_cluster >= heap_end || in_use(first_cluster)) return runs;
    for (uint64_t cluster = first_cluster; cluster < heap_end && count > 0;) {
        // Whole bytes of clusters in use are passed at once.
        const uint64_t bit = cluster - 2;
        if (bit % 8 == 0 && bit / 8 < bitmap.byte_size() && bitmap.bytes()[bit / 8] == 0xFF) {
            cluster += 8;
            continue;
        }
        if (in_use(cluster)) {
            ++cluster;
            continue;
        }
        if (!runs.empty() && runs.back().first + runs.back().count == cluster) {
            ++runs.back().count;
        } else {
            runs.push_back({cluster, 1});
        }
        --count;
        ++cluster;
    }
    return runs;
}

std::shared_ptr<ntfs_bitmap> load_allocation_bitmap(int32_t fd, const exfat_geometry& geometry,
                                                    uint64_t volume_offset) {
    const auto root = geometry.cluster_offset(geometry.root_cluster, volume_offset);
    uint8_t sector[512];
    if (!root || read_at(fd, sector, *root, sizeof sector) != static_cast<int32_t>(sizeof sector)) return nullptr;
    const byte_view view(sector, sizeof sector);
    const auto entry = find_bitmap_entry(view);
    if (!entry) return nullptr;
    const uint64_t data_length = view.u64_or(*entry + bitmap_entry::data_length);
    // A length beyond what any volume needs is damage; rounding it up could
    // also overflow.
    if (data_length > max_bitmap_bytes) return nullptr;
    const uint64_t length = (data_length + 511) / 512 * 512;
    const auto position = geometry.cluster_offset(view.u32_or(*entry + bitmap_entry::first_cluster), volume_offset);
    if (!position) return nullptr;
    std::vector<uint8_t> bytes = read_up_to(fd, *position, length);
    if (bytes.size() != length) return nullptr;
    return std::make_shared<ntfs_bitmap>(std::move(bytes));
}

}  // namespace ostrel::exfat
