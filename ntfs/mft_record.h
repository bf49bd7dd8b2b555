// One MFT record turned into nodes.
//
// A record image (record-size bytes, from the $MFT or found elsewhere on the
// disk) becomes a file node, a folder node, or a contribution to the
// attribute-list entry of its owner when the file spans several records or
// has more than two names. Complete nodes go straight into the record tree;
// incomplete ones wait in the tree's bookkeeping for the records that finish
// them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "ntfs/ntfs_nodes.h"
#include "volume/byte_view.h"

namespace ostrel {

class file_node_info;
class sector_bitmap;

// What parsing needs besides the record itself.
struct record_parse_context {
    file_node_info* tree = nullptr;        // null: only the out nodes are filled
    sector_bitmap* cluster_map = nullptr;  // live data and index clusters are marked here when given
    uint8_t source_kind = 0;               // 0 from the MFT, 2 from a record found in free space
    uint32_t cluster_size = 0;
    uint64_t total_clusters = 0;
    // Where a non-resident attribute list is read from.
    int32_t device = 0;
    uint64_t volume_offset = 0;
};

struct parsed_record {
    std::shared_ptr<tagNtfsFileInfoEx> file;
    std::shared_ptr<tagNtfsFolderInfoEx> folder;
};

// Whether a 512-byte block found in free space is the start of an MFT
// record: "FILE", a first-attribute offset inside the first sector, an
// allocated size not below the used size, an update sequence of 1 to 3
// entries, and a first attribute type a record can start with.
bool looks_like_mft_record(byte_view block);

// Applies the fixup to `record` in place and parses it. A record without
// "FILE", whose fixup is refused, or whose first attribute cannot start a
// record is ignored (nothing produced).
parsed_record parse_mft_record(std::span<uint8_t> record, const record_parse_context& context);

}  // namespace ostrel
