// The map of occupied space on a volume: one bit per sector, set for sectors
// that belong to known files and directories. The file-system scans fill it;
// the deep scan sweeps only what it leaves clear.
//
// The bits are held in chunks that exist only once something in them is
// marked, and a chunk that a run covers whole is kept as a flag. A disk of
// terabytes thus costs memory for the stretches where files begin and end,
// not a bit for every sector: a freshly formatted 4 TB volume needs a few
// chunks instead of 1 GB in one block, which a 32-bit host could not even
// address.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/node.h"

namespace ostrel {

class recover_impl;

class sector_bitmap {
public:
    // Units per chunk: 64 KiB of bits, 256 MiB of a volume of 512-byte sectors.
    static constexpr uint64_t chunk_units = uint64_t{1} << 19;

    // `unit_count` bits of `unit` bytes each, the first starting at device
    // byte `base`. `kind` is the file-system type code: FAT (2, 3) and exFAT
    // (5) map clusters through `mapper`, everything else as base + cluster x
    // cluster size. Bits are held only for the units that lie on the device
    // the mapper's scan descriptor reads (the others read as free). Throws
    // std::bad_alloc when the chunk table cannot be allocated.
    sector_bitmap(uint64_t unit_count, uint64_t base, uint32_t cluster_size, uint16_t unit, int32_t kind,
                  const recover_impl* mapper, std::shared_ptr<const void> keep_alive = {});

    void mark(uint64_t unit) { mark_units(unit, 1); }
    // Marks `count` units from `first`; units beyond the map are ignored.
    void mark_units(uint64_t first, uint64_t count);
    bool test(uint64_t unit) const;
    // Whether the first unit of `cluster` is marked.
    bool test_cluster(uint64_t cluster) const;
    // Marks the units the runs cover, run by run, while both the run's bytes
    // and `byte_limit` last. On NTFS a run at cluster 0 is sparse and skipped.
    void mark_runs(const run_list& runs, int64_t byte_limit);

    // The first unit at or after `from` whose bit is `occupied`; units past
    // the map read as free, so a search for an occupied one ends at UINT64_MAX
    // there. Unmarked and wholly marked chunks are crossed at once.
    uint64_t next_unit(uint64_t from, bool occupied) const;

    // How many units the map holds bits for (fewer than unit_count when the
    // device ends before the volume does).
    uint64_t mapped_units() const { return mapped_units_; }
    uint64_t unit_count() const { return unit_count_; }
    uint64_t base() const { return base_; }
    uint16_t unit() const { return unit_; }
    // Device byte offset of a cluster, as this volume maps it.
    uint64_t cluster_offset(uint64_t cluster) const;

private:
    // A chunk's bits, allocated (cleared) on its first partial mark.
    uint8_t* chunk_bits(size_t chunk);
    uint64_t chunk_end(size_t chunk) const;

    std::vector<std::unique_ptr<uint8_t[]>> chunks_;  // null: clear, unless full_
    std::vector<bool> full_;                          // every unit of the chunk marked
    uint64_t mapped_units_;
    uint64_t unit_count_;
    uint64_t base_;
    uint32_t cluster_size_;
    uint16_t unit_;
    int32_t kind_;
    const recover_impl* mapper_;
    std::shared_ptr<const void> keep_alive_;
};

}  // namespace ostrel
