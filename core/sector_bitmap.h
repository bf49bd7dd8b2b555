// The map of occupied space on a volume: one bit per sector, set for sectors
// that belong to known files and directories. The file-system scans fill it;
// the deep scan sweeps only what it leaves clear.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/node.h"

namespace ostrel {

class recover_impl;

class sector_bitmap {
public:
    // `unit_count` bits of `unit` bytes each, the first starting at device
    // byte `base`. `kind` is the file-system type code: FAT (2, 3) and exFAT
    // (5) map clusters through `mapper`, everything else as base + cluster x
    // cluster size. Bits are held only for the units that lie on the device
    // the mapper's scan descriptor reads (the others read as free). Throws
    // std::bad_alloc when the bits cannot be allocated.
    sector_bitmap(uint64_t unit_count, uint64_t base, uint32_t cluster_size, uint16_t unit, int32_t kind,
                  const recover_impl* mapper, std::shared_ptr<const void> keep_alive = {});

    void mark(uint64_t unit);
    bool test(uint64_t unit) const;
    // Whether the first unit of `cluster` is marked.
    bool test_cluster(uint64_t cluster) const;
    // Marks the units the runs cover, run by run, while both the run's bytes
    // and `byte_limit` last. On NTFS a run at cluster 0 is sparse and skipped.
    void mark_runs(const run_list& runs, int64_t byte_limit);

    uint64_t byte_count() const { return bits_.size(); }
    // Eight units at once (units 8n to 8n + 7 for byte n); 0 past the end.
    uint8_t byte_at(uint64_t index) const { return index < bits_.size() ? bits_[index] : 0; }
    uint64_t unit_count() const { return unit_count_; }
    uint64_t base() const { return base_; }
    uint16_t unit() const { return unit_; }
    // Device byte offset of a cluster, as this volume maps it.
    uint64_t cluster_offset(uint64_t cluster) const;

private:
    std::vector<uint8_t> bits_;
    uint64_t unit_count_;
    uint64_t base_;
    uint32_t cluster_size_;
    uint16_t unit_;
    int32_t kind_;
    const recover_impl* mapper_;
    std::shared_ptr<const void> keep_alive_;
};

}  // namespace ostrel
