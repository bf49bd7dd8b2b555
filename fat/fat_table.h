// The first allocation table of a FAT volume, held in memory for one scan,
// and the walk of a cluster chain into extents.
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
    // Reads the first table in one read; false when the seek or read falls
    // short. The copies behind it are never consulted.
    bool load(int32_t fd, const fat_layout& layout);
    // For tests and hand-built volumes; `entry_bits` is 12, 16 or 32.
    void assign(std::vector<uint8_t> bytes, uint32_t entry_bits);

    // An index beyond the table reads as end of chain.
    fat_entry classify(uint64_t cluster) const;

private:
    uint64_t entry_count() const;

    std::vector<uint8_t> bytes_;
    uint32_t entry_bits_ = 16;
};

// Follows the chain from `first` into runs of consecutive clusters. The stop
// token is polled before every run and between clusters; a chain that comes
// back to a cluster it already holds ends there.
run_list follow_chain(const fat_table& table, const fat_layout& layout, uint32_t first, stop_token* stop);

}  // namespace ostrel
