// The first allocation table of a FAT volume, held in memory for one scan,
// the walk of a cluster chain into extents, and the clusters a deleted file
// most likely used.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/node.h"
#include "fat/fat_layout.h"

struct stop_token;

namespace ostrel {

enum class fat_entry_class { free, invalid, next, reserved, bad, end };

struct fat_entry {
    fat_entry_class kind;
    uint32_t next;  // the next cluster when kind is next
};

class fat_table {
public:
    // Reads the first table, a piece at a time; false when a read falls
    // short. The copies behind it are never consulted.
    bool load(int32_t fd, const fat_layout& layout);
    // For tests and hand-built volumes; `entry_bits` is 12, 16 or 32.
    void assign(std::vector<uint8_t> bytes, uint32_t entry_bits);

    // An index beyond the table reads as end of chain.
    fat_entry classify(uint64_t cluster) const;
    // The entries the loaded table holds.
    uint64_t entry_count() const;

private:
    std::vector<uint8_t> bytes_;
    uint32_t entry_bits_ = 16;
};

// Follows the chain from `first` into runs of consecutive clusters. The stop
// token is polled before every run and between clusters; a chain that comes
// back to a cluster it already holds ends there.
run_list follow_chain(const fat_table& table, const fat_layout& layout, uint32_t first, stop_token* stop);

// The free clusters of a table, as sorted runs, for locating deleted files.
//
// Deleting a file frees its chain, and first-fit allocation (FAT16, and FAT32
// whenever its next-free hint is stale) had laid a large file into the free
// gaps around the live files of its day. Read straight on from its first
// cluster, such a file takes in the bytes of the live files between its
// pieces; taking only the clusters still free rebuilds it, as long as no
// later file reused them.
class fat_free_clusters {
public:
    // Free clusters from 2 up to `highest_cluster`.
    fat_free_clusters(const fat_table& table, uint64_t highest_cluster);

    // Up to `count` free clusters from `first` on, in runs; fewer when the
    // volume ends first, none when `first` is not free.
    run_list take_from(uint64_t first, uint64_t count) const;

private:
    struct free_run {
        uint32_t first;
        uint32_t count;
    };
    std::vector<free_run> runs_;
};

}  // namespace ostrel
