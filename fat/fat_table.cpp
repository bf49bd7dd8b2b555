#include "fat/fat_table.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <new>

#include "platform/descriptor_io.h"
#include "volume/device_io.h"

namespace ostrel {

bool fat_table::load(int32_t fd, const fat_layout& layout) {
    entry_bits_ = layout.entry_bits;
    const uint64_t size = layout.table_bytes();
    if (size == 0 || size > UINT32_MAX) return false;
    // The size comes from the boot sector: the table grows a piece at a
    // time as its bytes arrive, so one longer than the device never reaches
    // the allocator whole.
    constexpr uint64_t piece = 1 << 20;
    bytes_.clear();
    for (uint64_t done = 0; done < size;) {
        const auto want = static_cast<uint32_t>(std::min(piece, size - done));
        try {
            bytes_.resize(static_cast<size_t>(done + want));
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (read_at(fd, bytes_.data() + done, layout.table_offset() + done, want) != static_cast<int32_t>(want)) {
            return false;
        }
        done += want;
    }
    return true;
}

void fat_table::assign(std::vector<uint8_t> bytes, uint32_t entry_bits) {
    bytes_ = std::move(bytes);
    entry_bits_ = entry_bits;
}

uint64_t fat_table::entry_count() const {
    // A 12-bit entry n takes bytes n * 3 / 2 and the one after it.
    if (entry_bits_ == 12) return bytes_.size() < 2 ? 0 : (bytes_.size() * 2 - 3) / 3 + 1;
    return bytes_.size() / (entry_bits_ / 8);
}

fat_entry fat_table::classify(uint64_t cluster) const {
    if (cluster >= entry_count()) return {fat_entry_class::end, 0};
    uint32_t value;
    uint32_t reserved_from, bad;
    if (entry_bits_ == 12) {
        const size_t at = static_cast<size_t>(cluster * 3 / 2);
        const uint32_t pair = bytes_[at] | (uint32_t{bytes_[at + 1]} << 8);
        value = cluster % 2 ? pair >> 4 : pair & 0x0FFF;
        reserved_from = 0xFF0, bad = 0xFF7;
    } else if (entry_bits_ == 16) {
        const size_t at = static_cast<size_t>(cluster * 2);
        value = bytes_[at] | (uint32_t{bytes_[at + 1]} << 8);
        reserved_from = 0xFFF0, bad = 0xFFF7;
    } else {
        // FAT32 entries are read as stored: the top four bits are not masked.
        const size_t at = static_cast<size_t>(cluster * 4);
        value = bytes_[at] | (uint32_t{bytes_[at + 1]} << 8) | (uint32_t{bytes_[at + 2]} << 16) |
                (uint32_t{bytes_[at + 3]} << 24);
        reserved_from = 0x0FFFFFF0, bad = 0x0FFFFFF7;
    }
    if (value == 0) return {fat_entry_class::free, 0};
    if (value == 1) return {fat_entry_class::invalid, 0};
    if (value < reserved_from) return {fat_entry_class::next, value};
    if (value < bad) return {fat_entry_class::reserved, 0};
    if (value == bad) return {fat_entry_class::bad, 0};
    return {fat_entry_class::end, 0};
}

run_list follow_chain(const fat_table& table, const fat_layout& layout, uint32_t first, stop_token* stop) {
    run_list runs;
    if (first < 2) return runs;
    // Clusters already in the chain, as [start, end) by start. A chain that
    // comes back to one of them loops: it ends there, so every cluster is
    // read once and a looping folder is not listed over and over.
    std::map<uint64_t, uint64_t> taken;
    auto already_taken = [&](uint64_t cluster) {
        auto it = taken.upper_bound(cluster);
        return it != taken.begin() && std::prev(it)->second > cluster;
    };
    uint64_t start = first;
    while (!is_stopped(stop) && layout.cluster_offset(start) != 0 && !already_taken(start)) {
        // The run may grow up to the next run already taken, not into it.
        const auto next_taken = taken.upper_bound(start);
        const uint64_t limit = next_taken == taken.end() ? UINT64_MAX : next_taken->first;
        uint64_t length = 1;
        fat_entry entry = table.classify(start);
        while (entry.kind == fat_entry_class::next && entry.next == start + length && start + length < limit) {
            if (is_stopped(stop)) return runs;
            ++length;
            entry = table.classify(start + length - 1);
        }
        runs.push_back({start, length});
        taken.emplace(start, start + length);
        if (entry.kind != fat_entry_class::next) break;
        start = entry.next;
    }
    return runs;
}

fat_free_clusters::fat_free_clusters(const fat_table& table, uint64_t highest_cluster) {
    // No cluster past the table is free (it reads as end of chain): the
    // highest cluster comes from the boot sector, which may claim far more
    // clusters than the table holds.
    const uint64_t end =
        std::min<uint64_t>(std::min<uint64_t>(highest_cluster, UINT32_MAX - 1) + 1, table.entry_count());
    for (uint64_t cluster = 2; cluster < end;) {
        if (table.classify(cluster).kind != fat_entry_class::free) {
            ++cluster;
            continue;
        }
        const uint64_t start = cluster;
        while (cluster < end && table.classify(cluster).kind == fat_entry_class::free) ++cluster;
        runs_.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(cluster - start)});
    }
}

run_list fat_free_clusters::take_from(uint64_t first, uint64_t count) const {
    run_list runs;
    // The free run holding `first`, then the ones after it.
    auto it = std::upper_bound(runs_.begin(), runs_.end(), first,
                               [](uint64_t c, const free_run& run) { return c < run.first; });
    if (it == runs_.begin() || first >= uint64_t{std::prev(it)->first} + std::prev(it)->count) return runs;
    --it;
    for (uint64_t from = first; it != runs_.end() && count > 0; ++it) {
        from = std::max<uint64_t>(from, it->first);
        const uint64_t length = std::min(uint64_t{it->first} + it->count - from, count);
        runs.push_back({from, length});
        count -= length;
    }
    return runs;
}

}  // namespace ostrel
