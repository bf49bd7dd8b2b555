#include "exfat/allocation_table.h"

#include <algorithm>
#include <new>
#include <optional>

#include "ntfs/ntfs_bitmap.h"
#include "volume/byte_view.h"
#include "volume/device_io.h"

namespace ostrel::exfat {

namespace {

constexpr uint32_t read_piece_bytes = 1u << 20;

}  // namespace

table_entry allocation_table::classify(uint64_t cluster) const {
    if (cluster >= entry_count()) return {entry_class::end, 0xFFFFFFFF};
    const uint32_t value = byte_view(bytes_.data(), bytes_.size()).u32_or(static_cast<size_t>(cluster) * 4);
    if (value == 0) return {entry_class::free, value};
    if (value == 1) return {entry_class::invalid, value};
    if (value < 0x0FFFFFF0) return {entry_class::next, value};
    if (value < 0x0FFFFFF7) return {entry_class::reserved, value};
    if (value == 0x0FFFFFF7) return {entry_class::bad, value};
    return {entry_class::end, value};
}

std::vector<uint8_t> read_up_to(int32_t fd, uint64_t offset, uint64_t size) {
    std::vector<uint8_t> bytes;
    while (size > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(size, read_piece_bytes));
        const size_t old_size = bytes.size();
        bytes.resize(old_size + piece);
        const int32_t got = read_at(fd, bytes.data() + old_size, offset, piece);
        bytes.resize(old_size + static_cast<size_t>(std::max(got, 0)));
        if (got != static_cast<int32_t>(piece)) break;
        offset += piece;
        size -= piece;
    }
    return bytes;
}

table_load load_allocation_table(int32_t fd, uint64_t offset, uint64_t size,
                                 std::shared_ptr<allocation_table>& out) {
    try {
        out = std::make_shared<allocation_table>(read_up_to(fd, offset, size));
    } catch (const std::bad_alloc&) {
        out.reset();
        return table_load::no_memory;
    }
    if (out->byte_size() > 0) return table_load::loaded;
    out.reset();
    return table_load::unreadable;
}

namespace {

std::optional<uint64_t> next_cluster(const allocation_table& table, uint64_t cluster) {
    const table_entry entry = table.classify(cluster);
    if (entry.kind != entry_class::next) return std::nullopt;
    return entry.value;
}

// How many clusters the chain from `first` visits before it comes back to
// one it visited; nothing for a chain that ends. Brent's cycle detection:
// a few walks along the chain, no memory per cluster.
std::optional<uint64_t> clusters_before_loop(const allocation_table& table, uint64_t first) {
    uint64_t power = 1, cycle = 1;
    uint64_t tortoise = first;
    std::optional<uint64_t> hare = next_cluster(table, first);
    while (hare && *hare != tortoise) {
        if (power == cycle) {
            tortoise = *hare;
            power *= 2;
            cycle = 0;
        }
        hare = next_cluster(table, *hare);
        ++cycle;
    }
    if (!hare) return std::nullopt;
    // Every cluster on a loop has a "next" entry, so the walks below stay on it.
    uint64_t ahead = first;
    for (uint64_t i = 0; i < cycle; ++i) ahead = *next_cluster(table, ahead);
    uint64_t behind = first, lead_in = 0;
    while (behind != ahead) {
        behind = *next_cluster(table, behind);
        ahead = *next_cluster(table, ahead);
        ++lead_in;
    }
    return lead_in + cycle;
}

}  // namespace

run_list follow_chain(const allocation_table& table, uint32_t first_cluster) {
    run_list runs;
    if (first_cluster == 0) return runs;
    // A sound chain visits each cluster once; one that loops ends before its
    // first repeat, and no chain visits more clusters than the table has.
    uint64_t budget = clusters_before_loop(table, first_cluster).value_or(table.entry_count() + 1);
    uint64_t start = first_cluster;
    while (budget > 0) {
        uint64_t length = 1;
        --budget;
        table_entry entry = table.classify(start);
        while (entry.kind == entry_class::next && entry.value == start + length && budget > 0) {
            ++length;
            --budget;
            entry = table.classify(entry.value);
        }
        runs.push_back({start, length});
        if (entry.kind != entry_class::next) break;
        start = entry.value;
    }
    return runs;
}

run_list root_directory_extents(const allocation_table& table, const ntfs_bitmap* bitmap, uint32_t root_cluster) {
    switch (table.classify(root_cluster).kind) {
        case entry_class::next: return follow_chain(table, root_cluster);
        case entry_class::free:
            // The root's table entry says nothing; trust the bitmap, numbering
            // its bit by the cluster itself. The zero-cluster extent that
            // results reads nothing.
            if (bitmap && bitmap->test(root_cluster)) return {{root_cluster, 0}};
            return {};
        default: return {{root_cluster, 1}};
    }
}

}  // namespace ostrel::exfat
