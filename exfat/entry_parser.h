// Turns the entries of one exFAT folder, read piece by piece, into records:
// one tagExFatFileInfoEx per File / Stream Extension / File Name entry set,
// with its name, attributes, timestamps, size (the valid data length),
// deleted state and extents.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "exfat/exfat_nodes.h"
#include "volume/byte_view.h"

struct stop_token;

namespace ostrel {

class ntfs_bitmap;

namespace exfat {
class allocation_table;
}

// What turning a set's first cluster into extents needs from the volume.
struct exfat_set_geometry {
    const exfat::allocation_table* table = nullptr;  // chains; none without a table
    uint32_t cluster_size = 0;                       // bytes; no extents when 0
    uint64_t cluster_count = 0;                      // clusters 2 .. count + 1 form the heap
    uint64_t volume_bytes = 0;                       // sets claiming this much or more are broken; 0: unknown
    const ntfs_bitmap* allocation = nullptr;         // the allocation bitmap; none: deleted chains read as stored
};

// `runs` cut where they leave the cluster heap (clusters 2 .. count + 1):
// a run that starts outside it ends the list, one that runs past its end is
// shortened and ends the list.
run_list exfat_clip_to_heap(run_list runs, uint64_t cluster_count);

// The extents of a set's data. FAT chain (flags exactly 1): the table's
// chain from `first_cluster`, or for a deleted set whose chain was cleared,
// the clusters the allocation bitmap leaves free from there on; otherwise
// the contiguous run (first, clusters the size covers). Runs end where they
// leave the cluster heap, so no extent names a position outside it; a first
// cluster outside the heap gives none.
run_list exfat_set_extents(const exfat_set_geometry& geometry, uint8_t flags, uint32_t first_cluster,
                           uint64_t size, bool deleted = false);

class exfat_entry_parser {
public:
    // Called with every complete set, in the order the sets end.
    using set_sink = std::function<void(std::shared_ptr<tagExFatFileInfoEx>)>;

    exfat_entry_parser(const exfat_set_geometry& geometry, ::stop_token* stop, set_sink sink);

    // Parses one piece of folder data in 32-byte entries (a partial entry at
    // the end is ignored). Type-0 entries do not end the piece, so deleted
    // sets behind the end marker are found too. A set that fits the piece is
    // read at once; one that does not is kept open and completed by the
    // Stream Extension and File Name entries that follow, in this piece or
    // the next. Stops between entries once the stop token is set.
    void parse(byte_view piece);

private:
    // A set whose File entry was seen and whose name is not complete yet.
    struct open_set {
        std::shared_ptr<tagExFatFileInfoEx> record;
        std::u16string name;
        bool has_stream = false;
        unsigned name_length = 0;
    };

    // Starts a set from its File entry, dropping any set still open.
    void open(byte_view file_entry);
    // Takes a Stream Extension's fields; false when they make the set unusable.
    bool take_stream(open_set& set, byte_view stream);
    // Appends a File Name entry's characters, up to the name length.
    static void take_name(open_set& set, byte_view name);
    // Hands on a set whose name is complete.
    void finish(open_set& set);
    // Reads the set of the File entry at `offset` when it lies in `piece`:
    // the entries it spans, or 0 when it must be read entry by entry.
    size_t parse_whole_set(byte_view piece, size_t offset);

    exfat_set_geometry geometry_;
    ::stop_token* stop_;
    set_sink sink_;
    open_set pending_;
};

}  // namespace ostrel
