// The exFAT file allocation table: 32-bit entries, classified as FAT32
// entries are, and the walk of a cluster chain into extents.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/node.h"

namespace ostrel {

class ntfs_bitmap;

namespace exfat {

enum class entry_class { free, invalid, next, reserved, bad, end };

struct table_entry {
    entry_class kind = entry_class::end;
    uint32_t value = 0xFFFFFFFF;  // as stored; the next cluster when kind is next
};

class allocation_table {
public:
    allocation_table() = default;
    explicit allocation_table(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    // The entry of `cluster`. An index beyond the table reads as end of chain
    // (value all ones). Values are taken as stored: the top four bits are not
    // masked, so 0xFFFFFFFF is end of chain and 0x0FFFFFF7 is bad.
    table_entry classify(uint64_t cluster) const;
    uint64_t entry_count() const { return bytes_.size() / 4; }
    uint64_t byte_size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

enum class table_load { loaded, no_memory, unreadable };

// Reads `size` bytes of table at device byte `offset` into `out`, replacing
// it. Any positive count read is a table: the table then ends where the read
// ended, so the part that could not be read counts as beyond the table.
// no_memory: the bytes could not be held; unreadable: nothing could be read.
// Only a loaded table stays in `out`; otherwise it is reset.
table_load load_allocation_table(int32_t fd, uint64_t offset, uint64_t size,
                                 std::shared_ptr<allocation_table>& out);

// Up to `size` bytes at `offset`, read in pieces; stops at the first short or
// failed read. Memory grows only with what was read, so a hostile size costs
// no more than the device holds. Throws std::bad_alloc.
std::vector<uint8_t> read_up_to(int32_t fd, uint64_t offset, uint64_t size);

// The extents of the chain starting at `first_cluster`: runs of consecutive
// clusters, each appended whatever class ended it; the walk goes on only
// through "next" entries. A first cluster of 0 gives nothing; a first
// cluster whose entry is free gives (first, 1). A chain that loops ends just
// before it would visit a cluster a second time, so its runs name each
// cluster once.
run_list follow_chain(const allocation_table& table, uint32_t first_cluster);

// The extents of the root directory. A chained root is walked; a root whose
// entry is free is taken, as (root, 0), only when the allocation bitmap holds
// its bit (numbered by the cluster itself) and is otherwise empty; any other
// entry gives (root, 1).
run_list root_directory_extents(const allocation_table& table, const ntfs_bitmap* bitmap, uint32_t root_cluster);

}  // namespace exfat
}  // namespace ostrel
